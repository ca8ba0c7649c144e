#pragma once

#include <cstdint>

#include "analysis/resample_polyphase.h"
#include "analysis/sample.h"

// resample and resample_high (analysis/resample.h) of audio fed in blocks:
// the concatenated outputs equal, bit for bit, the whole-buffer result of
// the whole input, in memory bounded by the block size and the filter
// lengths, never by the input's length.
//
// Use: init; start; push every block; finish; release. The whole input's
// length must be known at the start (the rational paths size their last
// values by it); pushing more frames than that, or finishing with fewer,
// gives STATUS_INVALID, as do calls out of this order. After any other
// failure of push or finish the stream only serves to be released (its
// further calls give STATUS_INVALID).
struct ResampleStream {
  int mode;  // 0 idle; then pass-through, integer down, gather, scatter, libsoxr; -1 finished, -2 failed
  uint64_t channels, source_rate, target_rate, input_length;
  uint64_t received;  // input frames pushed
  uint64_t emitted;   // output frames given
  uint64_t length;    // output frames in all
  ResamplePlan plan;
  PolyphaseGather gather;
  BiquadSection* sections;  // channels x count: each channel's anti-alias cascade
  unsigned count;
  // Gather: filtered input, channel c's row at buffer + c * capacity holding
  // input indices base ... base + held - 1 (negative indices are zeros).
  // Scatter: the sums of one window at buffer, its input at windows.
  float* buffer;
  uint64_t capacity;
  int64_t base;
  uint64_t held;
  float** pointers;  // 4 x channels: windows, outputs, sources, targets
  float* windows;    // the gather's per-channel windows; the scatter's held input
  uint64_t period_inputs;  // scatter: inputs of one window (whole periods)
  float* kernels;    // scatter: m kernel rows of q values
  uint64_t* offsets; // scatter: where each row lands in its period
  void* soxr;        // libsoxr's resampler
};

void resample_stream_init(ResampleStream& s);

// Channels, source and target rate, the whole input's length in frames,
// quality (false: resample, true: resample_high). Statuses as the
// whole-buffer functions give them: STATUS_INVALID for no channels,
// STATUS_BAD_ARGUMENT for a rate of 0, STATUS_NO_MEMORY, STATUS_SYSTEM when
// libsoxr fails. Any earlier state is released first.
[[nodiscard]] Status resample_stream_start(ResampleStream& s, uint64_t channels, uint64_t source_rate,
                                           uint64_t target_rate, uint64_t input_length, bool high);

// Feeds `in.length` frames (row c at in.data + c * in.stride, in.channels
// rows); the output ready so far goes to `out` (out.length frames, rows at
// out.stride, out.sample_rate the target rate), which is (re)allocated only
// when too small.
[[nodiscard]] Status resample_stream_push(ResampleStream& s, const Sample& in, Sample& out);

// After the last push: the remaining frames into `out`.
[[nodiscard]] Status resample_stream_finish(ResampleStream& s, Sample& out);

// Frees everything; idempotent.
void resample_stream_release(ResampleStream& s);

// Output frames in all (resample_length of the input).
uint64_t resample_stream_length(const ResampleStream& s);

// resample (or, `high`, resample_high) of a whole buffer run through the
// stream a block at a time: the same bits, the result replacing `audio`
// only on success. Faster than the whole-buffer functions on long inputs:
// the filters' working set stays in cache.
[[nodiscard]] Status resample_in_blocks(Sample& audio, uint64_t target_rate, bool high);
