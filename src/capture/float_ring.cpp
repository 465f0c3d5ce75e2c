#include "capture/float_ring.h"

#include <algorithm>
#include <cmath>

namespace sonvale {

FloatRing::FloatRing() : storage_(new float[capacity]()) {}

void FloatRing::push(const AudioBufferList& list) {
    std::unique_lock guard(lock_, std::try_to_lock);
    if (!guard.owns_lock()) return;
    if (list.mNumberBuffers == 0 || list.mBuffers == nullptr || list.mBuffers[0].mData == nullptr) return;

    const AudioBuffer& first = list.mBuffers[0];
    const std::uint32_t channels = first.mNumberChannels <= 1 ? 1 : first.mNumberChannels;
    std::uint32_t frames = (first.mDataByteSize / 4u) / channels;
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

    // A list longer than the whole ring keeps only its newest frames; the others count as
    // dropped like any frame pushed out by newer ones.
    const std::uint32_t maxFrames = static_cast<std::uint32_t>(capacity / 2);
    const std::uint32_t skipped = frames > maxFrames ? frames - maxFrames : 0;
    const std::int64_t kept = frames - skipped;

    const std::int64_t excess = count_ + 2 * kept - capacity;
    if (excess > 0) {
        const std::int64_t drop = std::min(excess, count_);
        start_ = (start_ + drop) % capacity;
        count_ -= drop;
        dropped_ += static_cast<std::uint64_t>(drop / 2);
    }
    dropped_ += skipped;

    // Capacity is a power of two, so masking is the modulo of these non-negative indices.
    constexpr std::int64_t mask = capacity - 1;
    std::int64_t at = (start_ + count_) & mask;
    float maximum = 0.0f;
    for (std::uint32_t i = skipped; i < frames; ++i) {
        const float l = left[std::size_t(i) * stride];
        const float r = right[std::size_t(i) * stride + rightOffset];
        storage_[at] = l;
        at = (at + 1) & mask;
        storage_[at] = r;
        at = (at + 1) & mask;
        // A comparison with NaN is false, so NaN samples leave the maximum unchanged.
        const float a = std::fabs(l), b = std::fabs(r);
        if (a > maximum) maximum = a;
        if (b > maximum) maximum = b;
    }
    count_ += 2 * kept;
    peak_ = maximum;
    total_ += frames;
}

std::vector<float> FloatRing::pop(std::int64_t n) {
    std::lock_guard guard(lock_);
    const std::int64_t take = std::min(2 * std::max<std::int64_t>(n, 0), count_);
    if (take == 0) return {};
    std::vector<float> samples(static_cast<std::size_t>(take));
    const std::int64_t firstPart = std::min(take, capacity - start_);
    std::copy_n(storage_.get() + start_, firstPart, samples.begin());
    std::copy_n(storage_.get(), take - firstPart, samples.begin() + firstPart);
    start_ = (start_ + take) % capacity;
    count_ -= take;
    return samples;
}

RingStatistics FloatRing::statistics() {
    std::lock_guard guard(lock_);
    return {total_, dropped_, peak_};
}

}  // namespace sonvale
