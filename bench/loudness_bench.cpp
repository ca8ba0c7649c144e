// In-process speed of the loudness measure on 60 s of 48 kHz stereo
// noise: the whole measure (integrated loudness and both channels' peaks on
// threads), the integrated loudness alone by the own meter and by
// libebur128 (same value, bit for bit), one channel's true and sample peak
// by the selective measure and by the whole-channel libebur128 pass it
// replaces.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "analysis/integrated_meter.h"
#include "analysis/loudness.h"
#include "analysis/sample.h"
#include "analysis/true_peak.h"

namespace {

const uint64_t kFrames = 60 * 48000;

// Roughly pink noise with a slow swell, like programme material: the true
// peak sits in a few blocks.
Sample programme(uint64_t channels, uint32_t seed) {
  Sample s;
  sample_init(s);
  if (!sample_allocate(s, channels, kFrames, kFrames)) std::abort();
  s.sample_rate = 48000;
  std::mt19937 gen(seed);
  std::normal_distribution<float> d(0.0f, 0.05f);
  for (uint64_t c = 0; c < channels; ++c) {
    double lp[4] = {};
    for (uint64_t i = 0; i < kFrames; ++i) {
      double w = d(gen), sum = 0.0;
      for (int k = 0; k < 4; ++k) {
        lp[k] += (1.0 / (1 << (2 * k))) * (w - lp[k]);
        sum += lp[k];
      }
      s.data[c * s.stride + i] = float(sum * (1.0 + 0.25 * ((i / 96000) % 2)));
    }
  }
  return s;
}

void BM_measure_loudness(benchmark::State& state) {
  Sample s = programme(2, 1);
  LoudnessMeasure m{};
  for (auto _ : state)
    if (measure_loudness(s, &m) != STATUS_OK) state.SkipWithError("measure_loudness failed");
  sample_destroy(s);
}
BENCHMARK(BM_measure_loudness)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_integrated_meter(benchmark::State& state) {
  Sample s = programme(2, 3);
  const bool own = state.range(0) != 0;
  double lufs = 0.0;
  for (auto _ : state) {
    IntegratedMeter m;
    Status st = own ? integrated_meter_start(m, s.sample_rate, s.channels)
                    : integrated_meter_start_library(m, s.sample_rate, s.channels);
    if (own && !integrated_meter_own(m)) state.SkipWithError("the own meter fell back to the library");
    for (uint64_t at = 0; at < s.length && st == STATUS_OK; at += 4096) {
      const float* rows[2] = {s.data + at, s.data + s.stride + at};
      st = integrated_meter_add(m, rows, std::min<uint64_t>(4096, s.length - at));
    }
    if (st == STATUS_OK) st = integrated_meter_result(m, &lufs);
    integrated_meter_release(m);
    if (st != STATUS_OK) state.SkipWithError("integrated meter failed");
  }
  state.SetLabel(own ? "own" : "libebur128");
  sample_destroy(s);
}
BENCHMARK(BM_integrated_meter)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_channel_peaks(benchmark::State& state) {
  Sample s = programme(1, 2);
  const bool selective = state.range(0) != 0;
  ChannelPeaks p{};
  for (auto _ : state) {
    Status st = selective ? measure_channel_peaks(s.data, s.length, s.sample_rate, &p)
                          : measure_channel_peaks_full(s.data, s.length, s.sample_rate, &p);
    if (st != STATUS_OK) state.SkipWithError("peaks failed");
  }
  if (selective && p.path != TRUE_PEAK_SELECTIVE) state.SkipWithError("the selective measure fell back");
  state.SetLabel(selective ? "selective" : "whole channel");
  sample_destroy(s);
}
BENCHMARK(BM_channel_peaks)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
