#pragma once

#include <cstdint>

#include "runtime/dynarray.h"

// The run report: a plain record the tool's pipeline fills while it works
// and the report writers (report/report_writer.h) turn into report.json,
// one SVG plot per child and index.html. Nothing here knows the pipeline;
// the record holds copies of what it was given, so the caller's buffers may
// go away after each call.
//
// Conventions:
// - Text is NUL-terminated UTF-8, copied (mem_strdup). Invalid sequences are
//   written out as U+FFFD.
// - A measurement that was not made is NaN (written as null), a count that is
//   not known is -1 (null).
// - Every fallible call returns 0 or 5 (no memory) or 13 (missing argument);
//   on failure the record is as before the call. The writers accept a record
//   in any state, so a run that fails part-way still gets its report.
// - Release functions accept zeroed records and may be called twice.

// What is known of one audio file (input or processed output).
struct ReportAudioInfo {
  char* path;                // as given by the user (inputs) or as written (outputs); null = unknown
  int64_t sample_rate;       // Hz; 0 = unknown
  int64_t channels;          // 0 = unknown
  int64_t frames;            // samples per channel; -1 = unknown
  double duration_s;         // NaN = unknown
  double sample_peak_dbfs;   // largest |sample| in dBFS; NaN = unknown (-inf for silence is written as null)
  double loudness_lufs;      // integrated loudness; NaN = not measured
  double true_peak_dbtp;     // NaN = not measured
};

// A long-term magnitude spectrum: bins 0..N/2 of a channel-averaged profile.
struct ReportSpectrum {
  double* db;         // `bins` values, mem_alloc'd, owned; null = none
  uint64_t bins;
  double bin_hz;      // spacing of the bins (sample rate / N)
  bool on_grid;       // db holds `bins` values at the points of report.json's
                      // frequency grid instead (a record read back); bin_hz unused
};

// A correction curve per channel: `channels` rows of `bins` dB values.
struct ReportCurve {
  double* db;         // channels * bins values, row by row; owned; null = none
  uint64_t channels;
  uint64_t bins;
  double bin_hz;
  bool on_grid;       // as ReportSpectrum::on_grid
};

// Kinds of written files, as they appear in report.json.
enum ReportFileKind : int32_t {
  REPORT_FILE_AUDIO = 0,
  REPORT_FILE_IR = 1,
  REPORT_FILE_RAW = 2,
  REPORT_FILE_FRC = 3,
  REPORT_FILE_FRM = 4,
};

struct ReportFile {
  ReportFileKind kind;
  char* path;  // relative to the report directory (see report_relative_path)
};

enum ReportOutcome : int32_t {
  REPORT_DONE = 0,     // processed (or still in progress when the run stopped)
  REPORT_SKIPPED = 1,  // deliberately not processed
  REPORT_FAILED = 2,   // stopped by an error
  REPORT_NOT_REACHED = 3,  // its group ended at an earlier child
};

// How the processed audio met a loudness target or a true-peak ceiling.
struct ReportDelivery {
  bool asked;             // a loudness or true-peak setting was on; false: written as null
  double target_lufs;     // the target (the reference's loudness with matching); NaN = none
  double ceiling_dbtp;    // NaN = none
  double gain_db;         // the gain applied
  double loudness_lufs;   // measured after the gain; NaN = unmeasurable
  double true_peak_dbtp;  // measured after the gain; NaN = unmeasurable
  double miss_lu;         // how far the loudness stays below the target (0 = met)
  bool pass;              // the target met (or none asked for) and the peak within the ceiling
  double decoded_true_peak_dbtp;  // lossy output: the decoded file's true peak; NaN = PCM output
};

struct ReportChild {
  ReportAudioInfo input;
  ReportAudioInfo output;        // the processed audio; path null when none was written
  ReportSpectrum spectrum;       // the child's long-term spectrum
  ReportCurve computed;          // correction as computed from the profiles
  ReportCurve applied;           // correction as applied (after any shaping)
  // Largest boost (most positive) and cut (most negative) of the applied
  // curve and their frequencies. NaN until set; report_child_set_applied
  // fills them from the curve unless report_child_set_extremes is called.
  double max_boost_db, max_boost_hz, max_cut_db, max_cut_hz;
  bool extremes_given;           // set by report_child_set_extremes
  int64_t clamped_bins;          // bins any limit clamped; -1 = unknown
  int64_t range_clamped_bins;    // of those, bins the gain range clamped; -1 = unknown
  int64_t limit_clamped_bins;    // of those, bins the boost/cut limits clamped; -1 = unknown
  // Each channel's curve level (dB) when the curve was shaped around it:
  // the applied curve is plotted relative to it. Owned; null = none.
  double* curve_level_db;
  uint64_t level_channels;
  bool mid_side;                 // the curves' two channels are mid and side, not left and right
  int64_t latency_samples;       // -1 = unknown
  double latency_ms;             // NaN = unknown
  // The true-peak limiter of the output; the record exists only when it ran.
  bool limiter_ran;
  double limiter_ceiling_dbtp;
  double limiter_reduction_max_db;
  double limiter_reduction_mean_db;  // over the frames it limited
  double limiter_limited_share;      // 0 .. 1
  double* limiter_gain_db;           // the gain over time (least of each step), owned; null = none
  uint64_t limiter_gain_count;
  double limiter_gain_step_s;
  ReportDelivery delivery;       // the processed audio's loudness delivery
  DynArray files;                // ReportFile
  ReportOutcome outcome;
  int32_t status;                // status number of a failure, 0 otherwise
  char* message;                 // failure or skip message; null = none
  // A record read back from a written report: the file name of its plot
  // (relative to that report's directory); null otherwise.
  char* plot_file;
  // A plot kept from an earlier report, written as it is instead of being
  // drawn (the curves of a record read back are on the grid, too coarse to
  // draw); null = none.
  char* plot_svg;
};

struct ReportGroup {
  char* name;
  ReportAudioInfo master;
  ReportSpectrum spectrum;       // the master's long-term spectrum (several references: the target)
  DynArray references;           // char*: every master the target was made from, in order
  // Several references: per bin the lowest and highest of their levelled
  // spectra around the target; empty otherwise.
  ReportSpectrum spread_low, spread_high;
  DynArray children;             // ReportChild* (each mem_alloc'd, owned)
  DynArray files;                // ReportFile: per-group outputs (frm)
  ReportOutcome outcome;
  int32_t status;
  char* message;
  uint64_t position;             // 1-based place in the whole run when the report is
                                 // one shard's; 0 otherwise (not written)
};

enum ReportValueType : int32_t {
  REPORT_VALUE_NULL = 0,
  REPORT_VALUE_NUMBER = 1,
  REPORT_VALUE_TEXT = 2,
  REPORT_VALUE_BOOL = 3,
  REPORT_VALUE_LIST = 4,  // list of texts
};

// One effective setting; the order of addition is kept.
struct ReportSetting {
  char* key;
  ReportValueType type;
  double number;
  bool flag;
  char* text;
  char** items;        // REPORT_VALUE_LIST: `item_count` owned texts
  uint64_t item_count;
};

struct RunReport {
  char* version;
  char** argv;                  // owned copies
  uint64_t argc;
  DynArray settings;            // ReportSetting
  DynArray groups;              // ReportGroup* (each mem_alloc'd, owned)
  int32_t status;               // final status of the run (exit status); -1 = still running
  char* message;                // final error message; null = none
  uint64_t shard_index;         // the part of a larger run this report covers;
  uint64_t shard_count;         // 0 = the whole run (no "shard" member written)
};

void report_init(RunReport* r);
void report_release(RunReport* r);

// ---- Run -------------------------------------------------------------------

[[nodiscard]] int report_set_version(RunReport* r, const char* version);
// Copies argv[0..argc); null entries are written as "".
[[nodiscard]] int report_set_command_line(RunReport* r, int argc, const char* const* argv);
// Settings keep the order they were first added in; adding a key again
// replaces its value in place.
[[nodiscard]] int report_add_setting_number(RunReport* r, const char* key, double value);
// A setting held as a float: written with the fewest digits that give the
// float back (0.1f as 0.1, not 0.100000001490116).
[[nodiscard]] int report_add_setting_float(RunReport* r, const char* key, float value);
[[nodiscard]] int report_add_setting_text(RunReport* r, const char* key, const char* value);
[[nodiscard]] int report_add_setting_bool(RunReport* r, const char* key, bool value);
[[nodiscard]] int report_add_setting_null(RunReport* r, const char* key);
[[nodiscard]] int report_add_setting_list(RunReport* r, const char* key, const char* const* items,
                                          uint64_t count);
// The run's final status (0 on success) and its error message (may be null).
[[nodiscard]] int report_set_result(RunReport* r, int status, const char* message);

// ---- Groups and children ------------------------------------------------------
// The returned pointers stay valid until report_release.

// Appends a group; *out receives it (null on failure).
[[nodiscard]] int report_add_group(RunReport* r, const char* name, ReportGroup** out);
// Appends a child whose input path is `path`; *out receives it.
[[nodiscard]] int report_add_child(ReportGroup* g, const char* path, ReportChild** out);

// Records of their own, filled while the work runs and handed to the
// report when the work is taken into the run (report_adopt_*); *out
// receives the record (null on failure). report_delete_* frees one that
// is not handed over; both accept null.
[[nodiscard]] int report_new_group(const char* name, ReportGroup** out);
[[nodiscard]] int report_new_child(const char* path, ReportChild** out);
void report_delete_group(ReportGroup* g);
void report_delete_child(ReportChild* c);
// Appends the record, which the report (or group) owns from then on, also
// when memory runs out: it is freed then and 5 returned.
[[nodiscard]] int report_adopt_group(RunReport* r, ReportGroup* g);
[[nodiscard]] int report_adopt_child(ReportGroup* g, ReportChild* c);

// Replaces everything of `dst` by a deep copy of `src` (its input path,
// outcome, files and plot included). 0 or 5 (dst unchanged).
[[nodiscard]] int report_child_copy(ReportChild* dst, const ReportChild* src);

// Fills `info` (its path is replaced, a null path keeps none). Duration is
// frames / sample_rate when both are known.
[[nodiscard]] int report_set_audio(ReportAudioInfo* info, const char* path, int64_t sample_rate,
                                   int64_t channels, int64_t frames, double sample_peak_dbfs);
// Loudness measures, when the tool made them (NaN for either = not measured).
void report_set_loudness(ReportAudioInfo* info, double loudness_lufs, double true_peak_dbtp);
// Largest |x| of interleaved samples in dBFS (-inf for silence), a helper for
// the sample_peak field.
double report_peak_dbfs(const float* samples, uint64_t count);

// Copies `bins` dB values with spacing `bin_hz` (bins 0..N/2).
[[nodiscard]] int report_set_spectrum(ReportSpectrum* s, const double* db, uint64_t bins,
                                      double bin_hz);
// The same from linear magnitudes (a channel-averaged profile row); zero and
// negative magnitudes become -inf dB.
[[nodiscard]] int report_set_spectrum_magnitude(ReportSpectrum* s, const float* magnitude,
                                                uint64_t bins, double bin_hz);
// Copies channels * bins dB values (row per channel).
[[nodiscard]] int report_set_curve(ReportCurve* c, const double* db, uint64_t channels,
                                   uint64_t bins, double bin_hz);
// The same for values already read at the first `points` points of
// report.json's frequency grid (NaN = null), as a written report holds them.
[[nodiscard]] int report_set_grid_spectrum(ReportSpectrum* s, const double* db, uint64_t points);
[[nodiscard]] int report_set_grid_curve(ReportCurve* c, const double* db, uint64_t channels,
                                        uint64_t points);
// report_set_curve into child->applied, then the largest boost and cut from
// it (between 20 Hz and the last bin) unless they were given explicitly.
[[nodiscard]] int report_child_set_applied(ReportChild* child, const double* db,
                                           uint64_t channels, uint64_t bins, double bin_hz);
// Copies one level per channel (report_child_set_levels(c, nullptr, 0)
// removes them).
[[nodiscard]] int report_child_set_levels(ReportChild* child, const double* level_db, uint64_t channels);
// Bins clamped by the gain range and by the boost/cut limits; clamped_bins
// becomes their sum.
void report_child_set_clamps(ReportChild* child, int64_t range_bins, int64_t limit_bins);
void report_child_set_extremes(ReportChild* child, double max_boost_db, double max_boost_hz,
                               double max_cut_db, double max_cut_hz);
// Latency in samples at `sample_rate`; milliseconds follow from both.
void report_child_set_latency(ReportChild* child, int64_t samples, int64_t sample_rate);

// Adds a written file. `relative_path` is relative to the report directory;
// report_relative_path makes one from the paths the tool used.
[[nodiscard]] int report_add_file(DynArray* files, ReportFileKind kind, const char* relative_path);
[[nodiscard]] int report_child_add_file(ReportChild* child, ReportFileKind kind,
                                        const char* relative_path);
[[nodiscard]] int report_group_add_file(ReportGroup* group, ReportFileKind kind,
                                        const char* relative_path);
// Appends a master the group's target was made from (copied).
[[nodiscard]] int report_add_reference(ReportGroup* group, const char* path);

// Marks a child or group as skipped or failed. `status` is the status number
// (0 for a skip), `message` the text shown to the user (may be null).
[[nodiscard]] int report_child_set_outcome(ReportChild* child, ReportOutcome outcome, int status,
                                           const char* message);
[[nodiscard]] int report_group_set_outcome(ReportGroup* group, ReportOutcome outcome, int status,
                                           const char* message);

// ---- Paths -------------------------------------------------------------------

// *out = mem_alloc'd path of `target` relative to the directory `from_dir`
// (both UTF-8; relative ones are taken against the working directory), e.g.
// from "out/report" to "out/kit/a.wav" gives "../kit/a.wav". Lexical: "." and
// ".." are resolved without looking at symbolic links. 0, 5, 13, or 4 when
// the working directory cannot be read.
[[nodiscard]] int report_relative_path(const char* from_dir, const char* target, char** out);

const char* report_file_kind_name(ReportFileKind kind);
const char* report_outcome_name(ReportOutcome outcome);
