#include <QProcess>
#include <QSettings>
#include <gtest/gtest.h>

#include <csignal>

#include "launch/launch_fixture.h"
#include "support/sound_server.h"

namespace sonvale::test {
namespace {

const std::string speakerSink = "alsa_output.pci-0000_00_1f.3.analog-stereo.speaker";
const QString launchLine = QStringLiteral("启动 Sonvale；不使用菜单脚本；旧菜单工具应保持停用");

// The real executable against a private sound server, with the scripted worker as its
// sender and every user directory in a temporary one.
class AppProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running()) << server.error();
        resources = dir.filePath("share/sonvale");
        installScriptedSender(resources);
        QDir().mkpath(dir.filePath("runtime"));
        QFile::setPermissions(dir.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert("SONVALE_RESOURCES", resources);
        environment.insert("XDG_RUNTIME_DIR", dir.filePath("runtime"));
        environment.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        environment.insert("XDG_STATE_HOME", dir.filePath("state"));
        environment.insert("PULSE_SERVER", QString::fromStdString(server.pulseServer()));
        environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
        environment.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent");
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("SCRIPTED_SENDER_STARTS", dir.filePath("starts"));
    }

    void TearDown() override {
        for (auto& process : processes) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
        for (const pid_t pid : liveWorkers()) ::kill(pid, SIGKILL);
        if (xvfb.state() != QProcess::NotRunning) {
            xvfb.terminate();
            xvfb.waitForFinished(3000);
        }
    }

    // Scripted workers started by this test that still run (a recycled pid is not ours:
    // its command line does not name this test's resource directory).
    std::vector<pid_t> liveWorkers() const {
        std::vector<pid_t> result;
        for (const QString& line : lines(readFile(dir.filePath("starts")))) {
            const pid_t pid = line.section(' ', 0, 0).toInt();
            QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
            if (pid > 0 && cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(resources.toUtf8())) {
                result.push_back(pid);
            }
        }
        return result;
    }

    static QString readFile(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    void enableForwarding() {
        QSettings settings(dir.filePath("config/local.sonvale.conf"), QSettings::IniFormat);
        settings.setValue("enabled", true);
        settings.setValue("targetName", QStringLiteral("卧室"));
        settings.sync();
    }

    QProcess& launch(const QStringList& arguments) {
        auto& process = processes.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(QStringLiteral(SONVALE_EXECUTABLE), arguments);
        process->waitForStarted(5000);
        return *process;
    }

    bool startXvfb() {
        xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        if (!xvfb.waitForReadyRead(10000)) return false;
        display = ":" + QString::fromUtf8(xvfb.readLine()).trimmed();
        environment.insert("DISPLAY", display);
        environment.insert("QT_QPA_PLATFORM", "xcb");
        return true;
    }

    // Visible top-level windows titled "Sonvale" that belong to the process.
    int visibleWindows(const QProcess& process) {
        const auto result = runCommand({"xdotool", "search", "--onlyvisible", "--pid",
                                        std::to_string(process.processId()), "--name", "^Sonvale$"},
                                       std::chrono::seconds(5), {{"DISPLAY", display.toStdString()}});
        return int(lines(QString::fromStdString(result.out)).size());
    }

    QStringList log() const { return logMessages(dir.filePath("state/Sonvale/Sonvale.log")); }
    bool forwarding() const { return server.defaultSink() == outputUID; }

    SoundServer server;
    QTemporaryDir dir;
    QString resources;
    QProcessEnvironment environment;
    std::vector<std::unique_ptr<QProcess>> processes;
    QProcess xvfb;
    QString display;
};

TEST_F(AppProcessTest, TerminationSignalsGiveTheOutputBackAndRemoveTheDevice) {
    enableForwarding();
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(number));
        QFile::remove(dir.filePath("state/Sonvale/Sonvale.log"));
        QProcess& app = launch({"--background"});
        ASSERT_TRUE(waitUntil([this] { return forwarding(); }, 20000)) << log().join('\n').toStdString();

        ::kill(pid_t(app.processId()), number);
        ASSERT_TRUE(app.waitForFinished(10000));
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(app.exitCode(), 0);
        EXPECT_EQ(server.defaultSink(), speakerSink);
        EXPECT_FALSE(server.sink(std::string(outputUID)));
        EXPECT_TRUE(waitUntil([this] { return liveWorkers().empty(); })) << "the worker ends with the app";
    }
}

TEST_F(AppProcessTest, ARealStartLogsInLaunchOrder) {
    enableForwarding();
    QProcess& app = launch({"--background"});
    ASSERT_TRUE(waitUntil([this] { return forwarding(); }, 20000));
    const QString takenOver = QStringLiteral("默认输出：Sonvale · 卧室 [local.sonvale.output.bedroom]");
    ASSERT_TRUE(waitUntil([&] { return log().contains(takenOver); }));
    // The launch itself, then the first start made by the tick; the capture may add its
    // format line in between.
    const QStringList expected{
        QStringLiteral("无法连接系统总线，不处理睡眠和唤醒"),
        launchLine,
        QStringLiteral("默认输出：") + speakerName + " [BuiltInSpeakerDevice]",
        QStringLiteral("正在独立连接 卧室…"),
        QStringLiteral("已连接 卧室，正在转发系统音频"),
        takenOver,
    };
    const QStringList written = log();
    EXPECT_EQ(written.mid(0, 4), expected.mid(0, 4)) << written.join('\n').toStdString();
    qsizetype at = 0;
    for (const QString& line : expected) {
        at = written.indexOf(line, at);
        EXPECT_GE(at, 0) << line.toStdString() << " missing or out of order in\n" << written.join('\n').toStdString();
        if (at < 0) break;
    }
    app.terminate();
    EXPECT_TRUE(app.waitForFinished(10000));
}

TEST_F(AppProcessTest, LaunchRemovesALeftoverThatIsTheDefaultOutput) {
    const auto module = server.loadModule("module-null-sink", "sink_name=" + std::string(outputUID) +
                                                                  " sink_properties=device.description=Sonvale");
    ASSERT_TRUE(module);
    ASSERT_TRUE(server.setDefaultSink(std::string(outputUID)));

    QProcess& app = launch({"--background"});
    ASSERT_TRUE(waitUntil([this] { return log().contains(launchLine); }, 10000));
    EXPECT_EQ(server.defaultSink(), speakerSink);
    EXPECT_FALSE(server.sink(std::string(outputUID)));
    app.terminate();
    EXPECT_TRUE(app.waitForFinished(10000));
}

TEST_F(AppProcessTest, ASecondLaunchShowsTheFirstWindowAndLeavesTheOutputAlone) {
    ASSERT_TRUE(startXvfb());
    enableForwarding();
    QProcess& first = launch({"--background"});
    ASSERT_TRUE(waitUntil([this] { return forwarding(); }, 20000));
    EXPECT_EQ(visibleWindows(first), 0);

    QProcess& second = launch({});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);

    EXPECT_TRUE(waitUntil([&] { return visibleWindows(first) == 1; }, 5000));
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_TRUE(forwarding()) << "the second copy must leave the output alone";
    EXPECT_TRUE(server.sink(std::string(outputUID)));
    EXPECT_EQ(log().count(launchLine), 1);

    first.terminate();
    ASSERT_TRUE(first.waitForFinished(10000));
    EXPECT_EQ(server.defaultSink(), speakerSink);
}

}  // namespace
}  // namespace sonvale::test
