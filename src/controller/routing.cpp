#include <algorithm>

#include "controller/sonvale.h"
#include "coreaudio/devices.h"

namespace sonvale {

void Sonvale::routeChanged() {
    const coreaudio::AudioObjectID device = coreaudio::current();
    if (device == coreaudio::kAudioObjectUnknown) return;

    const QString name = QString::fromStdString(coreaudio::textProperty(device));
    if (device != lastDevice) {
        lastDevice = device;
        log("默认输出：" + name + " [" + QString::fromStdString(coreaudio::uid(device)) + "]");
    }

    if (!coreaudio::eligible(device)) {
        // The user chose an output forwarding must not take over: stop and hold. The
        // forwarding output device is no longer the default, so stopping leaves the
        // user's choice alone. "enabled" stays as it was.
        if (worker || capture) stopEngine();
        if (enabled()) {
            const QString held = "保留当前输出：" + name;
            if (held != message) state(held);
        }
        return;
    }

    // A pending retry that ends later stays in force.
    if (!worker) nextAttempt = std::max(nextAttempt, now() + Seconds(1.0));
}

}  // namespace sonvale
