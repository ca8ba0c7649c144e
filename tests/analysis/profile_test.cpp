#include "analysis/profile.h"

#include <gtest/gtest.h>

#include "tests/analysis/reference.h"
#include "tests/support/alloc_fail.h"

namespace {

using namespace reference;

// Mean magnitude of the windowed direct DFT over the frames the profile
// analyses: hop N/2, first frame half zeros, last frame ending in N/2 zeros.
std::vector<double> reference_profile(const std::vector<float>& x, unsigned rank) {
  size_t n = size_t{1} << rank, h = n / 2;
  std::vector<float> w(n);
  nuttall_window(w.data(), n);
  std::vector<double> padded(h, 0.0);
  padded.insert(padded.end(), x.begin(), x.end());
  size_t frames = (x.size() + h - 1) / h + 1;
  padded.resize((frames + 1) * h, 0.0);
  std::vector<double> out(n, 0.0);
  for (size_t f = 0; f < frames; ++f) {
    std::vector<Complex> frame(n);
    for (size_t i = 0; i < n; ++i) frame[i] = padded[f * h + i] * w[i];
    std::vector<Complex> spectrum(n);
    for (size_t k = 0; k < n; ++k) {  // direct DFT
      Complex acc = 0;
      for (size_t i = 0; i < n; ++i) acc += frame[i] * std::polar(1.0, -2 * M_PI * double(k * i % n) / double(n));
      spectrum[k] = acc;
    }
    for (size_t k = 0; k < n; ++k) out[k] += std::abs(spectrum[k]);
  }
  for (auto& v : out) v /= double(frames);
  return out;
}

TEST(Profile, WindowIsSymmetricWithSmallEnds) {
  std::vector<float> w(4096);
  nuttall_window(w.data(), w.size());
  EXPECT_NEAR(w[0], 0.0003628f, 1e-6);
  EXPECT_NEAR(w[4095], 0.0003628f, 1e-6);
  for (size_t i = 0; i < 2048; ++i) EXPECT_NEAR(w[i], w[4095 - i], 1e-6);
  EXPECT_NEAR(w[2047], 1.0f, 1e-3);
}

// H and H + 1 samples exercise the frame count (2 and 3 frames) and the
// partial last chunk; noise makes any misplaced frame visible. Frames are
// transformed in pairs, so both odd (3, 9) and even (2, 10) counts matter,
// and a loud burst next to a quiet tail checks that paired frames do not
// leak into each other.
TEST(Profile, MatchesDirectDftForFrameBoundaries) {
  const unsigned rank = 8;
  for (size_t length : {size_t{128}, size_t{129}, size_t{1000}, size_t{1152}}) {
    std::vector<float> x = noise(length, 7 + length);
    if (length == 1152)
      for (size_t i = 200; i < length; ++i) x[i] *= 1e-4f;
    Sample audio = make_sample({x}, 48000), profile;
    sample_init(profile);
    ASSERT_EQ(compute_profile(profile, audio, rank), STATUS_OK);
    EXPECT_EQ(profile.length, 256u);
    EXPECT_EQ(profile.stride, 256u);
    EXPECT_EQ(profile.sample_rate, 0u);
    std::vector<double> want = reference_profile(x, rank);
    EXPECT_LT(peak_error(profile.data, want, 256), 1e-4) << length;
    for (size_t k = 1; k < 128; ++k) EXPECT_NEAR(profile.data[k], profile.data[256 - k], 1e-5 * want[0] + 1e-6);
    sample_destroy(audio);
    sample_destroy(profile);
  }
}

TEST(Profile, LinearAndPerChannel) {
  std::vector<float> x = noise(20000, 3), x2(x), silent(x.size(), 0.0f);
  for (auto& v : x2) v *= 2.0f;
  Sample audio = make_sample({x, x2, silent, x}, 48000), profile;
  sample_init(profile);
  ASSERT_EQ(compute_profile(profile, audio, 12), STATUS_OK);
  ASSERT_EQ(profile.channels, 4u);
  for (size_t k = 0; k < 4096; ++k) {
    EXPECT_NEAR(profile.data[4096 + k], 2.0f * profile.data[k], 1e-5f * profile.data[k] + 1e-6f);
    EXPECT_EQ(profile.data[2 * 4096 + k], 0.0f);
    EXPECT_EQ(profile.data[3 * 4096 + k], profile.data[k]);
  }
  audio.length = 0;
  ASSERT_EQ(compute_profile(profile, audio, 8), STATUS_OK);
  for (size_t k = 0; k < 256; ++k) EXPECT_EQ(profile.data[k], 0.0f);
  sample_destroy(audio);
  sample_destroy(profile);
}

TEST(Profile, AllocationFailureKeepsProfile) {
  std::vector<float> x = noise(3000, 5);
  Sample audio = make_sample({x, x}, 48000);
  for_each_alloc_failure([&] {
    Sample profile;
    sample_init(profile);
    if (!sample_allocate(profile, 1, 4, 4)) return;
    float* before = profile.data;
    Status st = compute_profile(profile, audio, 9);
    if (alloc_failure_hit()) {
      EXPECT_EQ(st, STATUS_NO_MEMORY);
      EXPECT_EQ(profile.data, before);
      EXPECT_EQ(profile.length, 4u);
    } else {
      EXPECT_EQ(st, STATUS_OK);
    }
    sample_destroy(profile);
  });
  Sample none, profile;
  sample_init(none);
  sample_init(profile);
  EXPECT_EQ(compute_profile(profile, none, 8), STATUS_NO_MEMORY);
  sample_destroy(audio);
}

}  // namespace
