#pragma once

#include <chrono>

#include "coreaudio/audio_system.h"

namespace sonvale::coreaudio {

// What Sonvale itself adds between a player writing into the forwarding output and the
// worker reading it: the PipeWire or PulseAudio period, the 20 ms capture fragment, the
// hand-over to the writer thread and the pipe, which the worker keeps nearly empty
// (docs/performance.md, "Lip sync", has the measurement).
inline constexpr std::chrono::milliseconds captureAndPipeDelay{50};

// Tells the players on an output device that what they play is heard this much later than
// the device itself says; zero takes it back. False where the sound server has no way to
// carry it (a PulseAudio null sink, a device Sonvale did not make).
bool setReportedDelay(AudioObjectID device, std::chrono::milliseconds delay);

}  // namespace sonvale::coreaudio
