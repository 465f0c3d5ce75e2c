#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <thread>
#include <tuple>

#include "capture/capture.h"
#include "capture_test_util.h"
#include "coreaudio/device_model.h"
#include "coreaudio/pulse_audio_system.h"
#include "support/sound_server.h"
#include "support/tone.h"

// The capture path against a private sound server: audio played into the default output
// comes out of the pipe as 44100 Hz 16-bit stereo.
namespace sonvale {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::settle;
using test::toneAmplitude;
using test::waitFor;

constexpr double minus6dB = 0.501187;
const std::string speaker = "alsa_output.pci-0000_00_1f.3.analog-stereo.speaker";
const std::string hdmi = "alsa_output.pci-0000_00_1f.3.hdmi-stereo";


class CaptureOnSoundServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server.running()) GTEST_SKIP() << "no private sound server: " << server.error();
        ASSERT_TRUE(server.setDefaultSink(speaker));
        coreaudio::setAudioSystem(coreaudio::makePulseAudioSystem());
    }
    void TearDown() override {
        capture.reset();
        coreaudio::setAudioSystem(std::make_shared<coreaudio::DeviceModel>());
    }

    void startCapture() {
        capture = std::make_unique<Capture>();
        capture->onFormat = [this](const std::string& line) { formats.push_back(line); };
        capture->onFailure = [this](const std::string& text) { failures.push_back(text); };
        capture->start(pipe.fds[1]);
        pipe.close(1);
    }

    // Reads what the pipe holds while serving the main queue, for `span` or until `done`.
    template <typename Predicate>
    bool listen(std::chrono::milliseconds span, Predicate done) {
        return waitFor([&] {
            pipe.readPcm(pcm);
            return done();
        }, span);
    }
    void listen(std::chrono::milliseconds span) { listen(span, [] { return false; }); }
    bool listenForAudio() { return listen(5s, [&] { return !pcm.empty(); }); }  // a monitor may take ~2 s
    std::size_t frames() const { return pcm.size() / 2; }

    // Plays a tone into the default output on a thread of its own.
    std::thread play(double hz, double seconds) {
        std::string samples(std::size_t(seconds * 48000) * 8, '\0');
        auto* out = reinterpret_cast<float*>(samples.data());
        for (std::size_t i = 0; i < samples.size() / 8; ++i) {
            out[2 * i] = out[2 * i + 1] = float(minus6dB * std::sin(2 * std::numbers::pi * hz * double(i) / 48000.0));
        }
        // A 20 ms player underruns on a busy machine, leaving gaps in the audio played.
        const std::vector<std::string> argv = {"pacat", "--raw", "--format=float32le", "--rate=48000",
                                               "--channels=2", "--latency-msec=200"};
        return std::thread([argv, samples, seconds] {
            test::runCommand(argv, std::chrono::milliseconds(int(seconds * 1000) + 10000), {}, samples);
        });
    }

    test::SoundServer server;
    std::unique_ptr<Capture> capture;
    std::vector<std::string> formats;
    std::vector<std::string> failures;
    test::Pipe pipe;
    std::vector<std::int16_t> pcm;
};

TEST_F(CaptureOnSoundServer, ToneThroughTheDefaultOutputArrivesAt44100HzWithItsFrequencyAndLevel) {
    startCapture();
    EXPECT_EQ(formats, std::vector<std::string>{"捕获 48000 Hz Float32 → 44100 Hz PCM16"});
    ASSERT_TRUE(listenForAudio());
    std::thread player = play(997, 7);
    listen(1s);
    const auto startedAt = Clock::now();
    const auto capturedBefore = capture->ring().statistics().total;
    const auto framesBefore = frames();
    listen(6s);
    const double bytes = 4.0 * double(frames() - framesBefore);
    const double wallSeconds = std::chrono::duration<double>(Clock::now() - startedAt).count();
    const double capturedSeconds = double(capture->ring().statistics().total - capturedBefore) / 48000.0;
    listen(1500ms);
    player.join();

    // 4 bytes for every 1/44100 s of captured audio, on every server. Against the wall clock
    // only on PulseAudio: PipeWire's null sink falls behind it on a busy machine (parec too).
    EXPECT_NEAR(bytes / capturedSeconds, 176400.0, 1764.0);
    const bool pulse = server.kind() == test::SoundServerKind::pulseaudio;
    EXPECT_NEAR(bytes / wallSeconds, 176400.0, pulse ? 1764.0 : 176400.0 * 0.05);
    ASSERT_EQ(pcm.size() % 2, 0u);
    std::size_t first = 0;
    while (first < frames() && std::abs(pcm[2 * first]) < 3000) ++first;
    ASSERT_LT(first + 44100 * 5, frames()) << "the tone never arrived";
    // Frequency: the strongest of 997 +- 2 Hz in 0.1 Hz steps over 4 s in the middle of the
    // tone; level: RMS over the same stretch. Both survive a brief player underrun.
    const std::size_t from = first + 44100 / 2, count = 44100 * 4;
    double bestHz = 0, best = 0;
    for (double hz = 995.0; hz <= 999.0; hz += 0.1) {
        const double amplitude = toneAmplitude(pcm, from, count, hz);
        if (amplitude > best) std::tie(best, bestHz) = std::tie(amplitude, hz);
    }
    EXPECT_NEAR(bestHz, 997.0, 1.0);
    double sumSquares = 0;
    for (std::size_t i = from; i < from + count; ++i) sumSquares += std::pow(pcm[2 * i] / 32768.0, 2);
    EXPECT_NEAR(20 * std::log10(std::sqrt(sumSquares / double(count)) * std::sqrt(2.0)), -6.0, 0.5);

    const auto stats = capture->ring().statistics();
    EXPECT_EQ(stats.dropped, 0u);
    EXPECT_GT(stats.total, 48000u * 7);
    EXPECT_TRUE(failures.empty());
}

TEST_F(CaptureOnSoundServer, ReaderThatClosesThePipeIsReportedExactlyOnce) {
    startCapture();
    ASSERT_TRUE(listenForAudio());
    pipe.close(0);
    ASSERT_TRUE(waitFor([&] { return !failures.empty(); }, 2s));
    settle(500ms);
    EXPECT_EQ(failures, std::vector<std::string>{"发送进程已停止接收音频"});
}

TEST_F(CaptureOnSoundServer, StalledReaderLeavesTheNewestFramesAndCountsTheRest) {
    startCapture();
    // Nobody reads: once the pipe is full the writer waits, and the ring fills up.
    ASSERT_TRUE(waitFor([&] { return capture->ring().statistics().dropped > 0; }, 10s));
    const auto before = capture->ring().statistics();
    settle(1s);
    const auto after = capture->ring().statistics();
    // The audio thread never waits: a second of audio still arrives, and every new frame
    // pushes exactly one old frame out of the full ring.
    EXPECT_GT(after.total - before.total, 40000u);
    EXPECT_EQ(after.dropped - before.dropped, after.total - before.total);
    EXPECT_TRUE(failures.empty());
    // Neither stop() nor destruction waits for the reader.
    const auto stopping = Clock::now();
    capture->stop();
    capture.reset();
    EXPECT_LT(Clock::now() - stopping, 1s);
}

// The record stream follows the default output; when the recorded sink disappears, the
// capture moves to the new default output's monitor and never to a microphone.
TEST_F(CaptureOnSoundServer, FollowsTheDefaultOutputAndNeverRecordsTheMicrophone) {
    const auto microphone =
        server.loadModule("module-sine-source", "source_name=tone_microphone rate=48000 frequency=440");
    // PipeWire has no sine source: there the test checks the following only.
    if (microphone) {
        ASSERT_EQ(server.pactl({"set-default-source", "tone_microphone"}).exitStatus, 0);
    }
    const auto doomed = server.loadModule("module-null-sink", "sink_name=doomed_output rate=48000");
    ASSERT_TRUE(doomed);
    ASSERT_TRUE(server.setDefaultSink("doomed_output"));

    startCapture();
    ASSERT_TRUE(listenForAudio());
    const std::size_t beforeChange = frames();
    ASSERT_TRUE(server.setDefaultSink(hdmi));
    std::thread tone1 = play(1500, 4);
    listen(4500ms);
    tone1.join();
    const std::size_t beforeRemoval = frames();

    ASSERT_TRUE(server.setDefaultSink("doomed_output"));
    listen(3s);
    ASSERT_TRUE(server.unloadModule(*doomed));
    const std::string survivor = server.defaultSink();
    ASSERT_FALSE(survivor.empty());
    std::thread tone2 = play(997, 5);
    listen(5500ms);
    tone2.join();
    listen(500ms);

    const std::size_t block = 4410;
    double loudest1500 = 0, loudest997 = 0;
    for (std::size_t at = 0; at + block <= frames(); at += block) {
        EXPECT_LT(toneAmplitude(pcm, at, block, 440), 0.01) << "microphone audio at frame " << at;
        if (at >= beforeChange && at < beforeRemoval) loudest1500 = std::max(loudest1500, toneAmplitude(pcm, at, block, 1500));
        if (at >= beforeRemoval) loudest997 = std::max(loudest997, toneAmplitude(pcm, at, block, 997));
    }
    EXPECT_NEAR(loudest1500, minus6dB, 0.05) << "the new default output was not followed";
    EXPECT_NEAR(loudest997, minus6dB, 0.05) << "no capture after the recorded output was removed (now " << survivor
                                            << ")";
    EXPECT_TRUE(failures.empty());
}

}  // namespace
}  // namespace sonvale
