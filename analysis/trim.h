#pragma once

#include <cstdint>

#include "analysis/sample.h"

// Trim amounts, each in percent of the raw impulse response's length.
struct TrimSettings {
  float head_cut;  // removed from the start, clamped to 0..100
  float tail_cut;  // removed from the end, clamped to 0..100
  float fade_in;   // linear fade-in length, floored at 0
  float fade_out;  // linear fade-out length, floored at 0
};

// Cuts and fades `raw` into `trimmed` and sets `latency` to the index of the
// trimmed filter's centre tap, floor(L / 2) - head, which is negative when
// more than half of the raw length is cut from the head. All percent
// arithmetic is 32-bit float, so 10 % of 1000 taps is 99. STATUS_NO_MEMORY
// when the result cannot be allocated (also when `raw` has no channels);
// neither output is written then.
[[nodiscard]] Status trim_ir(Sample& trimmed, int64_t& latency, const Sample& raw, const TrimSettings& settings);

// As trim_ir, with the latency measured from `reference_tap`, the tap of the
// raw filter that lines up with the input: latency = reference_tap - head.
// trim_ir is this with floor(L / 2), the centre of a linear-phase filter; a
// minimum-phase filter (analysis/min_phase.h) starts at tap 0, so its
// latency is -head and the dry signal is not delayed.
//
// For a minimum-phase filter the cuts and fades mean something else than
// for a symmetric one. Its largest taps are its first ones: a head cut
// removes the onset of the filter itself (the wet signal is then delayed by
// the cut, through the negative latency, but its sound changes strongly),
// and a fade-in attenuates that onset. The tail cut and the fade-out shorten
// the decay, which holds the low-frequency detail of the curve; they are the
// trims that make sense there.
[[nodiscard]] Status trim_ir_from(Sample& trimmed, int64_t& latency, const Sample& raw, const TrimSettings& settings,
                                  uint64_t reference_tap);

// Multiplies the first min(f, total) values of src by i / f into dst (in
// place allowed). Nothing happens when f or total is 0.
void fade_in(float* dst, const float* src, uint64_t f, uint64_t total);

// Multiplies the last min(f, total) values of a row of `total` values by the
// falling ramp (b - 1 - j) / f into dst (in place allowed); the last value
// becomes 0. Nothing happens when f or total is 0.
void fade_out(float* dst, const float* src, uint64_t f, uint64_t total);
