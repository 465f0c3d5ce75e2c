#pragma once

#include <cstdint>
#include <memory>

#include "controller/clock.h"

namespace sonvale {

// The supervision tick's memory and judgement: when the next attempt may start, how many
// attempts failed in a row, when the worker last reported, and whether sleep holds
// everything. Main thread only.
class Supervision {
public:
    // What the tick must do about the worker.
    enum class Verdict {
        wait,              // nothing now
        start,             // no worker and the next attempt is due
        workerExited,      // the worker is no longer running
        connectTimeout,    // no capture yet and no report for more than 40 s
        heartbeatTimeout,  // capturing and no report for more than 8 s
    };

    explicit Supervision(std::shared_ptr<Clock> clock) : clock_(std::move(clock)) {}

    Instant now() const { return clock_->now(); }
    Verdict judge(bool hasWorker, bool workerRunning, bool capturing) const;

    // A worker line with a state: the worker is alive.
    void heartbeat() { lastHeartbeat_ = now(); }
    // One more failure in a row; the next attempt waits 2^min(failures, 5) seconds, which
    // is returned.
    int recordFailure();
    void resetFailures() { failures_ = 0; }
    void retryAfter(Seconds delay) { nextAttempt_ = now() + delay; }
    // A pending retry that ends later stays in force.
    void retryNoSoonerThan(Seconds delay);

    void pauseForSleep() { pausedForSleep_ = true; }
    void resumeAfterWake(Seconds delay);
    bool pausedForSleep() const { return pausedForSleep_; }

    Instant nextAttempt() const { return nextAttempt_; }
    std::int64_t failures() const { return failures_; }
    Instant lastHeartbeat() const { return lastHeartbeat_; }

private:
    std::shared_ptr<Clock> clock_;
    Instant nextAttempt_ = distantPast;
    Instant lastHeartbeat_ = distantPast;
    std::int64_t failures_ = 0;
    bool pausedForSleep_ = false;
};

}  // namespace sonvale
