#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QProcess>
#include <gtest/gtest.h>

#include "controller/sleep_watcher.h"
#include "launch/launch_fixture.h"

namespace sonvale::test {
namespace {

using coreaudio::AudioObjectID;

// A private bus that stands in for the system bus, with python3-dbusmock's logind on it.
// One per test program: the process-wide system bus connection is made once.
class PrivateLogind {
public:
    PrivateLogind() {
        daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
        if (!daemon_.waitForReadyRead(5000)) return;
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address_.toUtf8());
        mock_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        mock_.start("/usr/bin/python3", {"-m", "dbusmock", "--system", "--template", "logind"});
        probe_ = QDBusConnection::connectToBus(address_, "logind-probe");
        ready_ = waitUntil([this] {
            const QDBusReply<bool> reply = probe_.interface()->isServiceRegistered("org.freedesktop.login1");
            return reply.isValid() && reply.value();
        }, 10000);
    }

    ~PrivateLogind() {
        QDBusConnection::disconnectFromBus("logind-probe");
        for (QProcess* process : {&mock_, &daemon_}) {
            process->terminate();
            if (!process->waitForFinished(3000)) process->kill();
            process->waitForFinished(1000);
        }
    }

    bool ready() const { return ready_; }
    const QString& address() const { return address_; }

    int inhibitors() {
        const QDBusMessage reply = probe_.call(QDBusMessage::createMethodCall(
            "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "ListInhibitors"));
        if (reply.type() != QDBusMessage::ReplyMessage) return -1;
        const QDBusArgument list = reply.arguments().value(0).value<QDBusArgument>();
        int count = 0;
        list.beginArray();
        for (; !list.atEnd(); ++count) {
            QString what, who, why, mode;
            uint user = 0, pid = 0;
            list.beginStructure();
            list >> what >> who >> why >> mode >> user >> pid;
            list.endStructure();
        }
        list.endArray();
        return count;
    }

    bool prepareForSleep(bool sleeping) {
        QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                                           "org.freedesktop.DBus.Mock", "EmitSignal");
        call << QStringLiteral("org.freedesktop.login1.Manager") << QStringLiteral("PrepareForSleep")
             << QStringLiteral("b") << QVariant::fromValue(QVariantList{QVariant::fromValue(QDBusVariant(sleeping))});
        return probe_.call(call).type() == QDBusMessage::ReplyMessage;
    }

private:
    QProcess daemon_;
    QProcess mock_;
    QString address_;
    QDBusConnection probe_{QString()};
    bool ready_ = false;
};

class LogindSleepTest : public ::testing::Test, public ControllerFixture {
protected:
    static void SetUpTestSuite() { logind = new PrivateLogind; }
    static void TearDownTestSuite() {
        delete logind;
        logind = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(logind->ready()) << "dbus-daemon and python3-dbusmock are needed";
        ASSERT_TRUE(waitUntil([] { return logind->inhibitors() == 0; }));
        speaker = model->addDevice({.uid = std::string(clockUID), .name = speakerName.toStdString(),
                                    .transport = coreaudio::transport::builtIn});
        model->setDefaultOutput(speaker);
        coreaudio::setAudioSystem(model);
        make();
        enableForwarding();
    }

    void TearDown() override {
        stop();
        coreaudio::setAudioSystem(nullptr);
    }

    static PrivateLogind* logind;
    std::shared_ptr<coreaudio::DeviceModel> model = std::make_shared<coreaudio::DeviceModel>();
    AudioObjectID speaker = 0;
};

PrivateLogind* LogindSleepTest::logind = nullptr;

const QString sleepText = QStringLiteral("Mac 正在睡眠，已释放音频连接");

TEST_F(LogindSleepTest, WillSleepFinishesBeforeTheInhibitorIsReleasedAndWakeWaitsFiveSeconds) {
    int inhibitorsDuringWillSleep = -1;
    bool woke = false;
    SleepWatcher watcher(
        QDBusConnection::connectToBus(logind->address(), "watcher-under-test"),
        [&] {
            controller->willSleep();
            inhibitorsDuringWillSleep = logind->inhibitors();
        },
        [&] {
            controller->didWake();
            woke = true;
        });
    ASSERT_TRUE(watcher.start());
    ASSERT_TRUE(waitUntil([] { return logind->inhibitors() == 1; }));
    ASSERT_TRUE(tickUntilForwarding());
    ASSERT_EQ(coreaudio::uid(coreaudio::current()), outputUID);

    ASSERT_TRUE(logind->prepareForSleep(true));
    ASSERT_TRUE(waitUntil([this] { return inspector->pausedForSleep(); }));
    EXPECT_EQ(inhibitorsDuringWillSleep, 1) << "the machine must wait until the engine has stopped";
    EXPECT_FALSE(inspector->worker());
    EXPECT_EQ(coreaudio::current(), speaker);
    EXPECT_EQ(log().count(sleepText), 1);
    EXPECT_TRUE(waitUntil([] { return logind->inhibitors() == 0; }));
    clock->advance(60);
    controller->tick();
    EXPECT_FALSE(inspector->worker()) << "nothing starts while asleep";

    const Instant wokeAt = clock->now();
    ASSERT_TRUE(logind->prepareForSleep(false));
    ASSERT_TRUE(waitUntil([&] { return woke; }));
    EXPECT_TRUE(waitUntil([] { return logind->inhibitors() == 1; })) << "taken again at wake";
    EXPECT_EQ(inspector->nextAttempt(), wokeAt + Seconds(5.0));
    clock->advance(4.9);
    controller->tick();
    EXPECT_FALSE(inspector->worker());
    clock->advance(0.1);
    EXPECT_TRUE(tickUntilForwarding());
    QDBusConnection::disconnectFromBus("watcher-under-test");
}

TEST_F(LogindSleepTest, LaunchWatchesTheSystemBusAndTwoSleepsEqualOne) {
    controller->applicationDidFinishLaunching();
    EXPECT_FALSE(log().contains(QStringLiteral("无法连接系统总线，不处理睡眠和唤醒")));
    ASSERT_TRUE(waitUntil([] { return logind->inhibitors() == 1; }));
    clock->advance(3.0);
    ASSERT_TRUE(tickUntilForwarding());

    ASSERT_TRUE(logind->prepareForSleep(true));
    ASSERT_TRUE(waitUntil([this] { return inspector->pausedForSleep(); }));
    ASSERT_TRUE(waitUntil([] { return logind->inhibitors() == 0; }));
    // The speaker given back at sleep is reported as a route change; let it arrive first.
    ASSERT_TRUE(waitUntil([this] { return inspector->lastDevice() == speaker; }));
    const Instant pending = inspector->nextAttempt();
    ASSERT_TRUE(logind->prepareForSleep(true));
    ASSERT_TRUE(waitUntil([this] { return log().count(sleepText) == 2; }));
    EXPECT_TRUE(inspector->pausedForSleep());
    EXPECT_FALSE(inspector->worker());
    EXPECT_EQ(coreaudio::current(), speaker);
    EXPECT_EQ(inspector->message(), sleepText);
    EXPECT_EQ(inspector->nextAttempt(), pending);
    EXPECT_EQ(logind->inhibitors(), 0);

    ASSERT_TRUE(logind->prepareForSleep(false));
    ASSERT_TRUE(waitUntil([this] { return !inspector->pausedForSleep(); }));
    EXPECT_EQ(inspector->message(), QStringLiteral("Mac 已唤醒，等待网络恢复"));
    EXPECT_TRUE(waitUntil([] { return logind->inhibitors() == 1; }));
}

}  // namespace
}  // namespace sonvale::test
