#include <immintrin.h>

#include "dsp/variants.h"

// Cross-lane permutes put the pairs in place in one step per vector.
// From the top down, as in the other levels, so that dst == src works.
void real_to_complex_avx2(float* dst, const float* src, size_t n) {
  const __m256i lo_idx = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
  const __m256i hi_idx = _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7);
  const __m256 zero = _mm256_setzero_ps();
  size_t i = n;
  for (; i >= 8; i -= 8) {
    __m256 x = _mm256_loadu_ps(src + i - 8);
    _mm256_storeu_ps(dst + 2 * i - 8, _mm256_blend_ps(_mm256_permutevar8x32_ps(x, hi_idx), zero, 0xAA));
    _mm256_storeu_ps(dst + 2 * i - 16, _mm256_blend_ps(_mm256_permutevar8x32_ps(x, lo_idx), zero, 0xAA));
  }
  while (i-- > 0) {
    float re = src[i];
    dst[2 * i + 1] = 0.0f;
    dst[2 * i] = re;
  }
}

void complex_real_part_avx2(float* dst, const float* src, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 a = _mm256_loadu_ps(src + 2 * i), b = _mm256_loadu_ps(src + 2 * i + 8);
    __m256 even = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));  // 0 1 4 5 | 2 3 6 7
    __m256d ordered = _mm256_permute4x64_pd(_mm256_castps_pd(even), _MM_SHUFFLE(3, 1, 2, 0));
    _mm256_storeu_ps(dst + i, _mm256_castpd_ps(ordered));
  }
  for (; i < n; ++i) dst[i] = src[2 * i];
}
