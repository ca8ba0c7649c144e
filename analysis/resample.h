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
