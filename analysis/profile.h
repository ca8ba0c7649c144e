#pragma once

#include <cstdint>

#include "analysis/sample.h"

// Long-term average magnitude spectrum ("spectral profile"): per channel the
// mean over all half-overlapping frames of |FFT(frame x window)| for N =
// 2^rank bins, all N bins stored (the mirrored upper half included), linear
// and unnormalised. The result has length and stride N and sample rate 0.

// Writes the Blackman-Nuttall window of length n into w.
void nuttall_window(float* w, uint64_t n);

// Work areas of one analysis, each 64-byte aligned inside one block.
struct ProfileWork {
  float* frame;     // N floats: a partial last half of the signal, zero-padded, then H zeros
  float* windowed;  // N floats: the magnitudes of a frame transformed on its own
  float* window;    // N floats
  float* spectrum;  // 2N floats: N interleaved complex values
  unsigned rank;
};

// Analyses one row of `length` samples into `out` (N floats). Cannot fail.
void profile_channel(const ProfileWork& work, const float* audio, uint64_t length, float* out);

// Replaces `profile` with the profile of `audio` on success. STATUS_NO_MEMORY
// when the work block or the result cannot be allocated (also when the audio
// has no channels); `profile` is then unchanged.
[[nodiscard]] Status compute_profile(Sample& profile, const Sample& audio, unsigned rank);
