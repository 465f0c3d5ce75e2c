#include "capture/float_ring.h"

#include <algorithm>
#include <cmath>

namespace sonvale {

namespace {
// Capacity is a power of two, so masking is the modulo of the ever-growing indices.
constexpr std::uint64_t mask = FloatRing::capacity - 1;
static_assert((FloatRing::capacity & mask) == 0);
}  // namespace

FloatRing::FloatRing() : storage_(new float[capacity]()) {}

void FloatRing::push(const AudioBufferList& list) {
    if (list.mNumberBuffers == 0 || list.mBuffers == nullptr) return;
    const AudioBuffer& first = list.mBuffers[0];
    const std::uint32_t channels = first.mNumberChannels <= 1 ? 1 : first.mNumberChannels;
    std::uint32_t frames = (first.mDataByteSize / 4u) / channels;
    if (first.mData == nullptr) {
        total_.fetch_add(frames, std::memory_order_relaxed);
        dropped_.fetch_add(frames, std::memory_order_relaxed);
        return;
    }
    const auto* left = static_cast<const float*>(first.mData);
    const float* right = nullptr;
    std::uint32_t stride = 1;
    std::uint32_t rightOffset = 0;
    if (first.mNumberChannels >= 2) {
        right = left;
        stride = channels;
        rightOffset = 1;
    } else if (list.mNumberBuffers >= 2 && list.mBuffers[1].mData != nullptr) {
        right = static_cast<const float*>(list.mBuffers[1].mData);
        // Both halves of a deinterleaved list carry the same frames; a shorter right
        // buffer must still never be read past its end.
        frames = std::min(frames, list.mBuffers[1].mDataByteSize / 4u);
    } else {
        right = left;
    }

    const std::uint64_t at = written_.load(std::memory_order_relaxed);
    const std::uint64_t used = at - read_.load(std::memory_order_acquire);
    const std::uint64_t room = (capacity - used) / 2;
    const std::uint32_t kept = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, room));

    float maximum = 0.0f;
    for (std::uint32_t i = 0; i < kept; ++i) {
        const float l = left[std::size_t(i) * stride];
        const float r = right[std::size_t(i) * stride + rightOffset];
        storage_[(at + 2 * i) & mask] = l;
        storage_[(at + 2 * i + 1) & mask] = r;
        // A comparison with NaN is false, so NaN samples leave the maximum unchanged.
        const float a = std::fabs(l), b = std::fabs(r);
        if (a > maximum) maximum = a;
        if (b > maximum) maximum = b;
    }
    written_.store(at + 2 * std::uint64_t(kept), std::memory_order_release);
    if (kept > 0) peak_.store(maximum, std::memory_order_relaxed);
    if (kept < frames) dropped_.fetch_add(frames - kept, std::memory_order_relaxed);
    total_.fetch_add(frames, std::memory_order_relaxed);
}

std::vector<float> FloatRing::pop(std::int64_t n) {
    const std::uint64_t from = read_.load(std::memory_order_relaxed);
    const std::uint64_t stored = written_.load(std::memory_order_acquire) - from;
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(2 * std::uint64_t(std::max<std::int64_t>(n, 0)), stored));
    if (take == 0) return {};
    std::vector<float> samples(take);
    const std::size_t start = from & mask;
    const std::size_t firstPart = std::min<std::size_t>(take, capacity - start);
    std::copy_n(storage_.get() + start, firstPart, samples.begin());
    std::copy_n(storage_.get(), take - firstPart, samples.begin() + std::ptrdiff_t(firstPart));
    read_.store(from + take, std::memory_order_release);
    return samples;
}

std::int64_t FloatRing::available() const {
    const std::uint64_t read = read_.load(std::memory_order_acquire);
    return static_cast<std::int64_t>((written_.load(std::memory_order_acquire) - read) / 2);
}

RingStatistics FloatRing::statistics() const {
    return {total_.load(std::memory_order_relaxed), dropped_.load(std::memory_order_relaxed),
            peak_.load(std::memory_order_relaxed)};
}

}  // namespace sonvale
