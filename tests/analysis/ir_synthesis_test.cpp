#include "analysis/ir_synthesis.h"

#include <gtest/gtest.h>

#include "analysis/profile.h"
#include "tests/analysis/reference.h"
#include "tests/support/alloc_fail.h"

namespace {

using namespace reference;

// Windowed, half-rotated inverse DFT of a real magnitude row, in double.
std::vector<double> reference_filter(const std::vector<double>& magnitude) {
  size_t n = magnitude.size();
  std::vector<Complex> x(magnitude.begin(), magnitude.end());
  fft(x, true);
  std::vector<float> w(n);
  nuttall_window(w.data(), n);
  std::vector<double> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = x[(i + n / 2) % n].real() * w[i];
  return out;
}

Sample profile_of(const std::vector<std::vector<float>>& rows, unsigned rank) {
  Sample audio = make_sample(rows, 48000), profile;
  sample_init(profile);
  EXPECT_EQ(compute_profile(profile, audio, rank), STATUS_OK);
  sample_destroy(audio);
  return profile;
}

TEST(IrSynthesis, IdenticalProfilesGiveWindowedImpulse) {
  Sample p = profile_of({noise(9000, 1), noise(9000, 2)}, 10), twice, ir;
  sample_init(twice);
  sample_init(ir);
  ASSERT_EQ(sample_copy(twice, p), STATUS_OK);
  for (uint64_t i = 0; i < 2 * twice.stride; ++i) twice.data[i] *= 2.0f;
  std::vector<float> w(1024);
  nuttall_window(w.data(), 1024);
  for (float factor : {1.0f, 2.0f}) {
    ASSERT_EQ(synthesize_ir(ir, p, factor == 1.0f ? p : twice, 10, 251.0f), STATUS_OK);
    ASSERT_EQ(ir.length, 1024u);
    for (uint64_t c = 0; c < 2; ++c)
      for (size_t i = 0; i < 1024; ++i)
        EXPECT_NEAR(ir.data[c * ir.stride + i], i == 512 ? factor * w[512] : 0.0f, 1e-5f) << i;
  }
  sample_destroy(p);
  sample_destroy(twice);
  sample_destroy(ir);
}

TEST(IrSynthesis, MatchesDoubleReferenceAndIsSymmetric) {
  for (unsigned rank : {12u, 16u}) {
    size_t n = size_t{1} << rank;
    std::vector<float> lowpassed = noise(3 * n, 11);
    for (size_t i = lowpassed.size() - 1; i > 0; --i) lowpassed[i] = 0.5f * (lowpassed[i] + lowpassed[i - 1]);
    Sample ref = profile_of({noise(3 * n, 10)}, rank), tgt = profile_of({lowpassed}, rank), ir, fr;
    sample_init(ir);
    sample_init(fr);
    ASSERT_EQ(synthesize_ir(ir, ref, tgt, rank, 251.0f), STATUS_OK);
    ASSERT_EQ(synthesize_frequency_response(fr, tgt, rank), STATUS_OK);
    std::vector<double> ratio(n), magnitude(n);
    for (size_t k = 0; k < n; ++k) {
      ratio[k] = double(tgt.data[k]) / double(ref.data[k]);
      magnitude[k] = tgt.data[k];
    }
    std::vector<double> want_ir = reference_filter(ratio), want_fr = reference_filter(magnitude);
    EXPECT_LT(rms_error(ir.data, want_ir, n), 1e-2) << rank;
    EXPECT_LT(peak_error(fr.data, want_fr, n), rank == 12 ? 1e-4 : 1e-3) << rank;
    for (size_t m = 1; m < n / 2; ++m) EXPECT_NEAR(fr.data[n / 2 + m], fr.data[n / 2 - m], 1e-4 * want_fr[n / 2]);
    EXPECT_EQ(fr.sample_rate, 0u);
    sample_destroy(ref);
    sample_destroy(tgt);
    sample_destroy(ir);
    sample_destroy(fr);
  }
}

TEST(IrSynthesis, UnitProfileResponseIsWindowedImpulse) {
  Sample ones, fr;
  sample_init(ones);
  sample_init(fr);
  ASSERT_TRUE(sample_allocate(ones, 1, 256, 256));
  for (size_t k = 0; k < 256; ++k) ones.data[k] = 1.0f;
  ASSERT_EQ(synthesize_frequency_response(fr, ones, 8), STATUS_OK);
  std::vector<float> w(256);
  nuttall_window(w.data(), 256);
  for (size_t i = 0; i < 256; ++i) EXPECT_NEAR(fr.data[i], i == 128 ? w[128] : 0.0f, 1e-6f);
  sample_destroy(ones);
  sample_destroy(fr);
}

// A zero reference bin must not poison the filter: 0/0 becomes 1 and x/0
// becomes the cap, while ordinary bins keep their exact ratio.
TEST(IrSynthesis, NonFiniteRatiosBecomeOneOrCap) {
  const size_t n = 256;
  Sample ref, tgt, ir;
  sample_init(ref);
  sample_init(tgt);
  sample_init(ir);
  ASSERT_TRUE(sample_allocate(ref, 2, n, n));
  ASSERT_TRUE(sample_allocate(tgt, 2, n, n));
  std::vector<double> want0(n), want1(n);
  for (size_t k = 0; k < n; ++k) {
    // channel 0: silent reference and target; channel 1: zero reference bins 3 and n-3
    ref.data[n + k] = (k == 3 || k == n - 3) ? 0.0f : 2.0f;
    tgt.data[n + k] = 1000.0f;
    want0[k] = 1.0;
    want1[k] = (k == 3 || k == n - 3) ? 4.0 : 500.0;
  }
  ASSERT_EQ(synthesize_ir(ir, ref, tgt, 8, 4.0f), STATUS_OK);
  std::vector<double> r0 = reference_filter(want0), r1 = reference_filter(want1);
  EXPECT_LT(peak_error(ir.data, r0, n), 1e-5);
  EXPECT_LT(peak_error(ir.data + n, r1, n), 1e-5);
  sample_destroy(ref);
  sample_destroy(tgt);
  sample_destroy(ir);
}

TEST(IrSynthesis, ShapeMismatchMessagesAndFailures) {
  Sample a = profile_of({noise(500, 1)}, 8), b = profile_of({noise(500, 2)}, 9);
  Sample c = profile_of({noise(500, 3), noise(500, 4)}, 8), ir, empty;
  sample_init(ir);
  sample_init(empty);
  testing::internal::CaptureStderr();
  EXPECT_EQ(synthesize_ir(ir, a, b, 8, 1.0f), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "  The lenghts of audio profiles differ\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(synthesize_ir(ir, a, c, 8, 1.0f), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "  The number of channels of audio profiles differ\n");
  empty.length = 256;
  empty.channels = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(synthesize_ir(ir, a, empty, 8, 1.0f), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "  Error initializing the sample data\n");
  EXPECT_EQ(ir.data, nullptr);

  for_each_alloc_failure([&] {
    Sample out;
    sample_init(out);
    testing::internal::CaptureStderr();
    Status s1 = synthesize_ir(out, a, a, 8, 1.0f);
    std::string text = testing::internal::GetCapturedStderr();
    Status s2 = synthesize_frequency_response(out, c, 8);
    if (alloc_failure_hit()) {
      EXPECT_TRUE(s1 == STATUS_NO_MEMORY || s1 == STATUS_BAD_ARGUMENT || s2 == STATUS_NO_MEMORY);
      if (s1 == STATUS_BAD_ARGUMENT) {
        EXPECT_EQ(text, "  Error initializing the sample data\n");
      }
      if (s2 == STATUS_NO_MEMORY) {
        EXPECT_EQ(out.channels, s1 == STATUS_OK ? 1u : 0u);
      }
    }
    sample_destroy(out);
  });
  sample_destroy(a);
  sample_destroy(b);
  sample_destroy(c);
}

}  // namespace
