#pragma once

// Transform kernels of the dispatch table: the complex FFT and the three
// convolver kernels, one set per instruction-set level. The table fill
// assigns them: generic at the generic fill, sse2 at the SSE2 level, avx at
// the AVX level, avx2 at the AVX2 level and fma at its FMA3 part.
//
// fft_forward / fft_inverse: 2^rank interleaved complex points in natural
// order; dst == src allowed; the inverse is scaled by 1/N. Any rank up to 16
// is float-precise (the twiddles come from tables built in double precision).
// No alignment is required; aligned blocks are faster.
//
// Convolver spectrum format: private to the three kernels of one level,
// which always come into the table together, so a spectrum is only ever
// used with the kernels of the level that made it. The scalar kernels keep
// 2N floats for N = 2^rank: the N complex bins in bit-reversed order, in
// groups of four (four real parts, then the four matching imaginary
// parts). The vector kernels keep the N/2 + 1 bins of the real transform,
// as split groups of bin pairs (k, N/2 - k) (see dsp/x86/fft_impl.h). Either way
// the bin-by-bin product of two spectra is the spectrum of the circular
// convolution of the two blocks. Buffers hold 2N floats; work blocks (dst,
// scratch, spectra) are 64-byte aligned; ranks are 2 or more.
//
// conv_transform: transform of the real block src[0 .. N/2-1] followed by
//   N/2 zeros into dst (2N floats).
// conv_block: conv_transform of src into scratch (2N floats), bin-by-bin
//   product with spectrum, inverse, and dst[0 .. N-1] += result / N.
// conv_apply: product of input_spectrum and spectrum into scratch, inverse,
//   and dst[0 .. N-1] += result / N.

// Builds the twiddle tables (static storage, cannot fail). Idempotent; the
// kernels also call it themselves on first use.
void fft_tables_init();

#define TIMBRAL_FFT_LEVEL(L)                                                                    \
  void fft_forward_##L(float* dst, const float* src, unsigned rank);                            \
  void fft_inverse_##L(float* dst, const float* src, unsigned rank);                            \
  void conv_transform_##L(float* dst, const float* src, unsigned rank);                         \
  void conv_block_##L(float* dst, float* scratch, const float* spectrum, const float* src,      \
                      unsigned rank);                                                           \
  void conv_apply_##L(float* dst, float* scratch, const float* spectrum,                        \
                      const float* input_spectrum, unsigned rank);

TIMBRAL_FFT_LEVEL(generic)
TIMBRAL_FFT_LEVEL(sse2)
TIMBRAL_FFT_LEVEL(avx)
TIMBRAL_FFT_LEVEL(avx2)
TIMBRAL_FFT_LEVEL(fma)

#undef TIMBRAL_FFT_LEVEL
