#include "analysis/sample.h"

#include <gtest/gtest.h>

#include "tests/support/alloc_fail.h"

namespace {

TEST(Sample, AllocateUsesFlooredStride) {
  Sample s;
  sample_init(s);
  ASSERT_TRUE(sample_allocate(s, 2, 16, 16));
  EXPECT_EQ(s.stride, 16u);
  ASSERT_TRUE(sample_allocate(s, 2, 1, 1));
  EXPECT_EQ(s.stride, 16u);
  ASSERT_TRUE(sample_allocate(s, 2, 17, 17));
  EXPECT_EQ(s.stride, 32u);
  for (uint64_t i = 0; i < 64; ++i) EXPECT_EQ(s.data[i], 0.0f);
  ASSERT_TRUE(sample_allocate(s, 1, 0, 0));
  EXPECT_EQ(s.stride, 16u);
  EXPECT_EQ(s.length, 0u);
  float* before = s.data;
  EXPECT_FALSE(sample_allocate(s, 1, 5, 10));
  EXPECT_FALSE(sample_allocate(s, 0, 5, 5));
  EXPECT_EQ(s.data, before);
  EXPECT_EQ(s.stride, 16u);
  sample_destroy(s);
}

TEST(Sample, CopyGivesFreshStrideAndZeroPadding) {
  Sample src, dst;
  sample_init(src);
  sample_init(dst);
  ASSERT_TRUE(sample_allocate(src, 2, 40, 17));
  src.sample_rate = 44100;
  for (uint64_t i = 0; i < 2 * src.stride; ++i) src.data[i] = 1.0f + static_cast<float>(i);
  ASSERT_EQ(sample_copy(dst, src), STATUS_OK);
  EXPECT_EQ(dst.stride, 32u);
  EXPECT_EQ(dst.length, 17u);
  EXPECT_EQ(dst.channels, 2u);
  EXPECT_EQ(dst.sample_rate, 44100u);
  for (uint64_t c = 0; c < 2; ++c)
    for (uint64_t i = 0; i < 32; ++i)
      EXPECT_EQ(dst.data[c * 32 + i], i < 17 ? src.data[c * src.stride + i] : 0.0f);
  Sample empty;
  sample_init(empty);
  EXPECT_EQ(sample_copy(dst, empty), STATUS_INVALID);
  src.length = src.stride + 1;
  EXPECT_EQ(sample_copy(dst, src), STATUS_INVALID);
  EXPECT_EQ(dst.length, 17u);
  src.length = 17;
  sample_destroy(src);
  sample_destroy(dst);
}

TEST(Sample, ResizeKeepsWhatFitsPaddingIncluded) {
  Sample s;
  sample_init(s);
  ASSERT_TRUE(sample_allocate(s, 2, 32, 32));
  for (uint64_t i = 0; i < 64; ++i) s.data[i] = static_cast<float>(i + 1);
  ASSERT_TRUE(sample_resize(s, 3, 20, 5));
  EXPECT_EQ(s.stride, 32u);
  EXPECT_EQ(s.length, 5u);
  for (uint64_t i = 0; i < 32; ++i) {
    EXPECT_EQ(s.data[i], static_cast<float>(i + 1));  // values past the new length survive
    EXPECT_EQ(s.data[32 + i], static_cast<float>(33 + i));
    EXPECT_EQ(s.data[64 + i], 0.0f);
  }
  ASSERT_TRUE(sample_resize(s, 1, 3, 3));
  EXPECT_EQ(s.stride, 16u);
  EXPECT_EQ(s.data[15], 16.0f);
  ASSERT_TRUE(sample_resize(s, 1, 0, 0));
  EXPECT_EQ(s.stride, 0u);
  EXPECT_FALSE(sample_resize(s, 0, 8, 8));
  sample_destroy(s);
  sample_init(s);
  ASSERT_TRUE(sample_resize(s, 2, 40, 40));
  EXPECT_EQ(s.stride, 48u);
  for (uint64_t i = 0; i < 96; ++i) EXPECT_EQ(s.data[i], 0.0f);
  sample_destroy(s);
}

TEST(Sample, DestroyKeepsRateInitClearsItSwapExchanges) {
  Sample a, b;
  sample_init(a);
  sample_init(b);
  ASSERT_TRUE(sample_allocate(a, 1, 4, 4));
  a.sample_rate = 48000;
  sample_swap(a, a);
  EXPECT_EQ(a.length, 4u);
  sample_swap(a, b);
  EXPECT_EQ(b.sample_rate, 48000u);
  EXPECT_EQ(a.data, nullptr);
  sample_destroy(b);
  sample_destroy(b);
  EXPECT_EQ(b.sample_rate, 48000u);
  EXPECT_EQ(b.data, nullptr);
  sample_init(b);
  EXPECT_EQ(b.sample_rate, 0u);
}

TEST(Sample, AllocationFailureLeavesBufferUnchanged) {
  for_each_alloc_failure([] {
    Sample s, d;
    sample_init(s);
    sample_init(d);
    if (!sample_allocate(s, 2, 20, 20)) {
      EXPECT_EQ(s.data, nullptr);
      return;
    }
    s.data[3] = 7.0f;
    float* before = s.data;
    if (!sample_resize(s, 3, 40, 40)) {
      EXPECT_EQ(s.data, before);
      EXPECT_EQ(s.stride, 32u);
    }
    Status st = sample_copy(d, s);
    if (st != STATUS_OK) {
      EXPECT_EQ(st, STATUS_NO_MEMORY);
      EXPECT_EQ(d.data, nullptr);
    } else {
      EXPECT_EQ(d.data[3], 7.0f);
    }
    sample_destroy(s);
    sample_destroy(d);
  });
}

}  // namespace
