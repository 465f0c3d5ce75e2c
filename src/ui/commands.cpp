#include "controller/sonvale.h"

// Placeholder until this concern lands.
namespace sonvale {
void Sonvale::toggle() {}
void Sonvale::chooseTarget() {}
void Sonvale::volumeChanged(double) {}
void Sonvale::toggleLogin() {}
void Sonvale::openLog() {}
void Sonvale::quit() {}
void Sonvale::playTest() {}
}  // namespace sonvale
