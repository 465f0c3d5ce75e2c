#include <gtest/gtest.h>

#include <atomic>
#include <csignal>

#include "base/constants.h"
#include "base/platform_error.h"
#include "coreaudio/devices.h"
#include "coreaudio/output_latency.h"
#include "coreaudio/pulse_audio_system.h"
#include "support/sound_server.h"
#include "support/wait.h"

// The PulseAudio backend against a private PulseAudio and PipeWire with a laptop's outputs.
using namespace sonvale;
using namespace sonvale::coreaudio;
using namespace sonvale::test;
using namespace sonvale::test::topology;

namespace {

std::string code(std::uint32_t value) { return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)}; }

std::string failure(const std::function<void()>& call) try {
    return call(), "no error";
} catch (const PlatformError& error) {
    return error.localizedDescription();
}

class PulseBackend : public ::testing::TestWithParam<SoundServerKind> {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running()) << server.error();
        setAudioSystem(makePulseAudioSystem());
        ASSERT_NE(audioSystem().addPropertyListener(kAudioObjectSystemObject, address(selector::defaultOutput),
                                                    [this] { ++fired; }), 0u);
    }
    void TearDown() override { setAudioSystem(nullptr); }
    bool firesAfter(int before) { return waitUntil([&] { return fired > before; }, 3000); }

    SoundServer server{GetParam()};
    std::atomic<int> fired{0};
};

// The view follows every default change, made here (read back at once) or by another client, in quick
// succession; ids stay while the devices live.
TEST_P(PulseBackend, FollowsEveryDefaultChange) {
    const auto ids = devices();
    const std::pair<std::string, bool> steps[] = {{usbSink, false}, {hdmiSink, true},        {bluetoothSink, false},
                                                  {speakerSink, true}, {displayPortSink, false}, {usbSink, true}};
    for (const auto& [sink, here] : steps) {
        SCOPED_TRACE(sink);
        const int before = fired;
        const auto wanted = device(sink == speakerSink ? std::string(clockUID) : sink);
        ASSERT_TRUE(wanted);
        ASSERT_TRUE(here || server.setDefaultSink(sink));
        if (here) setOutput(*wanted);
        EXPECT_TRUE(!here || (current() == *wanted && server.defaultSink() == sink)) << "read right after it was set";
        EXPECT_TRUE(firesAfter(before));
        EXPECT_TRUE(waitUntil([&] { return current() == *wanted; }, 3000));
    }
    EXPECT_EQ(devices(), ids);
    EXPECT_EQ(failure([] { setOutput(*device(microphone)); }), "设置输出失败（" + std::to_string(fourCC("!dev")) + "）");
    EXPECT_NE(failure([] { setOutput(12345); }), "no error");
    EXPECT_EQ(server.defaultSink(), usbSink);
}

TEST_P(PulseBackend, CreatesAndDestroysTheForwardingOutputWhateverItsName) {
    // Characters that would need an escape become look-alikes, which both servers read back alike.
    const std::pair<std::string, std::string> names[] = {
        {"He said \"hi\" it's a\\b 卧室", "He said ”hi” it’s a＼b 卧室"},
        {"x' sink_name=evil device.class='sound", "x’ sink_name=evil device.class=’sound"},
        {"a = b\tc\nd\xff 😀߿ࠀ HomePod  ", "a = b c d\uFFFD 😀߿ࠀ HomePod  "}};
    for (const auto& [name, shown] : names) {
        SCOPED_TRACE(name);
        const AudioObjectID forwarding = makeAggregate("Sonvale · " + name, outputUID, false, std::nullopt);
        EXPECT_EQ(device(outputUID), forwarding) << "shown when makeAggregate returns";
        EXPECT_EQ(textProperty(forwarding) + code(numbers(forwarding, selector::transportType).at(0)), "Sonvale · " + shown + "grup");
        EXPECT_TRUE(eligible(forwarding));
        const auto sink = server.sink(std::string(outputUID));
        ASSERT_TRUE(sink);
        EXPECT_EQ(sink->description, "Sonvale · " + shown);
        EXPECT_EQ(sink->details.find("device.class = \"sound\""), std::string::npos);
        EXPECT_EQ(failure([] { makeAggregate("Sonvale · again", outputUID, false, std::nullopt); }),
                  "建立音频设备失败（" + std::to_string(fourCC("nope")) + "）");
        EXPECT_EQ(server.sinks().size(), 6u);
        EXPECT_EQ(server.defaultSink(), speakerSink) << "never the default on its own";
        // Lip sync: a player on it is told the speaker's delay where the server lets an output carry one.
        if (name == names[0].first) {
            const bool carried = setReportedDelay(forwarding, std::chrono::milliseconds(2000));
            EXPECT_EQ(carried, GetParam() == SoundServerKind::pipewire);
            double told = 0;
            const std::string lines = runCommand({LATENCY_PROBE, "--device", std::string(outputUID), "--seconds", "4"}).out;
            for (std::size_t at = lines.find("latency_ms\":"); at != std::string::npos; at = lines.find("latency_ms\":", at + 1))
                told = std::max(told, std::stod(lines.substr(at + 12)));
            EXPECT_TRUE(carried ? told >= 2000 : told > 0 && told < 2000) << lines;
        }
        EXPECT_EQ(audioSystem().destroyAggregateDevice(forwarding), noErr);
        EXPECT_FALSE(device(outputUID)) << "gone when destroyAggregateDevice returns";
        EXPECT_FALSE(server.sink(std::string(outputUID)));
    }
    EXPECT_NE(audioSystem().destroyAggregateDevice(*device(usbSink)), noErr) << "real devices are not ours to remove";
}

TEST_P(PulseBackend, DeviceThatVanishesLeavesTheViewAndAServerRestartIsFollowed) {
    const auto usb = device(usbSink);
    ASSERT_TRUE(usb && server.unloadModule(server.sink(usbSink)->ownerModule));
    EXPECT_TRUE(waitUntil([&] { return devices().size() == 5; }, 3000));
    EXPECT_EQ(uid(*usb) + textProperty(*usb), "");
    EXPECT_FALSE(eligible(*usb));
    const int lost = fired;
    server.stop();
    EXPECT_TRUE(firesAfter(lost)) << "losing the server loses the default output";
    EXPECT_EQ(devices().size() + current(), 0u) << "no devices, no output";
    EXPECT_THROW(setOutput(100), PlatformError);
    EXPECT_THROW(makeAggregate("Sonvale · x", outputUID, false, std::nullopt), PlatformError);
    const int before = fired;
    ASSERT_TRUE(server.start()) << server.error();
    EXPECT_TRUE(firesAfter(before)) << "the output is back";
    EXPECT_TRUE(waitUntil([&] { return devices().size() == 6; }, 3000));
    EXPECT_EQ(uid(current()), clockUID);

    // A server that stops answering (a frozen session) fails what is asked meanwhile, and is trusted again as soon
    // as it answers, even when what it was asked changes nothing: the first change asked after it thaws is made.
    server.signal(SIGSTOP);
    EXPECT_THROW(setOutput(current()), PlatformError);
    server.signal(SIGCONT);
    waitUntil([] { return false; }, 1000);
    EXPECT_NO_THROW(setOutput(*device(hdmiSink)));
    EXPECT_EQ(server.defaultSink(), hdmiSink);
}

SONVALE_ON_BOTH_SERVERS(PulseBackend);

}  // namespace
