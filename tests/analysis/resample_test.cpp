#include "analysis/resample.h"

#include <gtest/gtest.h>

#include <cstring>

#include <algorithm>
#include <numeric>

#include "analysis/resample_polyphase.h"
#include "dsp/dsp.h"

#include "tests/analysis/reference.h"
#include "tests/support/alloc_fail.h"

namespace {

using namespace reference;

std::vector<float> tone(size_t n, double frequency, double rate, float amplitude = 0.5f) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = amplitude * float(std::sin(2 * M_PI * frequency * double(i) / rate));
  return v;
}

// Lengths as the float arithmetic of each path gives them.
uint64_t expected_length(uint64_t from, uint64_t to, uint64_t n) {
  uint64_t a = from, b = to;
  while (b) {
    uint64_t r = a % b;
    a = b;
    b = r;
  }
  uint64_t l = to / a, m = from / a;
  if (from < to && to % from == 0) return l * n + 1;
  if (from < to) {
    float e = float(l) / float(m);
    uint64_t f = uint64_t(8.0f * e), q = f % 2 == 0 ? 2 * f + 4 : 2 * f + 6;
    return uint64_t(float(n) * e) + q - 2 * f - 3;
  }
  if (from % to == 0) return n / m;
  float e = float(m) / float(l);
  uint64_t f = uint64_t(e + 19.0f), q = (f + 4) / 4 * 4;
  return q + uint64_t(float(n) * float(l) / float(m)) - f;
}

// Straightforward resampling written out from the documented steps: the
// anti-alias cascade in plain float arithmetic, then the per-phase scatter
// in phase order and the shift. Returns each row over the whole stride
// (accumulated values past the reported length included, zeros after).
float ref_lanczos(float x, float w, bool eighth) {
  if (!(x > -w && x < w)) return 0.0f;
  if (x == 0.0f) return 1.0f;
  float y = float(double(x) * M_PI);
  return w * std::sin(y) * (eighth ? std::sin(y * 0.125f) : std::sin(y / w)) / (y * y);
}

std::vector<float> ref_lowpass(const std::vector<float>& x, double source, double target) {
  double fc = std::min(std::max(0.475 * target, 10.0), 24000.0);
  if (!(fc < 0.49 * source)) fc = 0.49 * source;
  double a = 1.75, kk = 1.0 / std::tan(M_PI * fc / source);
  struct Section {
    float b0, b1, b2, a1, a2, z0 = 0, z1 = 0;
  };
  std::vector<Section> sections;
  for (int pass = 0; pass < 2; ++pass)
    for (int k = 0; k < 4; ++k) {
      double sn = std::sin(float((2.0 * k + 1.0) * M_PI / 16.0)), c = std::sqrt(1 - sn * sn);
      double b = sn * sn + c * c / (a * a), e = 2 * c / (a * b), f = 1 / b, v = 1 / (1 + e * kk + f * kk * kk);
      sections.push_back({float(v), float(2 * v), float(v), float(2 * (f * kk * kk - 1) * v),
                          float((e * kk - f * kk * kk - 1) * v)});
    }
  std::vector<float> y(x);
  for (auto& s : sections)
    for (auto& v : y) {
      float in = v, out = s.b0 * in + s.z0;
      s.z0 = s.b1 * in + s.a1 * out + s.z1;
      s.z1 = s.b2 * in + s.a2 * out;
      v = out;
    }
  return y;
}

struct RefResult {
  std::vector<std::vector<float>> rows;  // whole strides
  uint64_t length;
};

RefResult ref_resample(const std::vector<std::vector<float>>& input, uint64_t from, uint64_t to) {
  uint64_t g = std::gcd(from, to), l = to / g, m = from / g, n = input[0].size();
  RefResult r;
  uint64_t q, shift, acc;
  bool down = from > to;
  float e = down ? float(m) / float(l) : float(l) / float(m), w = std::trunc(8.0f * e);
  uint64_t f = down ? uint64_t(e + 19.0f) : uint64_t(8.0f * e);
  if (!down && m == 1) {
    q = 16 * l + 4, shift = 8 * l + 1, acc = l * n + q, r.length = l * n + 1;
  } else if (!down) {
    q = f % 2 == 0 ? 2 * f + 4 : 2 * f + 6, shift = f + 1, acc = uint64_t(float(n) * e) + q;
    r.length = acc - 2 * f - 3;
  } else {
    q = (f + 4) / 4 * 4, shift = 9, acc = q + uint64_t(float(n) * float(l) / float(m)), r.length = acc - f;
  }
  if (down && l == 1) {
    r.length = n / m;
    acc = r.length, shift = 0;
  }
  // Room for every index the scatter writes, whatever the float length says.
  uint64_t room = acc + l * (n / std::max<uint64_t>(m, 1) + 2) + q;
  uint64_t stride = 0;
  for (auto& in : input) {
    std::vector<float> x = down ? ref_lowpass(in, double(from), double(to)) : in;
    std::vector<float> out(room, 0.0f);
    if (down && l == 1) {
      for (uint64_t k = 0; k < r.length; ++k) out[k] = x[k * m];
    } else {
      std::vector<float> kernel(q);
      for (uint64_t j = 0; j < m && j < n; ++j) {
        uint64_t pos;
        if (!down && m == 1) {
          for (uint64_t i = 0; i < q; ++i) kernel[i] = ref_lanczos(float(int64_t(i) - int64_t(8 * l + 1)) * (1.0f / float(l)), 8, true);
          pos = 0;
        } else if (!down) {
          float je = float(j) * e;
          pos = uint64_t(je);
          for (uint64_t k = 0; k < q; ++k)
            kernel[k] = ref_lanczos(float(m) / float(l) * (float(int64_t(k) - int64_t(f) - 1) - (je - float(pos))), 8, true);
        } else {
          float v = float(j) * float(l) / float(m);
          pos = uint64_t(v);
          for (uint64_t k = 0; k < q; ++k) kernel[k] = ref_lanczos((float(int64_t(k) - 9) - (v - float(pos))) * e, w, false);
        }
        for (uint64_t index = j; index < n; index += m, pos += l) {
          if (pos + q > acc) acc = pos + q;
          for (uint64_t k = 0; k < q; ++k) out[pos + k] += x[index] * kernel[k];
        }
      }
    }
    stride = acc <= 16 ? 16 : (acc + 15) / 16 * 16;
    std::vector<float> shifted(stride, 0.0f);
    for (uint64_t i = shift; i < acc; ++i) shifted[i - shift] = out[i];
    r.rows.push_back(shifted);
  }
  return r;
}

// Largest difference over the whole stride, relative to the reference peak.
double stride_error(const Sample& s, const RefResult& r) {
  double err = 0, peak = 0;
  for (uint64_t c = 0; c < s.channels; ++c)
    for (uint64_t i = 0; i < s.stride; ++i) {
      double want = i < r.rows[c].size() ? r.rows[c][i] : 0.0;
      err = std::max(err, std::fabs(double(s.data[c * s.stride + i]) - want));
      peak = std::max(peak, std::fabs(want));
    }
  return peak > 0 ? err / peak : err;
}

double rms(const float* v, size_t n) {
  double s = 0;
  for (size_t i = 0; i < n; ++i) s += double(v[i]) * v[i];
  return std::sqrt(s / double(n));
}

TEST(Resample, EveryPathHasItsExactLength) {
  const uint64_t pairs[][2] = {{24000, 48000}, {44100, 48000}, {48000, 44100}, {96000, 48000}, {192000, 96000}};
  for (auto& p : pairs)
    for (uint64_t n : {uint64_t{1}, uint64_t{1000}, uint64_t{48001}}) {
      Sample s = make_sample({noise(n, 1), noise(n, 2)}, p[0]);
      ASSERT_EQ(resample(s, p[1]), STATUS_OK);
      EXPECT_EQ(s.length, expected_length(p[0], p[1], n)) << p[0] << "->" << p[1] << " n " << n;
      EXPECT_EQ(s.sample_rate, p[1]);
      EXPECT_EQ(s.channels, 2u);
      EXPECT_LE(s.length, s.stride);
      sample_destroy(s);
    }
  EXPECT_EQ(expected_length(44100, 48000, 1000), uint64_t(1000 * 1.0884354f) + 1);
  EXPECT_EQ(expected_length(48000, 44100, 1000), 4 + uint64_t(1000.0f * 147.0f / 160.0f));
}

// Upsampled tones line up with the same tone generated at the target rate,
// so kernel gain and shift are both right; input samples land on kL.
TEST(Resample, UpsamplingKeepsTonesAligned) {
  for (uint64_t from : {uint64_t{24000}, uint64_t{44100}}) {
    size_t n = 20000;
    Sample s = make_sample({tone(n, 1000, double(from))}, from);
    std::vector<float> input = row(s, 0);
    ASSERT_EQ(resample(s, 48000), STATUS_OK);
    std::vector<float> want = tone(s.length, 1000, 48000);
    EXPECT_LT(peak_error(s.data + 500, want.data() + 500, s.length - 1000), 2e-3) << from;
    if (from == 24000) {
      for (size_t k = 0; k < n; ++k) ASSERT_NEAR(s.data[2 * k], input[k], 1e-5f);
    }
    sample_destroy(s);
  }
}

TEST(Resample, DownsamplingPassesLowTonesAndRejectsAliases) {
  const size_t n = 96000;
  Sample low = make_sample({tone(n, 1000, 96000)}, 96000), high = make_sample({tone(n, 30000, 96000)}, 96000);
  ASSERT_EQ(resample(low, 48000), STATUS_OK);
  ASSERT_EQ(resample(high, 48000), STATUS_OK);
  double reference_rms = 0.5 / std::sqrt(2.0);
  double low_db = 20 * std::log10(rms(low.data + 2000, low.length - 4000) / reference_rms);
  double high_db = 20 * std::log10(rms(high.data + 2000, high.length - 4000) / reference_rms);
  EXPECT_LT(std::fabs(low_db), 0.1);
  EXPECT_LT(high_db, -60.0);
  sample_destroy(low);
  sample_destroy(high);

  Sample rational = make_sample({tone(n, 1000, 48000)}, 48000);
  ASSERT_EQ(resample(rational, 44100), STATUS_OK);
  EXPECT_LT(std::fabs(20 * std::log10(rms(rational.data + 2000, rational.length - 4000) / reference_rms)), 0.1);
  sample_destroy(rational);
}

// Every path against the direct scatter, on odd lengths and on a length that
// crosses the internal window refills and filter chunks (some 16384 to
// 32768 inputs each) more than once, with two different channels. Only the order of the float additions may differ upsampling;
// downsampling also tolerates the cascade's rounding (fused or not).
TEST(Resample, MatchesDirectScatterOnEveryPath) {
  const uint64_t pairs[][2] = {{24000, 48000}, {16000, 48000}, {44100, 48000}, {32000, 44100},
                               {48000, 44100}, {44100, 32000}, {48000, 32000}, {96000, 48000},
                               {192000, 44100}, {48000, 8000}};
  for (auto& p : pairs)
    for (uint64_t n : {uint64_t{1}, uint64_t{2}, uint64_t{7}, uint64_t{147}, uint64_t{4097}, uint64_t{70001}}) {
      std::vector<std::vector<float>> rows = {noise(n, uint32_t(n)), tone(n, 440.0, double(p[0]))};
      RefResult want = ref_resample(rows, p[0], p[1]);
      Sample s = make_sample(rows, p[0]);
      ASSERT_EQ(resample(s, p[1]), STATUS_OK);
      EXPECT_EQ(s.length, want.length) << p[0] << "->" << p[1] << " n " << n;
      ASSERT_EQ(s.stride, want.rows[0].size()) << p[0] << "->" << p[1] << " n " << n;
      EXPECT_LT(stride_error(s, want), p[0] < p[1] ? 1e-6 : 2e-5) << p[0] << "->" << p[1] << " n " << n;
      sample_destroy(s);
    }
}

// Rate pairs with periods of tens of thousands of samples take the direct
// scatter instead of gather tables; their results follow the same steps.
TEST(Resample, LongPeriodsMatchDirectScatter) {
  const uint64_t pairs[][2] = {{44100, 192001}, {192000, 44101}};
  for (auto& p : pairs) {
    const uint64_t n = 600;
    std::vector<std::vector<float>> rows = {noise(n, 7), noise(n, 8)};
    RefResult want = ref_resample(rows, p[0], p[1]);
    Sample s = make_sample(rows, p[0]);
    ASSERT_EQ(resample(s, p[1]), STATUS_OK);
    EXPECT_EQ(s.length, want.length) << p[0] << "->" << p[1];
    ASSERT_EQ(s.stride, want.rows[0].size());
    EXPECT_LT(stride_error(s, want), p[0] < p[1] ? 1e-6 : 2e-5) << p[0] << "->" << p[1];
    sample_destroy(s);

    Sample a = make_sample(rows, p[0]);
    for_each_alloc_failure([&] {
      Sample copy;
      sample_init(copy);
      if (sample_copy(copy, a) != STATUS_OK) return;
      Status st = resample(copy, p[1]);
      EXPECT_EQ(st, alloc_failure_hit() ? STATUS_NO_MEMORY : STATUS_OK);
      EXPECT_EQ(copy.sample_rate, alloc_failure_hit() ? p[0] : p[1]);
      sample_destroy(copy);
    });
    sample_destroy(a);
  }
}

// The cascade fed piece by piece, with skipped stretches and zeros outside
// the rows, gives bit for bit what one pass over each whole row gives, on
// every channel of the row set.
TEST(Resample, FilteredSourceInPiecesEqualsWholeRow) {
  const DspTable& t = dsp();
  const size_t n = 10000, channels = 3;
  auto design = [](BiquadSection* s, unsigned count, int channel) {
    for (unsigned k = 0; k < count; ++k)
      s[k] = BiquadSection{0.05f, 0.1f, 0.05f, 1.2f - 0.05f * float(k) - 0.01f * float(channel), -0.45f, 0.0f, 0.0f};
  };
  Sample x = make_sample({noise(n, 11), noise(n, 12), noise(n, 13)}, 48000);
  for (unsigned count : {8u, 7u, 3u, 0u}) {
    std::vector<std::vector<float>> whole(channels, std::vector<float>(n));
    BiquadSection sections[3 * 8];
    for (size_t c = 0; c < channels; ++c) {
      design(sections, count, int(c));
      run_cascade(t, sections, count, whole[c].data(), x.data + c * x.stride, n);
    }
    for (size_t c = 0; c < channels; ++c) design(sections + c * count, count, int(c));
    RowSource src{};
    ASSERT_TRUE(row_source_init(src, t, x.data, x.stride, channels, n, sections, count));
    std::vector<std::vector<float>> got(channels, std::vector<float>(n + 400, -1.0f));
    auto fill = [&](int64_t at, int64_t len) {
      float* dst[channels];
      for (size_t c = 0; c < channels; ++c) dst[c] = got[c].data() + 300 + at;
      row_source_fill(src, dst, at, len);
    };
    // [-300, -1] zeros, then pieces of 1, 6, 4096, ..., a skip of 500 and a
    // stretch past the end.
    fill(-300, 300);
    int64_t at = 0;
    for (int64_t piece : {1, 6, 4096, 1, 127}) {
      fill(at, piece);
      at += piece;
    }
    at += 500;  // skipped, but still filtered
    fill(at, int64_t(n) + 100 - at);
    row_source_release(src);
    row_source_release(src);  // idempotent
    for (size_t c = 0; c < channels; ++c) {
      for (size_t i = 0; i < 300; ++i) ASSERT_EQ(got[c][i], 0.0f);
      for (int64_t i = 0; i < int64_t(n); ++i) {
        if (i >= 4231 && i < 4731) continue;
        ASSERT_EQ(got[c][300 + i], whole[c][i]) << "count " << count << " channel " << c << " at " << i;
      }
      for (size_t i = n; i < n + 100; ++i) ASSERT_EQ(got[c][300 + i], 0.0f);
    }
  }
  sample_destroy(x);
}

// The anti-alias filter runs over all channels of a row set in one pass;
// each channel must come out with exactly the bits it gets resampled on its
// own (a row set of one, the single-row cascade), on every downsampling
// path: integer, rational, and rational with long periods; with an odd
// channel count, so that pairs and a lone row both occur.
TEST(Resample, AllChannelsInOnePassEqualEachChannelAlone) {
  const uint64_t pairs[][2] = {{96000, 48000}, {48000, 44100}, {44100, 8000}, {48000, 44101}, {22050, 44100}};
  const size_t n = 30011;
  for (auto& p : pairs) {
    std::vector<std::vector<float>> rows = {noise(n, 21), noise(n, 22), noise(n, 23)};
    Sample all = make_sample(rows, p[0]);
    ASSERT_EQ(resample(all, p[1]), STATUS_OK);
    for (size_t c = 0; c < rows.size(); ++c) {
      Sample one = make_sample({rows[c]}, p[0]);
      ASSERT_EQ(resample(one, p[1]), STATUS_OK);
      ASSERT_EQ(one.length, all.length);
      EXPECT_EQ(std::memcmp(one.data, all.data + c * all.stride, size_t(one.stride) * sizeof(float)), 0)
          << p[0] << " -> " << p[1] << ", channel " << c;
      sample_destroy(one);
    }
    sample_destroy(all);
  }
}

TEST(Resample, StatusesAndUnchangedAudio) {
  Sample s = make_sample({noise(100, 1)}, 44100);
  float* before = s.data;
  EXPECT_EQ(resample(s, 44100), STATUS_OK);
  EXPECT_EQ(s.data, before);
  EXPECT_EQ(resample(s, 0), STATUS_BAD_ARGUMENT);
  s.sample_rate = 0;
  EXPECT_EQ(resample(s, 48000), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(s.data, before);
  EXPECT_EQ(s.length, 100u);
  Sample none;
  sample_init(none);
  none.sample_rate = 44100;
  EXPECT_EQ(resample(none, 48000), STATUS_INVALID);
  // A length whose scatter would need more than 64-bit indices.
  s.sample_rate = 44100;
  s.length = UINT64_MAX / 4;
  EXPECT_EQ(resample(s, 48000), STATUS_NO_MEMORY);
  EXPECT_EQ(resample(s, 88200), STATUS_NO_MEMORY);
  s.length = 100;
  EXPECT_EQ(s.data, before);
  sample_destroy(s);
}

TEST(Resample, AllocationFailureLeavesAudioUnchanged) {
  for (uint64_t to : {uint64_t{48000}, uint64_t{88200}, uint64_t{22050}, uint64_t{32000}}) {
    Sample s = make_sample({noise(500, 1), noise(500, 2)}, 44100);
    for_each_alloc_failure([&] {
      float* before = s.data;
      Sample copy;
      sample_init(copy);
      if (sample_copy(copy, s) != STATUS_OK) return;
      Status st = resample(copy, to);
      if (alloc_failure_hit()) {
        EXPECT_EQ(st, STATUS_NO_MEMORY);
        EXPECT_EQ(copy.sample_rate, 44100u);
        EXPECT_EQ(copy.length, 500u);
      } else {
        EXPECT_EQ(copy.sample_rate, to);
      }
      EXPECT_EQ(s.data, before);
      sample_destroy(copy);
    });
    sample_destroy(s);
  }
}

// Above 2^24 frames the float length falls short of the last index the
// scatter writes; the accumulation must still hold every write.
TEST(Resample, LongInputDoesNotOverrunRationalPaths) {
  const uint64_t n = (uint64_t{1} << 24) + 4097;
  for (auto rates : {std::pair<uint64_t, uint64_t>{44100, 48000}, std::pair<uint64_t, uint64_t>{48000, 44100}}) {
    Sample s;
    sample_init(s);
    ASSERT_TRUE(sample_allocate(s, 1, n, n));
    s.sample_rate = rates.first;
    for (uint64_t i = n - 64; i < n; ++i) s.data[i] = 1.0f;
    ASSERT_EQ(resample(s, rates.second), STATUS_OK);
    EXPECT_EQ(s.length, expected_length(rates.first, rates.second, n));
    EXPECT_LE(s.length, s.stride);
    sample_destroy(s);
  }
}

// Both resamplers give the length resample_length predicts, on every path
// (integer and rational, up and down) and for odd lengths; libsoxr's
// output starts at the input's time 0, as the standard one's does.
TEST(ResampleHigh, LengthAndAlignmentOfTheStandardOne) {
  const uint64_t pairs[][2] = {{44100, 48000}, {48000, 96000}, {48000, 44100}, {96000, 48000}, {22050, 48000}};
  for (const auto& pair : pairs) {
    for (size_t n : {size_t{1}, size_t{777}, size_t{4800}}) {
      std::vector<float> x = noise(n, 31);
      Sample a = make_sample({x, x}, pair[0]), b = make_sample({x, x}, pair[0]);
      ASSERT_EQ(resample(a, pair[1]), STATUS_OK);
      ASSERT_EQ(resample_high(b, pair[1]), STATUS_OK);
      EXPECT_EQ(a.length, resample_length(n, pair[0], pair[1])) << pair[0] << " " << pair[1] << " " << n;
      EXPECT_EQ(b.length, a.length) << pair[0] << " " << pair[1] << " " << n;
      EXPECT_EQ(b.sample_rate, pair[1]);
      sample_destroy(a);
      sample_destroy(b);
    }
  }
  // An impulse in the middle stays in the middle.
  std::vector<float> impulse(4410, 0.0f);
  impulse[2205] = 1.0f;
  Sample s = make_sample({impulse}, 44100);
  ASSERT_EQ(resample_high(s, 88200), STATUS_OK);
  const float* peak = std::max_element(s.data, s.data + s.length);
  EXPECT_EQ(peak - s.data, 4410);
  sample_destroy(s);
}

}  // namespace
