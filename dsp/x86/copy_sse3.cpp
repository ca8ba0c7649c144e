#include <pmmintrin.h>

#include "dsp/variants.h"

// Unaligned loads through LDDQU, which does not split on cache lines.
void copy_floats_sse3(float* dst, const float* src, size_t n) {
  if (dst == src) return;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i a = _mm_lddqu_si128(reinterpret_cast<const __m128i*>(src + i));
    __m128i b = _mm_lddqu_si128(reinterpret_cast<const __m128i*>(src + i + 4));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 4), b);
  }
  for (; i < n; ++i) dst[i] = src[i];
}
