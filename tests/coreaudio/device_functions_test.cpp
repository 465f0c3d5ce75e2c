#include <gtest/gtest.h>

#include "coreaudio/devices.h"
#include "coreaudio/pulse_device_mapping.h"
#include "coreaudio/pulse_module_arguments.h"
#include "support/device_model.h"

// The device functions over the device model, and the PulseAudio backend's mapping rules.
using namespace sonvale;
using namespace sonvale::coreaudio;

namespace {

TEST(DeviceFunctions, EligibilityFollowsTransportThenUidThenName) {
    auto model = std::make_shared<DeviceModel>();
    setAudioSystem(model);
    using S = std::optional<std::string>;
    const std::tuple<S, S, std::uint32_t, bool> cases[] = {
        {"local.sonvale.output.bedroom", "Sonvale · 卧室", transport::usb, true},  // own device, any transport
        {std::nullopt, std::nullopt, transport::hdmi, true},
        {"x", "y", transport::displayPort, true},
        {"BuiltInSpeakerDevice", "Whatever", transport::builtIn, true},  // lower-cased UID has "speaker"
        {"alsa_output.pci.analog-stereo", "内置音频 扬声器", transport::builtIn, true},
        {"alsa_output.pci.analog-stereo", "内置音频 耳机", transport::builtIn, false},
        {"usb-speaker", "USB 扬声器", transport::usb, false},  // transport decides first
        {"bluez_sink.speaker", "蓝牙 扬声器", transport::bluetooth, false},
        {"null", "Null Output", transport::virtualDevice, false},
        {"no-transport-speaker", "扬声器", 0, false},
    };
    for (const auto& [uid, name, kind, expected] : cases) {
        EXPECT_EQ(eligible(model->addDevice({0, uid, name, kind})), expected) << uid.value_or("<null>") << " / " << name.value_or("<null>");
    }
    EXPECT_FALSE(eligible(0));
    // An output of the machine with ports is what its playing port is, whatever its UID and name say.
    for (const auto& [source, expected] : {std::pair{data_source::internalSpeaker, true}, {data_source::headphones, false}, {data_source::other, false}})
        EXPECT_EQ(eligible(model->addDevice({0, std::string(clockUID), "内置音频 扬声器", transport::builtIn, true, source})), expected);
    model->fail(DeviceModel::Operation::size, -50, selector::transportType);
    EXPECT_FALSE(eligible(model->addDevice(DeviceModel::speaker()))) << "an unreadable transport";
    setAudioSystem(nullptr);
}

using Properties = std::map<std::string, std::string>;

PulseDeviceFacts sink(std::string name, Properties properties, std::vector<PulsePort> ports = {}, std::string active = {},
                      std::string description = {}) {
    return {true, noIndex, std::move(name), std::move(description), std::move(properties), std::move(ports), std::move(active)};
}

const Properties card{{"device.api", "alsa"}, {"device.bus", "pci"}, {"device.form_factor", "internal"}};
const std::vector<PulsePort> analogPorts{{"analog-output-speaker", "扬声器", port_type::speaker},
                                         {"analog-output-headphones", "耳机", port_type::headphones}};

TEST(PulseMapping, TransportFollowsBusThenDisplayThenCardAndOnlyAPlainSinkNameIsMade) {
    const std::pair<PulseDeviceFacts, std::uint32_t> cases[] = {
        {sink("local.sonvale.output.bedroom", {}), transport::aggregate},
        {sink("bluez_sink.40_EF.a2dp_sink", {{"device.api", "bluez"}, {"device.form_factor", "speaker"}}),
         transport::bluetooth},
        {sink("bluez_output.40_EF.1", {{"device.api", "bluez5"}}), transport::bluetooth},
        {sink("alsa_output.usb-Logitech-00.analog-stereo", {{"device.api", "alsa"}, {"device.bus", "usb"}}),
         transport::usb},
        {sink("alsa_output.usb-Foo-00.analog-stereo", {{"device.api", "alsa"}}), transport::usb},
        {sink("laptop", card, analogPorts, "analog-output-speaker"), transport::builtIn},
        {sink("x", {{"device.api", "alsa"}, {"device.profile.name", "hdmi-stereo"}}), transport::hdmi},
        {sink("x", {{"device.api", "alsa"}, {"device.string", "hdmi:1,1"}}), transport::hdmi},
        {sink("x", {{"device.api", "alsa"}}, {{"[Out] HDMI1", "HDMI / DisplayPort 1 Output", port_type::hdmi}},
              "[Out] HDMI1"),
         transport::displayPort},
        {sink("x", {{"device.api", "alsa"}, {"device.profile.name", "hdmi-stereo-extra1"}, {"alsa.name", "DisplayPort 1"}}),
         transport::displayPort},
        {sink("x", {{"device.api", "alsa"}, {"device.string", "hdmi:0"}}, analogPorts, "analog-output-speaker"),
         transport::builtIn},
        {sink("x", {{"device.api", "alsa"}, {"device.bus", "platform"}}), transport::builtIn},
        {sink("x", {{"device.class", "abstract"}}), transport::virtualDevice},
        {sink("x", {{"device.api", "alsa"}, {"device.bus", "firewire"}}), transport::virtualDevice},
    };
    for (const auto& [facts, expected] : cases) EXPECT_EQ(transportOf(facts), expected) << facts.name;
    // A sink name goes into the module arguments unquoted: letters, digits, '.', '_' and '-' only.
    for (const auto& [uid, plain] : {std::pair{"local.sonvale.output.bedroom", true}, {"alsa_output.usb-Foo_00", true}, {"a b", false}, {"a'b", false}, {"a=b", false}, {"a\"b", false}, {"", false}})
        EXPECT_EQ(nullSinkArguments(uid, "卧室").has_value(), plain) << uid;
}

TEST(PulseMapping, ClockIsTheSinkWithASpeakerPortThenADisplayAndThePortSaysWhatItIsNow) {
    const auto laptop = [](const char* active) { return sink("laptop", card, analogPorts, active, "内置音频 模拟立体声"); };
    const auto hdmi = sink("hdmi", {{"device.api", "alsa"}, {"device.profile.name", "hdmi-stereo"}});
    const auto usb = sink("usb", {{"device.api", "alsa"}, {"device.bus", "usb"}});
    const auto ucm = sink("ucm", {{"device.api", "alsa"}}, {{"[Out] Speaker", "Speaker", port_type::unknown}},
                          "[Out] Speaker");
    const auto portless = sink("null.speaker", {{"device.api", "alsa"}, {"device.form_factor", "internal"}});
    const auto chinese = sink("null.a", {{"device.api", "alsa"}, {"device.form_factor", "speaker"}}, {}, {}, "内置音频 扬声器");
    const auto lineOut = sink("null.lineout", {{"device.api", "alsa"}, {"device.form_factor", "internal"}});
    const auto bluetooth = sink("bluez_sink.x", {{"device.bus", "bluetooth"}, {"device.form_factor", "speaker"}});
    const std::pair<std::vector<PulseDeviceFacts>, std::optional<std::size_t>> cases[] = {
        {{usb, laptop("analog-output-speaker"), hdmi}, 1},
        {{hdmi, ucm}, 1},
        {{hdmi, portless}, 1},
        {{chinese}, 0},
        {{lineOut}, std::nullopt},
        {{bluetooth, usb}, std::nullopt},
        {{portless, laptop("analog-output-speaker")}, 0},
    };
    for (const auto& [sinks, expected] : cases) EXPECT_EQ(clockSink(sinks), expected) << sinks.front().name;

    const std::tuple<PulseDeviceFacts, std::optional<std::uint32_t>, std::string> now[] = {
        {ucm, data_source::internalSpeaker, ""},  // one port: the description alone
        {sink("ucm", {}, {{"[Out] Headphones", "Headphones", 0}, {"[Out] Line", "Line", 0}}, "[Out] Headphones", "HiFi"), data_source::headphones, "HiFi · Headphones"},
        {hdmi, std::nullopt, ""},
    };
    for (const auto& [facts, source, name] : now) EXPECT_EQ(std::pair(dataSourceOf(facts), displayNameOf(facts)), std::pair(source, name)) << facts.name;
}

}  // namespace
