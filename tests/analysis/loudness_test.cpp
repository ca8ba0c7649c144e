#include "analysis/loudness.h"

#include <cstring>

#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/integrated_meter.h"

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

// The meter's own path gives libebur128's integrated loudness bit for bit:
// rates whose ring of filtered values holds four hops and one that holds
// five (44104 Hz), channel counts with every weight of the default map, fed
// in calls of many sizes, over signals that cross both gates (and silence,
// which none passes).
TEST(Loudness, OwnMeterEqualsTheLibraryBitForBit) {
  struct Case {
    uint64_t rate, channels, frames, call;
    double quiet;  // level of the stretches between the loud ones
  } cases[] = {
      {48000, 2, 100000, 4096, 0.003},  {44100, 1, 70000, 1000, 1e-5}, {44104, 2, 90000, 4096, 0.01},
      {96000, 5, 130000, 65536, 0.002}, {8000, 6, 30000, 1, 0.003},    {22050, 3, 40000, 777, 0.0},
      {48000, 4, 60000, 4097, 0.0005},  {48000, 2, 30000, 4096, -1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " channels, calls of " << c.call);
    std::mt19937 gen(uint32_t(c.rate + c.channels));
    std::normal_distribution<double> d(0.0, 0.25);
    std::vector<std::vector<float>> rows(c.channels, std::vector<float>(c.frames));
    for (uint64_t ch = 0; ch < c.channels; ++ch) {
      for (uint64_t i = 0; i < c.frames; ++i) {
        const double t = double(i) / double(c.rate);
        const double level = c.quiet < 0.0 ? 0.0 : std::fmod(t + 0.1 * double(ch), 1.1) < 0.6 ? 1.0 : c.quiet;
        rows[ch][i] = float(level * (d(gen) + 0.5 * std::sin(2 * M_PI * 90.0 * double(ch + 1) * t)));
      }
    }
    IntegratedMeter own, lib;
    ASSERT_EQ(integrated_meter_start(own, c.rate, c.channels), STATUS_OK);
    ASSERT_EQ(integrated_meter_start_library(lib, c.rate, c.channels), STATUS_OK);
    EXPECT_TRUE(integrated_meter_own(own));
    EXPECT_FALSE(integrated_meter_own(lib));
    std::vector<const float*> at(c.channels);
    for (uint64_t from = 0; from < c.frames; from += c.call) {
      const uint64_t n = std::min(c.call, c.frames - from);
      for (uint64_t ch = 0; ch < c.channels; ++ch) at[ch] = rows[ch].data() + from;
      ASSERT_EQ(integrated_meter_add(own, at.data(), n), STATUS_OK);
      ASSERT_EQ(integrated_meter_add(lib, at.data(), n), STATUS_OK);
      if (from % (8 * c.call) == 0 || from + n == c.frames) {
        double x = 0.0, y = 1.0;
        ASSERT_EQ(integrated_meter_result(own, &x), STATUS_OK);
        ASSERT_EQ(integrated_meter_result(lib, &y), STATUS_OK);
        EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0) << x << " against " << y << " after " << from + n;
        if (c.quiet < 0.0) {
          EXPECT_EQ(x, -HUGE_VAL);
        }
      }
    }
    integrated_meter_release(own);
    integrated_meter_release(lib);
  }
  IntegratedMeter m;
  EXPECT_EQ(integrated_meter_start(m, 0, 2), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(integrated_meter_start(m, 48000, 0), STATUS_BAD_ARGUMENT);
  const float* none[1] = {nullptr};
  EXPECT_EQ(integrated_meter_add(m, none, 0), STATUS_INVALID);
  std::vector<float> x = noise(50000, 3);
  const float* row[1] = {x.data()};
  for_each_alloc_failure([&] {
    IntegratedMeter f;
    double lufs = 7.0;
    Status st = integrated_meter_start(f, 44100, 1);
    if (st == STATUS_OK) st = integrated_meter_add(f, row, x.size());
    if (st == STATUS_OK) st = integrated_meter_result(f, &lufs);
    if (st != STATUS_OK) {
      EXPECT_EQ(st, STATUS_NO_MEMORY);
      EXPECT_EQ(lufs, 7.0);
    } else {
      EXPECT_TRUE(std::isfinite(lufs));
    }
    integrated_meter_release(f);
  });
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
