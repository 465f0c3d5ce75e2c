#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>

#include "coreaudio/pulse_module_arguments.h"
#include "entry/constants.h"
#include "support/sound_server.h"

using namespace sonvale;
using namespace sonvale::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string speakerSink = "alsa_output.pci-0000_00_1f.3.analog-stereo.speaker";
const std::string hdmiSink = "alsa_output.pci-0000_00_1f.3.hdmi-stereo";
const std::string displayPortSink = "alsa_output.pci-0000_01_00.1.hdmi-stereo-extra1";
const char* const resources[] = {"sender.py", "vendor/pyatv/__init__.py", "AppIcon.icns", "system-test.wav"};

CommandResult sonvale(const std::vector<std::string>& arguments, std::map<std::string, std::string> environment = {}) {
    std::vector<std::string> argv{SONVALE_EXECUTABLE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    // No display and no session bus: the modes need neither.
    environment.emplace("DISPLAY", "");
    environment.emplace("WAYLAND_DISPLAY", "");
    environment.emplace("QT_QPA_PLATFORM", "");
    return runCommand(argv, 15s, environment);
}

void touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "x";
}

class VerifyPackage : public ::testing::Test {
protected:
    QTemporaryDir directory;
    fs::path root{directory.path().toStdString()};
};

TEST_F(VerifyPackage, ReportsMissingResourcesInOrder) {
    struct Case {
        std::vector<std::string> absent;
        std::string expected;
        int status;
    };
    const std::string version = SONVALE_VERSION;
    const Case cases[] = {
        {{}, R"({"missing":[],"ok":true,"version":")" + version + "\"}\n", 0},
        {{"system-test.wav"}, R"({"missing":["system-test.wav"],"ok":false,"version":")" + version + "\"}\n", 1},
        {{"vendor/pyatv/__init__.py", "sender.py"},
         R"({"missing":["sender.py","vendor\/pyatv\/__init__.py"],"ok":false,"version":")" + version + "\"}\n", 1},
    };
    for (const auto& c : cases) {
        QTemporaryDir package;
        const fs::path dir = package.path().toStdString();
        for (const char* name : resources) {
            if (std::find(c.absent.begin(), c.absent.end(), name) == c.absent.end()) touch(dir / name);
        }
        const auto result = sonvale({"--verify-package"}, {{"SONVALE_RESOURCES", dir.string()}});
        EXPECT_EQ(result.out, c.expected);
        EXPECT_EQ(result.exitStatus, c.status);
    }
}

TEST_F(VerifyPackage, FindsResourcesBesideTheExecutableAndWinsOverOtherModes) {
    // The installed layout: bin/sonvale next to share/sonvale/.
    fs::create_directories(root / "bin");
    fs::copy_file(SONVALE_EXECUTABLE, root / "bin/sonvale");
    for (const char* name : resources) touch(root / "share/sonvale" / name);

    const auto result = runCommand({(root / "bin/sonvale").string(), "--cleanup", "--status", "--verify-package"}, 15s,
                                   {{"SONVALE_RESOURCES", ""}, {"PULSE_SERVER", "unix:/nonexistent/native"}});
    EXPECT_EQ(result.out, R"j({"missing":[],"ok":true,"version":")j" SONVALE_VERSION "\"}\n");
    EXPECT_EQ(result.exitStatus, 0);

    fs::remove(root / "share/sonvale/AppIcon.icns");
    fs::create_directories(root / "share/sonvale/AppIcon.icns");  // a directory counts as present
    EXPECT_EQ(runCommand({(root / "bin/sonvale").string(), "--verify-package"}, 15s, {{"SONVALE_RESOURCES", ""}})
                  .exitStatus,
              0);
}

TEST(StatusWithoutServer, PrintsAnEmptyListAndSucceeds) {
    for (const char* server : {"unix:/nonexistent/native", "tcp:127.0.0.1:1"}) {
        const auto start = std::chrono::steady_clock::now();
        const auto status = sonvale({"--status"}, {{"PULSE_SERVER", server}});
        const auto cleanup = sonvale({"--cleanup", "--background"}, {{"PULSE_SERVER", server}});
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_EQ(status.out, "[]\n");
        EXPECT_EQ(status.exitStatus, 0);
        EXPECT_EQ(cleanup.out, "");
        EXPECT_EQ(cleanup.exitStatus, 0);
    }
}

class ModesOnServer : public ::testing::TestWithParam<SoundServerKind> {
protected:
    void SetUp() override { ASSERT_TRUE(server.running()) << server.error(); }

    CommandResult run(const std::string& flag) { return sonvale({flag}, {{"PULSE_SERVER", server.pulseServer()}}); }

    // What a crashed run leaves behind: the forwarding output device's null sink.
    std::uint32_t leaveForwardingDevice(const std::string& name) {
        const auto arguments = coreaudio::nullSinkArguments(outputUID, name);
        const auto module = server.loadModule("module-null-sink", *arguments);
        EXPECT_TRUE(module);
        return module.value_or(0);
    }

    bool hasForwardingDevice() { return server.sink(std::string(outputUID)).has_value(); }

    SoundServer server{GetParam()};
};

TEST_P(ModesOnServer, StatusListsTheOutputsWithoutTheMicrophone) {
    const std::string expected =
        R"j([{"eligible":true,"name":"内置音频 扬声器","selected":true,"uid":"BuiltInSpeakerDevice"},)j"
        R"j({"eligible":true,"name":"Built-in Audio Digital Stereo (HDMI)","selected":false,"uid":"alsa_output.pci-0000_00_1f.3.hdmi-stereo"},)j"
        R"j({"eligible":true,"name":"GA104 High Definition Audio Controller Digital Stereo (HDMI 2)","selected":false,"uid":"alsa_output.pci-0000_01_00.1.hdmi-stereo-extra1"},)j"
        R"j({"eligible":false,"name":"Logitech USB Headset Analog Stereo","selected":false,"uid":"alsa_output.usb-Logitech_USB_Headset-00.analog-stereo"},)j"
        R"j({"eligible":false,"name":"Razer Leviathan","selected":false,"uid":"bluez_sink.40_EF_4C_39_89_B2.a2dp_sink"}])j"
        "\n";
    const auto result = run("--status");
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.exitStatus, 0);

    leaveForwardingDevice("Sonvale · 卧室/客厅 \"HomePod\"");
    ASSERT_TRUE(server.setDefaultSink(std::string(outputUID)));
    const auto withForwarding = run("--status");
    EXPECT_NE(withForwarding.out.find(R"j("selected":false,"uid":"BuiltInSpeakerDevice"})j"), std::string::npos);
    EXPECT_NE(withForwarding.out.find(
                  R"j({"eligible":true,"name":"Sonvale · 卧室\/客厅 ”HomePod”","selected":true,"uid":"local.sonvale.output.bedroom"})j"),
              std::string::npos)
        << withForwarding.out;
}

TEST_P(ModesOnServer, CleanupWithNothingLeftChangesNothing) {
    ASSERT_TRUE(server.setDefaultSink(hdmiSink));
    const auto result = run("--cleanup");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(server.defaultSink(), hdmiSink);
    EXPECT_EQ(server.sinks().size(), 5u);
}

TEST_P(ModesOnServer, CleanupRemovesALeftoverThatIsNotTheOutput) {
    leaveForwardingDevice("Sonvale · 卧室");
    ASSERT_TRUE(server.setDefaultSink(hdmiSink));
    const auto result = run("--cleanup");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_FALSE(hasForwardingDevice());
    EXPECT_EQ(server.defaultSink(), hdmiSink);
}

TEST_P(ModesOnServer, CleanupGivesTheSpeakerBackBeforeRemovingTheOutput) {
    leaveForwardingDevice("Sonvale · 卧室");
    ASSERT_TRUE(server.setDefaultSink(std::string(outputUID)));
    const auto result = run("--cleanup");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_FALSE(hasForwardingDevice());
    EXPECT_EQ(server.defaultSink(), speakerSink);
}

TEST_P(ModesOnServer, CleanupWithoutASpeakerStillRemovesTheOutput) {
    for (const auto& name : {speakerSink, hdmiSink, displayPortSink}) {
        const auto sink = server.sink(name);
        ASSERT_TRUE(sink);
        ASSERT_TRUE(server.unloadModule(sink->ownerModule));
    }
    leaveForwardingDevice("Sonvale · 卧室");
    ASSERT_TRUE(server.setDefaultSink(std::string(outputUID)));
    const auto result = run("--cleanup");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_FALSE(hasForwardingDevice());
    EXPECT_EQ(server.sinks().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Servers, ModesOnServer,
                         ::testing::Values(SoundServerKind::pulseaudio, SoundServerKind::pipewire),
                         [](const auto& p) { return std::string(soundServerName(p.param)); });

}  // namespace
