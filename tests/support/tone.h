#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

namespace sonvale::test {

// Amplitude (full scale = 1) of one frequency in the left channel of interleaved stereo
// 16-bit PCM read as 44100 Hz, over frames [from, from + count).
inline double toneAmplitude(const std::vector<std::int16_t>& pcm, std::size_t from, std::size_t count, double hz) {
    const double w = 2 * std::numbers::pi * hz / 44100.0;
    double re = 0, im = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = pcm[2 * (from + i)] / 32768.0;
        re += x * std::cos(w * double(i));
        im -= x * std::sin(w * double(i));
    }
    return 2 * std::hypot(re, im) / double(count);
}

}  // namespace sonvale::test
