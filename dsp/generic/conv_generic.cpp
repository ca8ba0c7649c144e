// Scalar convolver kernels over the shared spectrum format: bins in
// bit-reversed order, stored in groups of four complex values (four real
// parts, then the four imaginary parts). The forward side decimates in
// frequency into bit-reversed order, the inverse decimates in time back to
// natural order, so no reordering pass is made.

#include <cstddef>

#include "dsp/fft_kernels.h"
#include "dsp/fft_tables.h"

namespace {

// Float index of the real part of the value at position p; the imaginary
// part follows four floats later.
inline size_t re_at(size_t p) { return ((p >> 2) << 3) | (p & 3); }

void forward_real_half(float* s, const float* src, size_t n) {
  // First stage: the upper half of the input is zero, so the sums are the
  // input itself and the differences the input times the twiddles.
  const size_t half = n / 2;
  const float* wc = fft_tw_cos + half;
  const float* ws = fft_tw_sin + half;
  for (size_t j = 0; j < half; ++j) {
    float x = src[j];
    size_t a = re_at(j), b = re_at(j + half);
    s[a] = x;
    s[a + 4] = 0.0f;
    s[b] = x * wc[j];
    s[b + 4] = -x * ws[j];
  }
  for (size_t h = half / 2; h >= 1; h >>= 1) {
    const float* c = fft_tw_cos + h;
    const float* sn = fft_tw_sin + h;
    for (size_t k = 0; k < n; k += 2 * h) {
      for (size_t j = 0; j < h; ++j) {
        size_t a = re_at(k + j), b = re_at(k + j + h);
        float ar = s[a], ai = s[a + 4], br = s[b], bi = s[b + 4];
        float dr = ar - br, di = ai - bi;
        s[a] = ar + br;
        s[a + 4] = ai + bi;
        // (dr + i di) * (c - i sn)
        s[b] = dr * c[j] + di * sn[j];
        s[b + 4] = di * c[j] - dr * sn[j];
      }
    }
  }
}

// Inverse of a spectrum in s (destroyed); adds the real results times 1/n
// to dst[0 .. n-1].
void inverse_accumulate(float* dst, float* s, size_t n) {
  const size_t half = n / 2;
  for (size_t h = 1; h < half; h <<= 1) {
    const float* c = fft_tw_cos + h;
    const float* sn = fft_tw_sin + h;
    for (size_t k = 0; k < n; k += 2 * h) {
      for (size_t j = 0; j < h; ++j) {
        size_t a = re_at(k + j), b = re_at(k + j + h);
        float br = s[b], bi = s[b + 4];
        float tr = br * c[j] - bi * sn[j], ti = br * sn[j] + bi * c[j];
        float ar = s[a], ai = s[a + 4];
        s[a] = ar + tr;
        s[a + 4] = ai + ti;
        s[b] = ar - tr;
        s[b + 4] = ai - ti;
      }
    }
  }
  // Last stage: only the real parts are wanted.
  const float k = 1.0f / float(n);
  const float* c = fft_tw_cos + half;
  const float* sn = fft_tw_sin + half;
  for (size_t j = 0; j < half; ++j) {
    size_t a = re_at(j), b = re_at(j + half);
    float tr = s[b] * c[j] - s[b + 4] * sn[j];
    dst[j] += (s[a] + tr) * k;
    dst[j + half] += (s[a] - tr) * k;
  }
}

void multiply_spectra(float* dst, const float* x, const float* y, size_t n) {
  for (size_t g = 0; g < 2 * n; g += 8) {
    for (size_t l = 0; l < 4; ++l) {
      float xr = x[g + l], xi = x[g + l + 4], yr = y[g + l], yi = y[g + l + 4];
      dst[g + l] = xr * yr - xi * yi;
      dst[g + l + 4] = xr * yi + xi * yr;
    }
  }
}

}  // namespace

void conv_transform_generic(float* dst, const float* src, unsigned rank) {
  fft_tables_ensure();
  forward_real_half(dst, src, size_t(1) << rank);
}

void conv_block_generic(float* dst, float* scratch, const float* spectrum, const float* src,
                        unsigned rank) {
  fft_tables_ensure();
  const size_t n = size_t(1) << rank;
  forward_real_half(scratch, src, n);
  multiply_spectra(scratch, scratch, spectrum, n);
  inverse_accumulate(dst, scratch, n);
}

void conv_apply_generic(float* dst, float* scratch, const float* spectrum,
                        const float* input_spectrum, unsigned rank) {
  fft_tables_ensure();
  const size_t n = size_t(1) << rank;
  multiply_spectra(scratch, input_spectrum, spectrum, n);
  inverse_accumulate(dst, scratch, n);
}
