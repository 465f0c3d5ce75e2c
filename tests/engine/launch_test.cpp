#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <csignal>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "engine/engine_fixture.h"
#include "sender/pipe_reader.h"
#include "sender/worker_process.h"

namespace sonvale::test {
namespace {

class WorkerLaunch : public EngineTest {
protected:
    // Starts the record_launch worker and returns what it found itself started with.
    QJsonObject launchAndRecord() {
        useWorker("record_launch");
        const QString record = dir.filePath("record.json");
        QFile::remove(record);
        ::setenv("SONVALE_TEST_RECORD", record.toLocal8Bit().constData(), 1);
        controller->startWorker();
        EXPECT_TRUE(waitForMessage(standby));
        QFile file(record);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return QJsonDocument::fromJson(file.readAll()).object();
    }
    QString senderLogPath() const { return dir.filePath("state/Sonvale/Sonvale-sender.log"); }
};

TEST_F(WorkerLaunch, RunsPythonWithTheWorkerCommandLineEnvironmentAndPipes) {
    configure(QStringLiteral("  "));  // only spaces: passed on unchanged
    ::setenv("SONVALE_TEST_MARKER", "inherited", 1);

    const QJsonObject record = launchAndRecord();

    EXPECT_EQ(logMessages().first(), QStringLiteral("正在独立连接   …"));
    EXPECT_EQ(inspect->lastHeartbeat(), clock->now());
    QStringList cmdline;
    for (const auto& part : record["cmdline"].toArray()) cmdline << part.toString();
    EXPECT_EQ(cmdline, (QStringList{"/usr/bin/python3", "-s", "-B", "-u", inspect->scriptURL(), "--name", "  "}));
    EXPECT_EQ(record["vendor"].toString(), dir.filePath("resources/vendor"));
    EXPECT_EQ(record["marker"].toString(), "inherited");
    EXPECT_EQ(record["stdin"].toString(), "pipe");
    EXPECT_EQ(record["stdout"].toString(), "pipe");
    EXPECT_TRUE(record["stderr"].toString().endsWith("/Sonvale/Sonvale-sender.log"));
    EXPECT_EQ(record["fds"].toArray(), (QJsonArray{0, 1, 2})) << "descriptors leaked into the worker";

    // A second start while the worker exists changes nothing.
    const auto first = inspect->worker();
    clock->advance(5);
    inspect->message() = QStringLiteral("marker");
    controller->startWorker();
    EXPECT_EQ(inspect->worker(), first);
    EXPECT_EQ(inspect->message(), QStringLiteral("marker"));
    EXPECT_EQ(logMessages().size(), 2);
    EXPECT_EQ(inspect->lastHeartbeat(), clock->now() - Seconds(5));
}

// Python ignores SIGPIPE itself, so the child's dispositions are read by a plain program.
TEST_F(WorkerLaunch, TheChildGetsSigpipeBackAndNoBlockedSignals) {
    ASSERT_EQ(std::signal(SIGPIPE, SIG_IGN), SIG_IGN);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    auto process = std::make_shared<WorkerProcess>();
    WorkerProcess::LaunchPlan plan;
    plan.executable = "/bin/cat";
    plan.arguments = {"/proc/self/status"};
    plan.standardOutput = fds[1];
    process->launch(plan);
    ::close(fds[1]);
    PipeReader reader{UniqueFd(fds[0])};
    QByteArray status;
    ASSERT_TRUE(waitFor([&] {
        status += reader.readAvailable();
        return reader.atEnd();
    }));
    ASSERT_TRUE(waitFor([&] { return process->reaped(); }));

    const auto field = [&](const char* name) {
        const qsizetype at = status.indexOf(QByteArray("\n") + name + ":");
        return status.mid(at + 1).split('\n').first().split('\t').last().toULongLong(nullptr, 16);
    };
    EXPECT_EQ(field("SigIgn") & (1u << (SIGPIPE - 1)), 0u);
    EXPECT_EQ(field("SigBlk"), 0u);
}

TEST_F(WorkerLaunch, EachLaunchAppendsToTheSenderLog) {
    launchAndRecord();
    const auto first = inspect->worker()->processIdentifier();
    stopAndReap();
    launchAndRecord();
    const auto second = inspect->worker()->processIdentifier();

    QFile log(senderLogPath());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(log.readAll()),
              QStringLiteral("worker %1 started\nworker %2 started\n").arg(first).arg(second));
}

TEST_F(WorkerLaunch, AnUnopenableSenderLogLeavesStandardErrorInherited) {
    QDir().mkpath(senderLogPath());  // a directory cannot be opened for writing
    EXPECT_FALSE(launchAndRecord()["stderr"].toString().endsWith("Sonvale-sender.log"));
    EXPECT_TRUE(inspect->worker());
}

TEST_F(WorkerLaunch, WithoutANameForwardingIsSwitchedOffAndNothingStarts) {
    configure(QString());
    controller->startWorker();

    EXPECT_FALSE(controller->enabled());
    EXPECT_EQ(inspect->message(), QStringLiteral("请先设置 HomePod 名称"));
    EXPECT_EQ(logMessages(), QStringList{QStringLiteral("请先设置 HomePod 名称")});
    EXPECT_FALSE(inspect->worker());
    EXPECT_EQ(inspect->nextAttempt(), distantPast);
    EXPECT_EQ(inspect->failures(), 0);
}

TEST_F(WorkerLaunch, ALaunchFailureTearsDownAndRetries) {
    inspect->environment().pythonPath = dir.filePath("missing/python3");
    inspect->wireData() = "stale";
    inspect->networkBytes() = 99;

    controller->startWorker();

    const QString reason = dir.filePath("missing/python3") + ": " +
                           QString::fromStdString(std::system_category().message(ENOENT));
    EXPECT_EQ(inspect->message(), QStringLiteral("无法启动发送器：") + reason + QStringLiteral("；2 秒后重试"));
    EXPECT_FALSE(inspect->worker());
    EXPECT_EQ(inspect->input(), -1);
    EXPECT_FALSE(inspect->workerOut());
    EXPECT_EQ(inspect->failures(), 1);
    EXPECT_EQ(inspect->nextAttempt(), clock->now() + Seconds(2));
    EXPECT_EQ(inspect->lastHeartbeat(), distantPast);
    EXPECT_TRUE(inspect->wireData().isEmpty());
    EXPECT_EQ(inspect->networkBytes(), 0u);
}

}  // namespace
}  // namespace sonvale::test
