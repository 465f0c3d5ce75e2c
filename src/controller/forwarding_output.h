#pragma once

#include <QString>

#include <string>

#include "base/constants.h"
#include "coreaudio/audio_system.h"

namespace sonvale {

// Sonvale's own virtual output, the system default while audio is forwarded. It is made
// at the first "ready" for a name and outlives single runs; a new name, quitting and
// termination remove it. It also remembers the user's output it took over from. Main
// thread only.
class ForwardingOutput {
public:
    coreaudio::AudioObjectID device() const { return device_; }
    const std::string& previousUID() const { return previousUID_; }

    // Makes the device, named "Sonvale · <name>", unless it exists. Throws PlatformError.
    void ensure(const QString& name);
    // Remembers the current default output unless it is this one.
    void rememberUserOutput();
    // Makes this device the default output. Throws PlatformError.
    void makeDefault();
    // While this device is the default, gives the output back: the remembered one, else
    // the built-in speaker. Absorbs failures.
    void giveBack();
    // Removes the device, if there is one. Absorbs failures.
    void destroy();

private:
    coreaudio::AudioObjectID device_ = 0;
    std::string previousUID_{clockUID};
};

}  // namespace sonvale
