#include "controller/sonvale.h"

// Placeholder until this concern lands.
namespace sonvale {
void Sonvale::tick() {}
}  // namespace sonvale
