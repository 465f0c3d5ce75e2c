#include <thread>

#include "capture/capture.h"
#include "coreaudio/devices.h"
#include "engine/engine_fixture.h"
#include "sender/worker_process.h"

namespace sonvale::test {
namespace {

using namespace coreaudio;

class SupervisionTick : public EngineTest {
protected:
    // Moves the clock to exactly `limit` seconds (not yet a time-out) and then just past it.
    void crossLimit(double limit, const std::function<bool()>& running) {
        clock->advance(limit);
        controller->tick();
        EXPECT_TRUE(running()) << "exactly " << limit << " s is not yet a time-out";
        clock->advance(0.001);
        controller->tick();
        EXPECT_FALSE(running());
    }
};

TEST_F(SupervisionTick, StartsAtOnceTimesOutConnectingAndRetriesWhenItsTimeHasCome) {
    controller->tick();
    ASSERT_TRUE(inspect->worker());
    EXPECT_EQ(inspect->message(), connecting);
    EXPECT_EQ(inspect->lastHeartbeat(), clock->now());

    crossLimit(40.0, [&] { return bool(inspect->worker()); });
    EXPECT_EQ(inspect->message(), QStringLiteral("连接超时，已保留本机声音；2 秒后重试"));
    EXPECT_EQ(inspect->nextAttempt(), clock->now() + Seconds(2));

    clock->current = inspect->nextAttempt() - Seconds(0.5);
    controller->tick();
    EXPECT_FALSE(inspect->worker()) << "the retry waits for its delay";
    clock->current = inspect->nextAttempt();
    controller->tick();
    EXPECT_TRUE(inspect->worker()) << "the current time equal to nextAttempt starts the worker";
}

TEST_F(SupervisionTick, OffPausedOrIneligibleOutputStartsAndEndsNothing) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::function<void()> undo;
    };
    const std::vector<Case> cases = {
        {"switched off", [&] { controller->setEnabled(false); }, [&] { controller->setEnabled(true); }},
        {"paused for sleep", [&] { inspect->pausedForSleep() = true; }, [&] { inspect->pausedForSleep() = false; }},
        {"headphones", [&] { model->setDefaultOutput(headphones); }, [&] { model->setDefaultOutput(speaker); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        controller->tick();
        EXPECT_FALSE(inspect->worker()) << "no start";
        c.undo();

        controller->tick();
        ASSERT_TRUE(inspect->worker());
        c.arrange();
        clock->advance(1000);
        controller->tick();
        EXPECT_TRUE(inspect->worker()) << "no time-out";
        EXPECT_EQ(inspect->message(), connecting);
        c.undo();
        stopAndReap();
    }
}

TEST_F(SupervisionTick, HeartbeatTimeOutWhileForwardingIsMoreThanEightSeconds) {
    useWorker("stop_reading");  // "ready", then "idle" every half second
    controller->tick();
    ASSERT_TRUE(waitForMessage(connected));
    // No events are handled between moving the clock and the tick, so no report can
    // refresh the heartbeat in between.
    crossLimit(8.0, [&] { return bool(inspect->capture()); });
    EXPECT_FALSE(inspect->worker());
    EXPECT_EQ(model->defaultOutput(), speaker);
    EXPECT_EQ(inspect->message(), QStringLiteral("发送链路未响应，已恢复本机声音；2 秒后重试"));
}

TEST_F(SupervisionTick, AnExitedWorkerIsReportedAsAnExitEvenWithAStaleHeartbeat) {
    useWorker("exit_at_once");
    controller->tick();
    const auto worker = inspect->worker();
    ASSERT_TRUE(worker);
    // Wait for the exit without running the event loop, so the exit handler is not run yet.
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (worker->isRunning() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(worker->isRunning());
    clock->advance(100);

    controller->tick();

    const QString exited = QStringLiteral("发送进程已退出；2 秒后重试");
    EXPECT_FALSE(inspect->worker());
    EXPECT_EQ(inspect->message(), exited);
    settle(200ms);
    EXPECT_EQ(inspect->message(), exited) << "the late exit handler does nothing";
    EXPECT_EQ(inspect->failures(), 1);
}

TEST_F(SupervisionTick, ACaptureWithoutAWorkerStillHasItsHeartbeatTested) {
    inspect->capture() = std::make_unique<Capture>();
    inspect->lastHeartbeat() = clock->now() - Seconds(8.0);
    controller->tick();
    EXPECT_TRUE(inspect->worker()) << "within 8 s the run goes on to start a worker";
    stopAndReap();

    inspect->capture() = std::make_unique<Capture>();
    inspect->lastHeartbeat() = clock->now() - Seconds(8.5);
    inspect->nextAttempt() = distantPast;
    controller->tick();
    EXPECT_FALSE(inspect->worker());
    EXPECT_FALSE(inspect->capture());
    EXPECT_EQ(inspect->message(), QStringLiteral("发送链路未响应，已恢复本机声音；2 秒后重试"));
}

}  // namespace
}  // namespace sonvale::test
