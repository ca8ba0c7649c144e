#pragma once

#include <cstdint>

#include "analysis/sample.h"
#include "runtime/status.h"

// A look-ahead true-peak limiter, streamed in blocks of planar floats.
//
// Detection: every frame's peak is the largest magnitude of the sample and
// of the interpolated values between it and the next frame, read by two
// interpolators: libebur128's own (its grid and taps: 4x below 96 kHz, 2x
// below 192 kHz, none above), so that the limiter never reads lower than
// that meter, and a longer Kaiser-windowed sinc at 4x, which reads near
// the Nyquist frequency what meters with longer filters read. A frame
// takes the larger of its own and its predecessor's peak, so that a peak
// between two frames holds both down. The gain each frame needs (ceiling /
// peak, at most 1, with a margin of 0.02 dB) goes through
//   - a minimum over the look-ahead window (the attack, W frames, and 16
//     frames more, so that the gain is flat around the peak),
//   - a hold of 10 ms (a minimum over the last 10 ms that the release may
//     not pass) and a release toward 1: with release 0 (adaptive) its time
//     constant moves from 2 ms after isolated peaks to 40 ms while the
//     mean reduction of the last second grows to about 2 dB, so that the
//     gain comes back between the peaks of dense material instead of
//     following its largest ones for seconds (which is heard, and read on
//     a short-term meter, as pumping); a release time in ms is one fixed
//     time constant,
//   - two moving averages whose lengths add up to W + 1 frames, so that the
//     gain reaches each peak's value by the peak along a smooth (piecewise
//     quadratic) curve.
// Every value the averages see lies at or below the gain the peak needs, so
// the applied gain never exceeds it. One gain drives every channel.
//
// Cost: the interpolators run through the dispatch table's peak kernels;
// the window and the hold are one minimum over W + 10 ms, found by
// doubling; the release runs on groups of 4 frames and follows the mean
// reduction every 32 frames; the averages are exact integer sums. No step
// branches per frame.
//
// The output is delayed by limiter_latency() frames inside the limiter and
// given back aligned: the stream of outputs starts with the output of the
// first input frame, and limiter_flush() emits the last frames, so that the
// output is exactly as long as the input. Everything is computed in a fixed
// order, counted from the stream's start, so the same input gives the same
// bits however it is cut into calls.

struct LimiterSettings {
  uint64_t rate;        // Hz, > 0
  uint64_t channels;    // 1 .. 64
  double ceiling_db;    // dBTP the output is held at or below, -200 .. 24
  double lookahead_ms;  // 0.5 .. 10 (1.5 by default)
  double release_ms;    // 0 = adaptive, else 1 .. 5000 (time constant)
};

// Gain reduction over the frames emitted so far.
struct LimiterStats {
  uint64_t frames;          // frames emitted
  uint64_t limited_frames;  // frames whose gain is reduced by more than 0.1 dB
  double max_reduction_db;  // largest reduction, >= 0
  double sum_reduction_db;  // sum of the reductions of the limited frames
};

// The reductions' mean over the limited frames (0 when none) and the share
// of limited frames (0 .. 1).
double limiter_mean_reduction_db(const LimiterStats& s);
double limiter_limited_share(const LimiterStats& s);

struct LimiterState;

struct Limiter {
  LimiterState* state;  // null until limiter_start succeeds
};

void limiter_init(Limiter& l);

// Sets up `l` for a stream (a started limiter is released first). Returns
// 0, STATUS_BAD_ARGUMENT for settings out of range, STATUS_NO_MEMORY.
[[nodiscard]] Status limiter_start(Limiter& l, const LimiterSettings& settings);

// Frames the output lags the input inside the limiter (for information:
// process and flush already compensate it).
uint64_t limiter_latency(const Limiter& l);

// Takes `frames` frames of in[c][0 ..] for each channel c and writes the
// output frames that are ready, at most `frames`, to out[c][0 ..]; their
// count goes to *produced. `out` may be `in` or lag behind it in the same
// rows (the input is taken in before anything is written). Returns 0, or
// STATUS_INVALID for a limiter not started or already flushed.
[[nodiscard]] Status limiter_process(Limiter& l, const float* const* in, float* const* out, uint64_t frames,
                                     uint64_t* produced);

// Ends the stream: writes the remaining output frames (at most the latency)
// to out[c][0 ..] and their count to *produced. Afterwards only
// limiter_release or limiter_start are allowed.
[[nodiscard]] Status limiter_flush(Limiter& l, float* const* out, uint64_t* produced);

// Gain reduction so far.
LimiterStats limiter_stats(const Limiter& l);

// Keeps the gain over time from here on: buckets[i] becomes the smallest
// gain of the emitted frames i * frames_per_bucket .. (i + 1) *
// frames_per_bucket - 1 (counted from the first frame emitted after this
// call); buckets past `count` are not kept. The caller sets the buckets to
// 1 and keeps them alive while the limiter runs.
void limiter_trace_into(Limiter& l, float* buckets, uint64_t count, uint64_t frames_per_bucket);

// Passes over the same signal at different gains detect the same peaks,
// times the gain. limiter_peaks_record (after limiter_start) keeps the
// detector's peak of every frame fed (the input frames and the latency's
// flush), peaks[0 .. count-1]; limiter_peaks_replay reads them back, times
// `scale`, instead of detecting them, for an input that is the recorded
// one times `scale` (the frames fed are still delayed and limited; only
// the detection is skipped). Frames past `count` replay as peaks of 0, so
// `count` must cover length + limiter_latency(). The caller keeps
// `peaks` alive while the limiter runs.
void limiter_peaks_record(Limiter& l, float* peaks, uint64_t count);
void limiter_peaks_replay(Limiter& l, const float* peaks, uint64_t count, float scale);

// Keeps the gain of every frame emitted from the stream's start:
// gains[i] is the gain that output frame i was multiplied by, for i <
// `count`. The caller keeps `gains` alive while the limiter runs.
void limiter_gains_into(Limiter& l, float* gains, uint64_t count);

// Applies the gains of an earlier run of the same settings over the same
// peaks (limiter_gains_into or limiter_replay_squares kept them) instead of
// finding them again: gains[i] multiplies output frame i (1 past
// `count`). Output, reduction and trace are those the run finding them
// gives, bit for bit. The caller keeps `gains` alive while the limiter
// runs.
void limiter_gains_replay(Limiter& l, const float* gains, uint64_t count);

void limiter_release(Limiter& l);

// The detector's peaks alone, as limiter_peaks_record keeps them, of the
// stream in[c][0 .. length-1] (and the latency's flush): peaks[0 ..
// count-1], count at most length + latency. Nothing is limited. Returns
// the statuses of limiter_start, or STATUS_BAD_ARGUMENT for missing rows.
[[nodiscard]] Status limiter_detect_peaks(const LimiterSettings& settings, const float* const* in, uint64_t length,
                                          float* peaks, uint64_t count);

// limiter_detect_peaks of a signal that another thread is still making:
// its rows and length are those `progress` publishes, and each block is
// read once `progress` says it is complete. STATUS_INVALID when the
// writer gave up, STATUS_BAD_ARGUMENT when the channels are not the
// settings'.
struct SampleProgress;
[[nodiscard]] Status limiter_detect_peaks_following(const LimiterSettings& settings, SampleProgress* progress,
                                                    float* peaks, uint64_t count);

// The gains alone of a stream of `length` frames whose detector peaks are
// the kept ones times `scale` (as limiter_peaks_replay reads them), summed
// as squares: squares[i] is the sum of the squared gains a limiter would
// multiply the output frames i * step .. (i + 1) * step - 1 by (those below
// `length`), and stats->max_reduction_db (when stats is not null) the
// largest reduction; its other figures stay 0. `gains` (when not null)
// receives the gain of every output frame, gains[0 .. length-1]. No audio
// is read or written: a search over input gains costs only the gain curve
// per trial. Returns the statuses of limiter_start, or STATUS_BAD_ARGUMENT
// for missing arrays or a step of 0.
[[nodiscard]] Status limiter_replay_squares(const LimiterSettings& settings, const float* peaks, uint64_t count,
                                            float scale, uint64_t length, uint64_t step, float* squares,
                                            LimiterStats* stats, float* gains = nullptr);

// Limits the frames 0 .. length-1 of `audio` in place (at its rate and
// channels). `stats` (when not null) receives the reduction, and
// `trace_buckets` (when not null) the gain over time as limiter_trace_into
// keeps it. Returns the statuses of limiter_start.
[[nodiscard]] Status limiter_apply(Sample& audio, const LimiterSettings& settings, LimiterStats* stats,
                                   float* trace_buckets = nullptr, uint64_t trace_count = 0,
                                   uint64_t frames_per_bucket = 0);
