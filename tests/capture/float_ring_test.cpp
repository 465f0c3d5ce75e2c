#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "capture/float_ring.h"

namespace sonvale {

struct FloatRingInspector {
    explicit FloatRingInspector(FloatRing& ring) : r(ring) {}
    std::mutex& lock() { return r.lock_; }
    std::int64_t count() { return r.count_; }
    FloatRing& r;
};

namespace {

std::vector<float> ramp(std::size_t n, float from = 0.0f) {
    std::vector<float> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = from + float(i) / 1024.0f;
    return values;
}

void pushInterleaved(FloatRing& ring, std::vector<float>& samples, std::uint32_t channels = 2) {
    static float none = 0.0f;
    AudioBuffer buffer{channels, std::uint32_t(samples.size() * 4), samples.empty() ? &none : samples.data()};
    ring.push(AudioBufferList{1, &buffer});
}

std::vector<float> popAll(FloatRing& ring) {
    std::vector<float> all;
    for (;;) {
        auto part = ring.pop(4096);
        if (part.empty()) return all;
        all.insert(all.end(), part.begin(), part.end());
    }
}

TEST(FloatRing, NewRingIsEmptyWithZeroCounters) {
    FloatRing ring;
    const auto [total, dropped, peak] = ring.statistics();
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(dropped, 0u);
    EXPECT_EQ(peak, 0.0f);
    EXPECT_TRUE(ring.pop(4096).empty());
}

TEST(FloatRing, InterleavedFramesComeBackInOrderAndPopIsNeverPadded) {
    FloatRing ring;
    auto samples = ramp(960);
    pushInterleaved(ring, samples);
    EXPECT_EQ(ring.pop(4096), samples);
    EXPECT_TRUE(ring.pop(4096).empty());

    pushInterleaved(ring, samples);
    EXPECT_EQ(ring.pop(100).size(), 200u);
    EXPECT_EQ(ring.pop(0).size(), 0u);
    EXPECT_EQ(ring.pop(4096).size(), 760u);
}

// Every layout the platform can deliver ends up as left/right pairs.
TEST(FloatRing, BufferLayoutsAreStoredAsStereoFrames) {
    auto left = ramp(256, 0.0f);
    auto right = ramp(256, -0.5f);
    std::vector<float> quad(4 * 100);
    for (std::size_t i = 0; i < 100; ++i) {
        for (std::size_t c = 0; c < 4; ++c) quad[i * 4 + c] = float(c) + float(i) / 1000.0f;
    }
    struct Case {
        const char* name;
        std::vector<AudioBuffer> buffers;
        std::vector<float> expected;
    };
    std::vector<float> mono, deinterleaved, quadStereo;
    for (std::size_t i = 0; i < 256; ++i) {
        mono.insert(mono.end(), {left[i], left[i]});
        deinterleaved.insert(deinterleaved.end(), {left[i], right[i]});
    }
    for (std::size_t i = 0; i < 100; ++i) quadStereo.insert(quadStereo.end(), {quad[i * 4], quad[i * 4 + 1]});
    const Case cases[] = {
        {"mono, 1 channel", {{1, 1024, left.data()}}, mono},
        {"mono, 0 channels", {{0, 1024, left.data()}}, mono},
        {"mono, second buffer without data", {{1, 1024, left.data()}, {1, 1024, nullptr}}, mono},
        {"deinterleaved", {{1, 1024, left.data()}, {1, 1024, right.data()}}, deinterleaved},
        {"4 interleaved channels: frames = bytes / 16", {{4, 1600, quad.data()}}, quadStereo},
        {"interleaved, odd byte count truncates", {{2, 1026, left.data()}},
         std::vector<float>(left.begin(), left.begin() + 256)},
    };
    for (const auto& c : cases) {
        FloatRing ring;
        ring.push(AudioBufferList{std::uint32_t(c.buffers.size()), c.buffers.data()});
        EXPECT_EQ(popAll(ring), c.expected) << c.name;
        EXPECT_EQ(ring.statistics().total, c.expected.size() / 2) << c.name;
    }
}

TEST(FloatRing, ShortRightBufferIsNeverReadPastItsEnd) {
    FloatRing ring;
    auto left = ramp(256);
    auto right = ramp(16);
    const AudioBuffer buffers[] = {{1, 1024, left.data()}, {1, 64, right.data()}};
    ring.push(AudioBufferList{2, buffers});
    EXPECT_EQ(popAll(ring).size(), 32u);
}

TEST(FloatRing, OverflowDiscardsTheOldestAndCountsFrames) {
    FloatRing ring;
    FloatRingInspector inspector(ring);
    auto filler = ramp(262000);
    pushInterleaved(ring, filler);
    auto fresh = ramp(2000, 500.0f);
    pushInterleaved(ring, fresh);

    const auto stats = ring.statistics();
    EXPECT_EQ(stats.total, 131000u + 1000u);
    EXPECT_EQ(stats.dropped, 928u);
    EXPECT_EQ(inspector.count(), FloatRing::capacity);
    const auto held = popAll(ring);
    ASSERT_EQ(held.size(), std::size_t(FloatRing::capacity));
    EXPECT_EQ(held.front(), filler[1856]);
    EXPECT_TRUE(std::equal(fresh.begin(), fresh.end(), held.end() - 2000));
}

TEST(FloatRing, ListLongerThanTheRingKeepsItsNewestFrames) {
    FloatRing ring;
    auto samples = ramp(2 * 140000);
    pushInterleaved(ring, samples);
    const auto stats = ring.statistics();
    EXPECT_EQ(stats.total, 140000u);
    EXPECT_EQ(stats.dropped, 140000u - 131072u);
    const auto held = popAll(ring);
    ASSERT_EQ(held.size(), std::size_t(FloatRing::capacity));
    EXPECT_TRUE(std::equal(held.begin(), held.end(), samples.end() - FloatRing::capacity));
}

TEST(FloatRing, WrapsAroundAcrossTheEndOfStorage) {
    FloatRing ring;
    auto block = ramp(8192);
    std::vector<float> expected;
    for (int round = 0; round < 40; ++round) {  // 40 x 8192 samples run past 262,144
        for (auto& v : block) v += 1.0f;
        pushInterleaved(ring, block);
        auto got = ring.pop(2048);
        EXPECT_EQ(got, std::vector<float>(block.begin(), block.begin() + 4096)) << round;
        got = ring.pop(4096);
        EXPECT_EQ(got, std::vector<float>(block.begin() + 4096, block.end())) << round;
    }
    EXPECT_EQ(ring.statistics().dropped, 0u);
}

TEST(FloatRing, PeakFollowsTheLatestListOnly) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* name;
        std::vector<float> first;
        std::vector<float> second;
        float peak;
    };
    const Case cases[] = {
        {"loud then silent", {0.9f, -0.8f}, {0.0f, 0.0f}, 0.0f},
        {"negative sample counts by magnitude", {0.1f, 0.1f}, {0.2f, -0.7f}, 0.7f},
        {"NaN leaves the maximum unchanged", {0.1f, 0.1f}, {0.3f, nan, nan, -0.25f}, 0.3f},
        {"zero-byte list sets peak to 0", {0.5f, 0.5f}, {}, 0.0f},
    };
    for (auto c : cases) {
        FloatRing ring;
        pushInterleaved(ring, c.first);
        pushInterleaved(ring, c.second);
        EXPECT_EQ(ring.statistics().peak, c.peak) << c.name;
    }
}

TEST(FloatRing, ListsWithoutDataChangeNothing) {
    FloatRing ring;
    std::vector<float> loud{0.5f, 0.5f};
    pushInterleaved(ring, loud);
    const AudioBuffer hole{2, 4096, nullptr};
    ring.push(AudioBufferList{1, &hole});
    ring.push(AudioBufferList{0, nullptr});
    const auto stats = ring.statistics();
    EXPECT_EQ(stats.total, 1u);
    EXPECT_EQ(stats.peak, 0.5f);
    EXPECT_EQ(ring.pop(10).size(), 2u);
}

TEST(FloatRing, PushWhileTheLockIsHeldLosesTheListUncounted) {
    FloatRing ring;
    FloatRingInspector inspector(ring);
    auto samples = ramp(960);
    {
        std::lock_guard held(inspector.lock());
        // From another thread, as the audio thread would: try_lock on the owning thread
        // would be undefined.
        std::thread producer([&] { pushInterleaved(ring, samples); });
        producer.join();
    }
    const auto stats = ring.statistics();
    EXPECT_EQ(stats.total, 0u);
    EXPECT_EQ(stats.dropped, 0u);
    EXPECT_TRUE(ring.pop(4096).empty());
}

// Producer and consumer on their own threads, as in the capture path; every frame is
// either popped, still held, dropped, or (a collision with the lock) never counted.
TEST(FloatRing, ConcurrentPushAndPopKeepTheCountsConsistent) {
    FloatRing ring;
    std::atomic<bool> done{false};
    std::uint64_t popped = 0;
    std::thread consumer([&] {
        while (!done.load()) {
            auto got = ring.pop(4096);
            for (std::size_t i = 0; i + 1 < got.size(); i += 2) EXPECT_EQ(got[i], -got[i + 1]);
            popped += got.size() / 2;
            ring.statistics();
        }
    });
    std::vector<float> block(960);
    for (int n = 0; n < 5000; ++n) {
        for (std::size_t i = 0; i < 480; ++i) {
            block[2 * i] = float(n);
            block[2 * i + 1] = -float(n);
        }
        pushInterleaved(ring, block);
    }
    done = true;
    consumer.join();
    const auto stats = ring.statistics();
    EXPECT_EQ(popped + popAll(ring).size() / 2 + stats.dropped, stats.total);
    EXPECT_LE(stats.total, 5000u * 480u);
}

}  // namespace
}  // namespace sonvale
