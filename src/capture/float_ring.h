#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "coreaudio/audio_buffer_list.h"

namespace sonvale {

using coreaudio::AudioBuffer;
using coreaudio::AudioBufferList;

struct RingStatistics {
    std::uint64_t total = 0;    // frames accepted by push() since creation, discarded ones included
    std::uint64_t dropped = 0;  // frames discarded because the ring was full
    float peak = 0.0f;          // largest absolute sample of the latest accepted buffer list
};

// Hand-over of Float32 stereo frames from the audio thread (push) to the writer thread
// (pop); the status display reads the counters from the main thread. One mutex guards
// everything: the producer only tries it and loses the whole buffer list, uncounted, when
// it is busy, so the audio thread never waits; pop() and statistics() wait for it. When
// the writer falls behind, the oldest frames are discarded and counted in `dropped`.
class FloatRing {
public:
    static constexpr std::int64_t capacity = 0x40000;  // samples: 131,072 stereo frames

    FloatRing();
    FloatRing(const FloatRing&) = delete;
    FloatRing& operator=(const FloatRing&) = delete;

    // Appends one IO cycle's buffer list: interleaved (first buffer has 2 or more
    // channels; channels past the second are ignored), deinterleaved (two buffers) or mono
    // (the left sample is repeated as the right one). Allocates nothing.
    void push(const AudioBufferList& list);
    // Removes and returns up to n frames (2n samples), interleaved, oldest first.
    std::vector<float> pop(std::int64_t n);
    RingStatistics statistics();

private:
    std::mutex lock_;
    std::unique_ptr<float[]> storage_;
    std::int64_t start_ = 0;
    std::int64_t count_ = 0;
    std::uint64_t total_ = 0;
    std::uint64_t dropped_ = 0;
    float peak_ = 0.0f;
};

}  // namespace sonvale
