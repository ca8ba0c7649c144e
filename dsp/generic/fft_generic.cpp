// Scalar complex FFT: bit-reversal permutation, one radix-4 pass for the
// first two stages, radix-2 decimation-in-time stages with table twiddles,
// and 1/N as the last pass of the inverse.

#include <cstddef>

#include "dsp/fft_kernels.h"
#include "dsp/fft_tables.h"

namespace {

void bit_reverse_permute(float* dst, const float* src, unsigned rank) {
  const unsigned n = 1u << rank;
  if (dst != src) {
    for (unsigned i = 0; i < n; ++i) {
      unsigned r = fft_bit_reverse(i, rank);
      dst[2 * r] = src[2 * i];
      dst[2 * r + 1] = src[2 * i + 1];
    }
    return;
  }
  for (unsigned i = 0; i < n; ++i) {
    unsigned r = fft_bit_reverse(i, rank);
    if (i < r) {
      float re = dst[2 * i], im = dst[2 * i + 1];
      dst[2 * i] = dst[2 * r];
      dst[2 * i + 1] = dst[2 * r + 1];
      dst[2 * r] = re;
      dst[2 * r + 1] = im;
    }
  }
}

// sign = -1 forward, +1 inverse: the twiddle applied is e^{sign i theta}.
void transform(float* dst, const float* src, unsigned rank, float sign) {
  fft_tables_ensure();
  if (rank == 0) {
    dst[0] = src[0];
    dst[1] = src[1];
    return;
  }
  bit_reverse_permute(dst, src, rank);
  const size_t n = size_t(1) << rank;
  if (rank == 1) {
    float ar = dst[0], ai = dst[1], br = dst[2], bi = dst[3];
    dst[0] = ar + br;
    dst[1] = ai + bi;
    dst[2] = ar - br;
    dst[3] = ai - bi;
  } else {
    // Stages of span 2 and 4 as one radix-4 pass; the span-4 twiddle of
    // the odd pair is e^{sign i pi/2} = sign * i.
    for (size_t k = 0; k < 2 * n; k += 8) {
      float* p = dst + k;
      float s0r = p[0] + p[2], s0i = p[1] + p[3];
      float d0r = p[0] - p[2], d0i = p[1] - p[3];
      float s1r = p[4] + p[6], s1i = p[5] + p[7];
      float d1r = p[4] - p[6], d1i = p[5] - p[7];
      // (d1r + i d1i) * (sign i) = -sign d1i + i sign d1r
      float tr = -sign * d1i, ti = sign * d1r;
      p[0] = s0r + s1r;
      p[1] = s0i + s1i;
      p[4] = s0r - s1r;
      p[5] = s0i - s1i;
      p[2] = d0r + tr;
      p[3] = d0i + ti;
      p[6] = d0r - tr;
      p[7] = d0i - ti;
    }
    for (size_t h = 4; h < n; h <<= 1) {
      const float* wc = fft_tw_cos + h;
      const float* ws = fft_tw_sin + h;
      for (size_t k = 0; k < n; k += 2 * h) {
        float* a = dst + 2 * k;
        float* b = a + 2 * h;
        for (size_t j = 0; j < h; ++j) {
          float c = wc[j], s = sign * ws[j];
          float br = b[2 * j], bi = b[2 * j + 1];
          float tr = br * c - bi * s, ti = br * s + bi * c;
          float ar = a[2 * j], ai = a[2 * j + 1];
          a[2 * j] = ar + tr;
          a[2 * j + 1] = ai + ti;
          b[2 * j] = ar - tr;
          b[2 * j + 1] = ai - ti;
        }
      }
    }
  }
  if (sign > 0) {
    const float k = 1.0f / float(n);
    for (size_t i = 0; i < 2 * n; ++i) dst[i] *= k;
  }
}

}  // namespace

void fft_forward_generic(float* dst, const float* src, unsigned rank) {
  transform(dst, src, rank, -1.0f);
}

void fft_inverse_generic(float* dst, const float* src, unsigned rank) {
  transform(dst, src, rank, 1.0f);
}
