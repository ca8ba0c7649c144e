#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace test_support {

// Largest interpolated peak of the first `frames` frames of any channel,
// dBTP, as a meter sees them whose resampler primes its filter with the
// signal mirrored about the first frame (x[-k] = x[k]; ffmpeg's does): a
// Kaiser-windowed sinc (beta 9) over 32 frames on either side, 4x.
inline double mirrored_start_peak_db(const std::vector<std::vector<float>>& x, size_t frames) {
  auto i0 = [](double z) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 40; ++k) {
      term *= (z / 2 / k) * (z / 2 / k);
      sum += term;
    }
    return sum;
  };
  const int half = 32;
  double peak = 0.0;
  for (const auto& row : x) {
    const int64_t len = int64_t(row.size());
    auto at = [&](int64_t n) {
      if (n < 0) n = -n;
      return n < len ? double(row[size_t(n)]) : 0.0;
    };
    for (int64_t i = 0; i < int64_t(frames) && i < len; ++i) {
      for (int q = 0; q < 4; ++q) {
        const double t = double(i) + q / 4.0;
        double acc = 0.0;
        for (int64_t n = i - half + 1; n <= i + half; ++n) {
          const double u = t - double(n), r = u / half;
          const double w = i0(9.0 * std::sqrt(std::max(0.0, 1.0 - r * r))) / i0(9.0);
          acc += at(n) * (u == 0.0 ? 1.0 : std::sin(M_PI * u) / (M_PI * u)) * w;
        }
        peak = std::max(peak, std::fabs(acc));
      }
    }
  }
  return 20.0 * std::log10(peak);
}

}  // namespace test_support
