#include "analysis/mix.h"

#include "analysis/convolver.h"
#include "analysis/loudness.h"
#include "analysis/sample_progress.h"
#include "dsp/dsp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <thread>

#include "runtime/alloc.h"

#include "tests/analysis/reference.h"
#include "tests/support/alloc_fail.h"

namespace {

using namespace reference;

// Expected mix built in double from a direct convolution.
std::vector<double> expected_mix(const std::vector<float>& in, const std::vector<float>& ir, int64_t latency,
                                 float dry, float wet, size_t length) {
  std::vector<double> out(length, 0.0), conv = direct_convolve(in, ir);
  size_t dry_at = latency >= 1 ? size_t(latency) : 0, wet_at = latency >= 1 ? 0 : size_t(-latency);
  for (size_t t = 0; t < in.size(); ++t) out[dry_at + t] += double(dry) * in[t];
  for (size_t t = 0; t < conv.size(); ++t) out[wet_at + t] += double(wet) * conv[t];
  return out;
}

struct MixCase {
  size_t b, m;
  int64_t latency;
  uint64_t length;
};

TEST(Mix, LengthsAndAlignments) {
  const MixCase cases[] = {{10000, 1, 0, 10001}, {10000, 4096, 2048, 14096}, {10000, 1000, -409, 11409},
                           {300, 100, 1000, 1300}};
  for (const MixCase& k : cases) {
    std::vector<float> a = noise(k.b, 1), b2 = noise(k.b, 2), ir = noise(k.m, 3, 0.05f);
    if (k.m == 1) ir[0] = 1.0f;
    std::vector<float> ir2 = noise(k.m, 4, 0.05f);
    Sample in = make_sample({a, b2}, 48000), taps = make_sample({ir, k.m == 1 ? ir : ir2}, 48000), out;
    sample_init(out);
    ASSERT_EQ(convolve_mix(out, in, taps, k.latency, 0.5f, 0.75f), STATUS_OK);
    EXPECT_EQ(out.length, k.length);
    EXPECT_EQ(out.channels, 2u);
    EXPECT_EQ(out.sample_rate, 0u);
    std::vector<double> want0 = expected_mix(a, ir, k.latency, 0.5f, 0.75f, k.length);
    std::vector<double> want1 = expected_mix(b2, k.m == 1 ? ir : ir2, k.latency, 0.5f, 0.75f, k.length);
    EXPECT_LT(peak_error(out.data, want0, k.length), 1e-4) << k.latency;
    EXPECT_LT(peak_error(out.data + out.stride, want1, k.length), 1e-4) << k.latency;
    if (k.m == 1) {
      EXPECT_FLOAT_EQ(out.data[5], 1.25f * a[5]);
      EXPECT_NEAR(out.data[k.b], 0.0f, 1e-6f);
    }
    sample_destroy(in);
    sample_destroy(taps);
    sample_destroy(out);
  }
}

// The mix hands the wet signal out a piece at a time, from the zero-latency
// convolver for short filters and from the block convolver for long ones;
// it must give what one pass over the zero-latency convolver's whole
// convolution gives, wherever dry and wet land (a latency past the wet end
// leaves a zero gap, a negative one delays the wet), on every channel: the
// same bits for short filters, within 1e-6 relative RMS for long ones. A dry
// gain of 0 leaves the dry part out.
TEST(Mix, PiecewiseMixEqualsWholeConvolution) {
  const MixCase cases[] = {{40001, 300, 5000, 45001},   {40001, 300, -700, 41001}, {33000, 129, 100000, 133000},
                           {16384, 1, 0, 16385},        {20001, 128, -3, 20132},   {90001, 4096, 77, 94097},
                           {70001, 65536, -1001, 136538}};
  const DspTable& t = dsp();
  for (float dry : {0.5f, 0.0f}) {
    for (const MixCase& k : cases) {
      std::vector<float> a = noise(k.b, 7), a2 = noise(k.b, 17);
      std::vector<float> ir = noise(k.m, 8, 0.05f), ir2 = noise(k.m, 18, 0.05f);
      Sample in = make_sample({a, a2}, 48000), taps = make_sample({ir, ir2}, 48000), out;
      sample_init(out);
      ASSERT_EQ(convolve_mix(out, in, taps, k.latency, dry, 0.75f), STATUS_OK);
      ASSERT_EQ(out.length, k.length);
      ASSERT_EQ(out.channels, 2u);
      for (uint64_t c = 0; c < 2; ++c) {
        const std::vector<float>& x = c ? a2 : a;
        const std::vector<float>& h = c ? ir2 : ir;
        std::vector<float> wet(k.b + k.m, 0.0f), want(k.length, 0.0f);
        Convolver conv;
        convolver_clear(conv);
        ASSERT_TRUE(convolver_init(conv, h.data(), k.m, 16, 0.0f));
        convolver_process(conv, wet.data(), x.data(), k.b);
        convolver_process(conv, wet.data() + k.b, wet.data() + k.b, k.m);
        convolver_destroy(conv);
        size_t dry_at = k.latency >= 1 ? size_t(k.latency) : 0, wet_at = k.latency >= 1 ? 0 : size_t(-k.latency);
        t.scale_copy(want.data() + dry_at, x.data(), k.b, dry);
        t.multiply_add(want.data() + wet_at, wet.data(), wet.size(), 0.75f);
        const float* got = out.data + c * out.stride;
        if (k.m <= 128) {
          size_t differ = 0;
          for (size_t i = 0; i < k.length; ++i) differ += got[i] != want[i];
          EXPECT_EQ(differ, 0u) << "latency " << k.latency << ", dry " << dry << ", channel " << c;
        } else {
          EXPECT_LT(rms_error(got, want, k.length), 1e-6)
              << k.m << " taps, latency " << k.latency << ", dry " << dry << ", channel " << c;
          // The dry signal alone (before the wet starts) is exact.
          size_t dry_only = k.latency < 0 ? size_t(-k.latency) : 0, differ = 0;
          for (size_t i = 0; i < dry_only; ++i) differ += got[i] != want[i];
          EXPECT_EQ(differ, 0u);
        }
      }
      sample_destroy(in);
      sample_destroy(taps);
      sample_destroy(out);
    }
  }
}

// The output rows are not cleared before the mix writes them, and large
// blocks come back from earlier use with old contents: every value, the
// padding and the stretches with no signal included, must still be
// written. The output is made to land in a block full of NaNs.
TEST(Mix, WritesEveryOutputValue) {
  const MixCase cases[] = {{300001, 200, 1000, 301001}, {300001, 200, -50, 300251}};
  for (float dry : {0.0f, 0.5f}) {
    for (const MixCase& k : cases) {
      std::vector<float> a = noise(k.b, 11), b2 = noise(k.b, 12), ir = noise(k.m, 13, 0.05f);
      Sample in = make_sample({a, b2}, 48000), taps = make_sample({ir, ir}, 48000), out;
      sample_init(out);
      uint64_t stride = sample_floored_stride(k.length);
      size_t bytes = size_t(2 * stride) * sizeof(float);
      mem_release_kept();
      float* dirty = static_cast<float*>(mem_alloc(bytes));
      ASSERT_NE(dirty, nullptr);
      for (size_t i = 0; i < bytes / sizeof(float); ++i) dirty[i] = std::numeric_limits<float>::quiet_NaN();
      mem_free(dirty);
      ASSERT_EQ(convolve_mix(out, in, taps, k.latency, dry, 0.75f), STATUS_OK);
      ASSERT_EQ(out.stride, stride);
      EXPECT_EQ(out.data, dirty) << "the output did not reuse the block; the check proves nothing";
      for (uint64_t c = 0; c < 2; ++c) {
        const float* row = out.data + c * stride;
        std::vector<double> want = expected_mix(c ? b2 : a, ir, k.latency, dry, 0.75f, k.length);
        EXPECT_LT(peak_error(row, want, k.length), 1e-4) << "latency " << k.latency << ", dry " << dry;
        size_t bad = 0;
        for (uint64_t i = k.length; i < stride; ++i) bad += row[i] != 0.0f;
        EXPECT_EQ(bad, 0u) << "padding";
      }
      sample_destroy(in);
      sample_destroy(taps);
      sample_destroy(out);
    }
  }
}

TEST(Mix, NormalizeModes) {
  struct Norm {
    int mode;
    float peak, expected;
  };
  const Norm cases[] = {{1, 0.8f, 0.5f}, {1, 0.3f, 0.3f}, {2, 0.8f, 0.8f}, {2, 0.3f, 0.5f},
                        {3, 0.8f, 0.5f}, {3, 0.3f, 0.5f}, {7, 0.3f, 0.5f}, {0, 0.8f, 0.8f}};
  for (const Norm& k : cases) {
    Sample s = make_sample({{0.1f, -k.peak}, {0.05f, 0.0f}}, 48000);
    ASSERT_EQ(normalize(s, k.mode, 0.5f), STATUS_OK);
    EXPECT_FLOAT_EQ(-s.data[1], k.expected) << k.mode << " " << k.peak;
    EXPECT_FLOAT_EQ(s.data[s.stride], 0.05f * k.expected / k.peak);
    sample_destroy(s);
  }
  Sample silent = make_sample({{0.0f, 5e-7f}}, 48000);
  ASSERT_EQ(normalize(silent, 3, 0.5f), STATUS_OK);
  EXPECT_EQ(silent.data[1], 5e-7f);
  sample_destroy(silent);
}

TEST(Mix, LatencyCompensationAndLengthMatching) {
  std::vector<float> x(14096);
  for (size_t i = 0; i < x.size(); ++i) x[i] = float(i);
  Sample s = make_sample({x, x}, 48000);
  compensate_latency(s, 2048);
  EXPECT_EQ(s.length, 12048u);
  EXPECT_EQ(s.data[0], 2048.0f);
  EXPECT_EQ(s.data[s.stride + 12047], 14095.0f);
  compensate_latency(s, -409);  // the mix already starts at the centre tap
  EXPECT_EQ(s.length, 12048u);
  EXPECT_EQ(s.data[0], 2048.0f);
  compensate_latency(s, 0);
  EXPECT_EQ(s.length, 12048u);
  ASSERT_TRUE(sample_resize(s, s.channels, 20000, 20000));
  EXPECT_EQ(s.data[12047], 14095.0f);
  EXPECT_EQ(s.data[12048], 0.0f);
  EXPECT_EQ(s.data[s.stride + 19999], 0.0f);
  ASSERT_TRUE(sample_resize(s, s.channels, 100, 100));
  EXPECT_EQ(s.length, 100u);
  EXPECT_EQ(s.data[99], 2147.0f);
  compensate_latency(s, 1000);
  EXPECT_EQ(s.length, 0u);
  sample_destroy(s);
}

// The one-pass range gives the bits of the mix followed by normalization,
// latency compensation and length matching, whichever of those apply; its
// peak is the one normalization measures on the whole mix. Windows start
// at 0, inside the dry-only head, inside the wet signal and past the end;
// they end before, at and past the end of the mix.
TEST(Mix, RangeEqualsMixThenCutNormalizeAndPad) {
  struct RangeCase {
    size_t b, m;
    int64_t latency;
    uint64_t first;
    int64_t length;
  };
  const RangeCase cases[] = {{40001, 300, 5000, 5000, -1},     {40001, 300, 5000, 5000, 40001},
                             {40001, 300, -700, 0, 40001},     {30001, 1, 0, 0, -1},
                             {30001, 4096, 2048, 2048, 30001}, {30001, 4096, 2048, 100000, 30001},
                             {30001, 4096, 2048, 2048, 0},     {20000, 40000, 20000, 12345, 70000},
                             {50000, 129, 90000, 1000, -1}};
  const DspTable& t = dsp();
  for (float dry : {0.0f, 0.5f}) {
    for (const RangeCase& k : cases) {
      Sample in = make_sample({noise(k.b, 31), noise(k.b, 32)}, 48000);
      Sample ir = make_sample({noise(k.m, 33, 0.05f), noise(k.m, 34, 0.05f)}, 48000);
      Sample whole, range;
      sample_init(whole);
      sample_init(range);
      ASSERT_EQ(convolve_mix(whole, in, ir, k.latency, dry, 0.75f), STATUS_OK);
      float want_peak = 0.0f;
      for (uint64_t c = 0; c < 2; ++c)
        want_peak = std::max(want_peak, t.peak_abs(whole.data + c * whole.stride, size_t(whole.length)));
      ASSERT_EQ(normalize(whole, NORMALIZE_ALWAYS, 0.5f), STATUS_OK);
      compensate_latency(whole, int64_t(k.first));
      if (k.length >= 0) {
        ASSERT_TRUE(sample_resize(whole, 2, uint64_t(k.length), uint64_t(k.length)));
      }

      float peak = -1.0f;
      ASSERT_EQ(convolve_mix_range(range, in, ir, k.latency, dry, 0.75f, k.first, k.length, &peak), STATUS_OK);
      EXPECT_EQ(peak, want_peak);
      ASSERT_EQ(normalize_to_peak(range, NORMALIZE_ALWAYS, 0.5f, peak), STATUS_OK);
      ASSERT_EQ(range.length, whole.length) << "first " << k.first << ", length " << k.length;
      for (uint64_t c = 0; c < 2; ++c) {
        const float* a = range.data + c * range.stride;
        const float* w = whole.data + c * whole.stride;
        size_t differ = 0, padding = 0;
        for (uint64_t i = 0; i < range.length; ++i) differ += std::memcmp(&a[i], &w[i], sizeof(float)) != 0;
        for (uint64_t i = range.length; i < range.stride; ++i) padding += a[i] != 0.0f;
        EXPECT_EQ(differ, 0u) << k.m << " taps, latency " << k.latency << ", first " << k.first << ", length "
                              << k.length << ", dry " << dry << ", channel " << c;
        EXPECT_EQ(padding, 0u);
      }
      sample_destroy(in);
      sample_destroy(ir);
      sample_destroy(whole);
      sample_destroy(range);
    }
  }
}

// A reader that follows the output while it is made: the rows then
// advance together, and every value is still the one of the plain call; a
// frame the reader is told is complete never changes afterwards.
TEST(Mix, FollowedOutputIsTheSameAndComplete) {
  struct FollowCase {
    size_t b, m;
    int64_t latency;
    uint64_t first;
    int64_t length;
    unsigned channels;
  };
  const FollowCase cases[] = {{300001, 4096, 2048, 2048, 300001, 2}, {200001, 100, -700, 0, -1, 3},
                              {150001, 0, 0, 0, -1, 2},              {250000, 40000, 20000, 12345, 70000, 2},
                              {180001, 1, 0, 0, -1, 1},              {1000, 300, 0, 5000, 100, 2}};
  for (float dry : {0.0f, 0.5f}) {
    for (const FollowCase& k : cases) {
      std::vector<std::vector<float>> rows_in, rows_ir;
      for (unsigned c = 0; c < k.channels; ++c) {
        rows_in.push_back(noise(k.b, 41 + c));
        rows_ir.push_back(noise(k.m, 51 + c, 0.05f));
      }
      Sample in = make_sample(rows_in, 48000), ir = make_sample(rows_ir, 48000);
      Sample plain, followed;
      sample_init(plain);
      sample_init(followed);
      float plain_peak = -1.0f, followed_peak = -2.0f;
      ASSERT_EQ(convolve_mix_range(plain, in, ir, k.latency, dry, 0.75f, k.first, k.length, &plain_peak), STATUS_OK);
      SampleProgress progress;
      progress_init(&progress);
      // The reader copies every frame as soon as it is told it is complete.
      std::vector<float> seen;
      uint64_t seen_frames = 0;
      bool reader_ok = false;
      std::thread reader([&] {
        if (!progress_wait(&progress, 1)) return;
        const uint64_t frames = progress.frames, channels = progress.channels;
        seen.assign(size_t(frames * channels), 0.0f);
        for (uint64_t at = 0; at < frames; at += 1000) {
          const uint64_t n = std::min<uint64_t>(1000, frames - at);
          if (!progress_wait(&progress, at + n)) return;
          for (uint64_t c = 0; c < channels; ++c)
            std::memcpy(&seen[size_t(c * frames + at)], progress.data + c * progress.stride + at, n * sizeof(float));
          seen_frames = at + n;
        }
        reader_ok = true;
      });
      ASSERT_EQ(convolve_mix_range(followed, in, ir, k.latency, dry, 0.75f, k.first, k.length, &followed_peak,
                                   &progress),
                STATUS_OK);
      reader.join();
      EXPECT_EQ(followed_peak, plain_peak);
      ASSERT_EQ(followed.length, plain.length);
      EXPECT_TRUE(reader_ok);
      EXPECT_EQ(seen_frames, plain.length);
      size_t differ = 0, differ_seen = 0;
      for (uint64_t c = 0; c < k.channels; ++c) {
        for (uint64_t i = 0; i < plain.stride; ++i)
          differ += std::memcmp(&plain.data[c * plain.stride + i], &followed.data[c * followed.stride + i], 4) != 0;
        for (uint64_t i = 0; i < seen_frames; ++i)
          differ_seen += std::memcmp(&plain.data[c * plain.stride + i], &seen[size_t(c * seen_frames + i)], 4) != 0;
      }
      EXPECT_EQ(differ, 0u) << k.m << " taps, " << k.channels << " channels, dry " << dry;
      EXPECT_EQ(differ_seen, 0u) << k.m << " taps, " << k.channels << " channels, dry " << dry;
      sample_destroy(in);
      sample_destroy(ir);
      sample_destroy(plain);
      sample_destroy(followed);
    }
  }
}

// The loudness measured while the output is made is the one measured on
// the finished output, bit for bit; a mix that fails lets its reader go.
TEST(Mix, LoudnessFollowsTheOutput) {
  Sample in = make_sample({noise(240000, 61), noise(240000, 62)}, 48000);
  Sample ir = make_sample({noise(4096, 63, 0.05f), noise(4096, 64, 0.05f)}, 48000);
  SampleProgress progress;
  progress_init(&progress);
  double followed = 0.0;
  Status followed_status = STATUS_SYSTEM;
  std::thread meter([&] { followed_status = measure_integrated_following(&progress, 48000, &followed); });
  Sample out;
  sample_init(out);
  ASSERT_EQ(convolve_mix_range(out, in, ir, 0, 0.0f, 0.75f, 0, -1, nullptr, &progress), STATUS_OK);
  meter.join();
  ASSERT_EQ(followed_status, STATUS_OK);
  out.sample_rate = 48000;
  LoudnessMeasure whole;
  ASSERT_EQ(measure_loudness(out, &whole), STATUS_OK);
  EXPECT_EQ(followed, whole.integrated_lufs);
  LoudnessMeasure given;
  ASSERT_EQ(measure_loudness(out, &followed, &given), STATUS_OK);
  EXPECT_EQ(given.integrated_lufs, whole.integrated_lufs);
  EXPECT_EQ(given.true_peak_db, whole.true_peak_db);
  EXPECT_EQ(given.sample_peak_db, whole.sample_peak_db);
  sample_destroy(out);

  // Every allocation failure of the mix ends the reader's wait.
  for_each_alloc_failure([&] {
    SampleProgress p;
    progress_init(&p);
    Status reader_status = STATUS_OK;
    double lufs = 0.0;
    std::thread reader([&] { reader_status = measure_integrated_following(&p, 48000, &lufs); });
    Sample o;
    sample_init(o);
    Status st = convolve_mix_range(o, in, ir, 0, 0.0f, 0.75f, 0, -1, nullptr, &p);
    reader.join();
    if (st != STATUS_OK) {
      EXPECT_NE(reader_status, STATUS_OK);
    }
    sample_destroy(o);
  });
  sample_destroy(in);
  sample_destroy(ir);
}

TEST(Mix, AllocationFailureKeepsOutput) {
  Sample in = make_sample({noise(2000, 1), noise(2000, 2)}, 48000);
  Sample ir = make_sample({noise(300, 3), noise(300, 4)}, 48000);
  for_each_alloc_failure([&] {
    Sample out;
    sample_init(out);
    if (!sample_allocate(out, 1, 8, 8)) return;
    float* before = out.data;
    Status st = convolve_mix(out, in, ir, 150, 1.0f, 1.0f);
    if (alloc_failure_hit()) {
      EXPECT_EQ(st, STATUS_NO_MEMORY);
      EXPECT_EQ(out.data, before);
      EXPECT_EQ(out.length, 8u);
    } else {
      EXPECT_EQ(out.length, 2300u);
    }
    sample_destroy(out);
  });
  // The range form allocates a scratch on top.
  for_each_alloc_failure([&] {
    Sample out;
    sample_init(out);
    if (!sample_allocate(out, 1, 8, 8)) return;
    float* before = out.data;
    float peak = -1.0f;
    Status st = convolve_mix_range(out, in, ir, 150, 1.0f, 1.0f, 150, 2000, &peak);
    if (alloc_failure_hit()) {
      EXPECT_EQ(st, STATUS_NO_MEMORY);
      EXPECT_EQ(out.data, before);
      EXPECT_EQ(peak, -1.0f);
    } else {
      EXPECT_EQ(out.length, 2000u);
      EXPECT_GT(peak, 0.0f);
    }
    sample_destroy(out);
  });
  sample_destroy(in);
  sample_destroy(ir);
}

}  // namespace
