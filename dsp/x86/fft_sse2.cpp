// The transform and convolver kernels compiled for SSE2.
#include "dsp/x86/fft_impl.h"

TIMBRAL_VECTOR_FFT_LEVEL(sse2, FftSse2)
