// In-process speed of the signal chain: spectral profile at ranks 12 and
// 16, impulse-response synthesis, convolve_mix of 60 s of 48 kHz stereo
// noise with 4096 and 65536 taps, and the three common resampling cases.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "analysis/ir_synthesis.h"
#include "analysis/mix.h"
#include "analysis/profile.h"
#include "analysis/resample.h"
#include "analysis/resample_stream.h"
#include "analysis/sample.h"
#include "dsp/dsp.h"

namespace {

Sample noise_sample(uint64_t channels, uint64_t frames, uint64_t rate, uint32_t seed, float amplitude = 0.5f) {
  Sample s;
  sample_init(s);
  if (!sample_allocate(s, channels, frames, frames)) std::abort();
  s.sample_rate = rate;
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> d(-amplitude, amplitude);
  for (uint64_t c = 0; c < channels; ++c)
    for (uint64_t i = 0; i < frames; ++i) s.data[c * s.stride + i] = d(gen);
  return s;
}

const uint64_t kFrames = 60 * 48000;

void BM_compute_profile(benchmark::State& state) {
  unsigned rank = static_cast<unsigned>(state.range(0));
  Sample audio = noise_sample(2, kFrames, 48000, 1), profile;
  sample_init(profile);
  for (auto _ : state)
    if (compute_profile(profile, audio, rank) != STATUS_OK) state.SkipWithError("compute_profile failed");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFrames * 2));
  sample_destroy(audio);
  sample_destroy(profile);
}
BENCHMARK(BM_compute_profile)->Arg(12)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_synthesize_ir(benchmark::State& state) {
  unsigned rank = static_cast<unsigned>(state.range(0));
  Sample a = noise_sample(2, 200000, 48000, 2), b = noise_sample(2, 200000, 48000, 3), pa, pb, ir;
  sample_init(pa);
  sample_init(pb);
  sample_init(ir);
  if (compute_profile(pa, a, rank) != STATUS_OK || compute_profile(pb, b, rank) != STATUS_OK) std::abort();
  for (auto _ : state)
    if (synthesize_ir(ir, pa, pb, rank, 251.19f) != STATUS_OK) state.SkipWithError("synthesize_ir failed");
  sample_destroy(a);
  sample_destroy(b);
  sample_destroy(pa);
  sample_destroy(pb);
  sample_destroy(ir);
}
BENCHMARK(BM_synthesize_ir)->Arg(12)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_convolve_mix(benchmark::State& state) {
  uint64_t taps = static_cast<uint64_t>(state.range(0));
  Sample audio = noise_sample(2, kFrames, 48000, 4), ir = noise_sample(2, taps, 48000, 5, 0.01f), out;
  sample_init(out);
  for (auto _ : state)
    if (convolve_mix(out, audio, ir, static_cast<int64_t>(taps / 2), 0.5f, 0.5f) != STATUS_OK)
      state.SkipWithError("convolve_mix failed");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFrames * 2));
  sample_destroy(audio);
  sample_destroy(ir);
  sample_destroy(out);
}
BENCHMARK(BM_convolve_mix)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);

// Range 2 picks the resampler: 0 the standard one, 1 libsoxr (-rq high),
// whose target is at most twice the standard one's time (its spurs and
// images below -120 dB and passband within 0.1 dB to 20 kHz are checked by
// the end-to-end test HighQualityResamplingLeavesNoSpurs). Range 3 picks
// the way: 0 the whole-buffer function, 1 the same bits in blocks
// (resample_in_blocks, what the loader runs).
void BM_resample(benchmark::State& state) {
  uint64_t from = static_cast<uint64_t>(state.range(0)), to = static_cast<uint64_t>(state.range(1));
  const bool high = state.range(2) != 0, blocks = state.range(3) != 0;
  Sample source = noise_sample(2, 60 * from, from, 6);
  for (auto _ : state) {
    state.PauseTiming();
    Sample work;
    sample_init(work);
    if (sample_copy(work, source) != STATUS_OK) std::abort();
    state.ResumeTiming();
    const Status st = blocks ? resample_in_blocks(work, to, high) : high ? resample_high(work, to) : resample(work, to);
    if (st != STATUS_OK) state.SkipWithError("resample failed");
    sample_destroy(work);
  }
  sample_destroy(source);
}
BENCHMARK(BM_resample)
    ->ArgsProduct({{44100}, {48000}, {0, 1}, {0, 1}})
    ->ArgsProduct({{48000}, {44100}, {0, 1}, {0, 1}})
    ->ArgsProduct({{96000}, {48000, 44100}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  dsp_init();
  DspFpState fp{};
  dsp().dsp_start(&fp);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  dsp().dsp_finish(&fp);
  return 0;
}
