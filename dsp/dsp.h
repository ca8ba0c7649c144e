#pragma once

#include <cstddef>
#include <cstdint>

// The process-wide dispatch table of signal-processing primitives.
//
// dsp_init() fills it once for the running processor; afterwards callers
// fetch entries outside their inner loops and call through them:
//
//   const DspTable& t = dsp();
//   t.multiply_add(dst, src, n, k);
//
// Counts are element counts; 0 is always allowed and does nothing. No
// primitive allocates, fails or reports a status. Destination and sources
// must not overlap unless an entry says "in place" (or for move_floats).

// Floating-point state block owned by the caller of dsp_start/dsp_finish:
// a depth counter and a stack of fifteen saved control words.
struct alignas(64) DspFpState {
  uint32_t depth;
  uint32_t slots[15];
};
static_assert(sizeof(DspFpState) == 64);

// One second-order section in transposed direct form II with the feedback
// signs folded into a1, a2:
//   y = b0*x + z0;  z0 = b1*x + a1*y + z1;  z1 = b2*x + a2*y
// A cascade is an array of consecutive sections; the state persists between
// calls so a signal may be fed in pieces.
struct BiquadSection {
  float b0, b1, b2, a1, a2;
  float z0, z1;
};

// Processor description: one heap block (released with one mem_free) holding
// four NUL-terminated texts and the pointers to them.
struct CpuDescription {
  const char* architecture;
  const char* brand;
  const char* identity;
  const char* features;
};

struct DspTable {
  // Floating-point mode around processing (chained per level, LIFO).
  void (*dsp_start)(DspFpState* state);
  void (*dsp_finish)(DspFpState* state);
  // Newly allocated description, or null on failure.
  CpuDescription* (*describe_cpu)();

  // Element-wise and bulk operations on real rows.
  void (*fill_zero)(float* dst, size_t n);
  void (*copy_floats)(float* dst, const float* src, size_t n);
  void (*move_floats)(float* dst, const float* src, size_t n);  // any overlap
  void (*scale)(float* v, size_t n, float k);                   // in place
  void (*scale_copy)(float* dst, const float* src, size_t n, float k);
  void (*add_to)(float* dst, const float* src, size_t n);
  void (*multiply_by)(float* dst, const float* src, size_t n);
  void (*divide_by)(float* dst, const float* src, size_t n);
  void (*multiply_into)(float* dst, const float* a, const float* b, size_t n);
  void (*multiply_add)(float* dst, const float* src, size_t n, float k);
  float (*peak_abs)(const float* src, size_t n);
  // n complex outputs (2n floats); dst == src allowed.
  void (*real_to_complex)(float* dst, const float* src, size_t n);
  void (*complex_real_part)(float* dst, const float* src, size_t n);
  void (*complex_magnitude)(float* dst, const float* src, size_t n);

  // Complex FFT of 2^rank interleaved points, natural order; dst == src
  // allowed. The inverse is scaled by 1/N.
  void (*fft_forward)(float* dst, const float* src, unsigned rank);
  void (*fft_inverse)(float* dst, const float* src, unsigned rank);

  // Convolver kernels; the spectrum format (2N floats for rank r, N = 2^r)
  // is private to these three entries.
  void (*fir_accumulate)(float* dst, const float* src, const float* taps, size_t ntaps, size_t n);

  // The peaks of up to three phases of a polyphase interpolator: for j < n
  // and p < phases (1 .. 3), y = the sum over k < ntaps, k increasing, of
  // taps[p * ntaps + k] * src[j - k], and peak[j] becomes |y| where that is
  // larger (a NaN sum leaves it). src is read from src - (ntaps - 1).
  void (*peak_polyphase)(float* peak, const float* src, const float* taps, size_t ntaps, unsigned phases,
                         size_t n);
  // peak_polyphase of three phases whose taps mirror: the third phase is the
  // first reversed (taps[2 * ntaps + k] == taps[ntaps - 1 - k]) and the
  // second is its own reverse, ntaps even. Each pair of inputs k, ntaps - 1
  // - k is added and subtracted once for all three phases, which halves
  // the multiplications; the sums differ from peak_polyphase's by rounding.
  void (*peak_mirrored)(float* peak, const float* src, const float* taps, size_t ntaps, size_t n);
  void (*conv_transform)(float* dst, const float* src, unsigned rank);
  void (*conv_block)(float* dst, float* scratch, const float* spectrum, const float* src, unsigned rank);
  void (*conv_apply)(float* dst, float* scratch, const float* spectrum, const float* input_spectrum,
                     unsigned rank);

  // Biquad cascades of 1, 2, 4 and 8 sections; dst == src allowed.
  void (*biquad_1)(BiquadSection* sections, float* dst, const float* src, size_t n);
  void (*biquad_2)(BiquadSection* sections, float* dst, const float* src, size_t n);
  void (*biquad_4)(BiquadSection* sections, float* dst, const float* src, size_t n);
  void (*biquad_8)(BiquadSection* sections, float* dst, const float* src, size_t n);
  // One cascade of `count` sections over `rows` rows in one pass: row r
  // runs the sections sections[r * count .. r * count + count - 1] (its own
  // coefficients and state) from src[r] into dst[r]; dst[r] == src[r]
  // allowed, rows otherwise distinct. Each row's values and final state are
  // exactly those of the single-row entries of the same table applied in
  // groups of 8, 4, 2 and 1 sections, the first group from src to dst and
  // the rest in place (no sections copies src to dst).
  void (*biquad_rows)(BiquadSection* sections, unsigned count, float* const* dst, const float* const* src,
                      size_t rows, size_t n);

  // Set by the fill: whether the table is filled, the floating-point
  // handlers each chaining level replaced (its handlers call these), and the
  // MXCSR mask the SSE2 handlers apply (0xFFBF unless FXSAVE reports one).
  bool initialised;
  void (*x86_saved_start)(DspFpState* state);
  void (*x86_saved_finish)(DspFpState* state);
  void (*sse2_saved_start)(DspFpState* state);
  void (*sse2_saved_finish)(DspFpState* state);
  uint32_t mxcsr_mask;
};

// Fills the process-wide table for the running processor. Idempotent.
void dsp_init();

// The process-wide table; fills it on first use when dsp_init() has not run
// yet, so library code and tests may call it directly.
const DspTable& dsp();
