#pragma once

// 256-bit vector vocabulary for the AVX kernels; with Fused the
// multiply-adds are single-rounded (only files that enable FMA3 through
// fused_begin.h instantiate it). Internal
// linkage, so each instruction-set file keeps its own copy.
#include <immintrin.h>

#include <cstddef>

namespace {

template <bool Fused>
struct VecAvxT {
  using T = __m256;
  static constexpr size_t W = 8;
  static constexpr bool fused = Fused;
  static T load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, T v) { _mm256_storeu_ps(p, v); }
  static T zero() { return _mm256_setzero_ps(); }
  static T set1(float x) { return _mm256_set1_ps(x); }
  static T add(T a, T b) { return _mm256_add_ps(a, b); }
  static T sub(T a, T b) { return _mm256_sub_ps(a, b); }
  static T mul(T a, T b) { return _mm256_mul_ps(a, b); }
  static T div(T a, T b) { return _mm256_div_ps(a, b); }
  static T sqrt(T a) { return _mm256_sqrt_ps(a); }
  static T madd(T a, T b, T c) {
    if constexpr (Fused) {
      return _mm256_fmadd_ps(a, b, c);
    } else {
      return _mm256_add_ps(_mm256_mul_ps(a, b), c);
    }
  }
  static float madd_s(float a, float b, float c) {
    if constexpr (Fused) {
      return _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(a), _mm_set_ss(b), _mm_set_ss(c)));
    } else {
      return a * b + c;
    }
  }
  static T max(T a, T b) { return _mm256_max_ps(a, b); }
  static T abs(T a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
  static float hmax(T v) {
    __m128 m = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    m = _mm_max_ps(m, _mm_movehl_ps(m, m));
    m = _mm_max_ss(m, _mm_shuffle_ps(m, m, 1));
    return _mm_cvtss_f32(m);
  }
  static void deinterleave(const float* p, T* re, T* im) {
    T a = _mm256_loadu_ps(p), b = _mm256_loadu_ps(p + 8);
    T lo = _mm256_permute2f128_ps(a, b, 0x20), hi = _mm256_permute2f128_ps(a, b, 0x31);
    *re = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
    *im = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
  }

  static T shift_in(T y, T c) {
    T rot = _mm256_permute_ps(y, _MM_SHUFFLE(2, 1, 0, 3));  // y3 y0 y1 y2 | y7 y4 y5 y6
    T low = _mm256_permute2f128_ps(rot, rot, 0x08);         // 0 0 0 0 | y3 y0 y1 y2
    T shifted = _mm256_blend_ps(rot, low, 0x11);            // 0 y0 y1 y2 | y3 y4 y5 y6
    return _mm256_blend_ps(shifted, c, 0x01);
  }
  static T top_to_low(T y) {
    __m128 hi = _mm256_extractf128_ps(y, 1);
    return _mm256_castps128_ps256(_mm_shuffle_ps(hi, hi, _MM_SHUFFLE(3, 3, 3, 3)));
  }
  static T scalar(float x) { return _mm256_castps128_ps256(_mm_set_ss(x)); }
  template <int I>
  static float lane(T y) {
    __m128 h = I >= 4 ? _mm256_extractf128_ps(y, 1) : _mm256_castps256_ps128(y);
    return _mm_cvtss_f32(_mm_shuffle_ps(h, h, _MM_SHUFFLE(I & 3, I & 3, I & 3, I & 3)));
  }
};

// The 128-bit forms with VEX encoding, for the narrow cascades.
template <bool Fused>
struct VecAvx128T {
  using T = __m128;
  static constexpr size_t W = 4;
  static constexpr bool fused = Fused;
  static T madd(T a, T b, T c) {
    if constexpr (Fused) {
      return _mm_fmadd_ps(a, b, c);
    } else {
      return _mm_add_ps(_mm_mul_ps(a, b), c);
    }
  }
  static float madd_s(float a, float b, float c) { return VecAvxT<Fused>::madd_s(a, b, c); }
  static T load(const float* p) { return _mm_loadu_ps(p); }
  static void store(float* p, T v) { _mm_storeu_ps(p, v); }
  static T add(T a, T b) { return _mm_add_ps(a, b); }
  static T mul(T a, T b) { return _mm_mul_ps(a, b); }
  static T shift_in(T y, T c) {
    return _mm_blend_ps(_mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(y), 4)), c, 0x01);
  }
  static T top_to_low(T y) { return _mm_shuffle_ps(y, y, _MM_SHUFFLE(3, 3, 3, 3)); }
  static T scalar(float x) { return _mm_set_ss(x); }
  template <int I>
  static float lane(T y) {
    return _mm_cvtss_f32(_mm_shuffle_ps(y, y, _MM_SHUFFLE(I, I, I, I)));
  }
};

}  // namespace
