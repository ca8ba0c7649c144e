// Streamed sources against their whole-buffer counterparts: the profile,
// the resampler and the file reader fed or read in blocks of many sizes
// must give the very same bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "analysis/profile.h"
#include "analysis/profile_stream.h"
#include "analysis/sample.h"
#include "tests/support/alloc_fail.h"

namespace {

// Owned planar audio: noise with a quiet stretch and a loud bump, so that a
// gate has something to drop and the frames differ from one another.
struct Audio {
  Audio(uint64_t channels, uint64_t length, uint64_t rate, uint32_t seed) {
    sample_init(s);
    EXPECT_TRUE(sample_allocate(s, channels, length, length));
    s.sample_rate = rate;
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> d(-0.5f, 0.5f);
    for (uint64_t c = 0; c < channels; ++c)
      for (uint64_t i = 0; i < length; ++i) {
        float v = d(gen) * (1.0f + 0.3f * float(c));
        if (i > length / 4 && i < length / 2) v = 0.0f;            // silence
        if (i > 3 * length / 4 && i < 3 * length / 4 + 900) v *= 1.9f;  // bump
        s.data[c * s.stride + i] = v;
      }
  }
  ~Audio() { sample_destroy(s); }
  Sample s;
};

// Frames [at, at + n) of `audio` as a block that borrows its rows.
Sample view(const Sample& audio, uint64_t at, uint64_t n) {
  Sample v = audio;
  v.data = audio.data + at;
  v.length = n;
  return v;
}

// Whether two buffers have the same shape and the same bits in every row.
::testing::AssertionResult same_rows(const Sample& got, const Sample& want) {
  if (got.channels != want.channels || got.length != want.length)
    return ::testing::AssertionFailure() << "shape " << got.channels << "x" << got.length << " instead of "
                                         << want.channels << "x" << want.length;
  for (uint64_t c = 0; c < got.channels; ++c)
    if (want.length && std::memcmp(got.data + c * got.stride, want.data + c * want.stride,
                                   size_t(want.length) * sizeof(float)) != 0)
      return ::testing::AssertionFailure() << "row " << c << " differs";
  return ::testing::AssertionSuccess();
}

constexpr uint64_t kWhole = UINT64_MAX;
const uint64_t kBlocks[] = {1, 7, 4096, 65536, kWhole};

// Feeds the audio in blocks of `block` frames through every pass.
Status stream_profile(const Sample& audio, unsigned rank, double gate, uint64_t block, Sample& out, float* peak) {
  ProfileStream p;
  profile_stream_init(p);
  Status st = profile_stream_start(p, audio.channels, rank, gate);
  for (int pass = 0; st == STATUS_OK && pass < (profile_stream_needs_second_pass(p) ? 2 : 1); ++pass) {
    for (uint64_t at = 0; st == STATUS_OK && at < audio.length; at += block)
      st = profile_stream_push(p, view(audio, at, std::min(block, audio.length - at)));
    if (st == STATUS_OK) st = profile_stream_end_pass(p);
  }
  if (st == STATUS_OK) st = profile_stream_finish(p, out);
  if (peak) *peak = profile_stream_peak(p);
  profile_stream_release(p);
  profile_stream_release(p);
  return st;
}

TEST(StreamSource, ProfileEqualsWholeBufferProfile) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    uint64_t channels, length;
    unsigned rank;
    double gate;
  } cases[] = {
      {1, 20011, 10, nan}, {2, 20011, 10, 10.0}, {2, 62413, 14, 0.0}, {1, 62413, 14, 20.0},
      {2, 1024, 10, nan},  {1, 0, 10, 10.0},     {2, 300, 10, 10.0},
  };
  for (const Case& k : cases) {
    Audio audio(k.channels, k.length, 48000, uint32_t(k.length + k.rank));
    Sample want;
    sample_init(want);
    const bool gated = k.gate > 0.0;
    ASSERT_EQ(gated ? compute_profile_gated(want, audio.s, k.rank, k.gate) : compute_profile(want, audio.s, k.rank),
              STATUS_OK);
    float peak_want = 0.0f;
    for (uint64_t c = 0; c < k.channels; ++c)
      for (uint64_t i = 0; i < k.length; ++i) peak_want = std::max(peak_want, std::fabs(audio.s.data[c * audio.s.stride + i]));
    for (uint64_t block : kBlocks) {
      SCOPED_TRACE(::testing::Message() << k.channels << " ch, " << k.length << " frames, rank " << k.rank << ", gate "
                                        << k.gate << ", blocks of " << block);
      Sample got;
      sample_init(got);
      float peak = -1.0f;
      ASSERT_EQ(stream_profile(audio.s, k.rank, k.gate, block, got, &peak), STATUS_OK);
      EXPECT_TRUE(same_rows(got, want));
      EXPECT_EQ(got.stride, want.stride);
      EXPECT_EQ(got.sample_rate, 0u);
      EXPECT_EQ(peak, peak_want);
      sample_destroy(got);
    }
    sample_destroy(want);
  }
}

TEST(StreamSource, ProfileRefusesMisuseAndSurvivesFailingAllocations) {
  Audio audio(2, 5000, 48000, 3);
  ProfileStream p;
  profile_stream_init(p);
  Sample out;
  sample_init(out);
  EXPECT_EQ(profile_stream_start(p, 0, 10, 0.0), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(profile_stream_start(p, 2, 0, 0.0), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(profile_stream_start(p, 2, 10, std::numeric_limits<double>::infinity()), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(profile_stream_push(p, audio.s), STATUS_INVALID);
  ASSERT_EQ(profile_stream_start(p, 2, 10, 10.0), STATUS_OK);
  EXPECT_EQ(profile_stream_finish(p, out), STATUS_INVALID);
  Sample mono = view(audio.s, 0, 100);
  mono.channels = 1;
  EXPECT_EQ(profile_stream_push(p, mono), STATUS_BAD_ARGUMENT);
  // A second pass of another length than the first is refused, longer or shorter.
  ASSERT_EQ(profile_stream_push(p, audio.s), STATUS_OK);
  ASSERT_EQ(profile_stream_end_pass(p), STATUS_OK);
  ASSERT_EQ(profile_stream_push(p, view(audio.s, 0, 4000)), STATUS_OK);
  EXPECT_EQ(profile_stream_end_pass(p), STATUS_INVALID);
  ASSERT_EQ(profile_stream_start(p, 2, 10, 10.0), STATUS_OK);
  ASSERT_EQ(profile_stream_push(p, view(audio.s, 0, 4000)), STATUS_OK);
  ASSERT_EQ(profile_stream_end_pass(p), STATUS_OK);
  EXPECT_EQ(profile_stream_push(p, audio.s), STATUS_INVALID);
  profile_stream_release(p);
  EXPECT_EQ(out.data, nullptr);

  Sample want;
  sample_init(want);
  ASSERT_EQ(compute_profile_gated(want, audio.s, 10, 10.0), STATUS_OK);
  for_each_alloc_failure([&] {
    Sample got;
    sample_init(got);
    Status st = stream_profile(audio.s, 10, 10.0, 300, got, nullptr);
    if (alloc_failure_hit()) {
      EXPECT_EQ(st, STATUS_NO_MEMORY);
      EXPECT_EQ(got.data, nullptr);
    } else {
      EXPECT_EQ(st, STATUS_OK);
      EXPECT_TRUE(same_rows(got, want));
    }
    sample_destroy(got);
  });
  sample_destroy(want);
}

}  // namespace
