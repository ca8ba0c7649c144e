#include "analysis/ir_synthesis.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "analysis/profile.h"
#include "analysis/trim.h"
#include "dsp/dsp.h"
#include "tests/analysis/reference.h"
#include "tests/support/alloc_fail.h"
#include "tests/dsp/level_tables.h"

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
// becomes the cap. Every other ratio is held to [1/cap, cap]; those inside
// keep their exact value.
TEST(IrSynthesis, RatiosAreClampedToTheGainRange) {
  const size_t n = 256;
  Sample ref, tgt, ir;
  sample_init(ref);
  sample_init(tgt);
  sample_init(ir);
  ASSERT_TRUE(sample_allocate(ref, 2, n, n));
  ASSERT_TRUE(sample_allocate(tgt, 2, n, n));
  std::vector<double> want0(n), want1(n);
  for (size_t k = 0; k < n; ++k) {
    // channel 0: silent reference and target; channel 1: zero reference bins
    // 3 and n-3, ratios 500 (above), 3 (inside) and 0.05 (below) elsewhere
    size_t m = k <= n / 2 ? k : n - k;
    ref.data[n + k] = m == 3 ? 0.0f : 2.0f;
    tgt.data[n + k] = m < 40 ? 1000.0f : (m < 90 ? 6.0f : 0.1f);
    want0[k] = 1.0;
    want1[k] = m < 40 ? 4.0 : (m < 90 ? 3.0 : 0.25);
  }
  uint64_t clamped = 0;
  ASSERT_EQ(synthesize_ir(ir, ref, tgt, 8, 4.0f, &clamped), STATUS_OK);
  EXPECT_EQ(clamped, 40u + (n / 2 + 1 - 90));  // bins 0 .. N/2 only; 0/0 is no clamp
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


// ---- curve shaping, tested on the magnitude response of the filter itself ----

uint64_t fnv1a(const Sample& s) {
  uint64_t h = 1469598103934665603ull;
  for (uint64_t c = 0; c < s.channels; ++c) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data + c * s.stride);
    for (uint64_t i = 0; i < s.length * sizeof(float); ++i) h = (h ^ p[i]) * 1099511628211ull;
  }
  return h;
}

// RBJ peaking filter, run in double.
struct Peak {
  double hz, db, q;
};

std::vector<float> equalize(const std::vector<float>& x, const std::vector<Peak>& peaks) {
  std::vector<double> y(x.begin(), x.end());
  for (const Peak& p : peaks) {
    double a = std::pow(10.0, p.db / 40.0), w = 2 * M_PI * p.hz / 48000.0, alpha = std::sin(w) / (2 * p.q);
    double a0 = 1 + alpha / a, b0 = (1 + alpha * a) / a0, b1 = -2 * std::cos(w) / a0, b2 = (1 - alpha * a) / a0;
    double a1 = b1, a2 = (1 - alpha / a) / a0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (double& v : y) {
      double out = b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
      x2 = x1, x1 = v, y2 = y1, y1 = out, v = out;
    }
  }
  return std::vector<float>(y.begin(), y.end());
}

// |FFT| of an N-tap row in dB, bins 0 .. N/2.
std::vector<double> response_db(const float* taps, size_t n) {
  std::vector<Complex> x(taps, taps + n);
  fft(x, false);
  std::vector<double> db(n / 2 + 1);
  for (size_t k = 0; k <= n / 2; ++k) db[k] = 20 * std::log10(std::abs(x[k]));
  return db;
}

double bin_hz(size_t k, size_t n) { return 48000.0 * double(k) / double(n); }

// RMS distance, 100 Hz .. 12 kHz, of a response from its own third-octave
// average.
double roughness(const std::vector<double>& db, size_t n) {
  double sum = 0;
  size_t count = 0;
  for (size_t k = 1; k < db.size(); ++k) {
    if (bin_hz(k, n) < 100 || bin_hz(k, n) > 12000) continue;
    size_t lo = size_t(std::ceil(double(k) * std::exp2(-1.0 / 6))), hi = size_t(double(k) * std::exp2(1.0 / 6));
    double mean = 0;
    for (size_t j = lo; j <= hi; ++j) mean += db[j];
    mean /= double(hi - lo + 1);
    sum += (db[k] - mean) * (db[k] - mean);
    ++count;
  }
  return std::sqrt(sum / double(count));
}

// Profiles of rows and of the same rows through `eq` (one EQ per row).
void eq_profiles(Sample& ref, Sample& tgt, const std::vector<std::vector<float>>& rows,
                 const std::vector<std::vector<Peak>>& eq, unsigned rank) {
  std::vector<std::vector<float>> coloured;
  for (size_t c = 0; c < rows.size(); ++c) coloured.push_back(equalize(rows[c], eq[c]));
  Sample a = make_sample(rows, 48000), b = make_sample(coloured, 48000);
  ASSERT_EQ(compute_profile(ref, a, rank), STATUS_OK);
  ASSERT_EQ(compute_profile(tgt, b, rank), STATUS_OK);
  sample_destroy(a);
  sample_destroy(b);
}

struct Shaped {
  Sample ref, tgt, ir;
  CurveTrace trace;
  Shaped() {
    sample_init(ref);
    sample_init(tgt);
    sample_init(ir);
    curve_trace_init(trace);
  }
  ~Shaped() {
    sample_destroy(ref);
    sample_destroy(tgt);
    sample_destroy(ir);
    curve_trace_destroy(trace);
  }
  // Response of channel c after shaping with `s` (sample rate 48 kHz).
  std::vector<double> response(CurveSettings s, uint64_t c = 0) {
    s.sample_rate = 48000;
    EXPECT_EQ(synthesize_ir_shaped(ir, ref, tgt, 12, s, &trace), STATUS_OK);
    return response_db(ir.data + c * ir.stride, ir.length);
  }
};

CurveSettings settings(float cap = 251.18864f) {
  CurveSettings s;
  curve_settings_init(s, cap);
  return s;
}

const size_t kN = 4096;
const std::vector<Peak> kBoostAndCut = {{1000, 18, 1.4}, {6000, -18, 1.4}};

// Stereo noise and the same noise through gentle filters: every ratio lies
// well inside 48 dB, so the clamp changes nothing. The hashes were taken
// from the filters before the clamp and the shaping existed; each level of
// the machine rounds its own way.
TEST(IrSynthesis, DefaultsKeepEveryBitAtEveryLevel) {
  struct Known {
    const char* level;
    uint64_t raw, trimmed, fr_ref, fr_tgt;
  };
  const Known known[] = {
      {"generic", 0xfaec0c5fdb74f7d8ull, 0x7f91832553e3ddbfull, 0xff2155d2924d10f5ull, 0xbc4ed869fe6a4784ull},
      {"sse2", 0x817538b2b03155a4ull, 0x9e40dc561e1443daull, 0xb1ebb8d6799102f5ull, 0xc8e2e3cef46e9415ull},
      {"sse3", 0x817538b2b03155a4ull, 0x9e40dc561e1443daull, 0xb1ebb8d6799102f5ull, 0xc8e2e3cef46e9415ull},
      {"avx", 0x8d989e96d79b820full, 0x9ff7dcc31142cf71ull, 0xb247a0356ed6aef3ull, 0x5305e9e216fbab5aull},
      {"avx2", 0x8d989e96d79b820full, 0x9ff7dcc31142cf71ull, 0xb247a0356ed6aef3ull, 0x5305e9e216fbab5aull},
      // The FMA kernels round as the optimiser fuses their products, so an
      // unoptimised (sanitizer) build has bits of its own there.
#ifdef __OPTIMIZE__
      {"fma", 0xdbf9061163352bc8ull, 0xe0e4dbcf479d6145ull, 0x68045718f43f9ec4ull, 0x72e2e5c731c06183ull},
#else
      {"fma", 0xe986a0f963290f26ull, 0x9a63ba39b0174d24ull, 0x252f623e32543b22ull, 0xea7d2532800556d4ull},
#endif
  };
  std::vector<float> l = noise(40000, 21), r = noise(40000, 22), lf(l), rf(r);
  for (size_t i = 1; i < lf.size(); ++i) {
    lf[i] = l[i] + 0.6f * lf[i - 1] * 0.5f;
    rf[i] = 0.7f * r[i] - 0.2f * r[i - 1];
  }
  DspTable& live = const_cast<DspTable&>(dsp());
  const DspTable saved = live;
  const float cap = std::exp(static_cast<float>(48.0 * 2.302585092994046 * static_cast<double>(0.05f)));
  for (const LevelTable& lt : machine_levels()) {
    live = lt.table;
    const Known* k = nullptr;
    for (const Known& x : known)
      if (lt.name == x.level) k = &x;
    ASSERT_NE(k, nullptr) << lt.name;
    Sample a = make_sample({l, r}, 48000), b = make_sample({lf, rf}, 48000), ref, tgt, ir, out;
    sample_init(ref);
    sample_init(tgt);
    sample_init(ir);
    sample_init(out);
    CurveTrace trace;
    curve_trace_init(trace);
    ASSERT_EQ(compute_profile(ref, a, 12), STATUS_OK);
    ASSERT_EQ(compute_profile(tgt, b, 12), STATUS_OK);
    uint64_t clamped = 99;
    ASSERT_EQ(synthesize_ir(ir, ref, tgt, 12, cap, &clamped), STATUS_OK);
    EXPECT_EQ(clamped, 0u);
    EXPECT_EQ(fnv1a(ir), k->raw) << lt.name;
    CurveSettings s = settings(cap);
    s.sample_rate = 48000;
    for (CurveTrace* t : {static_cast<CurveTrace*>(nullptr), &trace}) {
      ASSERT_EQ(synthesize_ir_shaped(out, ref, tgt, 12, s, t), STATUS_OK);
      EXPECT_EQ(fnv1a(out), k->raw) << lt.name;
    }
    EXPECT_EQ(trace.applied_db.length, 2049u);
    int64_t latency = 0;
    ASSERT_EQ(trim_ir(out, latency, ir, TrimSettings{10, 20, 5, 5}), STATUS_OK);
    EXPECT_EQ(fnv1a(out), k->trimmed) << lt.name;
    ASSERT_EQ(synthesize_frequency_response(out, ref, 12), STATUS_OK);
    EXPECT_EQ(fnv1a(out), k->fr_ref) << lt.name;
    ASSERT_EQ(synthesize_frequency_response(out, tgt, 12), STATUS_OK);
    EXPECT_EQ(fnv1a(out), k->fr_tgt) << lt.name;
    for (Sample* x : {&a, &b, &ref, &tgt, &ir, &out}) sample_destroy(*x);
    curve_trace_destroy(trace);
  }
  live = saved;
}

// The filter's response (window smear included) stays inside the gain range
// and inside max_boost / max_cut, and still reaches those limits.
TEST(IrSynthesis, GainLimitsHoldOnTheResponse) {
  Shaped f;
  eq_profiles(f.ref, f.tgt, {noise(1 << 17, 5)}, {kBoostAndCut}, 12);
  struct Case {
    CurveSettings s;
    double top, bottom;
  };
  CurveSettings range = settings(2.0f), limits = settings();
  limits.max_boost = 6;
  limits.max_cut = 9;
  for (const Case& c : {Case{range, 20 * std::log10(2.0), -20 * std::log10(2.0)}, Case{limits, 6, -9}}) {
    std::vector<double> db = f.response(c.s);
    // The limits hold around the curve's level; the gain range on the curve.
    const double level = f.trace.level_db.data ? f.trace.level_db.data[0] : 0.0;
    for (double& v : db) v -= level;
    double hi = -1e9, lo = 1e9;
    for (size_t k = 1; k < db.size(); ++k) hi = std::max(hi, db[k]), lo = std::min(lo, db[k]);
    EXPECT_LT(hi, c.top + 0.5);
    EXPECT_GT(lo, c.bottom - 0.5);
    EXPECT_GT(hi, c.top - 0.5);
    EXPECT_LT(lo, c.bottom + 0.5);
  }
  EXPECT_EQ(f.trace.clamped_bins, 0u);  // the second case: 48 dB holds all
  EXPECT_GT(f.trace.limited_bins, 100u);
  f.response(range);
  EXPECT_GT(f.trace.clamped_bins, 100u);
  EXPECT_EQ(f.trace.limited_bins, 0u);
}

TEST(IrSynthesis, AmountScalesTheCurveInDecibels) {
  Shaped f;
  eq_profiles(f.ref, f.tgt, {noise(1 << 17, 6)}, {kBoostAndCut}, 12);
  std::vector<double> full = f.response(settings());
  CurveSettings half = settings();
  half.amount = 50;
  std::vector<double> db = f.response(half);
  // Half the shape around the level, the level itself kept.
  ASSERT_EQ(f.trace.level_db.channels, 1u);
  const double level = f.trace.level_db.data[0];
  EXPECT_GT(std::fabs(level), 0.2);
  for (size_t k = 1; k < db.size(); ++k) ASSERT_NEAR(db[k], level + 0.5 * (full[k] - level), 0.5) << k;
  half.amount = 0;
  db = f.response(half);
  for (size_t k = 1; k < db.size(); ++k) ASSERT_NEAR(db[k], level, 0.05) << k;
}

TEST(IrSynthesis, FrequencyRangeFlattensOutside) {
  Shaped f;
  eq_profiles(f.ref, f.tgt, {noise(1 << 17, 7)}, {{{150, 12, 1}, {2000, 8, 2}, {9000, -12, 1}}}, 12);
  CurveSettings s = settings();
  s.low_freq = 500;
  s.high_freq = 4000;
  std::vector<double> db = f.response(s);
  // Outside the range the curve returns to its level over the range.
  const double level = f.trace.level_db.data[0];
  EXPECT_GT(level, 1.0);
  size_t outside = 0;
  for (size_t k = 0; k < db.size(); ++k) {
    if (bin_hz(k + 8, kN) >= 500 && bin_hz(k, kN) <= 4000 + bin_hz(8, kN)) continue;
    ASSERT_NEAR(db[k], level, 0.5) << k;
    ++outside;
  }
  EXPECT_GT(outside, 1500u);
  EXPECT_GT(db[size_t(2000 / bin_hz(1, kN))], 6.0);  // inside, the curve is kept
}

TEST(IrSynthesis, ChannelLinkSharesTheCurve) {
  Shaped f;
  eq_profiles(f.ref, f.tgt, {noise(1 << 16, 8), noise(1 << 16, 9)}, {{{300, 9, 1}}, {{3000, -9, 1}}}, 12);
  CurveSettings s = settings();
  s.channel_link = 50;
  f.response(s);
  Sample own;
  sample_init(own);
  ASSERT_EQ(sample_copy(own, f.trace.computed_db), STATUS_OK);
  const Sample& applied = f.trace.applied_db;
  for (uint64_t k = 0; k < applied.length; ++k) {
    float mean = 0.5f * (own.data[k] + own.data[own.stride + k]);
    for (uint64_t c = 0; c < 2; ++c)
      ASSERT_NEAR(applied.data[c * applied.stride + k], 0.5f * own.data[c * own.stride + k] + 0.5f * mean, 1e-4);
  }
  s.channel_link = 100;
  f.response(s);
  EXPECT_EQ(std::memcmp(f.ir.data, f.ir.data + f.ir.stride, kN * sizeof(float)), 0);
  sample_destroy(own);
}

// Rough curves: the reference and target are different signals (noise
// against noise, noise against a buzzy harmonic tone), short enough for the
// profiles to be ragged.
TEST(IrSynthesis, SmoothingCalmsARoughCurve) {
  std::vector<float> buzz(40000);
  std::vector<float> hiss = noise(buzz.size(), 12, 0.05f);
  for (size_t i = 0; i < buzz.size(); ++i)  // a 110 Hz sawtooth
    buzz[i] = 0.3f * float(std::fmod(double(i) * 110.0 / 48000.0, 1.0)) + hiss[i];
  for (const std::vector<float>& other : {noise(40000, 11), buzz}) {
    Shaped f;
    Sample a = make_sample({noise(40000, 10)}, 48000), b = make_sample({other}, 48000);
    ASSERT_EQ(compute_profile(f.ref, a, 12), STATUS_OK);
    ASSERT_EQ(compute_profile(f.tgt, b, 12), STATUS_OK);
    sample_destroy(a);
    sample_destroy(b);
    double before = roughness(f.response(settings()), kN);
    CurveSettings s = settings();
    s.smoothing = 0.333f;
    double after = roughness(f.response(s), kN);
    EXPECT_GT(before, 3 * after) << before << " " << after;
  }
}

TEST(IrSynthesis, ShapedFailuresLeaveOutputsAlone) {
  Shaped f;
  eq_profiles(f.ref, f.tgt, {noise(20000, 13), noise(20000, 14)}, {kBoostAndCut, {}}, 8);
  CurveSettings s = settings();
  s.high_freq = 8000;
  EXPECT_EQ(synthesize_ir_shaped(f.ir, f.ref, f.tgt, 8, s, nullptr), STATUS_BAD_ARGUMENT);  // no sample rate
  EXPECT_EQ(f.ir.data, nullptr);
  testing::internal::CaptureStderr();
  Sample wider = profile_of({noise(500, 1)}, 9);
  EXPECT_EQ(synthesize_ir_shaped(f.ir, f.ref, wider, 8, s, &f.trace), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "  The lenghts of audio profiles differ\n");
  sample_destroy(wider);
  s.sample_rate = 48000;
  s.smoothing = 0.2f;
  s.channel_link = 30;
  s.max_boost = 3;
  for (bool minimum : {false, true}) {
    s.minimum_phase = minimum;
    for_each_alloc_failure([&] {
      Sample out;
      CurveTrace trace;
      sample_init(out);
      curve_trace_init(trace);
      testing::internal::CaptureStderr();
      Status st = synthesize_ir_shaped(out, f.ref, f.tgt, 8, s, &trace);
      testing::internal::GetCapturedStderr();
      if (alloc_failure_hit()) {
        EXPECT_TRUE(st == STATUS_NO_MEMORY || st == STATUS_BAD_ARGUMENT);
        EXPECT_EQ(out.data, nullptr);
        EXPECT_EQ(trace.applied_db.data, nullptr);
      } else {
        EXPECT_EQ(st, STATUS_OK);
        EXPECT_EQ(trace.applied_db.channels, 2u);
      }
      sample_destroy(out);
      curve_trace_destroy(trace);
    });
  }
}

}  // namespace
