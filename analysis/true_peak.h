#pragma once

#include <cstdint>

#include "runtime/status.h"

// True and sample peak of one channel, as libebur128 reports them after a
// whole-channel pass (one state, EBUR128_MODE_TRUE_PEAK), without running
// its oversampler over the whole channel.
//
// A true peak is a maximum, so only the stretches that can hold it need the
// library's oversampler. A vectorised model of that oversampler gives every
// block of the channel an estimate of its largest oversampled magnitude;
// the library then measures the few blocks whose estimate lies within a
// hair (1e-4 relative) of the largest one. The model and the library differ
// only by float rounding (about 1e-6 relative at worst), so no other block
// can hold the maximum, and the value reported is the library's own, bit
// for bit the value of the whole-channel pass.
//
// Whenever that argument cannot be made, the whole-channel pass runs
// instead: the library's impulse response at this rate is not the model's
// (another libebur128 version), a measured block disagrees with its
// estimate, more than a quarter of the blocks are candidates, the channel is
// only a few blocks long, or the values are not finite or tiny enough for
// float rounding to matter in absolute terms.

// The polyphase interpolator libebur128 (1.2.x) uses for the true peak:
// `factor` output phases per input frame, phase p taking the coefficients
// coeff[p + factor * k] against the input k frames back. factor 1 means no
// oversampling (the true peak is the sample peak) and coeff is unused.
// Coefficients of magnitude at most 1e-9 count as absent, as in the library.
struct TruePeakFilter {
  unsigned factor;  // 1, 2 or 4
  double coeff[49];
};

// The library's interpolator at `rate`: 4x below 96000 Hz, 2x below 192000
// Hz, none above; the 49 taps are a Hann-windowed sinc of the factor's band.
void true_peak_filter_for_rate(uint64_t rate, TruePeakFilter* out);

// Which way a channel's peaks were found (for tests and benchmarks).
enum TruePeakPath {
  TRUE_PEAK_SELECTIVE,      // the model picked the blocks the library measured
  TRUE_PEAK_FULL_SHORT,     // too few blocks to gain anything
  TRUE_PEAK_FULL_PROBE,     // the library's impulse response is not the model's
  TRUE_PEAK_FULL_RANGE,     // peaks not finite, or too small for the error bound
  TRUE_PEAK_FULL_CROWDED,   // too many candidate blocks
  TRUE_PEAK_FULL_MISMATCH,  // a measured block disagreed with its estimate
  TRUE_PEAK_FULL_ASKED,     // the caller asked for the whole-channel pass
};

// Linear peaks of one channel (1.0 = full scale).
struct ChannelPeaks {
  double true_peak;    // libebur128's ebur128_true_peak (includes the sample peak)
  double sample_peak;  // libebur128's ebur128_sample_peak
  TruePeakPath path;
};

// Peaks of x[0 .. length-1] at `rate`, equal to those of a whole-channel
// libebur128 pass. Returns 0; STATUS_BAD_ARGUMENT for a rate of 0, a null
// `out`, or a null `x` with a nonzero length; STATUS_NO_MEMORY when a
// buffer or a libebur128 state cannot be had (libebur128 also refuses
// rates it does not support this way); STATUS_SYSTEM for any other
// libebur128 failure. `out` is written only on success. Thread-safe.
[[nodiscard]] Status measure_channel_peaks(const float* x, uint64_t length, uint64_t rate, ChannelPeaks* out);

// The same with a caller's model of the interpolator instead of the
// library's known one, for tests of the guards: a model that does not
// describe the library must still give the library's values (by the
// whole-channel pass). The probe of a caller's model is not cached.
[[nodiscard]] Status measure_channel_peaks_with_model(const float* x, uint64_t length, uint64_t rate,
                                                      const TruePeakFilter& model, ChannelPeaks* out);

// The whole-channel libebur128 pass alone (path TRUE_PEAK_FULL_ASKED); the
// reference the selective measure is held to. Same statuses.
[[nodiscard]] Status measure_channel_peaks_full(const float* x, uint64_t length, uint64_t rate, ChannelPeaks* out);

// The peaks of one channel fed a block at a time, in memory that does not
// depend on its length: the values measure_channel_peaks finds on the whole
// channel, bit for bit. Each block of 4096 frames gets the model's
// estimates as it arrives, one per part of 512 frames; the library
// measures (with the part's context) every part whose estimate comes
// within the candidate margin of the largest estimate so far. The largest one overall is among them, since the
// running largest only grows. Where the model cannot be used (another
// library, fewer than 8 blocks) the library sees every frame, as the
// whole-channel pass does.
struct ChannelPeakState;
struct ChannelPeakStream {
  ChannelPeakState* state;  // null until started
};
void channel_peak_stream_init(ChannelPeakStream& s);
// `length`: the frames that will be fed. Returns 0, STATUS_BAD_ARGUMENT for a
// rate of 0, STATUS_NO_MEMORY.
[[nodiscard]] Status channel_peak_stream_start(ChannelPeakStream& s, uint64_t rate, uint64_t length);
[[nodiscard]] Status channel_peak_stream_push(ChannelPeakStream& s, const float* x, uint64_t n);
// After the last frames: the peaks. Returns the library's failures.
[[nodiscard]] Status channel_peak_stream_finish(ChannelPeakStream& s, ChannelPeaks* out);
void channel_peak_stream_release(ChannelPeakStream& s);

