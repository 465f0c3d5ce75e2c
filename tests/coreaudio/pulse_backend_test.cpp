#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "base/constants.h"
#include "base/platform_error.h"
#include "coreaudio/devices.h"
#include "coreaudio/pulse_audio_system.h"
#include "support/sound_server.h"

// The PulseAudio backend against a private PulseAudio and PipeWire with a laptop's outputs.
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

std::string failure(std::function<void()> call) {
    try {
        call();
    } catch (const PlatformError& error) {
        return error.localizedDescription();
    }
    return "no error";
}

class PulseBackend : public ::testing::TestWithParam<SoundServerKind> {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running()) << server.error();
        setAudioSystem(makePulseAudioSystem());
        listener = audioSystem().addPropertyListener(kAudioObjectSystemObject, address(selector::defaultOutput),
                                                     [this] { ++fired; });
        ASSERT_NE(listener, 0u);
    }
    void TearDown() override { setAudioSystem(nullptr); }

    bool firesAfter(int before) { return eventually([&] { return fired > before; }); }

    SoundServer server{GetParam()};
    std::atomic<int> fired{0};
    ListenerID listener = 0;
};

TEST_P(PulseBackend, PresentsTheTopologyAsDevices) {
    struct Expected {
        std::string uid, name, transport;
        bool eligible, output;
    };
    const Expected expected[] = {
        {std::string(clockUID), "内置音频 扬声器", "bltn", true, true},
        {hdmiSink, "Built-in Audio Digital Stereo (HDMI)", "hdmi", true, true},
        {displayPortSink, "GA104 High Definition Audio Controller Digital Stereo (HDMI 2)", "dprt", true, true},
        {usbSink, "Logitech USB Headset Analog Stereo", "usb ", false, true},
        {bluetoothSink, "Razer Leviathan", "blue", false, true},
        {microphone, "内置音频 麦克风", "", false, false},
    };
    const auto ids = devices();
    ASSERT_EQ(ids.size(), std::size(expected));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const auto& e = expected[i];
        SCOPED_TRACE(e.uid);
        EXPECT_EQ(uid(ids[i]), e.uid);
        EXPECT_EQ(textProperty(ids[i]), e.name);
        EXPECT_EQ(eligible(ids[i]), e.eligible);
        EXPECT_EQ(numbers(ids[i], selector::streams, scope::output).size(), e.output ? 1u : 0u);
        if (e.output) {
            EXPECT_EQ(code(numbers(ids[i], selector::transportType).at(0)), e.transport);
        }
    }
    EXPECT_EQ(current(), ids[0]);
}

// The view follows every default change, made here (read back before setOutput returns) or
// by another client, in quick succession; ids stay while the devices live.
TEST_P(PulseBackend, FollowsEveryDefaultChange) {
    const auto ids = devices();
    const std::pair<std::string, bool> steps[] = {{usbSink, false}, {hdmiSink, true},        {bluetoothSink, false},
                                                  {speakerSink, true}, {displayPortSink, false}, {usbSink, true}};
    for (const auto& [sink, here] : steps) {
        SCOPED_TRACE(sink);
        const int before = fired;
        const auto wanted = device(sink == speakerSink ? std::string(clockUID) : sink);
        ASSERT_TRUE(wanted);
        if (here) {
            setOutput(*wanted);
            EXPECT_EQ(current(), *wanted) << "read right after it was set";
            EXPECT_EQ(server.defaultSink(), sink);
        } else {
            ASSERT_TRUE(server.setDefaultSink(sink));
        }
        EXPECT_TRUE(firesAfter(before));
        EXPECT_TRUE(eventually([&] { return current() == *wanted; }));
    }
    EXPECT_EQ(devices(), ids);
    const std::string notADevice = "设置输出失败（" + std::to_string(fourCC("!dev")) + "）";
    EXPECT_EQ(failure([] { setOutput(*device(microphone)); }), notADevice);
    EXPECT_NE(failure([] { setOutput(12345); }), "no error");
    EXPECT_EQ(server.defaultSink(), usbSink);
}

TEST_P(PulseBackend, CreatesAndDestroysTheForwardingOutputWhateverItsName) {
    // Characters that would need an escape become look-alikes, which both servers read back alike.
    const std::pair<std::string, std::string> names[] = {
        {"卧室", "卧室"},
        {"He said \"hi\" it's a\\b", "He said ”hi” it’s a＼b"},
        {"x' sink_name=evil device.class='sound", "x’ sink_name=evil device.class=’sound"},
        {"a = b\tc\nd\xff", "a = b c d\uFFFD"},
        {"😀 HomePod  ", "😀 HomePod  "},
    };
    for (const auto& [name, shown] : names) {
        SCOPED_TRACE(name);
        const std::string expected = "Sonvale · " + shown;
        const AudioObjectID forwarding = makeAggregate("Sonvale · " + name, outputUID, false, std::nullopt);
        EXPECT_EQ(device(outputUID), forwarding) << "shown when makeAggregate returns";
        EXPECT_EQ(textProperty(forwarding), expected);
        EXPECT_EQ(code(numbers(forwarding, selector::transportType).at(0)), "grup");
        EXPECT_TRUE(eligible(forwarding));
        auto sink = server.sink(std::string(outputUID));
        ASSERT_TRUE(sink);
        EXPECT_EQ(sink->description, expected);
        EXPECT_NE(sink->properties["device.class"], "sound");
        EXPECT_EQ(failure([] { makeAggregate("Sonvale · again", outputUID, false, std::nullopt); }),
                  "建立音频设备失败（" + std::to_string(fourCC("nope")) + "）");
        EXPECT_EQ(server.sinks().size(), 6u);
        EXPECT_EQ(server.defaultSink(), speakerSink) << "never the default on its own";
        EXPECT_EQ(audioSystem().destroyAggregateDevice(forwarding), noErr);
        EXPECT_FALSE(device(outputUID)) << "gone when destroyAggregateDevice returns";
        EXPECT_FALSE(server.sink(std::string(outputUID)));
    }
    EXPECT_NE(audioSystem().destroyAggregateDevice(*device(usbSink)), noErr) << "real devices are not ours to remove";
}

TEST_P(PulseBackend, DeviceThatVanishesLeavesTheView) {
    const auto usb = device(usbSink);
    ASSERT_TRUE(usb);
    ASSERT_TRUE(server.unloadModule(server.sink(usbSink)->ownerModule));
    EXPECT_TRUE(eventually([&] { return devices().size() == 5; }));
    EXPECT_EQ(uid(*usb), "");
    EXPECT_EQ(textProperty(*usb), "");
    EXPECT_FALSE(eligible(*usb));
}

TEST_P(PulseBackend, ServerRestartIsFollowed) {
    server.stop();
    EXPECT_TRUE(firesAfter(0)) << "losing the server loses the default output";
    EXPECT_TRUE(devices().empty());
    EXPECT_EQ(current(), 0u);
    EXPECT_THROW(setOutput(100), PlatformError);
    EXPECT_THROW(makeAggregate("Sonvale · x", outputUID, false, std::nullopt), PlatformError);

    const int before = fired;
    ASSERT_TRUE(server.start()) << server.error();
    EXPECT_TRUE(firesAfter(before)) << "the output is back";
    EXPECT_TRUE(eventually([&] { return devices().size() == 6; }));
    EXPECT_EQ(uid(current()), clockUID);
}

// A stopped server: reads are answered from the view, a write gives up at its deadline.
TEST_P(PulseBackend, StoppedServerLeavesReadsToTheView) {
    int pid = 0;
    std::ifstream(server.directory() + (GetParam() == SoundServerKind::pipewire ? "/pipewire-pulse.pid"
                                                                                : "/pulseaudio.pid")) >> pid;
    ASSERT_GT(pid, 1);
    const auto ids = devices();
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    EXPECT_EQ(devices(), ids);
    EXPECT_EQ(uid(current()), clockUID);
    EXPECT_TRUE(eligible(current()));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(setOutput(*device(hdmiSink)), PlatformError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    kill(pid, SIGCONT);
    EXPECT_NO_THROW(setOutput(*device(hdmiSink)));
    EXPECT_EQ(server.defaultSink(), hdmiSink);
}

INSTANTIATE_TEST_SUITE_P(Servers, PulseBackend,
                         ::testing::Values(SoundServerKind::pulseaudio, SoundServerKind::pipewire),
                         [](const auto& p) { return std::string(soundServerName(p.param)); });

}  // namespace
