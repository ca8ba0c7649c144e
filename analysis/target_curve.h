#pragma once

#include <cstddef>
#include <cstdint>

#include "analysis/sample.h"

// A target curve: gains in dB at increasing frequencies, read from a small
// text table and laid onto the bins of a profile, so that a house curve or
// a tilt can be the timbre a child is matched to (alone, or on top of a
// reference's profile).
//
// The text is CSV: one `frequency,dB` row per line, `.` as the decimal
// point, fields may be surrounded by spaces or tabs; lines may end in CR
// LF. Blank lines and lines whose first non-blank character is `#` are
// skipped. The first other line may be a header: it is skipped when its
// first field is not a number. Frequencies are positive and strictly
// increasing; gains lie in [-200, 200] dB; at least two rows.

struct TargetCurve {
  double* hz;      // `count` frequencies, owned (mem_alloc)
  double* db;      // `count` gains
  uint64_t count;
};

// Where a table was refused: the line (from 1; 0 for the table as a whole)
// and what was wrong, in words.
struct TargetCurveError {
  uint64_t line;
  char what[96];
};

void target_curve_init(TargetCurve& curve);
// Frees the rows; safe on zeroed and released records.
void target_curve_destroy(TargetCurve& curve);

// Reads `size` bytes of `text` (no terminator needed; NUL bytes are refused).
// Statuses: STATUS_OK; STATUS_BAD_FORMAT with *error filled (when not null);
// STATUS_NO_MEMORY. `curve` is replaced only on success.
[[nodiscard]] Status target_curve_parse(TargetCurve& curve, const char* text, size_t size, TargetCurveError* error);

// The gain in dB at `hz`: linear in dB over log frequency between rows, the
// first row's gain at and below the first frequency (0 Hz included), the
// last row's at and above the last.
double target_curve_db_at(const TargetCurve& curve, double hz);

// Multiplies every row of `profile` (N = length bins, the upper half the
// mirror of the lower: bin N - k is at k x bin_hz) by the curve's gain,
// scaled by 10^(offset_db / 20).
void target_curve_apply(Sample& profile, const TargetCurve& curve, double bin_hz, double offset_db);
// The same on one row of `n` bins.
void target_curve_apply_row(float* row, uint64_t n, const TargetCurve& curve, double bin_hz, double offset_db);
