#pragma once

#include "analysis/sample.h"
#include "runtime/status.h"

// Loudness and peaks of a planar Sample, measured by libebur128 (ITU-R
// BS.1770-4 K-weighting and gating, EBU R128). Channels take libebur128's
// default map: 1 channel is left (a mono file measures 3 dB below the same
// signal on two channels), 2 are left and right, 3 left, right, centre, 5
// left, right, centre, left and right surround, 6 (the 5.1 order) left,
// right, centre, LFE (unweighted, not counted), left and right surround;
// further channels are not counted.

struct LoudnessMeasure {
  // Integrated loudness in LUFS; NaN when unmeasurable (no 400 ms block
  // passes the absolute gate of -70 LUFS: silence, or shorter than 400 ms).
  double integrated_lufs;
  // The largest 4x-oversampled true peak of any channel in dBTP, and the
  // largest sample magnitude in dBFS; -infinity for digital silence. Both
  // are libebur128's whole-channel values, though the oversampler runs only
  // on the blocks that can hold the true peak (analysis/true_peak.h).
  double true_peak_db;
  double sample_peak_db;
};

// Measures `audio` (its sample rate, channels and frames 0 .. length-1).
// Returns 0, 13 (STATUS_BAD_ARGUMENT) for a sample rate of 0 or no
// channels, 5 when a transfer buffer or libebur128's state cannot be
// allocated, or 4 (STATUS_SYSTEM) for any other failure libebur128
// reports. `out` is written only on success.
[[nodiscard]] Status measure_loudness(const Sample& audio, LoudnessMeasure* out);

// measure_loudness with the integrated loudness already known, as
// libebur128 reported it (-HUGE_VAL when no block passes the gates; see
// measure_integrated_following); only the peaks are measured. A null
// `integrated` measures it too.
[[nodiscard]] Status measure_loudness(const Sample& audio, const double* integrated, LoudnessMeasure* out);

// The integrated loudness alone, in LUFS; NaN when unmeasurable. Statuses
// as measure_loudness.
[[nodiscard]] Status measure_integrated_loudness(const Sample& audio, double* lufs);

struct SampleProgress;

// The integrated loudness, as libebur128 reports it, of the signal that
// `progress` describes, read while a writer makes it: meant for a thread
// of its own beside the writer, so that the measurement ends soon after
// the signal. The value is the one measure_loudness finds on the finished
// signal (libebur128 sees the same frames in the same order). Returns 0;
// STATUS_INVALID when the writer gave up; 13 for a rate of 0 or a signal
// without channels; 5 or 4 as measure_loudness.
[[nodiscard]] Status measure_integrated_following(SampleProgress* progress, uint64_t rate, double* lufs);

struct LoudnessGain {
  double gain_db;        // the gain to apply, in dB (0 when nothing is to be done)
  bool unmeasurable;     // a target was asked for but the loudness is NaN: no gain
  bool ceiling_limited;  // the true-peak ceiling lowered (or set) the gain
  double target_missed_lu;  // by how much the result stays below the target; 0 when met
};

// The gain that brings a measured output to `target_lufs` and keeps its true
// peak at or below `ceiling_dbtp`; either may be NaN for "not asked for".
//   - target only: gain = target - loudness;
//   - target and ceiling: the same, lowered to ceiling - true peak when the
//     true peak would otherwise pass the ceiling; target_missed_lu then says
//     by how much the loudness falls short of the target;
//   - ceiling only: ceiling - true peak when the true peak is above it,
//     whatever the loudness (a short click is not "silent"), else 0.
// With a target and an unmeasurable loudness (output shorter than one
// 400 ms block or below the absolute gate of -70 LUFS) `unmeasurable` is
// set and only the ceiling applies, as it does without a target: such
// output is never raised. Digital silence (true peak -infinity) never gets
// a gain.
LoudnessGain loudness_gain(const LoudnessMeasure& measured, double target_lufs, double ceiling_dbtp);

// Multiplies every sample of `audio` (frames 0 .. length-1 of each
// channel) by the linear factor of `gain_db`, exp(gain_db * ln 10 / 20)
// rounded to a float, as every gain of the tool is converted. A gain of 0
// dB leaves the samples untouched (no pass is made).
void loudness_apply_gain(Sample& audio, double gain_db);
