#include "coreaudio/pulse_rate_lane.h"

#include "coreaudio/pulse_module_arguments.h"

namespace sonvale::coreaudio {

std::string laneName(std::string_view forwardingSink) { return std::string(forwardingSink) + ".48k"; }

std::optional<std::string> laneArguments(std::string_view forwardingSink, std::string_view description) {
    // nullSinkArguments vets the name, as for the forwarding output itself.
    if (!nullSinkArguments(forwardingSink, description)) return std::nullopt;
    // Float in and out, so that nothing is rounded before the capture; no remixing, stereo
    // as the forwarding output.
    return "sink_name=" + laneName(forwardingSink) + " master=" + std::string(forwardingSink) + " rate=" +
           std::to_string(laneRate) +
           " format=float32le channels=2 channel_map=front-left,front-right remix=no resample_method=soxr-vhq"
           " sink_properties='device.description=\"" + portableDescription(description) + " · 48 kHz 转换通道（自动使用，无需选择）\" " +
           std::string(laneOfProperty) + "=" + std::string(forwardingSink) + "'";
}

namespace {

std::optional<std::uint32_t> destination(const PulseSinkInput& input, const LaneRoute& route) {
    const bool forwarding = route.defaultSink == route.forwarding || route.defaultSink == route.lane;
    if (input.sink == route.lane) {
        if (!forwarding) return route.defaultSink == noIndex ? std::nullopt : std::optional(route.defaultSink);
        return input.rate == laneRate ? std::nullopt : std::optional(route.forwarding);
    }
    if (input.sink == route.forwarding && forwarding && input.rate == laneRate) return route.lane;
    return std::nullopt;
}

}  // namespace

PulseRoutingPlan lanePlan(const std::vector<PulseSinkInput>& inputs, const LaneRoute& route) {
    PulseRoutingPlan plan;
    bool occupied = false;
    for (const auto& input : inputs) {
        if (!input.pcm || input.ownerModule == route.laneModule) continue;
        const auto to = destination(input, route);
        if (to && *to != input.sink) plan.moves.emplace_back(input.index, *to);
        occupied |= !input.corked && (to ? *to : input.sink) == route.lane;
    }
    plan.suspends.emplace_back(route.lane, !occupied);
    return plan;
}

}  // namespace sonvale::coreaudio
