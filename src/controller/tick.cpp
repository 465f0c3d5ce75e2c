#include "controller/sonvale.h"
#include "coreaudio/devices.h"

namespace sonvale {

void Sonvale::tick() {
    refresh();
    releaseOutput();
    if (!settings_.enabled()) return;
    if (supervision_.pausedForSleep()) return;
    // Held on an output the user chose; no output at all is waited for below.
    if (const auto device = coreaudio::current(); device != coreaudio::kAudioObjectUnknown && !coreaudio::eligible(device)) {
        return;
    }

    using Verdict = Supervision::Verdict;
    switch (supervision_.judge(run_ != nullptr, run_ && run_->workerRunning(), run_ && run_->capturing())) {
    case Verdict::wait:
        return;
    case Verdict::start:
        // A machine without its own output for a while (a monitor asleep, a card being
        // reconfigured) is retried like any failure; forwarding stays switched on.
        if (const auto missing = missingOutput()) {
            waitingForOutput_ = true;
            scheduleRetry(*missing);
            return;
        }
        waitingForOutput_ = false;
        startWorker();
        return;
    case Verdict::workerExited:
        stopEngine();
        scheduleRetry(QStringLiteral("发送进程已退出"));
        return;
    case Verdict::connectTimeout:
        stopEngine();
        scheduleRetry(QStringLiteral("连接超时，已保留本机声音"));
        return;
    case Verdict::heartbeatTimeout:
        stopEngine();
        scheduleRetry(QStringLiteral("发送链路未响应，已恢复本机声音"));
        return;
    }
}

}  // namespace sonvale
