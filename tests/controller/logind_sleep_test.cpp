#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QProcess>

#include "controller/controller_fixture.h"

namespace sonvale::test {
namespace {

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

const QString sleepText = QStringLiteral("Mac 正在睡眠，已释放音频连接");

// logind from python3-dbusmock on a private bus that stands in for the system bus.
TEST_F(ControllerTest, SleepReleasesTheInhibitorOnlyAfterStoppingAndTwoSleepsEqualOne) {
    PrivateLogind logind;
    ASSERT_TRUE(logind.ready()) << "dbus-daemon and python3-dbusmock are needed";
    make().applicationDidFinishLaunching();
    EXPECT_FALSE(log().contains(QStringLiteral("无法连接系统总线，不处理睡眠和唤醒")));
    ASSERT_TRUE(waitUntil([&] { return logind.inhibitors() == 1; }));
    clock->advance(3.0);
    ASSERT_TRUE(tickUntilConnected());

    for (int sleeps = 1; sleeps <= 2; ++sleeps) {
        ASSERT_TRUE(logind.prepareForSleep(true));
        ASSERT_TRUE(waitUntil([&] { return log().count(sleepText) == sleeps; }));
        EXPECT_FALSE(controller->run());
        EXPECT_EQ(coreaudio::current(), speaker);
        EXPECT_TRUE(waitUntil([&] { return logind.inhibitors() == 0; }));
    }
    ASSERT_TRUE(logind.prepareForSleep(false));
    ASSERT_TRUE(waitUntil([this] { return !controller->supervision().pausedForSleep(); }));
    EXPECT_EQ(controller->message(), QStringLiteral("Mac 已唤醒，等待网络恢复"));
    EXPECT_TRUE(waitUntil([&] { return logind.inhibitors() == 1; })) << "taken again at wake";
    controller.reset();
}

}  // namespace
}  // namespace sonvale::test
