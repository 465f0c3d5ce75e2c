#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "coreaudio/audio_buffer_list.h"

namespace sonvale {

using coreaudio::AudioBuffer;
using coreaudio::AudioBufferList;

struct RingStatistics {
    std::uint64_t total = 0;    // frames handed to push() since creation, dropped ones included
    std::uint64_t dropped = 0;  // frames lost: no room in the ring, or a hole in the stream
    float peak = 0.0f;          // largest absolute sample of the latest stored buffer list
};

// Hand-over of Float32 stereo frames from the audio thread (push, the one producer) to the
// writer thread (pop and available, the one consumer); any thread may read statistics().
// Lock-free: the producer owns `written_`, the consumer `read_`; each publishes its index
// with a release store and reads the other's with an acquire load, so the samples between
// them are complete before the other side sees them. Neither side ever waits. When the
// writer falls behind, the frames that find no room are dropped and counted in `dropped`,
// as are the frames of a hole (a buffer without data).
class FloatRing {
public:
    static constexpr std::int64_t capacity = 0x40000;  // samples: 131,072 stereo frames

    FloatRing();
    FloatRing(const FloatRing&) = delete;
    FloatRing& operator=(const FloatRing&) = delete;

    // Producer. Appends one IO cycle's buffer list: interleaved (first buffer has 2 or more
    // channels; channels past the second are ignored), deinterleaved (two buffers) or mono
    // (the left sample is repeated as the right one). Allocates nothing.
    void push(const AudioBufferList& list);
    // Consumer. Removes and returns up to n frames (2n samples), interleaved, oldest first.
    std::vector<float> pop(std::int64_t n);
    // Consumer or producer: the frames stored and not yet popped.
    std::int64_t available() const;
    RingStatistics statistics() const;

private:
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<float>::is_always_lock_free);

    std::unique_ptr<float[]> storage_;
    alignas(64) std::atomic<std::uint64_t> written_{0};  // samples ever stored
    alignas(64) std::atomic<std::uint64_t> read_{0};     // samples ever popped
    alignas(64) std::atomic<std::uint64_t> total_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<float> peak_{0.0f};
};

}  // namespace sonvale
