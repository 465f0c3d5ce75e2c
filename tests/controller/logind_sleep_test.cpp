#include <QProcess>

#include "controller/controller_fixture.h"

namespace sonvale::test {
namespace {

const QString sleepText = QStringLiteral("Mac 正在睡眠，已释放音频连接");

// python3-dbusmock's logind on a private bus that stands in for the system bus; the
// process-wide system bus connection is made once, so one such test per program.
class PrivateLogind {
public:
    PrivateLogind() {
        daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
        if (!daemon_.waitForReadyRead(5000)) return;
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address_.toUtf8());
        mock_.start("/usr/bin/python3", {"-m", "dbusmock", "--system", "--template", "logind"});
        ready_ = waitUntil([this] { return inhibitors() >= 0; }, 10000);
    }
    ~PrivateLogind() {
        for (QProcess* process : {&mock_, &daemon_}) {
            process->kill();
            process->waitForFinished(3000);
        }
    }
    bool ready() const { return ready_; }

    // Inhibitors held now, -1 when logind does not answer.
    int inhibitors() {
        const QString listed = call("org.freedesktop.login1.Manager.ListInhibitors", {});
        return listed.isEmpty() ? -1 : int(listed.count("('sleep'"));
    }
    void prepareForSleep(bool sleeping) {
        call("org.freedesktop.DBus.Mock.EmitSignal",
             {"org.freedesktop.login1.Manager", "PrepareForSleep", "b", sleeping ? "[<true>]" : "[<false>]"});
    }

private:
    QString call(const QString& method, const QStringList& arguments) {
        QProcess gdbus;
        gdbus.start("gdbus", QStringList{"call", "--address", address_, "--dest", "org.freedesktop.login1",
                                         "--object-path", "/org/freedesktop/login1", "--method", method} +
                                 arguments);
        gdbus.waitForFinished(5000);
        return gdbus.exitCode() == 0 ? QString::fromUtf8(gdbus.readAllStandardOutput()) : QString();
    }

    QProcess daemon_;
    QProcess mock_;
    QString address_;
    bool ready_ = false;
};

TEST_F(ControllerTest, SleepReleasesTheInhibitorOnlyAfterStoppingAndTwoSleepsEqualOne) {
    PrivateLogind logind;
    ASSERT_TRUE(logind.ready()) << "dbus-daemon and python3-dbusmock are needed";
    make().applicationDidFinishLaunching();
    EXPECT_FALSE(log().contains(QStringLiteral("无法连接系统总线，不处理睡眠和唤醒")));
    ASSERT_TRUE(waitUntil([&] { return logind.inhibitors() == 1; }));
    clock->advance(3.0);
    ASSERT_TRUE(tickUntilConnected());

    for (int sleeps = 1; sleeps <= 2; ++sleeps) {
        logind.prepareForSleep(true);
        ASSERT_TRUE(waitUntil([&] { return log().count(sleepText) == sleeps; }));
        EXPECT_FALSE(controller->run());
        EXPECT_EQ(coreaudio::current(), speaker);
        EXPECT_TRUE(waitUntil([&] { return logind.inhibitors() == 0; }));
    }
    logind.prepareForSleep(false);
    ASSERT_TRUE(waitUntil([this] { return !controller->supervision().pausedForSleep(); }));
    EXPECT_EQ(controller->message(), QStringLiteral("Mac 已唤醒，等待网络恢复"));
    EXPECT_TRUE(waitUntil([&] { return logind.inhibitors() == 1; })) << "taken again at wake";
    controller.reset();
}

}  // namespace
}  // namespace sonvale::test
