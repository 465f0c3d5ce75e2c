#include "controller/sonvale.h"

// Placeholder until this concern lands.
namespace sonvale {
void Sonvale::stopEngine() {}
void Sonvale::scheduleRetry(const QString&) {}
}  // namespace sonvale
