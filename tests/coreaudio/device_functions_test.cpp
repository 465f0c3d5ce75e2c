#include <gtest/gtest.h>

#include "coreaudio/device_model.h"
#include "coreaudio/devices.h"
#include "coreaudio/platform_error.h"

using namespace sonvale;
using namespace sonvale::coreaudio;

namespace {

class DeviceFunctions : public ::testing::Test {
protected:
    void SetUp() override { setAudioSystem(model); }
    void TearDown() override { setAudioSystem(nullptr); }

    AudioObjectID add(std::optional<std::string> uid, std::optional<std::string> name, std::uint32_t kind,
                      std::uint32_t outputs = 1) {
        DeviceModel::Device d;
        d.uid = std::move(uid);
        d.name = std::move(name);
        d.transport = kind;
        d.outputStreams = outputs;
        return model->addDevice(d);
    }

    std::shared_ptr<DeviceModel> model = std::make_shared<DeviceModel>();
};

TEST_F(DeviceFunctions, NumbersIsEmptyWheneverTheSizeOrReadFails) {
    const auto speaker = add("BuiltInSpeakerDevice", "内置音频 扬声器", transport::builtIn);
    EXPECT_EQ(numbers(speaker, selector::transportType), std::vector<std::uint32_t>{transport::builtIn});

    model->overrideSize(speaker, selector::transportType, 0);
    EXPECT_TRUE(numbers(speaker, selector::transportType).empty());

    model->overrideSize(speaker, selector::transportType, 3);  // less than one value: no read at all
    model->fail(DeviceModel::Operation::read, fourCC("nope"), speaker, selector::transportType);
    EXPECT_TRUE(numbers(speaker, selector::transportType).empty());

    model->overrideSize(speaker, selector::transportType, 10);  // two values; the read fills one, the rest stays 0
    model->clearFailures();
    EXPECT_EQ(numbers(speaker, selector::transportType), (std::vector<std::uint32_t>{transport::builtIn, 0}));

    model->fail(DeviceModel::Operation::size, -50, speaker, selector::transportType);
    EXPECT_TRUE(numbers(speaker, selector::transportType).empty());
}

TEST_F(DeviceFunctions, CurrentIsZeroWithoutDefaultOutput) {
    EXPECT_EQ(current(), 0u);
    const auto speaker = add("BuiltInSpeakerDevice", "Speaker", transport::builtIn);
    model->setDefaultOutput(speaker);
    EXPECT_EQ(current(), speaker);
}

TEST_F(DeviceFunctions, EligibilityFollowsTransportThenUidThenName) {
    struct Case {
        std::optional<std::string> uid;
        std::optional<std::string> name;
        std::uint32_t kind;
        bool expected;
    };
    const Case cases[] = {
        {"local.sonvale.output.bedroom", "Sonvale · 卧室", transport::usb, true},  // own device, any transport
        {std::nullopt, std::nullopt, transport::hdmi, true},                       // display speakers unseen
        {"x", "y", transport::displayPort, true},
        {"BuiltInSpeakerDevice", "Whatever", transport::builtIn, true},            // lower-cased UID has "speaker"
        {"alsa_output.pci.analog-stereo", "内置音频 扬声器", transport::builtIn, true},
        {"alsa_output.pci.analog-stereo", "内置音频 耳机", transport::builtIn, false},
        {"usb-speaker", "USB 扬声器", transport::usb, false},                      // transport decides first
        {"bluez_sink.speaker", "蓝牙 扬声器", transport::bluetooth, false},
        {"null", "Null Output", transport::virtualDevice, false},
        {"no-transport-speaker", "扬声器", 0, false},
    };
    for (const auto& c : cases) {
        const auto id = add(c.uid, c.name, c.kind);
        EXPECT_EQ(eligible(id), c.expected) << c.uid.value_or("<null>") << " / " << c.name.value_or("<null>");
    }
    EXPECT_FALSE(eligible(0));
}

TEST_F(DeviceFunctions, DeviceFindsTheFirstMatchingUid) {
    const auto first = add("twin", "A", transport::usb);
    add("twin", "B", transport::usb);
    const auto unreadable = add(std::nullopt, "C", transport::usb);
    EXPECT_EQ(device("twin"), first);
    EXPECT_EQ(device(""), unreadable);  // an unreadable UID reads as the empty string
    EXPECT_EQ(device("absent"), std::nullopt);
}

TEST_F(DeviceFunctions, SetOutputThrowsTheCheckedError) {
    const auto speaker = add("BuiltInSpeakerDevice", "Speaker", transport::builtIn);
    EXPECT_NO_THROW(setOutput(speaker));
    EXPECT_EQ(current(), speaker);

    model->fail(DeviceModel::Operation::write, -50);
    try {
        setOutput(speaker);
        FAIL() << "no error";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), "Sonvale");
        EXPECT_EQ(error.code(), -50);
        EXPECT_EQ(error.localizedDescription(), "设置输出失败（-50）");
    }
}

TEST(Check, StatusesKeepTheirSignedValue) {
    EXPECT_NO_THROW(check(0, "anything"));
    struct Case {
        OSStatus status;
        const char* what;
        const char* text;
    } const cases[] = {
        {-50, "设置输出", "设置输出失败（-50）"},
        {static_cast<OSStatus>(fourCC("who?")), "建立音频设备", "建立音频设备失败（2003332927）"},
        {std::numeric_limits<OSStatus>::min(), "x", "x失败（-2147483648）"},
    };
    for (const auto& c : cases) {
        try {
            check(c.status, c.what);
            FAIL() << c.text;
        } catch (const PlatformError& error) {
            EXPECT_EQ(error.code(), c.status);
            EXPECT_EQ(error.localizedDescription(), c.text);
        }
    }
}

TEST_F(DeviceFunctions, AggregateDescriptionsCarrySixOrEightEntries) {
    const auto plain = aggregateDescription("Sonvale · 卧室", "local.sonvale.output.bedroom", false, std::nullopt);
    EXPECT_EQ(plain.size(), 6u);
    EXPECT_TRUE(plain["private"].is_number_integer());
    EXPECT_EQ(plain["private"], 0);
    EXPECT_EQ(plain["stacked"], 0);
    EXPECT_EQ(plain["master"], "BuiltInSpeakerDevice");
    EXPECT_EQ(plain["subdevices"], nlohmann::json::parse(R"([{"uid":"BuiltInSpeakerDevice"}])"));

    const auto tapped = aggregateDescription("Sonvale Capture", "local.sonvale.capture.X", true, std::string());
    EXPECT_EQ(tapped.size(), 8u);  // an empty tap UID still adds the tap entries
    EXPECT_EQ(tapped["private"], 1);
    EXPECT_TRUE(tapped["tapautostart"].is_boolean());
    EXPECT_EQ(tapped["taps"], nlohmann::json::parse(R"([{"uid":"","drift":true}])"));
}

TEST_F(DeviceFunctions, MakeAggregateReportsCreationFailures) {
    const auto created = makeAggregate("Sonvale · 卧室", "local.sonvale.output.bedroom", false, std::nullopt);
    EXPECT_EQ(device("local.sonvale.output.bedroom"), created);

    model->fail(DeviceModel::Operation::createAggregate, -50);
    EXPECT_THROW(
        {
            try {
                makeAggregate("n", "u", false, std::nullopt);
            } catch (const PlatformError& error) {
                EXPECT_EQ(error.localizedDescription(), "建立音频设备失败（-50）");
                throw;
            }
        },
        PlatformError);
}

}  // namespace
