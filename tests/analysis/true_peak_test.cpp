#include "analysis/true_peak.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <ebur128.h>
#include <gtest/gtest.h>

#include "analysis/loudness.h"
#include "tests/analysis/reference.h"
#include "tests/support/alloc_fail.h"

namespace {

using namespace reference;

constexpr uint64_t kBlock = 4096;  // the measure's block, where boundaries matter

struct Peaks {
  double true_peak, sample_peak;
};

// The reference: libebur128 over the whole channel in one state, fed as
// the tool fed it before the selective measure existed.
Peaks library_peaks(const std::vector<float>& x, uint64_t rate) {
  ebur128_state* st = ebur128_init(1, static_cast<unsigned long>(rate), EBUR128_MODE_TRUE_PEAK);
  EXPECT_NE(st, nullptr);
  for (size_t at = 0; at < x.size(); at += kBlock)
    EXPECT_EQ(ebur128_add_frames_float(st, x.data() + at, std::min<size_t>(kBlock, x.size() - at)), EBUR128_SUCCESS);
  Peaks p{};
  EXPECT_EQ(ebur128_true_peak(st, 0, &p.true_peak), EBUR128_SUCCESS);
  EXPECT_EQ(ebur128_sample_peak(st, 0, &p.sample_peak), EBUR128_SUCCESS);
  ebur128_destroy(&st);
  return p;
}

// Measures x every way: the whole-channel pass, the selective measure of
// the whole channel, and the measure fed in blocks of several sizes; the
// values must be identical, not merely close.
TruePeakPath expect_exact(const std::vector<float>& x, uint64_t rate, const char* what) {
  SCOPED_TRACE(what);
  Peaks ref = library_peaks(x, rate);
  ChannelPeaks got{-1.0, -1.0, TRUE_PEAK_FULL_ASKED};
  EXPECT_EQ(measure_channel_peaks(x.data(), x.size(), rate, &got), STATUS_OK);
  EXPECT_EQ(got.true_peak, ref.true_peak) << "rate " << rate << " length " << x.size();
  EXPECT_EQ(got.sample_peak, ref.sample_peak) << "rate " << rate << " length " << x.size();
  for (size_t block : {size_t(7), size_t(4096), size_t(65536)}) {
    ChannelPeakStream stream;
    channel_peak_stream_init(stream);
    EXPECT_EQ(channel_peak_stream_start(stream, rate, x.size()), STATUS_OK);
    for (size_t at = 0; at < x.size(); at += block)
      EXPECT_EQ(channel_peak_stream_push(stream, x.data() + at, std::min(block, x.size() - at)), STATUS_OK);
    ChannelPeaks fed{-1.0, -1.0, TRUE_PEAK_FULL_ASKED};
    EXPECT_EQ(channel_peak_stream_finish(stream, &fed), STATUS_OK);
    channel_peak_stream_release(stream);
    EXPECT_EQ(fed.true_peak, ref.true_peak) << "in blocks of " << block << ", rate " << rate << " length " << x.size();
    EXPECT_EQ(fed.sample_peak, ref.sample_peak) << "in blocks of " << block;
  }
  return got.path;
}

std::vector<float> white(size_t n, double sd, uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> d(0.0, sd);
  std::vector<float> v(n);
  for (auto& s : v) s = float(d(gen));
  return v;
}

// Roughly pink: the sum of one-pole low-passes an octave apart.
std::vector<float> pinkish(size_t n, uint32_t seed) {
  std::vector<float> w = white(n, 0.1, seed), v(n);
  double state[6] = {};
  for (size_t i = 0; i < n; ++i) {
    double sum = 0.0;
    for (int k = 0; k < 6; ++k) {
      double a = std::ldexp(1.0, -k);
      state[k] += a * (w[i] - state[k]);
      sum += state[k];
    }
    v[i] = float(sum);
  }
  return v;
}

// A sine at rate / divisor, 45 degrees off its crests, under a slow swell
// so that the blocks differ: its true peak lies between samples.
std::vector<float> swelling_sine(size_t n, double divisor, double amplitude) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) {
    double swell = 0.8 + 0.2 * std::sin(2 * M_PI * double(i) / double(n));
    v[i] = float(amplitude * swell * std::sin(2 * M_PI * double(i) / divisor + M_PI / 4));
  }
  return v;
}

// The library behaves as the measure assumes: a call's peak is that of the
// call's frames alone and includes their sample peak, its impulse response
// is the model filter's, and the whole-channel value is the largest of the
// per-call values however the channel is cut.
TEST(TruePeak, LibraryFactsTheMeasureRestsOn) {
  for (uint64_t rate : {44100u, 48000u, 96000u, 192000u}) {
    SCOPED_TRACE(rate);
    TruePeakFilter f;
    true_peak_filter_for_rate(rate, &f);
    EXPECT_EQ(f.factor, rate < 96000 ? 4u : rate < 192000 ? 2u : 1u);
    ebur128_state* st = ebur128_init(1, static_cast<unsigned long>(rate), EBUR128_MODE_TRUE_PEAK);
    ASSERT_NE(st, nullptr);
    const float one = 1.0f, zero = 0.0f, half = 0.5f;
    for (unsigned d = 0; d < 40; ++d) {
      ASSERT_EQ(ebur128_add_frames_float(st, d == 0 ? &one : &zero, 1), EBUR128_SUCCESS);
      double v = -1.0;
      ASSERT_EQ(ebur128_prev_true_peak(st, 0, &v), EBUR128_SUCCESS);
      double expected = d == 0 ? 1.0 : 0.0;
      for (unsigned p = 0; f.factor > 1 && p < f.factor; ++p)
        if (p + f.factor * d < 49) expected = std::max(expected, std::fabs(f.coeff[p + f.factor * d]));
      EXPECT_NEAR(v, expected, 1e-7) << "frame " << d;
    }
    // A DC step's first frame: its sample (0.5) is the call's peak, not the
    // earlier impulse's.
    ASSERT_EQ(ebur128_add_frames_float(st, &half, 1), EBUR128_SUCCESS);
    double v = -1.0;
    ASSERT_EQ(ebur128_prev_true_peak(st, 0, &v), EBUR128_SUCCESS);
    EXPECT_EQ(v, 0.5);
    ebur128_destroy(&st);

    std::vector<float> x = swelling_sine(30011, 4.0, 0.7);
    Peaks whole = library_peaks(x, rate);
    st = ebur128_init(1, static_cast<unsigned long>(rate), EBUR128_MODE_TRUE_PEAK);
    double largest = 0.0;
    for (size_t at = 0, step = 1; at < x.size(); at += step, step = step * 3 % 1777 + 1) {
      size_t n = std::min(step, x.size() - at);
      ASSERT_EQ(ebur128_add_frames_float(st, x.data() + at, n), EBUR128_SUCCESS);
      double p = 0.0;
      ASSERT_EQ(ebur128_prev_true_peak(st, 0, &p), EBUR128_SUCCESS);
      largest = std::max(largest, p);
    }
    EXPECT_EQ(largest, whole.true_peak);
    ebur128_destroy(&st);
  }
}

TEST(TruePeak, EqualsTheWholeChannelPassOnSignals) {
  const size_t n = 25 * kBlock + 123;
  EXPECT_EQ(expect_exact(white(n, 0.2, 1), 48000, "white noise"), TRUE_PEAK_SELECTIVE);
  EXPECT_EQ(expect_exact(pinkish(n, 2), 48000, "pink-ish noise"), TRUE_PEAK_SELECTIVE);
  for (uint64_t rate : {44100u, 48000u, 96000u, 192000u}) {
    // A quarter and a third of the rate, and next to Nyquist.
    for (double divisor : {4.0, 3.0, 2.05}) {
      std::vector<float> x = swelling_sine(n, divisor, 0.9);
      EXPECT_EQ(expect_exact(x, rate, "sine near Nyquist"), TRUE_PEAK_SELECTIVE) << rate << " " << divisor;
    }
    expect_exact(pinkish(n + rate % 7, unsigned(rate)), rate, "pink-ish noise at each rate");
  }
  // A sine at a quarter of the rate 45 degrees off its crests really peaks
  // between samples (3 dB), so the oversampled value is what was compared.
  Peaks ref = library_peaks(swelling_sine(n, 4.0, 0.9), 48000);
  EXPECT_GT(ref.true_peak / ref.sample_peak, 1.35);

  // Loud noise clipped hard: every block touches the clip level, so the
  // sample peaks tie everywhere and the inter-sample overs decide.
  std::vector<float> clipped = white(n, 1.0, 3);
  for (auto& s : clipped) s = std::clamp(s, -0.5f, 0.5f);
  EXPECT_EQ(expect_exact(clipped, 48000, "brickwall-clipped noise"), TRUE_PEAK_SELECTIVE);
  Peaks clip = library_peaks(clipped, 48000);
  EXPECT_EQ(clip.sample_peak, 0.5);
  EXPECT_GT(clip.true_peak, 0.55);

  std::vector<float> silence(n, 0.0f);
  EXPECT_EQ(expect_exact(silence, 48000, "silence"), TRUE_PEAK_SELECTIVE);
}

// One impulse among silence and faint noise, at every position around
// block boundaries (and the channel's first and last frames): the block
// that holds the impulse's ringing may be the one after it.
TEST(TruePeak, ImpulseAtEveryPositionNearABlockBoundary) {
  const size_t n = 9 * kBlock + 77;
  std::vector<float> bed = white(n, 1e-3, 4);
  std::vector<size_t> positions;
  for (size_t i = 0; i < 30; ++i) positions.push_back(i);
  for (size_t boundary : {kBlock, 9 * kBlock})
    for (size_t d = 0; d < 60; ++d) positions.push_back(boundary - 30 + d);
  for (size_t i = 0; i < 30; ++i) positions.push_back(n - 1 - i);
  for (uint64_t rate : {48000u, 96000u}) {
    for (size_t pos : positions) {
      SCOPED_TRACE(pos);
      std::vector<float> x = bed;
      x[pos] = 0.8f;
      EXPECT_EQ(expect_exact(x, rate, "impulse"), TRUE_PEAK_SELECTIVE);
      std::vector<float> alone(n, 0.0f);
      alone[pos] = -0.6f;
      expect_exact(alone, rate, "impulse in silence");
    }
  }
}

TEST(TruePeak, LengthsAroundTheBlockAndShortChannels) {
  std::vector<float> noise = pinkish(9 * kBlock + 1, 5);
  for (size_t len : {size_t(1), size_t(2), size_t(13), kBlock - 1, kBlock, kBlock + 1, 8 * kBlock - 1, 8 * kBlock,
                     8 * kBlock + 1, 9 * kBlock + 1}) {
    std::vector<float> x(noise.begin(), noise.begin() + long(len));
    for (uint64_t rate : {44100u, 192000u}) {
      TruePeakPath path = expect_exact(x, rate, "length");
      EXPECT_EQ(path, (len + kBlock - 1) / kBlock < 8 ? TRUE_PEAK_FULL_SHORT : TRUE_PEAK_SELECTIVE) << len;
    }
  }
  ChannelPeaks p{7.0, 7.0, TRUE_PEAK_FULL_ASKED};
  ASSERT_EQ(measure_channel_peaks(nullptr, 0, 48000, &p), STATUS_OK);
  EXPECT_EQ(p.true_peak, 0.0);
  EXPECT_EQ(measure_channel_peaks(nullptr, 5, 48000, &p), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(measure_channel_peaks(noise.data(), 5, 0, &p), STATUS_BAD_ARGUMENT);
}

// Each guard gives way to the whole-channel pass, which still gives the
// library's values.
TEST(TruePeak, GuardsFallBackToTheWholeChannelPass) {
  const size_t n = 20 * kBlock + 9;
  std::vector<float> x = swelling_sine(n, 4.0, 0.9);
  Peaks ref = library_peaks(x, 48000);
  ChannelPeaks got{};

  // A model that is not the library's filter: coefficients 1 % off, a 2x
  // filter at a 4x rate, no oversampling at all, a factor it cannot model.
  TruePeakFilter right, wrong;
  true_peak_filter_for_rate(48000, &right);
  wrong = right;
  for (double& c : wrong.coeff) c *= 0.99;
  std::vector<TruePeakFilter> wrongs{wrong};
  true_peak_filter_for_rate(96000, &wrong);
  wrongs.push_back(wrong);
  true_peak_filter_for_rate(192000, &wrong);
  wrongs.push_back(wrong);
  wrong = right;
  wrong.factor = 7;
  wrongs.push_back(wrong);
  for (const TruePeakFilter& w : wrongs) {
    ASSERT_EQ(measure_channel_peaks_with_model(x.data(), n, 48000, w, &got), STATUS_OK);
    EXPECT_EQ(got.path, TRUE_PEAK_FULL_PROBE);
    EXPECT_EQ(got.true_peak, ref.true_peak);
    EXPECT_EQ(got.sample_peak, ref.sample_peak);
  }
  // The same call with the right model takes the selective way.
  ASSERT_EQ(measure_channel_peaks_with_model(x.data(), n, 48000, right, &got), STATUS_OK);
  EXPECT_EQ(got.path, TRUE_PEAK_SELECTIVE);
  EXPECT_EQ(got.true_peak, ref.true_peak);

  // Every block at the same level: too many candidates.
  std::vector<float> square(n);
  for (size_t i = 0; i < n; ++i) square[i] = (i / 16) % 2 ? 0.7f : -0.7f;
  EXPECT_EQ(expect_exact(square, 48000, "square wave"), TRUE_PEAK_FULL_CROWDED);

  // Values the error bound does not cover: infinite, and so small that
  // products flush to zero.
  std::vector<float> inf = x;
  inf[n / 2] = std::numeric_limits<float>::infinity();
  EXPECT_EQ(expect_exact(inf, 48000, "infinity"), TRUE_PEAK_FULL_RANGE);
  std::vector<float> tiny = x;
  for (auto& s : tiny) s *= 1e-33f;
  EXPECT_EQ(expect_exact(tiny, 48000, "tiny"), TRUE_PEAK_FULL_RANGE);

  // A NaN is ignored by the library and by the model alike.
  std::vector<float> nan = x;
  nan[n / 3] = std::numeric_limits<float>::quiet_NaN();
  expect_exact(nan, 48000, "NaN");

  ASSERT_EQ(measure_channel_peaks_full(x.data(), n, 48000, &got), STATUS_OK);
  EXPECT_EQ(got.path, TRUE_PEAK_FULL_ASKED);
  EXPECT_EQ(got.true_peak, ref.true_peak);
}

// The loudness measure reports the library's whole-channel peaks of the
// loudest channel, with any number of channels measured at once.
TEST(TruePeak, LoudnessMeasureReportsTheLibraryPeaks) {
  const size_t n = 15 * kBlock + 5;
  for (uint64_t channels : {1u, 2u, 6u}) {
    std::vector<std::vector<float>> rows;
    double tp = 0.0, sp = 0.0;
    for (uint64_t c = 0; c < channels; ++c) {
      rows.push_back(c % 2 ? swelling_sine(n, 2.5 + double(c), 0.3 + 0.1 * double(c)) : pinkish(n, unsigned(c + 10)));
      Peaks p = library_peaks(rows.back(), 48000);
      tp = std::max(tp, p.true_peak);
      sp = std::max(sp, p.sample_peak);
    }
    Sample s = make_sample(rows, 48000);
    LoudnessMeasure m{};
    ASSERT_EQ(measure_loudness(s, &m), STATUS_OK);
    EXPECT_EQ(m.true_peak_db, 20.0 * std::log10(tp)) << channels;
    EXPECT_EQ(m.sample_peak_db, 20.0 * std::log10(sp)) << channels;
    sample_destroy(s);
  }
}

TEST(TruePeak, AllocationFailureGivesNoMemoryAndLeavesResultUnwritten) {
  const size_t n = 10 * kBlock;
  std::vector<float> x = pinkish(n, 6);
  Peaks ref = library_peaks(x, 48000);
  for_each_alloc_failure([&] {
    ChannelPeaks p{1.0, 2.0, TRUE_PEAK_FULL_ASKED};
    Status st = measure_channel_peaks(x.data(), n, 48000, &p);
    if (alloc_failure_hit()) {
      EXPECT_EQ(st, STATUS_NO_MEMORY);
      EXPECT_EQ(p.true_peak, 1.0);
    } else {
      EXPECT_EQ(st, STATUS_OK);
      EXPECT_EQ(p.true_peak, ref.true_peak);
    }
  });
}

}  // namespace
