#pragma once

#include <cstdint>

#include "analysis/sample.h"
#include "analysis/sample_progress.h"

// Convolves every channel of `input` with the matching row of `ir` and mixes
// wet and dry: with latency >= 1 the dry signal is delayed by `latency` and
// the output holds max(b + latency, b + m) frames; with latency <= 0 the wet
// signal is delayed by -latency instead and the output holds b + m - latency
// frames (b input frames, m taps). Gains are linear factors; a dry gain of
// 0 adds no dry signal at all (not even the NaN of 0 x inf). The output's
// sample rate is 0. Up to 128 taps the wet signal is the zero-latency
// Convolver's, bit for bit; longer filters run through the BlockConvolver,
// whose wet signal agrees with the Convolver's within 1e-6 relative RMS.
// Each output row is written once where the dry gain is 0. STATUS_NO_MEMORY when the output, the temporary or a
// convolver cannot be allocated; `output` is then unchanged.
[[nodiscard]] Status convolve_mix(Sample& output, const Sample& input, const Sample& ir, int64_t latency, float dry,
                                  float wet);

// convolve_mix, then keeping only frames [first, first + length) of the mix
// (length < 0: to its end), in one pass: the output holds exactly those
// frames, zeros where they run past the mix, so no frame is written twice
// and a later cut or pad needs no pass of its own. The values are those of
// convolve_mix bit for bit. With `peak` non-null, *peak receives the
// largest magnitude over every channel of the whole mix, kept frames or
// not (what normalize would measure on convolve_mix's output), so that
// normalize_to_peak needs no pass of its own to measure it. first past the
// mix's end keeps nothing. STATUS_NO_MEMORY as convolve_mix, or when a size
// overflows; `output` and *peak are then unchanged.
//
// The group pipeline's sequence
//   convolve_mix(out, in, ir, latency, dry, wet);
//   normalize(out, mode, target);
//   if (lc) compensate_latency(out, latency);
//   if (ml) sample_resize(out, out.channels, in.length, in.length);
// gives the same bits as
//   float peak;
//   convolve_mix_range(out, in, ir, latency, dry, wet, lc ? max(latency, 0) : 0,
//                      ml ? in.length : -1, &peak);
//   normalize_to_peak(out, mode, target, peak);
// (for finite output).
[[nodiscard]] Status convolve_mix_range(Sample& output, const Sample& input, const Sample& ir, int64_t latency,
                                        float dry, float wet, uint64_t first, int64_t length, float* peak);

// The same, telling `progress` (when not null) about the output while it is
// made: its rows once allocated, the frames complete in every row as the
// last channel advances, and the end (finished, or given up on failure;
// the rows are then freed). Once the call returned successfully the rows
// are `output`'s, so a reader may go on reading them until it is done.
[[nodiscard]] Status convolve_mix_range(Sample& output, const Sample& input, const Sample& ir, int64_t latency,
                                        float dry, float wet, uint64_t first, int64_t length, float* peak,
                                        SampleProgress* progress);

// Normalize modes.
enum NormalizeMode : int {
  NORMALIZE_NONE = 0,
  NORMALIZE_ABOVE = 1,   // scale down only when the peak exceeds the target
  NORMALIZE_BELOW = 2,   // scale up only when the peak is below the target
  NORMALIZE_ALWAYS = 3,  // any other non-zero value acts the same
};

// Scales all channels so that the peak becomes `target` (linear) as the mode
// asks; signals with a peak below 1e-6 are left alone. Always STATUS_OK.
[[nodiscard]] Status normalize(Sample& audio, int mode, float target);

// normalize with the peak already known (from convolve_mix_range): only the
// scaling pass, in place. Always STATUS_OK.
[[nodiscard]] Status normalize_to_peak(Sample& audio, int mode, float target, float peak);

// The factor normalize_to_peak multiplies by; false when it leaves the
// audio as it is.
bool normalize_factor(int mode, float target, float peak, float* factor);

// Removes the first `latency` frames of every channel (all of them when the
// latency exceeds the length). A latency of 0 or below removes nothing: the
// mix then already starts at the filter's centre. The vacated values are
// zeroed, so a later resize to a longer length pads with zeros.
void compensate_latency(Sample& audio, int64_t latency);

// Mid/side coding of a two-channel Sample, in place: encoding turns left
// and right into mid = (L + R) / 2 and side = (L - R) / 2, decoding turns
// them back into L = M + S and R = M - S. Samples of other channel counts
// are left alone. The largest magnitude over every channel of the decoded
// audio is returned by decoding (0 for other counts).
void mid_side_encode(Sample& audio);
float mid_side_decode(Sample& audio);
