#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>
#include <vector>

#include "capture/float_ring.h"

namespace sonvale {

struct FloatRingInspector {
    std::mutex& lock(FloatRing& ring) { return ring.lock_; }
};

namespace {

std::vector<float> ramp(std::size_t n, float from = 0.0f) {
    std::vector<float> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = from + float(i) / 1024.0f;
    return values;
}

void pushInterleaved(FloatRing& ring, std::vector<float>& samples) {
    static float none = 0.0f;
    AudioBuffer buffer{2, std::uint32_t(samples.size() * 4), samples.empty() ? &none : samples.data()};
    ring.push(AudioBufferList{1, &buffer});
}

std::vector<float> popAll(FloatRing& ring) {
    std::vector<float> all;
    for (auto part = ring.pop(4096); !part.empty(); part = ring.pop(4096)) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(FloatRing, PopReturnsWholeFramesInOrderAndIsNeverPadded) {
    FloatRing ring;
    EXPECT_TRUE(ring.pop(4096).empty());
    auto samples = ramp(960);
    pushInterleaved(ring, samples);
    EXPECT_EQ(ring.pop(100), std::vector<float>(samples.begin(), samples.begin() + 200));
    EXPECT_TRUE(ring.pop(0).empty());
    EXPECT_EQ(ring.pop(4096), std::vector<float>(samples.begin() + 200, samples.end()));
    EXPECT_TRUE(ring.pop(4096).empty());
}

// Every layout the platform can deliver ends up as left/right pairs, never read past a buffer's end.
TEST(FloatRing, BufferLayoutsAreStoredAsStereoFrames) {
    auto left = ramp(256, 0.0f), right = ramp(256, -0.5f), quad = ramp(400, 3.0f);
    auto pairs = [](const float* l, std::size_t lStep, const float* r, std::size_t rStep, std::size_t n) {
        std::vector<float> out;
        for (std::size_t i = 0; i < n; ++i) out.insert(out.end(), {l[i * lStep], r[i * rStep]});
        return out;
    };
    const auto mono = pairs(left.data(), 1, left.data(), 1, 256);
    struct Case {
        const char* name;
        std::vector<AudioBuffer> buffers;
        std::vector<float> expected;
    };
    const Case cases[] = {
        {"mono, 1 channel", {{1, 1024, left.data()}}, mono},
        {"mono, 0 channels", {{0, 1024, left.data()}}, mono},
        {"mono, second buffer without data", {{1, 1024, left.data()}, {1, 1024, nullptr}}, mono},
        {"deinterleaved", {{1, 1024, left.data()}, {1, 1024, right.data()}}, pairs(left.data(), 1, right.data(), 1, 256)},
        {"deinterleaved, short right buffer", {{1, 1024, left.data()}, {1, 64, right.data()}},
         pairs(left.data(), 1, right.data(), 1, 16)},
        {"4 interleaved channels", {{4, 1600, quad.data()}}, pairs(quad.data(), 4, quad.data() + 1, 4, 100)},
        {"interleaved, odd byte count", {{2, 1026, left.data()}}, std::vector<float>(left.begin(), left.end())},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FloatRing ring;
        ring.push(AudioBufferList{std::uint32_t(c.buffers.size()), c.buffers.data()});
        EXPECT_EQ(popAll(ring), c.expected);
        EXPECT_EQ(ring.statistics().total, c.expected.size() / 2);
    }
}

// A full ring keeps the newest 131,072 frames, also of a single list longer than itself; the
// first case wraps around the end of storage.
TEST(FloatRing, OverflowKeepsTheNewestFramesAndCountsTheRest) {
    const std::vector<std::vector<float>> cases[] = {
        {ramp(262000), ramp(2000, 500.0f)},
        {ramp(2 * 140000)},
    };
    for (auto pushes : cases) {
        FloatRing ring;
        std::vector<float> all;
        for (auto& samples : pushes) {
            pushInterleaved(ring, samples);
            all.insert(all.end(), samples.begin(), samples.end());
        }
        const auto stats = ring.statistics();
        EXPECT_EQ(stats.total, all.size() / 2);
        EXPECT_EQ(stats.dropped, all.size() / 2 - 131072u);
        EXPECT_EQ(popAll(ring), std::vector<float>(all.end() - FloatRing::capacity, all.end()));
    }
}

TEST(FloatRing, PeakFollowsTheLatestListOnly) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* name;
        std::vector<float> first, second;
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
    EXPECT_EQ(ring.statistics().total, 1u);
    EXPECT_EQ(ring.statistics().peak, 0.5f);
    EXPECT_EQ(ring.pop(10), loud);
}

TEST(FloatRing, PushWhileTheLockIsHeldLosesTheListUncounted) {
    FloatRing ring;
    auto samples = ramp(960);
    {
        std::lock_guard held(FloatRingInspector().lock(ring));
        // From another thread, as the audio thread would: try_lock on the owning thread is undefined.
        std::thread([&] { pushInterleaved(ring, samples); }).join();
    }
    EXPECT_EQ(ring.statistics().total, 0u);
    EXPECT_EQ(ring.statistics().dropped, 0u);
    EXPECT_TRUE(ring.pop(4096).empty());
}

// Every frame is either popped, still held, dropped, or (a lock collision) never counted.
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
        for (std::size_t i = 0; i < 960; ++i) block[i] = i % 2 ? -float(n) : float(n);
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
