#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <numbers>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "capture/float_ring.h"
#include "capture/pcm_converter.h"
#include "capture/pcm_writer.h"

// One writer tick at 48 kHz: pop 480 frames from the ring, gain and limit, convert to
// 44100 Hz 16-bit, one write into a pipe that another thread drains. The capture side's
// push is outside the timed part. Reports the median and 99th percentile per tick.
static void WriterTick48k(benchmark::State& state) {
    signal(SIGPIPE, SIG_IGN);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        state.SkipWithError("pipe");
        return;
    }
    std::thread reader([&] {
        char sink[65536];
        while (::read(fds[0], sink, sizeof sink) > 0) {
        }
    });
    sonvale::FloatRing ring;
    sonvale::PcmWriter writer(sonvale::makePcmConverter(48000), 48000, fds[1]);
    std::vector<float> samples(960);
    std::size_t frame = 0;
    std::vector<double> ticks;
    ticks.reserve(1 << 20);
    for (auto _ : state) {
        for (std::size_t i = 0; i < 480; ++i, ++frame) {
            samples[2 * i] = samples[2 * i + 1] =
                float(0.5 * std::sin(2 * std::numbers::pi * 997.0 * double(frame) / 48000.0));
        }
        const sonvale::AudioBuffer buffer{2, 960 * 4, samples.data()};
        ring.push(sonvale::AudioBufferList{1, &buffer});

        const auto begin = std::chrono::steady_clock::now();
        auto popped = ring.pop(4096);
        auto result = writer.write(popped, 0.8f);
        const auto end = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(result.outcome);
        const double seconds = std::chrono::duration<double>(end - begin).count();
        state.SetIterationTime(seconds);
        ticks.push_back(seconds * 1e6);
    }
    writer.close();
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    std::sort(ticks.begin(), ticks.end());
    if (!ticks.empty()) {
        state.counters["median_us"] = ticks[ticks.size() / 2];
        state.counters["p99_us"] = ticks[ticks.size() * 99 / 100];
        // Share of one core at 100 ticks per second.
        state.counters["core_pct"] = ticks[ticks.size() / 2] * 100.0 / 1e4;
    }
}
BENCHMARK(WriterTick48k)->UseManualTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
