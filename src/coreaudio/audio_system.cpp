#include "coreaudio/audio_system.h"

#include <mutex>

#include "coreaudio/pulse_audio_system.h"

namespace sonvale::coreaudio {
namespace {

std::mutex installed_mutex;
std::shared_ptr<AudioSystem> installed;

}  // namespace

AudioSystem& audioSystem() {
    std::lock_guard lock(installed_mutex);
    if (!installed) installed = makePulseAudioSystem();
    return *installed;
}

void setAudioSystem(std::shared_ptr<AudioSystem> system) {
    std::lock_guard lock(installed_mutex);
    installed = std::move(system);
}

}  // namespace sonvale::coreaudio
