#include "capture/capture.h"

namespace sonvale {
Capture::Capture() = default;
Capture::~Capture() = default;
void Capture::start(int) {}
void Capture::stop() {}
void Capture::setGain(float value) { gain = value; }
}  // namespace sonvale
