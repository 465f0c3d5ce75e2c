#include <gtest/gtest.h>

#include <thread>

#include "capture/float_ring.h"

namespace sonvale {
namespace {

std::vector<float> ramp(std::size_t n, float from = 0.0f) {
    std::vector<float> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = from + float(i);
    return values;
}

void push(FloatRing& ring, std::vector<float>& samples) {
    AudioBuffer buffer{2, std::uint32_t(samples.size() * 4), samples.data()};
    ring.push(AudioBufferList{1, &buffer});
}

std::vector<float> popAll(FloatRing& ring) {
    std::vector<float> all;
    for (auto part = ring.pop(1000); !part.empty(); part = ring.pop(1000)) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Interleaved stereo, also with a partial frame; a hole (no data) is counted as dropped, never stored.
TEST(FloatRing, InterleavedBuffersAreStoredAsStereoFramesAndHolesCountAsDropped) {
    auto samples = ramp(256);
    const std::tuple<AudioBuffer, std::vector<float>, std::uint64_t> cases[] = {
        {{2, 1024, samples.data()}, samples, 0}, {{2, 1026, samples.data()}, samples, 0}, {{2, 4096, nullptr}, {}, 512}};
    for (auto [buffer, expected, dropped] : cases) {
        FloatRing ring;
        ring.push(AudioBufferList{1, &buffer});
        EXPECT_EQ(ring.statistics().total, expected.size() / 2 + dropped);
        EXPECT_EQ(ring.statistics().dropped, dropped);
        EXPECT_EQ(popAll(ring), expected);
    }
}

// A full ring keeps what it holds (131,072 frames, across the end of storage) and counts every frame that found no room.
TEST(FloatRing, FramesThatFindNoRoomAreCountedAsDropped) {
    FloatRing ring;
    auto first = ramp(2000), second = ramp(262000, 2000.0f), third = ramp(2000, 264000.0f);
    push(ring, first);
    ASSERT_EQ(ring.pop(1000).size(), 2000u);
    push(ring, second), push(ring, third);
    std::vector<float> expected(second);
    expected.insert(expected.end(), third.begin(), third.begin() + 144);
    EXPECT_EQ(ring.available(), 131072);
    EXPECT_EQ(ring.statistics().dropped, 928u);
    EXPECT_EQ(popAll(ring), expected);
}

// One producer and one consumer at full speed (run under ThreadSanitizer in CI): every frame either arrives, in
// order and intact, or is counted as dropped.
TEST(FloatRing, ProducerAndConsumerOnTheirOwnThreadsLoseNothingUncounted) {
    FloatRing ring;
    constexpr int lists = 20000, frames = 480;
    std::thread producer([&] {
        std::vector<float> samples(2 * frames);
        for (int list = 0; list < lists; ++list) {
            for (int i = 0; i < frames; ++i) samples[2 * i] = samples[2 * i + 1] = float(list * frames + i);
            push(ring, samples);
        }
    });
    std::uint64_t received = 0;
    float last = -1.0f;
    bool ordered = true;
    for (bool done = false; !done;) {
        done = ring.statistics().total == std::uint64_t(lists) * frames;
        for (auto part = ring.pop(4096); !part.empty(); part = ring.pop(4096)) {
            for (std::size_t k = 0; k < part.size(); k += 2) {
                ordered = ordered && part[k] == part[k + 1] && part[k] > last;
                last = part[k];
            }
            received += part.size() / 2;
        }
    }
    producer.join();
    received += popAll(ring).size() / 2;
    EXPECT_TRUE(ordered);
    EXPECT_EQ(received + ring.statistics().dropped, std::uint64_t(lists) * frames);
}

}  // namespace
}  // namespace sonvale
