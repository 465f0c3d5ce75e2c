#include <gtest/gtest.h>

#include "coreaudio/pulse_audio_system.h"
#include "launch/launch_fixture.h"
#include "support/sound_server.h"

namespace sonvale::test {
namespace {

const std::string speakerSink = "alsa_output.pci-0000_00_1f.3.analog-stereo.speaker";
const std::string headsetSink = "alsa_output.usb-Logitech_USB_Headset-00.analog-stereo";
const QString headsetDescription = QStringLiteral("Logitech USB Headset Analog Stereo");

// The launched controller over the PulseAudio backend and a private server with the
// laptop topology; route changes arrive through the backend's own listener.
class PulseRoutingTest : public ::testing::Test, public ControllerFixture {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running()) << server.error();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket");
        coreaudio::setAudioSystem(coreaudio::makePulseAudioSystem());
        make();
        enableForwarding();
        controller->applicationDidFinishLaunching();
    }

    void TearDown() override {
        if (controller) controller->applicationWillTerminate();
        stop();
        coreaudio::setAudioSystem(nullptr);
    }

    bool routeSeen(const std::string& uid) {
        return waitUntil([&] { return coreaudio::uid(inspector->lastDevice()) == uid; }, 5000);
    }

    SoundServer server;
};

TEST_F(PulseRoutingTest, HeadsetHoldsForwardingTheSpeakerRestartsItAfterOneSecondAndTerminationGivesItBack) {
    clock->advance(3.0);
    ASSERT_TRUE(tickUntilForwarding()) << log().join('\n').toStdString();
    ASSERT_TRUE(waitUntil([this] { return server.defaultSink() == outputUID; }));
    ASSERT_TRUE(routeSeen(std::string(outputUID)));

    ASSERT_TRUE(server.setDefaultSink(headsetSink));
    ASSERT_TRUE(routeSeen(headsetSink));
    // A further notification for the same device (a port change, say) holds still.
    controller->routeChanged();
    EXPECT_FALSE(inspector->worker());
    EXPECT_FALSE(inspector->capture());
    EXPECT_EQ(server.defaultSink(), headsetSink);
    EXPECT_TRUE(controller->enabled());
    const QString held = QStringLiteral("保留当前输出：") + headsetDescription;
    EXPECT_EQ(inspector->message(), held);
    EXPECT_EQ(log().count(held), 1);

    clock->advance(30.0);
    controller->tick();
    EXPECT_FALSE(inspector->worker()) << "held while the headset is the output";

    ASSERT_TRUE(server.setDefaultSink(speakerSink));
    ASSERT_TRUE(routeSeen(std::string(clockUID)));
    const Instant changed = clock->now();
    EXPECT_EQ(inspector->nextAttempt(), changed + Seconds(1.0));
    clock->advance(0.9);
    controller->tick();
    EXPECT_FALSE(inspector->worker());
    clock->advance(0.1);
    ASSERT_TRUE(tickUntilForwarding());
    EXPECT_TRUE(waitUntil([this] { return server.defaultSink() == outputUID; }));

    controller->applicationWillTerminate();
    EXPECT_EQ(server.defaultSink(), speakerSink);
    EXPECT_FALSE(server.sink(std::string(outputUID)));
}

}  // namespace
}  // namespace sonvale::test
