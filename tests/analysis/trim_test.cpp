#include "analysis/trim.h"

#include <gtest/gtest.h>

#include "tests/analysis/reference.h"
#include "tests/support/alloc_fail.h"

namespace {

using namespace reference;

Sample ramp_ir(uint64_t length, uint64_t channels) {
  std::vector<std::vector<float>> rows(channels, std::vector<float>(length));
  for (uint64_t c = 0; c < channels; ++c)
    for (uint64_t i = 0; i < length; ++i) rows[c][i] = static_cast<float>(i + 1 + 10000 * c);
  return make_sample(rows, 48000);
}

struct Case {
  TrimSettings settings;
  uint64_t length, head, kept;
  int64_t latency;
};

TEST(Trim, LengthsAndLatencies) {
  const Case cases[] = {
      {{0, 0, 0, 0}, 4096, 0, 4096, 2048},      {{25, 25, 0, 0}, 4096, 1024, 2048, 1024},
      {{60, 0, 0, 0}, 4096, 2457, 1639, -409},  {{70, 40, 0, 0}, 4096, 2867, 0, 2048 - 2867},
      {{-5, 0, 0, 0}, 1000, 0, 1000, 500},      {{150, 0, 0, 0}, 1000, 1000, 0, -500},
      {{0, 95, 0, 0}, 1000, 0, 50, 500},
  };
  for (const Case& k : cases) {
    Sample raw = ramp_ir(k.length, 2), out;
    sample_init(out);
    int64_t latency = 12345;
    ASSERT_EQ(trim_ir(out, latency, raw, k.settings), STATUS_OK);
    EXPECT_EQ(out.length, k.kept) << k.settings.head_cut;
    EXPECT_EQ(out.channels, 2u);
    EXPECT_EQ(out.sample_rate, 48000u);
    EXPECT_EQ(latency, k.latency) << k.settings.head_cut;
    for (uint64_t c = 0; c < 2; ++c)
      for (uint64_t i = 0; i < out.length; ++i)
        ASSERT_EQ(out.data[c * out.stride + i], raw.data[c * raw.stride + k.head + i]);
    sample_destroy(raw);
    sample_destroy(out);
  }
}

TEST(Trim, FadesUseFloatPercentOfRawLength) {
  Sample raw = ramp_ir(1000, 1), out;
  sample_init(out);
  int64_t latency = 0;
  ASSERT_EQ(trim_ir(out, latency, raw, TrimSettings{0, 0, 10, 0}), STATUS_OK);
  for (uint64_t i = 0; i < 99; ++i)  // 10 x 0.01 x 1000 is 99.99999 in float: 99 faded values
    EXPECT_FLOAT_EQ(out.data[i], static_cast<float>(i) * raw.data[i] * (1.0f / 99.0f));
  for (uint64_t i = 99; i < 1000; ++i) ASSERT_EQ(out.data[i], raw.data[i]);

  ASSERT_EQ(trim_ir(out, latency, raw, TrimSettings{0, 95, 0, 10}), STATUS_OK);
  ASSERT_EQ(out.length, 50u);  // fade longer than the row: 49/99 ... 0 over all of it
  for (uint64_t j = 0; j < 50; ++j)
    EXPECT_FLOAT_EQ(out.data[j], static_cast<float>(49 - j) * (1.0f / 99.0f) * raw.data[j]);

  ASSERT_EQ(trim_ir(out, latency, raw, TrimSettings{0, 0, 200, 0}), STATUS_OK);
  for (uint64_t i = 0; i < 1000; ++i) EXPECT_LT(out.data[i], raw.data[i]);

  ASSERT_EQ(trim_ir(out, latency, raw, TrimSettings{0, 0, 0, 10}), STATUS_OK);
  EXPECT_EQ(out.data[999], 0.0f);
  EXPECT_FLOAT_EQ(out.data[901], 98.0f * (1.0f / 99.0f) * raw.data[901]);
  EXPECT_EQ(out.data[900], raw.data[900]);
  sample_destroy(raw);
  sample_destroy(out);
}

TEST(Trim, FadeHelpersIgnoreZeroCounts) {
  float v[4] = {1, 2, 3, 4};
  fade_in(v, v, 0, 4);
  fade_out(v, v, 4, 0);
  EXPECT_EQ(v[0], 1.0f);
  fade_in(v, v, 2, 4);
  EXPECT_EQ(v[0], 0.0f);
  EXPECT_EQ(v[1], 1.0f);
  EXPECT_EQ(v[2], 3.0f);
}

TEST(Trim, AllocationFailureWritesNothing) {
  Sample raw = ramp_ir(512, 2);
  for_each_alloc_failure([&] {
    Sample out;
    sample_init(out);
    int64_t latency = -7;
    Status st = trim_ir(out, latency, raw, TrimSettings{10, 10, 5, 5});
    if (alloc_failure_hit()) {
      EXPECT_EQ(st, STATUS_NO_MEMORY);
      EXPECT_EQ(latency, -7);
      EXPECT_EQ(out.data, nullptr);
    } else {
      EXPECT_EQ(latency, 256 - 51);
    }
    sample_destroy(out);
  });
  Sample none, out;
  sample_init(none);
  sample_init(out);
  int64_t latency = 0;
  EXPECT_EQ(trim_ir(out, latency, none, TrimSettings{0, 0, 0, 0}), STATUS_NO_MEMORY);
  sample_destroy(raw);
}

// A minimum-phase filter lines up with the input at tap 0, a linear-phase
// one at its centre: the latency counts from that tap.
TEST(Trim, LatencyCountsFromTheReferenceTap) {
  Sample raw = ramp_ir(4096, 1), a, b;
  sample_init(a);
  sample_init(b);
  int64_t la = 0, lb = 0;
  const TrimSettings trim{25, 10, 5, 5};
  ASSERT_EQ(trim_ir(a, la, raw, trim), STATUS_OK);
  ASSERT_EQ(trim_ir_from(b, lb, raw, trim, 2048), STATUS_OK);
  EXPECT_EQ(la, lb);
  ASSERT_EQ(a.length, b.length);
  for (uint64_t i = 0; i < a.length; ++i) ASSERT_EQ(a.data[i], b.data[i]);
  for (uint64_t tap : {0u, 100u}) {
    ASSERT_EQ(trim_ir_from(b, lb, raw, TrimSettings{0, 50, 0, 0}, tap), STATUS_OK);
    EXPECT_EQ(lb, int64_t(tap));
    ASSERT_EQ(trim_ir_from(b, lb, raw, trim, tap), STATUS_OK);
    EXPECT_EQ(lb, int64_t(tap) - 1024);
  }
  sample_destroy(raw);
  sample_destroy(a);
  sample_destroy(b);
}

}  // namespace
