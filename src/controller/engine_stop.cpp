#include "controller/sonvale.h"
#include "coreaudio/output_latency.h"

namespace sonvale {

void Sonvale::stopEngine() {
    stopping_ = true;
    handOutputBack();
    if (const std::unique_ptr<ForwardingRun> ended = std::move(run_)) ended->end(this);
    stopping_ = false;
}

void Sonvale::handOutputBack() {
    if (run_) run_->stopCapture();
    if (const auto back = output_.giveBack()) log(QStringLiteral("已恢复本机输出：") + *back);
    if (output_.device()) coreaudio::setReportedDelay(output_.device(), {});
}

void Sonvale::scheduleRetry(const QString& reason) {
    const int delay = supervision_.recordFailure();
    state(reason + QStringLiteral("；") + QString::number(delay) + QStringLiteral(" 秒后重试"));
}

}  // namespace sonvale
