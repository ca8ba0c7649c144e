#pragma once

#include <cstdint>

#include "runtime/string.h"

struct Group;
struct Sample;
struct ToolConfig;
class Variables;

// Resolves `name` against cfg->src_path (unless absolute), reads the whole
// file into `target` and resamples it to `rate`. Prints the loaded-file line
// on standard output on success and, on failure, one error line on standard
// error followed by a line with the cause in words where one is known (the
// system's or the audio library's text when reading fails). Returns 0 or
// the failing step's status; on failure `target` may hold the loaded but
// unresampled file (the caller releases it). Refusals:
//   7  the name holds a NUL character (it would name another file);
//   6 / 22 / 42 / 43 / 18 / 23  the file cannot be opened for a reason of
//      the file system (missing, permission, a directory, a path component
//      that is not a directory, name too long, other); the status is the
//      system's answer for the path, not the audio library's;
//   8  the file's rate is below 1000 Hz, or, for a nonzero `rate`, differs
//      from it by more than a factor of 256 (checked before resampling
//      allocates anything);
//   9  the file holds a NaN or infinite sample.
// A file shorter than one analysis frame (2^rank samples at `rate`) is
// loaded with a line "  [WRN] file '<path>' is shorter than one analysis
// frame: <n> samples, the frame has <N>" on standard error.
// Pieces of load_input_file for inputs read a block at a time, with its
// lines: the path of `name` (its error line on failure), the rate checks,
// the line of a sample out of range or not finite, and the loaded-file (or
// saved-file) line of a file of that shape.
[[nodiscard]] int input_path_of(String* path, const ToolConfig* cfg, const String* name);
[[nodiscard]] int check_input_rate(String* path, uint64_t file_rate, uint64_t rate);
void print_unusable_sample(String* path, uint64_t frame, bool finite);
void print_shape_line(const char* what, String* path, uint64_t channels, uint64_t frames, uint64_t rate);
void print_read_error(String* shown, int st);

[[nodiscard]] int load_input_file(Sample* target, uint64_t rate, const ToolConfig* cfg,
                                  const String* name);

// The rate, channels and frames an input's header gives (name resolved as
// load_input_file resolves it), without reading its audio. False when the
// file cannot be opened or tells no rate; nothing is printed.
bool probe_input_file(const ToolConfig* cfg, const String* name, uint64_t* rate, uint64_t* channels,
                      uint64_t* frames);

// Lowest input sample rate, and the largest ratio between an input's rate
// and the run's, that load_input_file accepts.
constexpr uint64_t kMinInputRate = 1000;
constexpr uint64_t kMaxRateRatio = 256;

// The path load_input_file reads for `name`: '\' turned into '/', and a
// relative name placed under cfg->src_path. 0, 5 or 13; `out` replaced only
// on success.
[[nodiscard]] int resolve_input_path(String* out, const ToolConfig* cfg, const String* name);

// The path an output of the evaluated name `name` is written at: '\'
// turned into '/', and a relative name placed under `dst_path`. Not
// normalised. 0, 5 or 13; `out` replaced only on success.
[[nodiscard]] int resolve_output_path(String* out, const String* dst_path, const String* name);

// Parsed templates of one planning pass: a template named for thousands of
// children is parsed once. Keyed by the template's address, so the
// templates must outlive the cache. Owns its expressions.
struct TemplateCache;
// Null when memory runs out (evaluate_output_name then parses each time).
TemplateCache* template_cache_new();
void template_cache_free(TemplateCache* cache);

// Evaluates the output template `templ` against `vars` into the text of a
// file name, through `cache` when there is one. On failure prints one line
// on standard error and returns 7:
// "  invalid expression: '<template>'" when it does not parse,
// "  could not evaluate expression: '<template>'" when evaluation fails or
// gives no text (undef, null), and
// "  expression gives a name with a NUL character: '<template>'" when the
// text holds U+0000. 5 when memory runs out, 13 for a missing argument.
// `name` replaced only on success.
[[nodiscard]] int evaluate_output_name(String* name, const String* templ, Variables* vars,
                                       TemplateCache* cache = nullptr);

// A copy of `s` for messages, with every U+0000 written as the six
// characters "\u0000". False when memory runs out (`out` then unchanged).
[[nodiscard]] bool name_for_message(String* out, const String* s);

// Fills `vars` with the pattern variables for one output context: srate,
// group, and for the master and for the current file the file part,
// extension, stem and directory ("master", "master_ext", "master_name",
// "master_dir", "file", "file_ext", "file_name", "file_dir"), plus
// "file_index". The directory is the part of the name as given before its
// last '/' (after '\' -> '/'), '' when the name has none. `index` is the
// child's 1-based position in its group, 0 for the master's own frequency
// response. Returns 0, 5 (memory) or 13 (a missing argument); on failure the
// variables set so far remain.
[[nodiscard]] int build_pattern_variables(Variables* vars, const ToolConfig* cfg, const Group* group,
                                          const String* master, const String* current,
                                          uint64_t index);

// The name a group's outputs take their ${master_*} variables from: its
// master, or, for a group without one that is matched to the target curve
// alone, the target curve's file. Empty when the group has neither.
const String* group_reference_name(const ToolConfig* cfg, const Group* group);
// The same with "file_index" 0.
[[nodiscard]] int build_pattern_variables(Variables* vars, const ToolConfig* cfg, const Group* group,
                                          const String* master, const String* current);

// Makes the missing parent directories of an output's planned path; one
// error line (and the cause in words) on failure. 0 or the status.
[[nodiscard]] int prepare_output_directory(const String* path);

// Writes `buffer` (its sample rate set) at the planned path `path` as a
// 32-bit float WAV file. Prints the saved-file line, or the error line and
// its cause in words. 0 or the status.
[[nodiscard]] int save_output_to(const Sample* buffer, const String* path);

// Text of a duration: frames * 1000 / rate milliseconds as "%02d:%02d:%02d.%03d"
// (hours not reduced modulo 24). `out` must hold at least 32 bytes.
void format_duration(char* out, uint64_t frames, uint64_t rate);
