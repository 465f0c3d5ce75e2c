#include "capture/pcm_writer.h"

#include <bit>
#include <cmath>

namespace sonvale {

void applyGain(float* samples, std::size_t count, float gain) {
    for (std::size_t k = 0; k < count; ++k) {
        // A comparison with NaN is false, so a NaN product ends at the lower limit, as with
        // a NaN-ignoring maximum; written as comparisons so the loop vectorises.
        const float scaled = samples[k] * gain;
        const float lower = scaled > -1.0f ? scaled : -1.0f;
        samples[k] = lower < 1.0f ? lower : 1.0f;
    }
}

PcmWriter::PcmWriter(std::unique_ptr<PcmConverter> converter, double inputRate, int fd)
    : converter_(std::move(converter)), inputRate_(inputRate), pipe_(fd) {}

PcmWriter::Result PcmWriter::write(std::vector<float>& samples, float gain) {
    const std::size_t frames = samples.size() / 2;
    if (frames == 0 || !converter_) return {};
    applyGain(samples.data(), frames * 2, gain);

    const auto capacity =
        static_cast<std::size_t>(std::ceil(double(frames) * PcmConverter::outputRate / inputRate_)) + 128;
    if (output_.size() < capacity * 2) output_.resize(capacity * 2);
    const PcmConverter::Result converted = converter_->convert(samples.data(), frames, output_.data(), capacity);
    if (converted.failed) return {Outcome::conversionFailed, converted.error};
    if (converted.frames == 0) return {};

    static_assert(std::endian::native == std::endian::little, "the wire format is little-endian");
    switch (pipe_.write(output_.data(), converted.frames * 4)) {
    case PipeWriter::Outcome::written:
        return {Outcome::written, {}};
    case PipeWriter::Outcome::interrupted:
        return {Outcome::interrupted, {}};
    case PipeWriter::Outcome::failed:
        break;
    }
    return {Outcome::writeFailed, {}};
}

}  // namespace sonvale
