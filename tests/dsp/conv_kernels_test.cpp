#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "dsp/fft_kernels.h"

namespace {

struct Level {
  const char* name;
  void (*transform)(float*, const float*, unsigned);
  void (*block)(float*, float*, const float*, const float*, unsigned);
  void (*apply)(float*, float*, const float*, const float*, unsigned);
  bool supported;
};

std::vector<Level> levels() {
  return {
      {"generic", conv_transform_generic, conv_block_generic, conv_apply_generic, true},
      {"sse2", conv_transform_sse2, conv_block_sse2, conv_apply_sse2, true},
      {"avx", conv_transform_avx, conv_block_avx, conv_apply_avx, __builtin_cpu_supports("avx") != 0},
      {"avx2", conv_transform_avx2, conv_block_avx2, conv_apply_avx2,
       __builtin_cpu_supports("avx2") != 0},
      {"fma", conv_transform_fma, conv_block_fma, conv_apply_fma,
       __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")},
  };
}

std::vector<float> noise(size_t count, unsigned seed) {
  std::mt19937 g(seed);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (float& f : v) f = d(g);
  return v;
}

// Circular convolution of two length-n/2 blocks zero-padded to n.
std::vector<double> circular(const std::vector<float>& a, const std::vector<float>& b, size_t n) {
  std::vector<double> out(n, 0.0);
  for (size_t i = 0; i < a.size(); ++i)
    for (size_t j = 0; j < b.size(); ++j) out[(i + j) % n] += double(a[i]) * b[j];
  return out;
}

TEST(ConvKernels, BlockAndApplyGiveCircularConvolutionAddedToDst) {
  for (const Level& l : levels()) {
    if (!l.supported) continue;
    for (unsigned rank = 2; rank <= 11; ++rank) {
      size_t n = size_t(1) << rank;
      std::vector<float> kernel = noise(n / 2, rank), block = noise(n / 2, 50 + rank);
      std::vector<float> dst0 = noise(n, 90 + rank);
      std::vector<double> want = circular(kernel, block, n);
      std::vector<float> spectrum(2 * n), in_spec(2 * n), scratch(2 * n);
      l.transform(spectrum.data(), kernel.data(), rank);
      std::vector<float> got = dst0;
      l.block(got.data(), scratch.data(), spectrum.data(), block.data(), rank);
      double tol = 1e-6 * std::sqrt(double(n)) * rank;
      for (size_t i = 0; i < n; ++i)
        ASSERT_NEAR(got[i], dst0[i] + want[i], tol) << l.name << " block rank " << rank << " at " << i;
      l.transform(in_spec.data(), block.data(), rank);
      got = dst0;
      l.apply(got.data(), scratch.data(), spectrum.data(), in_spec.data(), rank);
      for (size_t i = 0; i < n; ++i)
        ASSERT_NEAR(got[i], dst0[i] + want[i], tol) << l.name << " apply rank " << rank << " at " << i;
    }
  }
}

// Each level keeps its own spectrum format, so a level is checked against
// the scalar kernels through its own transform, at the large ranks the
// convolver uses and where the direct sums above would be too slow.
TEST(ConvKernels, EveryLevelAgreesWithScalarKernelsUpToRank16) {
  for (unsigned rank = 12; rank <= 16; ++rank) {
    const size_t n = size_t(1) << rank;
    std::vector<float> kernel = noise(n / 2, 7 + rank), block = noise(n / 2, 8 + rank);
    std::vector<float> dst0 = noise(n, 9 + rank);
    std::vector<float> ref_spec(2 * n), scratch(2 * n), ref = dst0;
    conv_transform_generic(ref_spec.data(), kernel.data(), rank);
    conv_block_generic(ref.data(), scratch.data(), ref_spec.data(), block.data(), rank);
    const double tol = 1e-6 * std::sqrt(double(n)) * rank;
    for (const Level& l : levels()) {
      if (!l.supported) continue;
      std::vector<float> spectrum(2 * n), in_spec(2 * n), got = dst0;
      l.transform(spectrum.data(), kernel.data(), rank);
      l.block(got.data(), scratch.data(), spectrum.data(), block.data(), rank);
      for (size_t i = 0; i < n; ++i) ASSERT_NEAR(got[i], ref[i], tol) << l.name << " block rank " << rank << " at " << i;
      l.transform(in_spec.data(), block.data(), rank);
      got = dst0;
      l.apply(got.data(), scratch.data(), spectrum.data(), in_spec.data(), rank);
      for (size_t i = 0; i < n; ++i) ASSERT_NEAR(got[i], ref[i], tol) << l.name << " apply rank " << rank << " at " << i;
    }
  }
}

// The partitioned convolver sums the products of several spectra pairs
// through repeated conv_apply calls into one output; a pure tone at the
// highest and lowest bins checks the bins that pair with themselves.
TEST(ConvKernels, EdgeBinsAndRepeatedAccumulation) {
  const unsigned rank = 10;
  const size_t n = size_t(1) << rank;
  std::vector<float> alt(n / 2), impulse(n / 2, 0.0f), dc(n / 2, 1.0f);
  for (size_t i = 0; i < n / 2; ++i) alt[i] = (i & 1) ? -1.0f : 1.0f;
  impulse[0] = 1.0f;
  for (const Level& l : levels()) {
    if (!l.supported) continue;
    for (const std::vector<float>* sig : {&alt, &dc}) {
      std::vector<double> want = circular(*sig, impulse, n);
      std::vector<float> s_imp(2 * n), s_sig(2 * n), scratch(2 * n), got(n, 0.0f);
      l.transform(s_imp.data(), impulse.data(), rank);
      l.transform(s_sig.data(), sig->data(), rank);
      for (int rep = 0; rep < 3; ++rep) l.apply(got.data(), scratch.data(), s_imp.data(), s_sig.data(), rank);
      for (size_t i = 0; i < n; ++i) ASSERT_NEAR(got[i], 3 * want[i], 1e-5) << l.name << " at " << i;
    }
  }
}

}  // namespace
