#include <QFile>

#include <csignal>
#include <fstream>

#include "coreaudio/devices.h"
#include "engine/engine_fixture.h"
#include "entry/constants.h"
#include "sender/worker_process.h"

namespace sonvale::test {
namespace {

using namespace coreaudio;
using Op = DeviceModel::Operation;

bool aliveAndNotZombie(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    return line.substr(line.rfind(')') + 2, 1) != "Z";
}

using EngineStop = EngineTest;

TEST_F(EngineStop, RetryDelaysDoubleUpToThirtyTwoSeconds) {
    const int expected[] = {2, 4, 8, 16, 32, 32, 32};
    for (int delay : expected) {
        clock->advance(1);
        controller->scheduleRetry(QStringLiteral("发送器报告错误"));
        EXPECT_EQ(inspect->nextAttempt(), clock->now() + Seconds(delay));
        EXPECT_EQ(inspect->message(), QStringLiteral("发送器报告错误；%1 秒后重试").arg(delay));
    }
    EXPECT_EQ(logMessages().first(), QStringLiteral("发送器报告错误；2 秒后重试"));
    EXPECT_EQ(logMessages().size(), 7);
    EXPECT_EQ(inspect->failures(), 7);
}

TEST_F(EngineStop, GivesTheOutputBackOnlyWhileTheForwardingOutputIsTheDefault) {
    struct Case {
        const char* name;
        std::string previous;        // previousUID
        bool removeSpeaker;
        bool userChoseHeadphones;    // the default output is no longer the forwarding one
        bool setOutputFails;
        std::string expectedDefault;  // UID of the default output afterwards
    };
    const std::vector<Case> cases = {
        {"previous output exists", "alsa_output.usb-headset", false, false, false, "alsa_output.usb-headset"},
        {"previous output gone: built-in speaker", "gone", false, false, false, "BuiltInSpeakerDevice"},
        {"neither exists: stays", "gone", true, false, false, std::string(outputUID)},
        {"user picked another output", "BuiltInSpeakerDevice", false, true, false, "alsa_output.usb-headset"},
        {"switch fails: ignored", "BuiltInSpeakerDevice", false, false, true, std::string(outputUID)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        model = std::make_shared<DeviceModel>();
        setAudioSystem(model);
        if (!c.removeSpeaker) speaker = model->addDevice({0, std::string("BuiltInSpeakerDevice"), std::string("扬声器"), transport::builtIn});
        headphones = model->addDevice({0, std::string("alsa_output.usb-headset"), std::string("耳机"), transport::usb});
        const AudioObjectID forwarding = makeAggregate("Sonvale · 卧室", outputUID, false, std::nullopt);
        model->setDefaultOutput(c.userChoseHeadphones ? headphones : forwarding);
        if (c.setOutputFails) model->fail(Op::write, -1, kAudioObjectSystemObject, selector::defaultOutput);
        inspect->previousUID() = c.previous;

        controller->stopEngine();
        controller->stopEngine();  // twice in a row is harmless

        EXPECT_EQ(uid(current()), c.expectedDefault);
        EXPECT_TRUE(device(outputUID)) << "the forwarding output device is kept";
        EXPECT_FALSE(inspect->stopping());
    }
}

TEST_F(EngineStop, LeavesStatusRetryAndCountersAlone) {
    inspect->message() = QStringLiteral("状态");
    inspect->failures() = 4;
    inspect->nextAttempt() = clock->now() + Seconds(9);
    inspect->previousUID() = "alsa_output.usb-headset";
    inspect->wireData() = "partial";
    inspect->networkBytes() = 77;

    controller->stopEngine();

    EXPECT_EQ(inspect->message(), QStringLiteral("状态"));
    EXPECT_TRUE(logMessages().isEmpty());
    EXPECT_EQ(inspect->failures(), 4);
    EXPECT_EQ(inspect->nextAttempt(), clock->now() + Seconds(9));
    EXPECT_EQ(inspect->previousUID(), "alsa_output.usb-headset");
    EXPECT_EQ(inspect->wireData(), "partial");
    EXPECT_EQ(inspect->networkBytes(), 77u);
    EXPECT_EQ(model->defaultOutput(), speaker);
}

TEST_F(EngineStop, ARunningWorkerEndsWithoutAnExitReport) {
    configure();
    controller->startWorker();
    const pid_t pid = inspect->worker()->processIdentifier();
    ASSERT_TRUE(waitFor([&] { return aliveAndNotZombie(pid); }));

    const auto start = std::chrono::steady_clock::now();
    controller->stopEngine();
    EXPECT_FALSE(inspect->worker());
    ASSERT_TRUE(waitFor([] { return WorkerProcess::unreapedCount() == 0; }, 3s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    settle(100ms);
    EXPECT_EQ(inspect->message(), QStringLiteral("正在独立连接 卧室…"));
    EXPECT_EQ(inspect->failures(), 0);
}

TEST_F(EngineStop, AWorkerThatIgnoresSigtermIsKilledFourSecondsLater) {
    configure();
    useWorker("ignore_term");
    controller->startWorker();
    ASSERT_TRUE(waitForMessage(QStringLiteral("静音待机，已释放 HomePod 播放会话")));
    const pid_t pid = inspect->worker()->processIdentifier();

    const auto start = std::chrono::steady_clock::now();
    controller->stopEngine();
    settle(1500ms);
    EXPECT_TRUE(aliveAndNotZombie(pid)) << "SIGTERM and the end of its input do not end this worker";

    ASSERT_TRUE(waitFor([] { return WorkerProcess::unreapedCount() == 0; }, 6s));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 3900ms);
    EXPECT_LT(elapsed, 6s);
    EXPECT_EQ(inspect->message(), QStringLiteral("静音待机，已释放 HomePod 播放会话"));
}

}  // namespace
}  // namespace sonvale::test
