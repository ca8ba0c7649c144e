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

// The steps of an analysis, shared by the whole-buffer functions and the
// streamed profile (analysis/profile_stream.h) so that both give the same
// bits. Prepares the window and clears the scratch of `w`.
void profile_work_prepare(const ProfileWork& w);
// Adds the magnitudes of frame a (halves a0, a1) and then of frame b
// (halves b0, b1) to every bin of `out`, both through one transform.
void profile_add_frame_pair(const ProfileWork& w, const float* a0, const float* a1, const float* b0,
                            const float* b1, float* out);
// Adds the magnitudes of the frame of halves a0, a1 transformed alone;
// `zeros` holds N/2 zeros.
void profile_add_frame(const ProfileWork& w, const float* a0, const float* a1, const float* zeros, float* out);
// Divides the sums in `out` by the number of frames added.
void profile_average(const ProfileWork& w, float* out, uint64_t count);

// Energy (sum of squares, in double) of samples start .. end-1 of every
// channel, channel 0 first.
double profile_half_energy(const float* data, uint64_t stride, uint64_t channels, uint64_t start, uint64_t end);
// Frame f holds halves f-1 and f of the `halves` halves; its power is
// their energy together over the frame's N samples (1 = 0 dB of full scale,
// channels summed as BS.1770 sums them).
double profile_frame_power(const double* energy, uint64_t halves, uint64_t n, uint64_t f);

// The gate of compute_profile_gated over frames 0 .. halves: how many
// frames pass the absolute gate and the relative threshold.
struct ProfileGate {
  uint64_t above;
  double relative;
};
ProfileGate profile_gate(const double* energy, uint64_t halves, uint64_t n, double gate_db);
// Whether a frame of power `power` counts.
bool profile_gate_passes(const ProfileGate& gate, double power);

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
