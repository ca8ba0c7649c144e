#pragma once

// Material and measures shared by the quality benchmarks (curve_quality,
// matching_quality): 48 kHz mono test signals, a peaking EQ, third-octave
// band levels.

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "analysis/profile.h"
#include "analysis/sample.h"

namespace quality {

inline constexpr double kRate = 48000;
inline constexpr size_t kLength = 6 * 48000;
inline constexpr size_t kOnset = 24000;
inline constexpr unsigned kRank = 12;
inline constexpr size_t kTaps = size_t{1} << kRank;

struct Peak {
  double hz, db, q;
};

inline void peak_eq(std::vector<float>& x, const Peak& p) {
  double a = std::pow(10.0, p.db / 40.0), w = 2 * M_PI * p.hz / kRate, alpha = std::sin(w) / (2 * p.q);
  double a0 = 1 + alpha / a, b0 = (1 + alpha * a) / a0, b1 = -2 * std::cos(w) / a0, b2 = (1 - alpha * a) / a0;
  double a2 = (1 - alpha / a) / a0, x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  for (float& v : x) {
    double out = b0 * v + b1 * x1 + b2 * x2 - b1 * y1 - a2 * y2;
    x2 = x1, x1 = v, y2 = y1, y1 = out, v = float(out);
  }
}

inline void resonator(std::vector<float>& x, double hz, double q) { peak_eq(x, Peak{hz, 18, q}); }

// Pink noise (Paul Kellet's filter) of `length` samples, silent before `onset`.
inline std::vector<float> pink_noise(unsigned seed = 1, size_t length = kLength, size_t onset = kOnset) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> d(0, 0.05);
  std::vector<float> x(length, 0.0f);
  double b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0;
  for (size_t i = onset; i < length; ++i) {
    double w = d(gen);
    b0 = 0.99886 * b0 + w * 0.0555179;
    b1 = 0.99332 * b1 + w * 0.0750759;
    b2 = 0.96900 * b2 + w * 0.1538520;
    b3 = 0.86650 * b3 + w * 0.3104856;
    b4 = 0.55000 * b4 + w * 0.5329522;
    b5 = -0.7616 * b5 - w * 0.0168980;
    x[i] = float(b0 + b1 + b2 + b3 + b4 + b5 + b6 + w * 0.5362);
    b6 = w * 0.115926;
  }
  return x;
}

inline Sample mono(const std::vector<float>& x) {
  Sample s;
  sample_init(s);
  if (!sample_allocate(s, 1, x.size(), x.size())) return s;
  s.sample_rate = 48000;
  std::copy(x.begin(), x.end(), s.data);
  return s;
}

// Third-octave band levels (dB of summed squared profile bins), 50 Hz .. 16 kHz.
inline std::vector<double> third_octaves(const Sample& audio) {
  Sample p;
  sample_init(p);
  std::vector<double> bands;
  if (compute_profile(p, audio, kRank) != STATUS_OK) return bands;
  for (double f = 50; f <= 16000 * 1.0001; f *= std::exp2(1.0 / 3)) {
    size_t lo = size_t(std::ceil(f * std::exp2(-1.0 / 6) * kTaps / kRate));
    size_t hi = std::max(lo, size_t(f * std::exp2(1.0 / 6) * kTaps / kRate));
    double e = 0;
    for (size_t k = lo; k <= hi; ++k) e += double(p.data[k]) * p.data[k];
    bands.push_back(10 * std::log10(e + 1e-30));
  }
  sample_destroy(p);
  return bands;
}


}  // namespace quality
