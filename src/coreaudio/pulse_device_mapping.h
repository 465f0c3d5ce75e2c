#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "coreaudio/pulse_device_facts.h"

// How sinks and sources appear as audio devices: their transport type, and which sink is
// presented as the machine's own speaker (the clock device).
namespace sonvale::coreaudio {

// 'grup' for the forwarding output device, 'blue', 'usb ', 'hdmi', 'dprt', 'bltn' for a
// card of the machine itself, 'virt' for null, remap and other software devices.
std::uint32_t transportOf(const PulseDeviceFacts& device);

// Index into sinks of the sink presented under the clock UID: the first built-in sink
// whose active port is a speaker (without ports: an internal or speaker form factor and a
// name or description that says speaker), else the first HDMI or DisplayPort sink.
std::optional<std::size_t> clockSink(const std::vector<PulseDeviceFacts>& sinks);

}  // namespace sonvale::coreaudio
