#include "controller/supervision.h"

#include <algorithm>

namespace sonvale {
namespace {

// Longest silence from a worker before it is given up: while it connects (no capture
// yet) and while audio is forwarded.
constexpr Seconds connectTimeout(40.0);
constexpr Seconds heartbeatTimeout(8.0);

}  // namespace

Supervision::Verdict Supervision::judge(bool hasWorker, bool workerRunning, bool capturing) const {
    const Instant time = now();
    if (hasWorker) {
        if (!workerRunning) return Verdict::workerExited;
        if (!capturing && time - lastHeartbeat_ > connectTimeout) return Verdict::connectTimeout;
    }
    if (capturing && time - lastHeartbeat_ > heartbeatTimeout) return Verdict::heartbeatTimeout;
    if (hasWorker || time < nextAttempt_) return Verdict::wait;
    return Verdict::start;
}

int Supervision::recordFailure() {
    failures_ += 1;
    const int delay = 1 << std::min<std::int64_t>(failures_, 5);
    nextAttempt_ = now() + Seconds(delay);
    return delay;
}

void Supervision::retryNoSoonerThan(Seconds delay) { nextAttempt_ = std::max(nextAttempt_, now() + delay); }

void Supervision::resumeAfterWake(Seconds delay) {
    pausedForSleep_ = false;
    nextAttempt_ = now() + delay;
}

}  // namespace sonvale
