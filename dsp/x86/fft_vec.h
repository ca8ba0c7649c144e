#pragma once

// Vector vocabulary of the transform kernels: W lanes of floats, split
// complex arithmetic, conversions between interleaved and split layouts,
// W x W transposes and lane reversal. Internal linkage, so that every
// instruction-set file keeps its own copy compiled for its own flags.
#include <immintrin.h>

#include <cstddef>

#include "dsp/fft_tables.h"

namespace {

struct FftSse2 {
  using T = __m128;
  static constexpr unsigned W = 4;
  static constexpr unsigned log2w = 2;
  static T load(const float* p) { return _mm_loadu_ps(p); }
  static void store(float* p, T v) { _mm_storeu_ps(p, v); }
  static T set1(float x) { return _mm_set1_ps(x); }
  static T zero() { return _mm_setzero_ps(); }
  static T add(T a, T b) { return _mm_add_ps(a, b); }
  static T sub(T a, T b) { return _mm_sub_ps(a, b); }
  static T mul(T a, T b) { return _mm_mul_ps(a, b); }
  static T madd(T a, T b, T c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }  // a*b + c
  static T msub(T a, T b, T c) { return _mm_sub_ps(_mm_mul_ps(a, b), c); }  // a*b - c
  static T neg(T a) { return _mm_xor_ps(a, _mm_set1_ps(-0.0f)); }
  // 2W interleaved floats at p -> real and imaginary lanes.
  static void deinterleave(const float* p, T& re, T& im) {
    T a = _mm_loadu_ps(p), b = _mm_loadu_ps(p + 4);
    re = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    im = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
  }
  // interleave into two registers: the 2W floats at p would be lo, hi.
  static void interleave_regs(T re, T im, T& lo, T& hi) {
    lo = _mm_unpacklo_ps(re, im);
    hi = _mm_unpackhi_ps(re, im);
  }
  static void interleave(float* p, T re, T im) {
    T lo, hi;
    interleave_regs(re, im, lo, hi);
    _mm_storeu_ps(p, lo);
    _mm_storeu_ps(p + 4, hi);
  }
  // deinterleave with the lanes in the order lane_point(0 .. W-1): cheaper
  // where the order does not matter (lane-parallel work).
  static void deinterleave_any(const float* p, T& re, T& im) { deinterleave(p, re, im); }
  static unsigned lane_point(unsigned j) { return j; }
  static void interleave_any(float* p, T re, T im) { interleave(p, re, im); }
  // Span twiddles in lane order.
  static const float* tw_cos() { return fft_tw_cos; }
  static const float* tw_sin() { return fft_tw_sin; }
  static void transpose(T* r) { _MM_TRANSPOSE4_PS(r[0], r[1], r[2], r[3]); }
  static T reverse(T v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)); }
};

template <bool Fused>
struct FftAvx {
  using T = __m256;
  static constexpr unsigned W = 8;
  static constexpr unsigned log2w = 3;
  static T load(const float* p) { return _mm256_loadu_ps(p); }
  static void store(float* p, T v) { _mm256_storeu_ps(p, v); }
  static T set1(float x) { return _mm256_set1_ps(x); }
  static T zero() { return _mm256_setzero_ps(); }
  static T add(T a, T b) { return _mm256_add_ps(a, b); }
  static T sub(T a, T b) { return _mm256_sub_ps(a, b); }
  static T mul(T a, T b) { return _mm256_mul_ps(a, b); }
  static T madd(T a, T b, T c) {
    if constexpr (Fused) {
      return _mm256_fmadd_ps(a, b, c);
    } else {
      return _mm256_add_ps(_mm256_mul_ps(a, b), c);
    }
  }
  static T msub(T a, T b, T c) {
    if constexpr (Fused) {
      return _mm256_fmsub_ps(a, b, c);
    } else {
      return _mm256_sub_ps(_mm256_mul_ps(a, b), c);
    }
  }
  static T neg(T a) { return _mm256_xor_ps(a, _mm256_set1_ps(-0.0f)); }
  static void deinterleave(const float* p, T& re, T& im) {
    T a = _mm256_loadu_ps(p), b = _mm256_loadu_ps(p + 8);
    T lo = _mm256_permute2f128_ps(a, b, 0x20), hi = _mm256_permute2f128_ps(a, b, 0x31);
    re = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
    im = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
  }
  // Without the lane exchange: lanes hold points 0 1 4 5 2 3 6 7.
  static void deinterleave_any(const float* p, T& re, T& im) {
    T a = _mm256_loadu_ps(p), b = _mm256_loadu_ps(p + 8);
    re = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    im = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
  }
  static unsigned lane_point(unsigned j) { return (j & 1) | ((j & 2) << 1) | ((j & 4) >> 1); }
  // Inverse of deinterleave_any.
  static void interleave_any(float* p, T re, T im) {
    _mm256_storeu_ps(p, _mm256_unpacklo_ps(re, im));
    _mm256_storeu_ps(p + 8, _mm256_unpackhi_ps(re, im));
  }
  static const float* tw_cos() { return fft_tw_cos8; }
  static const float* tw_sin() { return fft_tw_sin8; }
  static void interleave(float* p, T re, T im) {
    T lo, hi;
    interleave_regs(re, im, lo, hi);
    _mm256_storeu_ps(p, lo);
    _mm256_storeu_ps(p + 8, hi);
  }
  static void interleave_regs(T re, T im, T& lo, T& hi) {
    T a = _mm256_unpacklo_ps(re, im), b = _mm256_unpackhi_ps(re, im);
    lo = _mm256_permute2f128_ps(a, b, 0x20);
    hi = _mm256_permute2f128_ps(a, b, 0x31);
  }
  static void transpose(T* r) {
    T t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    T t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    T t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    T t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    T u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    T u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    T u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    T u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    T u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    T u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    T u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    T u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
  }
  // Lane reversal; it also reverses the point order of lane_point, since
  // 7 - lane_point(j) == lane_point(7 - j).
  static T reverse(T v) {
#if defined(__AVX2__)
    return _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
#else
    T halves = _mm256_permute2f128_ps(v, v, 0x01);
    return _mm256_permute_ps(halves, _MM_SHUFFLE(0, 1, 2, 3));
#endif
  }
};

}  // namespace
