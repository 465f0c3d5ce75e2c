#pragma once

#include <QString>

#include <optional>
#include <string>

#include "base/constants.h"
#include "coreaudio/audio_system.h"

namespace sonvale {

// Sonvale's own virtual output, the system default while audio is forwarded. It is
// resolved at every "ready" and outlives single runs; a new name, quitting and termination
// remove it. It also remembers the user's output it took over from. Main thread only.
class ForwardingOutput {
public:
    coreaudio::AudioObjectID device() const { return device_; }
    const std::string& previousUID() const { return previousUID_; }

    // The device for this attempt: the one made earlier while it still exists, else one
    // left behind by an earlier run or a failed removal (adopted), else a new one named
    // "Sonvale · <name>". Throws PlatformError.
    void ensure(const QString& name);
    // Whether a device was made or adopted and has since disappeared (a server restart,
    // or someone else removed it).
    bool vanished() const;
    // Remembers the current default output unless it is this one.
    void rememberUserOutput();
    // Makes this device the default output. Throws PlatformError.
    void makeDefault();
    // While this device is the default, gives the output back: the remembered one, else
    // the built-in speaker, else the best other output there is. Returns the name of the
    // output that came back; nothing when this device was not the default or no output
    // could be set. Absorbs failures.
    std::optional<QString> giveBack();
    // Makes the remembered output the default again, whatever the default is now; for
    // when the server chose a fallback itself. Returns its name when that worked.
    std::optional<QString> restoreUserOutput();
    // Removes the device, if there is one. Absorbs failures.
    void destroy();

private:
    std::optional<QString> setFirstOf(const std::vector<coreaudio::AudioObjectID>& candidates);

    coreaudio::AudioObjectID device_ = 0;
    std::string previousUID_{clockUID};
};

}  // namespace sonvale
