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

    if (run_ && run_->capturing() && coreaudio::uid(coreaudio::current()) == outputUID) {
        // The user's output stays what it is while forwarding plays elsewhere, but its port
        // may change: headphones plugged into the laptop. That is the user's choice of an
        // output forwarding must not take over, as if it had been chosen as the default.
        const auto user = coreaudio::device(output_.previousUID());
        if (user && !coreaudio::eligible(*user)) stopEngine();
    }

    const coreaudio::AudioObjectID device = coreaudio::current();
    if (device == coreaudio::kAudioObjectUnknown) return;

    // A port change shows in the name ("… · 耳机") while the device stays the same.
    const QString name = QString::fromStdString(coreaudio::textProperty(device));
    if (device != lastDevice_ || name != lastDeviceName_) {
        lastDevice_ = device;
        lastDeviceName_ = name;
        log("默认输出：" + name + " [" + QString::fromStdString(coreaudio::uid(device)) + "]");
    }

    if (!coreaudio::eligible(device)) {
        // The user chose an output forwarding must not take over: stop and hold. The
        // forwarding output device is no longer the default, so stopping leaves the
        // user's choice alone. "enabled" stays as it was.
        if (run_) stopEngine();
        if (settings_.enabled()) {
            const QString held = "保留当前输出：" + name;
            if (held != message_) state(held);
        }
        return;
    }

    if (run_) return;
    if (waitingForOutput_) {
        // The output whose absence the last attempt waited for may be back: try again soon
        // rather than after the rest of the back-off.
        waitingForOutput_ = false;
        supervision_.retryAfter(Seconds(1.0));
        return;
    }
    supervision_.retryNoSoonerThan(Seconds(1.0));
}

void Sonvale::releaseOutput() {
    if (run_ && run_->capturing()) return;
    if (const auto back = output_.giveBack()) log(QStringLiteral("已恢复本机输出：") + *back);
}

std::optional<QString> Sonvale::missingOutput() const {
    if (coreaudio::current() == coreaudio::kAudioObjectUnknown) return QStringLiteral("找不到本机音频输出");
    if (!coreaudio::device(clockUID)) return QStringLiteral("找不到 Mac 内建扬声器时钟设备");
    return std::nullopt;
}

}  // namespace sonvale
