#pragma once

#include <cstdint>

#include "runtime/string.h"

struct Group;
struct Sample;
struct ToolConfig;
class Variables;

// Resolves `name` against cfg->src_path (unless absolute), reads the whole
// file into `target` and resamples it to `rate`. Prints the loaded-file line
// on standard output on success and one error line on standard error on
// failure. Returns 0 or the failing step's status; on failure `target` may
// hold the loaded but unresampled file (the caller releases it).
[[nodiscard]] int load_input_file(Sample* target, uint64_t rate, const ToolConfig* cfg,
                                  const String* name);

// Fills `vars` with the eight pattern variables for one output context:
// srate, group, and the file part, extension and stem of the master and of
// the current file. Returns 0, 5 (memory) or 13 (a missing argument); on
// failure the variables set so far remain.
[[nodiscard]] int build_pattern_variables(Variables* vars, const ToolConfig* cfg, const Group* group,
                                          const String* master, const String* current);

// Evaluates `templ` against `vars`, resolves the name against `dst_path`,
// creates the missing parent directories and writes `buffer` (whose sample
// rate the caller has set) as a 32-bit float WAV file. Prints the saved-file
// line or one error line. Returns 0, 7 (the template does not parse or
// evaluate to text) or the status of path handling, directory creation or
// writing.
[[nodiscard]] int save_output_file(const Sample* buffer, const String* dst_path, const String* templ,
                                   Variables* vars);

// Text of a duration: frames * 1000 / rate milliseconds as "%02d:%02d:%02d.%03d"
// (hours not reduced modulo 24). `out` must hold at least 32 bytes.
void format_duration(char* out, uint64_t frames, uint64_t rate);
