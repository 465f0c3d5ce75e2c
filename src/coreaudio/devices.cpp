#include "coreaudio/devices.h"

#include <cctype>

#include "base/platform_error.h"
#include "base/constants.h"

namespace sonvale::coreaudio {

AudioObjectPropertyAddress address(std::uint32_t selectorCode, std::uint32_t scopeCode) {
    return {selectorCode, scopeCode, 0};
}

std::vector<std::uint32_t> numbers(AudioObjectID object, std::uint32_t selectorCode, std::uint32_t scopeCode) {
    const auto where = address(selectorCode, scopeCode);
    std::uint32_t size = 0;
    if (audioSystem().getPropertyDataSize(object, where, size) != noErr || size == 0) return {};
    const std::size_t count = size / 4;
    if (count == 0) return {};
    // Values past what the read hands back stay 0, like the platform's own callers see.
    std::vector<std::uint32_t> values(count, 0);
    std::uint32_t ioSize = size;
    if (audioSystem().getPropertyData(object, where, ioSize, values.data()) != noErr) return {};
    return values;
}

AudioObjectID current() {
    const auto values = numbers(kAudioObjectSystemObject, selector::defaultOutput);
    return values.empty() ? kAudioObjectUnknown : values.front();
}

std::vector<AudioObjectID> devices() { return numbers(kAudioObjectSystemObject, selector::devices); }

std::string textProperty(AudioObjectID object, std::uint32_t selectorCode) {
    std::optional<std::string> text;
    if (audioSystem().getStringProperty(object, address(selectorCode), text) != noErr || !text) return {};
    return *text;
}

std::string uid(AudioObjectID deviceID) { return textProperty(deviceID, selector::deviceUID); }

bool eligible(AudioObjectID deviceID) {
    const std::string deviceUid = uid(deviceID);
    if (deviceUid == outputUID) return true;
    const auto transports = numbers(deviceID, selector::transportType);
    const std::uint32_t kind = transports.empty() ? 0 : transports.front();
    if (kind == transport::hdmi || kind == transport::displayPort) return true;
    if (kind != transport::builtIn) return false;
    // One output of the machine with several ports (a laptop's speaker and headphone jack) is
    // what its playing port is now.
    if (const auto source = numbers(deviceID, selector::dataSource, scope::output); !source.empty()) {
        return source.front() == data_source::internalSpeaker;
    }
    std::string lowered = deviceUid;
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lowered.find("speaker") != std::string::npos) return true;
    return textProperty(deviceID, selector::name).find("扬声器") != std::string::npos;
}

std::optional<AudioObjectID> device(std::string_view wanted) {
    for (AudioObjectID id : devices()) {
        if (uid(id) == wanted) return id;
    }
    return std::nullopt;
}

void setOutput(AudioObjectID deviceID) {
    const OSStatus status = audioSystem().setPropertyData(kAudioObjectSystemObject, address(selector::defaultOutput),
                                                          sizeof(deviceID), &deviceID);
    check(status, "设置输出");
}

void check(OSStatus status, std::string_view what) {
    if (status == noErr) return;
    throw PlatformError("Sonvale", status, std::string(what) + "失败（" + std::to_string(status) + "）");
}

nlohmann::json aggregateDescription(std::string_view name, std::string_view aggregateUid, bool isPrivate,
                                    const std::optional<std::string>& tap) {
    nlohmann::json description = {
        {"name", std::string(name)},
        {"uid", std::string(aggregateUid)},
        {"private", isPrivate ? 1 : 0},
    };
    if (tap) description["taps"] = nlohmann::json::array({{{"uid", *tap}}});
    return description;
}

AudioObjectID makeAggregate(std::string_view name, std::string_view aggregateUid, bool isPrivate,
                            const std::optional<std::string>& tap) {
    AudioObjectID created = kAudioObjectUnknown;
    const OSStatus status =
        audioSystem().createAggregateDevice(aggregateDescription(name, aggregateUid, isPrivate, tap), created);
    check(status, "建立音频设备");
    return created;
}

void destroyAggregate(AudioObjectID deviceID) { audioSystem().destroyAggregateDevice(deviceID); }

void cleanupLeftoverOutput() {
    const auto leftover = device(outputUID);
    if (!leftover) return;
    if (current() == *leftover) {
        if (const auto speaker = device(clockUID)) {
            try {
                setOutput(*speaker);
            } catch (const PlatformError&) {
                // The server then picks an output itself once the leftover is gone.
            }
        }
    }
    destroyAggregate(*leftover);
}

}  // namespace sonvale::coreaudio
