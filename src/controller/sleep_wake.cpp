#include "controller/sonvale.h"

namespace sonvale {
namespace {

constexpr Seconds wakeDelay{5.0};

}  // namespace

void Sonvale::willSleep() {
    // First, so that a tick from here on only refreshes the display.
    pausedForSleep = true;
    stopEngine();
    state("Mac 正在睡眠，已释放音频连接");
}

void Sonvale::didWake() {
    pausedForSleep = false;
    // The network needs a moment to come back before the tick may start the worker.
    nextAttempt = now() + wakeDelay;
    if (enabled()) state("Mac 已唤醒，等待网络恢复");
}

}  // namespace sonvale
