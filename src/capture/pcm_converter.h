#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace sonvale {

// Streaming conversion of Float32 stereo frames at the capture rate to 16-bit stereo at
// 44100 Hz. The filter state carries from one call to the next, so consecutive calls
// produce one continuous output stream; the stream is never flushed.
class PcmConverter {
public:
    static constexpr double outputRate = 44100.0;

    struct Result {
        std::size_t frames = 0;  // output frames written
        bool failed = false;
        std::string error;       // the converter's own description of a failure, if it has one
    };

    virtual ~PcmConverter() = default;
    // Converts `frames` interleaved stereo frames into at most `capacity` output frames.
    virtual Result convert(const float* input, std::size_t frames, std::int16_t* output, std::size_t capacity) = 0;
};

// For 44100 Hz input a plain rounding to 16 bits (bit-exact for 16-bit sources); for any
// other rate the libsoxr converter at its default (high) quality, undithered. Null when it
// cannot be made for the rate.
std::unique_ptr<PcmConverter> makePcmConverter(double inputRate);

using PcmConverterFactory = std::function<std::unique_ptr<PcmConverter>(double inputRate)>;

}  // namespace sonvale
