#include "controller/sonvale.h"

// Placeholder until this concern lands.
namespace sonvale {
void Sonvale::willSleep() {}
void Sonvale::didWake() {}
}  // namespace sonvale
