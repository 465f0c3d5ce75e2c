#include "controller/sonvale.h"
#include "coreaudio/devices.h"

namespace sonvale {

void Sonvale::routeChanged() {
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
            const QString held = "保留当前输出：" + name;
            if (held != message_) state(held);
        }
        return;
    }

    if (!run_) supervision_.retryNoSoonerThan(Seconds(1.0));
}

}  // namespace sonvale
