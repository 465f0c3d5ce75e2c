#include <gtest/gtest.h>

#include <algorithm>

#include "support/sound_server.h"

using namespace sonvale::test;

namespace {

const std::string speakerSink = "alsa_output.pci-0000_00_1f.3.analog-stereo.speaker";
const std::string microphone = "alsa_input.pci-0000_00_1f.3.analog-stereo";

class SoundServerHarness : public ::testing::TestWithParam<SoundServerKind> {};

TEST_P(SoundServerHarness, LoadsTheTopologyAndComesBackAfterARestart) {
    SoundServer server(GetParam());
    ASSERT_TRUE(server.running()) << server.error();
    EXPECT_EQ(std::getenv("PULSE_SERVER"), server.pulseServer());

    const auto sinks = server.sinks();
    ASSERT_EQ(sinks.size(), 5u);
    EXPECT_EQ(sinks[0].name, speakerSink);
    EXPECT_EQ(sinks[0].description, "内置音频 扬声器");
    EXPECT_EQ(sinks[0].properties.at("device.form_factor"), "internal");
    EXPECT_EQ(sinks[4].properties.at("device.bus"), "bluetooth");
    EXPECT_EQ(server.defaultSink(), speakerSink);
    const auto sources = server.sourceNames();
    EXPECT_NE(std::find(sources.begin(), sources.end(), microphone), sources.end());

    ASSERT_TRUE(server.setDefaultSink(sinks[1].name));
    EXPECT_EQ(server.defaultSink(), sinks[1].name);

    const std::string socket = server.pulseServer();
    server.stop();
    EXPECT_FALSE(server.running());
    EXPECT_TRUE(server.defaultSink().empty());
    ASSERT_TRUE(server.start()) << server.error();
    EXPECT_EQ(server.pulseServer(), socket);
    EXPECT_EQ(server.sinks().size(), 5u);
}

TEST(SinkListParsing, ReadsFieldsAndUnescapesPropertyValues) {
    const std::string text =
        "Sink #7\n\tState: IDLE\n\tName: a.b\n\tDescription: Sonvale · \"x\" = y\n\tOwner Module: 536870913\n"
        "\tProperties:\n\t\tdevice.description = \"Sonvale · \\\"x\\\" = y\"\n\t\tdevice.bus = \"usb\"\n"
        "\tPorts:\n\t\tanalog-output: Analog Output (type: Analog, priority: 9900, available)\n"
        "Sink #8\n\tName: c\n";
    const auto sinks = parseSinkList(text);
    ASSERT_EQ(sinks.size(), 2u);
    EXPECT_EQ(sinks[0].index, 7u);
    EXPECT_EQ(sinks[0].description, "Sonvale · \"x\" = y");
    EXPECT_EQ(sinks[0].ownerModule, 536870913u);
    EXPECT_EQ(sinks[0].properties.at("device.description"), "Sonvale · \"x\" = y");
    EXPECT_EQ(sinks[0].properties.size(), 2u);
    EXPECT_EQ(sinks[1].name, "c");
}

TEST(RunCommand, KillsACommandAtItsDeadline) {
    const auto result = runCommand({"sh", "-c", "echo started; sleep 30"}, std::chrono::milliseconds(300));
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.exitStatus, -1);
    EXPECT_EQ(result.out, "started\n");
    const auto echoed = runCommand({"cat"}, std::chrono::seconds(5), {}, "input text");
    EXPECT_EQ(echoed.out, "input text");
    EXPECT_EQ(echoed.exitStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, SoundServerHarness,
                         ::testing::Values(SoundServerKind::pulseaudio, SoundServerKind::pipewire),
                         [](const auto& p) { return std::string(soundServerName(p.param)); });

}  // namespace
