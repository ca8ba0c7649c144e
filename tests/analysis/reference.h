#pragma once

// Double-precision references and small helpers shared by the analysis tests.

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "analysis/sample.h"

namespace reference {

using Complex = std::complex<double>;

// In-place radix-2 FFT of a power-of-two length; inverse scaled by 1/N.
inline void fft(std::vector<Complex>& x, bool inverse) {
  size_t n = x.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(x[i], x[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    double angle = 2 * M_PI / static_cast<double>(len) * (inverse ? 1 : -1);
    for (size_t i = 0; i < n; i += len)
      for (size_t k = 0; k < len / 2; ++k) {
        Complex w = std::polar(1.0, angle * static_cast<double>(k));
        Complex u = x[i + k], v = x[i + k + len / 2] * w;
        x[i + k] = u + v;
        x[i + k + len / 2] = u - v;
      }
  }
  if (inverse)
    for (auto& v : x) v /= static_cast<double>(n);
}

// Full linear convolution by FFT in double precision.
inline std::vector<double> fft_convolve(const std::vector<float>& a, const std::vector<float>& b) {
  size_t out = a.size() + b.size() - 1, n = 1;
  while (n < out) n <<= 1;
  std::vector<Complex> fa(n), fb(n);
  for (size_t i = 0; i < a.size(); ++i) fa[i] = a[i];
  for (size_t i = 0; i < b.size(); ++i) fb[i] = b[i];
  fft(fa, false);
  fft(fb, false);
  for (size_t i = 0; i < n; ++i) fa[i] *= fb[i];
  fft(fa, true);
  std::vector<double> r(out);
  for (size_t i = 0; i < out; ++i) r[i] = fa[i].real();
  return r;
}

inline std::vector<double> direct_convolve(const std::vector<float>& a, const std::vector<float>& b) {
  std::vector<double> r(a.size() + b.size() - 1, 0.0);
  for (size_t i = 0; i < a.size(); ++i)
    for (size_t j = 0; j < b.size(); ++j) r[i + j] += static_cast<double>(a[i]) * b[j];
  return r;
}

inline std::vector<float> noise(size_t n, uint32_t seed, float amplitude = 0.5f) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> d(-amplitude, amplitude);
  std::vector<float> v(n);
  for (auto& x : v) x = d(gen);
  return v;
}

// Largest |got - want| divided by the largest |want|; infinite when a value
// is NaN (std::max would pass over it).
template <class A, class B>
double peak_error(const A& got, const B& want, size_t n) {
  double err = 0, peak = 0;
  for (size_t i = 0; i < n; ++i) {
    double e = std::fabs(static_cast<double>(got[i]) - static_cast<double>(want[i]));
    if (std::isnan(e)) return std::numeric_limits<double>::infinity();
    err = std::max(err, e);
    peak = std::max(peak, std::fabs(static_cast<double>(want[i])));
  }
  return peak > 0 ? err / peak : err;
}

template <class A, class B>
double rms_error(const A& got, const B& want, size_t n) {
  double err = 0, power = 0;
  for (size_t i = 0; i < n; ++i) {
    double d = static_cast<double>(got[i]) - static_cast<double>(want[i]);
    err += d * d;
    power += static_cast<double>(want[i]) * static_cast<double>(want[i]);
  }
  return power > 0 ? std::sqrt(err / power) : std::sqrt(err);
}

// A Sample holding the given rows (all of one length) at `rate`.
inline Sample make_sample(const std::vector<std::vector<float>>& rows, uint64_t rate) {
  Sample s;
  sample_init(s);
  uint64_t n = rows.empty() ? 0 : rows[0].size();
  if (!sample_allocate(s, rows.size(), n, n)) return s;
  s.sample_rate = rate;
  for (size_t c = 0; c < rows.size(); ++c)
    for (size_t i = 0; i < n; ++i) s.data[c * s.stride + i] = rows[c][i];
  return s;
}

inline std::vector<float> row(const Sample& s, uint64_t c) {
  return std::vector<float>(s.data + c * s.stride, s.data + c * s.stride + s.length);
}

}  // namespace reference
