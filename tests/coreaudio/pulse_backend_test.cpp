#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "coreaudio/devices.h"
#include "coreaudio/platform_error.h"
#include "coreaudio/pulse_audio_system.h"
#include "coreaudio/pulse_module_arguments.h"
#include "entry/constants.h"
#include "support/sound_server.h"

using namespace sonvale;
using namespace sonvale::coreaudio;
using namespace sonvale::test;
using namespace std::chrono_literals;

namespace {

const std::string speakerSink = "alsa_output.pci-0000_00_1f.3.analog-stereo.speaker";
const std::string hdmiSink = "alsa_output.pci-0000_00_1f.3.hdmi-stereo";
const std::string displayPortSink = "alsa_output.pci-0000_01_00.1.hdmi-stereo-extra1";
const std::string usbSink = "alsa_output.usb-Logitech_USB_Headset-00.analog-stereo";
const std::string bluetoothSink = "bluez_sink.40_EF_4C_39_89_B2.a2dp_sink";
const std::string microphone = "alsa_input.pci-0000_00_1f.3.analog-stereo";

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = 3s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string code(std::uint32_t value) { return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)}; }

class PulseBackend : public ::testing::TestWithParam<SoundServerKind> {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running()) << server.error();
        setAudioSystem(makePulseAudioSystem());
    }
    void TearDown() override { setAudioSystem(nullptr); }

    std::optional<AudioObjectID> sinkDevice(const std::string& name) {
        return device(name == speakerSink ? std::string(clockUID) : name);
    }

    SoundServer server{GetParam()};
};

TEST_P(PulseBackend, PresentsTheTopologyAsDevices) {
    struct Expected {
        std::string uid;
        std::string name;
        std::uint32_t transport;
        bool eligible;
        bool output;
    };
    const Expected expected[] = {
        {std::string(clockUID), "内置音频 扬声器", transport::builtIn, true, true},
        {hdmiSink, "Built-in Audio Digital Stereo (HDMI)", transport::hdmi, true, true},
        {displayPortSink, "GA104 High Definition Audio Controller Digital Stereo (HDMI 2)", transport::displayPort, true,
         true},
        {usbSink, "Logitech USB Headset Analog Stereo", transport::usb, false, true},
        {bluetoothSink, "Razer Leviathan", transport::bluetooth, false, true},
        {microphone, "内置音频 麦克风", 0, false, false},
    };
    const auto ids = devices();
    ASSERT_EQ(ids.size(), std::size(expected));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const auto& e = expected[i];
        SCOPED_TRACE(e.uid);
        EXPECT_GT(ids[i], kAudioObjectSystemObject);
        EXPECT_EQ(uid(ids[i]), e.uid);
        EXPECT_EQ(textProperty(ids[i]), e.name);
        EXPECT_EQ(eligible(ids[i]), e.eligible);
        EXPECT_EQ(numbers(ids[i], selector::streams, scope::output).size(), e.output ? 1u : 0u);
        EXPECT_EQ(numbers(ids[i], selector::streams, scope::input).size(), e.output ? 0u : 1u);
        if (e.transport != 0) {
            EXPECT_EQ(code(numbers(ids[i], selector::transportType).at(0)), code(e.transport));
        }
    }
    EXPECT_EQ(current(), ids[0]);
    EXPECT_EQ(devices(), ids) << "ids stay while the devices live";
    EXPECT_EQ(device(microphone), ids[5]);
}

TEST_P(PulseBackend, SetsTheDefaultOutputAndReportsEveryChange) {
    std::atomic<int> fired{0};
    const ListenerID listener =
        audioSystem().addPropertyListener(kAudioObjectSystemObject, address(selector::defaultOutput), [&] { ++fired; });
    ASSERT_NE(listener, 0u);

    const auto hdmi = device(hdmiSink);
    ASSERT_TRUE(hdmi);
    setOutput(*hdmi);
    EXPECT_EQ(server.defaultSink(), hdmiSink);
    EXPECT_EQ(current(), *hdmi);
    EXPECT_TRUE(eventually([&] { return fired >= 1; }));

    const int before = fired;
    ASSERT_TRUE(server.setDefaultSink(bluetoothSink));
    EXPECT_TRUE(eventually([&] { return fired > before; })) << "a change made by another client";
    EXPECT_EQ(current(), device(bluetoothSink));

    const auto microphoneID = device(microphone);
    ASSERT_TRUE(microphoneID);
    try {
        setOutput(*microphoneID);
        ADD_FAILURE() << "a source cannot be the default output";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.code(), static_cast<OSStatus>(fourCC("!dev")));
        EXPECT_EQ(error.localizedDescription(), "设置输出失败（" + std::to_string(fourCC("!dev")) + "）");
    }
    EXPECT_THROW(setOutput(12345), PlatformError);
    EXPECT_EQ(server.defaultSink(), bluetoothSink);
    audioSystem().removePropertyListener(listener);
}

TEST_P(PulseBackend, ReportsEachOfQuickSuccessiveDefaultChanges) {
    std::atomic<int> fired{0};
    const ListenerID listener =
        audioSystem().addPropertyListener(kAudioObjectSystemObject, address(selector::defaultOutput), [&] { ++fired; });
    ASSERT_NE(listener, 0u);
    ASSERT_EQ(uid(current()), clockUID);

    struct Step {
        std::string sink;
        bool byThisProcess;
    };
    const Step steps[] = {{usbSink, false}, {hdmiSink, true},       {bluetoothSink, false},
                          {speakerSink, true}, {displayPortSink, false}, {usbSink, true}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.sink);
        const int before = fired;
        const auto wanted = sinkDevice(step.sink);
        ASSERT_TRUE(wanted);
        if (step.byThisProcess) {
            setOutput(*wanted);
            EXPECT_EQ(current(), *wanted) << "read right after it was set";
        } else {
            ASSERT_TRUE(server.setDefaultSink(step.sink));
        }
        EXPECT_TRUE(eventually([&] { return fired > before; }));
        EXPECT_EQ(current(), *wanted);
    }
    audioSystem().removePropertyListener(listener);
}

TEST_P(PulseBackend, CreatesAndDestroysTheForwardingOutputDevice) {
    const AudioObjectID forwarding = makeAggregate("Sonvale · 卧室", outputUID, false, std::nullopt);
    EXPECT_EQ(device(outputUID), forwarding);
    EXPECT_EQ(textProperty(forwarding), "Sonvale · 卧室");
    EXPECT_EQ(code(numbers(forwarding, selector::transportType).at(0)), "grup");
    EXPECT_TRUE(eligible(forwarding));
    EXPECT_EQ(numbers(forwarding, selector::streams, scope::output).size(), 1u);
    EXPECT_EQ(server.defaultSink(), speakerSink) << "never the default on its own";

    const auto sink = server.sink(std::string(outputUID));
    ASSERT_TRUE(sink);
    EXPECT_EQ(sink->description, "Sonvale · 卧室");

    try {
        makeAggregate("Sonvale · again", outputUID, false, std::nullopt);
        ADD_FAILURE() << "a second device under the same UID";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.localizedDescription(), "建立音频设备失败（" + std::to_string(fourCC("nope")) + "）");
    }
    EXPECT_EQ(server.sinks().size(), 6u);

    setOutput(forwarding);
    EXPECT_EQ(server.defaultSink(), outputUID);
    setOutput(*device(clockUID));
    EXPECT_EQ(audioSystem().destroyAggregateDevice(forwarding), noErr);
    EXPECT_FALSE(device(outputUID));
    EXPECT_FALSE(server.sink(std::string(outputUID)));
    EXPECT_NE(audioSystem().destroyAggregateDevice(*device(usbSink)), noErr) << "real devices are not ours to remove";
    EXPECT_TRUE(device(usbSink));
}

TEST_P(PulseBackend, HostileNamesStayOneDescription) {
    const std::string names[] = {
        "He said \"hi\" it's a\\b",
        "x' sink_name=evil device.class='sound",
        "x\" device.icon_name=\"evil",
        "a = b\tc\nd",
        "\\",
        "'",
        "😀 卧室 HomePod  ",
    };
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        const std::string full = "Sonvale · " + name;
        AudioObjectID forwarding = 0;
        ASSERT_NO_THROW(forwarding = makeAggregate(full, outputUID, false, std::nullopt));
        const std::string expected = portableDescription(full);
        EXPECT_EQ(textProperty(forwarding), expected);
        auto sink = server.sink(std::string(outputUID));
        ASSERT_TRUE(sink);
        EXPECT_EQ(sink->description, expected);
        EXPECT_EQ(sink->properties["device.description"], expected);
        EXPECT_NE(sink->properties["device.class"], "sound");
        EXPECT_NE(sink->properties["device.icon_name"], "evil");
        EXPECT_EQ(server.sinks().size(), 6u);
        EXPECT_EQ(audioSystem().destroyAggregateDevice(forwarding), noErr);
    }
}

TEST_P(PulseBackend, DeviceThatVanishesReadsAsNothing) {
    const auto usb = device(usbSink);
    ASSERT_TRUE(usb);
    const auto sink = server.sink(usbSink);
    ASSERT_TRUE(sink);
    ASSERT_TRUE(server.unloadModule(sink->ownerModule));
    EXPECT_EQ(uid(*usb), "");
    EXPECT_EQ(textProperty(*usb), "");
    EXPECT_TRUE(numbers(*usb, selector::transportType).empty());
    EXPECT_FALSE(eligible(*usb));
    EXPECT_EQ(devices().size(), 5u);
}

TEST_P(PulseBackend, ServerDownGivesNothingQuicklyAndARestartIsPickedUp) {
    std::atomic<int> fired{0};
    audioSystem().addPropertyListener(kAudioObjectSystemObject, address(selector::defaultOutput), [&] { ++fired; });
    ASSERT_FALSE(devices().empty());

    server.stop();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(devices().empty());
    EXPECT_EQ(current(), 0u);
    EXPECT_FALSE(device(std::string(clockUID)));
    EXPECT_THROW(setOutput(100), PlatformError);
    EXPECT_THROW(makeAggregate("Sonvale · x", outputUID, false, std::nullopt), PlatformError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(eventually([&] { return fired >= 1; })) << "losing the server loses the default output";

    const int before = fired;
    ASSERT_TRUE(server.start()) << server.error();
    EXPECT_TRUE(eventually([&] { return devices().size() == 6; }));
    EXPECT_EQ(uid(current()), clockUID);
    EXPECT_TRUE(eventually([&] { return fired > before; })) << "the output is back";
}

TEST_P(PulseBackend, HungServerCostsOneDeadline) {
    const char* daemon = GetParam() == SoundServerKind::pipewire ? "/pipewire-pulse.pid" : "/pulseaudio.pid";
    int pid = 0;
    std::ifstream(server.directory() + daemon) >> pid;
    ASSERT_GT(pid, 1);
    ASSERT_FALSE(devices().empty());

    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    const auto start = std::chrono::steady_clock::now();
    const auto listed = devices();
    const AudioObjectID selected = current();
    const bool anyEligible = eligible(100);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    kill(pid, SIGCONT);
    EXPECT_TRUE(listed.empty());
    EXPECT_EQ(selected, 0u);
    EXPECT_FALSE(anyEligible);
    EXPECT_LT(elapsed, 2500ms);
    EXPECT_TRUE(eventually([&] { return devices().size() == 6; })) << "back once the server answers again";
}

INSTANTIATE_TEST_SUITE_P(Servers, PulseBackend,
                         ::testing::Values(SoundServerKind::pulseaudio, SoundServerKind::pipewire),
                         [](const auto& p) { return std::string(soundServerName(p.param)); });

}  // namespace
