#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>

#include "base/constants.h"
#include "coreaudio/pulse_module_arguments.h"
#include "support/sound_server.h"

// The maintenance modes of the real executable, byte for byte.
using namespace sonvale;
using namespace sonvale::test;
using namespace sonvale::test::topology;
namespace fs = std::filesystem;

namespace {

CommandResult sonvale(std::vector<std::string> argv, std::map<std::string, std::string> environment) {
    argv.insert(argv.begin(), SONVALE_EXECUTABLE);
    environment.insert({{"DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}});  // the modes need no display
    return runCommand(argv, std::chrono::seconds(15), environment);
}

// --verify-package wins over the other modes and needs no sound server; without a server
// --status lists nothing and --cleanup has nothing to do.
TEST(VerifyPackage, ReportsMissingResourcesSortedAndEscaped) {
    const std::string version = SONVALE_VERSION;
    const std::tuple<std::vector<std::string>, std::string, int> cases[] = {
        {{}, R"({"missing":[],"ok":true,"version":")" + version + "\"}\n", 0},
        {{"vendor/pyatv/__init__.py", "sender.py"},
         R"({"missing":["sender.py","vendor\/pyatv\/__init__.py"],"ok":false,"version":")" + version + "\"}\n", 1},
    };
    for (const auto& [absent, expected, status] : cases) {
        QTemporaryDir package;
        const fs::path dir = package.path().toStdString();
        for (const char* name : {"sender.py", "vendor/pyatv/__init__.py", "AppIcon.icns", "system-test.wav"}) {
            if (std::find(absent.begin(), absent.end(), name) != absent.end()) continue;
            fs::create_directories((dir / name).parent_path());
            std::ofstream(dir / name) << "x";
        }
        const auto result = sonvale({"--cleanup", "--status", "--verify-package"},
                                    {{"SONVALE_RESOURCES", dir.string()}, {"PULSE_SERVER", "unix:/nonexistent"}});
        EXPECT_EQ(result.out, expected);
        EXPECT_EQ(result.exitStatus, status);
    }
    const auto status = sonvale({"--status"}, {{"PULSE_SERVER", "unix:/nonexistent/native"}});
    EXPECT_EQ(status.out + std::to_string(status.exitStatus), "[]\n0");
    const auto cleanup = sonvale({"--cleanup"}, {{"PULSE_SERVER", "tcp:127.0.0.1:1"}});
    EXPECT_EQ(cleanup.out + std::to_string(cleanup.exitStatus), "0");
}

class ModesOnServer : public ::testing::TestWithParam<SoundServerKind> {
protected:
    void SetUp() override { ASSERT_TRUE(server.running()) << server.error(); }
    CommandResult run(const std::string& flag) { return sonvale({flag}, {{"PULSE_SERVER", server.pulseServer()}}); }
    // What a crashed run leaves behind: the forwarding output's null sink, here the default.
    void leaveForwardingOutput(const std::string& name, bool asDefault) {
        ASSERT_TRUE(server.loadModule("module-null-sink", *coreaudio::nullSinkArguments(outputUID, name)));
        ASSERT_TRUE(!asDefault || server.setDefaultSink(std::string(outputUID)));
    }
    SoundServer server{GetParam()};
};

TEST_P(ModesOnServer, StatusListsTheOutputsWithoutTheMicrophone) {
    const std::string outputs =
        R"j([{"eligible":true,"name":"内置音频 扬声器","selected":true,"uid":"BuiltInSpeakerDevice"},)j"
        R"j({"eligible":true,"name":"Built-in Audio Digital Stereo (HDMI)","selected":false,"uid":"alsa_output.pci-0000_00_1f.3.hdmi-stereo"},)j"
        R"j({"eligible":true,"name":"GA104 High Definition Audio Controller Digital Stereo (HDMI 2)","selected":false,"uid":"alsa_output.pci-0000_01_00.1.hdmi-stereo-extra1"},)j"
        R"j({"eligible":false,"name":"Logitech USB Headset Analog Stereo","selected":false,"uid":"alsa_output.usb-Logitech_USB_Headset-00.analog-stereo"},)j"
        R"j({"eligible":false,"name":"Razer Leviathan","selected":false,"uid":"bluez_sink.40_EF_4C_39_89_B2.a2dp_sink"})j";
    EXPECT_EQ(run("--status").out, outputs + "]\n");
    leaveForwardingOutput("Sonvale · 卧室/客厅 \"HomePod\"", true);
    const auto result = run("--status");
    const std::string selectedNoMore = std::string(outputs).replace(outputs.find(R"("selected":true)"), 15, R"("selected":false)");
    EXPECT_EQ(result.out, selectedNoMore + R"j(,{"eligible":true,"name":"Sonvale · 卧室\/客厅 ”HomePod”","selected":true,"uid":"local.sonvale.output.bedroom"}])j" "\n");
    EXPECT_EQ(result.exitStatus, 0);
}

// Cleanup removes a leftover forwarding output, giving the speaker back first when the
// leftover was the default output, and changes nothing else.
TEST_P(ModesOnServer, CleanupRemovesALeftoverAndGivesTheSpeakerBack) {
    // leftover, leftover is the default, the speakers are gone: the default afterwards
    const std::tuple<bool, bool, bool, std::string> cases[] = {
        {false, false, false, hdmiSink}, {true, false, false, hdmiSink}, {true, true, false, speakerSink}, {true, true, true, "any"}};
    for (const auto& [leftover, leftoverIsDefault, speakersGone, defaultAfter] : cases) {
        SCOPED_TRACE(std::to_string(leftover) + std::to_string(leftoverIsDefault) + std::to_string(speakersGone));
        ASSERT_TRUE(server.setDefaultSink(hdmiSink));
        for (const auto& name : {speakerSink, hdmiSink, displayPortSink}) {
            ASSERT_TRUE(!speakersGone || server.unloadModule(server.sink(name)->ownerModule));
        }
        if (leftover) leaveForwardingOutput("Sonvale · 卧室", leftoverIsDefault);
        const auto result = run("--cleanup");
        EXPECT_EQ(result.out + std::to_string(result.exitStatus), "0");
        EXPECT_FALSE(server.sink(std::string(outputUID)));
        EXPECT_EQ(server.sinks().size(), speakersGone ? 2u : 5u);
        EXPECT_TRUE(speakersGone || server.defaultSink() == defaultAfter) << server.defaultSink();
    }
}

SONVALE_ON_BOTH_SERVERS(ModesOnServer);

}  // namespace
