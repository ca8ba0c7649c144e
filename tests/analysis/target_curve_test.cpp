#include "analysis/target_curve.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/support/alloc_fail.h"

namespace {

using testing_support::for_each_alloc_failure;

// Rows between and beyond the table: linear in dB over log frequency, flat
// outside; the same gain on a bin and on its mirror.
TEST(TargetCurve, InterpolatesInLogFrequencyAndHoldsTheEnds) {
  const std::string text = "hz,db\n100,0\n# note\n\n1000,-6\n4000,6\n";
  TargetCurve c;
  target_curve_init(c);
  ASSERT_EQ(target_curve_parse(c, text.data(), text.size(), nullptr), STATUS_OK);
  ASSERT_EQ(c.count, 3u);
  EXPECT_DOUBLE_EQ(target_curve_db_at(c, 0.0), 0.0);
  EXPECT_DOUBLE_EQ(target_curve_db_at(c, 50.0), 0.0);
  EXPECT_NEAR(target_curve_db_at(c, std::sqrt(100.0 * 1000.0)), -3.0, 1e-9);
  EXPECT_NEAR(target_curve_db_at(c, 2000.0), 0.0, 1e-9);  // halfway in octaves from 1000 to 4000
  EXPECT_DOUBLE_EQ(target_curve_db_at(c, 1e6), 6.0);
  Sample p;
  sample_init(p);
  ASSERT_TRUE(sample_allocate(p, 1, 16, 16));
  for (int k = 0; k < 16; ++k) p.data[k] = 2.0f;
  target_curve_apply(p, c, 250.0, 6.0);  // bins at 0, 250, ..., 2000 Hz
  EXPECT_FLOAT_EQ(p.data[0], 2.0f * std::pow(10.0f, 0.3f));
  EXPECT_NEAR(p.data[4], 2.0 * std::pow(10.0, (target_curve_db_at(c, 1000.0) + 6) / 20), 1e-5);
  EXPECT_EQ(p.data[4], p.data[12]);
  EXPECT_NEAR(p.data[8], 2.0 * std::pow(10.0, 6.0 / 20), 1e-5);  // 2000 Hz, the Nyquist bin: once
  sample_destroy(p);
  target_curve_destroy(c);
  target_curve_destroy(c);  // idempotent
}

TEST(TargetCurve, AllocationFailuresLeaveTheCurveAlone) {
  const std::string text = "20,1\n20000,-1\n";
  for_each_alloc_failure([&] {
    TargetCurve c;
    target_curve_init(c);
    Status st = target_curve_parse(c, text.data(), text.size(), nullptr);
    if (alloc_failure_hit()) {
      EXPECT_EQ(st, STATUS_NO_MEMORY);
      EXPECT_EQ(c.count, 0u);
    } else {
      EXPECT_EQ(st, STATUS_OK);
      EXPECT_EQ(c.count, 2u);
    }
    target_curve_destroy(c);
  });
}

}  // namespace
