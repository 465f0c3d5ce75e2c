#include <QLocalSocket>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include "launch/launch_fixture.h"

namespace sonvale::test {
namespace {

using coreaudio::AudioObjectID;
using coreaudio::DeviceModel;

const std::string headsetUID = "alsa_output.usb-Logitech_USB_Headset-00.analog-stereo";

// Launch, routing, sleep and termination over the in-memory audio system: a speaker and a
// USB headset, the speaker the default output.
class LaunchModelTest : public ::testing::Test, public ControllerFixture {
protected:
    void SetUp() override {
        // No system bus in these tests, whatever the machine has.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket");
        speaker = model->addDevice({.uid = std::string(clockUID), .name = speakerName.toStdString(),
                                    .transport = coreaudio::transport::builtIn});
        headset = model->addDevice(
            {.uid = headsetUID, .name = headsetName.toStdString(), .transport = coreaudio::transport::usb});
        model->setDefaultOutput(speaker);
        coreaudio::setAudioSystem(model);
    }

    void TearDown() override {
        stop();
        coreaudio::setAudioSystem(nullptr);
    }

    std::shared_ptr<DeviceModel> model = std::make_shared<DeviceModel>();
    AudioObjectID speaker = 0;
    AudioObjectID headset = 0;
};

TEST_F(LaunchModelTest, RouteChangeTable) {
    struct Case {
        const char* what;
        bool enabled;
        bool toHeadset;
        double nextAttemptAhead;  // seconds from now; negative: the distant past
        QString expectedMessage;
        double expectedNextAttemptAhead;  // negative: unchanged
    };
    const QString ready = QStringLiteral("已准备好，点击开始启用独立音频发送");
    const QString held = QStringLiteral("保留当前输出：") + headsetName;
    const Case cases[] = {
        {"speaker, nothing pending: a start one second ahead", true, false, -1, ready, 1.0},
        {"speaker, longer retry pending: kept", true, false, 3.0, ready, 3.0},
        {"speaker, shorter retry pending: moved to one second", true, false, 0.5, ready, 1.0},
        {"speaker while switched off: armed all the same", false, false, -1, ready, 1.0},
        {"headset while switched on: held", true, true, 2.0, held, 2.0},
        {"headset while switched off: only the log line", false, true, 2.0, ready, 2.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        make();
        controller->setEnabled(c.enabled);
        model->setDefaultOutput(c.toHeadset ? headset : speaker);
        const Instant start = clock->now();
        inspector->nextAttempt() = c.nextAttemptAhead < 0 ? distantPast : start + Seconds(c.nextAttemptAhead);

        controller->routeChanged();
        controller->routeChanged();

        const AudioObjectID device = c.toHeadset ? headset : speaker;
        const QString name = c.toHeadset ? headsetName : speakerName;
        const QString uid = QString::fromStdString(c.toHeadset ? headsetUID : std::string(clockUID));
        QStringList expectedLog{QStringLiteral("默认输出：") + name + " [" + uid + "]"};
        if (c.expectedMessage != ready) expectedLog << c.expectedMessage;
        EXPECT_EQ(log(), expectedLog);
        EXPECT_EQ(inspector->lastDevice(), device);
        EXPECT_EQ(inspector->message(), c.expectedMessage);
        EXPECT_EQ(controller->enabled(), c.enabled);
        EXPECT_EQ(inspector->nextAttempt(), start + Seconds(c.expectedNextAttemptAhead));
        QFile::remove(environment.logPath);
    }
}

TEST_F(LaunchModelTest, NoDefaultOutputIsIgnored) {
    make();
    controller->setEnabled(true);
    model->fail(DeviceModel::Operation::read, -50, coreaudio::kAudioObjectSystemObject,
                coreaudio::selector::defaultOutput);
    controller->routeChanged();
    EXPECT_TRUE(log().isEmpty());
    EXPECT_EQ(inspector->lastDevice(), 0u);
    EXPECT_EQ(inspector->nextAttempt(), distantPast);
}

TEST_F(LaunchModelTest, WakeWhileSwitchedOffKeepsTheSleepText) {
    make();
    controller->willSleep();
    const int lineCount = log().size();
    controller->didWake();
    EXPECT_EQ(inspector->message(), QStringLiteral("Mac 正在睡眠，已释放音频连接"));
    EXPECT_EQ(log().size(), lineCount);
    EXPECT_EQ(inspector->nextAttempt(), clock->now() + Seconds(5.0));
    EXPECT_FALSE(inspector->pausedForSleep());
}

TEST_F(LaunchModelTest, LaunchRestoresTheSpeakerAndRemovesALeftoverFirst) {
    AudioObjectID stale = 0;
    model->createAggregateDevice(coreaudio::aggregateDescription("Sonvale · 卧室", outputUID, false, std::nullopt), stale);
    model->setDefaultOutput(stale);
    const auto before = model->calls().size();

    make().applicationDidFinishLaunching();

    const auto calls = model->calls();
    ASSERT_GE(calls.size(), before + 2);
    EXPECT_EQ(calls[before], "setDefaultOutput " + std::to_string(speaker));
    EXPECT_EQ(calls[before + 1], "destroyAggregateDevice " + std::to_string(stale));
    EXPECT_EQ(coreaudio::current(), speaker);
    EXPECT_FALSE(coreaudio::device(outputUID));
}

TEST_F(LaunchModelTest, LaunchOrderAndState) {
    const Instant start = clock->now();
    make().applicationDidFinishLaunching();

    EXPECT_EQ(log(), (QStringList{QStringLiteral("无法连接系统总线，不处理睡眠和唤醒"),
                                  QStringLiteral("启动 Sonvale；不使用菜单脚本；旧菜单工具应保持停用"),
                                  QStringLiteral("默认输出：") + speakerName + " [BuiltInSpeakerDevice]"}));
    EXPECT_EQ(inspector->nextAttempt(), start + Seconds(3.0));
    ASSERT_TRUE(inspector->tickTimer());
    EXPECT_TRUE(inspector->tickTimer()->isActive());
    EXPECT_EQ(inspector->tickTimer()->interval(), 500);
    EXPECT_FALSE(inspector->window() && inspector->window()->isVisible()) << "--background keeps the window closed";
    EXPECT_FALSE(controller->quitAtLaunch());

    // The route listener reaches routeChanged() on the main thread.
    model->setDefaultOutput(headset);
    EXPECT_TRUE(waitUntil([this] { return inspector->lastDevice() == headset; }));
}

TEST_F(LaunchModelTest, LaunchWithoutBackgroundShowsTheWindow) {
    environment.arguments = {QStringLiteral("sonvale")};
    make().applicationDidFinishLaunching();
    ASSERT_TRUE(inspector->window());
    EXPECT_TRUE(inspector->window()->isVisible());
}

TEST_F(LaunchModelTest, StaleLockAndSocketOfAKilledCopyAreTakenOver) {
    // What a killed copy leaves: a socket file nobody listens on. The lock file of a dead
    // process is covered by QLockFile itself.
    QFile(environment.runtimeDir + "/local.sonvale.sock").open(QIODevice::WriteOnly);
    make().applicationDidFinishLaunching();
    EXPECT_FALSE(controller->quitAtLaunch());
    QLocalSocket probe;
    probe.connectToServer(environment.runtimeDir + "/local.sonvale.sock");
    EXPECT_TRUE(probe.waitForConnected(1000));
}

}  // namespace
}  // namespace sonvale::test
