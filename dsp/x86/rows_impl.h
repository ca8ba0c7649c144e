#pragma once

// Row kernels written once over a vector vocabulary V (vec_sse2.h,
// vec_avx.h): whole vectors first, then the scalar remainder. Element-wise
// results equal the generic loops exactly; with a fused V the multiply-adds
// round once. Internal linkage: each instruction-set file instantiates its
// own copy.
#include <cmath>
#include <cstring>

namespace {

template <class V>
struct RowKernels {
  using T = typename V::T;
  static constexpr size_t W = V::W;

  static void fill_zero(float* dst, size_t n) {
    size_t i = 0;
    for (; i + W <= n; i += W) V::store(dst + i, V::zero());
    for (; i < n; ++i) dst[i] = 0.0f;
  }

  static void copy_forward(float* dst, const float* src, size_t n) {
    size_t i = 0;
    for (; i + 2 * W <= n; i += 2 * W) {
      T a = V::load(src + i), b = V::load(src + i + W);
      V::store(dst + i, a);
      V::store(dst + i + W, b);
    }
    for (; i + W <= n; i += W) V::store(dst + i, V::load(src + i));
    for (; i < n; ++i) dst[i] = src[i];
  }

  // Each vector is loaded before the store that may overwrite it, so the
  // forward copy is right for dst below src and the backward one for dst
  // above src.
  static void copy_backward(float* dst, const float* src, size_t n) {
    size_t i = n;
    for (; i >= W; i -= W) V::store(dst + i - W, V::load(src + i - W));
    while (i-- > 0) dst[i] = src[i];
  }

  static void copy(float* dst, const float* src, size_t n) {
    if (dst != src) copy_forward(dst, src, n);
  }

  static void move(float* dst, const float* src, size_t n) {
    if (dst < src)
      copy_forward(dst, src, n);
    else if (dst > src)
      copy_backward(dst, src, n);
  }

  static void scale(float* v, size_t n, float k) {
    T kv = V::set1(k);
    size_t i = 0;
    for (; i + W <= n; i += W) V::store(v + i, V::mul(V::load(v + i), kv));
    for (; i < n; ++i) v[i] *= k;
  }

  static void scale_copy(float* dst, const float* src, size_t n, float k) {
    T kv = V::set1(k);
    size_t i = 0;
    for (; i + W <= n; i += W) V::store(dst + i, V::mul(V::load(src + i), kv));
    for (; i < n; ++i) dst[i] = src[i] * k;
  }

  static void add_to(float* dst, const float* src, size_t n) {
    size_t i = 0;
    for (; i + W <= n; i += W) V::store(dst + i, V::add(V::load(dst + i), V::load(src + i)));
    for (; i < n; ++i) dst[i] += src[i];
  }

  static void multiply_by(float* dst, const float* src, size_t n) {
    size_t i = 0;
    for (; i + W <= n; i += W) V::store(dst + i, V::mul(V::load(dst + i), V::load(src + i)));
    for (; i < n; ++i) dst[i] *= src[i];
  }

  static void divide_by(float* dst, const float* src, size_t n) {
    size_t i = 0;
    for (; i + W <= n; i += W) V::store(dst + i, V::div(V::load(dst + i), V::load(src + i)));
    for (; i < n; ++i) dst[i] /= src[i];
  }

  static void multiply_into(float* dst, const float* a, const float* b, size_t n) {
    size_t i = 0;
    for (; i + W <= n; i += W) V::store(dst + i, V::mul(V::load(a + i), V::load(b + i)));
    for (; i < n; ++i) dst[i] = a[i] * b[i];
  }

  static void multiply_add(float* dst, const float* src, size_t n, float k) {
    T kv = V::set1(k);
    size_t i = 0;
    for (; i + 2 * W <= n; i += 2 * W) {
      T a = V::madd(V::load(src + i), kv, V::load(dst + i));
      T b = V::madd(V::load(src + i + W), kv, V::load(dst + i + W));
      V::store(dst + i, a);
      V::store(dst + i + W, b);
    }
    for (; i + W <= n; i += W) V::store(dst + i, V::madd(V::load(src + i), kv, V::load(dst + i)));
    for (; i < n; ++i) dst[i] = V::madd_s(src[i], k, dst[i]);
  }

  static float peak_abs(const float* src, size_t n) {
    T a = V::zero(), b = V::zero();
    size_t i = 0;
    for (; i + 2 * W <= n; i += 2 * W) {
      a = V::max(V::abs(V::load(src + i)), a);
      b = V::max(V::abs(V::load(src + i + W)), b);
    }
    for (; i + W <= n; i += W) a = V::max(V::abs(V::load(src + i)), a);
    float peak = V::hmax(V::max(a, b));
    for (; i < n; ++i) {
      float x = std::fabs(src[i]);
      if (x > peak) peak = x;
    }
    return peak;
  }

  static void complex_magnitude(float* dst, const float* src, size_t n) {
    size_t i = 0;
    for (; i + W <= n; i += W) {
      T re, im;
      V::deinterleave(src + 2 * i, &re, &im);
      V::store(dst + i, V::sqrt(V::add(V::mul(re, re), V::mul(im, im))));
    }
    for (; i < n; ++i) {
      float re = src[2 * i], im = src[2 * i + 1];
      dst[i] = std::sqrt(re * re + im * im);
    }
  }

  // Output-blocked FIR: a block of B = NACC*W outputs stays in registers
  // while every input sample that reaches it adds its products, in
  // increasing input order as in the generic loop. The taps are copied,
  // in chunks, between zero borders of B-1 values so that the partial
  // overlaps at both ends of a block need no special case; a zero tap adds
  // a zero product and leaves the sum as it is.
  static constexpr size_t NACC = 4;
  static constexpr size_t B = NACC * W;
  static constexpr size_t CHUNK = 256;

  static void fir_block(float* out, const float* src, const float* pad, size_t ntaps, size_t n, size_t m) {
    size_t i0 = m + 1 > ntaps ? m + 1 - ntaps : 0;
    size_t i1 = m + B - 1 < n - 1 ? m + B - 1 : n - 1;
    T acc[NACC];
    for (size_t a = 0; a < NACC; ++a) acc[a] = V::load(out + a * W);
    for (size_t i = i0; i <= i1; ++i) {
      T s = V::set1(src[i]);
      const float* t = pad + (B - 1) + m - i;
      for (size_t a = 0; a < NACC; ++a) acc[a] = V::madd(s, V::load(t + a * W), acc[a]);
    }
    for (size_t a = 0; a < NACC; ++a) V::store(out + a * W, acc[a]);
  }

  // Interpolator peaks: G vectors of outputs of every phase stay in
  // registers while the taps run, so that each input vector is loaded once
  // for all phases; every sum is formed in increasing tap order from zero,
  // in vectors and in the scalar tail alike, so that where a frame falls
  // does not change its bits.
  static constexpr size_t G = 3;

  template <unsigned P, size_t NV>
  static void peak_step(float* peak, const float* src, const float* taps, size_t ntaps) {
    T acc[P][NV];
    for (unsigned p = 0; p < P; ++p)
      for (size_t g = 0; g < NV; ++g) acc[p][g] = V::zero();
    for (size_t k = 0; k < ntaps; ++k) {
      const float* s = src - k;
      T x[NV];
      for (size_t g = 0; g < NV; ++g) x[g] = V::load(s + g * W);
      for (unsigned p = 0; p < P; ++p) {
        const T t = V::set1(taps[p * ntaps + k]);
        for (size_t g = 0; g < NV; ++g) acc[p][g] = V::madd(t, x[g], acc[p][g]);
      }
    }
    for (size_t g = 0; g < NV; ++g) {
      T m = V::load(peak + g * W);
      for (unsigned p = 0; p < P; ++p) m = V::max(V::abs(acc[p][g]), m);
      V::store(peak + g * W, m);
    }
  }

  template <unsigned P>
  static void peak_phases(float* peak, const float* src, const float* taps, size_t ntaps, size_t n) {
    size_t j = 0;
    for (; j + G * W <= n; j += G * W) peak_step<P, G>(peak + j, src + j, taps, ntaps);
    for (; j + W <= n; j += W) peak_step<P, 1>(peak + j, src + j, taps, ntaps);
    for (; j < n; ++j) {
      for (unsigned p = 0; p < P; ++p) {
        float y = 0.0f;
        for (size_t k = 0; k < ntaps; ++k) y = V::madd_s(taps[p * ntaps + k], src[j - k], y);
        const float a = std::fabs(y);
        peak[j] = a > peak[j] ? a : peak[j];
      }
    }
  }

  static void peak_polyphase(float* peak, const float* src, const float* taps, size_t ntaps, unsigned phases,
                             size_t n) {
    if (ntaps == 0) return;
    if (phases == 1) peak_phases<1>(peak, src, taps, ntaps, n);
    if (phases == 2) peak_phases<2>(peak, src, taps, ntaps, n);
    if (phases >= 3) peak_phases<3>(peak, src, taps, ntaps, n);
  }

  static void fir_accumulate(float* dst, const float* src, const float* taps, size_t ntaps, size_t n) {
    if (n == 0 || ntaps == 0) return;
    alignas(64) float pad[(B - 1) + CHUNK + (B - 1)];
    alignas(64) float tail[B];
    for (size_t j0 = 0; j0 < ntaps; j0 += CHUNK) {
      size_t len = ntaps - j0 < CHUNK ? ntaps - j0 : CHUNK;
      std::memset(pad, 0, sizeof pad);
      std::memcpy(pad + (B - 1), taps + j0, len * sizeof(float));
      float* out = dst + j0;
      size_t nout = n + len - 1;
      size_t m = 0;
      for (; m + B <= nout; m += B) fir_block(out + m, src, pad, len, n, m);
      if (m < nout) {
        size_t rest = nout - m;
        std::memset(tail, 0, sizeof tail);
        std::memcpy(tail, out + m, rest * sizeof(float));
        fir_block(tail, src, pad, len, n, m);
        std::memcpy(out + m, tail, rest * sizeof(float));
      }
    }
  }
};

}  // namespace
