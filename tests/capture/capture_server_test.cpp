#include <gtest/gtest.h>

#include <QProcess>
#include <cmath>
#include <complex>
#include <numbers>

#include "capture/capture.h"
#include "capture_test_util.h"
#include "coreaudio/pulse_audio_system.h"
#include "support/sound_server.h"

// The capture against a private PulseAudio and PipeWire: what plays into the default output
// comes out of the pipe as 44100 Hz 16-bit stereo, and nothing else does.
namespace sonvale {
namespace {

using test::SoundServerKind;

constexpr double minus6dB = 0.501187;

class CaptureOnSoundServer : public ::testing::TestWithParam<SoundServerKind> {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running()) << server.error();
        coreaudio::setAudioSystem(coreaudio::makePulseAudioSystem());
        capture.onFormat = [this](const std::string& line) { formats.push_back(line); };
        capture.onFailure = [this](const std::string& text) { failures.push_back(text); };
    }
    void TearDown() override { capture.stop(), coreaudio::setAudioSystem(nullptr); }
    void start() {
        capture.start(pipe.fds[1]);
        pipe.close(1);
        ASSERT_TRUE(test::waitUntil([&] { return pipe.readPcm(pcm), !pcm.empty(); })) << "a monitor may take ~2 s";
    }
    void listen(int ms) { test::listen(ms, [&] { pipe.readPcm(pcm); }); }
    std::size_t frames() const { return pcm.size() / 2; }

    // Amplitude (full scale 1) of one frequency in the left channel over [from, from + count).
    double amplitude(std::size_t from, std::size_t count, double hz) const {
        std::complex<double> sum;
        for (std::size_t i = 0; i < count; ++i) sum += pcm[2 * (from + i)] / 32768.0 * std::polar(1.0, -2 * std::numbers::pi * hz * double(i) / 44100.0);
        return 2 * std::abs(sum) / double(count);
    }

    // Plays a −6 dBFS tone into the default output; the event loop feeds it (200 ms latency:
    // a 20 ms player underruns on a busy machine). Waits for the one before.
    void play(double hz, double seconds) {
        player.waitForFinished(20000);
        QByteArray samples(qsizetype(seconds * 48000) * 8, '\0');
        auto* out = reinterpret_cast<float*>(samples.data());
        for (qsizetype i = 0; i < samples.size() / 8; ++i) out[2 * i] = out[2 * i + 1] = float(minus6dB * std::sin(2 * std::numbers::pi * hz * double(i) / 48000.0));
        player.start("pacat", {"--raw", "--format=float32le", "--rate=48000", "--channels=2", "--latency-msec=200"});
        player.write(samples);
        player.closeWriteChannel();
    }

    test::SoundServer server{GetParam()};
    Capture capture;
    std::vector<std::string> formats, failures;
    test::Pipe pipe;
    std::vector<std::int16_t> pcm;
    QProcess player;
};

TEST_P(CaptureOnSoundServer, ToneArrivesAt176400BytesPerSecondWithItsFrequencyAndLevel) {
    start();
    EXPECT_EQ(formats, std::vector<std::string>{"捕获 48000 Hz Float32 → 44100 Hz PCM16"});
    play(997, 7);
    listen(1000);
    const auto startedAt = std::chrono::steady_clock::now();
    const auto capturedBefore = capture.ring().statistics().total;
    const auto framesBefore = frames();
    listen(5000);
    const double bytes = 4.0 * double(frames() - framesBefore);
    const double wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
    const double capturedSeconds = double(capture.ring().statistics().total - capturedBefore) / 48000.0;
    listen(2500);
    // Against the wall clock only on PulseAudio: PipeWire's null sink falls behind it on a busy machine.
    EXPECT_NEAR(bytes / capturedSeconds, 176400.0, 1764.0);
    EXPECT_NEAR(bytes / wallSeconds, 176400.0, GetParam() == SoundServerKind::pulseaudio ? 1764.0 : 8820.0);
    std::size_t first = 0;
    while (first < frames() && std::abs(pcm[2 * first]) < 3000) ++first;
    ASSERT_LT(first + 44100 * 5, frames()) << "the tone never arrived";
    double bestHz = 0, best = 0;  // the strongest of 997 ± 2 Hz over 4 s
    for (double hz = 995.0; hz <= 999.0; hz += 0.1) {
        if (const double a = amplitude(first + 22050, 44100 * 4, hz); a > best) best = a, bestHz = hz;
    }
    EXPECT_NEAR(bestHz, 997.0, 1.0);
    EXPECT_NEAR(best, minus6dB, 0.03);
    EXPECT_EQ(capture.ring().statistics().dropped, 0u);
    EXPECT_TRUE(failures.empty());
}

// The record stream follows the default output; when the recorded sink disappears it moves to the new default's
// monitor, never to a microphone (PipeWire has no sine source: there only the following is checked).
TEST_P(CaptureOnSoundServer, FollowsTheDefaultOutputAndNeverRecordsTheMicrophone) {
    if (server.loadModule("module-sine-source", "source_name=tone_microphone rate=48000 frequency=440")) {
        ASSERT_EQ(server.pactl({"set-default-source", "tone_microphone"}).exitStatus, 0);
    }
    const auto doomed = server.loadModule("module-null-sink", "sink_name=doomed_output rate=48000");
    ASSERT_TRUE(doomed && server.setDefaultSink("doomed_output"));
    start();
    const std::size_t beforeChange = frames();
    ASSERT_TRUE(server.setDefaultSink(test::topology::hdmiSink));
    play(1500, 4);
    listen(4500);
    const std::size_t beforeRemoval = frames();
    ASSERT_TRUE(server.setDefaultSink("doomed_output"));
    listen(3000);
    ASSERT_TRUE(server.unloadModule(*doomed));
    play(997, 5);
    listen(6000);
    double loudest1500 = 0, loudest997 = 0;
    for (std::size_t at = 0; at + 4410 <= frames(); at += 4410) {
        EXPECT_LT(amplitude(at, 4410, 440), 0.01) << "microphone audio at frame " << at;
        if (at >= beforeChange && at < beforeRemoval) loudest1500 = std::max(loudest1500, amplitude(at, 4410, 1500));
        if (at >= beforeRemoval) loudest997 = std::max(loudest997, amplitude(at, 4410, 997));
    }
    EXPECT_NEAR(loudest1500, minus6dB, 0.05) << "the new default output was not followed";
    EXPECT_NEAR(loudest997, minus6dB, 0.05) << "no capture after the recorded output was removed";
    EXPECT_TRUE(failures.empty());
}

SONVALE_ON_BOTH_SERVERS(CaptureOnSoundServer);

}  // namespace
}  // namespace sonvale
