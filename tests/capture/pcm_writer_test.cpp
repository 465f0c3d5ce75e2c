#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "capture/pcm_converter.h"
#include "capture/pcm_writer.h"
#include "capture/pipe_writer.h"
#include "capture_test_util.h"

namespace sonvale {
namespace {

using test::Pipe;

TEST(Gain, ScalesThenLimitsAndTurnsNaNIntoTheLowerLimit) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    struct Case {
        float gain, in, out;
    };
    const Case cases[] = {
        {2.0f, 0.75f, 1.0f}, {2.0f, -0.6f, -1.0f}, {2.0f, 0.25f, 0.5f}, {0.0f, 0.9f, 0.0f},
        {0.0f, -0.9f, 0.0f}, {1.0f, nan, -1.0f},   {0.0f, inf, -1.0f},  {1.0f, -inf, -1.0f},
        {1.0f, inf, 1.0f},   {nan, 0.5f, -1.0f},
    };
    for (const auto& c : cases) {
        float sample = c.in;
        applyGain(&sample, 1, c.gain);
        EXPECT_EQ(sample, c.out) << "gain " << c.gain << " sample " << c.in;
    }
}

// Streaming conversion neither drifts nor loses frames between calls: the output lags the
// input by the filter's delay, which stays bounded however long it runs. Channels keep their side.
TEST(Converter, OutputFollowsTheInputRateWithoutDrift) {
    struct Case {
        double rate, maxLag;  // lag in frames at 44100 Hz
    };
    for (const Case c : {Case{48000, 1100}, Case{44100, 4}, Case{96000, 1100}, Case{32000, 1600}}) {
        auto converter = makePcmConverter(c.rate);
        ASSERT_TRUE(converter) << c.rate;
        const std::size_t chunk = std::size_t(c.rate / 100);
        const std::size_t capacity = std::size_t(std::ceil(chunk * 44100.0 / c.rate)) + 128;
        std::vector<float> in(chunk * 2);
        for (std::size_t i = 0; i < in.size(); ++i) in[i] = i % 2 ? -0.1f : 0.1f;
        std::vector<std::int16_t> out(capacity * 2);
        std::size_t totalOut = 0;
        for (int tick = 1; tick <= 6000; ++tick) {  // one minute
            const auto result = converter->convert(in.data(), chunk, out.data(), capacity);
            ASSERT_FALSE(result.failed);
            totalOut += result.frames;
            const double lag = double(tick) * double(chunk) * 44100.0 / c.rate - double(totalOut);
            ASSERT_TRUE(tick <= 100 || (lag >= -1 && lag <= c.maxLag)) << c.rate << " tick " << tick << " lag " << lag;
        }
        EXPECT_NEAR(out[0], 3277, 8) << c.rate;
        EXPECT_NEAR(out[1], -3277, 8) << c.rate;
    }
    for (const double rate : {0.0, -48000.0, std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity()}) {
        EXPECT_FALSE(makePcmConverter(rate)) << rate;
    }
}

// The writer works on its own duplicate: the original may close at once, and a closed
// writer, a gone reader or an unusable descriptor fail instead of raising SIGPIPE.
TEST(PipeWriter, WritesThroughItsOwnDuplicateAndFailsWithoutAReader) {
    Pipe pipe;
    PipeWriter writer(pipe.fds[1]);
    pipe.close(1);
    EXPECT_EQ(writer.write("frames", 6), PipeWriter::Outcome::written);
    const auto got = pipe.readAvailable();
    EXPECT_EQ(std::string(got.begin(), got.end()), "frames");
    writer.close();
    EXPECT_EQ(writer.write("x", 1), PipeWriter::Outcome::failed);
    Pipe readerGone;
    PipeWriter orphan(readerGone.fds[1]);
    readerGone.close(0);
    EXPECT_EQ(orphan.write("x", 1), PipeWriter::Outcome::failed);
    EXPECT_EQ(PipeWriter(-1).write("x", 1), PipeWriter::Outcome::failed);
}

TEST(PipeWriter, AWriteIntoAFullPipeEndsWhenInterruptedOrWhenTheReaderLeaves) {
    for (const bool interrupt : {true, false}) {
        Pipe pipe;
        PipeWriter writer(pipe.fds[1]);
        std::vector<char> block(1 << 20, 'a');
        std::thread other([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            interrupt ? writer.interrupt() : pipe.close(0);
        });
        const auto outcome = writer.write(block.data(), block.size());
        other.join();
        EXPECT_EQ(outcome, interrupt ? PipeWriter::Outcome::interrupted : PipeWriter::Outcome::failed);
    }
}

}  // namespace
}  // namespace sonvale
