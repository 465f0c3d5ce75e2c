#pragma once

#include <memory>

#include "coreaudio/audio_system.h"

namespace sonvale::coreaudio {

// The PulseAudio backend (also serves PipeWire through pipewire-pulse). It connects to
// the server named by the usual libpulse environment ($PULSE_SERVER, the session's
// runtime directory). Every call is bounded by a deadline: a server that is down or
// hangs makes the call fail, never wait forever.
std::shared_ptr<AudioSystem> makePulseAudioSystem();

}  // namespace sonvale::coreaudio
