#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "coreaudio/pulse_device_facts.h"

// The 48 kHz lane of the forwarding output on PulseAudio. The forwarding output runs at 44.1 kHz,
// so that 44.1 kHz players reach the speaker bit-exact; the daemon would convert a 48 kHz player
// into it with its default resampler (speex-float-1, 72 dB). The lane is a remap sink at 48 kHz
// whose one stream plays into the forwarding output through libsoxr at its very high quality
// (92 dB at the speaker); 48 kHz players are moved onto it and anything else back off it, so
// each player meets at most one conversion, a clean one. PipeWire converts at 90 dB and more by
// itself and needs no lane.
namespace sonvale::coreaudio {

inline constexpr std::uint32_t laneRate = 48000;
// The sink property that marks a lane, naming the forwarding output it plays into.
inline constexpr std::string_view laneOfProperty = "sonvale.lane.of";

// The lane's sink name for a forwarding output's.
std::string laneName(std::string_view forwardingSink);

// "sink_name=<lane> master=<forwarding sink> rate=48000 ... resample_method=soxr-vhq ...", or
// nullopt when the forwarding output's name is not a plain sink name.
std::optional<std::string> laneArguments(std::string_view forwardingSink, std::string_view description);

// The sink indices the rule works with: the forwarding output, its lane, the lane's module
// (whose own stream into the forwarding output is never moved) and the default sink.
struct LaneRoute {
    std::uint32_t forwarding = noIndex;
    std::uint32_t lane = noIndex;
    std::uint32_t laneModule = noIndex;
    std::uint32_t defaultSink = noIndex;
};

// Where each stream belongs. While the forwarding output (or its lane) is the default: a
// 48 kHz player on the forwarding output goes onto the lane, anything else on the lane back.
// While another output is: everything on the lane goes to it, since the server moves only the
// streams of the old default, and a stream moved onto the default follows the default again.
// Streams into other sinks, the lane's own and passthrough ones stay. The lane is suspended
// while no player plays on it (none there, or all paused): awake, it would convert silence all
// the time.
PulseRoutingPlan lanePlan(const std::vector<PulseSinkInput>& inputs, const LaneRoute& route);

}  // namespace sonvale::coreaudio
