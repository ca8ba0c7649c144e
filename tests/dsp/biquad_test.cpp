#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "dsp/variants.h"
#include "tests/dsp/level_tables.h"

namespace {

using Cascade = void (*)(BiquadSection*, float*, const float*, size_t);

struct Family {
  int sections;
  Cascade DspTable::*entry;
  Cascade generic;
};

const Family kFamilies[] = {{1, &DspTable::biquad_1, biquad_1_generic},
                            {2, &DspTable::biquad_2, biquad_2_generic},
                            {4, &DspTable::biquad_4, biquad_4_generic},
                            {8, &DspTable::biquad_8, biquad_8_generic}};

// Stable low-pass sections (RBJ cookbook) at spread corner frequencies,
// stored with the feedback signs folded in.
std::vector<BiquadSection> lowpass_cascade(int count) {
  std::vector<BiquadSection> s(count);
  for (int k = 0; k < count; ++k) {
    double w = 2.0 * M_PI * (0.05 + 0.04 * k), q = 0.6 + 0.3 * k;
    double alpha = std::sin(w) / (2 * q), c = std::cos(w), a0 = 1 + alpha;
    s[k] = {static_cast<float>((1 - c) / 2 / a0), static_cast<float>((1 - c) / a0),
            static_cast<float>((1 - c) / 2 / a0),  static_cast<float>(2 * c / a0),
            static_cast<float>(-(1 - alpha) / a0), 0.0f, 0.0f};
  }
  return s;
}

// The same recursion in double precision from the float coefficients.
std::vector<double> reference(const std::vector<BiquadSection>& s, const std::vector<float>& x) {
  std::vector<double> z0(s.size()), z1(s.size()), y(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    double v = x[i];
    for (size_t k = 0; k < s.size(); ++k) {
      double out = s[k].b0 * v + z0[k];
      z0[k] = s[k].b1 * v + s[k].a1 * out + z1[k];
      z1[k] = s[k].b2 * v + s[k].a2 * out;
      v = out;
    }
    y[i] = v;
  }
  return y;
}

std::vector<float> noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

}  // namespace

TEST(DspBiquad, EveryLevelFollowsTheDoubleReference) {
  std::vector<float> x = noise(3000, 4);
  for (const LevelTable& lt : machine_levels()) {
    for (const Family& f : kFamilies) {
      std::vector<BiquadSection> s = lowpass_cascade(f.sections);
      std::vector<double> want = reference(s, x);
      std::vector<float> y(x.size());
      (lt.table.*f.entry)(s.data(), y.data(), x.data(), x.size());
      double err = 0, energy = 0;
      for (size_t i = 0; i < x.size(); ++i) {
        err += (y[i] - want[i]) * (y[i] - want[i]);
        energy += want[i] * want[i];
      }
      // A float recursion tracks the double one to a small multiple of the
      // float epsilon over the run.
      EXPECT_LT(std::sqrt(err / energy), 1e-4) << lt.name << " biquad_" << f.sections;
    }
  }
}

TEST(DspBiquad, PiecesInPlaceAndAgainstGeneric) {
  std::vector<float> x = noise(200, 9);
  for (const LevelTable& lt : machine_levels()) {
    for (const Family& f : kFamilies) {
      std::vector<BiquadSection> sg = lowpass_cascade(f.sections), sv = sg;
      std::vector<float> want(x.size());
      f.generic(sg.data(), want.data(), x.data(), x.size());
      // In place, in pieces of every awkward size, including pieces shorter
      // than the pipeline.
      std::vector<float> got = x;
      size_t pieces[] = {0, 1, 2, 3, 7, 8, 9, 15, 31, 64};
      size_t at = 0;
      for (size_t i = 0; at < got.size(); ++i) {
        size_t len = std::min(pieces[i % 10], got.size() - at);
        (lt.table.*f.entry)(sv.data(), got.data() + at, got.data() + at, len);
        at += len;
      }
      for (size_t i = 0; i < x.size(); ++i)
        ASSERT_NEAR(want[i], got[i], 2e-5f) << lt.name << " biquad_" << f.sections << " i=" << i;
      for (int k = 0; k < f.sections; ++k) {
        EXPECT_NEAR(sg[k].z0, sv[k].z0, 2e-5f) << lt.name;
        EXPECT_NEAR(sg[k].z1, sv[k].z1, 2e-5f) << lt.name;
      }
    }
  }
}

TEST(DspBiquad, UnfusedVariantsEqualGenericExactly) {
  CpuInfo real;
  detect_cpu(&real);
  std::vector<float> x = noise(123, 5);
  std::vector<std::pair<Cascade, Cascade>> pairs = {{biquad_4_sse2, biquad_4_generic},
                                                    {biquad_8_sse2, biquad_8_generic}};
  if (real.features & CPU_AVX) {
    pairs.push_back({biquad_1_avx, biquad_1_generic});
    pairs.push_back({biquad_2_avx, biquad_2_generic});
    pairs.push_back({biquad_4_avx, biquad_4_generic});
    pairs.push_back({biquad_8_avx, biquad_8_generic});
  }
  for (auto [variant, generic] : pairs) {
    std::vector<BiquadSection> a = lowpass_cascade(8), b = a;
    std::vector<float> ya(x.size()), yb(x.size());
    generic(a.data(), ya.data(), x.data(), 60);
    generic(a.data(), ya.data() + 60, x.data() + 60, x.size() - 60);
    variant(b.data(), yb.data(), x.data(), 60);
    variant(b.data(), yb.data() + 60, x.data() + 60, x.size() - 60);
    EXPECT_EQ(ya, yb);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(a[k].z0, b[k].z0);
  }
}
