#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "capture/pcm_converter.h"

namespace {

// Converts 10 s of a -1 dBFS 997 Hz sine from 48 kHz to 44.1 kHz in 480-frame ticks and
// returns the signal-to-noise-and-distortion ratio of the left channel: a least-squares fit
// of the 997 Hz sine (plus offset) over the steady part, against what is left over.
double snrAt48To44(std::size_t* framesOut) {
    auto converter = sonvale::makePcmConverter(48000);
    const double amplitude = std::pow(10.0, -1.0 / 20.0);
    std::vector<float> in(960);
    std::vector<std::int16_t> out(2 * 600);
    std::vector<double> left;
    for (std::size_t tick = 0; tick < 1000; ++tick) {
        for (std::size_t i = 0; i < 480; ++i) {
            const double t = double(tick * 480 + i) / 48000.0;
            in[2 * i] = in[2 * i + 1] = float(amplitude * std::sin(2 * std::numbers::pi * 997.0 * t));
        }
        const auto result = converter->convert(in.data(), 480, out.data(), 600);
        for (std::size_t i = 0; i < result.frames; ++i) left.push_back(out[2 * i] / 32768.0);
    }
    *framesOut = left.size();
    const std::size_t from = 44100, to = left.size() - 4410;
    const double w = 2 * std::numbers::pi * 997.0 / 44100.0;
    // Normal equations for x ~ a sin + b cos + c.
    double m[3][4] = {};
    for (std::size_t i = from; i < to; ++i) {
        const double basis[3] = {std::sin(w * double(i)), std::cos(w * double(i)), 1.0};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) m[r][c] += basis[r] * basis[c];
            m[r][3] += basis[r] * left[i];
        }
    }
    for (int p = 0; p < 3; ++p) {
        for (int r = 0; r < 3; ++r) {
            if (r == p) continue;
            const double f = m[r][p] / m[p][p];
            for (int c = 0; c < 4; ++c) m[r][c] -= f * m[p][c];
        }
    }
    const double a = m[0][3] / m[0][0], b = m[1][3] / m[1][1], offset = m[2][3] / m[2][2];
    double signal = 0, noise = 0;
    for (std::size_t i = from; i < to; ++i) {
        const double fit = a * std::sin(w * double(i)) + b * std::cos(w * double(i));
        signal += fit * fit;
        noise += std::pow(left[i] - fit - offset, 2);
    }
    return 10 * std::log10(signal / noise);
}

}  // namespace

static void Convert48To44Snr(benchmark::State& state) {
    double snr = 0;
    std::size_t frames = 0;
    for (auto _ : state) snr = snrAt48To44(&frames);
    state.counters["snr_db"] = snr;
    state.counters["frames_out"] = double(frames);
}
BENCHMARK(Convert48To44Snr)->Iterations(1)->Unit(benchmark::kMillisecond);

static void Convert48To44Tick(benchmark::State& state) {
    auto converter = sonvale::makePcmConverter(48000);
    std::vector<float> in(960, 0.25f);
    std::vector<std::int16_t> out(2 * 600);
    for (auto _ : state) {
        auto result = converter->convert(in.data(), 480, out.data(), 600);
        benchmark::DoNotOptimize(result.frames);
    }
    state.counters["x_realtime"] = benchmark::Counter(480.0 / 48000.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(Convert48To44Tick);

BENCHMARK_MAIN();
