#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
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

namespace {

// What the rows entry must reproduce: one row through the table's
// single-row cascades in groups of 8, 4, 2 and 1 sections.
void single_rows(const DspTable& t, BiquadSection* s, unsigned count, float* dst, const float* src, size_t n) {
  if (count == 0) {
    std::copy(src, src + n, dst);
    return;
  }
  const float* from = src;
  for (unsigned left = count; left > 0;) {
    unsigned step = left >= 8 ? 8 : left >= 4 ? 4 : left >= 2 ? 2 : 1;
    Cascade fn = step == 8 ? t.biquad_8 : step == 4 ? t.biquad_4 : step == 2 ? t.biquad_2 : t.biquad_1;
    fn(s, dst, from, n);
    from = dst;
    s += step;
    left -= step;
  }
}

// `rows` cascades of `count` sections, each row with its own corners.
std::vector<BiquadSection> row_sections(size_t rows, unsigned count) {
  std::vector<BiquadSection> all;
  for (size_t r = 0; r < rows; ++r) {
    std::vector<BiquadSection> s = lowpass_cascade(static_cast<int>(count) + static_cast<int>(r));
    all.insert(all.end(), s.begin() + static_cast<long>(r), s.end());
  }
  return all;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace

// On every level the machine has, the rows entry gives each row exactly
// the bits and final state of that level's single-row pass, for any number
// of rows (pairs and a lone last row), section counts that use every group
// size, lengths shorter than the pipeline, in place and out of place, and
// fed in pieces so that state carries between calls.
TEST(DspBiquad, RowsEqualTheSingleRowPassBitForBit) {
  const size_t n = 1001;
  for (const LevelTable& lt : machine_levels()) {
    for (size_t rows : {size_t{1}, size_t{2}, size_t{3}, size_t{5}}) {
      for (unsigned count : {0u, 1u, 2u, 3u, 4u, 7u, 8u, 15u, 16u}) {
        std::vector<BiquadSection> want_s = row_sections(rows, count), got_s = want_s;
        std::vector<std::vector<float>> x(rows), want(rows), got(rows);
        for (size_t r = 0; r < rows; ++r) {
          x[r] = noise(n, static_cast<uint32_t>(100 + r));
          want[r].resize(n);
          single_rows(lt.table, want_s.data() + r * count, count, want[r].data(), x[r].data(), 300);
          single_rows(lt.table, want_s.data() + r * count, count, want[r].data() + 300, x[r].data() + 300, 5);
          single_rows(lt.table, want_s.data() + r * count, count, want[r].data() + 305, x[r].data() + 305, n - 305);
          got[r] = r % 2 ? x[r] : std::vector<float>(n, -1.0f);  // odd rows in place
        }
        std::vector<float*> dst(rows);
        std::vector<const float*> src(rows);
        for (size_t at : {size_t{0}, size_t{300}, size_t{305}}) {
          size_t len = at == 0 ? 300 : at == 300 ? 5 : n - 305;
          for (size_t r = 0; r < rows; ++r) {
            dst[r] = got[r].data() + at;
            src[r] = (r % 2 ? got[r].data() : x[r].data()) + at;
          }
          lt.table.biquad_rows(got_s.data(), count, dst.data(), src.data(), rows, len);
        }
        for (size_t r = 0; r < rows; ++r)
          EXPECT_TRUE(same_bits(got[r], want[r])) << lt.name << ", " << rows << " rows, " << count << " sections, row " << r;
        for (size_t i = 0; i < want_s.size(); ++i) {
          EXPECT_EQ(std::memcmp(&got_s[i], &want_s[i], sizeof(BiquadSection)), 0)
              << lt.name << ", " << rows << " rows, " << count << " sections, state " << i;
        }
      }
    }
  }
}

// The unfused rows variants give the generic bits; the rows entry of the
// FMA level where biquad_8 stays unfused pairs fused small groups with the
// unfused wide one.
TEST(DspBiquad, RowsVariantsAgainstGeneric) {
  CpuInfo real;
  detect_cpu(&real);
  using Rows = void (*)(BiquadSection*, unsigned, float* const*, const float* const*, size_t, size_t);
  std::vector<Rows> unfused = {biquad_rows_sse2};
  if (real.features & CPU_AVX) unfused.push_back(biquad_rows_avx);
  const size_t n = 777;
  std::vector<float> a = noise(n, 1), b = noise(n, 2);
  for (Rows variant : unfused) {
    for (unsigned count : {5u, 8u, 13u}) {
      std::vector<BiquadSection> sg = row_sections(2, count), sv = sg;
      std::vector<float> ga(n), gb(n), va(n), vb(n);
      float* gd[2] = {ga.data(), gb.data()};
      float* vd[2] = {va.data(), vb.data()};
      const float* in[2] = {a.data(), b.data()};
      biquad_rows_generic(sg.data(), count, gd, in, 2, n);
      variant(sv.data(), count, vd, in, 2, n);
      EXPECT_TRUE(same_bits(ga, va) && same_bits(gb, vb)) << count << " sections";
    }
  }
  if ((real.features & CPU_AVX) && (real.features & CPU_FMA3)) {
    std::vector<BiquadSection> sr = row_sections(2, 12), s1 = sr;
    std::vector<float> ra(n), rb(n), wa(n), wb(n);
    float* rd[2] = {ra.data(), rb.data()};
    const float* in[2] = {a.data(), b.data()};
    biquad_rows_fma_avx8(sr.data(), 12, rd, in, 2, n);
    biquad_8_avx(s1.data(), wa.data(), a.data(), n);
    biquad_4_fma(s1.data() + 8, wa.data(), wa.data(), n);
    biquad_8_avx(s1.data() + 12, wb.data(), b.data(), n);
    biquad_4_fma(s1.data() + 20, wb.data(), wb.data(), n);
    EXPECT_TRUE(same_bits(ra, wa) && same_bits(rb, wb));
  }
}
