// Reference loops of the row primitives: every vector variant must give
// these results (up to the order of float additions).
#include <cmath>
#include <cstring>

#include "dsp/variants.h"

void fill_zero_generic(float* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = 0.0f;
}

void copy_floats_generic(float* dst, const float* src, size_t n) {
  if (dst == src) return;
  for (size_t i = 0; i < n; ++i) dst[i] = src[i];
}

void move_floats_generic(float* dst, const float* src, size_t n) {
  if (dst < src) {
    for (size_t i = 0; i < n; ++i) dst[i] = src[i];
  } else if (dst > src) {
    for (size_t i = n; i-- > 0;) dst[i] = src[i];
  }
}

void scale_generic(float* v, size_t n, float k) {
  for (size_t i = 0; i < n; ++i) v[i] *= k;
}

void scale_copy_generic(float* dst, const float* src, size_t n, float k) {
  for (size_t i = 0; i < n; ++i) dst[i] = src[i] * k;
}

void add_to_generic(float* dst, const float* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] += src[i];
}

void multiply_by_generic(float* dst, const float* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] *= src[i];
}

void divide_by_generic(float* dst, const float* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] /= src[i];
}

void multiply_into_generic(float* dst, const float* a, const float* b, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = a[i] * b[i];
}

void multiply_add_generic(float* dst, const float* src, size_t n, float k) {
  for (size_t i = 0; i < n; ++i) dst[i] += src[i] * k;
}

float peak_abs_generic(const float* src, size_t n) {
  float peak = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    float a = std::fabs(src[i]);
    if (a > peak) peak = a;
  }
  return peak;
}

void real_to_complex_generic(float* dst, const float* src, size_t n) {
  // From the top down, so that dst == src works.
  for (size_t i = n; i-- > 0;) {
    float re = src[i];
    dst[2 * i + 1] = 0.0f;
    dst[2 * i] = re;
  }
}

void complex_real_part_generic(float* dst, const float* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = src[2 * i];
}

void complex_magnitude_generic(float* dst, const float* src, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    float re = src[2 * i], im = src[2 * i + 1];
    dst[i] = std::sqrt(re * re + im * im);
  }
}

void peak_polyphase_generic(float* peak, const float* src, const float* taps, size_t ntaps, unsigned phases,
                            size_t n) {
  if (ntaps == 0) return;
  if (phases > 3) phases = 3;
  for (size_t j = 0; j < n; ++j) {
    for (unsigned p = 0; p < phases; ++p) {
      const float* t = taps + p * ntaps;
      float y = 0.0f;
      for (size_t k = 0; k < ntaps; ++k) y = t[k] * src[j - k] + y;
      const float a = std::fabs(y);
      peak[j] = a > peak[j] ? a : peak[j];
    }
  }
}

void peak_mirrored_generic(float* peak, const float* src, const float* taps, size_t ntaps, size_t n) {
  const size_t half = ntaps / 2;
  for (size_t j = 0; j < n; ++j) {
    float s = 0.0f, d = 0.0f, m = 0.0f;
    for (size_t k = 0; k < half; ++k) {
      const float a = src[j - k], b = src[j - (ntaps - 1 - k)];
      s = (taps[k] + taps[ntaps - 1 - k]) * (a + b) + s;
      d = (taps[k] - taps[ntaps - 1 - k]) * (a - b) + d;
      m = taps[ntaps + k] * (a + b) + m;
    }
    const float y[3] = {std::fabs((s + d) * 0.5f), std::fabs(m), std::fabs((s - d) * 0.5f)};
    for (float v : y) peak[j] = v > peak[j] ? v : peak[j];
  }
}

void fir_accumulate_generic(float* dst, const float* src, const float* taps, size_t ntaps, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    float s = src[i];
    float* out = dst + i;
    for (size_t j = 0; j < ntaps; ++j) out[j] += s * taps[j];
  }
}
