#pragma once

// 128-bit vector vocabulary for the SSE2 kernels. Everything here has
// internal linkage so that each instruction-set file keeps its own copy.
#include <emmintrin.h>

#include <cstddef>

namespace {

struct VecSse2 {
  using T = __m128;
  static constexpr size_t W = 4;
  static constexpr bool fused = false;
  static T load(const float* p) { return _mm_loadu_ps(p); }
  static void store(float* p, T v) { _mm_storeu_ps(p, v); }
  static T zero() { return _mm_setzero_ps(); }
  static T set1(float x) { return _mm_set1_ps(x); }
  static T add(T a, T b) { return _mm_add_ps(a, b); }
  static T sub(T a, T b) { return _mm_sub_ps(a, b); }
  static T mul(T a, T b) { return _mm_mul_ps(a, b); }
  static T div(T a, T b) { return _mm_div_ps(a, b); }
  static T sqrt(T a) { return _mm_sqrt_ps(a); }
  // a*b + c, rounded twice.
  static T madd(T a, T b, T c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
  static float madd_s(float a, float b, float c) { return a * b + c; }
  // max(a, b) where a NaN a leaves b.
  static T max(T a, T b) { return _mm_max_ps(a, b); }
  static T abs(T a) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), a); }
  static float hmax(T v) {
    v = _mm_max_ps(v, _mm_movehl_ps(v, v));
    v = _mm_max_ss(v, _mm_shuffle_ps(v, v, 1));
    return _mm_cvtss_f32(v);
  }
  // Real and imaginary parts of 2W interleaved floats, in natural order.
  static void deinterleave(const float* p, T* re, T* im) {
    T a = _mm_loadu_ps(p), b = _mm_loadu_ps(p + 4);
    *re = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    *im = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
  }

  // Pipeline helpers of the biquad cascades: lane 0 of `c` followed by
  // lanes 0..W-2 of `y`; the top lane moved to lane 0; one lane's value.
  static T shift_in(T y, T c) {
    return _mm_move_ss(_mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(y), 4)), c);
  }
  static T top_to_low(T y) { return _mm_shuffle_ps(y, y, _MM_SHUFFLE(3, 3, 3, 3)); }
  static T scalar(float x) { return _mm_set_ss(x); }
  template <int I>
  static float lane(T y) {
    return _mm_cvtss_f32(_mm_shuffle_ps(y, y, _MM_SHUFFLE(I, I, I, I)));
  }
};

}  // namespace
