#include <QTimer>

#include <unistd.h>

#include "capture/capture.h"
#include "controller/sonvale.h"
#include "coreaudio/devices.h"
#include "base/platform_error.h"
#include "base/constants.h"
#include "sender/worker_process.h"

namespace sonvale {
namespace {

// How long a worker gets between SIGTERM and SIGKILL.
constexpr int killDelayMilliseconds = 4000;

}  // namespace

void Sonvale::stopEngine() {
    stopping = true;

    if (capture) {
        capture->stop();
        capture.reset();
    }

    if (coreaudio::uid(coreaudio::current()) == outputUID) {
        auto previous = coreaudio::device(previousUID);
        if (!previous) previous = coreaudio::device(clockUID);
        if (previous) {
            try {
                coreaudio::setOutput(*previous);
            } catch (const PlatformError&) {
            }
        }
    }

    const std::shared_ptr<WorkerProcess> ended = std::exchange(worker, nullptr);
    workerOut.reset();
    if (input >= 0) {
        ::close(input);
        input = -1;
    }

    if (ended && ended->isRunning()) {
        ended->setTerminationHandler(nullptr);
        ended->terminate();
        // The timer holds the process object; kill() does nothing once it has been reaped.
        QTimer::singleShot(killDelayMilliseconds, Qt::PreciseTimer, this, [ended] { ended->kill(); });
    }

    stopping = false;
}

void Sonvale::scheduleRetry(const QString& reason) {
    failures += 1;
    const int delay = 1 << std::min<std::int64_t>(failures, 5);
    nextAttempt = now() + Seconds(delay);
    state(reason + QStringLiteral("；") + QString::number(delay) + QStringLiteral(" 秒后重试"));
}

}  // namespace sonvale
