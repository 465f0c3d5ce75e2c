#pragma once

#include <memory>
#include <string>

#include "coreaudio/audio_system.h"

namespace sonvale::coreaudio {

class PipeWireSink;

// One connection to the sound server that records a sink's monitor as float32 stereo at a
// rate fixed when it connects: the forwarding output's rate when that output exists, else
// the default output's. It starts on the forwarding output when there is one, so that the
// output runs and is recorded before it becomes the default, and then follows the default
// output: when the default changes, or the recorded sink goes away, it re-attaches to the
// new default's monitor itself. The server is never allowed to move the stream, because it
// would move it to the default source, a microphone. With no default output it records
// nothing until one appears.
//
// A sink of Sonvale's own in this process (the forwarding output on PipeWire) is not recorded
// through the server: its audio is taken as it is played into the node, with one hop, one
// thread and one copy less, and no quantum lost to a late record stream.
//
// Every call waits for the server at most a few seconds. The IO block runs on the
// connection's own thread ("Sonvale.audio") with one interleaved stereo buffer per chunk;
// a hole in the stream comes as a buffer without data. An own sink's audio comes on its node's
// data thread instead; the two never overlap. After stop() or destruction it is
// not called again.
class PulseTapRecorder {
public:
    static std::unique_ptr<PulseTapRecorder> connect(const std::string& streamName, PipeWireSink* ownSink,
                                                     OSStatus& status);
    ~PulseTapRecorder();
    PulseTapRecorder(const PulseTapRecorder&) = delete;
    PulseTapRecorder& operator=(const PulseTapRecorder&) = delete;

    double sampleRate() const;
    OSStatus start(IOBlock block);
    void stop();
    // The own sink from now on (nullptr: none); the caller keeps it alive until replaced.
    void useOwnSink(PipeWireSink* sink);

    struct Impl;

private:
    explicit PulseTapRecorder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace sonvale::coreaudio
