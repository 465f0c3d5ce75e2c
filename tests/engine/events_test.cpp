#include <QFile>
#include <QFileInfo>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

#include "capture/capture.h"
#include "coreaudio/devices.h"
#include "engine/engine_fixture.h"
#include "entry/constants.h"
#include "sender/worker_process.h"

namespace sonvale::test {
namespace {

using namespace coreaudio;
using Op = DeviceModel::Operation;

// Lines handed to consume() directly, with a pipe standing in for the worker's input.
class WorkerLines : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        freshInput();
    }
    void TearDown() override {
        if (pcm >= 0) ::close(pcm);
        EngineTest::TearDown();
    }

    // A new pipe in place of the worker's input, as a new launch would give.
    void freshInput() {
        if (inspect->input() >= 0) ::close(inspect->input());
        if (pcm >= 0) ::close(pcm);
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        pcm = fds[0];
        inspect->input() = fds[1];
    }

    int pcm = -1;
};

TEST_F(WorkerLines, FramingAndParsing) {
    struct Case {
        const char* name;
        std::vector<QByteArray> chunks;
        QStringList logged;
        bool heartbeat;        // whether lastHeartbeat moved
        QByteArray left;       // wireData afterwards
        std::uint64_t bytes;   // networkBytes afterwards (starts at 7)
    };
    const std::vector<Case> cases = {
        {"two lines in one chunk, in order", {"{\"state\":\"reconnecting\"}\n{\"state\":\"playing\"}\n"},
         {reconnecting, connected}, true, "", 7},
        {"bytes without a line feed wait", {"{\"state\":\"playing\"}"}, {}, false, "{\"state\":\"playing\"}", 7},
        {"empty line", {"\n"}, {}, false, "", 7},
        {"unknown state is a heartbeat only", {"{\"state\":\"warming\"}\n"}, {}, true, "", 7},
        {"streaming with a count", {"{\"state\":\"streaming\",\"bytes_in\":123456789012}\n"}, {}, true, "",
         123456789012u},
        {"streaming without a count", {"{\"state\":\"streaming\"}\n"}, {}, true, "", 0},
        {"streaming with a text count", {"{\"state\":\"streaming\",\"bytes_in\":\"12\"}\n"}, {}, true, "", 0},
        {"repeated idle logs once", {"{\"state\":\"idle\"}\n{\"state\":\"idle\"}\n"}, {standby}, true, "", 7},
        {"repeated playing logs each time", {"{\"state\":\"playing\"}\n{\"state\":\"playing\"}\n"},
         {connected, connected}, true, "", 7},
        {"message is read only with error", {"{\"state\":\"playing\",\"message\":\"x\"}\n"}, {connected}, true, "",
         7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(inspect->logURL());
        inspect->wireData().clear();
        inspect->message() = QStringLiteral("before");
        inspect->networkBytes() = 7;
        inspect->lastHeartbeat() = distantPast;
        clock->advance(1);
        for (const auto& chunk : c.chunks) controller->consume(chunk);
        EXPECT_EQ(logMessages(), c.logged);
        EXPECT_EQ(inspect->lastHeartbeat() == clock->now(), c.heartbeat);
        EXPECT_EQ(inspect->wireData(), c.left);
        EXPECT_EQ(inspect->networkBytes(), c.bytes);
    }
}

TEST_F(WorkerLines, AnOverlongLineIsDroppedWithoutBeingKept) {
    const QByteArray padding(100 * 1024, 'x');
    controller->consume("{\"state\":\"playing\",\"pad\":\"" + padding);
    EXPECT_TRUE(inspect->wireData().isEmpty());
    controller->consume(padding);
    EXPECT_TRUE(inspect->wireData().isEmpty());
    controller->consume(padding + "\"}\n{\"state\":\"reconnecting\"}\n{\"state\":");
    EXPECT_EQ(logMessages(), QStringList{reconnecting});
    EXPECT_EQ(inspect->wireData(), "{\"state\":");

    // A complete line over the limit is dropped too; one below it is read.
    QFile::remove(inspect->logURL());
    inspect->wireData().clear();
    controller->consume("{\"state\":\"playing\",\"pad\":\"" + QByteArray(70 * 1024, 'x') + "\"}\n");
    controller->consume("{\"state\":\"idle\",\"pad\":\"" + QByteArray(60 * 1024, 'x') + "\"}\n");
    EXPECT_EQ(logMessages(), QStringList{standby});
}

TEST_F(WorkerLines, ReadyThatMustNotForwardEndsTheBatch) {
    struct Case {
        const char* name;
        bool on;
        bool headphonesChosen;
    };
    for (const Case& c : {Case{"switched off", false, false}, Case{"ineligible output", true, true}}) {
        SCOPED_TRACE(c.name);
        freshInput();
        controller->setEnabled(c.on);
        model->setDefaultOutput(c.headphonesChosen ? headphones : speaker);
        inspect->message() = QStringLiteral("before");

        controller->consume("{\"state\":\"ready\"}\n{\"state\":\"playing\"}\n");

        EXPECT_EQ(inspect->input(), -1);
        EXPECT_FALSE(inspect->capture());
        EXPECT_EQ(inspect->outputDevice(), 0u);
        EXPECT_EQ(inspect->message(), QStringLiteral("before"));
        EXPECT_EQ(inspect->wireData(), "{\"state\":\"playing\"}\n") << "the rest of the batch stays unread";
        inspect->wireData().clear();
    }
}

TEST_F(WorkerLines, ReadyAfterATeardownInTheSameBatchIsIgnored) {
    // A "message" that is not text gives the default reason.
    controller->consume("{\"state\":\"error\",\"message\":5}\n{\"state\":\"ready\"}\n{\"state\":\"playing\"}\n");

    EXPECT_EQ(inspect->input(), -1);
    EXPECT_FALSE(inspect->capture());
    EXPECT_EQ(inspect->outputDevice(), 0u);
    EXPECT_EQ(model->defaultOutput(), speaker);
    EXPECT_TRUE(controller->enabled());
    EXPECT_EQ(logMessages(), (QStringList{QStringLiteral("发送器报告错误；2 秒后重试"), connected}));
}

TEST_F(WorkerLines, ASetUpFailureAtReadySwitchesForwardingOff) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        QString reason;
    };
    const std::vector<Case> cases = {
        {"forwarding output device", [&] { model->fail(Op::createAggregate, -66); }, "建立音频设备失败（-66）"},
        {"capture", [&] { model->fail(Op::createTap, -50); }, "建立系统音频捕获失败（-50）"},
        {"default output", [&] { model->fail(Op::write, 1852797029, kAudioObjectSystemObject, selector::defaultOutput); },
         "设置输出失败（1852797029）"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        freshInput();
        controller->setEnabled(true);
        model->clearFailures();
        c.arrange();
        QFile::remove(inspect->logURL());
        const Instant retry = inspect->nextAttempt();

        controller->consume("{\"state\":\"ready\"}\n{\"state\":\"idle\"}\n");

        EXPECT_FALSE(controller->enabled());
        EXPECT_FALSE(inspect->capture());
        EXPECT_EQ(inspect->input(), -1);
        EXPECT_EQ(model->defaultOutput(), speaker);
        EXPECT_EQ(model->liveTaps(), 0u);
        EXPECT_EQ(inspect->nextAttempt(), retry) << "no retry is scheduled";
        const QStringList logged = logMessages();
        EXPECT_TRUE(logged.contains(QStringLiteral("未启用捕获：") + c.reason + QStringLiteral("。授权后点开始重试。")))
            << logged.join(" | ").toStdString();
        EXPECT_EQ(logged.value(logged.size() - 1), standby) << "the next line of the batch is still handled";
    }
}

// The same reports from real worker processes, through the real pipes.
using WorkerReports = EngineTest;

TEST_F(WorkerReports, MalformedOutputIsDroppedAndSplitLinesAreJoined) {
    useWorker("noisy_lines");
    controller->startWorker();
    ASSERT_TRUE(waitFor([&] { return inspect->networkBytes() == 4096; }));
    EXPECT_EQ(logMessages(), (QStringList{connecting, reconnecting}));
}

TEST_F(WorkerReports, AWorkerThatNeverEndsItsLineCannotGrowTheBuffer) {
    useWorker("flood");
    ::setenv("SONVALE_TEST_FLOOD_BYTES", "8388608", 1);
    controller->startWorker();
    qsizetype largest = 0;
    ASSERT_TRUE(waitFor([&] {
        largest = std::max(largest, inspect->wireData().size());
        return inspect->message() == connected;
    }));
    EXPECT_LE(largest, 64 * 1024);
}

TEST_F(WorkerReports, ErrorReportsEndTheRunWithTheirText) {
    struct Case {
        const char* name;
        const char* message;  // nullptr: none
        bool exits;
        QString shown;
    };
    const std::vector<Case> cases = {
        {"with a message", "找不到 HomePod“卧室”", false, QStringLiteral("找不到 HomePod“卧室”；2 秒后重试")},
        {"without a message", nullptr, false, QStringLiteral("发送器报告错误；4 秒后重试")},
        // The report written just before the exit is handled before the exit is.
        {"then exits at once", "连接被拒绝", true, QStringLiteral("连接被拒绝；8 秒后重试")},
    };
    useWorker("error_report");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.message) ::setenv("SONVALE_TEST_MESSAGE", c.message, 1);
        else ::unsetenv("SONVALE_TEST_MESSAGE");
        if (c.exits) ::setenv("SONVALE_TEST_EXIT", "1", 1);
        controller->startWorker();
        ASSERT_TRUE(waitForNoWorker());
        settle(300ms);
        EXPECT_EQ(inspect->message(), c.shown);
        EXPECT_EQ(logMessages().last(), c.shown);
        EXPECT_EQ(inspect->input(), -1);
        EXPECT_TRUE(waitFor([] { return WorkerProcess::unreapedCount() == 0; }));
    }
    EXPECT_EQ(inspect->failures(), 3);
}

TEST_F(WorkerReports, AWorkerThatExitsIsTornDownAndRetriedOnlyWhileEnabled) {
    useWorker("exit_at_once");
    controller->startWorker();
    ASSERT_TRUE(waitForNoWorker());
    EXPECT_EQ(inspect->message(), workerEnded);
    EXPECT_EQ(inspect->nextAttempt(), clock->now() + Seconds(2));

    controller->startWorker();
    controller->setEnabled(false);
    ASSERT_TRUE(waitForNoWorker());
    settle(100ms);
    EXPECT_EQ(inspect->message(), connecting);
    EXPECT_EQ(inspect->failures(), 1);
}

TEST_F(WorkerReports, ReadyForwardsAudioThroughTheForwardingOutputUntilTheWorkerExits) {
    useWorker("ready_stream");
    const QString sink = dir.filePath("received.pcm");
    ::setenv("SONVALE_TEST_SINK", sink.toLocal8Bit().constData(), 1);
    inspect->failures() = 3;
    controller->tick();
    ASSERT_TRUE(waitForMessage(connected));

    const AudioObjectID forwarding = device(outputUID).value_or(0);
    ASSERT_NE(forwarding, 0u);
    EXPECT_EQ(inspect->outputDevice(), forwarding);
    EXPECT_EQ(model->find(forwarding)->name, "Sonvale · 卧室");
    EXPECT_EQ(model->defaultOutput(), forwarding);
    EXPECT_EQ(inspect->previousUID(), "BuiltInSpeakerDevice");
    EXPECT_EQ(inspect->failures(), 0);
    EXPECT_EQ(logMessages(),
              (QStringList{connecting, QStringLiteral("捕获 48000 Hz Float32 → 44100 Hz PCM16"), connected}));
    EXPECT_TRUE(waitFor([&] {
        deliverTone();
        settle(50ms);
        return inspect->networkBytes() > 0 && QFileInfo(sink).size() > 0;
    }));
    EXPECT_EQ(QFileInfo(sink).size() % 4, 0) << "whole frames only";

    // A second "ready" replaces the capture and keeps the user's output to give back.
    const Capture* first = inspect->capture().get();
    controller->consume("{\"state\":\"ready\"}\n");
    EXPECT_NE(inspect->capture().get(), first);
    EXPECT_EQ(inspect->previousUID(), "BuiltInSpeakerDevice");
    EXPECT_EQ(model->liveTaps(), 1u);

    ::kill(inspect->worker()->processIdentifier(), SIGKILL);
    ASSERT_TRUE(waitForNoWorker());
    EXPECT_EQ(model->defaultOutput(), speaker);
    EXPECT_FALSE(inspect->capture());
    EXPECT_EQ(inspect->message(), workerEnded);
    EXPECT_EQ(device(outputUID).value_or(0), forwarding) << "the forwarding output device outlives the run";
}

// A worker that stops reading fills its input: capture drops what does not fit and
// forwarding carries on. One that closes its input ends the run through capture.
TEST_F(WorkerReports, AWorkerThatStopsReadingOrClosesItsInput) {
    useWorker("stop_reading");
    controller->startWorker();
    ASSERT_TRUE(waitForMessage(connected));
    for (int i = 0; i < 40; ++i) {
        deliverTone(48000);
        settle(20ms);
    }
    EXPECT_TRUE(inspect->worker());
    EXPECT_EQ(inspect->message(), standby);
    EXPECT_GT(inspect->capture()->ring().statistics().dropped, 0u);
    stopAndReap();

    ::setenv("SONVALE_TEST_EXIT", "1", 1);
    controller->startWorker();
    ASSERT_TRUE(waitForMessage(connected));
    ASSERT_TRUE(waitFor([&] {
        deliverTone();
        return !inspect->worker();
    }));
    EXPECT_EQ(inspect->message(), QStringLiteral("发送进程已停止接收音频；2 秒后重试"));
    EXPECT_EQ(model->defaultOutput(), speaker);
}

}  // namespace
}  // namespace sonvale::test
