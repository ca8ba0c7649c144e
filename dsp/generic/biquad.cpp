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
