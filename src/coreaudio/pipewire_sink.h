#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace sonvale::coreaudio {

// A sink node of Sonvale's own on PipeWire, made with libpipewire in this process. It is
// what module-null-sink would make from the same arguments (name, description, rate,
// format, properties; pipewire-pulse shows it with its monitor like any sink), and it also
// reports a delay: pipewire-pulse adds a sink's reported latency to what
// pa_stream_get_latency() tells a player, which a null sink cannot carry on PipeWire 0.3.65.
// The audio played into it goes to the receiver, if one is set, and to the monitor. While a
// receiver is set the node runs without players too, so it gets silence rather than nothing;
// without one it is idle when nothing plays. The node lives as long as the object, and so
// never outlives the process. Any thread.
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
    std::uint32_t rate() const;
    bool isFloat32() const;  // else 16-bit; always interleaved stereo

    // Called with each quantum played into the sink, in the sink's format, on PipeWire's
    // real-time data thread. Setting or clearing it waits for a call in progress, so after
    // setReceiver(nullptr) returns the old receiver is not called again.
    using Receiver = std::function<void(const void* data, std::uint32_t bytes)>;
    void setReceiver(Receiver receiver);
    // The delay players on the sink are told, on top of the graph's own.
    bool setLatency(std::chrono::nanoseconds delay);

private:
    struct Impl;
    explicit PipeWireSink(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace sonvale::coreaudio
