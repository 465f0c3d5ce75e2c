#pragma once

#include <chrono>

#include "coreaudio/audio_system.h"

namespace sonvale::coreaudio {

// Tells the players on an output device that what they play is heard this much later than
// the device itself says; zero takes it back. False where the sound server has no way to
// carry it (a PulseAudio null sink, a device Sonvale did not make).
bool setReportedDelay(AudioObjectID device, std::chrono::milliseconds delay);

}  // namespace sonvale::coreaudio
