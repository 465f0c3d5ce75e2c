#pragma once

#include <cstdint>
#include <vector>

#include "coreaudio/audio_system.h"

namespace sonvale::coreaudio {

// Hands on the quanta of a real-time thread in batches of at least `batchBytes`. PipeWire
// runs its graph in the shortest quantum any player asks for (256 frames for some), and each
// hand-on may wake the writer and through it the worker: batched, they wake once per
// fragment's worth whatever the graph runs. add() never allocates; a quantum at least a
// batch long goes on at once, after what was gathered before it.
class QuantumBatcher {
public:
    QuantumBatcher(std::uint32_t batchBytes, IOBlock block);
    // On the real-time thread.
    void add(const void* data, std::uint32_t bytes);
    // What is gathered goes on now (from any thread, once add() is no longer called).
    void flush();

private:
    std::uint32_t batchBytes_;
    IOBlock block_;
    std::vector<std::uint8_t> gathered_;
    std::uint32_t used_ = 0;
};

}  // namespace sonvale::coreaudio
