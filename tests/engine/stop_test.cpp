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
    return std::getline(stat, line) && line.substr(line.rfind(')') + 2, 1) != "Z";
}

using EngineStop = EngineTest;

TEST_F(EngineStop, RetryDelaysDoubleUpToThirtyTwoSeconds) {
    QStringList expected;
    for (int delay : {2, 4, 8, 16, 32, 32, 32}) {
        clock->advance(1);
        controller->scheduleRetry(QStringLiteral("发送器报告错误"));
        expected << QStringLiteral("发送器报告错误；%1 秒后重试").arg(delay);
        EXPECT_EQ(inspect->nextAttempt(), clock->now() + Seconds(delay));
        EXPECT_EQ(inspect->message(), expected.last());
    }
    EXPECT_EQ(logMessages(), expected);
    EXPECT_EQ(inspect->failures(), 7);
}

TEST_F(EngineStop, GivesTheOutputBackOnlyWhileTheForwardingOutputIsTheDefault) {
    struct Case {
        const char* name;
        std::string previous;        // previousUID
        bool removeSpeaker;
        bool userChoseHeadphones;    // the default output is no longer the forwarding one
        bool setOutputFails;
        std::string expectedDefault;
    };
    const std::vector<Case> cases = {
        {"previous output exists", "alsa_output.usb-headset", false, false, false, "alsa_output.usb-headset"},
        {"previous output gone: built-in speaker", "gone", false, false, false, "BuiltInSpeakerDevice"},
        {"neither exists: stays", "gone", true, false, false, std::string(outputUID)},
        {"user picked another output", "BuiltInSpeakerDevice", false, true, false, "alsa_output.usb-headset"},
        {"switch fails: ignored", "BuiltInSpeakerDevice", false, false, true, std::string(outputUID)},
    };
    inspect->message() = QStringLiteral("状态");
    inspect->failures() = 4;
    inspect->nextAttempt() = clock->now() + Seconds(9);
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
    // Status, retry time and counters are left to the caller.
    EXPECT_EQ(inspect->message(), QStringLiteral("状态"));
    EXPECT_TRUE(logMessages().isEmpty());
    EXPECT_EQ(inspect->failures(), 4);
    EXPECT_EQ(inspect->nextAttempt(), clock->now() + Seconds(9));
}

// A running worker gets SIGTERM and the end of its input, no exit report follows; one that
// ignores both gets SIGKILL four seconds later.
TEST_F(EngineStop, ARunningWorkerIsEndedWithoutAnExitReport) {
    struct Case {
        const char* worker;
        QString status;  // once the worker runs
        std::chrono::milliseconds earliest, latest;
    };
    for (const Case& c : {Case{"silent", connecting, 0ms, 3s}, Case{"ignore_term", standby, 3900ms, 6s}}) {
        SCOPED_TRACE(c.worker);
        useWorker(c.worker);
        controller->startWorker();
        ASSERT_TRUE(waitForMessage(c.status));
        const pid_t pid = inspect->worker()->processIdentifier();
        ASSERT_TRUE(waitFor([&] { return aliveAndNotZombie(pid); }));

        const auto start = std::chrono::steady_clock::now();
        controller->stopEngine();
        EXPECT_FALSE(inspect->worker());
        if (c.earliest > 0ms) {
            settle(1500ms);
            EXPECT_TRUE(aliveAndNotZombie(pid)) << "SIGTERM and the end of its input do not end this worker";
        }
        ASSERT_TRUE(waitFor([] { return WorkerProcess::unreapedCount() == 0; }, c.latest));
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_GE(elapsed, c.earliest);
        EXPECT_LT(elapsed, c.latest);
        settle(100ms);
        EXPECT_EQ(inspect->message(), c.status);
        EXPECT_EQ(inspect->failures(), 0);
    }
}

}  // namespace
}  // namespace sonvale::test
