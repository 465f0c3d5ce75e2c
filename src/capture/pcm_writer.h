#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/pcm_converter.h"
#include "capture/pipe_writer.h"

namespace sonvale {

// The work of one writer tick, apart from the ring: gain, limit to [-1, 1], conversion to
// 44100 Hz 16-bit stereo and one write of the produced frames into the worker's pipe.
// Everything except interrupt() runs on the writer thread.
class PcmWriter {
public:
    enum class Outcome { nothing, written, conversionFailed, writeFailed, interrupted };
    struct Result {
        Outcome outcome = Outcome::nothing;
        std::string error;  // the converter's description of a conversion failure, if any
    };

    PcmWriter(std::unique_ptr<PcmConverter> converter, double inputRate, int fd);

    // `samples`: interleaved stereo Float32 at the input rate; they are scaled in place.
    Result write(std::vector<float>& samples, float gain);
    void interrupt() { pipe_.interrupt(); }
    void close() { pipe_.close(); }

private:
    std::unique_ptr<PcmConverter> converter_;
    double inputRate_;
    PipeWriter pipe_;
    std::vector<std::int16_t> output_;
};

// Scales by gain and limits to [-1, 1]; a NaN product becomes -1.
void applyGain(float* samples, std::size_t count, float gain);

}  // namespace sonvale
