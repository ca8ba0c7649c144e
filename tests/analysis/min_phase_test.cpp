#include "analysis/min_phase.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "analysis/ir_synthesis.h"
#include "analysis/mix.h"
#include "analysis/profile.h"
#include "analysis/trim.h"
#include "tests/analysis/reference.h"
#include "tests/support/alloc_fail.h"

namespace {

using namespace reference;

// The cepstral construction in double, straight from its definition.
std::vector<double> reference_minimum_phase(const std::vector<float>& db, size_t n) {
  size_t m = 4 * n;
  std::vector<Complex> x(m);
  for (size_t j = 0; j <= m / 2; ++j) {
    size_t k = j / 4;
    double f = double(j % 4) / 4, v = db[k] + (f > 0 ? f * (db[k + 1] - db[k]) : 0.0);
    x[j] = v * std::log(10.0) / 20;
    if (j > 0 && j < m / 2) x[m - j] = x[j];
  }
  fft(x, true);
  for (size_t j = 1; j < m; ++j) x[j] = j < m / 2 ? 2.0 * x[j].real() : (j == m / 2 ? x[j].real() : 0.0);
  x[0] = x[0].real();
  fft(x, false);
  for (Complex& v : x) v = std::exp(v);
  fft(x, true);
  std::vector<double> taps(n);
  for (size_t t = 0; t < n; ++t) {
    double a = M_PI * double(t) / double(n);
    taps[t] = x[t].real() * (0.3635819 + 0.4891775 * std::cos(a) + 0.1365995 * std::cos(2 * a) +
                             0.0106411 * std::cos(3 * a));
  }
  return taps;
}

// A smooth curve with a tilt, a broad bump and a dip.
std::vector<float> smooth_curve(size_t n) {
  std::vector<float> db(n / 2 + 1);
  for (size_t k = 0; k <= n / 2; ++k) {
    double x = double(k) / double(n / 2);
    db[k] = float(-6 * x + 9 * std::exp(-std::pow((x - 0.1) / 0.05, 2)) - 12 * std::exp(-std::pow((x - 0.5) / 0.1, 2)));
  }
  return db;
}

// Rank 15 runs the 2^17-point transforms, above the table's largest, through
// the split.
TEST(MinPhase, MatchesDoubleCepstrum) {
  for (unsigned rank : {8u, 12u, 15u}) {
    size_t n = size_t{1} << rank;
    std::vector<float> db = smooth_curve(n), taps(n, 7.0f);
    ASSERT_EQ(minimum_phase_filter(taps.data(), db.data(), rank), STATUS_OK);
    EXPECT_LT(rms_error(taps, reference_minimum_phase(db, n), n), 1e-4) << rank;
  }
}

TEST(MinPhase, FailureLeavesTapsAlone) {
  std::vector<float> db = smooth_curve(256);
  for_each_alloc_failure([&] {
    std::vector<float> taps(256, 3.0f);
    Status st = minimum_phase_filter(taps.data(), db.data(), 8);
    if (alloc_failure_hit()) {
      EXPECT_EQ(st, STATUS_NO_MEMORY);
      EXPECT_EQ(taps[0], 3.0f);
      EXPECT_EQ(taps[255], 3.0f);
    }
  });
}

// RBJ peaking filter in double.
std::vector<float> peak_eq(const std::vector<float>& x, double hz, double gain_db, double q) {
  double a = std::pow(10.0, gain_db / 40.0), w = 2 * M_PI * hz / 48000.0, alpha = std::sin(w) / (2 * q);
  double a0 = 1 + alpha / a, b0 = (1 + alpha * a) / a0, b1 = -2 * std::cos(w) / a0, b2 = (1 - alpha * a) / a0;
  double a2 = (1 - alpha / a) / a0, x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  std::vector<float> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    double out = b0 * x[i] + b1 * x1 + b2 * x2 - b1 * y1 - a2 * y2;
    x2 = x1, x1 = x[i], y2 = y1, y1 = out, y[i] = float(out);
  }
  return y;
}

// Filters of both phases for noise against the same noise through a known
// EQ: a smooth curve, so the window's smear does not matter.
struct Pair {
  Sample input, linear, minimum;
  Pair(unsigned rank, uint32_t seed) {
    size_t n = size_t{1} << rank;
    input = make_sample({noise(8 * n, seed)}, 48000);
    std::vector<float> coloured = peak_eq(peak_eq(row(input, 0), 200, 8, 1), 5000, -10, 0.8);
    Sample target = make_sample({coloured}, 48000), ref, tgt;
    sample_init(ref);
    sample_init(tgt);
    sample_init(linear);
    sample_init(minimum);
    EXPECT_EQ(compute_profile(ref, input, rank), STATUS_OK);
    EXPECT_EQ(compute_profile(tgt, target, rank), STATUS_OK);
    CurveSettings s;
    curve_settings_init(s, 251.18864f);
    EXPECT_EQ(synthesize_ir_shaped(linear, ref, tgt, rank, s, nullptr), STATUS_OK);
    s.minimum_phase = true;
    EXPECT_EQ(synthesize_ir_shaped(minimum, ref, tgt, rank, s, nullptr), STATUS_OK);
    for (Sample* x : {&target, &ref, &tgt}) sample_destroy(*x);
  }
  ~Pair() {
    for (Sample* x : {&input, &linear, &minimum}) sample_destroy(*x);
  }
};

// Sixth-octave averages of the response in dB, 100 Hz .. 10 kHz.
std::vector<double> sixth_octaves(const Sample& ir) {
  size_t n = ir.length;
  std::vector<Complex> x(ir.data, ir.data + n);
  fft(x, false);
  std::vector<double> bands;
  for (double f = 100; f <= 10000; f *= std::exp2(1.0 / 6)) {
    size_t lo = size_t(std::ceil(f * std::exp2(-1.0 / 12) * double(n) / 48000));
    size_t hi = size_t(f * std::exp2(1.0 / 12) * double(n) / 48000);
    double sum = 0;
    for (size_t k = lo; k <= hi; ++k) sum += 20 * std::log10(std::abs(x[k]));
    bands.push_back(hi >= lo ? sum / double(hi - lo + 1) : 20 * std::log10(std::abs(x[lo])));
  }
  return bands;
}

// Share of the energy more than 1 ms (48 taps) before the largest tap.
double pre_peak_energy(const Sample& ir) {
  const float* h = ir.data;
  size_t peak = 0;
  double total = 0, early = 0;
  for (size_t t = 0; t < ir.length; ++t) {
    if (std::fabs(h[t]) > std::fabs(h[peak])) peak = t;
    total += double(h[t]) * h[t];
  }
  for (size_t t = 0; t + 48 < peak; ++t) early += double(h[t]) * h[t];
  return early / total;
}

TEST(MinPhase, KeepsTheMagnitudeAndMovesTheEnergyForward) {
  for (unsigned rank : {12u, 16u}) {
    Pair p(rank, 30 + rank);
    std::vector<double> lin = sixth_octaves(p.linear), min = sixth_octaves(p.minimum);
    for (size_t b = 0; b < lin.size(); ++b) ASSERT_NEAR(min[b], lin[b], 0.5) << rank << " band " << b;
    EXPECT_LT(pre_peak_energy(p.minimum), 0.05) << rank;
    EXPECT_EQ(p.minimum.length, size_t{1} << rank);
  }
}

// Output against input: the cross-correlation peaks where the filter lines
// up with the input; after latency compensation and length matching that
// must be lag 0 (or 1, for a peak between taps). The dry path alone must
// give the input back sample for sample.
TEST(MinPhase, MixAndLatencyCompensationStayAligned) {
  Pair p(12, 40);
  const uint64_t b = p.input.length;
  for (bool minimum : {false, true}) {
    const Sample& raw = minimum ? p.minimum : p.linear;
    for (TrimSettings trim : {TrimSettings{0, 0, 0, 0}, TrimSettings{minimum ? 0.0f : 30.0f, 40, 0, 10}}) {
      Sample ir, out;
      sample_init(ir);
      sample_init(out);
      int64_t latency = 0;
      ASSERT_EQ(trim_ir_from(ir, latency, raw, trim, minimum ? 0 : raw.length / 2), STATUS_OK);
      for (int pass = 0; pass < 2; ++pass) {
        ASSERT_EQ(convolve_mix(out, p.input, ir, latency, pass == 0 ? 0.0f : 1.0f, pass == 0 ? 1.0f : 0.0f),
                  STATUS_OK);
        compensate_latency(out, latency);
        ASSERT_TRUE(sample_resize(out, 1, b, b));
        if (pass == 1) {
          for (uint64_t t = 0; t < b; ++t) ASSERT_EQ(out.data[t], p.input.data[t]) << minimum << " " << t;
          continue;
        }
        int best = 0;
        double best_value = -1;
        for (int lag = -100; lag <= 100; ++lag) {
          double sum = 0;
          for (uint64_t t = 200; t + 200 < b; ++t) sum += double(out.data[t + lag]) * p.input.data[t];
          if (std::fabs(sum) > best_value) best_value = std::fabs(sum), best = lag;
        }
        EXPECT_LE(std::abs(best), 1) << "minimum " << minimum << " head " << trim.head_cut;
      }
      sample_destroy(ir);
      sample_destroy(out);
    }
  }
}

}  // namespace
