#include "coreaudio/pulse_audio_system.h"

#include "coreaudio/device_model.h"

namespace sonvale::coreaudio {

// Placeholder until the libpulse backend lands: an empty device model.
std::shared_ptr<AudioSystem> makePulseAudioSystem() { return std::make_shared<DeviceModel>(); }

}  // namespace sonvale::coreaudio
