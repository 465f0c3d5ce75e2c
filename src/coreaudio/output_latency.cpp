#include "coreaudio/output_latency.h"

#include <algorithm>
#include <cstdint>

namespace sonvale::coreaudio {

bool setReportedDelay(AudioObjectID device, std::chrono::milliseconds delay) {
    if (device == kAudioObjectUnknown) return false;
    // In frames at the forwarding output's 44100 Hz, as the property counts them.
    const auto frames = std::uint32_t(std::max<std::int64_t>(0, delay.count()) * 44100 / 1000);
    const AudioObjectPropertyAddress address{selector::latency, scope::output, 0};
    return audioSystem().setPropertyData(device, address, sizeof frames, &frames) == noErr;
}

}  // namespace sonvale::coreaudio
