#include "dsp/variants.h"
#include "dsp/x86/vec_sse2.h"
#include "dsp/x86/biquad_impl.h"

void biquad_4_sse2(BiquadSection* s, float* dst, const float* src, size_t n) {
  cascade_pipeline<VecSse2, 1, 4>(s, dst, src, n);
}
void biquad_8_sse2(BiquadSection* s, float* dst, const float* src, size_t n) {
  cascade_pipeline<VecSse2, 2, 8>(s, dst, src, n);
}
