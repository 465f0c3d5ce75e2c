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

// Index into sinks of the sink presented under the clock UID: the first sink of the
// machine's own card that has a speaker port, whichever port plays now (without ports: an
// internal or speaker form factor and a name or description that says speaker), else the
// first HDMI or DisplayPort sink. A port change never moves the clock to another sink.
std::optional<std::size_t> clockSink(const std::vector<PulseDeviceFacts>& sinks);

// What a sink with ports plays through now, as a data source code ('ispk', 'hdpn', 'hdmi',
// 'othr'); nothing for a device without ports.
std::optional<std::uint32_t> dataSourceOf(const PulseDeviceFacts& device);

// The name a device is shown by: its description, and for a sink with several ports the
// port that plays now ("内置音频 模拟立体声 · 耳机").
std::string displayNameOf(const PulseDeviceFacts& device);

}  // namespace sonvale::coreaudio
