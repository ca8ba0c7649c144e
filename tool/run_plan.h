#pragma once

#include <cstdint>
#include <cstdio>

#include "runtime/ptrlist.h"
#include "runtime/string.h"
#include "tool/output_kinds.h"

struct Group;
struct ToolConfig;

// The list of every file a run will read and write, worked out from the
// configuration alone before any audio is read: output names need only the
// pattern variables, never the audio. With it a run can be refused before
// it touches a file (an output that would replace an input, two outputs on
// one path, a template that fails), printed without running (dry run), and
// resumed (which outputs exist already).

// What an input's header told the preflight (run_preflight), read once
// per distinct file before any audio is read.
struct InputHeader {
  char* cause;        // a failure in words (mem_alloc); null when none or status 0
  uint64_t frames;    // from the header, when status is 0; AUDIO_FRAMES_UNKNOWN
                      // when it does not say
  uint32_t rate;      // from the header, when status is 0 (the reader's are ints)
  uint32_t channels;
  int status;         // 0, or the status loading the file fails with (its lines
                      // are those of the load: "could not read file ...")
  bool checked;       // the run will load this input, and its header was asked
};

// What the processed audio is written with besides its path, evaluated
// with its name (UTF-8, in the plan's memory).
struct PlannedTags {
  const char* name;    // its name before the destination: the seed of its dither
  const char* title;   // null when no title template is set
  const char* artist;  // null when no artist template is set
};

// One file of the run, read or written.
struct PlannedFile {
  const Group* group;         // not owned; lives as long as the ToolConfig
  const PlannedFile* source;  // outputs: the input they are made from (the
                              // child, or the master for "frm"); inputs: null
  String path;                // as the run names it: resolved against dst_path
                              // (outputs) or src_path (inputs), not normalised;
                              // read only (its code points live in the plan)
  const PlannedTags* tags;    // the processed audio: how it is written; else null
  char* canonical;            // UTF-8, absolute, '.' and '..' collapsed, the
                              // longest existing prefix resolved by realpath
  uint32_t child;             // 1-based position of the child in the group; 0 for the master
  uint32_t position;          // its place in the plan's list of inputs or outputs
  OutputKind kind;            // outputs only (inputs: OUTPUT_FR_MASTER, meaningless)
  bool exists;                // at build time (the plan keeps its device and inode)
};

struct PlanArena;

struct RunPlan {
  PlanArena* arena;  // owned: the memory of every PlannedFile of the lists
  PtrList groups;   // Group*, not owned: every group of the configuration in the run's
                    // order (a shard runs those it selects), the runner's jobs in turn
  uint64_t* group_starts;  // owned, once built: for the i-th group, where its inputs
                           // (2i) and its outputs (2i + 1) start in their lists; the
                           // entries after the last group's say where its files end
  PtrList outputs;  // PlannedFile*, owned, in the order the pipeline writes them
  PtrList inputs;   // PlannedFile*, owned: master, then children, of every group that runs
  PtrList records;  // PlannedFile*, owned: one per output once run_plan_add_records ran
  const PlannedFile** record_of;  // owned, when records are kept: the record of the
                                  // i-th output (null for a report file), for the
  uint64_t record_count;          // outputs there were then; see run_plan_record
  const PlannedFile* curve;  // the target-curve input, when records are kept and there is one
  uint64_t settings_hash;    // of the settings that shape an output's bytes
  InputHeader* headers;      // owned, once run_plan_keep_headers ran: one per input,
  uint64_t header_count;     // by position (the inputs there were then); else null
};

// An empty plan. Never fails.
void run_plan_init(RunPlan* plan);

// Frees every record. Accepts an initialised or zeroed plan; idempotent.
void run_plan_release(RunPlan* plan);

// Works out every input and output of the run, following the group pipeline:
// groups in the map's iteration order; a group without master, a run with
// nothing to produce and a group without children unless "frm" is wanted
// contribute nothing; otherwise the master's outputs once ("frm"), then
// per child its outputs, each kind when it is wanted, in the order of the
// table of output kinds. Names, and the tags of the processed audio, are
// evaluated with the pattern variables of build_pattern_variables
// (file_index is the child's 1-based position, 0 for "frm"); paths are
// resolved by resolve_output_path. This is the only place a template is
// evaluated: the writers save at the planned paths. Returns 0, 5 (memory), 13 (missing argument), 4 (a missing
// child entry; "  internal error" printed) or 7 with one line on standard
// error: the template lines of evaluate_output_name, or
// "  name contains a NUL character: '<name>'" for an input name or a
// resolved output path that holds U+0000 (shown as "\u0000"). The plan is
// replaced only on success.
[[nodiscard]] int run_plan_build(RunPlan* plan, const ToolConfig* cfg);

// Adds a file that the run reads besides the audio inputs (for example the
// configuration file), so that no output may replace it. 0, 5, 7 (NUL in
// the path; line printed) or 13.
[[nodiscard]] int run_plan_add_input(RunPlan* plan, const String* path);

// Adds a file of the run report (report.json, index.html) as an output of
// the run, so that it may replace neither an input nor another output.
// 0, 5, 7 (NUL in the path; line printed) or 13.
[[nodiscard]] int run_plan_add_report_file(RunPlan* plan, const String* path);

// Looks for outputs that would replace an input of the run or each other:
// the same canonical path, or, where the file exists, the same device and
// inode (hard links, symbolic links). Prints one line per conflicting output
// on standard error, in the order of the outputs, and returns 17
// (STATUS_EXISTS); 0 when there is none, 5 when memory runs out (nothing
// printed). The lines:
//   "  output '<output path>' would overwrite input '<input path>'"
//   "  outputs of '<input>' (<kind>) and '<input>' (<kind>) both resolve to '<output path>'"
// where a later output is paired with the first output on its path, and
// <kind> is the produce keyword. An output that would replace an input is
// reported only as such.
[[nodiscard]] int run_plan_check(const RunPlan* plan);

// Whether two planned files are the same file, as run_plan_check tells it:
// device and inode where the file exists, the canonical path where it does
// not. run_plan_file_hash agrees with it.
bool run_plan_same_file(const PlannedFile* a, const PlannedFile* b);
uint64_t run_plan_file_hash(const PlannedFile* file);

// Gives the plan a table of headers, one per input planned now, all zero
// (unchecked), replacing any table it had. Only a run that opens its inputs
// keeps one: a plan that is only listed has none. 0, or 5.
[[nodiscard]] int run_plan_keep_headers(RunPlan* plan);

// The header kept for `input`, an input of the plan; null when the plan
// keeps no headers or `input` is none of the inputs they were kept for.
const InputHeader* run_plan_header(const RunPlan* plan, const PlannedFile* input);

// Writes every planned output path, one per line and nothing else, in the
// order of the plan (the dry run's listing), in the locale's character set.
void run_plan_print(const RunPlan* plan, FILE* out);

// The files of `group` in the plan's inputs (outputs false) or outputs:
// positions [*from, *to), a group's files being side by side in the order
// of the groups. Empty for a group the plan does not hold.
void run_plan_group_range(const RunPlan* plan, const Group* group, bool outputs, uint64_t* from, uint64_t* to);

uint64_t run_plan_output_count(const RunPlan* plan);
// The i-th output, or null when i is out of range.
const PlannedFile* run_plan_output(const RunPlan* plan, uint64_t i);
// The output of `kind` for child `child` (0 with OUTPUT_FR_MASTER) of
// `group`, or null when it is not planned.
const PlannedFile* run_plan_find(const RunPlan* plan, const Group* group, uint64_t child,
                                 OutputKind kind);

// Whether a regular file exists now at its name (following symbolic links):
// a directory, FIFO or device there is not an output made before.
bool run_plan_file_exists(const PlannedFile* file);

// Records of outputs, for runs that keep the outputs that are up to date.
// Each output gets one record file beside it, named "." + its file name +
// ".timbral-record", saying what made it: a hash of the settings that shape
// its bytes (every setting but the ones that choose what runs, where and how
// it is told: paths, templates, produce, quiet, dry run, keep going, skip
// existing, jobs, report, shard, groups, preset), the output's own size and
// modification time, and the size, modification time and path of every
// input it was made from (the group's masters, its child, the target
// curve). The records are planned as outputs, so none may replace an input
// or another output. `curve` is the planned target-curve input or null.
// 0, 5 or 7 (NUL in a path; line printed).
[[nodiscard]] int run_plan_add_records(RunPlan* plan, const ToolConfig* cfg, const PlannedFile* curve);

// The record file saying what made `output`, when records are kept; null
// otherwise.
const PlannedFile* run_plan_record(const RunPlan* plan, const PlannedFile* output);

// Whether the output is up to date, as make would judge it: a regular file
// is at its name and, when records are kept, its record matches what would
// be written now; an output without a record is up to date when it is newer
// than every input it was made from. Without records (run_plan_add_records
// not called) any regular file is.
bool run_plan_output_current(const RunPlan* plan, const PlannedFile* file);

// Writes the record of an output just saved (temporary name, then rename;
// removed on a signal). Nothing when the output has no record. A failure
// prints a warning naming the record and is otherwise ignored: the output
// is made again by the next run.
void run_plan_write_record(const RunPlan* plan, const PlannedFile* file);

// Whether the child has planned outputs and every one of them is up to date
// now (run_plan_output_current); such a child need not be loaded when
// existing outputs are kept. False for a child without planned outputs
// (only "frm" wanted), so it runs as before.
bool run_plan_child_done(const RunPlan* plan, const Group* group, uint64_t child);
