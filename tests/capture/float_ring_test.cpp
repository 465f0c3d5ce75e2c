#include <gtest/gtest.h>

#include "capture/float_ring.h"

namespace sonvale {
namespace {

std::vector<float> ramp(std::size_t n, float from = 0.0f) {
    std::vector<float> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = from + float(i) / 1024.0f;
    return values;
}

void push(FloatRing& ring, std::vector<float>& interleaved) {
    AudioBuffer buffer{2, std::uint32_t(interleaved.size() * 4), interleaved.empty() ? static_cast<void*>(&ring) : interleaved.data()};
    ring.push(AudioBufferList{1, &buffer});
}

std::vector<float> popAll(FloatRing& ring) {
    std::vector<float> all;
    for (auto part = ring.pop(1000); !part.empty(); part = ring.pop(1000)) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Every layout the platform delivers ends up as left/right pairs, never read past a buffer's end.
TEST(FloatRing, BufferLayoutsAreStoredAsStereoFrames) {
    auto left = ramp(256), right = ramp(256, -0.5f), quad = ramp(400, 3.0f);
    auto pairs = [](const float* l, std::size_t step, const float* r, std::size_t n) {
        std::vector<float> out;
        for (std::size_t i = 0; i < n; ++i) out.insert(out.end(), {l[i * step], r[i * step]});
        return out;
    };
    const auto mono = pairs(left.data(), 1, left.data(), 256);
    const std::pair<std::vector<AudioBuffer>, std::vector<float>> cases[] = {
        {{{1, 1024, left.data()}}, mono},
        {{{0, 1024, left.data()}, {1, 1024, nullptr}}, mono},
        {{{1, 1024, left.data()}, {1, 1024, right.data()}}, pairs(left.data(), 1, right.data(), 256)},
        {{{1, 1024, left.data()}, {1, 64, right.data()}}, pairs(left.data(), 1, right.data(), 16)},
        {{{4, 1600, quad.data()}}, pairs(quad.data(), 4, quad.data() + 1, 100)},
        {{{2, 1026, left.data()}}, left},
        {{{2, 4096, nullptr}}, {}},
        {{}, {}},
    };
    for (const auto& [buffers, expected] : cases) {
        FloatRing ring;
        ring.push(AudioBufferList{std::uint32_t(buffers.size()), buffers.data()});
        EXPECT_EQ(ring.statistics().total, expected.size() / 2);
        EXPECT_EQ(popAll(ring), expected) << buffers.size();
    }
}

// A full ring keeps the newest 131,072 frames, also of one list longer than itself, and
// counts every frame it discards; the first case wraps around the end of storage.
TEST(FloatRing, OverflowKeepsTheNewestFramesAndCountsTheRest) {
    using Pushes = std::vector<std::vector<float>>;
    for (auto pushes : {Pushes{ramp(262000), ramp(2000, 500.0f)}, Pushes{ramp(2 * 140000)}}) {
        FloatRing ring;
        std::vector<float> all;
        for (auto& samples : pushes) push(ring, samples), all.insert(all.end(), samples.begin(), samples.end());
        EXPECT_EQ(ring.statistics().total, all.size() / 2);
        EXPECT_EQ(ring.statistics().dropped, all.size() / 2 - 131072u);
        EXPECT_EQ(popAll(ring), std::vector<float>(all.end() - FloatRing::capacity, all.end()));
    }
}

}  // namespace
}  // namespace sonvale
