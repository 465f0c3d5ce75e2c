#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// What the sound server tells about its devices, as plain data: the PulseAudio backend
// fills these from the server, and the mapping to the audio object model works on them
// alone (pulse_device_mapping.h).
namespace sonvale::coreaudio {

// Port types as the server numbers them (pa_device_port_type).
namespace port_type {
inline constexpr std::uint32_t unknown = 0;
inline constexpr std::uint32_t speaker = 2;
inline constexpr std::uint32_t headphones = 3;
inline constexpr std::uint32_t headset = 6;
inline constexpr std::uint32_t handset = 7;
inline constexpr std::uint32_t earpiece = 8;
inline constexpr std::uint32_t hdmi = 10;
}  // namespace port_type

struct PulsePort {
    std::string name;
    std::string description;
    std::uint32_t type = port_type::unknown;
    bool operator==(const PulsePort&) const = default;
};

inline constexpr std::uint32_t noIndex = UINT32_MAX;

struct PulseDeviceFacts {
    bool isSink = true;
    std::uint32_t index = noIndex;  // the server's index, unique per kind while the device lives
    std::string name;
    std::string description;
    std::map<std::string, std::string> properties;
    std::vector<PulsePort> ports;
    std::string activePort;  // empty without ports
    std::uint32_t ownerModule = noIndex;
    bool operator==(const PulseDeviceFacts&) const = default;
};

// A player's stream into a sink (a sink input), as far as routing it by its rate needs.
struct PulseSinkInput {
    std::uint32_t index = noIndex;
    std::uint32_t sink = noIndex;  // the sink's index
    std::uint32_t rate = 0;
    std::uint32_t ownerModule = noIndex;  // noIndex for a client's stream
    bool pcm = true;                      // false for passthrough (compressed) streams
    bool corked = false;                  // paused by its player
};

// What a routing rule asks of the server: streams to move (stream, sink) and sinks to suspend
// (true) or resume (false).
struct PulseRoutingPlan {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> moves;
    std::vector<std::pair<std::uint32_t, bool>> suspends;
};

struct PulseServerFacts {
    bool pipeWire = false;    // pipewire-pulse rather than PulseAudio itself
    std::string defaultSink;  // empty when the server has none
    std::vector<PulseDeviceFacts> sinks;    // in server order, new ones last
    std::vector<PulseDeviceFacts> sources;  // in server order, new ones last; monitors left out
};

}  // namespace sonvale::coreaudio
