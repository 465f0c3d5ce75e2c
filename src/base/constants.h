#pragma once

#include <string_view>

namespace sonvale {

// Application identifier: single-instance key, stem of the capture device's UID and the
// error domain of the capture path's own errors.
inline constexpr std::string_view sonvaleID = "local.sonvale";
// UID of the forwarding output device, the virtual output that is the system default
// while audio is forwarded.
inline constexpr std::string_view outputUID = "local.sonvale.output.bedroom";
// UID under which the device layer presents the machine's own speaker.
inline constexpr std::string_view clockUID = "BuiltInSpeakerDevice";

}  // namespace sonvale
