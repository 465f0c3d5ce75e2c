#include "controller/sonvale.h"

namespace sonvale {
namespace {

constexpr Seconds wakeDelay{5.0};

}  // namespace

void Sonvale::willSleep() {
    // First, so that a tick from here on only refreshes the display.
    supervision_.pauseForSleep();
    stopEngine();
    state("Mac 正在睡眠，已释放音频连接");
}

void Sonvale::didWake() {
    // The network needs a moment to come back before the tick may start the worker.
    supervision_.resumeAfterWake(wakeDelay);
    if (settings_.enabled()) state("Mac 已唤醒，等待网络恢复");
}

}  // namespace sonvale
