#include "controller/sonvale.h"

// Placeholder until this concern lands.
namespace sonvale {
void Sonvale::refresh() {}
void Sonvale::showWindow() {}
}  // namespace sonvale
