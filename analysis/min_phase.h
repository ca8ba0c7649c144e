#pragma once

#include <cstddef>

#include "runtime/status.h"

// Minimum-phase FIR filters from a magnitude curve in dB.
//
// The linear-phase filters of analysis/ir_synthesis.h are symmetric about
// tap N/2: half of their energy comes before the centre, which a transient
// turns into pre-echo. A minimum-phase filter with the same magnitude puts
// its energy as early as causality allows, starting at tap 0, at the price
// of a phase response that varies with frequency.

// Writes into taps[0 .. N-1] (N = 2^rank, rank 1 .. 16) the minimum-phase
// filter whose magnitude follows `db`, bins 0 .. N/2 of the curve in dB.
// Method: real cepstrum. The curve is interpolated linearly in dB onto a
// transform of 4N points (the cepstrum of a curve sampled that densely does
// not alias into the taps kept), its natural log transformed back to the
// cepstrum, folded onto positive quefrencies (c[0] and c[2N] kept, c[1 ..
// 2N-1] doubled, the rest zeroed), transformed, exponentiated and
// transformed back. The first N taps are kept and multiplied by the falling
// half of the Blackman-Nuttall window stretched to 2N taps (1 at tap 0,
// 0.0004 at tap N), the counterpart of the window the linear-phase filter
// gets around its centre. dB values are taken within +-400 dB; a NaN counts
// as 0 dB. STATUS_NO_MEMORY when the work block cannot be allocated; taps
// is then unchanged. `taps` must not overlap `db`.
[[nodiscard]] Status minimum_phase_filter(float* taps, const float* db, unsigned rank);

// The fade of the minimum-phase taps: w[t] for t = 0 .. n-1, the falling
// half of a Blackman-Nuttall window of 2n taps centred on tap 0.
void minimum_phase_fade(float* w, size_t n);
