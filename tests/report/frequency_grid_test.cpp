#include "report/frequency_grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

TEST(FrequencyGrid, CountsPointsUpToTheTop) {
  EXPECT_EQ(grid_count(19.9, 24), 0u);
  EXPECT_EQ(grid_count(20, 24), 1u);
  EXPECT_EQ(grid_count(40, 1), 2u);       // 20 and 40: an exact top is included
  EXPECT_EQ(grid_count(39.99, 1), 1u);
  EXPECT_EQ(grid_count(NAN, 24), 0u);
  uint64_t n = grid_count(24000, 24);
  EXPECT_LE(grid_frequency(n - 1, 24), 24000.0);
  EXPECT_GT(grid_frequency(n, 24), 24000.0);
  EXPECT_DOUBLE_EQ(grid_frequency(24, 24), 40.0);
  EXPECT_DOUBLE_EQ(grid_frequency(0, 6), 20.0);
}

TEST(FrequencyGrid, CurveAtInterpolatesBetweenBins) {
  std::vector<double> db = {0, 10, 20, -INFINITY, NAN};
  EXPECT_DOUBLE_EQ(curve_at(db.data(), 3, 100, 150), 15);
  EXPECT_DOUBLE_EQ(curve_at(db.data(), 3, 100, 200), 20);  // the last bin itself
  EXPECT_TRUE(std::isnan(curve_at(db.data(), 3, 100, 201)));
  EXPECT_TRUE(std::isnan(curve_at(db.data(), 4, 100, 250)));  // neighbour is -inf
  EXPECT_TRUE(std::isnan(curve_at(db.data(), 4, 100, 300)));
  EXPECT_TRUE(std::isnan(curve_at(nullptr, 3, 100, 100)));
  EXPECT_TRUE(std::isnan(curve_at(db.data(), 3, 0, 100)));
}

TEST(FrequencyGrid, SmoothingAveragesPowerInTheBand) {
  // Flat stays flat at any centre.
  std::vector<double> flat(2049, -12.5);
  for (double hz : {25.0, 100.0, 1000.0, 15000.0, 23900.0})
    EXPECT_NEAR(smoothed_at(flat.data(), flat.size(), 48000.0 / 4096, hz, 6), -12.5, 1e-9) << hz;
  // Alternate 0 dB and silent bins: the band's mean power is about half.
  std::vector<double> comb(2049);
  for (size_t k = 0; k < comb.size(); ++k) comb[k] = k % 2 ? -INFINITY : 0.0;
  EXPECT_NEAR(smoothed_at(comb.data(), comb.size(), 10, 10000, 6), 10 * std::log10(0.5), 0.05);
  // One bin 20 dB up among 0 dB ones: its triangle of extra power (area
  // 99 bins) spreads over the band's width.
  std::vector<double> spike(2049, 0.0);
  spike[1000] = 20;  // at 10 kHz with 10 Hz bins
  double width = (10000 * std::exp2(1.0 / 12) - 10000 / std::exp2(1.0 / 12)) / 10;
  EXPECT_NEAR(smoothed_at(spike.data(), spike.size(), 10, 10000, 6), 10 * std::log10(1 + 99 / width), 1e-9);
  // The result moves continuously with the centre, even where the band
  // holds a single bin (no steps between neighbouring frequencies).
  std::vector<double> ramp(64);
  for (size_t k = 0; k < ramp.size(); ++k) ramp[k] = -3.0 * static_cast<double>(k);
  double previous = smoothed_at(ramp.data(), ramp.size(), 100, 30, 6);
  for (double hz = 31; hz < 1000; hz *= 1.01) {  // at most 0.3 dB per step from the slope
    double v = smoothed_at(ramp.data(), ramp.size(), 100, hz, 6);
    ASSERT_LT(std::fabs(v - previous), 0.5) << hz;
    previous = v;
  }
  // A band narrower than a bin reads the interpolated power.
  std::vector<double> two = {0, -INFINITY};
  EXPECT_NEAR(smoothed_at(two.data(), 2, 1000, 500, 6), 10 * std::log10(0.5), 0.01);  // band not centred in bins
  EXPECT_TRUE(std::isnan(smoothed_at(two.data(), 2, 1000, 1500, 6)));
}

}  // namespace
