#pragma once

#include "analysis/limiter.h"
#include "analysis/limiter_stage.h"
#include "analysis/loudness.h"

#include <cstdint>

#include "audio/save_format.h"
#include "runtime/string.h"
#include "runtime/thread.h"

struct Sample;
struct SampleProgress;
struct ToolConfig;

// Delivery steps of the processed audio: loudness target or match under a
// true-peak ceiling, the file format, and the warning about samples over
// full scale. The pipeline calls the loudness step only when a loudness or
// true-peak setting is on.

// Points of the limiter's gain over time kept for the report.
constexpr uint64_t kLimiterTracePoints = 400;

// What the loudness step measured and did; NaN where nothing was measured.
struct LoudnessReport {
  double before_lufs;   // the output before the gain
  double after_lufs;    // after it (and the limiter), of the file as written
  double true_peak_db;  // after it (and the limiter), of the file as written
  double gain_db;       // applied gain
  // The true-peak limiter, when it ran (limiter_on).
  bool limiter_on;
  double limiter_ceiling_db;   // the ceiling it worked to (the lower of -tl and -tp)
  double reduction_max_db;     // largest gain reduction
  double reduction_mean_db;    // mean gain reduction over the frames it limited
  double limited_share;        // share of the frames it limited, 0 .. 1
  double needed_reduction_db;  // > 12 when reaching the target would need more reduction; else 0
  double missed_lu;            // by how much the limited output stays below the target; 0 when met
  // The limiter's gain over time: the smallest gain of every
  // limiter_trace_step_s seconds, limiter_trace_count values.
  float limiter_trace[kLimiterTracePoints];
  uint64_t limiter_trace_count;
  double limiter_trace_step_s;
  double target_lufs;   // the target (the reference's loudness with matching); NaN = none
  double ceiling_dbtp;  // NaN = none
  double miss_lu;       // how far the loudness stays below the target; 0 = met
  bool asked;           // the loudness step ran
  // Lossy output: the true peak of the written file as its decoder gives
  // it back (the ceiling holds before encoding); NaN for PCM output.
  double decoded_true_peak_db;
};

void loudness_report_init(LoudnessReport* r);

// Brings `output` (at its sample rate) to the loudness target (`loudness`)
// or to the loudness of `timbre` (`match_loudness`), then keeps its true
// peak at or below `true_peak`, as libebur128 measures them. The ceiling
// holds whenever it is set, also when the loudness cannot be measured; an
// output brought below -60 LUFS is measured again, so the loudness printed
// and reported is always a measured one. With the true-peak limiter on,
// the gain that reaches the target is applied and the limiter holds the
// peaks at the lower of its ceiling and `true_peak`; the limited output is
// measured and the gain corrected (at most three times) until it is within
// 0.1 LU of the target, unless that needs more than 12 dB of gain
// reduction (the gain is then lowered to 12 dB of reduction). Prints on
// standard error, when it applies,
//   "  [WRN] output is silent (no measurable loudness); not scaled\n"
//   "  [WRN] output loudness is unmeasurable (shorter than 0.4 s or below -70 LUFS); not brought to the target\n"
//   "  [WRN] reference has no measurable loudness (silent, shorter than 0.4 s or below -70 LUFS); loudness not matched\n"
//   "  [WRN] '<path>': true-peak ceiling of <C> dBTP: loudness target missed by <M> LU\n"
//   "  [WRN] '<path>': true-peak limiter at <C> dBTP: loudness target missed by <M> LU;
//    reaching it needs <N> dB of gain reduction (at most 12 dB)\n".
// (`path` is the output's; without one those lines start at "true-peak").
// Returns 0, or the measuring status (5, 13, 4) after
// "  error measuring loudness, error code: %d\n".
// With `reference_lufs` (not null, not NaN) the loudness to match is that
// value (several references: their median) and `timbre` is not measured.
// `timbre_lufs` (when not null) is the timbre file's loudness, measured
// already (NaN: unmeasurable); `timbre` is then not read.
// `early` (when not null) is a detection started while the output was
// made (limiter_detection_start); its peaks serve when they are the
// output's as it is now. With the limiter on, `write` must be given: the
// limiter's metered passes are writes of the file (see MeteredWrite), the
// last one is the delivered file, and `output` is left as it was
// (STATUS_INVALID without it).
struct LimiterDetection;
class MeteredWrite;
[[nodiscard]] int deliver_loudness(const ToolConfig* cfg, Sample* output, const Sample* timbre,
                                   LoudnessReport* report, const double* reference_lufs = nullptr, const String* path = nullptr,
                                   const double* timbre_lufs = nullptr, LimiterDetection* early = nullptr,
                                   MeteredWrite* write = nullptr);

// A metered pass of the limiter made by writing the output: the caller
// writes the output it holds whole times the pass's gain through the
// limiter (with `replay`), holds the written file's true peak at the
// ceiling, and gives the loudness of the file as written. A later pass
// replaces the file; the caller keeps the last. Returns 0 or the failing
// status after its message.
class MeteredWrite {
 public:
  virtual ~MeteredWrite() = default;
  [[nodiscard]] virtual int write(double gain_db, const LimiterStage::Replay& replay, double* lufs,
                                  LimiterStats* stats, LoudnessReport* report) = 0;
};

// The limiter's detector at unit gain over a whole output, on a thread of
// its own, which then allocates the room of the forecasts' gains (the
// kernel clears a fresh buffer's pages there, beside the caller's work).
// It follows the output through `progress`, so it may start while another
// stage still makes the output.
struct LimiterDetection {
  LimiterSettings set{};
  SampleProgress* progress = nullptr;  // null until started
  uint64_t frames = 0;
  float* peaks = nullptr;  // count: the detector's peaks, once found
  uint64_t count = 0;
  float* gains = nullptr;  // room for a pass's gains, `frames` of them
  Status status = STATUS_OK;
  Thread thread;

  LimiterDetection() = default;
  LimiterDetection(const LimiterDetection&) = delete;
  LimiterDetection& operator=(const LimiterDetection&) = delete;
  ~LimiterDetection();  // waits for the thread; frees what nobody took
  void operator()();
};

// Starts the detection of an output of `channels` x `frames` at `rate`
// that `progress` publishes. False when the limiter is off or it cannot
// start (its settings refused, or no thread unless `inline_without_thread`,
// which then finds the peaks before returning).
bool limiter_detection_start(const ToolConfig* cfg, uint64_t rate, uint64_t channels, uint64_t frames,
                             SampleProgress* progress, LimiterDetection* d, bool inline_without_thread);

// The output of the gain step, whole or made again in blocks: the gain is
// applied to it, and its integrated loudness measured after the gain.
class DeliveredOutput {
 public:
  virtual ~DeliveredOutput() = default;
  virtual void apply_gain(double gain_db) = 0;
  [[nodiscard]] virtual Status integrated(double* lufs) = 0;
};

// The line for an output a target cannot be reached on: silent (no peak)
// or unmeasurable.
void warn_unmeasurable(const LoudnessMeasure& out);

// The loudness the output is brought to: -lu's, the references' median
// (`reference_lufs`, when given and not NaN) or the timbre file's measured
// loudness (`timbre_lufs`, NaN when unmeasurable: the warning about the
// reference is printed); NaN for none.
double delivery_target(const ToolConfig* cfg, double timbre_lufs, const double* reference_lufs);
// Whether delivery_target needs the timbre file's loudness.
bool delivery_needs_timbre(const ToolConfig* cfg, const double* reference_lufs);

// The gain step without the limiter, from the output's measurement before
// the gain (`out`): the gain towards `target` under the -tp ceiling, its
// warnings, and the report's fields, as deliver_loudness does it.
[[nodiscard]] int deliver_gain(const ToolConfig* cfg, LoudnessMeasure out, double target, LoudnessReport* report,
                               const String* path, DeliveredOutput& output);

// The limiter's passes over an output for limiter_search: a metered pass
// limits the output at a gain and measures it (its gain over time into the
// report's trace); a forecast, where the output allows one, estimates the
// same without limiting the audio.
class LimiterPasses {
 public:
  virtual ~LimiterPasses() = default;
  [[nodiscard]] virtual int metered(double gain_db, double* lufs, LimiterStats* stats, LoudnessReport* report) = 0;
  virtual bool can_forecast() { return false; }
  [[nodiscard]] virtual int forecast(double gain_db, double* lufs, LimiterStats* stats) {
    (void)gain_db;
    (void)lufs;
    (void)stats;
    return STATUS_INVALID;
  }
};

// The gain before the limiter that brings the limited output to `target`
// (NaN: none, the gain is 0), from the unlimited output's measure, within
// the limits of the search (at most 12 dB of reduction); the report's
// limiter fields and the warning when the target is missed. *gain_out gets
// the gain of the last metered pass, which the output then has.
[[nodiscard]] int limiter_search(const ToolConfig* cfg, const LoudnessMeasure& unlimited, double target,
                                 LoudnessReport* report, const String* path, LimiterPasses& passes, double* gain_out);

// The effective true-peak ceiling of the settings in dBTP (the lower of
// -tp and -tl), NaN when neither is on.
double delivery_ceiling_db(const ToolConfig* cfg);

// Prints the loudness line of `report` on standard output:
//   "  loudness: <L> LUFS, true peak: <TP> dBTP, gain: <+G> dB\n"
// ("unmeasurable" and "none" in place of the numbers of silence); with the
// limiter, before the newline,
//   ", limiter: <R> dB max, <A> dB mean, <S>% of the time"
// and, when the target needs more reduction than allowed,
//   ", target missed by <M> LU (needs <N> dB of reduction)".
void print_loudness_line(const LoudnessReport& report);

struct SaveOptions;

// Reads the lossy file at `path` back through its decoder, measures its
// true peak into report->decoded_true_peak_db and, when that passes the
// report's ceiling, prints
//   "  [WRN] '<path>': decoded true peak <+P> dBTP passes the ceiling of
//    <C> dBTP (the encoder's overshoot)\n"
// on standard error. Returns 0, or the status of reading the file (after
// "  could not read back '<path>', error code: <N>\n  <why>\n") or of the
// measurement (5, 13, 4).
[[nodiscard]] int record_decoded_peak(const String* path, LoudnessReport* report);

// How the processed audio is saved. `custom` is false for the default
// format (a 32-bit float WAV file), which is saved exactly as ever.
struct SaveOptions {
  SaveFormat format;
  bool custom;
};

void save_options_from_config(SaveOptions* options, const ToolConfig* cfg);

// Checks the output format against what the run can know before any work
// (container, width, rate, and `channels` when not 0; size is checked at
// the save).
// Prints "Output format not possible for '<path>': <why>\n" on standard
// error and returns 8 (13 for values out of range); 0 when it can hold it.
[[nodiscard]] int check_output_format(const ToolConfig* cfg, const String* path, uint64_t rate,
                                       uint64_t channels = 0);

// With a format chosen whose files have an extension of their own (flac,
// aiff, w64, mp3, opus; vorbis: ".ogg"), the processed audio's template, when it is still the
// default one, takes that extension in place of ".wav" (RF64 keeps
// ".wav", as is the convention). 0 or 5.
[[nodiscard]] int adopt_format_extension(ToolConfig* cfg);

// Refuses, once the format was chosen (-of, or the key `format`), a
// processed-audio path whose extension is not one of that format's:
//   "Output name '<path>' contradicts the output format: the name says
//    <extension>, the format is <format>\n"
// on standard error, 13. RF64 takes ".wav" and ".rf64", AIFF ".aif" and
// ".aiff", vorbis ".ogg" and ".oga"; a name without extension fits every format; auto is checked by
// check_output_format. 0 when the name fits.
[[nodiscard]] int check_output_name(const ToolConfig* cfg, const String* path);

// Prints, for an output whose samples pass full scale (its largest
// magnitude `peak`, `overs` samples beyond it),
//   "  [WRN] '<path>' peaks at <+P> dBFS: <N> samples over full scale\n"
// (", clipped" added for integer formats) on standard error. Nothing for an
// output within full scale.
void warn_overs_counted(const String* path, float peak, uint64_t overs, const SaveOptions& options);
