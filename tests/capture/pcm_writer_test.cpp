#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <limits>
#include <numbers>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "capture/pcm_converter.h"
#include "capture/pcm_writer.h"
#include "capture/pipe_writer.h"

namespace sonvale {
namespace {

struct Pipe {
    Pipe() {
        signal(SIGPIPE, SIG_IGN);
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (fds[0] >= 0) ::close(fds[0]);
        fds[0] = -1;
    }
    void closeWrite() {
        if (fds[1] >= 0) ::close(fds[1]);
        fds[1] = -1;
    }
    std::vector<std::uint8_t> readAvailable() {
        std::vector<std::uint8_t> all;
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        std::uint8_t chunk[65536];
        for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;) all.insert(all.end(), chunk, chunk + n);
        return all;
    }
    int fds[2] = {-1, -1};
};

TEST(Gain, ScalesThenLimitsAndTurnsNaNIntoTheLowerLimit) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
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

// Streaming conversion must neither drift nor lose frames between calls: the output
// lags the input by the filter's delay, which stays bounded however long it runs.
TEST(Converter, OutputFollowsTheInputRateWithoutDrift) {
    struct Case {
        double rate;
        double maxLag;  // frames at 44100 Hz
    };
    for (const Case c : {Case{48000, 1100}, Case{44100, 4}, Case{96000, 1100}, Case{32000, 1600}}) {
        auto converter = makePcmConverter(c.rate);
        ASSERT_TRUE(converter) << c.rate;
        const std::size_t chunk = std::size_t(c.rate / 100);
        std::vector<float> in(chunk * 2, 0.1f);
        const std::size_t capacity = std::size_t(std::ceil(chunk * 44100.0 / c.rate)) + 128;
        std::vector<std::int16_t> out(capacity * 2);
        std::size_t totalOut = 0;
        for (int tick = 1; tick <= 6000; ++tick) {  // one minute
            const auto result = converter->convert(in.data(), chunk, out.data(), capacity);
            ASSERT_FALSE(result.failed);
            totalOut += result.frames;
            const double lag = double(tick) * double(chunk) * 44100.0 / c.rate - double(totalOut);
            if (tick > 100) {
                ASSERT_TRUE(lag >= -1 && lag <= c.maxLag) << c.rate << " tick " << tick << " lag " << lag;
            }
        }
    }
}

TEST(Converter, KeepsTheToneFrequencyAndLevel) {
    auto converter = makePcmConverter(48000);
    ASSERT_TRUE(converter);
    const double amplitude = std::pow(10.0, -6.0 / 20.0);
    std::vector<std::int16_t> output;
    std::vector<float> in(960);
    std::vector<std::int16_t> out(2 * 600);
    for (int tick = 0; tick < 300; ++tick) {
        for (int i = 0; i < 480; ++i) {
            const double t = double(tick * 480 + i) / 48000.0;
            in[2 * i] = in[2 * i + 1] = float(amplitude * std::sin(2 * std::numbers::pi * 997.0 * t));
        }
        const auto result = converter->convert(in.data(), 480, out.data(), 600);
        output.insert(output.end(), out.begin(), out.begin() + std::ptrdiff_t(result.frames * 2));
    }
    // Skip the start-up; measure frequency by zero crossings and level by RMS of the left channel.
    const std::size_t first = 44100, last = output.size() / 2;
    double sumSquares = 0;
    int crossings = 0;
    double firstCrossing = -1, lastCrossing = -1;
    for (std::size_t i = first; i < last; ++i) {
        const double a = output[2 * (i - 1)] / 32768.0, b = output[2 * i] / 32768.0;
        EXPECT_NEAR(output[2 * i], output[2 * i + 1], 2);  // dither differs per channel
        sumSquares += b * b;
        if (a < 0 && b >= 0) {
            const double at = double(i - 1) + a / (a - b);
            if (firstCrossing < 0) firstCrossing = at;
            lastCrossing = at;
            ++crossings;
        }
    }
    const double hz = (crossings - 1) / ((lastCrossing - firstCrossing) / 44100.0);
    EXPECT_NEAR(hz, 997.0, 0.1);
    EXPECT_NEAR(std::sqrt(sumSquares / double(last - first)), amplitude / std::sqrt(2.0), 0.002);
}

TEST(Converter, RefusesRatesNoResamplerCanTake) {
    for (const double rate : {0.0, -48000.0, std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity()}) {
        EXPECT_FALSE(makePcmConverter(rate)) << rate;
    }
}

TEST(PipeWriter, WritesThroughItsOwnDuplicateOfTheDescriptor) {
    Pipe pipe;
    PipeWriter writer(pipe.fds[1]);
    pipe.closeWrite();
    const char text[] = "frames";
    EXPECT_EQ(writer.write(text, 6), PipeWriter::Outcome::written);
    const auto got = pipe.readAvailable();
    EXPECT_EQ(std::string(got.begin(), got.end()), "frames");
    writer.close();
    EXPECT_EQ(writer.write(text, 6), PipeWriter::Outcome::failed);
}

TEST(PipeWriter, ReportsAGoneReaderOrAnUnusableDescriptorAsFailure) {
    {
        Pipe pipe;
        PipeWriter writer(pipe.fds[1]);
        pipe.closeRead();
        EXPECT_EQ(writer.write("x", 1), PipeWriter::Outcome::failed);
    }
    {
        PipeWriter writer(-1);
        EXPECT_EQ(writer.write("x", 1), PipeWriter::Outcome::failed);
    }
}

TEST(PipeWriter, AWriteIntoAFullPipeEndsWhenInterruptedOrWhenTheReaderLeaves) {
    for (const bool interrupt : {true, false}) {
        Pipe pipe;
        PipeWriter writer(pipe.fds[1]);
        std::vector<char> block(1 << 20, 'a');
        std::thread other([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (interrupt) {
                writer.interrupt();
            } else {
                pipe.closeRead();
            }
        });
        const auto outcome = writer.write(block.data(), block.size());
        other.join();
        EXPECT_EQ(outcome, interrupt ? PipeWriter::Outcome::interrupted : PipeWriter::Outcome::failed);
    }
}

TEST(PcmWriter, OneWriteOfWholeFramesPerCall) {
    Pipe pipe;
    PcmWriter writer(makePcmConverter(44100), 44100, pipe.fds[1]);
    std::size_t written = 0;
    for (int tick = 0; tick < 50; ++tick) {
        std::vector<float> samples(2 * 441, 0.5f);
        const auto result = writer.write(samples, 1.0f);
        ASSERT_NE(result.outcome, PcmWriter::Outcome::writeFailed);
        const auto bytes = pipe.readAvailable();
        EXPECT_EQ(bytes.size() % 4, 0u);
        written += bytes.size();
    }
    EXPECT_GT(written, 4u * 441 * 40);
    EXPECT_LE(written, 4u * 441 * 50);

    std::vector<float> none;
    EXPECT_EQ(writer.write(none, 1.0f).outcome, PcmWriter::Outcome::nothing);
    EXPECT_TRUE(pipe.readAvailable().empty());
}

}  // namespace
}  // namespace sonvale
