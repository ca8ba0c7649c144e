#pragma once

#include <cstdint>

#include "dsp/dsp.h"
#include "runtime/status.h"

// Polyphase resampling kernels turned from scatter into gather form.
//
// The rational and integer resampling paths are all one scatter: input
// sample j + s*m adds x * kernels[j][k] to accumulation index
// offsets[j] + s*l + k for k < q. The gather form computes each
// accumulation value as one sum over the inputs that reach it, eight
// neighbouring values at a time from one table row per block, so the work is
// a short contiguous loop the compiler vectorises instead of one primitive
// call per input sample. Every product is the one the scatter forms; only
// the order of the additions differs. Products with a kernel value of exactly
// zero are left out, which for finite input changes nothing (the sums start
// at +0, so adding a signed zero never alters them).

// Scatter description of one path. Kernels and offsets are read only while
// the gather tables are built.
struct PolyphaseScatter {
  uint64_t l;               // accumulation values per period
  uint64_t m;               // input samples per period
  uint64_t q;               // kernel length
  const float* kernels;     // m rows of q values; row j serves inputs j, j + m, j + 2m, ...
  const uint64_t* offsets;  // m values below l: where row j lands inside its period
};

// Gather tables over a period of lp accumulation values and mp inputs (l and
// m widened by a common factor so that short periods fill whole blocks).
// Block b holds values b*8 ... b*8+7 of each period; their taps for input
// p*mp + first[b] + i are taps[start[b] + i*8 + lane], i < width[b].
struct PolyphaseGather {
  uint64_t lp, mp, blocks;
  int64_t* first;
  uint64_t* width;
  uint64_t* start;
  float* taps;
  int64_t lo, hi;  // a period reads inputs p*mp + lo ... p*mp + hi - 1
};

// The channels of one input delivered together in index order: for every
// channel zeros before index 0 and from `n` on, its row in between, run
// through that channel's biquad cascade first when the cascade has
// sections. All channels pass through the cascade in one multi-row call per
// stretch (dsp biquad_rows), so the filter runs once over the row set
// instead of once per channel. The cascade state carries from one delivery
// to the next, so the filtered values are those of filtering each whole row
// at once.
struct RowSource {
  const DspTable* dsp;
  const float* data;  // channel c's row at data + c * stride
  uint64_t stride;
  uint64_t channels;
  int64_t n;
  int64_t done;              // row samples [0, done) already delivered or skipped
  BiquadSection* sections;   // channels x count: channel c's cascade at c * count
  unsigned count;
  const float** from;        // per-channel pointer scratch of the fills
  float** to;
};

// A source over `channels` rows of n samples; count 0 delivers the rows
// unfiltered. The caller clears the section states first. False when the
// scratch cannot be allocated (the source is then released).
[[nodiscard]] bool row_source_init(RowSource& s, const DspTable& t, const float* data, uint64_t stride,
                                   uint64_t channels, uint64_t n, BiquadSection* sections, unsigned count);

// Frees the scratch; idempotent, and harmless on a zeroed record.
void row_source_release(RowSource& s);

// Writes input indices from ... from + count - 1 of channel c to dst[c]
// for every channel. `from` may not go back before samples already
// delivered; skipped row samples still pass through the cascade.
void row_source_fill(RowSource& s, float* const* dst, int64_t from, int64_t count);

// Runs the cascade in groups of 8, 4, 2 and 1 sections, the first group
// from src to dst and the others in place; no sections copies src.
void run_cascade(const DspTable& t, BiquadSection* sections, unsigned count, float* dst, const float* src, size_t n);

void polyphase_init(PolyphaseGather& g);
void polyphase_release(PolyphaseGather& g);

// Whether the gather tables of `s` stay within the memory budget; when they
// do not (rate pairs with periods of many thousand samples), the caller
// scatters directly instead.
bool polyphase_fits(const PolyphaseScatter& s);

// Builds the tables (released first). STATUS_NO_MEMORY when an allocation
// fails or a size overflows; `g` is then empty.
[[nodiscard]] Status polyphase_build(PolyphaseGather& g, const PolyphaseScatter& s);

// Floats of input window polyphase_run needs per channel when it runs
// `channels` channels together (the refill is shared out between them, so
// the windows of a row set take what one channel's used to).
uint64_t polyphase_window(const PolyphaseGather& g, uint64_t channels);

// Computes accumulation values [begin, end) of every channel c of `src`
// into out[c][0 ... end - begin - 1], reading channel c through windows[c]
// (at least polyphase_window(g, src.channels) floats each).
void polyphase_run(const PolyphaseGather& g, RowSource& src, float* const* windows, uint64_t begin, uint64_t end,
                   float* const* out);

// The plans of resample (analysis/resample.h), shared with the resampler
// that works in blocks (analysis/resample_stream.h) so both give the same
// bits.
enum class ResamplePath { integer_up, rational_up, rational_down, integer_down };

// One interpolating path: input j + s*m adds x * kernel_j[k] to
// accumulation index offset_j + s*l + k (k < q). The rows hold `acc`
// accumulation values, shifted left by `shift`; `length` is the length the
// result reports. Integer downsampling keeps every m-th filtered input
// (only m and length are used).
struct ResamplePlan {
  ResamplePath kind;
  uint64_t l, m, q, shift, acc, length;
  uint64_t f;
  float e, step;  // the path's float ratio; 1/L, M/L or unused
  float width;    // kernel width of the downsampling path
  float fl, fm;   // L and M as floats
};

// The plan resample follows for `length` samples between two different,
// non-zero rates, its accumulation length made exact; false when a size
// overflows or the rates are equal or 0.
[[nodiscard]] bool resample_plan(ResamplePlan& p, uint64_t length, uint64_t source_rate, uint64_t target_rate);

// Kernel row and landing offset of phase j (q floats).
void resample_phase_kernel(const ResamplePlan& p, uint64_t j, float* kernel, uint64_t& offset);

// Most sections of the anti-alias cascade.
constexpr unsigned kResampleMaxSections = 32;

// Designs the anti-alias low-pass of downsampling from `source_rate` to
// `target_rate` into `sections` (room for kResampleMaxSections, states
// cleared); returns the number of sections.
unsigned resample_lowpass(BiquadSection* sections, uint64_t source_rate, uint64_t target_rate);

