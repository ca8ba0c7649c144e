#pragma once

#include "analysis/sample.h"

// Linear-phase FIR filters of N = 2^rank taps built from spectral profiles
// (analysis/profile.h): per channel the inverse FFT of the magnitude row,
// rotated by half so that the centre tap sits at N/2 (the filter's latency),
// times the Blackman-Nuttall window. The profiles must hold 2^rank bins
// (compute_profile with the same rank).

// Raw impulse response mapping `reference` onto `target`: the magnitude row is
// target / reference per bin. Where that ratio is not finite (a zero or
// non-finite reference bin) it becomes 1 when the target bin is 0 too, and
// `gain_cap` (a linear factor) otherwise; finite ratios are used as they are.
// The result takes the target's sample rate. Statuses, checked in this order
// with the message on standard error:
//   STATUS_BAD_ARGUMENT  "  The lenghts of audio profiles differ\n"
//   STATUS_BAD_ARGUMENT  "  The number of channels of audio profiles differ\n"
//   STATUS_BAD_ARGUMENT  "  Error initializing the sample data\n" (copy failed)
//   STATUS_NO_MEMORY     work block (no message)
// `ir` is replaced only on success.
[[nodiscard]] Status synthesize_ir(Sample& ir, const Sample& reference, const Sample& target, unsigned rank,
                                   float gain_cap);

// Filter whose magnitude response is `profile` itself. STATUS_NO_MEMORY when
// the work block or the result cannot be allocated; `response` is then
// unchanged.
[[nodiscard]] Status synthesize_frequency_response(Sample& response, const Sample& profile, unsigned rank);
