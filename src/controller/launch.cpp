#include "controller/sonvale.h"

// Placeholder until this concern lands.
namespace sonvale {
void Sonvale::applicationDidFinishLaunching() {}
bool Sonvale::applicationShouldHandleReopen() { return true; }
void Sonvale::applicationWillTerminate() {}
}  // namespace sonvale
