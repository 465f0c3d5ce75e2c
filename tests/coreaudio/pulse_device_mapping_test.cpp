#include <gtest/gtest.h>

#include "coreaudio/audio_system.h"
#include "coreaudio/pulse_device_mapping.h"
#include "coreaudio/pulse_module_arguments.h"

using namespace sonvale::coreaudio;

namespace {

using Properties = std::map<std::string, std::string>;

PulseDeviceFacts sink(std::string name, Properties properties, std::vector<PulsePort> ports = {},
                      std::string active = {}, std::string description = {}) {
    PulseDeviceFacts facts;
    facts.name = std::move(name);
    facts.description = std::move(description);
    facts.properties = std::move(properties);
    facts.ports = std::move(ports);
    facts.activePort = std::move(active);
    return facts;
}

const Properties laptopCard{{"device.api", "alsa"}, {"device.bus", "pci"}, {"device.form_factor", "internal"},
                            {"device.profile.name", "analog-stereo"}, {"device.string", "front:0"}};
const std::vector<PulsePort> analogPorts{{"analog-output-speaker", "Speakers", port_type::speaker},
                                         {"analog-output-headphones", "Headphones", port_type::headphones}};

std::string fourCCText(std::uint32_t code) {
    return {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
}

TEST(PulseTransport, FollowsBusThenDisplayThenCard) {
    struct Case {
        const char* what;
        PulseDeviceFacts device;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"our own forwarding sink", sink("local.sonvale.output.bedroom", {}), transport::aggregate},
        {"PulseAudio bluez sink with speaker form factor",
         sink("bluez_sink.40_EF.a2dp_sink", {{"device.api", "bluez"}, {"device.bus", "bluetooth"},
                                             {"device.form_factor", "speaker"}}),
         transport::bluetooth},
        {"PipeWire bluez5 node without bus", sink("bluez_output.40_EF.1", {{"device.api", "bluez5"}}),
         transport::bluetooth},
        {"USB headset", sink("alsa_output.usb-Logitech-00.analog-stereo", {{"device.api", "alsa"}, {"device.bus", "usb"}}),
         transport::usb},
        {"USB by name only", sink("alsa_output.usb-Foo-00.analog-stereo", {{"device.api", "alsa"}}), transport::usb},
        {"laptop analog sink", sink("alsa_output.pci-0000_00_1f.3.analog-stereo", laptopCard, analogPorts,
                                    "analog-output-speaker"),
         transport::builtIn},
        {"HDMI by profile", sink("x", {{"device.api", "alsa"}, {"device.bus", "pci"}, {"device.profile.name", "hdmi-stereo"}}),
         transport::hdmi},
        {"HDMI by device string", sink("x", {{"device.api", "alsa"}, {"device.string", "hdmi:1,1"}}), transport::hdmi},
        {"HDMI by active port type", sink("x", {{"device.api", "alsa"}, {"device.profile.name", "HiFi"}},
                                          {{"[Out] HDMI1", "HDMI / DisplayPort 1 Output", port_type::hdmi}}, "[Out] HDMI1"),
         transport::displayPort},
        {"DisplayPort by ALSA name",
         sink("x", {{"device.api", "alsa"}, {"device.profile.name", "hdmi-stereo-extra1"}, {"alsa.name", "DisplayPort 1"}}),
         transport::displayPort},
        {"HDMI port on a profile that also has a speaker",
         sink("x", {{"device.api", "alsa"}, {"device.profile.name", "HiFi"}},
              {{"[Out] Speaker", "Speaker", port_type::speaker}, {"[Out] HDMI2", "HDMI 2", port_type::hdmi}}, "[Out] HDMI2"),
         transport::hdmi},
        {"speaker port wins over an hdmi-looking device string",
         sink("x", {{"device.api", "alsa"}, {"device.string", "hdmi:0"}}, analogPorts, "analog-output-speaker"),
         transport::builtIn},
        {"SoC card on the platform bus", sink("x", {{"device.api", "alsa"}, {"device.bus", "platform"}}), transport::builtIn},
        {"null sink", sink("x", {{"device.class", "abstract"}}), transport::virtualDevice},
        {"ALSA card on an unknown bus", sink("x", {{"device.api", "alsa"}, {"device.bus", "firewire"}}),
         transport::virtualDevice},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fourCCText(transportOf(c.device)), fourCCText(c.expected)) << c.what;
    }
}

TEST(PulseClock, PicksTheSpeakerPortThenFallsBackToADisplay) {
    const auto laptop = [](const std::string& active) {
        return sink("alsa_output.pci-0000_00_1f.3.analog-stereo", laptopCard, analogPorts, active, "内置音频 模拟立体声");
    };
    const auto hdmi = sink("alsa_output.pci-0000_00_1f.3.hdmi-stereo",
                           {{"device.api", "alsa"}, {"device.bus", "pci"}, {"device.profile.name", "hdmi-stereo"}});
    const auto usb = sink("alsa_output.usb-x.analog-stereo", {{"device.api", "alsa"}, {"device.bus", "usb"}});
    const auto ucmSpeaker = sink("alsa_output.pci-0000_00_1f.3-platform-sof_sdw.HiFi__Speaker__sink",
                                 {{"device.api", "alsa"}, {"device.profile.name", "HiFi"}},
                                 {{"[Out] Speaker", "Speaker", port_type::unknown}}, "[Out] Speaker");
    const auto portlessSpeaker = sink("null.speaker", {{"device.api", "alsa"}, {"device.form_factor", "internal"}});
    const auto portlessChinese =
        sink("null.a", {{"device.api", "alsa"}, {"device.form_factor", "speaker"}}, {}, {}, "内置音频 扬声器");
    const auto portlessLineOut = sink("null.lineout", {{"device.api", "alsa"}, {"device.form_factor", "internal"}});
    const auto bluetoothSpeaker =
        sink("bluez_sink.x.a2dp_sink", {{"device.bus", "bluetooth"}, {"device.form_factor", "speaker"}});

    struct Case {
        const char* what;
        std::vector<PulseDeviceFacts> sinks;
        std::optional<std::size_t> expected;
    };
    const Case cases[] = {
        {"speaker port active", {usb, laptop("analog-output-speaker"), hdmi}, 1},
        {"headphones plugged in: the display takes over", {laptop("analog-output-headphones"), hdmi}, 1},
        {"UCM speaker port known by name", {hdmi, ucmSpeaker}, 1},
        {"no ports: internal form factor and a speaker name", {hdmi, portlessSpeaker}, 1},
        {"no ports: Chinese description", {portlessChinese}, 0},
        {"no ports and no speaker in the name", {portlessLineOut}, std::nullopt},
        {"a Bluetooth speaker is never the machine's own", {bluetoothSpeaker, usb}, std::nullopt},
        {"first of two candidates", {portlessSpeaker, laptop("analog-output-speaker")}, 0},
        {"no sinks", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(clockSink(c.sinks), c.expected) << c.what;
    }
}

TEST(NullSinkArguments, NeedNoEscapesAndCannotBeBrokenOutOf) {
    struct Case {
        std::string name;
        std::string expected;
    };
    const Case cases[] = {
        {"Sonvale · 卧室 HomePod", "Sonvale · 卧室 HomePod"},
        {"He said \"hi\"", "He said ”hi”"},
        {"it's", "it’s"},
        {"a\\b\\", "a＼b＼"},
        {"x' device.class='sound", "x’ device.class=’sound"},
        {"line\nbreak\ttab\x7f", "line break tab "},
        {"bad \xff\xfe utf8 \xe4\xbd", "bad \uFFFD\uFFFD utf8 \uFFFD"},
        {"overlong \xc0\xaf surrogate \xed\xa0\x80", "overlong \uFFFD\uFFFD surrogate \uFFFD"},
        {"emoji 🔊 = ok", "emoji 🔊 = ok"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(portableDescription(c.name), c.expected) << c.name;
        const auto arguments = nullSinkArguments("local.sonvale.output.bedroom", c.name);
        ASSERT_TRUE(arguments);
        EXPECT_EQ(*arguments, "sink_name=local.sonvale.output.bedroom rate=44100 channels=2 "
                              "sink_properties='device.description=\"" + c.expected + "\" priority.session=1'");
    }
    for (const char* uid : {"", "a b", "a'b", "x sink_properties=y", "名字"}) {
        EXPECT_FALSE(nullSinkArguments(uid, "name")) << uid;
    }
}

}  // namespace
