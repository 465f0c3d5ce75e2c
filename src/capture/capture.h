#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/float_ring.h"
#include "capture/pcm_converter.h"
#include "coreaudio/audio_system.h"

namespace sonvale {

class PcmWriter;
class SerialQueue;

// Captures the whole system mix and feeds it to the sender worker as 44100 Hz 16-bit
// stereo PCM. Owns the tap, the private capture aggregate that carries it, the IO proc
// registered on that aggregate, the ring, the converter and the writer thread. Used for
// one run: started once, then stopped and discarded.
//
// Threads: start(), stop(), setGain() and the destructor run on the controller's (main)
// thread. The IO proc runs on the backend's audio thread; it only pushes into the lock-free
// ring and, once a packet's worth is waiting, rings the writer, so it never waits. The
// writer thread ("Sonvale.pcm") runs the writer ticks, the gain updates and the stop flag,
// so those never race. onFailure is delivered on the Qt main thread, at most
// once, and never after the object is destroyed: when the writer cannot convert or write,
// and when no audio at all has arrived for 8 s (the record stream or the server is gone).
class Capture {
public:
    // The platform error domain and codes of the capture's own start errors.
    enum ErrorCode : std::int64_t { noClockDevice = 1, notFloat32 = 2, noTapUID = 3, noResampler = 4 };

    Capture();
    explicit Capture(PcmConverterFactory makeConverter);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Builds and starts the capture path and the writer, which writes into (a duplicate
    // of) pipeFd; the caller may close pipeFd as soon as stop() has returned. Throws
    // PlatformError; a failed start has already undone everything it built.
    void start(int pipeFd);
    // Tears the capture path down. Safe at any time, any number of times; never blocks on
    // the pipe and never calls onFailure.
    void stop();
    // The new gain takes effect from the next writer tick on.
    void setGain(float value);

    FloatRing& ring() { return *ring_; }

    // Linear gain; set it directly only before start(), afterwards through setGain().
    std::atomic<float> gain{1.0f};
    std::function<void(const std::string&)> onFailure;
    // Lines for the log: the format line once, synchronously inside start(); then, on the
    // main thread, a line whenever frames were dropped (at most one a second).
    std::function<void(const std::string&)> onLog;

private:
    void build(int pipeFd);
    void drain();
    void reportDrops(std::chrono::steady_clock::time_point now);
    void writeOut(std::vector<float>& samples);
    void fail(const std::string& message);

    std::shared_ptr<FloatRing> ring_;
    coreaudio::AudioObjectID tap_ = 0;
    coreaudio::AudioObjectID aggregate_ = 0;
    std::optional<coreaudio::IOProcID> io_;
    PcmConverterFactory makeConverter_;
    std::optional<double> inputRate_;
    std::unique_ptr<PcmWriter> writer_;
    bool stopped_ = false;  // writer thread only
    std::optional<std::chrono::steady_clock::time_point> lastAudio_;  // writer thread only
    std::uint64_t reportedDrops_ = 0;                                       // writer thread only
    std::optional<std::chrono::steady_clock::time_point> lastDropReport_;  // writer thread only
    std::shared_ptr<int> alive_;  // expires with the object; guards queued main-thread calls
    std::unique_ptr<SerialQueue> writerQueue_;
};

}  // namespace sonvale
