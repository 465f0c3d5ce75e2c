#include <benchmark/benchmark.h>

#include <vector>

#include "capture/float_ring.h"

// One IO cycle at 48 kHz (480 interleaved stereo frames) pushed, then popped as the writer
// does. "x_realtime" is how many seconds of 48 kHz audio pass per second of CPU time.
static void RingPushPop480(benchmark::State& state) {
    sonvale::FloatRing ring;
    std::vector<float> samples(960, 0.25f);
    const sonvale::AudioBuffer buffer{2, 960 * 4, samples.data()};
    const sonvale::AudioBufferList list{1, &buffer};
    for (auto _ : state) {
        ring.push(list);
        auto popped = ring.pop(4096);
        float* data = popped.data();
        benchmark::DoNotOptimize(data);
    }
    // Seconds of CPU per frame (printed with an SI prefix: "n" is nanoseconds).
    state.counters["s_per_frame"] =
        benchmark::Counter(480, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["x_realtime"] = benchmark::Counter(480.0 / 48000.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(RingPushPop480);

BENCHMARK_MAIN();
