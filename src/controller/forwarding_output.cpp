#include "controller/forwarding_output.h"

#include "base/platform_error.h"
#include "coreaudio/devices.h"

namespace sonvale {

namespace ca = coreaudio;

namespace {

bool playsAudio(ca::AudioObjectID device) { return !ca::numbers(device, ca::selector::streams, ca::scope::output).empty(); }

// Real outputs other than the forwarding output: the ones forwarding may take over first,
// the speaker of the machine among them, then the rest.
std::vector<ca::AudioObjectID> otherOutputs() {
    std::vector<ca::AudioObjectID> eligible;
    std::vector<ca::AudioObjectID> rest;
    for (const ca::AudioObjectID device : ca::devices()) {
        if (ca::uid(device) == outputUID || !playsAudio(device)) continue;
        (ca::eligible(device) ? eligible : rest).push_back(device);
    }
    eligible.insert(eligible.end(), rest.begin(), rest.end());
    return eligible;
}

}  // namespace

void ForwardingOutput::ensure(const QString& name) {
    if (device_ != 0 && ca::uid(device_) == outputUID) return;
    if (const auto leftover = ca::device(outputUID)) {
        device_ = *leftover;
        return;
    }
    device_ = 0;
    device_ = ca::makeAggregate((QStringLiteral("Sonvale · ") + name).toStdString(), outputUID, false, std::nullopt);
}

bool ForwardingOutput::vanished() const { return device_ != 0 && ca::uid(device_) != outputUID; }

void ForwardingOutput::rememberUserOutput() {
    const std::string currentUID = ca::uid(ca::current());
    if (currentUID != outputUID) previousUID_ = currentUID;
}

void ForwardingOutput::makeDefault() { ca::setOutput(device_); }

std::optional<QString> ForwardingOutput::setFirstOf(const std::vector<ca::AudioObjectID>& candidates) {
    for (const ca::AudioObjectID candidate : candidates) {
        try {
            ca::setOutput(candidate);
            return QString::fromStdString(ca::textProperty(candidate));
        } catch (const PlatformError&) {
        }
    }
    return std::nullopt;
}

std::optional<QString> ForwardingOutput::giveBack() {
    if (ca::uid(ca::current()) != outputUID) return std::nullopt;
    std::vector<ca::AudioObjectID> candidates;
    for (const std::string& uid : {previousUID_, std::string(clockUID)}) {
        if (const auto device = ca::device(uid)) candidates.push_back(*device);
    }
    const auto others = otherOutputs();
    candidates.insert(candidates.end(), others.begin(), others.end());
    return setFirstOf(candidates);
}

std::optional<QString> ForwardingOutput::restoreUserOutput() {
    const auto previous = ca::device(previousUID_);
    if (!previous || *previous == ca::current()) return std::nullopt;
    return setFirstOf({*previous});
}

void ForwardingOutput::destroy() {
    if (device_ == 0) return;
    ca::destroyAggregate(device_);
    device_ = 0;
}

}  // namespace sonvale
