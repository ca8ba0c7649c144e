#include "analysis/curve_shape.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/analysis/reference.h"

namespace {

using namespace reference;

TEST(CurveShape, ClampKeepsBitsInsideAndCountsTheRest) {
  const float cap = 3.0f;
  float ratio[] = {0.5f, 2.9999998f, 1.0f / 3.0f, 0.3f, 7.0f, INFINITY, NAN, NAN, 0.0f, 1e-30f};
  const float target[] = {1, 1, 1, 1, 1, 1, 0, 2, 0, 1};
  float before[10];
  std::memcpy(before, ratio, sizeof ratio);
  uint64_t counted = clamp_ratios(ratio, target, 10, 8, cap);
  const float floor_gain = 1.0f / cap;
  const float want[] = {0.5f, 2.9999998f, 1.0f / 3.0f, floor_gain, cap, cap, 1.0f, cap, floor_gain, floor_gain};
  for (int k = 0; k < 3; ++k) EXPECT_EQ(std::memcmp(&ratio[k], &before[k], sizeof(float)), 0) << k;
  for (int k = 0; k < 10; ++k) EXPECT_EQ(ratio[k], want[k]) << k;
  EXPECT_EQ(counted, 4u);  // 0.3, 7, inf, x/NaN among the first 8; 0/NaN is no clamp
}

// The definition, bin by bin, in double.
std::vector<double> smoothed(const std::vector<float>& row, double octaves) {
  size_t last = row.size() - 1;
  std::vector<double> out(row.begin(), row.end());
  for (size_t k = 1; k <= last; ++k) {
    double sum = 0;
    int count = 0;
    for (size_t j = 1; j <= last; ++j) {
      double distance = std::fabs(std::log2(double(j) / double(k)));
      if (distance <= octaves / 2 + 1e-12 || j + 1 == k || j == k + 1 || j == k) sum += row[j], ++count;
    }
    out[k] = sum / count;
  }
  return out;
}

TEST(CurveShape, SmoothingAveragesOverTheOctaveWindow) {
  std::vector<float> row = noise(513, 3, 10.0f);
  for (float octaves : {0.01f, 0.167f, 0.333f, 1.0f}) {
    std::vector<float> got(row);
    std::vector<double> sums(got.size() + 1);
    smooth_octaves(got.data(), got.size(), octaves, sums.data());
    std::vector<double> want = smoothed(row, octaves);
    EXPECT_EQ(got[0], row[0]);
    for (size_t k = 1; k < row.size(); ++k) ASSERT_NEAR(got[k], want[k], 1e-4) << octaves << " bin " << k;
  }
  std::vector<float> flat(100, -4.5f);
  std::vector<double> sums(101);
  smooth_octaves(flat.data(), flat.size(), 0.5f, sums.data());
  for (float v : flat) EXPECT_FLOAT_EQ(v, -4.5f);
}

TEST(CurveShape, BandLimitsFadeOverHalfAnOctave) {
  // bins of 10 Hz: 0 .. 10000 Hz
  std::vector<float> row(1001, 6.0f);
  limit_band(row.data(), row.size(), 10.0, 400.0f, 4000.0f);
  auto at = [&](double hz) { return row[size_t(hz / 10)]; };
  EXPECT_EQ(row[0], 0.0f);
  EXPECT_EQ(at(390), 0.0f);
  EXPECT_EQ(at(400), 0.0f);
  EXPECT_NEAR(at(480), 6 * (0.5 - 0.5 * std::cos(M_PI * std::log2(480.0 / 400) / 0.5)), 1e-5);
  EXPECT_EQ(at(570), 6.0f);  // above 400 x 2^0.5
  EXPECT_EQ(at(2820), 6.0f);
  EXPECT_NEAR(at(3360), 6 * (0.5 - 0.5 * std::cos(M_PI * std::log2(4000.0 / 3360) / 0.5)), 1e-5);
  EXPECT_EQ(at(4000), 0.0f);
  EXPECT_EQ(at(9000), 0.0f);
  std::vector<float> untouched(50, 3.0f);
  limit_band(untouched.data(), 50, 10.0, 0.0f, -1.0f);
  for (float v : untouched) EXPECT_EQ(v, 3.0f);
  limit_band(untouched.data(), 50, 10.0, 0.0f, 200.0f);  // high limit only: DC kept
  EXPECT_EQ(untouched[0], 3.0f);
  EXPECT_EQ(untouched[30], 0.0f);
}

// One-sided limits: the property tests of the filter hold both at once. A
// limit of 0 allows nothing on its side; kNoLimit is none.
TEST(CurveShape, AmountAndOneSidedLimits) {
  float row[] = {10, -10, 4, -30, 0};
  scale_curve(row, 5, 50);
  EXPECT_EQ(row[0], 5.0f);
  EXPECT_EQ(row[3], -15.0f);
  EXPECT_EQ(limit_gain(row, 5, 3, kNoLimit), 1u);  // only the boost is held
  EXPECT_EQ(row[0], 3.0f);
  EXPECT_EQ(row[3], -15.0f);
  EXPECT_EQ(limit_gain(row, 5, kNoLimit, 4), 2u);
  EXPECT_EQ(row[1], -4.0f);
  EXPECT_EQ(row[3], -4.0f);
  EXPECT_EQ(row[2], 2.0f);
  EXPECT_EQ(limit_gain(row, 5, 0, kNoLimit), 2u);  // no boost at all: cuts only
  EXPECT_EQ(row[0], 0.0f);
  EXPECT_EQ(row[2], 0.0f);
  EXPECT_EQ(row[1], -4.0f);
}

// The level weighs each octave alike: a curve at +6 dB over the octave
// 100..200 Hz and 0 over 200..800 Hz (bins of 1 Hz) has the level 2 dB
// over 100..800, although the +6 covers only a seventh of the bins; the
// range is that of the limits, 20 Hz .. the last bin when they are off.
TEST(CurveShape, LevelIsTheOctaveWeightedMeanOverTheRange) {
  std::vector<float> row(1001, 0.0f);
  for (size_t k = 100; k < 200; ++k) row[k] = 6.0f;
  row[0] = 1000.0f;  // DC takes no part
  EXPECT_NEAR(curve_level(row.data(), row.size(), 1.0, 99.5f, 799.5f), 2.0, 0.01);
  // From 20 Hz up: one octave of +6 in log2(1000 / 20).
  EXPECT_NEAR(curve_level(row.data(), row.size(), 1.0, 0.0f, 0.0f), 6.0 / std::log2(1000.0 / 20.0), 0.01);
  std::vector<float> flat(1001, -3.5f);
  EXPECT_FLOAT_EQ(curve_level(flat.data(), flat.size(), 1.0, 300.0f, 0.0f), -3.5f);
  EXPECT_FLOAT_EQ(curve_level(flat.data(), flat.size(), 0.0, 300.0f, 0.0f), -3.5f);  // no rate: all bins
  EXPECT_EQ(curve_level(flat.data(), flat.size(), 1.0, 500.0f, 400.0f), 0.0f);    // empty range
}

}  // namespace
