#include "capture/pcm_converter.h"

#include <algorithm>
#include <cmath>

#include <soxr.h>

namespace sonvale {
namespace {

class SoxrConverter : public PcmConverter {
public:
    explicit SoxrConverter(soxr_t resampler) : resampler_(resampler) {}
    ~SoxrConverter() override { soxr_delete(resampler_); }
    SoxrConverter(const SoxrConverter&) = delete;
    SoxrConverter& operator=(const SoxrConverter&) = delete;

    Result convert(const float* input, std::size_t frames, std::int16_t* output, std::size_t capacity) override {
        Result result;
        std::size_t consumed = 0;
        // Everything handed in is consumed in one call as long as the output has room for it;
        // what does not fit stays inside the resampler and comes out with the next call.
        const soxr_error_t error = soxr_process(resampler_, input, frames, &consumed, output, capacity, &result.frames);
        if (error) {
            result.failed = true;
            result.error = error;
        }
        return result;
    }

private:
    soxr_t resampler_;
};

// At the wire's own rate nothing is resampled: each sample is rounded to the nearest 16-bit
// value, the exact inverse of a 16-bit player's n / 32768, so such a player's samples come
// out as they went in. The samples are already limited to [-1, 1]; +1 becomes 32767.
class RoundingConverter : public PcmConverter {
public:
    Result convert(const float* input, std::size_t frames, std::int16_t* output, std::size_t capacity) override {
        Result result;
        result.frames = std::min(frames, capacity);
        for (std::size_t k = 0; k < result.frames * 2; ++k) {
            const float scaled = std::nearbyint(input[k] * 32768.0f);
            output[k] = static_cast<std::int16_t>(scaled < 32767.0f ? scaled : 32767.0f);
        }
        return result;
    }
};

}  // namespace

std::unique_ptr<PcmConverter> makePcmConverter(double inputRate) {
    if (!std::isfinite(inputRate) || inputRate <= 0.0 || inputRate > 1e7) return nullptr;
    if (inputRate == PcmConverter::outputRate) return std::make_unique<RoundingConverter>();
    // Undithered: dither would cost a 16-bit stream about 5 dB of its signal-to-noise ratio.
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
    io.flags |= SOXR_NO_DITHER;
    soxr_error_t error = nullptr;
    soxr_t resampler = soxr_create(inputRate, PcmConverter::outputRate, 2, &error, &io, nullptr, nullptr);
    if (error || !resampler) {
        if (resampler) soxr_delete(resampler);
        return nullptr;
    }
    return std::make_unique<SoxrConverter>(resampler);
}

}  // namespace sonvale
