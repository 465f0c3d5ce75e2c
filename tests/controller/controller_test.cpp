#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtWidgets>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <span>
#include <sys/inotify.h>
#include <sys/wait.h>

#include "controller/controller_fixture.h"
#include "sender/pipe_reader.h"
#include "sender/worker_lines.h"

namespace sonvale::test {
namespace {

using Verdict = Supervision::Verdict;

TEST(SupervisionTest, BacksOffToThirtyTwoSecondsAndTimesOutOnlyPastTheLimits) {
    auto clock = std::make_shared<ManualClock>();
    Supervision supervision(clock);
    for (int expected : {2, 4, 8, 16, 32, 32}) {
        EXPECT_EQ(supervision.recordFailure(), expected);
        EXPECT_EQ(supervision.nextAttempt(), clock->now() + Seconds(expected));
    }
    supervision.resetFailures();
    EXPECT_EQ(supervision.recordFailure(), 2);

    struct Row {
        double since;  // seconds since the last heartbeat
        bool worker, running, capturing;
        Verdict verdict;
    };
    const Row rows[] = {
        {40.0, true, true, false, Verdict::wait},           {40.001, true, true, false, Verdict::connectTimeout},
        {8.0, true, true, true, Verdict::wait},             {8.001, true, true, true, Verdict::heartbeatTimeout},
        {0.0, true, false, true, Verdict::workerExited},    {99.0, true, false, false, Verdict::workerExited},
        {1.0, false, false, false, Verdict::wait},          {2.0, false, false, false, Verdict::start},
    };
    for (const Row& row : rows) {
        clock->current = Instant(Seconds(1000.0));
        supervision.heartbeat();
        supervision.retryAfter(Seconds(2.0));
        clock->advance(row.since);
        EXPECT_EQ(supervision.judge(row.worker, row.running, row.capturing), row.verdict) << row.since;
    }
}

TEST(WorkerLineReaderTest, CutsLinesAndReadsOnlyStateObjects) {
    struct Case {
        std::vector<QByteArray> chunks;
        std::vector<std::string> states;
        std::uint64_t bytesIn;  // of the last event
    };
    const QByteArray overlong(70 * 1024, 'x');
    const std::vector<Case> cases = {
        {{"{\"state\":\"a\"}\n{\"state\":\"b\"}\n"}, {"a", "b"}, 0},
        {{"{\"sta", "te\":\"a\"}\r\n", "{\"state\":\"b\"}"}, {"a"}, 0},
        {{"[1]\n3\n\n{\"state\":1}\nnot json\n{\"other\":\"a\"}\n"}, {}, 0},
        {{"{\"state\":\"streaming\",\"bytes_in\":123456789012}\n"}, {"streaming"}, 123456789012u},
        {{"{\"state\":\"streaming\",\"bytes_in\":\"12\"}\n"}, {"streaming"}, 0},
        {{overlong, overlong, "\n{\"state\":\"after\"}\n"}, {"after"}, 0},
    };
    for (const auto& c : cases) {
        WorkerLineReader reader;
        std::vector<WorkerEvent> events;
        for (const auto& chunk : c.chunks) {
            for (auto& event : reader.feed(chunk)) events.push_back(event);
            EXPECT_LE(reader.pending().size(), 64 * 1024 + 1);
        }
        std::vector<std::string> states;
        for (const auto& event : events) states.push_back(event.state);
        EXPECT_EQ(states, c.states) << c.chunks.front().left(40).toStdString();
        if (!events.empty()) {
            EXPECT_EQ(events.back().bytesIn, c.bytesIn);
        }
    }
    const auto events = WorkerLineReader().feed("{\"state\":\"error\",\"message\":\"说明\"}\n{\"state\":\"error\"}\n");
    EXPECT_EQ(std::pair(events.at(0).message, events.at(1).message), std::pair(std::optional(QStringLiteral("说明")), std::optional<QString>()));
    std::vector<std::optional<std::uint32_t>> latencies;
    for (const auto& event : WorkerLineReader().feed(R"({"state":"ready","latency_ms":2034}
{"state":"ready","latency_ms":-1}
{"state":"ready","latency_ms":1.5}
{"state":"ready","latency_ms":60000}
)")) latencies.push_back(event.latencyMs);
    EXPECT_EQ(latencies, (std::vector<std::optional<std::uint32_t>>{2034u, {}, {}, {}}));
}

TEST_F(ControllerTest, ReadyForwardsTheCaptureToTheWorkerAndItsExitGivesTheOutputBack) {
    const QString sink = dir.filePath("pcm");
    setenv("SONVALE_TEST_SINK", sink.toUtf8().constData(), 1);
    make();
    ASSERT_TRUE(tickUntilConnected()) << controller->message().toStdString();

    std::vector<float> tone(2 * 4800);
    for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = 0.5f * std::sin(float(i / 2) * 0.13f);
    coreaudio::AudioBuffer buffer{2, std::uint32_t(tone.size() * 4), tone.data()};
    for (const float gain : {1.0f, 0.25f, 0.0f}) {  // the slider moved while forwarding; at 0, silence stays exactly 0
        controller->volumeChanged(gain);
        const qint64 before = QFileInfo(sink).size();
        model->deliver(coreaudio::AudioBufferList{1, &buffer});
        // 4800 frames at 48 kHz: about 4410 at 44.1 kHz, less what the resampler holds back.
        EXPECT_TRUE(waitUntil([&] { return QFileInfo(sink).size() >= before + 3000 * 4; })) << QFileInfo(sink).size();
        const auto peak = std::ranges::max(std::span(reinterpret_cast<const std::int16_t*>(contents(sink).right(4000).constData()), 2000), {},
                                           [](int s) { return std::abs(s); });  // over the last 1000 frames, all of this tone
        EXPECT_NEAR(std::abs(peak), 0.5 * gain * 32768, gain > 0 ? 400 : 0);
    }
    // The window's "sent" figure is the worker's own count, as its last "streaming" line gave it.
    controller->showWindow();
    const QString sent = QStringLiteral("发送数据：%1 KB").arg(QFileInfo(sink).size() / 1024);
    EXPECT_TRUE(waitUntil([&] {
        controller->refresh();
        return std::ranges::any_of(QApplication::topLevelWidgets(), [&](QWidget* w) { return std::ranges::any_of(w->findChildren<QLabel*>(), [&](QLabel* l) { return l->text().contains(sent); }); });
    }, 3000)) << sent.toStdString();
    unsetenv("SONVALE_TEST_SINK");

    // A worker the tick finds dead before its exit is reported ends the run there and then.
    ::kill(controller->run()->process()->processIdentifier(), SIGKILL);
    while (controller->run()->workerRunning()) ::usleep(1000);
    controller->tick();
    EXPECT_EQ(std::tuple(controller->run() == nullptr, coreaudio::current(), controller->message().toStdString()),
              std::tuple(true, speaker, std::string("发送进程已退出；2 秒后重试")));
    controller->quit();  // nothing left behind
    EXPECT_FALSE(coreaudio::device(outputUID));
}

TEST_F(ControllerTest, AnErrorEndsTheRunWithItsTextAndTheEndedWorkerIsNoLongerHeard) {
    installStandInWorker(environment.resourceDir, QStringLiteral("{\"state\":\"error\",\"message\":\"说明\"}\\n"),
                         "stale");
    make();
    controller->tick();
    const QString retry = QStringLiteral("说明；2 秒后重试");
    ASSERT_TRUE(waitUntil([&] { return controller->message() == retry; }));
    // The ended worker ignores SIGTERM and reports errors until killed; the next one connects.
    installStandInWorker(environment.resourceDir, ready, "wedged");
    clock->advance(2);
    ASSERT_TRUE(tickUntilConnected());
    waitUntil([] { return false; }, 500);
    EXPECT_EQ(controller->message(), connected);
    EXPECT_EQ(log().count(retry), 1);
    WorkerProcess::endAll(std::chrono::milliseconds(100));  // as at quit: one that ignores SIGTERM is killed and reaped
    EXPECT_NE(::kill(controller->run()->process()->processIdentifier(), 0), 0);
}

TEST_F(ControllerTest, EveryLineTheWorkerWroteIsHandledBeforeItsExit) {
    environment.pythonPath = "/nonexistent/python3";
    make();
    controller->tick();
    EXPECT_EQ(controller->message().toStdString(), "无法启动发送器：/nonexistent/python3: No such file or directory；2 秒后重试");
    environment.pythonPath = "/usr/bin/python3";
    const QString streaming = QStringLiteral("{\"state\":\"streaming\",\"bytes_in\":1}\\n");
    for (const QString& before : {QString(), ready + streaming.repeated(400)}) {
        installStandInWorker(environment.resourceDir, before + "{\"state\":\"error\",\"message\":\"说明\"}\\n", "exit");
        make();
        controller->tick();
        ASSERT_TRUE(controller->run());
        // The loop hears of the exit and of the last lines together, in one turn.
        siginfo_t exited{};
        ::waitid(P_PID, id_t(controller->run()->process()->processIdentifier()), &exited, WEXITED | WNOWAIT);
        EXPECT_TRUE(waitUntil([this] { return !controller->run(); }));
        EXPECT_EQ(controller->message().toStdString(), "说明；2 秒后重试");
    }
    int ends[2];  // an end of file read right after "nothing yet" (EAGAIN) closes the pipe
    ASSERT_TRUE(::pipe(ends) == 0 && ::write(ends[1], "x", 1) == 1);
    PipeReader reader{UniqueFd(ends[0])};
    EXPECT_TRUE(reader.readAvailable() == "x" && ::close(ends[1]) == 0 && reader.readAvailable().isEmpty() && reader.atEnd());
}

TEST_F(ControllerTest, BothLogsStartAgainOnlyPastOneMillionBytesAndCutAWorkerLineAtFourKilobytes) {
    const QString senderLog = dir.filePath("state/Sonvale/Sonvale-sender.log");
    setenv("SONVALE_TEST_STDERR", ("one\na" + QString("é").repeated(3000) + "\nend").toUtf8().constData(), 1);  // the exit ends the last line
    installStandInWorker(environment.resourceDir, QString(), "exit");
    const QByteArray cut = "a" + QString("é").repeated(2047).toUtf8() + "…（此行过长，已截去 1906 字节）\nend\n";
    for (const qint64 size : {qint64(1'000'000), qint64(1'000'001)}) {
        const QByteArray filler = QByteArray(size - 1, 'x') + '\n';
        ASSERT_TRUE(replaceFile(environment.logPath, filler) && replaceFile(senderLog, filler));
        make();
        controller->tick();  // logs the attempt
        EXPECT_EQ(contents(environment.logPath).startsWith(filler), size == 1'000'000);
        EXPECT_TRUE(waitUntil([&] { return contents(senderLog).endsWith(cut); }));
        // The size is looked at before each line: past the limit by the first line, the
        // file starts again at the second.
        EXPECT_EQ(contents(senderLog), size > 1'000'000 ? "one\n" + cut : cut);
    }
    unsetenv("SONVALE_TEST_STDERR");
}

TEST_F(ControllerTest, ASpeakerTakenByAnotherDeviceGivesTheSoundBackHereUntilItPlaysForUsAgain) {
    const QString busy = QStringLiteral("“卧室”已被其他设备接管；它空闲后或重新开始转发时再连接");
    installStandInWorker(environment.resourceDir, ready + "{\"state\":\"busy\",\"message\":\"" + busy + "\"}\\n");
    setenv("SONVALE_TEST_LATER", "{\"state\":\"reconnecting\"}\\n{\"state\":\"playing\"}\\n{\"state\":\"ready\"}\\n", 1);
    struct Unset {
        ~Unset() { unsetenv("SONVALE_TEST_LATER"); }  // also when an assertion ends the test early
    } unset;
    make();
    controller->tick();
    ASSERT_TRUE(waitUntil([&] { return controller->message() == busy; }));
    EXPECT_EQ(coreaudio::current(), speaker);
    ASSERT_TRUE(controller->run() && !controller->run()->capturing());
    EXPECT_TRUE(waitUntil([this] { return controller->message() == connected; }));
    EXPECT_EQ(std::pair(coreaudio::uid(coreaudio::current()), controller->run()->capturing()), std::pair(std::string(outputUID), true));
    controller->toggle();  // after a "ready" while forwarding held the output, the output given back is still the user's
    EXPECT_EQ(coreaudio::current(), speaker);
    // Headphones plugged in while the worker connects: its "ready" and "playing", read together, forward nothing.
    installStandInWorker(environment.resourceDir, "");
    setenv("SONVALE_TEST_LATER", (ready + "{\"state\":\"playing\"}\\n").toUtf8().constData(), 1);
    controller->toggle();
    clock->advance(5), controller->tick();
    ASSERT_TRUE(controller->run());
    model->setDefaultOutput(headphones);
    waitUntil([] { return false; }, 1500);
    EXPECT_EQ(std::tuple(controller->run() == nullptr, coreaudio::current(), controller->message() == connected), std::tuple(true, headphones, false));
}

TEST_F(ControllerTest, SeveralSpeakersAreStoredForOlderReadersLaunchedWithANameEachAndShownWithWhyOneDoesNotPlay) {
    const auto line = [](const char* state, const char* kitchen) {
        return QStringLiteral("{\"state\":\"%1\",\"speakers\":[{\"name\":\"卧室\",\"state\":\"playing\"},{\"name\":\"客厅\",%2}]}\\n").arg(state, kitchen);
    };
    installStandInWorker(environment.resourceDir, line("ready", R"("state":"busy","message":"“客厅”正被其他设备使用")"));
    setenv("SONVALE_TEST_LATER", (line("speakers", R"("state":"retrying","message":"找不到“客厅”","retry_s":8)") +
                                  line("streaming", R"("state":"playing")") + "{\"state\":\"playing\"}\\n").toUtf8(), 1);
    struct Unset {
        ~Unset() { unsetenv("SONVALE_TEST_LATER"); }
    } unset;
    QString answer = QStringLiteral("卧室、 客厅 ，卧室");
    environment.namePrompt = [&](const QString&) { return std::optional<QString>(answer); };
    make(false);
    controller->chooseTarget();
    // An older reader finds one valid name in the file.
    EXPECT_TRUE(waitUntil([&] { return contents(environment.settingsPath).contains("\nmoreTargetNames=客厅\ntargetName=卧室\n"); }));
    EXPECT_EQ(Settings(environment.settingsPath).targetNames(), (QStringList{"卧室", "客厅"}));

    controller->toggle();
    clock->advance(1);
    controller->tick();
    const QString all = QStringLiteral("已连接 卧室、客厅，正在转发系统音频");
    ASSERT_TRUE(waitUntil([&] { return log().count(all) == 2; }));
    const QStringList shown = {"目标已设置为 卧室、客厅", "已启用，正在准备连接 卧室、客厅", "正在独立连接 卧室、客厅…",
                               "已连接 卧室，正在转发系统音频。“客厅”正被其他设备使用", "已连接 卧室，正在转发系统音频。找不到“客厅”（8 秒后重试）", all, all};
    EXPECT_EQ(log().filter(QRegularExpression("卧室|客厅")).join('\n').toStdString(), shown.join('\n').toStdString());
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(controller->run()->process()->processIdentifier()));
    ASSERT_TRUE(commandLine.open(QIODevice::ReadOnly));
    EXPECT_TRUE(commandLine.readAll().endsWith(QStringLiteral("sender.py\0--name\0卧室\0--name\0客厅\0").toUtf8()));

    answer = QStringLiteral("客厅");
    controller->chooseTarget();  // the run ends, and the new name is tried a second later
    EXPECT_EQ(std::pair(controller->run() == nullptr, controller->supervision().nextAttempt()), std::pair(true, clock->now() + Seconds(1.0)));
    EXPECT_TRUE(waitUntil([&] { return contents(environment.settingsPath).endsWith("\ntargetName=客厅\n"); }));
}

TEST_F(ControllerTest, ABusyServerAtReadyIsRetriedAndARefusalSwitchesForwardingOff) {
    model->fail(coreaudio::DeviceModel::Operation::createAggregate, coreaudio::OSStatus(coreaudio::fourCC("nope")));
    make();
    controller->tick();
    EXPECT_TRUE(waitUntil([this] {
        return controller->message() == QStringLiteral("建立音频设备失败（1852797029）；2 秒后重试");
    }));
    controller->routeChanged();  // the back-off stays as it is
    EXPECT_EQ(std::pair(controller->settings().enabled(), controller->supervision().nextAttempt()), std::pair(true, clock->now() + Seconds(2.0)));

    model->clearFailures();
    model->fail(coreaudio::DeviceModel::Operation::createAggregate, -50);
    clock->advance(2);
    controller->tick();
    EXPECT_TRUE(waitUntil([this] {
        return controller->message() == QStringLiteral("未启用捕获：建立音频设备失败（-50）。授权后点开始重试。");
    }));
    EXPECT_FALSE(controller->settings().enabled());
    EXPECT_FALSE(controller->run());
    EXPECT_EQ(coreaudio::current(), speaker);
}

TEST_F(ControllerTest, StoppingGivesBackTheUsersOutputOnlyWhileForwardingHoldsIt) {
    const auto hdmi = model->addDevice({0, std::string("hdmi-stereo"), std::string("HDMI"), coreaudio::transport::hdmi});
    model->setDefaultOutput(hdmi);
    make();
    ASSERT_TRUE(tickUntilConnected());
    controller->toggle();  // switched off: the worker and the capture end
    EXPECT_EQ(coreaudio::current(), hdmi) << "the output the user had comes back, not the speaker";
    EXPECT_EQ(std::pair(controller->run() == nullptr, model->liveTapsAndIOProcs()), std::pair(true, std::size_t(0)));

    controller->toggle();
    clock->advance(5);
    ASSERT_TRUE(tickUntilConnected());
    model->setDefaultOutput(headphones);
    controller->routeChanged();
    EXPECT_TRUE(waitUntil([this] { return !controller->run(); }));
    EXPECT_EQ(coreaudio::current(), headphones) << "the user's choice stays";
    const QString held = QStringLiteral("保留当前输出：Logitech USB Headset Analog Stereo");
    controller->routeChanged();
    const QRegularExpression line("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ " + held + "$", QRegularExpression::MultilineOption);
    EXPECT_EQ(QString::fromUtf8(contents(environment.logPath)).count(line), 1);
    model->setDefaultOutput(0), controller->routeChanged();  // no output at all: none to hold, the text stays
    EXPECT_EQ(std::pair(controller->settings().enabled(), controller->message().toStdString()), std::pair(true, held.toStdString()));

    model->setDefaultOutput(speaker);
    controller->routeChanged();
    EXPECT_EQ(controller->supervision().nextAttempt(), clock->now() + Seconds(1.0));

    clock->advance(1);
    ASSERT_TRUE(tickUntilConnected());
    // A desktop whose one output (a monitor's) goes to sleep: pausing has nothing to give the sound to, the attempts
    // wait for an output, and once it wakes it has the sound at the next tick and forwarding follows a second later.
    for (const auto device : {hdmi, speaker, headphones}) model->removeDevice(device);
    controller->toggle();
    EXPECT_EQ(coreaudio::uid(coreaudio::current()), outputUID);
    controller->toggle();
    clock->advance(1);
    controller->tick();
    EXPECT_EQ(controller->message(), QStringLiteral("找不到 Mac 内建扬声器时钟设备；2 秒后重试"));
    EXPECT_TRUE(controller->settings().enabled());
    speaker = model->addDevice(coreaudio::DeviceModel::speaker());
    controller->tick();
    controller->routeChanged();
    EXPECT_EQ(std::pair(coreaudio::current(), controller->supervision().nextAttempt()), std::pair(speaker, clock->now() + Seconds(1.0)));
}

TEST_F(ControllerTest, SleepWakeAndTheUsersCommands) {
    model->setDefaultOutput(headphones);
    make(false);
    controller->toggle();
    EXPECT_EQ(controller->message().toStdString(), "保留当前输出：Logitech USB Headset Analog Stereo");
    controller->toggle();
    controller->didWake();  // switched off, a wake changes nothing
    EXPECT_EQ(controller->message(), QStringLiteral("已暂停，已释放系统音频捕获"));
    model->setDefaultOutput(speaker);
    controller->toggle();
    EXPECT_EQ(std::pair(controller->message(), controller->supervision().nextAttempt()), std::pair(QStringLiteral("已启用，正在准备连接 卧室"), clock->now() + Seconds(1.0)));

    controller->willSleep();
    EXPECT_EQ(controller->message(), QStringLiteral("Mac 正在睡眠，已释放音频连接"));
    clock->advance(60);
    controller->tick();
    EXPECT_FALSE(controller->run());
    controller->didWake();
    EXPECT_EQ(std::pair(controller->message(), controller->supervision().nextAttempt()), std::pair(QStringLiteral("Mac 已唤醒，等待网络恢复"), clock->now() + Seconds(5.0)));

    QString answer = QStringLiteral("  ");
    environment.namePrompt = [&](const QString&) { return std::optional<QString>(answer); };
    controller.reset(), controller = std::make_unique<Sonvale>(environment);  // the old one has written its settings
    controller->chooseTarget();
    EXPECT_EQ(controller->message(), QStringLiteral("HomePod 名称不能为空"));
    answer = QStringLiteral(" 客厅 ");
    controller->chooseTarget();
    EXPECT_EQ(controller->message(), QStringLiteral("目标已设置为 客厅"));
    EXPECT_EQ(controller->settings().targetName(), QStringLiteral("客厅"));

    // A slider drag replaces the file at most twice a second, and its last step always.
    const auto storedGain = [this] { return QSettings(environment.settingsPath, QSettings::IniFormat).value("gain").toString(); };
    const int changes = inotify_init1(IN_NONBLOCK);  // each write renames a new file into place
    inotify_add_watch(changes, QFile::encodeName(dir.filePath("config")).constData(), IN_MOVED_TO);
    QElapsedTimer drag;
    drag.start();
    for (int step = 0; step <= 100; ++step) {
        controller->volumeChanged(0.3 + step / 1000.0);
        waitUntil([] { return false; }, 10);
    }
    alignas(inotify_event) char events[64 * 1024];
    const ssize_t length = ::read(changes, events, sizeof events);
    ::close(changes);
    ASSERT_GT(length, 0);  // every event as long as the first: the same name
    EXPECT_LE(length / ssize_t(sizeof(inotify_event) + reinterpret_cast<inotify_event*>(events)->len), 1 + drag.elapsed() / 500);
    EXPECT_TRUE(waitUntil([&] { return storedGain() == "0.4"; }, 2000));

    controller->volumeChanged(0.5);
    controller->toggle();
    EXPECT_EQ(controller->message(), QStringLiteral("已暂停，已释放系统音频捕获"));
    QSignalSpy ended(controller.get(), &Sonvale::terminateRequested);
    controller->quit();
    EXPECT_EQ(ended.count(), 1);
    controller.reset();
    EXPECT_EQ(std::pair(Settings(environment.settingsPath).enabled(), Settings(environment.settingsPath).targetName()), std::pair(false, QStringLiteral("客厅")));
    EXPECT_EQ(storedGain(), "0.5");
}

TEST_F(ControllerTest, AStoredGainThatCouldHurtReadsAsAbsentAndADamagedFileIsKeptAside) {
    struct Case {
        QByteArray file;
        float gain;
        QString logged;  // for a damaged file the text names the copy
        bool damaged = false;
        QStringList names{};  // the speakers read, when given
    };
    const Case cases[] = {
        {"[General]\ngain=nan\ntargetName=卧室\n", 1.0f, QStringLiteral("存储的音量 nan 无效，按 1.0 处理")},
        {"[General]\ngain=-0.5\n", 1.0f, QStringLiteral("存储的音量 -0.5 无效，按 1.0 处理")},
        {"[General]\ngain=1.5\n", 1.5f, QString()},
        {"[General]\ntargetName=卧室\n", 1.0f, QString()},
        {"[General]\ngain=0.5\ntargetName=\xe5\x8d\xa7\xe5\xae\n", 1.0f, QString(), true},
        {"[General]\nenabled=true\ngain=0.5\nstray line\n", 1.0f, QString(), true},
        {"[General]\ntargetName=卧室\nmoreTargetNames=客厅, \"\"\n", 1.0f, QString(), false, {"卧室"}},
        {"[General]\ntargetName=卧室\nmoreTargetNames=客厅, 卧室, 书房, 客厅\n", 1.0f, QString(), false, {"卧室", "客厅", "书房"}},
        {"[General]\nmoreTargetNames=客厅\n", 1.0f, QString(), false, {}},
    };
    QDir config(dir.filePath("config"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        ASSERT_TRUE(replaceFile(environment.settingsPath, c.file));
        controller = std::make_unique<Sonvale>(environment);
        EXPECT_EQ(controller->settings().gain(), c.gain);
        const QStringList aside = config.entryList({"local.sonvale.conf.damaged-*"});
        ASSERT_EQ(aside.size(), c.damaged ? 1 : 0);
        const QString logged = c.damaged ? QStringLiteral("设置文件无法解析，已另存为 ") + aside[0] + QStringLiteral("，改用默认设置") : c.logged;
        EXPECT_EQ(logged.isEmpty() ? QString() : log().last(), logged);
        if (c.file.contains("moreTargetNames")) { EXPECT_EQ(controller->settings().targetNames(), c.names); }
        // Nothing of a damaged file is trusted: neither the part of the name nor "enabled".
        if (c.damaged) {
            EXPECT_EQ(std::pair(controller->settings().targetName(), controller->settings().enabled()), std::pair(QString(), false));
        }
        controller->volumeChanged(0.25);
        controller.reset();
        if (c.damaged) { EXPECT_EQ(contents(config.filePath(aside[0])), c.file) << "the copy is the file as it was"; }
        EXPECT_EQ(Settings(environment.settingsPath).gain(), 0.25f);
        config.removeRecursively();
    }
}

}  // namespace
}  // namespace sonvale::test
