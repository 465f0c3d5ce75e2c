#include <gtest/gtest.h>

#include <QProcess>
#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <sstream>
#include <numbers>

#include "capture/capture.h"
#include "capture_test_util.h"
#include "base/constants.h"
#include "coreaudio/pulse_audio_system.h"
#include "coreaudio/devices.h"
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
        capture.onLog = [this](const std::string& line) { formats.push_back(line); };
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

    // Signal to noise of the 997 Hz tone over one second from `from`, in dB: what is left after the best-fitting
    // sine is taken away is the noise.
    double snr(std::size_t from) const {
        double c = 0, si = 0;
        const double w = 2 * std::numbers::pi * 997 / 44100.0;
        for (std::size_t i = 0; i < 44100; ++i) c += pcm[2 * (from + i)] * std::cos(w * double(i)), si += pcm[2 * (from + i)] * std::sin(w * double(i));
        c *= 2.0 / 44100, si *= 2.0 / 44100;
        double noise = 0;
        for (std::size_t i = 0; i < 44100; ++i) noise += std::pow(pcm[2 * (from + i)] - c * std::cos(w * double(i)) - si * std::sin(w * double(i)), 2);
        return 10 * std::log10((c * c + si * si) / 2 / std::max(noise / 44100, 1e-9));
    }

    // The sink the (one) player plays into.
    std::string sinkOfPlayer() const {
        std::map<std::string, std::string> names;
        std::istringstream sinks(server.pactl({"list", "short", "sinks"}).out), inputs(server.pactl({"list", "short", "sink-inputs"}).out);
        for (std::string index, name, rest; sinks >> index >> name && std::getline(sinks, rest);) names[index] = name;
        for (std::string index, sink, client, rest; inputs >> index >> sink >> client && std::getline(inputs, rest);) {
            if (client != "-") return names[sink];
        }
        return "";
    }

    test::SoundServer server{GetParam()};
    Capture capture;
    std::vector<std::string> formats, failures;
    test::Pipe pipe;
    std::vector<std::int16_t> pcm;
    QProcess player;
};

// Recorded from before it is the default, the forwarding output (on PipeWire Sonvale's own node, whose audio is
// taken in this process) hands a 44.1 kHz 16-bit player to the worker bit-exact, and nothing is dropped; its
// volume, the system volume while forwarding, scales what is forwarded on both servers.
TEST_P(CaptureOnSoundServer, A44100Hz16BitPlayerArrivesBitExactThroughTheForwardingOutput) {
    coreaudio::makeAggregate("Sonvale · 卧室", outputUID, false, std::nullopt);  // removed with the server
    start();
    EXPECT_EQ(formats, std::vector<std::string>{"捕获 44100 Hz Float32 → 44100 Hz PCM16"});
    ASSERT_TRUE(server.setDefaultSink(std::string(outputUID)));
    std::vector<std::int16_t> sent(44100 * 2 * 4);
    std::uint32_t noise = 1;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        noise = noise * 1664525u + 1013904223u;  // a tone with low-order noise: no stretch of it repeats
        sent[i] = std::int16_t(16000 * std::sin(2 * std::numbers::pi * 997 * double(i / 2) / 44100.0) + int(noise >> 28));
    }
    player.start("pacat", {"--raw", "--format=s16le", "--rate=44100", "--channels=2", "--latency-msec=200"});
    player.write(reinterpret_cast<const char*>(sent.data()), qint64(sent.size() * 2));
    player.closeWriteChannel();
    listen(6000);
    const auto probe = sent.begin() + 44100 * 2;
    const auto found = std::search(pcm.begin(), pcm.end(), probe, probe + 882);
    ASSERT_NE(found, pcm.end()) << "the middle of the sent audio never arrived unchanged";
    const std::size_t at = std::size_t(found - pcm.begin()), length = std::min<std::size_t>(44100 * 2 * 2, pcm.size() - at);
    EXPECT_GE(length, 44100u * 2 * 2);
    EXPECT_TRUE(std::equal(probe, probe + std::ptrdiff_t(length), pcm.begin() + std::ptrdiff_t(at))) << "2 s not bit-exact";
    EXPECT_EQ(capture.ring().statistics().dropped, 0u);

    ASSERT_EQ(server.pactl({"set-sink-volume", std::string(outputUID), "50%"}).exitStatus, 0);  // cubic: 1/8
    const std::size_t quieter = frames() + 44100;
    play(997, 3);
    listen(4000);
    double loudest = 0;
    for (std::size_t from = quieter; from + 4410 <= frames(); from += 4410) loudest = std::max(loudest, amplitude(from, 4410, 997));
    EXPECT_NEAR(loudest, minus6dB / 8, 0.01);
    EXPECT_TRUE(failures.empty());
}

// A 48 kHz player is converted once, cleanly: on PipeWire by its own resampler, on PulseAudio through the forwarding
// output's 48 kHz lane (not the daemon's default resampler, 72 dB), which the device list never shows and which goes
// with the forwarding output. The forwarding output itself stays at 44.1 kHz.
TEST_P(CaptureOnSoundServer, A48kHzPlayerArrivesAt90dBAndTheLaneGoesWithTheOutput) {
    const auto output = coreaudio::makeAggregate("Sonvale · 卧室", outputUID, false, std::nullopt);
    const std::size_t devices = coreaudio::devices().size();
    start();
    coreaudio::setOutput(output);
    if (GetParam() == SoundServerKind::pulseaudio) {  // asleep without a player: awake it would convert silence
        EXPECT_TRUE(test::waitUntil([&] { return server.pactl({"list", "short", "sinks"}).out.find(".48k\tmodule-remap-sink.c\tfloat32le 2ch 48000Hz\tSUSPENDED") != std::string::npos; }, 3000));
    }
    play(997, 4);
    listen(5000);
    std::size_t loud = 0;
    while (loud + 44100 <= frames() && amplitude(loud, 4410, 997) < minus6dB / 2) loud += 4410;
    ASSERT_LE(loud + 2 * 44100 + 4410, frames()) << "the tone never arrived";
    EXPECT_GE(snr(loud + 44100), 90.0);
    EXPECT_EQ(formats, std::vector<std::string>{"捕获 44100 Hz Float32 → 44100 Hz PCM16"});
    EXPECT_EQ(coreaudio::devices().size(), devices);
    EXPECT_TRUE(test::waitUntil([&] { return coreaudio::current() == output; }, 3000)) << coreaudio::uid(coreaudio::current());

    // A hold sends the player to the output chosen, a resume back (on PulseAudio onto the lane again).
    play(997, 10);
    const auto playerOn = [&](const std::string& sink) { return test::waitUntil([&] { return sinkOfPlayer().starts_with(sink); }, 3000); };
    EXPECT_TRUE(playerOn(std::string(outputUID))) << sinkOfPlayer();
    ASSERT_TRUE(server.setDefaultSink(test::topology::usbSink));
    EXPECT_TRUE(playerOn(test::topology::usbSink)) << sinkOfPlayer();
    coreaudio::setOutput(output);
    EXPECT_TRUE(playerOn(std::string(outputUID) + (GetParam() == SoundServerKind::pulseaudio ? ".48k" : ""))) << sinkOfPlayer();
    capture.stop();
    coreaudio::destroyAggregate(output);
    for (const auto& sink : server.sinks()) EXPECT_EQ(sink.name.find(outputUID), std::string::npos) << sink.name;
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
