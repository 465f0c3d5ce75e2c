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
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string speakerSink = "alsa_output.pci-0000_00_1f.3.analog-stereo.speaker";
const std::string hdmiSink = "alsa_output.pci-0000_00_1f.3.hdmi-stereo";
const std::string displayPortSink = "alsa_output.pci-0000_01_00.1.hdmi-stereo-extra1";

CommandResult sonvale(const std::vector<std::string>& arguments, std::map<std::string, std::string> environment = {}) {
    std::vector<std::string> argv{SONVALE_EXECUTABLE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    environment.emplace("DISPLAY", "");  // the modes need no display
    environment.emplace("QT_QPA_PLATFORM", "");
    return runCommand(argv, 15s, environment);
}

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
        // It wins over the other modes and needs no sound server.
        const auto result = sonvale({"--cleanup", "--status", "--verify-package"},
                                    {{"SONVALE_RESOURCES", dir.string()}, {"PULSE_SERVER", "unix:/nonexistent"}});
        EXPECT_EQ(result.out, expected);
        EXPECT_EQ(result.exitStatus, status);
    }
}

TEST(StatusWithoutServer, PrintsAnEmptyListAndSucceeds) {
    const auto status = sonvale({"--status"}, {{"PULSE_SERVER", "unix:/nonexistent/native"}});
    const auto cleanup = sonvale({"--cleanup"}, {{"PULSE_SERVER", "tcp:127.0.0.1:1"}});
    EXPECT_EQ(status.out, "[]\n");
    EXPECT_EQ(status.exitStatus, 0);
    EXPECT_EQ(cleanup.out, "");
    EXPECT_EQ(cleanup.exitStatus, 0);
}

class ModesOnServer : public ::testing::TestWithParam<SoundServerKind> {
protected:
    void SetUp() override { ASSERT_TRUE(server.running()) << server.error(); }
    CommandResult run(const std::string& flag) { return sonvale({flag}, {{"PULSE_SERVER", server.pulseServer()}}); }
    // What a crashed run leaves behind: the forwarding output's null sink.
    void leaveForwardingOutput(const std::string& name) {
        ASSERT_TRUE(server.loadModule("module-null-sink", *coreaudio::nullSinkArguments(outputUID, name)));
    }
    bool forwardingOutputLeft() { return server.sink(std::string(outputUID)).has_value(); }
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

    leaveForwardingOutput("Sonvale · 卧室/客厅 \"HomePod\"");
    ASSERT_TRUE(server.setDefaultSink(std::string(outputUID)));
    std::string selectedNoMore = outputs;
    selectedNoMore.replace(selectedNoMore.find(R"("selected":true)"), 15, R"("selected":false)");
    const auto result = run("--status");
    EXPECT_EQ(result.out, selectedNoMore + R"j(,{"eligible":true,"name":"Sonvale · 卧室\/客厅 ”HomePod”","selected":true,"uid":"local.sonvale.output.bedroom"}])j" "\n");
    EXPECT_EQ(result.exitStatus, 0);
}

// Cleanup removes a leftover forwarding output, giving the speaker back first when the
// leftover was the default output, and changes nothing else.
TEST_P(ModesOnServer, CleanupRemovesALeftoverAndGivesTheSpeakerBack) {
    struct Case {
        bool leftover, leftoverIsDefault, speakersGone;
        std::string defaultAfter;
    } const cases[] = {
        {false, false, false, hdmiSink},
        {true, false, false, hdmiSink},
        {true, true, false, speakerSink},
        {true, true, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.leftover) + std::to_string(c.leftoverIsDefault) + std::to_string(c.speakersGone));
        ASSERT_TRUE(server.setDefaultSink(hdmiSink));
        if (c.speakersGone) {
            for (const auto& name : {speakerSink, hdmiSink, displayPortSink}) {
                ASSERT_TRUE(server.unloadModule(server.sink(name)->ownerModule));
            }
        }
        if (c.leftover) leaveForwardingOutput("Sonvale · 卧室");
        if (c.leftoverIsDefault) {
            ASSERT_TRUE(server.setDefaultSink(std::string(outputUID)));
        }
        const auto result = run("--cleanup");
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.out, "");
        EXPECT_FALSE(forwardingOutputLeft());
        EXPECT_EQ(server.sinks().size(), c.speakersGone ? 2u : 5u);
        if (!c.defaultAfter.empty()) {
            EXPECT_EQ(server.defaultSink(), c.defaultAfter);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, ModesOnServer,
                         ::testing::Values(SoundServerKind::pulseaudio, SoundServerKind::pipewire),
                         [](const auto& p) { return std::string(soundServerName(p.param)); });

}  // namespace
