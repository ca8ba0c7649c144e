#include "dsp/variants.h"
#include "dsp/x86/vec_sse2.h"
#include "dsp/x86/rows_impl.h"

using K = RowKernels<VecSse2>;

void copy_floats_sse2(float* dst, const float* src, size_t n) { K::copy(dst, src, n); }
void fill_zero_sse2(float* dst, size_t n) { K::fill_zero(dst, n); }
void move_floats_sse2(float* dst, const float* src, size_t n) { K::move(dst, src, n); }
void scale_sse2(float* v, size_t n, float k) { K::scale(v, n, k); }
void scale_copy_sse2(float* dst, const float* src, size_t n, float k) { K::scale_copy(dst, src, n, k); }
void add_to_sse2(float* dst, const float* src, size_t n) { K::add_to(dst, src, n); }
void multiply_by_sse2(float* dst, const float* src, size_t n) { K::multiply_by(dst, src, n); }
void divide_by_sse2(float* dst, const float* src, size_t n) { K::divide_by(dst, src, n); }
void multiply_into_sse2(float* dst, const float* a, const float* b, size_t n) { K::multiply_into(dst, a, b, n); }
void multiply_add_sse2(float* dst, const float* src, size_t n, float k) { K::multiply_add(dst, src, n, k); }
float peak_abs_sse2(const float* src, size_t n) { return K::peak_abs(src, n); }
void complex_magnitude_sse2(float* dst, const float* src, size_t n) { K::complex_magnitude(dst, src, n); }
void fir_accumulate_sse2(float* dst, const float* src, const float* taps, size_t ntaps, size_t n) {
  K::fir_accumulate(dst, src, taps, ntaps, n);
}
void peak_polyphase_sse2(float* peak, const float* src, const float* taps, size_t ntaps, unsigned phases, size_t n) {
  K::peak_polyphase(peak, src, taps, ntaps, phases, n);
}
void peak_mirrored_sse2(float* peak, const float* src, const float* taps, size_t ntaps, size_t n) {
  K::peak_mirrored(peak, src, taps, ntaps, n);
}

// From the top down: the four inputs of a step are loaded before the eight
// outputs, which lie at or above them, are stored; so dst == src works.
void real_to_complex_sse2(float* dst, const float* src, size_t n) {
  size_t i = n;
  __m128 zero = _mm_setzero_ps();
  for (; i >= 4; i -= 4) {
    __m128 x = _mm_loadu_ps(src + i - 4);
    _mm_storeu_ps(dst + 2 * i - 4, _mm_unpackhi_ps(x, zero));
    _mm_storeu_ps(dst + 2 * i - 8, _mm_unpacklo_ps(x, zero));
  }
  while (i-- > 0) {
    float re = src[i];
    dst[2 * i + 1] = 0.0f;
    dst[2 * i] = re;
  }
}

void complex_real_part_sse2(float* dst, const float* src, size_t n) {
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128 a = _mm_loadu_ps(src + 2 * i), b = _mm_loadu_ps(src + 2 * i + 4);
    _mm_storeu_ps(dst + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
  }
  for (; i < n; ++i) dst[i] = src[2 * i];
}
