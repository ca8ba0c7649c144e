#include "dsp/x86/fused_begin.h"

#include "dsp/variants.h"
#include "dsp/x86/vec_avx.h"
#include "dsp/x86/rows_impl.h"

using K = RowKernels<VecAvxT<true>>;

void multiply_add_fma(float* dst, const float* src, size_t n, float k) { K::multiply_add(dst, src, n, k); }
void fir_accumulate_fma(float* dst, const float* src, const float* taps, size_t ntaps, size_t n) {
  K::fir_accumulate(dst, src, taps, ntaps, n);
}
void peak_polyphase_fma(float* peak, const float* src, const float* taps, size_t ntaps, unsigned phases, size_t n) {
  K::peak_polyphase(peak, src, taps, ntaps, phases, n);
}
void peak_mirrored_fma(float* peak, const float* src, const float* taps, size_t ntaps, size_t n) {
  K::peak_mirrored(peak, src, taps, ntaps, n);
}

#include "dsp/x86/fused_end.h"
