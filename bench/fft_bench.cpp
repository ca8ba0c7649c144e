// Timing of the transform kernels per instruction-set level, and, when
// FFTW is available, of FFTW's single-precision in-place complex transform
// with an FFTW_MEASURE plan as the comparator.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "dsp/fft_kernels.h"

#ifdef TIMBRAL_HAVE_FFTW
#include <fftw3.h>
#endif

namespace {

struct Level {
  const char* name;
  void (*forward)(float*, const float*, unsigned);
  void (*inverse)(float*, const float*, unsigned);
  void (*transform)(float*, const float*, unsigned);
  void (*block)(float*, float*, const float*, const float*, unsigned);
  void (*apply)(float*, float*, const float*, const float*, unsigned);
  bool supported;
};

const Level kLevels[] = {
    {"generic", fft_forward_generic, fft_inverse_generic, conv_transform_generic, conv_block_generic,
     conv_apply_generic, true},
    {"sse2", fft_forward_sse2, fft_inverse_sse2, conv_transform_sse2, conv_block_sse2, conv_apply_sse2,
     true},
    {"avx", fft_forward_avx, fft_inverse_avx, conv_transform_avx, conv_block_avx, conv_apply_avx,
     __builtin_cpu_supports("avx") != 0},
    {"avx2", fft_forward_avx2, fft_inverse_avx2, conv_transform_avx2, conv_block_avx2, conv_apply_avx2,
     __builtin_cpu_supports("avx2") != 0},
    {"fma", fft_forward_fma, fft_inverse_fma, conv_transform_fma, conv_block_fma, conv_apply_fma,
     __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")},
};

float* block_of(size_t floats) {
  float* p = static_cast<float*>(std::aligned_alloc(64, (floats * sizeof(float) + 63) / 64 * 64));
  for (size_t i = 0; i < floats; ++i) p[i] = float((i * 7919) % 1000) * 0.001f - 0.5f;
  return p;
}

void run_fft(benchmark::State& st, const Level* l, bool inverse) {
  unsigned rank = unsigned(st.range(0));
  size_t n = size_t(1) << rank;
  float* src = block_of(2 * n);
  float* dst = block_of(2 * n);
  for (auto _ : st) {
    (inverse ? l->inverse : l->forward)(dst, src, rank);
    benchmark::DoNotOptimize(dst);
  }
  std::free(src);
  std::free(dst);
}

void run_conv(benchmark::State& st, const Level* l, int which) {
  unsigned rank = unsigned(st.range(0));
  size_t n = size_t(1) << rank;
  float* src = block_of(n / 2);
  float* spectrum = block_of(2 * n);
  float* in_spec = block_of(2 * n);
  float* scratch = block_of(2 * n);
  float* dst = block_of(n);
  l->transform(spectrum, src, rank);
  l->transform(in_spec, src, rank);
  for (auto _ : st) {
    if (which == 0) l->transform(scratch, src, rank);
    if (which == 1) l->block(dst, scratch, spectrum, src, rank);
    if (which == 2) l->apply(dst, scratch, spectrum, in_spec, rank);
    benchmark::DoNotOptimize(dst);
  }
  for (float* p : {src, spectrum, in_spec, scratch, dst}) std::free(p);
}

#ifdef TIMBRAL_HAVE_FFTW
void run_fftw(benchmark::State& st) {
  unsigned rank = unsigned(st.range(0));
  int n = 1 << rank;
  fftwf_complex* buf = fftwf_alloc_complex(size_t(n));
  fftwf_plan plan = fftwf_plan_dft_1d(n, buf, buf, FFTW_FORWARD, FFTW_MEASURE);
  std::memset(buf, 0, sizeof(fftwf_complex) * size_t(n));
  for (auto _ : st) {
    fftwf_execute(plan);
    benchmark::DoNotOptimize(buf);
  }
  fftwf_destroy_plan(plan);
  fftwf_free(buf);
}
#endif

int register_all() {
  fft_tables_init();
  for (const Level& l : kLevels) {
    if (!l.supported) continue;
    std::string n = l.name;
    benchmark::RegisterBenchmark(("fft_forward/" + n).c_str(), run_fft, &l, false)->DenseRange(8, 16);
    benchmark::RegisterBenchmark(("fft_inverse/" + n).c_str(), run_fft, &l, true)->DenseRange(8, 16);
    benchmark::RegisterBenchmark(("conv_transform/" + n).c_str(), run_conv, &l, 0)->DenseRange(8, 16);
    benchmark::RegisterBenchmark(("conv_block/" + n).c_str(), run_conv, &l, 1)->DenseRange(8, 16);
    benchmark::RegisterBenchmark(("conv_apply/" + n).c_str(), run_conv, &l, 2)->DenseRange(8, 16);
  }
#ifdef TIMBRAL_HAVE_FFTW
  benchmark::RegisterBenchmark("fftw_measure", run_fftw)->DenseRange(8, 16);
#endif
  return 0;
}

const int registered = register_all();

}  // namespace

BENCHMARK_MAIN();
