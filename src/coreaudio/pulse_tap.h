#pragma once

#include <memory>
#include <optional>
#include <string>

#include "coreaudio/audio_system.h"

namespace sonvale::coreaudio {

class PipeWireSink;

// The capture half of the PulseAudio backend. A process tap is a record stream on the
// monitor of the default output (float32 stereo at the sink's rate) that follows the
// default output and never falls back to a microphone (Sonvale's own sink in this process is
// read from its node instead); the capture aggregate binds one
// tap; an IO proc on the aggregate receives each recorded chunk as a buffer list on the
// tap's own audio thread. Object ids are handed in by the backend, which owns the id space.
class PulseTapEngine {
public:
    PulseTapEngine();
    ~PulseTapEngine();
    PulseTapEngine(const PulseTapEngine&) = delete;
    PulseTapEngine& operator=(const PulseTapEngine&) = delete;

    // Sonvale's own sink in this process (nullptr: none), which taps take their audio from
    // directly while they record it. The caller keeps it alive until it is replaced here.
    void useOwnSink(PipeWireSink* sink);

    OSStatus createProcessTap(const TapDescription& description, AudioObjectID id);
    OSStatus destroyProcessTap(AudioObjectID tap);
    bool isTap(AudioObjectID id) const;
    OSStatus tapFormat(AudioObjectID tap, AudioStreamBasicDescription& out) const;
    std::optional<std::string> tapUID(AudioObjectID tap) const;

    OSStatus createCaptureAggregate(AudioObjectID id, const std::string& tapUID);
    OSStatus destroyCaptureAggregate(AudioObjectID id);
    bool isCaptureAggregate(AudioObjectID id) const;

    OSStatus createIOProcID(AudioObjectID aggregate, IOBlock block, IOProcID& outID);
    OSStatus deviceStart(AudioObjectID aggregate, IOProcID proc);
    OSStatus deviceStop(AudioObjectID aggregate, IOProcID proc);
    OSStatus destroyIOProcID(AudioObjectID aggregate, IOProcID proc);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sonvale::coreaudio
