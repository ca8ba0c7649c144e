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

// Power of a frame (mean square over its N samples, summed over the
// channels; 1 = 0 dB of full scale) that the absolute gate requires:
// -70 dB of full scale.
constexpr double kProfileAbsoluteGate = 1e-7;

// As compute_profile, but the mean runs only over the frames that pass two
// gates, as BS.1770 gates loudness blocks: an absolute one (a frame's power
// above kProfileAbsoluteGate) and a relative one `gate_db` dB below the
// mean power of the frames above the absolute gate. Stretches of silence,
// or of noise far below the programme, do not pull the profile down, and a
// short loud event moves the relative gate by little. Every channel uses
// the same frames. When no frame passes the absolute gate (silence
// throughout) every frame counts, as in compute_profile. A NaN or infinite
// gate_db, or one of 0 or less, is refused with 13 (STATUS_BAD_ARGUMENT);
// otherwise the statuses and the swap are those of compute_profile.
[[nodiscard]] Status compute_profile_gated(Sample& profile, const Sample& audio, unsigned rank, double gate_db);

// `profile` made to serve `channels` channels: with as many rows, a copy;
// a one-row profile, its row for every channel; for one channel, the power
// mean of the rows (per bin the square root of the mean of the squared
// magnitudes), so that a quiet channel counts by its energy and not by
// its level in dB. Any other pair of counts is refused with
// STATUS_BAD_ARGUMENT (no message). STATUS_NO_MEMORY when the result
// cannot be allocated. `out` is replaced only on success.
[[nodiscard]] Status profile_for_channels(Sample& out, const Sample& profile, uint64_t channels);

// The per-bin median of `count` profiles of one shape, each multiplied by
// gains[i] first (to bring them to a common level): for an odd count the
// middle value, for an even count the geometric mean of the two middle
// values (their mean in dB). `lowest` and `highest`, when not null, receive
// per bin the smallest and largest of the scaled values. STATUS_BAD_ARGUMENT
// for no profile or profiles of different shapes; STATUS_NO_MEMORY. The
// outputs are replaced only on success.
[[nodiscard]] Status profile_median(Sample& median, Sample* lowest, Sample* highest, const Sample* const* profiles,
                                    const double* gains, uint64_t count);
