#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "dsp/variants.h"
#include "tests/dsp/level_tables.h"

namespace {

constexpr size_t kMaxLen = 70;
constexpr size_t kGuard = 8;  // untouched floats around every destination

std::vector<float> random_floats(size_t n, uint32_t seed, float lo = -2.0f, float hi = 2.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

// Every length 0..70 at every start offset 0..3 of a 16-byte aligned
// buffer; `check` gets (level, n, offset).
template <class F>
void for_all_shapes(F check) {
  for (const LevelTable& lt : machine_levels())
    for (size_t off = 0; off < 4; ++off)
      for (size_t n = 0; n <= kMaxLen; ++n) check(lt, n, off);
}

void expect_same(const std::vector<float>& want, const std::vector<float>& got, float tol, const LevelTable& lt,
                 size_t n, size_t off) {
  ASSERT_EQ(want.size(), got.size());
  for (size_t i = 0; i < want.size(); ++i) {
    if (tol == 0.0f)
      ASSERT_EQ(want[i], got[i]) << lt.name << " n=" << n << " off=" << off << " i=" << i;
    else
      ASSERT_NEAR(want[i], got[i], tol * (1.0f + std::fabs(want[i])))
          << lt.name << " n=" << n << " off=" << off << " i=" << i;
  }
}

using Unary = void (*)(float*, const float*, size_t);

// dst op= src for the unary row entries, against the generic entry.
void check_unary(Unary DspTable::*entry, Unary generic, float tol, bool positive_src = false) {
  for_all_shapes([&](const LevelTable& lt, size_t n, size_t off) {
    std::vector<float> a = random_floats(2 * n + 2 * kGuard + off, 1 + n);
    std::vector<float> b = random_floats(2 * n + 2 * kGuard + off, 100 + n, positive_src ? 0.5f : -2.0f, 2.0f);
    std::vector<float> want = a, got = a;
    generic(want.data() + kGuard + off, b.data() + kGuard, n);
    (lt.table.*entry)(got.data() + kGuard + off, b.data() + kGuard, n);
    expect_same(want, got, tol, lt, n, off);
  });
}

}  // namespace

TEST(DspPrimitives, UnaryRowEntriesMatchGeneric) {
  check_unary(&DspTable::copy_floats, copy_floats_generic, 0);
  check_unary(&DspTable::move_floats, move_floats_generic, 0);
  check_unary(&DspTable::add_to, add_to_generic, 0);
  check_unary(&DspTable::multiply_by, multiply_by_generic, 0);
  check_unary(&DspTable::divide_by, divide_by_generic, 0, true);
  check_unary(&DspTable::complex_real_part, complex_real_part_generic, 0);
  check_unary(&DspTable::complex_magnitude, complex_magnitude_generic, 0);
  check_unary(&DspTable::real_to_complex, real_to_complex_generic, 0);
}

TEST(DspPrimitives, ScalarAndTernaryEntriesMatchGeneric) {
  for_all_shapes([](const LevelTable& lt, size_t n, size_t off) {
    const DspTable& t = lt.table;
    std::vector<float> a = random_floats(n + 2 * kGuard + off, 7 + n);
    std::vector<float> b = random_floats(n + 2 * kGuard, 70 + n), c = random_floats(n + 2 * kGuard, 700 + n);
    float* bp = b.data() + kGuard;
    size_t d = kGuard + off;
    std::vector<float> want = a, got = a;
    scale_generic(want.data() + d, n, 0.37f);
    t.scale(got.data() + d, n, 0.37f);
    expect_same(want, got, 0, lt, n, off);
    scale_copy_generic(want.data() + d, bp, n, -1.5f);
    t.scale_copy(got.data() + d, bp, n, -1.5f);
    expect_same(want, got, 0, lt, n, off);
    multiply_into_generic(want.data() + d, bp, c.data() + kGuard, n);
    t.multiply_into(got.data() + d, bp, c.data() + kGuard, n);
    expect_same(want, got, 0, lt, n, off);
    fill_zero_generic(want.data() + d, n);
    t.fill_zero(got.data() + d, n);
    expect_same(want, got, 0, lt, n, off);
    // Fused forms round once: a few ulps of the inputs' scale.
    want = got = a;
    multiply_add_generic(want.data() + d, bp, n, 0.71f);
    t.multiply_add(got.data() + d, bp, n, 0.71f);
    expect_same(want, got, 1e-6f, lt, n, off);
    std::vector<float> p = random_floats(n + off, 9 + n, -3.0f, 3.0f);
    ASSERT_EQ(peak_abs_generic(p.data() + off, n), t.peak_abs(p.data() + off, n)) << lt.name << " n=" << n;
  });
}

TEST(DspPrimitives, EdgeCases) {
  for (const LevelTable& lt : machine_levels()) {
    const DspTable& t = lt.table;
    float pk[] = {-3.0f, 2.0f};
    EXPECT_EQ(t.peak_abs(pk, 2), 3.0f) << lt.name;
    EXPECT_EQ(t.peak_abs(pk, 0), 0.0f) << lt.name;

    // Shifted moves in both directions, long enough for whole vectors.
    for (int dir : {1, -1}) {
      std::vector<float> buf(64), want(64);
      for (size_t i = 0; i < 64; ++i) buf[i] = want[i] = static_cast<float>(i);
      float* src = buf.data() + 1;
      float* dst = src + dir;
      for (size_t i = 0; i < 60; ++i) want[1 + dir + i] = static_cast<float>(1 + i);
      t.move_floats(dst, src, 60);
      EXPECT_EQ(buf, want) << lt.name << " dir=" << dir;
    }

    // In place: n values become n interleaved pairs.
    for (size_t n : {1u, 5u, 16u, 37u}) {
      std::vector<float> buf(2 * n, -9.0f);
      for (size_t i = 0; i < n; ++i) buf[i] = static_cast<float>(i + 1);
      t.real_to_complex(buf.data(), buf.data(), n);
      for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(buf[2 * i], static_cast<float>(i + 1)) << lt.name << " n=" << n;
        ASSERT_EQ(buf[2 * i + 1], 0.0f) << lt.name << " n=" << n;
      }
    }

    std::vector<float> num(20, 1.5f), den(20, 2.0f);
    den[9] = 0.0f;
    num[10] = 0.0f, den[10] = 0.0f;
    t.divide_by(num.data(), den.data(), 20);
    EXPECT_TRUE(std::isinf(num[9])) << lt.name;
    EXPECT_TRUE(std::isnan(num[10])) << lt.name;
    for (size_t i = 0; i < 20; ++i)
      if (i != 9 && i != 10) {
        EXPECT_EQ(num[i], 0.75f) << lt.name;
      }
  }
}

TEST(DspPrimitives, FirMatchesGenericForAllShapes) {
  for (const LevelTable& lt : machine_levels()) {
    for (size_t ntaps : {1u, 2u, 7u, 31u, 33u, 128u, 300u}) {
      for (size_t n = 0; n <= kMaxLen; n += (n < 20 ? 1 : 7)) {
        for (size_t off = 0; off < 4; off += 3) {
          std::vector<float> taps = random_floats(ntaps + off, 3 * ntaps);
          std::vector<float> src = random_floats(n + off, 5 + n);
          size_t out = n ? n + ntaps - 1 : 0;
          std::vector<float> want = random_floats(out + 2 * kGuard + off, 11 + n), got = want;
          fir_accumulate_generic(want.data() + kGuard + off, src.data() + off, taps.data() + off, ntaps, n);
          lt.table.fir_accumulate(got.data() + kGuard + off, src.data() + off, taps.data() + off, ntaps, n);
          // Long filters are summed in tap chunks and fused forms round
          // once; either stays within float rounding of the sum's scale.
          float tol = 2e-6f * std::sqrt(static_cast<float>(ntaps)) * 4.0f;
          expect_same(want, got, tol, lt, n, off);
        }
      }
    }
  }
}

TEST(DspPrimitives, FirSingleUnitTapAddsSource) {
  for (const LevelTable& lt : machine_levels()) {
    std::vector<float> src = random_floats(45, 2), dst = random_floats(45, 3), want = dst;
    float one = 1.0f;
    lt.table.fir_accumulate(dst.data(), src.data(), &one, 1, 45);
    for (size_t i = 0; i < 45; ++i) want[i] += src[i];
    EXPECT_EQ(dst, want) << lt.name;
  }
}

// The interpolator peaks of every level against the generic loop: each
// phase's sum is formed in the same order (fused forms round once), a
// frame's value does not depend on where in the call it falls (a call that
// starts later gives the same bits for the frames it shares), a NaN sum
// leaves the peak, and the frames outside 0 .. n-1 are not touched; with
// mirrored taps the paired form gives the same peaks.
TEST(DspPrimitives, PolyphasePeaksMatchGenericAtEveryPosition) {
  for (const LevelTable& lt : machine_levels()) {
    for (size_t ntaps : {1u, 12u, 24u, 32u}) {
      for (unsigned phases : {1u, 2u, 3u}) {
        const std::vector<float> taps = random_floats(3 * ntaps, unsigned(7 * ntaps + phases), -0.5f, 0.5f);
        for (size_t n = 0; n <= kMaxLen; n += (n < 30 ? 1 : 13)) {
          std::vector<float> src = random_floats(ntaps + n, unsigned(31 + n));
          if (n > 20) src[ntaps + 9] = NAN;  // NaN sums for the frames that reach it
          const float* x = src.data() + ntaps - 1;
          std::vector<float> want = random_floats(n + 2 * kGuard, 3, 0.0f, 1.0f), got = want;
          peak_polyphase_generic(want.data() + kGuard, x, taps.data(), ntaps, phases, n);
          lt.table.peak_polyphase(got.data() + kGuard, x, taps.data(), ntaps, phases, n);
          expect_same(want, got, 2e-6f * float(ntaps), lt, n, ntaps);
          for (size_t i = 0; i < n + 2 * kGuard; ++i) ASSERT_FALSE(std::isnan(got[i])) << lt.name << " i=" << i;
          if (n < 5) continue;
          // Frames 5.. again, by a call that starts there.
          std::vector<float> whole(n, 0.0f), later(n, 0.0f);
          lt.table.peak_polyphase(whole.data(), x, taps.data(), ntaps, phases, n);
          lt.table.peak_polyphase(later.data() + 5, x + 5, taps.data(), ntaps, phases, n - 5);
          for (size_t i = 5; i < n; ++i) ASSERT_EQ(whole[i], later[i]) << lt.name << " n=" << n << " i=" << i;
          if (phases != 3 || ntaps % 2 != 0) continue;
          // Mirrored taps (the third phase the first reversed, the second
          // symmetric): the paired form reads what the direct one reads,
          // the generic loop and every level alike.
          std::vector<float> mirror = taps;
          for (size_t k = 0; k < ntaps; ++k) {
            mirror[2 * ntaps + k] = mirror[ntaps - 1 - k];
            mirror[ntaps + k] = taps[ntaps + std::min(k, ntaps - 1 - k)];
          }
          std::vector<float> direct(n + 2 * kGuard, 0.5f), paired = direct, plain = direct;
          peak_polyphase_generic(direct.data() + kGuard, x, mirror.data(), ntaps, 3, n);
          peak_mirrored_generic(plain.data() + kGuard, x, mirror.data(), ntaps, n);
          lt.table.peak_mirrored(paired.data() + kGuard, x, mirror.data(), ntaps, n);
          expect_same(direct, plain, 4e-6f * float(ntaps), lt, n, ntaps);
          expect_same(direct, paired, 4e-6f * float(ntaps), lt, n, ntaps);
        }
      }
    }
  }
}
