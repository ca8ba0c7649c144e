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

  // Mirrored phases: per pair of inputs one sum and one difference feed
  // the three phases (the sum of the outer ones, their difference, the
  // middle one); the tap sums and differences are formed once per call.
  // The same operations in the same order in vectors and in the tail.
  static constexpr size_t kMirrorMax = 64;

  template <size_t NV>
  static void mirrored_step(float* peak, const float* src, const float* ps, const float* pd, const float* pm,
                            size_t ntaps) {
    const size_t half = ntaps / 2;
    T s[NV], d[NV], m[NV];
    for (size_t g = 0; g < NV; ++g) s[g] = d[g] = m[g] = V::zero();
    for (size_t k = 0; k < half; ++k) {
      const T ts = V::set1(ps[k]), td = V::set1(pd[k]), tm = V::set1(pm[k]);
      for (size_t g = 0; g < NV; ++g) {
        const T a = V::load(src + g * W - k), b = V::load(src + g * W - (ntaps - 1 - k));
        const T sum = V::add(a, b), dif = V::sub(a, b);
        s[g] = V::madd(ts, sum, s[g]);
        d[g] = V::madd(td, dif, d[g]);
        m[g] = V::madd(tm, sum, m[g]);
      }
    }
    const T h = V::set1(0.5f);
    for (size_t g = 0; g < NV; ++g) {
      T p = V::load(peak + g * W);
      p = V::max(V::abs(V::mul(V::add(s[g], d[g]), h)), p);
      p = V::max(V::abs(m[g]), p);
      p = V::max(V::abs(V::mul(V::sub(s[g], d[g]), h)), p);
      V::store(peak + g * W, p);
    }
  }

  static void peak_mirrored(float* peak, const float* src, const float* taps, size_t ntaps, size_t n) {
    const size_t half = ntaps / 2;
    if (half == 0 || half > kMirrorMax) return;
    float ps[kMirrorMax], pd[kMirrorMax], pm[kMirrorMax];
    for (size_t k = 0; k < half; ++k) {
      ps[k] = taps[k] + taps[ntaps - 1 - k];
      pd[k] = taps[k] - taps[ntaps - 1 - k];
      pm[k] = taps[ntaps + k];
    }
    size_t j = 0;
    for (; j + 2 * W <= n; j += 2 * W) mirrored_step<2>(peak + j, src + j, ps, pd, pm, ntaps);
    for (; j + W <= n; j += W) mirrored_step<1>(peak + j, src + j, ps, pd, pm, ntaps);
    for (; j < n; ++j) {
      float s = 0.0f, d = 0.0f, m = 0.0f;
      for (size_t k = 0; k < half; ++k) {
        const float a = src[j - k], b = src[j - (ntaps - 1 - k)];
        s = V::madd_s(ps[k], a + b, s);
        d = V::madd_s(pd[k], a - b, d);
        m = V::madd_s(pm[k], a + b, m);
      }
      const float y[3] = {std::fabs((s + d) * 0.5f), std::fabs(m), std::fabs((s - d) * 0.5f)};
      for (float v : y) peak[j] = v > peak[j] ? v : peak[j];
    }
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
