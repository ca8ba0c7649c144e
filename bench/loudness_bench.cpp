// In-process speed of the loudness measure on 60 s of 48 kHz stereo
// noise: the whole measure (integrated loudness and both channels' peaks on
// threads), one channel's true and sample peak by the selective measure
// and by the whole-channel libebur128 pass it replaces.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>

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
