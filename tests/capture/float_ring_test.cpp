#include <gtest/gtest.h>

#include "capture/float_ring.h"

namespace sonvale {
namespace {

std::vector<float> ramp(std::size_t n, float from = 0.0f) {
    std::vector<float> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = from + float(i) / 1024.0f;
    return values;
}

std::vector<float> popAll(FloatRing& ring) {
    std::vector<float> all;
    for (auto part = ring.pop(1000); !part.empty(); part = ring.pop(1000)) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The layout the backend delivers, interleaved stereo, also with a partial frame or no data: never read past the end.
TEST(FloatRing, InterleavedBuffersAreStoredAsStereoFrames) {
    auto samples = ramp(256);
    const std::pair<AudioBuffer, std::vector<float>> cases[] = {
        {{2, 1024, samples.data()}, samples}, {{2, 1026, samples.data()}, samples}, {{2, 4096, nullptr}, {}}};
    for (auto [buffer, expected] : cases) {
        FloatRing ring;
        ring.push(AudioBufferList{1, &buffer});
        EXPECT_EQ(ring.statistics().total, expected.size() / 2);
        EXPECT_EQ(popAll(ring), expected);
    }
}

// A full ring keeps the newest 131,072 frames, also of one list longer than itself, and counts every frame it
// discards; the first case wraps around the end of storage.
TEST(FloatRing, OverflowKeepsTheNewestFramesAndCountsTheRest) {
    using Pushes = std::vector<std::vector<float>>;
    for (auto pushes : {Pushes{ramp(262000), ramp(2000, 500.0f)}, Pushes{ramp(2 * 140000)}}) {
        FloatRing ring;
        std::vector<float> all;
        for (auto& samples : pushes) {
            AudioBuffer buffer{2, std::uint32_t(samples.size() * 4), samples.data()};
            ring.push(AudioBufferList{1, &buffer});
            all.insert(all.end(), samples.begin(), samples.end());
        }
        EXPECT_EQ(ring.statistics().total, all.size() / 2);
        EXPECT_EQ(ring.statistics().dropped, all.size() / 2 - 131072u);
        EXPECT_EQ(popAll(ring), std::vector<float>(all.end() - FloatRing::capacity, all.end()));
    }
}

}  // namespace
}  // namespace sonvale
