#include "analysis/convolver.h"

#include <gtest/gtest.h>

#include "tests/analysis/reference.h"
#include "tests/support/alloc_fail.h"

namespace {

using namespace reference;

// Feeds `input` through a fresh convolver in pieces of `chunk` samples.
std::vector<float> run(const std::vector<float>& taps, const std::vector<float>& input, size_t chunk,
                       unsigned rank = 16, float start_offset = 0.0f) {
  Convolver conv;
  convolver_clear(conv);
  EXPECT_TRUE(convolver_init(conv, taps.data(), taps.size(), rank, start_offset));
  std::vector<float> out(input.size());
  for (size_t at = 0; at < input.size(); at += chunk)
    convolver_process(conv, out.data() + at, input.data() + at, std::min(chunk, input.size() - at));
  convolver_destroy(conv);
  return out;
}

// Head only (1, 127, 128 taps), head plus a growing partition (129), several
// growing partitions (4096), and uniform partitions (70000 taps over more
// than 200000 samples), each fed in chunks that start on and off the
// 128-sample grid.
TEST(Convolver, EqualsLinearConvolution) {
  for (size_t ntaps : {size_t{1}, size_t{127}, size_t{128}, size_t{129}, size_t{4096}, size_t{70000}}) {
    size_t length = ntaps == 70000 ? 230000 : 3 * ntaps + 1000;
    std::vector<float> taps = noise(ntaps, 100 + ntaps, 0.1f), input = noise(length, 200 + ntaps);
    std::vector<double> want = ntaps <= 4096 ? direct_convolve(input, taps) : fft_convolve(input, taps);
    for (size_t chunk : {size_t{1}, size_t{127}, size_t{128}, size_t{100000}}) {
      std::vector<float> got = run(taps, input, chunk);
      EXPECT_LT(peak_error(got, want, length), 1e-4) << ntaps << " taps, chunk " << chunk;
    }
  }
}

TEST(Convolver, SmallerRanksAndInPlace) {
  std::vector<float> taps = noise(3000, 1, 0.1f), input = noise(9000, 2);
  std::vector<double> want = direct_convolve(input, taps);
  for (unsigned rank : {0u, 8u, 9u, 12u}) {
    std::vector<float> got = run(taps, input, 200, rank);
    EXPECT_LT(peak_error(got, want, input.size()), 1e-4) << rank;
  }
  // Starting inside a large block shifts the schedule, not the result.
  for (float offset : {0.3f, 0.5f, 1.75f})
    EXPECT_LT(peak_error(run(taps, input, 100, 11, offset), want, input.size()), 1e-4) << offset;
  Convolver conv;
  convolver_clear(conv);
  ASSERT_TRUE(convolver_init(conv, taps.data(), taps.size(), 10, 0.0f));
  std::vector<float> buffer = input;
  convolver_process(conv, buffer.data(), buffer.data(), buffer.size());
  EXPECT_LT(peak_error(buffer, want, input.size()), 1e-4);
  // Reconfiguring to no taps leaves an unconfigured convolver that writes zeros.
  ASSERT_TRUE(convolver_init(conv, taps.data(), 0, 16, 0.0f));
  EXPECT_EQ(conv.memory, nullptr);
  convolver_process(conv, buffer.data(), input.data(), 100);
  for (size_t i = 0; i < 100; ++i) EXPECT_EQ(buffer[i], 0.0f);
  convolver_destroy(conv);
  convolver_destroy(conv);
}

TEST(Convolver, AllocationFailureLeavesItUnconfigured) {
  std::vector<float> taps = noise(500, 3);
  for_each_alloc_failure([&] {
    Convolver conv;
    convolver_clear(conv);
    bool ok = convolver_init(conv, taps.data(), taps.size(), 16, 0.0f);
    EXPECT_EQ(ok, !alloc_failure_hit());
    EXPECT_EQ(conv.memory == nullptr, !ok);
    convolver_destroy(conv);
  });
}

}  // namespace
