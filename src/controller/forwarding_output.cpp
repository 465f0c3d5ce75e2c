#include "controller/forwarding_output.h"

#include <optional>

#include "base/platform_error.h"
#include "coreaudio/devices.h"

namespace sonvale {

namespace ca = coreaudio;

void ForwardingOutput::ensure(const QString& name) {
    if (device_ != 0) return;
    device_ = ca::makeAggregate((QStringLiteral("Sonvale · ") + name).toStdString(), outputUID, false, std::nullopt);
}

void ForwardingOutput::rememberUserOutput() {
    const std::string currentUID = ca::uid(ca::current());
    if (currentUID != outputUID) previousUID_ = currentUID;
}

void ForwardingOutput::makeDefault() { ca::setOutput(device_); }

void ForwardingOutput::giveBack() {
    if (ca::uid(ca::current()) != outputUID) return;
    auto previous = ca::device(previousUID_);
    if (!previous) previous = ca::device(clockUID);
    if (!previous) return;
    try {
        ca::setOutput(*previous);
    } catch (const PlatformError&) {
    }
}

void ForwardingOutput::destroy() {
    if (device_ == 0) return;
    ca::destroyAggregate(device_);
    device_ = 0;
}

}  // namespace sonvale
