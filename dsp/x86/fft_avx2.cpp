// Placeholder: forwards to the scalar kernels until the vector body lands.
#include "dsp/fft_kernels.h"

void fft_forward_avx2(float* dst, const float* src, unsigned rank) { fft_forward_generic(dst, src, rank); }
void fft_inverse_avx2(float* dst, const float* src, unsigned rank) { fft_inverse_generic(dst, src, rank); }
void conv_transform_avx2(float* dst, const float* src, unsigned rank) { conv_transform_generic(dst, src, rank); }
void conv_block_avx2(float* dst, float* scratch, const float* spectrum, const float* src, unsigned rank) {
  conv_block_generic(dst, scratch, spectrum, src, rank);
}
void conv_apply_avx2(float* dst, float* scratch, const float* spectrum, const float* input_spectrum,
                   unsigned rank) {
  conv_apply_generic(dst, scratch, spectrum, input_spectrum, rank);
}
