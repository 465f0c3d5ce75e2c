#pragma once

#include <optional>
#include <string>
#include <string_view>

// The module argument that creates the forwarding output device as a null sink.
namespace sonvale::coreaudio {

// The name as both PulseAudio and pipewire-pulse will read it back from inside the
// quoted argument. Their parsers differ only in backslash escapes (PulseAudio removes the
// backslash, PipeWire keeps it), so the argument never needs one: the characters that
// would need escaping are replaced by look-alikes that need none ('"' by '”', '\'' by
// '’', '\\' by '＼'), control characters by a space and invalid UTF-8 by U+FFFD.
std::string portableDescription(std::string_view name);

// "sink_name=<uid> ... sink_properties='device.description=\"<name>\" ...'", or nullopt
// when uid is not a plain sink name (letters, digits, '.', '_', '-').
std::optional<std::string> nullSinkArguments(std::string_view uid, std::string_view name);

}  // namespace sonvale::coreaudio
