#pragma once

// Vector complex FFT and convolver kernels, written once over a vector
// vocabulary V (dsp/x86/fft_vec.h) and instantiated by each instruction-set
// file. Everything has internal linkage: each file keeps its own copy,
// compiled for its own instruction set.
//
// The transform is a radix-4 decimation-in-time FFT on W-lane vectors:
//
// 1. The bit-reversal permutation is fused with the first log2(W) stages.
//    Writing a point index as i = a*(N/W) + b*W + c (a, c < W), the block
//    that bit reversal and the first stages build from the points with
//    fixed (b, c) is the W-point DFT over a, and it lands in block
//    rev(c)*2^mb + rev(b). A tile of W x W points (all a and c for one b)
//    is loaded as W vectors over c, transformed across the vectors, and
//    transposed so that each vector holds one finished block. Tiles b and
//    rev(b) trade places, so the pass also works in place.
// 2. From there the data is split: each group of W points is stored as W
//    real parts followed by W imaginary parts, so that butterflies need no
//    shuffles. An odd stage count takes one radix-2 pass first; the others
//    are radix-4 passes (two radix-2 stages fused, three twiddle products).
// 3. The last pass writes interleaved points again and, in the inverse,
//    scales by 1/N.
//
// Passes whose blocks fit in the first-level cache run block by block, so
// that large transforms do not stream the whole array once per pass.
// Twiddles come from the double-precision tables of dsp/fft_tables.h.
//
// The convolver kernels use a real transform: the real block x of N points
// (half of them zero) is the complex sequence z[j] = x[2j] + i x[2j+1] of
// M = N/2 points, transformed at rank - 1 and split into the N/2 + 1 bins
// X[0 .. M] of the real transform. Their spectrum format is these M + 1
// bins, stored as groups of bin pairs (k, M - k) in split form (see
// RealPass); the product of two spectra is still the plain bin-by-bin
// complex product, and the inverse undoes the split before an M-point
// inverse transform whose interleaved output is the real block itself.

#include <cstddef>
#include <cstdint>

#include "dsp/fft_kernels.h"
#include "dsp/fft_tables.h"
#include "dsp/x86/fft_vec.h"

namespace {

// Blocks of this many points (32 KB) are finished before the next pass.
constexpr size_t kFftCachePoints = size_t{1} << 12;

inline void fft_vec_tables() {
  if (!fft_tables_ready) fft_tables_init();
}

// A private copy of fft_bit_reverse: that one is an inline function with
// external linkage, and a copy of it compiled here for AVX could be the one
// the linker keeps for the generic code.
inline unsigned fft_vec_reverse_bits(unsigned i, unsigned bits) {
  unsigned r = 0;
  for (unsigned b = 0; b < bits; ++b) {
    r = (r << 1) | (i & 1);
    i >>= 1;
  }
  return r;
}

template <class V, bool Inverse>
struct VecFft {
  using T = typename V::T;
  static constexpr unsigned W = V::W;
  static constexpr unsigned w = V::log2w;
  // Smallest rank the vector passes handle: one full W x W tile.
  static constexpr unsigned kMinRank = 2 * w;

  // x *= e^{-i theta} (forward) or e^{+i theta} (inverse), with
  // (c, s) = (cos theta, sin theta).
  static void twiddle(T& re, T& im, T c, T s) {
    T r, i;
    if constexpr (Inverse) {
      r = V::msub(re, c, V::mul(im, s));
      i = V::madd(re, s, V::mul(im, c));
    } else {
      r = V::madd(re, c, V::mul(im, s));
      i = V::msub(im, c, V::mul(re, s));
    }
    re = r;
    im = i;
  }

  // x *= -i (forward) or +i (inverse).
  static void quarter(T& re, T& im) {
    T r = re;
    if constexpr (Inverse) {
      re = V::neg(im);
      im = r;
    } else {
      re = im;
      im = V::neg(r);
    }
  }

  // 4-point DFT across x[0], x[s], x[2s], x[3s], natural order in and out.
  // With Half the last two inputs are zero and are not read.
  template <bool Half>
  static void dft4(T* re, T* im, unsigned s) {
    T t0r, t0i, t1r, t1i, t2r, t2i, t3r, t3i;
    if constexpr (Half) {
      t0r = t1r = re[0];
      t0i = t1i = im[0];
      t2r = t3r = re[s];
      t2i = t3i = im[s];
    } else {
      t0r = V::add(re[0], re[2 * s]);
      t0i = V::add(im[0], im[2 * s]);
      t1r = V::sub(re[0], re[2 * s]);
      t1i = V::sub(im[0], im[2 * s]);
      t2r = V::add(re[s], re[3 * s]);
      t2i = V::add(im[s], im[3 * s]);
      t3r = V::sub(re[s], re[3 * s]);
      t3i = V::sub(im[s], im[3 * s]);
    }
    quarter(t3r, t3i);
    re[0] = V::add(t0r, t2r);
    im[0] = V::add(t0i, t2i);
    re[2 * s] = V::sub(t0r, t2r);
    im[2 * s] = V::sub(t0i, t2i);
    re[s] = V::add(t1r, t3r);
    im[s] = V::add(t1i, t3i);
    re[3 * s] = V::sub(t1r, t3r);
    im[3 * s] = V::sub(t1i, t3i);
  }

  // W-point DFT across the vectors re[0 .. W-1], natural order in and out.
  template <bool Half>
  static void dft_w(T* re, T* im) {
    if constexpr (W == 4) {
      dft4<Half>(re, im, 1);
    } else {
      // Even and odd halves (stride 2), then the radix-2 combination with
      // the eighth-turn twiddles.
      dft4<Half>(re, im, 2);
      dft4<Half>(re + 1, im + 1, 2);
      const T h = V::set1(0.70710678118654752f);
      // Odd outputs 1, 3, 5, 7 hold O0, O1, O2, O3.
      T o1r = re[3], o1i = im[3], o2r = re[5], o2i = im[5], o3r = re[7], o3i = im[7];
      if constexpr (Inverse) {  // w = (1 + i)/sqrt2, w^3 = (-1 + i)/sqrt2
        re[3] = V::mul(V::sub(o1r, o1i), h);
        im[3] = V::mul(V::add(o1i, o1r), h);
        re[7] = V::mul(V::neg(V::add(o3r, o3i)), h);
        im[7] = V::mul(V::sub(o3r, o3i), h);
      } else {  // w = (1 - i)/sqrt2, w^3 = (-1 - i)/sqrt2
        re[3] = V::mul(V::add(o1r, o1i), h);
        im[3] = V::mul(V::sub(o1i, o1r), h);
        re[7] = V::mul(V::sub(o3i, o3r), h);
        im[7] = V::mul(V::neg(V::add(o3i, o3r)), h);
      }
      quarter(o2r, o2i);
      re[5] = o2r;
      im[5] = o2i;
      T er[4] = {re[0], re[2], re[4], re[6]}, ei[4] = {im[0], im[2], im[4], im[6]};
      T orr[4] = {re[1], re[3], re[5], re[7]}, oi[4] = {im[1], im[3], im[5], im[7]};
      for (unsigned q = 0; q < 4; ++q) {
        re[q] = V::add(er[q], orr[q]);
        im[q] = V::add(ei[q], oi[q]);
        re[q + 4] = V::sub(er[q], orr[q]);
        im[q + 4] = V::sub(ei[q], oi[q]);
      }
    }
  }

  // Loads tile b of the interleaved input and leaves in re[j], im[j] the
  // finished block of the points whose low index bits are lane_point(j):
  // the transform runs lane by lane, so the lanes may come in any order.
  template <bool Half>
  static void load_tile(const float* in, size_t rows, size_t b, T* re, T* im) {
    constexpr unsigned kRows = Half ? W / 2 : W;
    for (unsigned a = 0; a < kRows; ++a) V::deinterleave_any(in + 2 * (a * rows + b * W), re[a], im[a]);
    if constexpr (Half) {
      for (unsigned a = kRows; a < W; ++a) re[a] = im[a] = V::zero();
    }
    dft_w<Half>(re, im);
    V::transpose(re);
    V::transpose(im);
  }

  static void store_tile(float* out, size_t rows, size_t rb, const T* re, const T* im) {
    for (unsigned j = 0; j < W; ++j) {
      size_t block = size_t{fft_vec_reverse_bits(V::lane_point(j), w)} * (rows / W) + rb;
      float* p = out + 2 * W * block;
      V::store(p, re[j]);
      V::store(p + W, im[j]);
    }
  }

  // Bit reversal fused with the first w stages; in interleaved, out split.
  template <bool Half>
  static void first_pass(float* out, const float* in, unsigned rank) {
    const size_t rows = size_t{1} << (rank - w);
    const unsigned mb = rank - 2 * w;
    const size_t tiles = size_t{1} << mb;
    T ar[W], ai[W], br[W], bi[W];
    for (size_t b = 0; b < tiles; ++b) {
      size_t rb = fft_vec_reverse_bits(static_cast<unsigned>(b), mb);
      if (out != in) {
        load_tile<Half>(in, rows, b, ar, ai);
        store_tile(out, rows, rb, ar, ai);
        continue;
      }
      if (rb < b) continue;  // done together with its partner
      load_tile<Half>(in, rows, b, ar, ai);
      if (rb != b) {
        load_tile<Half>(in, rows, rb, br, bi);
        store_tile(out, rows, b, br, bi);
      }
      store_tile(out, rows, rb, ar, ai);
    }
  }

  // Radix-2 stage combining blocks of W points (span 2W), split layout.
  static void radix2_pass(float* data, size_t points) {
    const T c = V::load(fft_tw_cos + W), s = V::load(fft_tw_sin + W);
    for (size_t base = 0; base < points; base += 2 * W) {
      float* p = data + 2 * base;
      float* q = p + 2 * W;
      T ar = V::load(p), ai = V::load(p + W), br = V::load(q), bi = V::load(q + W);
      twiddle(br, bi, c, s);
      V::store(p, V::add(ar, br));
      V::store(p + W, V::add(ai, bi));
      V::store(q, V::sub(ar, br));
      V::store(q + W, V::sub(ai, bi));
    }
  }

  // Radix-4 pass combining four blocks of l points (l a multiple of W)
  // into blocks of 4l. With Last the outputs are written interleaved and,
  // in the inverse, scaled by `scale`; with an `acc` array (same layout as
  // data) they are added to it instead of being stored.
  template <bool Last>
  static void radix4_pass(float* data, float* acc, size_t points, size_t l, float scale) {
    const float* c1 = fft_tw_cos + 2 * l;
    const float* s1 = fft_tw_sin + 2 * l;
    const float* c2 = fft_tw_cos + l;
    const float* s2 = fft_tw_sin + l;
    const float* c3 = fft_tw3_cos + l;
    const float* s3 = fft_tw3_sin + l;
    const T k = V::set1(scale);
    for (size_t base = 0; base < points; base += 4 * l) {
      float* p0 = data + 2 * base;
      for (size_t j = 0; j < l; j += W) {
        float* q0 = p0 + 2 * j;
        float* q1 = q0 + 2 * l;
        float* q2 = q0 + 4 * l;
        float* q3 = q0 + 6 * l;
        T x0r = V::load(q0), x0i = V::load(q0 + W);
        T x1r = V::load(q1), x1i = V::load(q1 + W);
        T x2r = V::load(q2), x2i = V::load(q2 + W);
        T x3r = V::load(q3), x3i = V::load(q3 + W);
        twiddle(x1r, x1i, V::load(c2 + j), V::load(s2 + j));
        twiddle(x2r, x2i, V::load(c1 + j), V::load(s1 + j));
        twiddle(x3r, x3i, V::load(c3 + j), V::load(s3 + j));
        T ar = V::add(x0r, x1r), ai = V::add(x0i, x1i);
        T br = V::sub(x0r, x1r), bi = V::sub(x0i, x1i);
        T cr = V::add(x2r, x3r), ci = V::add(x2i, x3i);
        T dr = V::sub(x2r, x3r), di = V::sub(x2i, x3i);
        quarter(dr, di);
        T y0r = V::add(ar, cr), y0i = V::add(ai, ci);
        T y2r = V::sub(ar, cr), y2i = V::sub(ai, ci);
        T y1r = V::add(br, dr), y1i = V::add(bi, di);
        T y3r = V::sub(br, dr), y3i = V::sub(bi, di);
        if constexpr (Last) {
          if constexpr (Inverse) {
            y0r = V::mul(y0r, k), y0i = V::mul(y0i, k), y1r = V::mul(y1r, k), y1i = V::mul(y1i, k);
            y2r = V::mul(y2r, k), y2i = V::mul(y2i, k), y3r = V::mul(y3r, k), y3i = V::mul(y3i, k);
          }
          if (acc) {
            float* a0 = acc + (q0 - data);
            add_interleaved(a0, y0r, y0i);
            add_interleaved(a0 + 2 * l, y1r, y1i);
            add_interleaved(a0 + 4 * l, y2r, y2i);
            add_interleaved(a0 + 6 * l, y3r, y3i);
          } else {
            V::interleave(q0, y0r, y0i);
            V::interleave(q1, y1r, y1i);
            V::interleave(q2, y2r, y2i);
            V::interleave(q3, y3r, y3i);
          }
        } else {
          V::store(q0, y0r), V::store(q0 + W, y0i), V::store(q1, y1r), V::store(q1 + W, y1i);
          V::store(q2, y2r), V::store(q2 + W, y2i), V::store(q3, y3r), V::store(q3 + W, y3i);
        }
      }
    }
  }

  static void add_interleaved(float* p, T re, T im) {
    T lo, hi;
    V::interleave_regs(re, im, lo, hi);
    V::store(p, V::add(V::load(p), lo));
    V::store(p + W, V::add(V::load(p + W), hi));
  }

  // One pass after the first on `points` points; the pass that ends the
  // transform is the one with 4l == n.
  static void pass(float* data, float* acc, size_t points, size_t l, size_t n, float scale) {
    if (4 * l == n) {
      radix4_pass<true>(data, acc, points, l, scale);
    } else {
      radix4_pass<false>(data, nullptr, points, l, scale);
    }
  }

  // Full transform of 2^rank points, kMinRank <= rank <= kFftMaxRank. With
  // Half the upper half of the input is zero and is not read.
  template <bool Half = false>
  static void run(float* dst, const float* src, unsigned rank) {
    run_passes<Half>(dst, src, nullptr, rank, 1.0f / static_cast<float>(size_t{1} << rank));
  }

  // In-place transform of data whose interleaved result, times `scale` in
  // the inverse, is added to acc (2^(rank+1) floats) instead of being stored.
  static void run_into(float* acc, float* data, unsigned rank, float scale) {
    run_passes<false>(data, data, acc, rank, scale);
  }

  template <bool Half>
  static void run_passes(float* dst, const float* src, float* acc, unsigned rank, float scale) {
    fft_vec_tables();
    const size_t n = size_t{1} << rank;
    first_pass<Half>(dst, src, rank);
    const bool odd = ((rank - w) & 1) != 0;
    size_t l0 = odd ? 2 * W : W;  // sub-length of the first radix-4 pass
    // Passes whose blocks fit in the cache, block by block.
    size_t block = n < kFftCachePoints ? n : kFftCachePoints;
    size_t l = l0;
    for (size_t start = 0; start < n; start += block) {
      float* p = dst + 2 * start;
      if (odd) radix2_pass(p, block);
      float* a = acc ? acc + 2 * start : nullptr;
      for (l = l0; 4 * l <= block; l *= 4) pass(p, a, block, l, n, scale);
    }
    // The remaining passes over the whole array.
    for (; 4 * l <= n; l *= 4) pass(dst, acc, n, l, n, scale);
  }
};

// Bin-pair passes between an M-point complex transform and the M + 1 bins
// of the 2M-point real transform. Bin k pairs with bin M - k, and
// t_k = e^{-i pi k/M}. With E = (A + conj B)/2 and D = (A - conj B)/2 for
// the pair (A, B) = (bin k, bin M - k):
//   split (Z -> X):  X[k] = E - i t_k D,        X[M-k] = conj(E + i t_k D)
//   merge (Y -> Z):  Z[k] = E + i conj(t_k) D,  Z[M-k] = conj(E - i conj(t_k) D)
// Bin M/2 pairs with itself, and both directions conjugate it.
//
// Both passes leave out the factor 1/2 of E and D, so a spectrum holds 2X
// and a merge gives 2Z: the product of two spectra, merged, is 8 times the
// points of the product, and the inverse scales by 1/(8M) instead of 1/M.
// The partner bins are kept conjugated, which the product preserves
// (conj a * conj b = conj ab); then neither pass needs a negation.
//
// A group of pairs holds the bins k + lane_point(j) in (ar, ai) and the
// conjugates of their partners M - k - lane_point(j) in (br, bi), k = W g.
// The spectrum keeps the groups as they are, so that the product needs no
// shuffles: group g at floats 4W g (ar, ai, br, bi, W floats each) for
// g < M/(2W), then 2 X[M/2] at floats 2M and 2M + 1. Bin 0 and bin M are
// lane 0 of group 0.
template <class V>
struct RealPass {
  using T = typename V::T;
  static constexpr unsigned W = V::W;

  static void cmul(T& re, T& im, T br, T bi) {
    T r = V::msub(re, br, V::mul(im, bi));
    im = V::madd(re, bi, V::mul(im, br));
    re = r;
  }

  // Split: (A, B) = (Z[k], Z[M-k]) in, (2 X[k], 2 conj X[M-k]) out.
  // Merge: (A, B) = (Y[k], conj Y[M-k]) in, (2 Z[k], 2 Z[M-k]) out.
  template <bool Merge>
  static void pair(T& ar, T& ai, T& br, T& bi, T c, T s) {
    if constexpr (Merge) {
      // E = A + B, D = A - B (B already conjugated); Q = i conj(t) D =
      // -(s dr + c di) + i (c dr - s di).
      T er = V::add(ar, br), ei = V::add(ai, bi);
      T dr = V::sub(ar, br), di = V::sub(ai, bi);
      T q = V::madd(s, dr, V::mul(c, di));
      T p = V::msub(c, dr, V::mul(s, di));
      ar = V::sub(er, q);
      ai = V::add(ei, p);
      br = V::add(er, q);
      bi = V::sub(p, ei);
    } else {
      // E = A + conj B, D = A - conj B; P = -i t D = (c di - s dr) -
      // i (s di + c dr); X[k] = E + P and conj X[M-k] = E - P.
      T er = V::add(ar, br), ei = V::sub(ai, bi);
      T dr = V::sub(ar, br), di = V::add(ai, bi);
      T u = V::msub(c, di, V::mul(s, dr));
      T v = V::madd(s, di, V::mul(c, dr));
      ar = V::add(er, u);
      ai = V::sub(ei, v);
      br = V::sub(er, u);
      bi = V::add(ei, v);
    }
  }

  // Group k of the interleaved natural-order points z[0 .. M-1]; the
  // partner of bin 0 is bin M, which is z[0] again.
  static void load_points(const float* z, size_t mm, size_t k, T& ar, T& ai, T& br, T& bi) {
    V::deinterleave_any(z + 2 * k, ar, ai);
    const size_t p = mm - k - (W - 1);
    if (k == 0) {
      alignas(32) float t[2 * W];
      for (unsigned i = 0; i < 2 * W - 2; ++i) t[i] = z[2 * p + i];
      t[2 * W - 2] = z[0];
      t[2 * W - 1] = z[1];
      V::deinterleave_any(t, br, bi);
    } else {
      V::deinterleave_any(z + 2 * p, br, bi);
    }
    br = V::reverse(br);
    bi = V::reverse(bi);
  }

  // Stores a merged group as interleaved natural-order points; the slot of
  // bin M (group 0) lands on z[M], which callers leave room for.
  static void store_points(float* z, size_t mm, size_t k, T ar, T ai, T br, T bi) {
    V::interleave_any(z + 2 * k, ar, ai);
    V::interleave_any(z + 2 * (mm - k - (W - 1)), V::reverse(br), V::reverse(bi));
  }

  static void load_group(const float* g, T& ar, T& ai, T& br, T& bi) {
    ar = V::load(g), ai = V::load(g + W), br = V::load(g + 2 * W), bi = V::load(g + 3 * W);
  }

  static void multiply(const float* g, T& ar, T& ai, T& br, T& bi) {
    T sr, si, tr, ti;
    load_group(g, sr, si, tr, ti);
    cmul(ar, ai, sr, si);
    cmul(br, bi, tr, ti);
  }

  // Spectrum of the points z.
  static void split(float* bins, const float* z, unsigned m) {
    const size_t mm = size_t{1} << m;
    const float* cs = V::tw_cos() + mm;
    const float* sn = V::tw_sin() + mm;
    for (size_t k = 0; k < mm / 2; k += W) {
      T ar, ai, br, bi;
      load_points(z, mm, k, ar, ai, br, bi);
      pair<false>(ar, ai, br, bi, V::load(cs + k), V::load(sn + k));
      float* g = bins + 4 * k;
      V::store(g, ar), V::store(g + W, ai), V::store(g + 2 * W, br), V::store(g + 3 * W, bi);
    }
    bins[2 * mm] = 2.0f * z[mm];
    bins[2 * mm + 1] = -2.0f * z[mm + 1];
  }

  // Points to inverse-transform for the product of `spectrum` with the
  // spectrum of z (split, multiply, merge in one pass).
  static void split_multiply_merge(float* out, const float* z, const float* spectrum, unsigned m) {
    const size_t mm = size_t{1} << m;
    const float* cs = V::tw_cos() + mm;
    const float* sn = V::tw_sin() + mm;
    for (size_t k = 0; k < mm / 2; k += W) {
      T ar, ai, br, bi;
      load_points(z, mm, k, ar, ai, br, bi);
      const T c = V::load(cs + k), s = V::load(sn + k);
      pair<false>(ar, ai, br, bi, c, s);
      multiply(spectrum + 4 * k, ar, ai, br, bi);
      pair<true>(ar, ai, br, bi, c, s);
      store_points(out, mm, k, ar, ai, br, bi);
    }
    merge_middle(out, 2.0f * z[mm], -2.0f * z[mm + 1], spectrum, mm);
  }

  // Points to inverse-transform for the product of two spectra.
  static void multiply_merge(float* out, const float* input, const float* spectrum, unsigned m) {
    const size_t mm = size_t{1} << m;
    const float* cs = V::tw_cos() + mm;
    const float* sn = V::tw_sin() + mm;
    for (size_t k = 0; k < mm / 2; k += W) {
      T ar, ai, br, bi;
      load_group(input + 4 * k, ar, ai, br, bi);
      multiply(spectrum + 4 * k, ar, ai, br, bi);
      pair<true>(ar, ai, br, bi, V::load(cs + k), V::load(sn + k));
      store_points(out, mm, k, ar, ai, br, bi);
    }
    merge_middle(out, input[2 * mm], input[2 * mm + 1], spectrum, mm);
  }

  // Bin M/2: times the spectrum's bin, conjugated and doubled like the
  // other merged points, into point M/2.
  static void merge_middle(float* out, float re, float im, const float* spectrum, size_t mm) {
    float sr = spectrum[2 * mm], si = spectrum[2 * mm + 1];
    out[mm] = 2.0f * (re * sr - im * si);
    out[mm + 1] = -2.0f * (re * si + im * sr);
  }
};

template <class V>
struct VecConv {
  using Forward = VecFft<V, false>;
  using Backward = VecFft<V, true>;
  using Pass = RealPass<V>;
  // Below this rank the kernels keep the scalar format.
  static constexpr unsigned kMinRank = Forward::kMinRank + 1;

  // 1/(8M) for M = 2^m points: see RealPass.
  static float inverse_scale(unsigned m) { return 1.0f / static_cast<float>(size_t{8} << m); }

  // The spectrum takes the lower half of dst; the points of the half-size
  // transform go to the upper half first.
  static void transform(float* dst, const float* src, unsigned rank) {
    const unsigned m = rank - 1;
    float* z = dst + (size_t{2} << m);
    Forward::template run<true>(z, src, m);
    Pass::split(dst, z, m);
  }

  static void block(float* dst, float* scratch, const float* spectrum, const float* src, unsigned rank) {
    const unsigned m = rank - 1;
    float* z = scratch + (size_t{2} << m);
    Forward::template run<true>(z, src, m);
    Pass::split_multiply_merge(scratch, z, spectrum, m);
    Backward::run_into(dst, scratch, m, inverse_scale(m));
  }

  static void apply(float* dst, float* scratch, const float* spectrum, const float* input, unsigned rank) {
    const unsigned m = rank - 1;
    Pass::multiply_merge(scratch, input, spectrum, m);
    Backward::run_into(dst, scratch, m, inverse_scale(m));
  }
};

}  // namespace

// The five table entries of one level over vocabulary V.
#define TIMBRAL_VECTOR_FFT_LEVEL(L, V)                                                            \
  void fft_forward_##L(float* dst, const float* src, unsigned rank) {                             \
    if (rank < VecFft<V, false>::kMinRank || rank > kFftMaxRank) {                                \
      fft_forward_generic(dst, src, rank);                                                        \
    } else {                                                                                      \
      VecFft<V, false>::run(dst, src, rank);                                                      \
    }                                                                                             \
  }                                                                                               \
  void fft_inverse_##L(float* dst, const float* src, unsigned rank) {                             \
    if (rank < VecFft<V, true>::kMinRank || rank > kFftMaxRank) {                                 \
      fft_inverse_generic(dst, src, rank);                                                        \
    } else {                                                                                      \
      VecFft<V, true>::run(dst, src, rank);                                                       \
    }                                                                                             \
  }                                                                                               \
  void conv_transform_##L(float* dst, const float* src, unsigned rank) {                          \
    if (rank < VecConv<V>::kMinRank || rank > kFftMaxRank) {                                      \
      conv_transform_generic(dst, src, rank);                                                     \
    } else {                                                                                      \
      VecConv<V>::transform(dst, src, rank);                                                      \
    }                                                                                             \
  }                                                                                               \
  void conv_block_##L(float* dst, float* scratch, const float* spectrum, const float* src,        \
                      unsigned rank) {                                                            \
    if (rank < VecConv<V>::kMinRank || rank > kFftMaxRank) {                                      \
      conv_block_generic(dst, scratch, spectrum, src, rank);                                      \
    } else {                                                                                      \
      VecConv<V>::block(dst, scratch, spectrum, src, rank);                                       \
    }                                                                                             \
  }                                                                                               \
  void conv_apply_##L(float* dst, float* scratch, const float* spectrum,                          \
                      const float* input_spectrum, unsigned rank) {                               \
    if (rank < VecConv<V>::kMinRank || rank > kFftMaxRank) {                                      \
      conv_apply_generic(dst, scratch, spectrum, input_spectrum, rank);                           \
    } else {                                                                                      \
      VecConv<V>::apply(dst, scratch, spectrum, input_spectrum, rank);                            \
    }                                                                                             \
  }
