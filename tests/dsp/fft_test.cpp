#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "dsp/fft_kernels.h"

namespace {

using Fn = void (*)(float*, const float*, unsigned);
using cd = std::complex<double>;

struct Level {
  const char* name;
  Fn forward;
  Fn inverse;
  bool supported;
};

std::vector<Level> levels() {
  return {
      {"generic", fft_forward_generic, fft_inverse_generic, true},
      {"sse2", fft_forward_sse2, fft_inverse_sse2, __builtin_cpu_supports("sse2") != 0},
      {"avx", fft_forward_avx, fft_inverse_avx, __builtin_cpu_supports("avx") != 0},
      {"avx2", fft_forward_avx2, fft_inverse_avx2, __builtin_cpu_supports("avx2") != 0},
      {"fma", fft_forward_fma, fft_inverse_fma,
       __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")},
  };
}

// Reference transform in double: a direct DFT for small sizes, a recursive
// radix-2 FFT with exact twiddles otherwise.
void reference(std::vector<cd>& x, double sign) {
  size_t n = x.size();
  if (n <= 16) {
    std::vector<cd> y(n);
    for (size_t k = 0; k < n; ++k)
      for (size_t m = 0; m < n; ++m)
        y[k] += x[m] * std::polar(1.0, sign * 2 * M_PI * double(k * m % n) / double(n));
    x = y;
    return;
  }
  std::vector<cd> e(n / 2), o(n / 2);
  for (size_t i = 0; i < n / 2; ++i) e[i] = x[2 * i], o[i] = x[2 * i + 1];
  reference(e, sign);
  reference(o, sign);
  for (size_t k = 0; k < n / 2; ++k) {
    cd t = o[k] * std::polar(1.0, sign * 2 * M_PI * double(k) / double(n));
    x[k] = e[k] + t;
    x[k + n / 2] = e[k] - t;
  }
}

std::vector<float> noise(size_t count, unsigned seed) {
  std::mt19937 g(seed);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (float& f : v) f = d(g);
  return v;
}

double rel_rms(const std::vector<float>& got, const std::vector<cd>& want) {
  double err = 0, ref = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    err += std::norm(cd(got[2 * i], got[2 * i + 1]) - want[i]);
    ref += std::norm(want[i]);
  }
  return std::sqrt(err / (ref > 0 ? ref : 1));
}

const double kEps = 1.1920929e-7;

TEST(FftKernels, ForwardAndInverseMatchDoubleReferenceForRanks0To16) {
  for (const Level& l : levels()) {
    if (!l.supported) continue;
    for (unsigned rank = 0; rank <= 16; ++rank) {
      size_t n = size_t(1) << rank;
      std::vector<float> in = noise(2 * n, rank + 1), out(2 * n);
      std::vector<cd> want(n);
      for (size_t i = 0; i < n; ++i) want[i] = cd(in[2 * i], in[2 * i + 1]);
      reference(want, -1);
      l.forward(out.data(), in.data(), rank);
      EXPECT_LT(rel_rms(out, want), 3 * kEps * (rank + 1)) << l.name << " forward rank " << rank;
      // Inverse of the reference spectrum, in place.
      std::vector<float> spectrum(2 * n);
      for (size_t i = 0; i < n; ++i) spectrum[2 * i] = float(want[i].real()), spectrum[2 * i + 1] = float(want[i].imag());
      l.inverse(spectrum.data(), spectrum.data(), rank);
      std::vector<cd> orig(n);
      for (size_t i = 0; i < n; ++i) orig[i] = cd(in[2 * i], in[2 * i + 1]);
      EXPECT_LT(rel_rms(spectrum, orig), 3 * kEps * (rank + 1)) << l.name << " inverse rank " << rank;
    }
  }
}

TEST(FftKernels, RoundTripInPlaceAndOutOfPlaceIsFloatPrecise) {
  for (const Level& l : levels()) {
    if (!l.supported) continue;
    for (unsigned rank = 2; rank <= 16; ++rank) {
      size_t n = size_t(1) << rank;
      std::vector<float> in = noise(2 * n, 100 + rank), buf = in, tmp(2 * n);
      l.forward(buf.data(), buf.data(), rank);
      l.inverse(tmp.data(), buf.data(), rank);
      double worst = 0;
      for (size_t i = 0; i < 2 * n; ++i) worst = std::fmax(worst, std::fabs(tmp[i] - in[i]));
      EXPECT_LT(worst, 8 * kEps * rank) << l.name << " rank " << rank;
    }
  }
}

// Buffers need no alignment: rows start anywhere, and the vector levels
// must give the scalar result from odd float offsets as well, in place
// and out of place, on both sides of the cache-blocking size.
TEST(FftKernels, UnalignedBuffersMatchScalarTransform) {
  for (const Level& l : levels()) {
    if (!l.supported) continue;
    for (unsigned rank : {6u, 9u, 13u}) {
      size_t n = size_t(1) << rank;
      std::vector<float> in = noise(2 * n, 300 + rank), want(2 * n);
      fft_forward_generic(want.data(), in.data(), rank);
      std::vector<float> src(2 * n + 3), dst(2 * n + 5);
      std::copy(in.begin(), in.end(), src.begin() + 3);
      l.forward(dst.data() + 5, src.data() + 3, rank);
      l.forward(src.data() + 3, src.data() + 3, rank);
      double scale = std::sqrt(double(n));
      for (size_t i = 0; i < 2 * n; ++i) {
        ASSERT_NEAR(dst[5 + i], want[i], 1e-5 * scale) << l.name << " rank " << rank << " at " << i;
        ASSERT_NEAR(src[3 + i], want[i], 1e-5 * scale) << l.name << " in place, rank " << rank;
      }
    }
  }
}

TEST(FftKernels, ImpulseConstantAndCosine) {
  for (const Level& l : levels()) {
    if (!l.supported) continue;
    for (unsigned rank : {0u, 1u, 2u, 3u, 5u, 8u, 12u}) {
      size_t n = size_t(1) << rank;
      std::vector<float> x(2 * n, 0.0f), y(2 * n);
      x[0] = 1;
      l.forward(y.data(), x.data(), rank);
      for (size_t k = 0; k < n; ++k) {
        EXPECT_NEAR(y[2 * k], 1.0f, 1e-6) << l.name;
        EXPECT_NEAR(y[2 * k + 1], 0.0f, 1e-6) << l.name;
      }
      for (size_t m = 0; m < n; ++m) x[2 * m] = 1, x[2 * m + 1] = 0;
      l.forward(x.data(), x.data(), rank);
      for (size_t k = 0; k < n; ++k) {
        EXPECT_NEAR(x[2 * k], k == 0 ? float(n) : 0.0f, 1e-5 * n) << l.name;
        EXPECT_NEAR(x[2 * k + 1], 0.0f, 1e-5 * n) << l.name;
      }
      if (rank < 2) continue;
      for (size_t m = 0; m < n; ++m) x[2 * m] = float(std::cos(2 * M_PI * m / n)), x[2 * m + 1] = 0;
      l.forward(y.data(), x.data(), rank);
      for (size_t k = 0; k < n; ++k) {
        float want = (k == 1 || k == n - 1) ? float(n) / 2 : 0.0f;
        EXPECT_NEAR(y[2 * k], want, 1e-5 * n) << l.name << " rank " << rank << " bin " << k;
        EXPECT_NEAR(y[2 * k + 1], 0.0f, 1e-5 * n) << l.name;
      }
    }
  }
}

}  // namespace
