#pragma once

#include <cstdint>

#include "analysis/ir_synthesis.h"
#include "analysis/target_curve.h"
#include "runtime/string.h"

struct ToolConfig;
struct Group;

// The files of target curves: the CSV a run reads as the target curve and
// the CSV of the applied correction it writes per child.

// Reads and parses cfg->target_curve (a path as given) into `curve`.
// Returns 0; the system's status for a file that cannot be read (6, 22,
// 42, ...), with the line
//   "Could not read target curve '<path>': <cause>"
// 7 for a malformed table (or one larger than 4 MiB), with the line
//   "Bad target curve '<path>', line <n>: <what>"   (or without ", line <n>"
// when the fault is the table as a whole); 5 when memory runs out.
// `curve` is replaced only on success.
[[nodiscard]] int load_target_curve(const ToolConfig* cfg, TargetCurve& curve);

// Refuses settings that cannot work with the groups as given, before any
// work: several masters are references to match to, so mastering mode
// only; a target curve stands in for a missing master in mastering mode
// only, and without a master there is no loudness to match. Returns 0, 5
// or 13 with one line naming the group:
//   "Group '<g>' has N masters: several references need mastering mode (-m true)"
//   "Group '<g>' has no master: a target curve alone needs mastering mode (-m true)"
//   "Group '<g>' has no master: there is no loudness to match (-lm)"
[[nodiscard]] int check_reference_groups(const ToolConfig* cfg);

// The applied correction of `trace` as CSV text: the header
// "frequency_hz,db_ch1[,db_ch2...]" and one row per point of the report's
// 1/24-octave grid from 20 Hz up to the Nyquist frequency of `rate`,
// values read from the per-bin curve as the report reads them (bins of
// rate / 2^rank Hz). *out receives the text (mem_alloc, not terminated),
// *size its length; 0 or 5.
[[nodiscard]] int correction_csv(char** out, uint64_t* size, const CurveTrace& trace, uint64_t rate, unsigned rank);

// Writes `data` (`size` bytes) to `path`, creating its parent directories,
// through a temporary file and a rename; prints "  saved file: '<path>'"
// or the error lines. 0 or the status of the directories or the writing.
[[nodiscard]] int save_text_file(const String* path, const char* data, uint64_t size);
