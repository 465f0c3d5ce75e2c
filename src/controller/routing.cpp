#include <QTimer>

#include "controller/sonvale.h"
#include "coreaudio/devices.h"

namespace sonvale {
namespace {

// A sound server may report its new default output before the removal of the forwarding
// output that made it choose one (PipeWire does): a default that moves away while audio is
// forwarded is judged once this has passed.
constexpr int settleMilliseconds = 500;

}  // namespace

void Sonvale::routeChanged() {
    if (run_ && run_->capturing() && !routeSettled_ && !output_.vanished() &&
        coreaudio::uid(coreaudio::current()) != outputUID) {
        QTimer::singleShot(settleMilliseconds, this, [this] {
            routeSettled_ = true;
            routeChanged();
            routeSettled_ = false;
        });
        return;
    }
    if (run_ && run_->capturing() && output_.vanished()) {
        // The forwarding output was removed under the run (a sound server restart, a module
        // unloaded): the output the server fell back to is not the user's choice. The
        // user's output comes back and the retry makes a new forwarding output.
        stopEngine();
        if (const auto back = output_.restoreUserOutput()) log(QStringLiteral("已恢复本机输出：") + *back);
        scheduleRetry(QStringLiteral("转发输出已被移除"));
        return;
    }

    const coreaudio::AudioObjectID device = coreaudio::current();
    if (device == coreaudio::kAudioObjectUnknown) return;

    const QString name = QString::fromStdString(coreaudio::textProperty(device));
    if (device != lastDevice_) {
        lastDevice_ = device;
        log("默认输出：" + name + " [" + QString::fromStdString(coreaudio::uid(device)) + "]");
    }

    if (!coreaudio::eligible(device)) {
        // The user chose an output forwarding must not take over: stop and hold. The
        // forwarding output device is no longer the default, so stopping leaves the
        // user's choice alone. "enabled" stays as it was.
        if (run_) stopEngine();
        if (settings_.enabled()) {
            const QString held = heldText(name);
            if (held != message_) state(held);
        }
        return;
    }

    if (!run_) supervision_.retryNoSoonerThan(Seconds(1.0));
}

QString Sonvale::heldText(const QString& outputName) { return QStringLiteral("保留当前输出：") + outputName; }

}  // namespace sonvale
