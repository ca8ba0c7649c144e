#include "analysis/loudness.h"

#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "tests/analysis/reference.h"
#include "tests/support/alloc_fail.h"

namespace {

using namespace reference;

constexpr uint64_t kRate = 48000;

std::vector<float> sine(size_t n, double freq, double amplitude, double phase = 0.0) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = float(amplitude * std::sin(2 * M_PI * freq * double(i) / double(kRate) + phase));
  return v;
}

// Noise shaped like speech at the level of the loudness meter: low-passed,
// with syllables (a 4 Hz envelope) and pauses between phrases.
std::vector<float> speech_like(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> d(0.0, 0.2);
  std::vector<float> v(n);
  double lp = 0.0;
  for (size_t i = 0; i < n; ++i) {
    lp += 0.15 * (d(gen) - lp);
    double t = double(i) / double(kRate);
    double syllable = 0.5 + 0.5 * std::sin(2 * M_PI * 4.0 * t);
    double phrase = std::fmod(t, 3.0) < 2.4 ? 1.0 : 0.02;
    v[i] = float(lp * syllable * phrase);
  }
  return v;
}

// Largest magnitude of the signal interpolated at four points per sample
// (windowed sinc over +-64 samples): the true peak, measured independently
// of libebur128's own polyphase filter.
double oversampled_peak_db(const std::vector<float>& x) {
  const int taps = 64;
  double peak = 0.0;
  for (size_t t = 0; t < x.size(); ++t) {
    for (int k = 0; k < 4; ++k) {
      double pos = double(t) + k / 4.0, acc = 0.0;
      for (int j = -taps; j <= taps; ++j) {
        int64_t n = int64_t(t) + j;
        if (n < 0 || n >= int64_t(x.size())) continue;
        double u = pos - double(n);
        double sinc = u == 0.0 ? 1.0 : std::sin(M_PI * u) / (M_PI * u);
        double w = 0.5 + 0.5 * std::cos(M_PI * u / (taps + 1));
        acc += x[size_t(n)] * sinc * w;
      }
      peak = std::max(peak, std::fabs(acc));
    }
  }
  return 20.0 * std::log10(peak);
}

// The reference level of BS.1770: a 997 Hz sine at -20 dBFS reads -23.0
// LUFS on one channel and 3 dB more on two. Tolerance 0.1 LU, the
// compliance margin EBU Tech 3341 gives meters.
TEST(Loudness, ReferenceSineMonoAndStereo) {
  std::vector<float> s = sine(10 * kRate, 997.0, 0.1);
  Sample mono = make_sample({s}, kRate), stereo = make_sample({s, s}, kRate);
  LoudnessMeasure m{};
  ASSERT_EQ(measure_loudness(mono, &m), STATUS_OK);
  EXPECT_NEAR(m.integrated_lufs, -23.0, 0.1);
  EXPECT_NEAR(m.sample_peak_db, -20.0, 0.01);
  EXPECT_NEAR(m.true_peak_db, -20.0, 0.1);
  ASSERT_EQ(measure_loudness(stereo, &m), STATUS_OK);
  EXPECT_NEAR(m.integrated_lufs, -20.0, 0.1);
  sample_destroy(mono);
  sample_destroy(stereo);
}

TEST(Loudness, SilenceIsUnmeasurableAndNeverScaled) {
  Sample quiet = make_sample({std::vector<float>(2 * kRate, 0.0f)}, kRate);
  LoudnessMeasure m{};
  ASSERT_EQ(measure_loudness(quiet, &m), STATUS_OK);
  EXPECT_TRUE(std::isnan(m.integrated_lufs));
  EXPECT_TRUE(std::isinf(m.true_peak_db) && m.true_peak_db < 0);
  LoudnessGain g = loudness_gain(m, -16.0, -1.0);
  EXPECT_TRUE(g.unmeasurable);
  EXPECT_EQ(g.gain_db, 0.0);
  g = loudness_gain(m, NAN, -1.0);
  EXPECT_EQ(g.gain_db, 0.0);

  // Below the absolute gate (-70 LUFS) there is no gated block either.
  Sample faint = make_sample({sine(2 * kRate, 997.0, 1e-5)}, kRate);
  ASSERT_EQ(measure_loudness(faint, &m), STATUS_OK);
  EXPECT_TRUE(std::isnan(m.integrated_lufs));
  EXPECT_TRUE(loudness_gain(m, -16.0, NAN).unmeasurable);
  sample_destroy(quiet);
  sample_destroy(faint);

  Sample none;
  sample_init(none);
  EXPECT_EQ(measure_loudness(none, &m), STATUS_BAD_ARGUMENT);
}

TEST(Loudness, TargetIsReachedOnSpeechLikeNoise) {
  Sample s = make_sample({speech_like(20 * kRate, 3), speech_like(20 * kRate, 4)}, kRate);
  LoudnessMeasure m{};
  ASSERT_EQ(measure_loudness(s, &m), STATUS_OK);
  LoudnessGain g = loudness_gain(m, -16.0, NAN);
  EXPECT_FALSE(g.ceiling_limited);
  loudness_apply_gain(s, g.gain_db);
  ASSERT_EQ(measure_loudness(s, &m), STATUS_OK);
  EXPECT_NEAR(m.integrated_lufs, -16.0, 0.1);
  sample_destroy(s);
}

// A sine at a quarter of the rate, sampled 45 degrees off its crests, peaks
// 3 dB above its samples. Asking for a loud target under a -1 dBTP ceiling
// must give way to the ceiling, which then holds on the oversampled output.
// The added noise is low-passed: BS.1770's interpolation filter (and so
// libebur128) deliberately ignores content next to the Nyquist frequency,
// which an ideal interpolator would count.
TEST(Loudness, CeilingHoldsBetweenSamples) {
  std::vector<float> x = sine(kRate, kRate / 4.0, 0.5, M_PI / 4);
  std::vector<float> n = speech_like(kRate, 9);
  for (size_t i = 0; i < x.size(); ++i) x[i] += n[i];
  Sample s = make_sample({x}, kRate);
  LoudnessMeasure m{};
  ASSERT_EQ(measure_loudness(s, &m), STATUS_OK);
  EXPECT_GT(m.true_peak_db - m.sample_peak_db, 1.5);  // inter-sample peaks

  LoudnessGain g = loudness_gain(m, m.integrated_lufs + 12.0, -1.0);
  EXPECT_TRUE(g.ceiling_limited);
  EXPECT_NEAR(g.target_missed_lu, 12.0 - g.gain_db, 1e-9);
  EXPECT_GT(g.target_missed_lu, 0.0);
  loudness_apply_gain(s, g.gain_db);
  double tp = oversampled_peak_db(row(s, 0));
  EXPECT_LE(tp, -1.0 + 0.1);
  EXPECT_GT(tp, -1.0 - 0.2);  // the gain did not overshoot downwards either
  ASSERT_EQ(measure_loudness(s, &m), STATUS_OK);
  EXPECT_NEAR(m.true_peak_db, -1.0, 1e-6);
  sample_destroy(s);
}

TEST(Loudness, GainRules) {
  LoudnessMeasure m{-20.0, -3.0, -4.0};
  LoudnessGain g = loudness_gain(m, -14.0, NAN);  // target only: no ceiling to respect
  EXPECT_DOUBLE_EQ(g.gain_db, 6.0);
  EXPECT_FALSE(g.ceiling_limited);
  g = loudness_gain(m, -14.0, -1.0);  // -3 + 6 > -1: limited to +2, 4 LU short
  EXPECT_DOUBLE_EQ(g.gain_db, 2.0);
  EXPECT_TRUE(g.ceiling_limited);
  EXPECT_DOUBLE_EQ(g.target_missed_lu, 4.0);
  g = loudness_gain(m, -23.0, -1.0);  // turning down never meets the ceiling
  EXPECT_DOUBLE_EQ(g.gain_db, -3.0);
  EXPECT_FALSE(g.ceiling_limited);
  g = loudness_gain(m, NAN, -6.0);  // ceiling alone scales down
  EXPECT_DOUBLE_EQ(g.gain_db, -3.0);
  EXPECT_TRUE(g.ceiling_limited);
  g = loudness_gain(m, NAN, 0.0);  // ... and never up
  EXPECT_EQ(g.gain_db, 0.0);
  EXPECT_FALSE(g.ceiling_limited);
  g = loudness_gain(m, NAN, NAN);
  EXPECT_EQ(g.gain_db, 0.0);
  // A short click has no gated block but is not silent: the ceiling holds.
  LoudnessMeasure click{NAN, 2.0, 1.5};
  g = loudness_gain(click, NAN, -1.0);
  EXPECT_DOUBLE_EQ(g.gain_db, -3.0);
  EXPECT_FALSE(g.unmeasurable);
}

TEST(Loudness, GainIsAppliedToEveryChannelWithinTheLength) {
  Sample s = make_sample({std::vector<float>(100, 0.5f), std::vector<float>(100, -0.25f)}, kRate);
  s.data[s.length] = 7.0f;  // padding past the length is not audio
  loudness_apply_gain(s, -6.020599913279624);
  EXPECT_NEAR(s.data[0], 0.25f, 1e-6f);
  EXPECT_NEAR(s.data[s.stride + 99], -0.125f, 1e-6f);
  EXPECT_EQ(s.data[s.length], 7.0f);
  float before = s.data[5];
  loudness_apply_gain(s, 0.0);
  EXPECT_EQ(s.data[5], before);
  sample_destroy(s);
}

TEST(Loudness, AllocationFailureLeavesResultUnwritten) {
  Sample s = make_sample({noise(30000, 1), noise(30000, 2)}, kRate);
  for_each_alloc_failure([&] {
    LoudnessMeasure m{1.0, 2.0, 3.0};
    Status st = measure_loudness(s, &m);
    // Without memory for its helper threads the measure runs on the
    // calling thread alone and succeeds; any other failure leaves m alone.
    if (st != STATUS_OK) {
      EXPECT_TRUE(alloc_failure_hit());
      EXPECT_EQ(st, STATUS_NO_MEMORY);
      EXPECT_EQ(m.integrated_lufs, 1.0);
    }
  });
  sample_destroy(s);
}

}  // namespace
