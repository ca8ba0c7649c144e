// In-process speed of the look-ahead true-peak limiter on 20 s of 48 kHz
// stereo: music-like noise with pulses driven several dB into a -1 dBTP
// ceiling, and the same material 20 dB down (the limiter only watching).
// The counter "x_realtime" is seconds of audio per second of one core; the
// target is 500. BM_limiter_forecast is one trial gain of the loudness
// search: the gain curve of peaks found once, read back scaled, summed as
// squares and kept.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <random>

#include "analysis/limiter.h"
#include "analysis/sample.h"

namespace {

const uint64_t kRate = 48000;
const uint64_t kFrames = 20 * kRate;

Sample material(double gain) {
  Sample s;
  sample_init(s);
  if (!sample_allocate(s, 2, kFrames, kFrames)) std::abort();
  s.sample_rate = kRate;
  std::mt19937 gen(5);
  std::normal_distribution<float> d(0.0f, 0.3f);
  for (uint64_t c = 0; c < 2; ++c) {
    double lp = 0.0;
    for (uint64_t i = 0; i < kFrames; ++i) {
      lp += 0.05 * (d(gen) - lp);
      const double t = double(i % (kRate / 2)) / double(kRate);
      s.data[c * s.stride + i] =
          float(gain * (3.0 * lp + 1.5 * std::exp(-t * 30.0) * std::sin(2.0 * M_PI * 60.0 * t)));
    }
  }
  return s;
}

void run(benchmark::State& state, double gain) {
  Sample src = material(gain), work;
  sample_init(work);
  const LimiterSettings set{kRate, 2, -1.0, 1.5, 0.0};
  LimiterStats stats{};
  for (auto _ : state) {
    state.PauseTiming();
    if (sample_copy(work, src) != STATUS_OK) std::abort();
    state.ResumeTiming();
    if (limiter_apply(work, set, &stats) != STATUS_OK) state.SkipWithError("limiter_apply failed");
  }
  state.counters["x_realtime"] =
      benchmark::Counter(double(kFrames) / double(kRate) * double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["limited_share"] = limiter_limited_share(stats);
  sample_destroy(work);
  sample_destroy(src);
}

void BM_limiter_limiting(benchmark::State& state) { run(state, 1.0); }
BENCHMARK(BM_limiter_limiting)->Unit(benchmark::kMillisecond);

void BM_limiter_watching(benchmark::State& state) { run(state, 0.1); }
BENCHMARK(BM_limiter_watching)->Unit(benchmark::kMillisecond);

void BM_limiter_forecast(benchmark::State& state) {
  Sample src = material(1.0);
  const LimiterSettings set{kRate, 2, -1.0, 1.5, 0.0};
  const float* rows[2] = {src.data, src.data + src.stride};
  const uint64_t count = kFrames + kRate;  // more than the latency
  const uint64_t step = 16;
  float* peaks = static_cast<float*>(std::calloc(size_t(count), sizeof(float)));
  float* squares = static_cast<float*>(std::calloc(size_t(kFrames / step + 1), sizeof(float)));
  float* gains = static_cast<float*>(std::calloc(size_t(kFrames), sizeof(float)));
  if (!peaks || !squares || !gains || limiter_detect_peaks(set, rows, kFrames, peaks, count) != STATUS_OK) std::abort();
  LimiterStats stats{};
  for (auto _ : state) {
    if (limiter_replay_squares(set, peaks, count, 1.5f, kFrames, step, squares, &stats, gains) != STATUS_OK)
      state.SkipWithError("limiter_replay_squares failed");
  }
  state.counters["x_realtime"] =
      benchmark::Counter(double(kFrames) / double(kRate) * double(state.iterations()), benchmark::Counter::kIsRate);
  std::free(peaks);
  std::free(squares);
  std::free(gains);
  sample_destroy(src);
}
BENCHMARK(BM_limiter_forecast)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
