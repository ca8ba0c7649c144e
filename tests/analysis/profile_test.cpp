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
  // The plain and the gated profile alike.
  for (bool gated : {false, true}) {
    for_each_alloc_failure([&] {
      Sample profile;
      sample_init(profile);
      if (!sample_allocate(profile, 1, 4, 4)) return;
      float* before = profile.data;
      Status st = gated ? compute_profile_gated(profile, audio, 9, 30.0) : compute_profile(profile, audio, 9);
      if (alloc_failure_hit()) {
        EXPECT_EQ(st, STATUS_NO_MEMORY);
        EXPECT_EQ(profile.data, before);
        EXPECT_EQ(profile.length, 4u);
      } else {
        EXPECT_EQ(st, STATUS_OK);
      }
      sample_destroy(profile);
    });
  }
  Sample none, profile;
  sample_init(none);
  sample_init(profile);
  EXPECT_EQ(compute_profile(profile, none, 8), STATUS_NO_MEMORY);
  sample_destroy(audio);
}

double db(double v) { return 20.0 * std::log10(v); }

// Gating at 40 dB drops the frames of digital silence: a child that is
// half silence keeps the profile of its sound (within 0.1 dB per bin; only
// the frame straddling the edge is new), while the plain mean falls by
// 6 dB (twice the frames, half of them empty).
TEST(ProfileGated, SilenceDoesNotLowerTheProfile) {
  const unsigned rank = 10;
  std::vector<float> x = noise(96000, 11), padded(x);
  padded.resize(2 * x.size(), 0.0f);
  Sample sound = make_sample({x, x}, 48000), half_silent = make_sample({padded, padded}, 48000);
  Sample plain, gated, plain_silent;
  sample_init(plain);
  sample_init(gated);
  sample_init(plain_silent);
  ASSERT_EQ(compute_profile(plain, sound, rank), STATUS_OK);
  ASSERT_EQ(compute_profile_gated(gated, half_silent, rank, 40.0), STATUS_OK);
  ASSERT_EQ(compute_profile(plain_silent, half_silent, rank), STATUS_OK);
  for (uint64_t c = 0; c < 2; ++c) {
    for (size_t k = 1; k < 1024; ++k) {
      size_t i = c * 1024 + k;
      EXPECT_NEAR(db(gated.data[i]), db(plain.data[i]), 0.1) << k;
      EXPECT_NEAR(db(plain_silent.data[i]) - db(plain.data[i]), -6.02, 0.1) << k;
    }
  }
  sample_destroy(sound);
  sample_destroy(half_silent);
  sample_destroy(plain);
  sample_destroy(gated);
  sample_destroy(plain_silent);
}

// When the gates keep every frame the result is compute_profile's, bit for
// bit; a quiet passage 46 dB below the loud one (43 dB below the mean
// power) counts at a gate of 80 but not at 40; one below -70 dBFS counts at
// no gate; a silent signal (nothing above any gate) averages all frames.
TEST(ProfileGated, ChoosesFramesByEnergyOverAllChannels) {
  const unsigned rank = 9;
  std::vector<float> x = noise(20000, 21), quiet = noise(20000, 22, 0.0025f), silent(20000, 0.0f);
  std::vector<float> loud_then_quiet(x), loud_then_faint(x);
  loud_then_quiet.insert(loud_then_quiet.end(), quiet.begin(), quiet.end());
  for (float& v : quiet) v *= 0.2f;  // -70.8 dBFS
  loud_then_faint.insert(loud_then_faint.end(), quiet.begin(), quiet.end());
  std::vector<float> zeros(loud_then_quiet.size(), 0.0f);
  Sample a = make_sample({x, silent}, 48000), b = make_sample({zeros, loud_then_quiet}, 48000);
  Sample faint = make_sample({zeros, loud_then_faint}, 48000);
  Sample p1, p2;
  sample_init(p1);
  sample_init(p2);
  ASSERT_EQ(compute_profile(p1, a, rank), STATUS_OK);
  ASSERT_EQ(compute_profile_gated(p2, a, rank, 200.0), STATUS_OK);
  for (size_t i = 0; i < 2 * 512; ++i) ASSERT_EQ(p1.data[i], p2.data[i]) << i;

  // Channel 0 is silent, yet channel 1's energy decides for both.
  Sample only_loud = make_sample({std::vector<float>(20000, 0.0f), x}, 48000);
  ASSERT_EQ(compute_profile(p1, only_loud, rank), STATUS_OK);
  ASSERT_EQ(compute_profile_gated(p2, b, rank, 40.0), STATUS_OK);
  for (size_t k = 1; k < 256; ++k) EXPECT_NEAR(db(p2.data[512 + k]), db(p1.data[512 + k]), 0.1) << k;
  ASSERT_EQ(compute_profile_gated(p2, faint, rank, 200.0), STATUS_OK);
  for (size_t k = 1; k < 256; ++k) EXPECT_NEAR(db(p2.data[512 + k]), db(p1.data[512 + k]), 0.1) << k;
  ASSERT_EQ(compute_profile_gated(p2, b, rank, 80.0), STATUS_OK);
  EXPECT_LT(db(p2.data[512 + 100]), db(p1.data[512 + 100]) - 5.0);

  Sample s = make_sample({silent}, 48000);
  ASSERT_EQ(compute_profile_gated(p2, s, rank, 40.0), STATUS_OK);
  for (size_t k = 0; k < 512; ++k) EXPECT_EQ(p2.data[k], 0.0f);
  EXPECT_EQ(compute_profile_gated(p2, s, rank, 0.0), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(compute_profile_gated(p2, s, rank, NAN), STATUS_BAD_ARGUMENT);
  for (Sample* t : {&a, &b, &faint, &only_loud, &s, &p1, &p2}) sample_destroy(*t);
}

}  // namespace

namespace {

// A profile of `channels` rows of `n` values given per channel.
Sample rows_of(const std::vector<std::vector<float>>& rows) {
  Sample s;
  sample_init(s);
  EXPECT_TRUE(sample_allocate(s, rows.size(), rows[0].size(), rows[0].size()));
  for (size_t c = 0; c < rows.size(); ++c)
    for (size_t k = 0; k < rows[c].size(); ++k) s.data[c * s.stride + k] = rows[c][k];
  return s;
}

}  // namespace

// Per bin and channel: the middle of the scaled values (odd count), the
// geometric mean of the two middle ones (even count), and their extremes;
// one reference far off does not move it.
TEST(ProfileMedian, MiddleValueOfTheLevelledProfiles) {
  Sample a = rows_of({{1, 2}, {4, 4}}), b = rows_of({{3, 8}, {1, 1}}), c = rows_of({{100, 0.5f}, {2, 9}});
  const Sample* three[] = {&a, &b, &c};
  const double gains[] = {2, 1, 1};  // a counts twice as loud
  Sample median, low, high;
  for (Sample* s : {&median, &low, &high}) sample_init(*s);
  ASSERT_EQ(profile_median(median, &low, &high, three, gains, 3), STATUS_OK);
  EXPECT_FLOAT_EQ(median.data[0], 3);  // 2, 3, 100
  EXPECT_FLOAT_EQ(median.data[1], 4);  // 4, 8, 0.5
  EXPECT_FLOAT_EQ(median.data[median.stride], 2);  // 8, 1, 2
  EXPECT_FLOAT_EQ(low.data[1], 0.5f);
  EXPECT_FLOAT_EQ(high.data[0], 100);
  ASSERT_EQ(profile_median(median, nullptr, nullptr, three, gains, 2), STATUS_OK);
  EXPECT_FLOAT_EQ(median.data[0], std::sqrt(6.0f));  // 2 and 3: their mean in dB
  Sample wide = rows_of({{1, 2, 3}});
  const Sample* mixed[] = {&a, &wide};
  EXPECT_EQ(profile_median(median, nullptr, nullptr, mixed, gains, 2), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(profile_median(median, nullptr, nullptr, mixed, gains, 0), STATUS_BAD_ARGUMENT);
  for_each_alloc_failure([&] {
    Sample m, l;
    sample_init(m);
    sample_init(l);
    Status st = profile_median(m, &l, nullptr, three, gains, 3);
    EXPECT_EQ(st, alloc_failure_hit() ? STATUS_NO_MEMORY : STATUS_OK);
    EXPECT_EQ(m.data == nullptr, alloc_failure_hit());
    sample_destroy(m);
    sample_destroy(l);
  });
  for (Sample* s : {&a, &b, &c, &median, &low, &high, &wide}) sample_destroy(*s);
}

// A mono profile serves every channel; several channels give a mono one
// their power mean; other counts are refused.
TEST(ProfileMedian, ProfilesForOtherChannelCounts) {
  Sample mono = rows_of({{1, 2}}), stereo = rows_of({{3, 0}, {4, 2}}), out;
  sample_init(out);
  ASSERT_EQ(profile_for_channels(out, mono, 3), STATUS_OK);
  ASSERT_EQ(out.channels, 3u);
  EXPECT_EQ(out.data[2 * out.stride + 1], 2.0f);
  ASSERT_EQ(profile_for_channels(out, stereo, 1), STATUS_OK);
  EXPECT_FLOAT_EQ(out.data[0], std::sqrt(12.5f));  // sqrt((9 + 16) / 2)
  EXPECT_FLOAT_EQ(out.data[1], std::sqrt(2.0f));
  EXPECT_EQ(profile_for_channels(out, stereo, 3), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(out.channels, 1u);
  for_each_alloc_failure([&] {
    Sample o;
    sample_init(o);
    Status st = profile_for_channels(o, stereo, 1);
    EXPECT_EQ(st, alloc_failure_hit() ? STATUS_NO_MEMORY : STATUS_OK);
    sample_destroy(o);
  });
  for (Sample* s : {&mono, &stereo, &out}) sample_destroy(*s);
}
