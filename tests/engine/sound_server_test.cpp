#include <QFile>

#include <cmath>
#include <cstring>
#include <numbers>

#include "coreaudio/devices.h"
#include "coreaudio/pulse_audio_system.h"
#include "engine/engine_fixture.h"
#include "entry/constants.h"
#include "sender/worker_process.h"
#include "support/sound_server.h"
#include "support/tone.h"

// Whole forwarding runs against a private sound server: real worker processes, the
// PulseAudio backend and the real capture.
namespace sonvale::test {
namespace {

using namespace coreaudio;

const std::string hdmiSink = "alsa_output.pci-0000_00_1f.3.hdmi-stereo";


// Two seconds of a 1 kHz tone at half scale, 48000 Hz s16le stereo, for pacat.
std::string tone48k() {
    std::string bytes;
    for (int i = 0; i < 96000; ++i) {
        const auto sample = std::int16_t(16384 * std::sin(2 * std::numbers::pi * 1000.0 * i / 48000.0));
        for (int channel = 0; channel < 2; ++channel) bytes.append(reinterpret_cast<const char*>(&sample), 2);
    }
    return bytes;
}

class EngineOnSoundServer : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        if (!server.running()) GTEST_FAIL() << "no private sound server: " << server.error();
        setAudioSystem(makePulseAudioSystem());
        useWorker("ready_stream");
    }
    void TearDown() override {
        if (controller && server.running()) {
            stopAndReap();
            if (inspect->outputDevice() != 0) destroyAggregate(inspect->outputDevice());
            EXPECT_FALSE(server.sink(std::string(outputUID))) << "forwarding output device left behind";
            EXPECT_EQ(server.pactl({"list", "short", "source-outputs"}).out, "") << "a capture stream was left";
        }
        EngineTest::TearDown();
    }

    SoundServer server;
};

// The worker exits by itself a second after "ready", while capture runs.
TEST_F(EngineOnSoundServer, ReadyMakesTheForwardingOutputTheDefaultAndTheWorkersExitGivesThePreviousBack) {
    ASSERT_TRUE(server.setDefaultSink(hdmiSink));
    ASSERT_TRUE(waitFor([] { return uid(current()) == hdmiSink; }, 5s));
    ::setenv("SONVALE_TEST_EXIT_AFTER", "1.0", 1);

    controller->tick();
    ASSERT_TRUE(waitForMessage(connected)) << logMessages().join('\n').toStdString();
    const auto sink = server.sink(std::string(outputUID));
    ASSERT_TRUE(sink);
    EXPECT_EQ(sink->description, "Sonvale · 卧室");
    EXPECT_EQ(server.defaultSink(), std::string(outputUID));
    EXPECT_EQ(inspect->previousUID(), hdmiSink);
    EXPECT_TRUE(inspect->capture());

    ASSERT_TRUE(waitForNoWorker());
    settle(200ms);
    EXPECT_EQ(inspect->message(), workerEnded);
    EXPECT_EQ(logMessages().last(), workerEnded);
    EXPECT_FALSE(inspect->capture());
    EXPECT_EQ(server.defaultSink(), hdmiSink);
    EXPECT_EQ(inspect->nextAttempt(), clock->now() + Seconds(2));
    EXPECT_TRUE(server.sink(std::string(outputUID))) << "kept for the next run";
}

TEST_F(EngineOnSoundServer, AToneInTheDefaultOutputReachesTheWorkerAs44100HzPcm) {
    const QString sinkFile = dir.filePath("received.pcm");
    ::setenv("SONVALE_TEST_SINK", sinkFile.toLocal8Bit().constData(), 1);
    controller->tick();
    ASSERT_TRUE(waitForMessage(connected)) << logMessages().join('\n').toStdString();
    ASSERT_EQ(server.defaultSink(), std::string(outputUID));

    const auto played = runCommand({"pacat", "--playback", "--rate=48000", "--channels=2", "--format=s16le",
                                    "--latency-msec=50"},
                                   10s, {{"PULSE_SERVER", server.pulseServer()}}, tone48k());
    ASSERT_EQ(played.exitStatus, 0) << played.err;
    settle(500ms);
    EXPECT_GT(inspect->networkBytes(), 0u) << "the worker reported what it took in";
    stopAndReap();

    QFile file(sinkFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_EQ(bytes.size() % 4, 0);
    std::vector<std::int16_t> pcm(std::size_t(bytes.size()) / 2);
    std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);

    // Find the loudest second of 44100 frames and read the tone from it.
    const std::size_t frames = pcm.size() / 2;
    ASSERT_GE(frames, 44100u) << "less than a second arrived";
    std::size_t best = 0;
    double bestAmplitude = 0;
    for (std::size_t from = 0; from + 44100 <= frames; from += 4410) {
        const double a = toneAmplitude(pcm, from, 44100, 1000.0);
        if (a > bestAmplitude) bestAmplitude = a, best = from;
    }
    // Half scale played; read at 44100 Hz the tone is at 1 kHz and nowhere near the
    // frequency it would show at if the stream were still at 48000 Hz.
    EXPECT_GT(bestAmplitude, 0.35);
    EXPECT_LT(toneAmplitude(pcm, best, 44100, 1000.0 * 44100.0 / 48000.0), 0.05);
}

}  // namespace
}  // namespace sonvale::test
