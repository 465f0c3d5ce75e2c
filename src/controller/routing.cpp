#include "controller/sonvale.h"

// Placeholder until this concern lands.
namespace sonvale {
void Sonvale::routeChanged() {}
}  // namespace sonvale
