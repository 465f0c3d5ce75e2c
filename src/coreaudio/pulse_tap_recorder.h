#pragma once

#include <memory>
#include <string>

#include "coreaudio/audio_system.h"

namespace sonvale::coreaudio {

// One connection to the sound server that records a sink's monitor as float32 stereo at a
// rate fixed when it connects: the forwarding output's rate when that output exists, else
// the default output's. It starts on the forwarding output when there is one, so that the
// output runs and is recorded before it becomes the default, and then follows the default
// output: when the default changes, or the recorded sink goes away, it re-attaches to the
// new default's monitor itself. The server is never allowed to move the stream, because it
// would move it to the default source, a microphone. With no default output it records
// nothing until one appears.
//
// Every call waits for the server at most a few seconds. The IO block runs on the
// connection's own thread ("Sonvale.audio") with one interleaved stereo buffer per chunk;
// a hole in the stream comes as a buffer without data. After stop() or destruction it is
// not called again.
class PulseTapRecorder {
public:
    static std::unique_ptr<PulseTapRecorder> connect(const std::string& streamName, OSStatus& status);
    ~PulseTapRecorder();
    PulseTapRecorder(const PulseTapRecorder&) = delete;
    PulseTapRecorder& operator=(const PulseTapRecorder&) = delete;

    double sampleRate() const;
    OSStatus start(IOBlock block);
    void stop();

    struct Impl;

private:
    explicit PulseTapRecorder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace sonvale::coreaudio
