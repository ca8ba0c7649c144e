#pragma once

#include <cstdint>

#include "analysis/sample.h"

// Brings `audio` to `target_rate` in place with windowed-sinc (Lanczos)
// interpolation: integer or rational upsampling, or, after an anti-alias
// low-pass at the source rate (at 0.475 x the target rate, at most 24 kHz),
// integer or rational downsampling. Equal rates change nothing. Statuses:
// STATUS_INVALID when the audio has no channels, STATUS_BAD_ARGUMENT when
// either rate is 0, STATUS_NO_MEMORY when an allocation fails or a size
// overflows. The audio is replaced (all five fields) only on success.
[[nodiscard]] Status resample(Sample& audio, uint64_t target_rate);

// The length resample gives `length` samples at `source_rate` brought to
// `target_rate` (UINT64_MAX where a size would overflow).
uint64_t resample_length(uint64_t length, uint64_t source_rate, uint64_t target_rate);

// The same conversion through libsoxr at its very high quality, linear
// phase, its latency removed: the result has the length resample gives
// (zero-padded or cut at the end), sample 0 at the input's time 0. Equal
// rates change nothing. Statuses as resample's, and STATUS_SYSTEM when
// libsoxr fails.
[[nodiscard]] Status resample_high(Sample& audio, uint64_t target_rate);
