// The transform and convolver kernels compiled for AVX.
#include "dsp/x86/fft_impl.h"

TIMBRAL_VECTOR_FFT_LEVEL(avx, FftAvx<false>)
