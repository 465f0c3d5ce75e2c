#include "controller/forwarding_run.h"

#include <QTimer>

#include <utility>

namespace sonvale {
namespace {

// How long a worker gets between SIGTERM and SIGKILL.
constexpr int killDelayMilliseconds = 4000;

}  // namespace

ForwardingRun::ForwardingRun(QStringList names, LaunchedWorker launched)
    : names_(std::move(names)), launched_(std::move(launched)) {}

ForwardingRun::~ForwardingRun() { stopCapture(); }

void ForwardingRun::setOutputHandler(std::function<void()> handler) {
    if (!launched_.output) return;
    launched_.output->setHandler([this, handler = std::move(handler)](const QByteArray& bytes) {
        untaken_ += bytes;
        handler();
    });
}

void ForwardingRun::setExitHandler(std::function<void()> handler) {
    launched_.process->setTerminationHandler(std::move(handler));
}

QByteArray ForwardingRun::takeOutput() {
    QByteArray bytes = std::exchange(untaken_, {});
    if (launched_.output) bytes += launched_.output->readAvailable();
    return bytes;
}

void ForwardingRun::startCapture(std::unique_ptr<Capture> capture) {
    // A second "ready" replaces the capture; the earlier one stops first.
    stopCapture();
    capture_ = std::move(capture);
    capture_->start(launched_.input.get());
}

std::optional<RingStatistics> ForwardingRun::captureStatistics() {
    if (!capture_) return std::nullopt;
    return capture_->ring().statistics();
}

void ForwardingRun::setGain(float gain) {
    if (capture_) capture_->setGain(gain);
}

void ForwardingRun::stopCapture() {
    if (!capture_) return;
    capture_->stop();
    capture_.reset();
}

void ForwardingRun::end(QObject* context) {
    launched_.output.reset();
    launched_.input.reset();
    const std::shared_ptr<WorkerProcess> ended = launched_.process;
    if (!ended->isRunning()) return;
    ended->setTerminationHandler(nullptr);
    ended->terminate();
    // The timer holds the process object; kill() does nothing once it has been reaped.
    QTimer::singleShot(killDelayMilliseconds, Qt::PreciseTimer, context, [ended] { ended->kill(); });
}

}  // namespace sonvale
