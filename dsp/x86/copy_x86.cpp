#include <cstring>

#include "dsp/variants.h"

// Two floats per 64-bit string move, then the odd one.
void copy_floats_x86(float* dst, const float* src, size_t n) {
  if (dst == src || n == 0) return;
  size_t pairs = n / 2;
  float* d = dst;
  const float* s = src;
  if (pairs) __asm__ volatile("rep movsq" : "+D"(d), "+S"(s), "+c"(pairs) : : "memory");
  if (n & 1) dst[n - 1] = src[n - 1];
}
