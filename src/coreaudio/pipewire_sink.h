#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace sonvale::coreaudio {

// A sink node of Sonvale's own on PipeWire, made with libpipewire in this process. It is
// what module-null-sink would make from the same arguments (name, description, rate,
// format, properties; pipewire-pulse shows it with its monitor like any sink), and it also
// reports a delay: pipewire-pulse adds a sink's reported latency to what
// pa_stream_get_latency() tells a player, which a null sink cannot carry on PipeWire 0.3.65.
// The audio played into it is dropped after the monitor has it. The node lives as long as
// the object, and so never outlives the process. Any thread.
class PipeWireSink {
public:
    // Connects to the PipeWire daemon behind the pulse server in use (the directory of
    // $PULSE_SERVER's socket, else PipeWire's own default) and makes the node from
    // module-null-sink arguments. nullptr when PipeWire is not reachable there or refuses.
    static std::unique_ptr<PipeWireSink> create(const std::string& nullSinkArguments);
    ~PipeWireSink();
    PipeWireSink(const PipeWireSink&) = delete;
    PipeWireSink& operator=(const PipeWireSink&) = delete;

    const std::string& name() const;
    // The delay players on the sink are told, on top of the graph's own.
    bool setLatency(std::chrono::nanoseconds delay);

private:
    struct Impl;
    explicit PipeWireSink(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace sonvale::coreaudio
