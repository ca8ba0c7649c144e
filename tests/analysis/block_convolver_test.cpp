#include "analysis/block_convolver.h"

#include <gtest/gtest.h>

#include "analysis/convolver.h"
#include "tests/analysis/reference.h"
#include "tests/support/alloc_fail.h"

namespace {

using namespace reference;

// The zero-latency convolver's full convolution, n + m values: the input,
// then m zeros that flush the tail.
std::vector<float> zero_latency(const std::vector<float>& taps, const std::vector<float>& input) {
  Convolver conv;
  convolver_clear(conv);
  EXPECT_TRUE(convolver_init(conv, taps.data(), taps.size(), 16, 0.0f));
  std::vector<float> out(input.size() + taps.size(), 0.0f);
  convolver_process(conv, out.data(), input.data(), input.size());
  convolver_process(conv, out.data() + input.size(), out.data() + input.size(), taps.size());
  convolver_destroy(conv);
  return out;
}

// Every segment the block convolver hands out, joined.
std::vector<float> blocks(BlockConvolver& conv, const std::vector<float>& input, std::vector<uint64_t>* sizes = nullptr) {
  std::vector<float> out;
  const float* segment = nullptr;
  for (uint64_t len; (len = block_convolver_next(conv, input.data(), input.size(), &segment)) > 0;) {
    out.insert(out.end(), segment, segment + len);
    if (sizes) sizes->push_back(len);
  }
  return out;
}

}  // namespace

// The reference is the zero-latency convolver, which the offline one
// replaces in the mix: one tap, taps that fill a partition exactly or
// spill one tap into the next, and the long filters of real use, each on
// inputs of odd lengths (shorter than one block, a few blocks, many). The
// bound is the 1e-6 relative RMS difference the mix promises; two float
// computations of the same sums differ by a few 1e-8 here.
TEST(BlockConvolver, AgreesWithZeroLatencyConvolver) {
  for (size_t ntaps : {size_t{1}, size_t{129}, size_t{4096}, size_t{4097}, size_t{65536}}) {
    std::vector<float> taps = noise(ntaps, 31 + ntaps, 0.05f);
    BlockConvolver conv;
    block_convolver_clear(conv);
    ASSERT_TRUE(block_convolver_init(conv, taps.data(), taps.size()));
    for (size_t length : {size_t{1}, size_t{1001}, size_t{3 * ntaps + 777}, size_t{150001}}) {
      std::vector<float> input = noise(length, 7 + length);
      std::vector<float> want = zero_latency(taps, input);
      block_convolver_restart(conv);
      std::vector<float> got = blocks(conv, input);
      ASSERT_EQ(got.size(), want.size()) << ntaps << " taps, " << length << " samples";
      EXPECT_LT(rms_error(got, want, want.size()), 1e-6) << ntaps << " taps, " << length << " samples";
    }
    block_convolver_destroy(conv);
    EXPECT_EQ(conv.memory, nullptr);
  }
}

// Against the exact sums too, so that a fault shared with the reference
// convolver would still show.
TEST(BlockConvolver, EqualsLinearConvolution) {
  std::vector<float> taps = noise(40000, 5, 0.02f), input = noise(100003, 6);
  std::vector<double> want = fft_convolve(input, taps);
  want.push_back(0.0);
  BlockConvolver conv;
  block_convolver_clear(conv);
  ASSERT_TRUE(block_convolver_init(conv, taps.data(), taps.size()));
  EXPECT_EQ(conv.parts, 2u);
  std::vector<uint64_t> sizes;
  std::vector<float> got = blocks(conv, input, &sizes);
  ASSERT_EQ(got.size(), want.size());
  EXPECT_LT(rms_error(got, want, want.size()), 1e-6);
  // Whole partitions until the last piece.
  for (size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], conv.k);
  // Once everything is out, nothing more comes.
  const float* segment = nullptr;
  EXPECT_EQ(block_convolver_next(conv, input.data(), input.size(), &segment), 0u);
  block_convolver_destroy(conv);
  block_convolver_destroy(conv);  // idempotent
}

TEST(BlockConvolver, EmptyInputAndAllocationFailure) {
  std::vector<float> taps = noise(5000, 9, 0.1f);
  BlockConvolver conv;
  block_convolver_clear(conv);
  EXPECT_FALSE(block_convolver_init(conv, taps.data(), 0));
  ASSERT_TRUE(block_convolver_init(conv, taps.data(), taps.size()));
  // No input: the flush alone, all zeros.
  std::vector<float> got = blocks(conv, {});
  EXPECT_EQ(got, std::vector<float>(taps.size(), 0.0f));
  block_convolver_destroy(conv);
  for_each_alloc_failure([&] {
    BlockConvolver c;
    block_convolver_clear(c);
    bool ok = block_convolver_init(c, taps.data(), taps.size());
    EXPECT_EQ(ok, !alloc_failure_hit());
    EXPECT_EQ(c.memory == nullptr, !ok);
    block_convolver_destroy(c);
  });
}
