#pragma once

#include "analysis/curve_shape.h"
#include "analysis/sample.h"

// Linear-phase FIR filters of N = 2^rank taps built from spectral profiles
// (analysis/profile.h): per channel the inverse FFT of the magnitude row,
// rotated by half so that the centre tap sits at N/2 (the filter's latency),
// times the Blackman-Nuttall window. The profiles must hold 2^rank bins
// (compute_profile with the same rank).

// Raw impulse response mapping `reference` onto `target`: the magnitude row is
// target / reference per bin, clamped to [1/gain_cap, gain_cap] (gain_cap a
// linear factor, 1/gain_cap computed in float). A ratio that is not finite
// becomes 1 when the target bin is 0 too (0/0) and gain_cap otherwise;
// ratios inside the range are used bit for bit. The result takes the
// target's sample rate. Statuses, checked in this order with the message on
// standard error:
//   STATUS_BAD_ARGUMENT  "  The lenghts of audio profiles differ\n"
//   STATUS_BAD_ARGUMENT  "  The number of channels of audio profiles differ\n"
//   STATUS_BAD_ARGUMENT  "  Error initializing the sample data\n" (copy failed)
//   STATUS_NO_MEMORY     work block (no message)
// `ir` is replaced only on success.
[[nodiscard]] Status synthesize_ir(Sample& ir, const Sample& reference, const Sample& target, unsigned rank,
                                   float gain_cap);

// As above; on success *clamped_bins (when not null) is the number of bins
// 0 .. N/2, summed over the channels, whose ratio was set to a limit.
[[nodiscard]] Status synthesize_ir(Sample& ir, const Sample& reference, const Sample& target, unsigned rank,
                                   float gain_cap, uint64_t* clamped_bins);

// The correction curve of a shaped synthesis, for reports and plots. Both
// curves have one row per channel and N/2 + 1 values (bins 0 .. N/2, bin k at
// k x sample_rate / N Hz), in dB.
struct CurveTrace {
  Sample computed_db;     // the clamped ratio, before any shaping
  Sample applied_db;      // after shaping: the magnitude the filter is built for
  // Each channel's level (curve_level), one row of one value per channel,
  // when the curve was shaped around it (curve_shaped_around_level);
  // empty otherwise. applied_db holds the level: subtract it for the shape.
  Sample level_db;
  uint64_t clamped_bins;  // bins (0 .. N/2, all channels) set to a limit of gain_cap
  uint64_t limited_bins;  // bins set to a limit of max_boost / max_cut
};

// Clears every field. Never fails.
void curve_trace_init(CurveTrace& trace);
// Frees both curves; safe on zeroed and already released records.
void curve_trace_destroy(CurveTrace& trace);

// synthesize_ir with the curve shaped by `settings` (analysis/curve_shape.h):
// the clamped ratio is taken to dB over bins 0 .. N/2, linked, smoothed,
// limited in frequency, scaled and limited in gain (each step only when it
// is on; the last three around each channel's level, see curve_shape.h), and turned back into a filter of N taps: linear phase with the
// curve mirrored onto bins N/2+1 .. N-1 (centre tap N/2, as synthesize_ir),
// or minimum phase (analysis/min_phase.h, energy from tap 0). With every
// shaping step off and linear phase the result is bit for bit that of
// synthesize_ir with settings.gain_cap, whether or not a trace is asked for.
// `trace` may be null; otherwise it is filled on success only (its old
// curves are released then). Statuses: those of synthesize_ir, plus
// STATUS_BAD_ARGUMENT (no message) when a frequency limit is on and
// settings.sample_rate is 0, and STATUS_NO_MEMORY for the curve storage.
// `ir` is replaced only on success.
[[nodiscard]] Status synthesize_ir_shaped(Sample& ir, const Sample& reference, const Sample& target,
                                          unsigned rank, const CurveSettings& settings, CurveTrace* trace);

// Filter whose magnitude response is `profile` itself. STATUS_NO_MEMORY when
// the work block or the result cannot be allocated; `response` is then
// unchanged.
[[nodiscard]] Status synthesize_frequency_response(Sample& response, const Sample& profile, unsigned rank);
