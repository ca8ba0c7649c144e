#include "dsp/variants.h"
#include "dsp/x86/vec_avx.h"
#include "dsp/x86/biquad_impl.h"

using Narrow = VecAvx128T<false>;
using Wide = VecAvxT<false>;

void biquad_1_avx(BiquadSection* s, float* dst, const float* src, size_t n) { cascade_1<Narrow>(s, dst, src, n); }
void biquad_2_avx(BiquadSection* s, float* dst, const float* src, size_t n) {
  cascade_pipeline<Narrow, 1, 2>(s, dst, src, n);
}
void biquad_4_avx(BiquadSection* s, float* dst, const float* src, size_t n) {
  cascade_pipeline<Narrow, 1, 4>(s, dst, src, n);
}
void biquad_8_avx(BiquadSection* s, float* dst, const float* src, size_t n) {
  cascade_pipeline<Wide, 1, 8>(s, dst, src, n);
}
