#include "coreaudio/pulse_device_mapping.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "coreaudio/audio_system.h"
#include "base/constants.h"

namespace sonvale::coreaudio {
namespace {

std::string lowered(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::string property(const PulseDeviceFacts& device, const std::string& key) {
    const auto found = device.properties.find(key);
    return found == device.properties.end() ? std::string() : found->second;
}

const PulsePort* activePort(const PulseDeviceFacts& device) {
    for (const auto& port : device.ports) {
        if (port.name == device.activePort) return &port;
    }
    return nullptr;
}

// A card output that carries a display's sound: by port type or name (PulseAudio
// "hdmi-output-N", UCM "[Out] HDMI1"), by profile ("hdmi-stereo-extra1") or by ALSA
// device string ("hdmi:0", "hdmi:1,1").
bool isDisplayOutput(const PulseDeviceFacts& device, const PulsePort* port) {
    if (port) {
        if (port->type == port_type::hdmi) return true;
        const auto name = lowered(port->name);
        if (contains(name, "hdmi") || contains(name, "displayport")) return true;
        if (port->type != port_type::unknown) return false;
    }
    return startsWith(lowered(property(device, "device.profile.name")), "hdmi") ||
           startsWith(lowered(property(device, "device.string")), "hdmi") ||
           startsWith(lowered(property(device, "api.alsa.pcm.name")), "hdmi");
}

// The server calls DisplayPort outputs HDMI too; only the ALSA PCM name or the port's
// description tells them apart.
bool saysDisplayPort(const PulseDeviceFacts& device, const PulsePort* port) {
    for (const auto& text : {property(device, "alsa.name"), property(device, "api.alsa.pcm.name"),
                             port ? port->description : std::string(), device.description}) {
        const auto l = lowered(text);
        if (contains(l, "displayport") || startsWith(l, "dp ") || contains(l, " dp ") || contains(l, "(dp")) return true;
    }
    return false;
}

bool isHardwareBus(const std::string& bus) {
    return bus.empty() || bus == "pci" || bus == "platform" || bus == "isa";
}

// A speaker port by its type, or by its name where the server gives no type (UCM "[Out] Speaker").
bool isSpeakerPort(const PulsePort& port) {
    return port.type == port_type::speaker || (port.type == port_type::unknown && contains(lowered(port.name), "speaker"));
}

bool mentionsSpeaker(const PulseDeviceFacts& device) {
    return contains(lowered(device.name), "speaker") || contains(lowered(device.description), "speaker") ||
           contains(device.description, "扬声器");
}

}  // namespace

std::uint32_t transportOf(const PulseDeviceFacts& device) {
    if (device.isSink && device.name == outputUID) return transport::aggregate;
    const auto bus = lowered(property(device, "device.bus"));
    const auto api = lowered(property(device, "device.api"));
    if (bus == "bluetooth" || api == "bluez" || api == "bluez5" || startsWith(device.name, "bluez_")) {
        return transport::bluetooth;
    }
    if (bus == "usb" || contains(device.name, ".usb-")) return transport::usb;
    if (api != "alsa" || !isHardwareBus(bus)) return transport::virtualDevice;
    const PulsePort* port = activePort(device);
    if (isDisplayOutput(device, port)) {
        return saysDisplayPort(device, port) ? transport::displayPort : transport::hdmi;
    }
    return transport::builtIn;
}

std::optional<std::size_t> clockSink(const std::vector<PulseDeviceFacts>& sinks) {
    for (std::size_t i = 0; i < sinks.size(); ++i) {
        const auto& sink = sinks[i];
        const auto kind = transportOf(sink);
        if (kind != transport::builtIn && kind != transport::hdmi && kind != transport::displayPort) continue;
        if (!sink.ports.empty()) {
            if (std::any_of(sink.ports.begin(), sink.ports.end(), isSpeakerPort)) return i;
            continue;
        }
        if (kind != transport::builtIn) continue;
        const auto formFactor = lowered(property(sink, "device.form_factor"));
        if ((formFactor == "internal" || formFactor == "speaker") && mentionsSpeaker(sink)) return i;
    }
    for (std::size_t i = 0; i < sinks.size(); ++i) {
        const auto kind = transportOf(sinks[i]);
        if (kind == transport::hdmi || kind == transport::displayPort) return i;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> dataSourceOf(const PulseDeviceFacts& device) {
    if (!device.isSink || device.ports.empty()) return std::nullopt;
    const PulsePort* port = activePort(device);
    if (!port) return data_source::other;
    if (isSpeakerPort(*port)) return data_source::internalSpeaker;
    const auto name = lowered(port->name);
    switch (port->type) {
    case port_type::headphones:
    case port_type::headset:
    case port_type::handset:
    case port_type::earpiece:
        return data_source::headphones;
    case port_type::hdmi:
        return data_source::hdmi;
    case port_type::unknown:
        if (contains(name, "headphone") || contains(name, "headset")) return data_source::headphones;
        if (contains(name, "hdmi") || contains(name, "displayport")) return data_source::hdmi;
        return data_source::other;
    default:
        return data_source::other;
    }
}

std::string displayNameOf(const PulseDeviceFacts& device) {
    const PulsePort* port = device.ports.size() > 1 ? activePort(device) : nullptr;
    if (!port || port->description.empty()) return device.description;
    return device.description + " · " + port->description;
}

}  // namespace sonvale::coreaudio
