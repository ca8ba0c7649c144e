#pragma once

#include <cstdint>
#include <thread>

#include "audio/save_format.h"
#include "runtime/string.h"

struct Sample;
struct ToolConfig;

// Delivery steps of the processed audio: loudness target or match under a
// true-peak ceiling, the file format, and the warning about samples over
// full scale. The pipeline calls the loudness step only when a loudness or
// true-peak setting is on.

// What the loudness step measured and did; NaN where nothing was measured.
struct LoudnessReport {
  double before_lufs;   // the output before the gain
  double after_lufs;    // after it
  double true_peak_db;  // after it
  double gain_db;       // applied gain
};

void loudness_report_init(LoudnessReport* r);

// Brings `output` (at its sample rate) to the loudness target (`loudness`)
// or to the loudness of `timbre` (`match_loudness`), then keeps its true
// peak at or below `true_peak`, as libebur128 measures them. The ceiling
// holds whenever it is set, also when the loudness cannot be measured; an
// output brought below -60 LUFS is measured again, so the loudness printed
// and reported is always a measured one. Prints on
// standard output
//   "  loudness: <L> LUFS, true peak: <TP> dBTP, gain: <+G> dB\n"
// ("unmeasurable" and "none" in place of the numbers of silence)
// and on standard error, when it applies,
//   "  [WRN] output is silent (no measurable loudness); not scaled\n"
//   "  [WRN] output loudness is unmeasurable (shorter than 0.4 s or below -70 LUFS); not brought to the target\n"
//   "  [WRN] reference has no measurable loudness (silent, shorter than 0.4 s or below -70 LUFS); loudness not matched\n"
//   "  [WRN] true-peak ceiling of <C> dBTP: loudness target missed by <M> LU\n".
// With `followed`, the output's integrated loudness is being measured on a
// thread of its own (measure_integrated_following) while the output was
// made: only the peaks are measured here, then that thread is joined and
// its value taken. Returns 0, or the measuring status (5, 13, 4) after
// "  error measuring loudness, error code: %d\n".
struct FollowedLoudness {
  std::thread* meter;        // joined by deliver_loudness
  const double* integrated;  // libebur128's value, valid after the join
  const Status* status;      // the measurement's status, valid after the join
};
[[nodiscard]] int deliver_loudness(const ToolConfig* cfg, Sample* output, const Sample* timbre,
                                   LoudnessReport* report, FollowedLoudness* followed);

// How the processed audio is saved. `custom` is false for the default
// format (a 32-bit float WAV file), which is saved exactly as ever.
struct SaveOptions {
  SaveFormat format;
  bool custom;
};

void save_options_from_config(SaveOptions* options, const ToolConfig* cfg);

// Checks the output format against what the run can know before any work
// (container, width, rate; channels and size are checked at the save).
// Prints "Output format not possible for '<path>': <why>\n" on standard
// error and returns 8 (13 for values out of range); 0 when it can hold it.
[[nodiscard]] int check_output_format(const ToolConfig* cfg, const String* path, uint64_t rate);

// Prints, for an output whose samples pass full scale,
//   "  [WRN] '<path>' peaks at <+P> dBFS: <N> samples over full scale\n"
// (", clipped" added for integer formats) on standard error. Nothing for an
// output within full scale.
void warn_overs(const String* path, const Sample& output, const SaveOptions& options);
