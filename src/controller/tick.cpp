#include "capture/capture.h"
#include "controller/sonvale.h"
#include "coreaudio/devices.h"
#include "sender/worker_process.h"

namespace sonvale {
namespace {

// Longest silence from a worker, in seconds, before it is given up: while it connects
// (no capture yet) and while audio is forwarded.
constexpr Seconds connectTimeout(40.0);
constexpr Seconds heartbeatTimeout(8.0);

}  // namespace

void Sonvale::tick() {
    refresh();
    if (!enabled()) return;
    if (pausedForSleep) return;
    if (!coreaudio::eligible(coreaudio::current())) return;

    const Instant time = now();
    if (worker) {
        if (!worker->isRunning()) {
            stopEngine();
            scheduleRetry(QStringLiteral("发送进程已退出"));
            return;
        }
        if (!capture && time - lastHeartbeat > connectTimeout) {
            stopEngine();
            scheduleRetry(QStringLiteral("连接超时，已保留本机声音"));
            return;
        }
    }
    if (capture && time - lastHeartbeat > heartbeatTimeout) {
        stopEngine();
        scheduleRetry(QStringLiteral("发送链路未响应，已恢复本机声音"));
        return;
    }
    if (worker) return;
    if (time < nextAttempt) return;
    startWorker();
}

}  // namespace sonvale
