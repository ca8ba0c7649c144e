// Reference biquad cascades: per sample, section after section, in the
// transposed direct form II of BiquadSection.
#include "dsp/variants.h"

namespace {

template <int S>
void cascade(BiquadSection* sec, float* dst, const float* src, size_t n) {
  float c[S][5], z0[S], z1[S];
  for (int k = 0; k < S; ++k) {
    c[k][0] = sec[k].b0, c[k][1] = sec[k].b1, c[k][2] = sec[k].b2;
    c[k][3] = sec[k].a1, c[k][4] = sec[k].a2;
    z0[k] = sec[k].z0, z1[k] = sec[k].z1;
  }
  for (size_t i = 0; i < n; ++i) {
    float x = src[i];
    for (int k = 0; k < S; ++k) {
      float y = c[k][0] * x + z0[k];
      z0[k] = c[k][1] * x + c[k][3] * y + z1[k];
      z1[k] = c[k][2] * x + c[k][4] * y;
      x = y;
    }
    dst[i] = x;
  }
  for (int k = 0; k < S; ++k) sec[k].z0 = z0[k], sec[k].z1 = z1[k];
}

}  // namespace

void biquad_1_generic(BiquadSection* s, float* dst, const float* src, size_t n) { cascade<1>(s, dst, src, n); }
void biquad_2_generic(BiquadSection* s, float* dst, const float* src, size_t n) { cascade<2>(s, dst, src, n); }
void biquad_4_generic(BiquadSection* s, float* dst, const float* src, size_t n) { cascade<4>(s, dst, src, n); }
void biquad_8_generic(BiquadSection* s, float* dst, const float* src, size_t n) { cascade<8>(s, dst, src, n); }

void biquad_rows_with(const BiquadKit& kit, BiquadSection* sections, unsigned count, float* const* dst,
                      const float* const* src, size_t rows, size_t n) {
  for (size_t r = 0; r < rows; r += 2) {
    bool pair = r + 1 < rows;
    if (count == 0) {
      for (size_t i = r; i < r + (pair ? 2 : 1); ++i)
        if (dst[i] != src[i])
          for (size_t k = 0; k < n; ++k) dst[i][k] = src[i][k];
      continue;
    }
    BiquadSection* secs[2] = {sections + r * count, pair ? sections + (r + 1) * count : nullptr};
    const float* from[2] = {src[r], pair ? src[r + 1] : nullptr};
    float* to[2] = {dst[r], pair ? dst[r + 1] : nullptr};
    for (unsigned left = count; left > 0;) {
      unsigned step = left >= 8 ? 8 : left >= 4 ? 4 : left >= 2 ? 2 : 1;
      int size = step == 8 ? 3 : step == 4 ? 2 : step == 2 ? 1 : 0;
      if (pair && kit.pair[size]) {
        kit.pair[size](secs, to, from, n);
      } else {
        kit.single[size](secs[0], to[0], from[0], n);
        if (pair) kit.single[size](secs[1], to[1], from[1], n);
      }
      from[0] = to[0];
      from[1] = to[1];
      secs[0] += step;
      if (pair) secs[1] += step;
      left -= step;
    }
  }
}

void biquad_rows_generic(BiquadSection* sections, unsigned count, float* const* dst, const float* const* src,
                         size_t rows, size_t n) {
  static const BiquadKit kit = {{biquad_1_generic, biquad_2_generic, biquad_4_generic, biquad_8_generic},
                                {nullptr, nullptr, nullptr, nullptr}};
  biquad_rows_with(kit, sections, count, dst, src, rows, n);
}
