#include "analysis/resample.h"

#include <gtest/gtest.h>

#include "tests/analysis/reference.h"
#include "tests/support/alloc_fail.h"

namespace {

using namespace reference;

std::vector<float> tone(size_t n, double frequency, double rate, float amplitude = 0.5f) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = amplitude * float(std::sin(2 * M_PI * frequency * double(i) / rate));
  return v;
}

// Lengths as the float arithmetic of each path gives them.
uint64_t expected_length(uint64_t from, uint64_t to, uint64_t n) {
  uint64_t a = from, b = to;
  while (b) {
    uint64_t r = a % b;
    a = b;
    b = r;
  }
  uint64_t l = to / a, m = from / a;
  if (from < to && to % from == 0) return l * n + 1;
  if (from < to) {
    float e = float(l) / float(m);
    uint64_t f = uint64_t(8.0f * e), q = f % 2 == 0 ? 2 * f + 4 : 2 * f + 6;
    return uint64_t(float(n) * e) + q - 2 * f - 3;
  }
  if (from % to == 0) return n / m;
  float e = float(m) / float(l);
  uint64_t f = uint64_t(e + 19.0f), q = (f + 4) / 4 * 4;
  return q + uint64_t(float(n) * float(l) / float(m)) - f;
}

double rms(const float* v, size_t n) {
  double s = 0;
  for (size_t i = 0; i < n; ++i) s += double(v[i]) * v[i];
  return std::sqrt(s / double(n));
}

TEST(Resample, EveryPathHasItsExactLength) {
  const uint64_t pairs[][2] = {{24000, 48000}, {44100, 48000}, {48000, 44100}, {96000, 48000}, {192000, 96000}};
  for (auto& p : pairs)
    for (uint64_t n : {uint64_t{1}, uint64_t{1000}, uint64_t{48001}}) {
      Sample s = make_sample({noise(n, 1), noise(n, 2)}, p[0]);
      ASSERT_EQ(resample(s, p[1]), STATUS_OK);
      EXPECT_EQ(s.length, expected_length(p[0], p[1], n)) << p[0] << "->" << p[1] << " n " << n;
      EXPECT_EQ(s.sample_rate, p[1]);
      EXPECT_EQ(s.channels, 2u);
      EXPECT_LE(s.length, s.stride);
      sample_destroy(s);
    }
  EXPECT_EQ(expected_length(44100, 48000, 1000), uint64_t(1000 * 1.0884354f) + 1);
  EXPECT_EQ(expected_length(48000, 44100, 1000), 4 + uint64_t(1000.0f * 147.0f / 160.0f));
}

// Upsampled tones line up with the same tone generated at the target rate,
// so kernel gain and shift are both right; input samples land on kL.
TEST(Resample, UpsamplingKeepsTonesAligned) {
  for (uint64_t from : {uint64_t{24000}, uint64_t{44100}}) {
    size_t n = 20000;
    Sample s = make_sample({tone(n, 1000, double(from))}, from);
    std::vector<float> input = row(s, 0);
    ASSERT_EQ(resample(s, 48000), STATUS_OK);
    std::vector<float> want = tone(s.length, 1000, 48000);
    EXPECT_LT(peak_error(s.data + 500, want.data() + 500, s.length - 1000), 2e-3) << from;
    if (from == 24000) {
      for (size_t k = 0; k < n; ++k) ASSERT_NEAR(s.data[2 * k], input[k], 1e-5f);
    }
    sample_destroy(s);
  }
}

TEST(Resample, DownsamplingPassesLowTonesAndRejectsAliases) {
  const size_t n = 96000;
  Sample low = make_sample({tone(n, 1000, 96000)}, 96000), high = make_sample({tone(n, 30000, 96000)}, 96000);
  ASSERT_EQ(resample(low, 48000), STATUS_OK);
  ASSERT_EQ(resample(high, 48000), STATUS_OK);
  double reference_rms = 0.5 / std::sqrt(2.0);
  double low_db = 20 * std::log10(rms(low.data + 2000, low.length - 4000) / reference_rms);
  double high_db = 20 * std::log10(rms(high.data + 2000, high.length - 4000) / reference_rms);
  EXPECT_LT(std::fabs(low_db), 0.1);
  EXPECT_LT(high_db, -60.0);
  sample_destroy(low);
  sample_destroy(high);

  Sample rational = make_sample({tone(n, 1000, 48000)}, 48000);
  ASSERT_EQ(resample(rational, 44100), STATUS_OK);
  EXPECT_LT(std::fabs(20 * std::log10(rms(rational.data + 2000, rational.length - 4000) / reference_rms)), 0.1);
  sample_destroy(rational);
}

TEST(Resample, StatusesAndUnchangedAudio) {
  Sample s = make_sample({noise(100, 1)}, 44100);
  float* before = s.data;
  EXPECT_EQ(resample(s, 44100), STATUS_OK);
  EXPECT_EQ(s.data, before);
  EXPECT_EQ(resample(s, 0), STATUS_BAD_ARGUMENT);
  s.sample_rate = 0;
  EXPECT_EQ(resample(s, 48000), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(s.data, before);
  EXPECT_EQ(s.length, 100u);
  Sample none;
  sample_init(none);
  none.sample_rate = 44100;
  EXPECT_EQ(resample(none, 48000), STATUS_INVALID);
  // A length whose scatter would need more than 64-bit indices.
  s.sample_rate = 44100;
  s.length = UINT64_MAX / 4;
  EXPECT_EQ(resample(s, 48000), STATUS_NO_MEMORY);
  EXPECT_EQ(resample(s, 88200), STATUS_NO_MEMORY);
  s.length = 100;
  EXPECT_EQ(s.data, before);
  sample_destroy(s);
}

TEST(Resample, AllocationFailureLeavesAudioUnchanged) {
  for (uint64_t to : {uint64_t{48000}, uint64_t{88200}, uint64_t{22050}, uint64_t{32000}}) {
    Sample s = make_sample({noise(500, 1), noise(500, 2)}, 44100);
    for_each_alloc_failure([&] {
      float* before = s.data;
      Sample copy;
      sample_init(copy);
      if (sample_copy(copy, s) != STATUS_OK) return;
      Status st = resample(copy, to);
      if (alloc_failure_hit()) {
        EXPECT_EQ(st, STATUS_NO_MEMORY);
        EXPECT_EQ(copy.sample_rate, 44100u);
        EXPECT_EQ(copy.length, 500u);
      } else {
        EXPECT_EQ(copy.sample_rate, to);
      }
      EXPECT_EQ(s.data, before);
      sample_destroy(copy);
    });
    sample_destroy(s);
  }
}

// Above 2^24 frames the float length falls short of the last index the
// scatter writes; the accumulation must still hold every write.
TEST(Resample, LongInputDoesNotOverrunRationalPaths) {
  const uint64_t n = (uint64_t{1} << 24) + 4097;
  for (auto rates : {std::pair<uint64_t, uint64_t>{44100, 48000}, std::pair<uint64_t, uint64_t>{48000, 44100}}) {
    Sample s;
    sample_init(s);
    ASSERT_TRUE(sample_allocate(s, 1, n, n));
    s.sample_rate = rates.first;
    for (uint64_t i = n - 64; i < n; ++i) s.data[i] = 1.0f;
    ASSERT_EQ(resample(s, rates.second), STATUS_OK);
    EXPECT_EQ(s.length, expected_length(rates.first, rates.second, n));
    EXPECT_LE(s.length, s.stride);
    sample_destroy(s);
  }
}

}  // namespace
