#include "analysis/limiter.h"

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/true_peak.h"
#include "tests/support/alloc_fail.h"
#include "tests/support/mirrored_peak.h"

namespace {

using Channels = std::vector<std::vector<float>>;

Sample to_sample(const Channels& x, uint64_t rate) {
  Sample s;
  sample_init(s);
  EXPECT_TRUE(sample_allocate(s, x.size(), x[0].size(), x[0].size()));
  s.sample_rate = rate;
  for (size_t c = 0; c < x.size(); ++c) std::memcpy(s.data + c * s.stride, x[c].data(), x[c].size() * sizeof(float));
  return s;
}

Channels from_sample(const Sample& s) {
  Channels x(s.channels, std::vector<float>(s.length));
  for (size_t c = 0; c < s.channels; ++c) std::memcpy(x[c].data(), s.data + c * s.stride, s.length * sizeof(float));
  return x;
}

Channels limited(const Channels& x, const LimiterSettings& set, LimiterStats* stats = nullptr) {
  Sample s = to_sample(x, set.rate);
  EXPECT_EQ(limiter_apply(s, set, stats), STATUS_OK);
  Channels y = from_sample(s);
  sample_destroy(s);
  return y;
}

// Largest true peak of any channel on libebur128's whole-channel meter, dBTP.
double true_peak_db(const Channels& x, uint64_t rate) {
  double tp = 0.0;
  for (const auto& row : x) {
    ChannelPeaks p{};
    EXPECT_EQ(measure_channel_peaks_full(row.data(), row.size(), rate, &p), STATUS_OK);
    tp = std::max(tp, p.true_peak);
  }
  return 20.0 * std::log10(tp);
}

Channels sine(size_t channels, size_t n, double freq, double amp, uint64_t rate, double phase_step = 0.3) {
  Channels x(channels, std::vector<float>(n));
  for (size_t c = 0; c < channels; ++c)
    for (size_t i = 0; i < n; ++i) x[c][i] = float(amp * std::sin(2.0 * M_PI * freq * double(i) / double(rate) + phase_step * double(c)));
  return x;
}

Channels noise(size_t channels, size_t n, double amp, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> d(-amp, amp);
  Channels x(channels, std::vector<float>(n));
  for (auto& row : x)
    for (auto& v : row) v = float(d(gen));
  return x;
}

// Music-like material: pink-ish noise with a loud pulse four times a second.
Channels pulses(size_t n, uint64_t rate, uint32_t seed) {
  Channels x = noise(2, n, 0.3, seed);
  for (auto& row : x) {
    double lp = 0.0;
    for (size_t i = 0; i < n; ++i) {
      lp += 0.05 * (row[i] - lp);
      const double t = double(i % (rate / 4)) / double(rate);
      row[i] = float(3.0 * lp + 1.6 * std::exp(-t * 40.0) * std::sin(2.0 * M_PI * 70.0 * t) + 0.3 * row[i]);
    }
  }
  return x;
}

TEST(Limiter, CeilingHoldsOnTheLibraryMeter) {
  struct Case {
    const char* what;
    Channels x;
    uint64_t rate;
    double ceiling, lookahead, release;
  };
  const std::vector<Case> cases = {
      {"full-scale white noise", noise(2, 24000, 1.0, 1), 48000, -1.0, 1.5, 0.0},
      {"white noise, short look-ahead", noise(2, 24000, 1.0, 2), 44100, -0.1, 0.5, 0.0},
      {"near-Nyquist sine", sine(2, 24000, 0.49 * 48000, 1.6, 48000, 1.0), 48000, -1.0, 1.5, 0.0},
      {"sine at a quarter of the rate", sine(1, 24000, 0.2501 * 48000, 1.4, 48000), 48000, -3.0, 1.5, 50.0},
      {"pulses, long look-ahead", pulses(48000, 48000, 3), 48000, -1.0, 10.0, 0.0},
      {"pulses at 96 kHz", pulses(48000, 96000, 4), 96000, -0.5, 1.5, 0.0},
      {"pulses at 192 kHz", pulses(48000, 192000, 5), 192000, -6.0, 2.0, 200.0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    LimiterSettings set{k.rate, k.x.size(), k.ceiling, k.lookahead, k.release};
    LimiterStats stats{};
    Channels y = limited(k.x, set, &stats);
    ASSERT_EQ(y[0].size(), k.x[0].size());
    EXPECT_GT(true_peak_db(k.x, k.rate), k.ceiling + 1.0);
    EXPECT_LE(true_peak_db(y, k.rate), k.ceiling);
    // The start, where meters differ in what they assume came before it.
    EXPECT_LE(test_support::mirrored_start_peak_db(y, 64), k.ceiling + 0.05);
    EXPECT_GT(stats.limited_frames, 0u);
    EXPECT_EQ(stats.frames, k.x[0].size());
  }
}

// Below the ceiling the limiter is a pure delay, compensated: the output is
// the input, bit for bit. A click is limited where it is, not before or
// after, and blocks of any size give the same bits.
TEST(Limiter, AlignedAndDeterministic) {
  const uint64_t rate = 48000;
  LimiterSettings set{rate, 2, -1.0, 1.5, 0.0};
  Channels quiet = noise(2, 5000, 0.3, 7);
  LimiterStats stats{};
  EXPECT_EQ(limited(quiet, set, &stats), quiet);
  EXPECT_EQ(stats.limited_frames, 0u);

  Channels click(2, std::vector<float>(3001, 0.0f));
  click[1][1234] = 1.0f;
  Channels y = limited(click, set);
  ASSERT_EQ(y[1].size(), 3001u);
  size_t at = 0;
  for (size_t i = 0; i < y[1].size(); ++i)
    if (std::fabs(y[1][i]) > std::fabs(y[1][at])) at = i;
  EXPECT_EQ(at, 1234u);
  EXPECT_LE(y[1][at], std::pow(10.0, -1.0 / 20.0));
  EXPECT_GT(y[1][at], 0.8);

  Channels x = pulses(30000, rate, 8);
  Channels whole = limited(x, set);
  Limiter l;
  limiter_init(l);
  ASSERT_EQ(limiter_start(l, set), STATUS_OK);
  Channels out(2, std::vector<float>(x[0].size(), -9.0f));
  const size_t sizes[] = {1, 7, 1000, 3001, 64};
  size_t in_at = 0, out_at = 0, turn = 0;
  while (in_at < x[0].size()) {
    const size_t n = std::min(sizes[turn++ % 5], x[0].size() - in_at);
    const float* in[2] = {x[0].data() + in_at, x[1].data() + in_at};
    float* o[2] = {out[0].data() + out_at, out[1].data() + out_at};
    uint64_t produced = 0;
    ASSERT_EQ(limiter_process(l, in, o, n, &produced), STATUS_OK);
    EXPECT_LE(produced, n);
    in_at += n;
    out_at += produced;
  }
  float* o[2] = {out[0].data() + out_at, out[1].data() + out_at};
  uint64_t produced = 0;
  ASSERT_EQ(limiter_flush(l, o, &produced), STATUS_OK);
  EXPECT_EQ(out_at + produced, x[0].size());
  EXPECT_EQ(limiter_latency(l), 16u + 72u + 16u - 1u);
  EXPECT_EQ(limiter_process(l, o, o, 1, &produced), STATUS_INVALID);
  limiter_release(l);
  EXPECT_EQ(out, whole);
}

// A pass that reads back the peaks another pass detected, scaled, limits
// as a pass that detects them: at twice the input (an exact scaling in
// floats) the outputs are the same bits. The kept gains are the ones the
// output frames were multiplied by, and the passes without audio give the
// same peaks and gains.
TEST(Limiter, ReplayedPeaksLimitAsDetectedOnes) {
  const uint64_t rate = 48000;
  const LimiterSettings set{rate, 2, -1.0, 1.5, 0.0};
  const Channels x = pulses(20000, rate, 5);
  Channels twice = x;
  for (auto& row : twice)
    for (float& v : row) v *= 2.0f;
  const Channels fresh = limited(twice, set);
  // pass(in, replay): the output and gains of one streamed pass.
  std::vector<float> peaks;
  auto pass = [&](const Channels& in, bool replay, std::vector<float>* gains) {
    Limiter l;
    limiter_init(l);
    EXPECT_EQ(limiter_start(l, set), STATUS_OK);
    const uint64_t n = in[0].size();
    if (!replay) peaks.assign(n + limiter_latency(l), -1.0f);
    if (replay) {
      limiter_peaks_replay(l, peaks.data(), peaks.size(), 2.0f);
    } else {
      limiter_peaks_record(l, peaks.data(), peaks.size());
    }
    gains->assign(n, -1.0f);
    limiter_gains_into(l, gains->data(), n);
    Channels out(2, std::vector<float>(n));
    const float* rows[2] = {in[0].data(), in[1].data()};
    float* o[2] = {out[0].data(), out[1].data()};
    uint64_t produced = 0, flushed = 0;
    EXPECT_EQ(limiter_process(l, rows, o, n, &produced), STATUS_OK);
    float* tail[2] = {out[0].data() + produced, out[1].data() + produced};
    EXPECT_EQ(limiter_flush(l, tail, &flushed), STATUS_OK);
    EXPECT_EQ(produced + flushed, n);
    limiter_release(l);
    return out;
  };
  std::vector<float> g1, g2;
  pass(x, false, &g1);
  for (float p : peaks) ASSERT_GE(p, 0.0f);
  const Channels replayed = pass(twice, true, &g2);
  EXPECT_EQ(replayed, fresh);
  size_t limited_frames = 0;
  for (size_t i = 0; i < g2.size(); ++i) {
    ASSERT_GT(g2[i], 0.0f);
    ASSERT_LE(g2[i], 1.0f);
    limited_frames += g2[i] < g1[i];
    for (size_t c = 0; c < 2; ++c) ASSERT_EQ(replayed[c][i], g2[i] * twice[c][i]) << i;
  }
  EXPECT_GT(limited_frames, 100u);
  // The peaks alone, and the gains alone of the scaled replay summed as
  // squares over steps of 16 frames (the last step shorter): the same
  // peaks and gains as the streamed passes.
  const uint64_t n = x[0].size();
  std::vector<float> detected(peaks.size(), -1.0f);
  const float* rows[2] = {x[0].data(), x[1].data()};
  ASSERT_EQ(limiter_detect_peaks(set, rows, n, detected.data(), detected.size()), STATUS_OK);
  EXPECT_EQ(detected, peaks);
  std::vector<float> squares((n + 15) / 16 + 1, -1.0f);
  LimiterStats s{};
  ASSERT_EQ(limiter_replay_squares(set, peaks.data(), peaks.size(), 2.0f, n, 16, squares.data(), &s), STATUS_OK);
  double low = 1.0;
  for (size_t b = 0; b < (n + 15) / 16; ++b) {
    double sum = 0.0;
    for (size_t i = 16 * b; i < std::min<size_t>(n, 16 * b + 16); ++i) {
      sum += double(g2[i]) * g2[i];
      low = std::min(low, double(g2[i]));
    }
    ASSERT_NEAR(squares[b], sum, 1e-6 * sum) << b;
  }
  EXPECT_EQ(squares.back(), -1.0f);
  EXPECT_NEAR(s.max_reduction_db, -20.0 * std::log10(low), 1e-4);
}

// A 50 Hz sine driven 6 dB into the limiter comes out as a sine: once the
// gain has settled, what is not the 50 Hz tone stays 60 dB down.
TEST(Limiter, LowSineStaysClean) {
  const uint64_t rate = 48000;
  Channels x = sine(2, 2 * rate, 50.0, 2.0 * std::pow(10.0, -1.0 / 20.0), rate, 0.0);
  LimiterStats stats{};
  Channels y = limited(x, LimiterSettings{rate, 2, -1.0, 1.5, 0.0}, &stats);
  EXPECT_NEAR(stats.max_reduction_db, 6.0, 0.2);
  // Least-squares fit of the 50 Hz tone over the second second.
  double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0, yy = 0;
  for (size_t i = rate; i < 2 * rate; ++i) {
    const double s = std::sin(2.0 * M_PI * 50.0 * double(i) / rate), c = std::cos(2.0 * M_PI * 50.0 * double(i) / rate);
    ss += s * s;
    cc += c * c;
    sc += s * c;
    ys += y[0][i] * s;
    yc += y[0][i] * c;
    yy += double(y[0][i]) * y[0][i];
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
  double residual = 0;
  for (size_t i = rate; i < 2 * rate; ++i) {
    const double w = 2.0 * M_PI * 50.0 * double(i) / rate;
    const double e = y[0][i] - a * std::sin(w) - b * std::cos(w);
    residual += e * e;
  }
  EXPECT_LT(10.0 * std::log10(residual / yy), -60.0);
}

// Two tones driven 6 dB in (60 Hz and 7 kHz, 4:1): their crests need
// gains a hair apart, and holding the least of them keeps the 7 kHz tone
// free of sidebands at 7 kHz +- 60, 120, 180 Hz.
TEST(Limiter, TwoTonesAreNotModulated) {
  const uint64_t rate = 48000;
  const double b = std::pow(10.0, 5.0 / 20.0) / 1.25;
  Channels x(2, std::vector<float>(3 * rate));
  for (auto& row : x)
    for (size_t i = 0; i < row.size(); ++i) {
      const double t = double(i) / double(rate);
      row[i] = float(b * std::sin(2.0 * M_PI * 60.0 * t) + b / 4.0 * std::sin(2.0 * M_PI * 7000.0 * t));
    }
  LimiterStats stats{};
  Channels y = limited(x, LimiterSettings{rate, 2, -1.0, 1.5, 0.0}, &stats);
  EXPECT_GT(stats.max_reduction_db, 4.0);
  // Power at f over the last two seconds (Goertzel).
  auto power = [&](double f) {
    const double co = 2.0 * std::cos(2.0 * M_PI * f / double(rate));
    double s1 = 0.0, s2 = 0.0;
    for (size_t i = rate; i < 3 * rate; ++i) {
      const double s0 = y[0][i] + co * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    return s1 * s1 + s2 * s2 - co * s1 * s2;
  };
  double sides = 0.0;
  for (int j = 1; j <= 3; ++j) sides += power(7000.0 - 60.0 * j) + power(7000.0 + 60.0 * j);
  EXPECT_LT(10.0 * std::log10(sides / power(7000.0)), -100.0);
}

TEST(Limiter, RefusesBadSettingsAndSurvivesFailedAllocations) {
  Limiter l;
  limiter_init(l);
  const LimiterSettings bad[] = {
      {0, 2, -1.0, 1.5, 0.0},      {48000, 0, -1.0, 1.5, 0.0},  {48000, 2, 25.0, 1.5, 0.0},
      {48000, 2, -1.0, 0.4, 0.0},  {48000, 2, -1.0, 11.0, 0.0}, {48000, 2, -1.0, 1.5, 0.5},
      {48000, 2, NAN, 1.5, 0.0},
  };
  for (const LimiterSettings& s : bad) EXPECT_EQ(limiter_start(l, s), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(l.state, nullptr);
  Channels x = noise(2, 3000, 1.0, 9);
  const LimiterSettings set{48000, 2, -1.0, 1.5, 0.0};
  const Channels want = limited(x, set);
  testing_support::for_each_alloc_failure([&] {
    Sample s;
    sample_init(s);
    if (!sample_allocate(s, 2, x[0].size(), x[0].size())) return;
    s.sample_rate = 48000;
    for (size_t c = 0; c < 2; ++c) std::memcpy(s.data + c * s.stride, x[c].data(), x[c].size() * sizeof(float));
    Status st = limiter_apply(s, set, nullptr);
    if (st == STATUS_OK) {
      EXPECT_EQ(from_sample(s), want);
    } else {
      EXPECT_EQ(st, STATUS_NO_MEMORY);
    }
    sample_destroy(s);
  });
}

}  // namespace
