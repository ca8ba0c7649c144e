#pragma once

#include <cstddef>

#include "dsp/dsp.h"

// Named implementations of the table entries, one set per instruction-set
// level. The table fill (dsp/levels.cpp) picks among them; tests compare
// table entries with these names to see which variant an entry holds, and
// call lesser variants directly. A variant must only be called on a
// processor that has its level.
//
// Suffixes: _generic plain loops; _x86 string-move copy; _sse2, _sse3, _avx
// and _avx2 vector forms; _fma the AVX forms with fused multiply-add.

#define DSP_DECLARE_ROW_VARIANTS(L)                                                   \
  void fill_zero_##L(float* dst, size_t n);                                           \
  void move_floats_##L(float* dst, const float* src, size_t n);                       \
  void scale_##L(float* v, size_t n, float k);                                        \
  void scale_copy_##L(float* dst, const float* src, size_t n, float k);               \
  void add_to_##L(float* dst, const float* src, size_t n);                            \
  void multiply_by_##L(float* dst, const float* src, size_t n);                       \
  void divide_by_##L(float* dst, const float* src, size_t n);                         \
  void multiply_into_##L(float* dst, const float* a, const float* b, size_t n);       \
  void multiply_add_##L(float* dst, const float* src, size_t n, float k);             \
  float peak_abs_##L(const float* src, size_t n);                                     \
  void complex_magnitude_##L(float* dst, const float* src, size_t n);                 \
  void fir_accumulate_##L(float* dst, const float* src, const float* taps, size_t ntaps, size_t n);       \
  void peak_polyphase_##L(float* peak, const float* src, const float* taps, size_t ntaps, unsigned phases, \
                          size_t n);                                                                      \
  void peak_mirrored_##L(float* peak, const float* src, const float* taps, size_t ntaps, size_t n);

#define DSP_DECLARE_COMPLEX_VARIANTS(L)                                  \
  void real_to_complex_##L(float* dst, const float* src, size_t n);     \
  void complex_real_part_##L(float* dst, const float* src, size_t n);

#define DSP_DECLARE_BIQUAD_VARIANTS(L)                                                \
  void biquad_1_##L(BiquadSection* sections, float* dst, const float* src, size_t n); \
  void biquad_2_##L(BiquadSection* sections, float* dst, const float* src, size_t n); \
  void biquad_4_##L(BiquadSection* sections, float* dst, const float* src, size_t n); \
  void biquad_8_##L(BiquadSection* sections, float* dst, const float* src, size_t n);

// Two rows of one cascade size in one pass (see cascade_pipeline_rows):
// secs[r], dst[r] and src[r] for r = 0, 1.
typedef void (*BiquadPair)(BiquadSection* const* secs, float* const* dst, const float* const* src, size_t n);

// The biquad_rows entry of each level, built from that level's single-row
// cascades and their two-row forms (index 0..3: 1, 2, 4, 8 sections; a
// null pair runs the single form row by row).
struct BiquadKit {
  void (*single[4])(BiquadSection* sections, float* dst, const float* src, size_t n);
  BiquadPair pair[4];
};
void biquad_rows_with(const BiquadKit& kit, BiquadSection* sections, unsigned count, float* const* dst,
                      const float* const* src, size_t rows, size_t n);

#define DSP_DECLARE_BIQUAD_ROWS(L)                                                                         \
  void biquad_rows_##L(BiquadSection* sections, unsigned count, float* const* dst, const float* const* src, \
                       size_t rows, size_t n);

// Generic: every entry.
void dsp_start_generic(DspFpState* state);
void dsp_finish_generic(DspFpState* state);
void copy_floats_generic(float* dst, const float* src, size_t n);
DSP_DECLARE_ROW_VARIANTS(generic)
DSP_DECLARE_COMPLEX_VARIANTS(generic)
DSP_DECLARE_BIQUAD_VARIANTS(generic)
DSP_DECLARE_BIQUAD_ROWS(generic)

// x86: x87 control-word handlers and the string-move copy.
void dsp_start_x86(DspFpState* state);
void dsp_finish_x86(DspFpState* state);
void copy_floats_x86(float* dst, const float* src, size_t n);

// SSE2: MXCSR handlers, rows, complex conversions, the wider cascades.
void dsp_start_sse2(DspFpState* state);
void dsp_finish_sse2(DspFpState* state);
void copy_floats_sse2(float* dst, const float* src, size_t n);
DSP_DECLARE_ROW_VARIANTS(sse2)
DSP_DECLARE_COMPLEX_VARIANTS(sse2)
void biquad_4_sse2(BiquadSection* sections, float* dst, const float* src, size_t n);
void biquad_8_sse2(BiquadSection* sections, float* dst, const float* src, size_t n);
DSP_DECLARE_BIQUAD_ROWS(sse2)

// SSE3: the copy through unaligned 128-bit loads.
void copy_floats_sse3(float* dst, const float* src, size_t n);

// AVX, and AVX with FMA3 (the _fma forms need only AVX and FMA3).
DSP_DECLARE_ROW_VARIANTS(avx)
DSP_DECLARE_BIQUAD_VARIANTS(avx)
void multiply_add_fma(float* dst, const float* src, size_t n, float k);
void fir_accumulate_fma(float* dst, const float* src, const float* taps, size_t ntaps, size_t n);
void peak_polyphase_fma(float* peak, const float* src, const float* taps, size_t ntaps, unsigned phases, size_t n);
void peak_mirrored_fma(float* peak, const float* src, const float* taps, size_t ntaps, size_t n);
DSP_DECLARE_BIQUAD_VARIANTS(fma)
DSP_DECLARE_BIQUAD_ROWS(avx)
DSP_DECLARE_BIQUAD_ROWS(fma)
// Fused groups of 1, 2 and 4 sections with unfused groups of 8: the rows
// entry of the FMA level where biquad_8 stays the unfused AVX cascade.
DSP_DECLARE_BIQUAD_ROWS(fma_avx8)
void biquad_8_pair_avx(BiquadSection* const* secs, float* const* dst, const float* const* src, size_t n);

// AVX2: the complex conversions through cross-lane permutes.
DSP_DECLARE_COMPLEX_VARIANTS(avx2)

#undef DSP_DECLARE_ROW_VARIANTS
#undef DSP_DECLARE_COMPLEX_VARIANTS
#undef DSP_DECLARE_BIQUAD_VARIANTS
#undef DSP_DECLARE_BIQUAD_ROWS
