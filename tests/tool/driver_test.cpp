// Arithmetic and value parsing of the driver that the end-to-end runs can
// only see indirectly.

#include <cmath>
#include <cstdint>

#include <gtest/gtest.h>

#include "tool/command_line.h"
#include "tool/naming.h"
#include "tool/pipeline.h"

TEST(DriverArithmetic, DecibelGains) {
  EXPECT_EQ(mix_gain(-150.0f), 0.0f);
  EXPECT_EQ(mix_gain(-1000.0f), 0.0f);
  EXPECT_GT(mix_gain(-149.9f), 0.0f);
  EXPECT_NEAR(mix_gain(-149.9f), 3.2e-8f, 1e-9f);
  EXPECT_EQ(mix_gain(200.0f), mix_gain(150.0f));
  EXPECT_NEAR(mix_gain(150.0f), std::pow(10.0, 7.5), std::pow(10.0, 7.5) * 1e-6);
  EXPECT_NEAR(decibels_to_gain(-6.0f), 0.501187f, 1e-6f);
  EXPECT_EQ(decibels_to_gain(0.0f), 1.0f);
  // The peak gain has no clamp.
  EXPECT_EQ(decibels_to_gain(-1000.0f), 0.0f);
  EXPECT_TRUE(std::isinf(decibels_to_gain(1000.0f)));
}

TEST(DriverArithmetic, FftRankClamp) {
  EXPECT_EQ(effective_fft_rank(-3), 8u);
  EXPECT_EQ(effective_fft_rank(0), 8u);
  EXPECT_EQ(effective_fft_rank(5), 8u);
  EXPECT_EQ(effective_fft_rank(9), 9u);
  EXPECT_EQ(effective_fft_rank(16), 16u);
  EXPECT_EQ(effective_fft_rank(20), 16u);
}

TEST(DriverArithmetic, Durations) {
  char text[32];
  format_duration(text, 96000, 48000);
  EXPECT_STREQ(text, "00:00:02.000");
  format_duration(text, 3723456, 1000);
  EXPECT_STREQ(text, "01:02:03.456");
  format_duration(text, 100ull * 3600 * 1000, 1000);  // hours are not reduced modulo 24
  EXPECT_STREQ(text, "100:00:00.000");
  format_duration(text, 5, 0);
  EXPECT_STREQ(text, "00:00:00.000");
}

TEST(ValueParsers, Numbers) {
  float f = 1.0f;
  EXPECT_EQ(parse_float_option("-6", "dry", &f), 0);
  EXPECT_EQ(f, -6.0f);
  EXPECT_EQ(parse_float_option(" 2.5e1 ", "dry", &f), 0);
  EXPECT_EQ(f, 25.0f);
  EXPECT_EQ(parse_float_option("1 2", "dry", &f), 28);
  EXPECT_EQ(parse_float_option("", "dry", &f), 28);
  EXPECT_EQ(f, 25.0f);
  int64_t i = 7;
  EXPECT_EQ(parse_integer_option("0x5622", "sample rate", &i), 0);
  EXPECT_EQ(i, 22050);
  EXPECT_EQ(parse_integer_option("44100.0", "sample rate", &i), 28);
  EXPECT_EQ(parse_integer_option("true", "sample rate", &i), 28);
  EXPECT_EQ(i, 22050);
}

TEST(ValueParsers, Booleans) {
  bool b = true;
  EXPECT_EQ(parse_boolean_option("0.4", "mastering", &b), 0);
  EXPECT_FALSE(b);
  EXPECT_EQ(parse_boolean_option("0.5", "mastering", &b), 0);
  EXPECT_TRUE(b);
  EXPECT_EQ(parse_boolean_option("FaLsE", "mastering", &b), 0);
  EXPECT_FALSE(b);
  EXPECT_EQ(parse_boolean_option("-1", "mastering", &b), 0);
  EXPECT_TRUE(b);
  EXPECT_EQ(parse_boolean_option("yes", "mastering", &b), 28);
  EXPECT_TRUE(b);
}

TEST(ValueParsers, Keywords) {
  uint64_t v = 99;
  EXPECT_EQ(parse_normalize_option("Above", &v), 0);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(parse_normalize_option("ALWAYS", &v), 0);
  EXPECT_EQ(v, 3u);
  EXPECT_EQ(parse_normalize_option("1", &v), 7);
  EXPECT_EQ(parse_normalize_option("none x", &v), 28);
  EXPECT_EQ(v, 3u);
  EXPECT_EQ(parse_produce_option("", &v), 0);
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(parse_produce_option("IR,Audio", &v), 0);
  EXPECT_EQ(v, 5u);
  EXPECT_EQ(parse_produce_option(" frm , frc ", &v), 0);
  EXPECT_EQ(v, 24u);
  EXPECT_EQ(parse_produce_option("all", &v), 0);
  EXPECT_EQ(v, 31u);
  EXPECT_EQ(parse_produce_option("ir,,raw", &v), 7);
  EXPECT_EQ(parse_produce_option("ir,", &v), 7);
  EXPECT_EQ(parse_produce_option("ir,bogus", &v), 7);
  EXPECT_EQ(parse_produce_option("ir 1", &v), 7);
  EXPECT_EQ(v, 31u);
}
