#include "coreaudio/pulse_server_watch.h"

#include <atomic>

namespace sonvale::coreaudio::server_watch {
namespace {

std::atomic<bool> quiet{false};

}  // namespace

void silent() { quiet.store(true, std::memory_order_relaxed); }
void answered() { quiet.store(false, std::memory_order_relaxed); }
bool answering() { return !quiet.load(std::memory_order_relaxed); }

}  // namespace sonvale::coreaudio::server_watch
