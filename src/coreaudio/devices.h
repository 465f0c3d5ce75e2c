#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "coreaudio/audio_system.h"

// Device queries over the current audio system. They keep no state of their own; the
// PulseAudio backend answers reads from its view of the server without asking it.
namespace sonvale::coreaudio {

AudioObjectPropertyAddress address(std::uint32_t selector, std::uint32_t scope = scope::global);

// The property's value as 32-bit numbers; empty when unreadable or empty.
std::vector<std::uint32_t> numbers(AudioObjectID object, std::uint32_t selector,
                                   std::uint32_t scope = scope::global);

AudioObjectID current();                     // the default output device, 0 when none
std::vector<AudioObjectID> devices();        // every audio device, in the system's order
std::string textProperty(AudioObjectID object, std::uint32_t selector = selector::name);  // "" when unreadable
std::string uid(AudioObjectID device);
// Whether forwarding may take over this output: the forwarding output device itself, a
// display's speakers, or the machine's own speaker (while its speaker port plays, where it
// has ports).
bool eligible(AudioObjectID device);
std::optional<AudioObjectID> device(std::string_view uid);
void setOutput(AudioObjectID device);        // throws PlatformError ("设置输出失败（status）")

// Turns a failed status into a PlatformError: what-text + "失败（" + status + "）".
void check(OSStatus status, std::string_view what);

// The description dictionary of an aggregate device: name, uid, private (0 or 1) and, with
// a tap, taps = [{uid}]. A private one is not listed among the devices.
nlohmann::json aggregateDescription(std::string_view name, std::string_view uid, bool isPrivate,
                                    const std::optional<std::string>& tap);
AudioObjectID makeAggregate(std::string_view name, std::string_view uid, bool isPrivate,
                            const std::optional<std::string>& tap);
// Housekeeping: the result is deliberately not examined by callers.
void destroyAggregate(AudioObjectID device);

// Removes a forwarding output device left behind by an earlier run, giving the speaker
// back first when it was the default output. Absorbs every failure.
void cleanupLeftoverOutput();

}  // namespace sonvale::coreaudio
