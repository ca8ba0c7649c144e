#include "tool/pipeline.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <thread>

#include "analysis/curve_shape.h"
#include "analysis/ir_synthesis.h"
#include "analysis/mix.h"
#include "analysis/profile.h"
#include "analysis/resample.h"
#include "analysis/resample_stream.h"
#include "analysis/sample.h"
#include "analysis/target_curve.h"
#include "analysis/loudness.h"
#include "analysis/trim.h"
#include "dsp/dsp.h"
#include "report/run_report.h"
#include "runtime/output.h"
#include "runtime/alloc.h"
#include "runtime/hash_map.h"
#include "runtime/ptrlist.h"
#include "runtime/status.h"
#include "tool/curve_files.h"
#include "tool/child_chain.h"
#include "tool/delivery.h"
#include "tool/input_source.h"
#include "tool/naming.h"
#include "tool/preflight.h"
#include "tool/references.h"
#include "tool/report_fill.h"
#include "tool/report_resume.h"
#include "tool/preflight.h"
#include "tool/run_plan.h"
#include "tool/runner.h"
#include "tool/shard.h"
#include "tool/tool_config.h"

namespace {

const char* text_of(String* s) {
  const char* t = string_to_message(s);
  return t ? t : "";
}

// Message argument for a name held read-only by the configuration: the
// conversion cache of a String is scratch space, not content.
const char* text_of(const String* s) { return text_of(const_cast<String*>(s)); }

// What a group's children share, read-only while they run: the master,
// its profile and the group's rate; and the group's own outputs.
struct GroupState {
  Sample master, master_profile, work;
  ReportGroup* report;  // null without a report
  uint64_t rate;        // the group's processing rate
  // Children load while the master is prepared and wait at the group's
  // gate for it before they use it.
  std::mutex* gate_lock;
  std::condition_variable* gate;
  const int* master_state;  // the group's: kMasterPending, kMasterReady or kMasterFailed (under gate_lock)
  bool curve_only;      // no master: the children are matched to the target curve alone
  double reference_lufs;  // several references: their median loudness (NaN: measure the master)
  bool master_silent;   // every sample of the master is 0
  // A master too long to hold: `master` has its shape but no samples, and
  // every step that needs them reads the file (each child its own reading).
  bool master_streamed;
  StreamedInput master_in;

  GroupState()
      : report(nullptr), rate(0), gate_lock(nullptr), gate(nullptr), master_state(nullptr), curve_only(false),
        reference_lufs(std::nan("")), master_silent(false), master_streamed(false) {
    streamed_input_init(&master_in);
    sample_init(master);
    sample_init(master_profile);
    sample_init(work);
  }
  ~GroupState() {
    streamed_input_close(&master_in);
    sample_destroy(master);
    sample_destroy(master_profile);
    sample_destroy(work);
  }
};

// What became of a child, beside its status.
enum class ChildOutcome : uint8_t {
  kDone,            // its outputs are written or kept
  kSkipped,         // every output was there and up to date: it was not loaded
  kFailed,          // a step failed; the status says which
  kChannelsDiffer,  // its channels do not fit its master's
  kNotReached,      // its group ended at an earlier child whose channels differ
  kCancelled,       // its master failed, or the run ended before it
};

// The buffers of one child, released when it is done, and what it leaves
// for the group: its lines (when it ran in parallel), its status and the
// number of files it wrote.
struct ChildState {
  Sample child, child_profile, raw, work;
  Sample master_profile;  // the master's profile made for the child's channels, when they differ
  Sample target;          // the target spectrum with the target curve
  Sample rate_profile;    // the master's profile at the child's own rate (-sr child); empty otherwise
  uint64_t rate;          // the child's processing rate; 0 until loaded
  // A child too long to hold (its profile made while it was opened), and
  // this child's own reading of a master too long to hold.
  bool child_streamed;
  StreamedInput child_in, master_in;
  CurveTrace trace;
  ReportChild* rc;
  OutputCapture capture;
  uint64_t written;
  ChildOutcome outcome;  // kDone unless a step ended the child otherwise (its status then 0)

  ChildState() : rate(0), child_streamed(false), rc(nullptr), written(0), outcome(ChildOutcome::kDone) {
    streamed_input_init(&child_in);
    streamed_input_init(&master_in);
    sample_init(rate_profile);
    sample_init(child);
    sample_init(child_profile);
    sample_init(raw);
    sample_init(work);
    sample_init(master_profile);
    sample_init(target);
    curve_trace_init(trace);
    output_capture_init(&capture);
  }
  void release_buffers() {
    streamed_input_close(&child_in);
    streamed_input_close(&master_in);
    sample_destroy(rate_profile);
    sample_destroy(child);
    sample_destroy(child_profile);
    sample_destroy(raw);
    sample_destroy(work);
    sample_destroy(master_profile);
    sample_destroy(target);
    curve_trace_destroy(trace);
  }
  ~ChildState() {
    release_buffers();
    output_capture_release(&capture);
    report_delete_child(rc);
  }
};

constexpr int kMasterPending = 0;
// Why the children of a failed master did not run, as the report says it.
constexpr const char* kMasterNotLoaded = "the master could not be loaded";
constexpr const char* kMasterResponseNotSaved = "the master's frequency response could not be saved";
constexpr int kMasterReady = 1;
constexpr int kMasterFailed = 2;

// Whether every sample of `audio` is 0 (digital silence).
bool sample_is_silent(const Sample& audio) {
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < audio.channels; ++c)
    if (t.peak_abs(audio.data + c * audio.stride, static_cast<size_t>(audio.length)) > 0.0f) return false;
  return true;
}

// The line of a silent reference: 0, or 5 when its path cannot be made.
int print_silent(const ToolConfig* cfg, const String* name) {
  String path;
  string_init(&path);
  int st = resolve_input_path(&path, cfg, name);
  if (st == 0) err_printf("  file '%s' is silent: nothing to match\n", text_of(&path));
  string_free(&path);
  return st;
}

// Waits until the master is prepared; false when it failed.
bool wait_for_master(GroupState& g) {
  if (!g.gate) return true;
  std::unique_lock<std::mutex> hold(*g.gate_lock);
  g.gate->wait(hold, [&] { return *g.master_state != kMasterPending; });
  return *g.master_state == kMasterReady;
}

struct GroupSettings {
  unsigned rank;
  float dry, wet, peak;
  CurveSettings curve;
  bool shaped;        // a curve setting is on: the shaped synthesis runs
  bool deliver;       // a loudness or true-peak setting is on
  bool mid_side;      // stereo curves on mid and side
};

// One output of one child (or the master's response, child 0).
struct OutputSlot {
  const PlannedFile* planned;  // null when the plan has no such output
  bool keep;                   // skip_existing and the file exists: not written again
};

// The output of `kind` for child `child` of the group; a file kept as up
// to date is listed in the child's record (`rc`; the group's for child 0)
// as one made would be.
OutputSlot slot(const RunContext* ctx, const GroupState& g, ReportChild* rc, const Group* group, uint64_t child,
                OutputKind kind) {
  OutputSlot s{run_plan_find(ctx->plan, group, child, kind), false};
  if (ctx->cfg->skip_existing && s.planned && run_plan_output_current(ctx->plan, s.planned)) {
    s.keep = true;
    out_printf("  kept existing file: '%s'\n", text_of(&s.planned->path));
    if (ctx->report) report_add_written(ctx, g.report, rc, kind, &s.planned->path);
  }
  return s;
}

// An output the plan does not hold: the run and its plan disagree.
int unplanned() {
  err_printf("  internal error\n");
  return STATUS_SYSTEM;
}

// Writes `buffer` at `rate` (the group's, or a child's own) at the slot's
// planned path, unless the slot keeps the existing file; counts and
// reports what was written.
int save_output(const RunContext* ctx, GroupState& g, ReportChild* rc, uint64_t* written, const OutputSlot& s,
                Sample* buffer, uint64_t rate) {
  if (s.keep) return 0;
  if (!s.planned) return unplanned();
  buffer->sample_rate = rate;
  int st = save_output_to(buffer, &s.planned->path);
  if (st != 0) return st;
  ++*written;
  run_plan_write_record(ctx->plan, s.planned);
  if (ctx->report) report_add_written(ctx, g.report, rc, s.planned->kind, &s.planned->path);
  return 0;
}

// Writes the applied correction of a child as CSV, unless the slot keeps
// the existing file.
int export_correction(const RunContext* ctx, GroupState& g, ChildState& c, const Group* group, uint64_t index,
                      unsigned rank) {
  OutputSlot s = slot(ctx, g, c.rc, group, index, OUTPUT_CURVE);
  if (s.keep) return 0;
  if (!s.planned) return unplanned();
  String path;
  string_init(&path);
  int st = string_assign(&path, &s.planned->path) ? 0 : STATUS_NO_MEMORY;
  char* text = nullptr;
  uint64_t size = 0;
  if (st == 0) st = correction_csv(&text, &size, c.trace, g.rate, rank);
  if (st == 0) st = save_text_file(&path, text, size);
  if (st == 0) {
    ++c.written;
    run_plan_write_record(ctx->plan, s.planned);
  }
  mem_free(text);
  string_free(&path);
  return st;
}

// The shape of a file read a block at a time, as a Sample without samples.
void shape_of(Sample* s, const StreamedInput& in) {
  sample_destroy(*s);
  sample_init(*s);
  s->sample_rate = in.rate;
  s->channels = in.stream.channels;
  s->length = in.length;
}

// The part of a child that does not need the master: its audio, at the
// group's rate. Returns 0 or the status, after its message.
int load_child(const RunContext* ctx, Group* group, uint64_t index, const GroupState& g, ChildState& c) {
  const ToolConfig* cfg = ctx->cfg;
  const String* child_name = static_cast<const String*>(group->files.items[index - 1]);
  int st = 0;
  // With -sr child a child keeps its own rate (0: not resampled).
  const uint64_t rate = cfg->srate_child ? 0 : g.rate;
  {
    st = open_streamed_input(&c.child_in, &c.child_streamed, child_name, rate, cfg, effective_fft_rank(cfg->fft_rank),
                             &c.child_profile, "child", preflight_input_header(ctx->plan, group, index));
    if (st != 0) return st;
    if (c.child_streamed) {
      shape_of(&c.child, c.child_in);
      c.rate = cfg->srate_child ? c.child.sample_rate : g.rate;
      return 0;
    }
  }
  st = load_input_file(&c.child, rate, cfg, child_name);
  c.rate = st == 0 && cfg->srate_child ? c.child.sample_rate : g.rate;
  return st;
}


// The processed audio through the stage chain, never held whole; then
// what the whole-buffer path does after its save.
int stream_child_audio(const RunContext* ctx, GroupState& g, ChildState& c, const GroupSettings& set,
                       uint64_t rate, int64_t delay, const OutputSlot& audio) {
  const ToolConfig* cfg = ctx->cfg;
  const Sample& input = cfg->mastering ? c.child : g.master;
  WholeSource whole(input);
  // Each child reads a long master on its own: children may run side by side.
  int st = 0;
  if (g.master_streamed && (!cfg->mastering || set.deliver)) st = streamed_input_reopen(&c.master_in, &g.master_in, g.master_in.rate, cfg);
  if (st != 0) return st;
  StreamedInput* long_input = cfg->mastering ? (c.child_streamed ? &c.child_in : nullptr)
                                             : (g.master_streamed ? &c.master_in : nullptr);
  FileSource file(long_input);
  BlockSource& source = long_input ? static_cast<BlockSource&>(file) : whole;
  ChildAudio job;
  child_audio_init(&job);
  job.cfg = cfg;
  job.rate = rate;
  job.input = &source;
  job.ir = &c.work;
  job.delay = delay;
  job.dry = set.dry;
  job.wet = set.wet;
  job.norm_peak = set.peak;
  job.mid_side = set.mid_side;
  job.deliver = set.deliver;
  job.limiter = cfg->limiter.on;
  job.reference_lufs = cfg->mastering ? &g.reference_lufs : nullptr;
  job.whole_limit = whole_limit_bytes();
  job.target = &audio.planned->path;
  const PlannedTags* tags = audio.planned->tags;
  job.seed = tags->name;
  save_options_from_config(&job.options, cfg);
  job.options.format.title = tags->title;  // the plan's text, or null for none
  job.options.format.artist = tags->artist;
  if (tags->title || tags->artist) job.options.custom = true;
  if (set.deliver && delivery_needs_timbre(cfg, job.reference_lufs)) {
    // The output takes the loudness of the file whose timbre it takes.
    StreamedInput* timbre = cfg->mastering ? (g.master_streamed ? &c.master_in : nullptr)
                                           : (c.child_streamed ? &c.child_in : nullptr);
    st = timbre ? streamed_loudness(timbre, &job.timbre_lufs)
                : measure_integrated_loudness(cfg->mastering ? g.master : c.child, &job.timbre_lufs);
    if (st != 0) err_printf("  error measuring loudness, error code: %d\n", st);
  }
  if (st == 0 && !cfg->mastering && !c.child_streamed) {
    // The child gave its profile and loudness; its audio is not read
    // again, and its memory serves the output.
    Sample shape;
    sample_init(shape);
    shape.sample_rate = c.child.sample_rate;
    shape.channels = c.child.channels;
    shape.length = c.child.length;
    sample_swap(shape, c.child);
    sample_destroy(shape);
  }
  if (st == 0) st = write_child_audio(&job);
  if (st == 0) {
    ++c.written;
    run_plan_write_record(ctx->plan, audio.planned);
    if (ctx->report) report_add_written(ctx, g.report, c.rc, OUTPUT_AUDIO, &audio.planned->path);
    warn_overs_counted(&audio.planned->path, job.stats.peak, job.stats.overs, job.options);
    if (set.deliver && save_container_lossy(job.options.format.container))
      st = record_decoded_peak(&job.path, &job.loudness);
  }
  if (st == 0 && c.rc) {
    const double peak_db = job.peak > 0.0f ? 20.0 * std::log10(static_cast<double>(job.peak))
                                           : -std::numeric_limits<double>::infinity();
    report_fill_output_shape(c.rc, rate, job.channels, job.frames, peak_db, audio.planned, job.loudness);
  }
  child_audio_free(&job);
  return st;
}

// The rest of a loaded child, from its master on: profile, filters and
// the processed audio.
int finish_child(const RunContext* ctx, Group* group, uint64_t index, const GroupSettings& group_set,
                 GroupState& g, ChildState& c) {
  ReportChild* rc = c.rc;
  // A child at a rate of its own (-sr child) is matched against the
  // master brought to that rate, with the settings at that rate.
  const uint64_t rate = c.rate ? c.rate : g.rate;
  GroupSettings own;
  if (rate != g.rate) {
    own = group_set;
    own.curve.sample_rate = rate;
  }
  const GroupSettings& set = rate != g.rate ? own : group_set;
  const ToolConfig* cfg = ctx->cfg;
  const String* child_name = static_cast<const String*>(group->files.items[index - 1]);
  const uint64_t produce = cfg->produce;
  int st = 0;
  // Everything from here on needs the master (the report too: a child
  // whose master fails is not described, as when the children wait).
  if (!wait_for_master(g)) {
    c.outcome = ChildOutcome::kCancelled;
    return 0;
  }
  if (rc) {
    const InputHeader* header = preflight_input_header(ctx->plan, group, index);
    if (c.child_streamed)
      report_fill_input_peak(&rc->input, cfg, child_name, header, c.child, c.child_in.peak);
    else
      report_fill_input(&rc->input, cfg, child_name, header, c.child);
  }
  // In mastering mode a mono master gives its timbre to every channel of
  // a child, and a multichannel master its power mean to a mono child.
  // Correction mode writes the master's channels: they must agree.
  const Sample* master_profile = &g.master_profile;
  if (cfg->mid_side) {
    const bool master_fails = !g.curve_only && g.master.channels != 2;
    if (master_fails || c.child.channels != 2) {
      err_printf("  mid/side needs two channels: '%s' has %d, leaving\n",
                 text_of(master_fails ? &group->master : child_name),
                 static_cast<int>(master_fails ? g.master.channels : c.child.channels));
      c.outcome = ChildOutcome::kChannelsDiffer;
      return 0;
    }
  }
  if (!g.curve_only && c.child.channels != g.master.channels) {
    if (!cfg->mastering || (g.master.channels != 1 && c.child.channels != 1)) {
      err_printf("  number of channels mimatch: %d (master) vs %d (child), leaving\n",
                 static_cast<int>(g.master.channels), static_cast<int>(c.child.channels));
      c.outcome = ChildOutcome::kChannelsDiffer;
      return 0;
    }
    st = profile_for_channels(c.master_profile, g.master_profile, c.child.channels);
    if (st != 0) {
      err_printf("  error computing spectral profile for the master file '%s'\n", text_of(&group->master));
      return st;
    }
    master_profile = &c.master_profile;
  }
  // The file whose timbre the output takes must have one: a silent one
  // would turn the curve into the largest cut everywhere.
  const bool child_silent = c.child_streamed ? !(c.child_in.peak > 0.0f) : sample_is_silent(c.child);
  if (cfg->mastering ? (!g.curve_only && g.master_silent) : child_silent) {
    st = print_silent(cfg, cfg->mastering ? &group->master : child_name);
    return st != 0 ? st : STATUS_MALFORMED;
  }
  if (!c.child_streamed) st = reference_profile(c.child_profile, c.child, cfg, set.rank);
  if (st == 0 && rate != g.rate && !g.curve_only && g.master_streamed) {
    // The master read again at the child's rate.
    st = streamed_profile(&g.master_in, rate, cfg, set.rank, &c.rate_profile);
    master_profile = &c.rate_profile;
    if (st == 0 && c.child.channels != g.master.channels) {
      st = profile_for_channels(c.master_profile, c.rate_profile, c.child.channels);
      master_profile = &c.master_profile;
    }
  } else if (st == 0 && rate != g.rate && !g.curve_only) {
    // The master at the child's rate, profiled in place of the group's
    // (and then made for the child's channels when they differ).
    Sample at_rate;
    sample_init(at_rate);
    st = sample_copy(at_rate, g.master);
    if (st == 0) st = resample_in_blocks(at_rate, rate, cfg->resample_quality == RESAMPLE_HIGH);
    if (st == 0) st = reference_profile(c.rate_profile, at_rate, cfg, set.rank);
    sample_destroy(at_rate);
    master_profile = &c.rate_profile;
    if (st == 0 && c.child.channels != g.master.channels) {
      st = profile_for_channels(c.master_profile, c.rate_profile, c.child.channels);
      master_profile = &c.master_profile;
    }
  }
  if (st != 0) {
    err_printf("  error computing spectral profile for the child file '%s'\n", text_of(child_name));
    return st;
  }
  if (rc) report_fill_spectrum(&rc->spectrum, c.child_profile, rate);
  if (produce & PRODUCE_FRC) {
    OutputSlot s = slot(ctx, g, rc, group, index, OUTPUT_FR_CHILD);
    if (!s.keep) {
      st = synthesize_frequency_response(c.work, c.child_profile, set.rank);
      if (st != 0) {
        err_printf("  error computing frequrency response for the the child file '%s'\n",
                     text_of(child_name));
        return st;
      }
      st = save_output(ctx, g, rc, &c.written, s, &c.work, rate);
      if (st != 0) return st;
    }
  }
  // Normal mode maps the master onto the child's timbre; mastering mode
  // maps the child onto the master's.
  const Sample* reference = cfg->mastering ? &c.child_profile : master_profile;
  const Sample* target = cfg->mastering ? master_profile : &c.child_profile;
  if (ctx->target_curve) {
    st = curve_target(c.target, g.curve_only ? nullptr : target, c.child_profile, *ctx->target_curve, set.curve,
                      set.mid_side, rate);
    if (st != 0) {
      err_printf("  error computing the target spectrum for the child file '%s'\n", text_of(child_name));
      return st;
    }
    target = &c.target;
  }
  // The shaped synthesis gives the plain filter bit for bit when shaping is
  // off; it also runs then when a report or an exported curve wants the
  // curves.
  const bool export_curve = cfg->export_curve.length > 0;
  if (set.shaped || rc || export_curve) {
    st = synthesize_ir_shaped(c.raw, *reference, *target, set.rank, set.curve,
                              rc || export_curve ? &c.trace : nullptr);
  } else {
    st = synthesize_ir(c.raw, *reference, *target, set.rank, set.curve.gain_cap);
  }
  if (st != 0) {
    err_printf("  error computing raw impulse response for the child file '%s'\n",
                 text_of(child_name));
    return st;
  }
  if (rc) {
    report_fill_curves(rc, c.trace, rate, set.rank);
    rc->mid_side = set.mid_side;
  }
  if (produce & PRODUCE_RAW) {
    st = save_output(ctx, g, rc, &c.written, slot(ctx, g, rc, group, index, OUTPUT_RAW_IR), &c.raw, rate);
    if (st != 0) return st;
  }
  if (export_curve) {
    st = export_correction(ctx, g, c, group, index, set.rank);
    if (st != 0) return st;
  }
  if (!(produce & (PRODUCE_IR | PRODUCE_AUDIO))) return 0;

  int64_t delay = 0;
  TrimSettings trim{cfg->ir.trim.head_cut, cfg->ir.trim.tail_cut, cfg->ir.trim.fade_in,
                    cfg->ir.trim.fade_out};
  // A minimum-phase filter starts at its first tap: its latency counts
  // from there, and the dry signal is not delayed.
  st = set.curve.minimum_phase ? trim_ir_from(c.work, delay, c.raw, trim, 0) : trim_ir(c.work, delay, c.raw, trim);
  if (st != 0) {
    err_printf("  error trimming impulse response, error code: %d\n", st);
    return st;
  }
  if (rc) report_child_set_latency(rc, delay, static_cast<int64_t>(rate));
  if (produce & PRODUCE_IR) {
    st = save_output(ctx, g, rc, &c.written, slot(ctx, g, rc, group, index, OUTPUT_IR), &c.work, rate);
    if (st != 0) return st;
  }
  if (!(produce & PRODUCE_AUDIO)) return 0;
  OutputSlot audio = slot(ctx, g, rc, group, index, OUTPUT_AUDIO);
  if (audio.keep) return 0;
  if (!audio.planned || !audio.planned->tags) return unplanned();
  return stream_child_audio(ctx, g, c, set, rate, delay, audio);
}

// A failure of a child (or group) kept going past: remembered as the
// run's status when it is the first.
void note_failure(RunContext* ctx, int st) {
  if (ctx->first_failure == 0) ctx->first_failure = st;
}

// The first part of a child: load_child's status, or 0 with the outcome
// kSkipped when all its outputs exist.
int start_child(const RunContext* ctx, Group* group, uint64_t index, const GroupState& g, ChildState& c) {
  const String* child = static_cast<const String*>(group->files.items[index - 1]);
  if (ctx->cfg->skip_existing && run_plan_child_done(ctx->plan, group, index)) {
    out_printf("  skipping child '%s': all its outputs exist\n", text_of(child));
    c.outcome = ChildOutcome::kSkipped;
    return 0;
  }
  return load_child(ctx, group, index, g, c);
}

unsigned worker_count(const ToolConfig* cfg, uint64_t children) {
  uint64_t jobs = cfg->jobs > 0 ? static_cast<uint64_t>(cfg->jobs) : std::thread::hardware_concurrency();
  if (jobs == 0) jobs = 1;
  return static_cast<unsigned>(jobs < children ? jobs : children);
}

// Loads and profiles the master. Returns 0 or the failing step's status,
// after its message; the group's record in the report says why.
int load_master(const RunContext* ctx, Group* group, const GroupSettings& set, GroupState& g) {
  const ToolConfig* cfg = ctx->cfg;
  if (group->master.length == 0) {
    // Matched to the target curve alone; the report names the curve.
    g.curve_only = true;
    if (g.report) {
      const char* curve = string_to_utf8(const_cast<String*>(&cfg->target_curve));
      (void)report_set_audio(&g.report->master, curve ? curve : "", 0, 0, -1, std::nan(""));
    }
    return 0;
  }
  int st = 0;
  // A master too long to hold is read a block at a time (its profile while
  // it is opened), and so is each further reference.
  {
    st = open_streamed_input(&g.master_in, &g.master_streamed, &group->master, g.rate, cfg, set.rank,
                             &g.master_profile, "master", preflight_input_header(ctx->plan, group, 0));
    if (st != 0) {
      report_group_failed(g.report, st);
      return st;
    }
  }
  if (g.master_streamed) {
    shape_of(&g.master, g.master_in);
    if (g.report)
      report_fill_input_peak(&g.report->master, cfg, &group->master, preflight_input_header(ctx->plan, group, 0),
                             g.master, g.master_in.peak);
    g.master_silent = !(g.master_in.peak > 0.0f);
  } else {
    st = load_input_file(&g.master, g.rate, cfg, &group->master);
    if (st != 0) {
      report_group_failed(g.report, st);
      return st;
    }
    if (g.report)
      report_fill_input(&g.report->master, cfg, &group->master, preflight_input_header(ctx->plan, group, 0), g.master);
    g.master_silent = sample_is_silent(g.master);
    st = reference_profile(g.master_profile, g.master, cfg, set.rank);
  }
  if (st != 0) {
    err_printf("  error computing spectral profile for the master file '%s'\n", text_of(&group->master));
    report_group_failed(g.report, st);
    return st;
  }
  // A silent master in mastering mode fails each child that would take its
  // timbre (see the child's check), with or without a target curve.
  if (g.report) (void)report_add_reference(g.report, string_to_utf8(&group->master));
  if (group_master_count(group) > 1) {
    st = median_references(cfg, group, g.rate, set.rank, g.master, g.master_streamed ? &g.master_in : nullptr,
                           g.master_profile, &g.reference_lufs, g.report);
    if (st != 0) {
      report_group_failed(g.report, st);
      return st;
    }
  }
  if (g.report) report_fill_spectrum(&g.report->spectrum, g.master_profile, g.rate);
  return 0;
}

// Writes the master's frequency response when asked, from its profile;
// counts it in *written.
int write_master_response(const RunContext* ctx, Group* group, const GroupSettings& set, GroupState& g,
                          uint64_t* written) {
  const ToolConfig* cfg = ctx->cfg;
  if (!(cfg->produce & PRODUCE_FRM) || g.curve_only) return 0;
  OutputSlot s = slot(ctx, g, nullptr, group, 0, OUTPUT_FR_MASTER);
  if (s.keep) return 0;
  int st = synthesize_frequency_response(g.work, g.master_profile, set.rank);
  if (st != 0)
    err_printf("  error computing frequrency response for the the master file '%s'\n", text_of(&group->master));
  else
    st = save_output(ctx, g, nullptr, written, s, &g.work, g.rate);
  if (st != 0) report_group_failed(g.report, st);
  return st;
}

// A group's status taken into the run: with keep_going a failed group
// (its master failed) is skipped, counted and remembered, and the run goes
// on (0); otherwise the status ends the run.
int group_outcome(RunContext* ctx, const String* name, const Group* group, int st) {
  if (st == 0 || !ctx->cfg->keep_going) return st;
  err_printf("  skipping group '%s' after error %d\n", text_of(name), st);
  ctx->children_failed += group->files.count;
  note_failure(ctx, st);
  return 0;
}

// The settings every child of a group shares, at the group's rate.
void group_settings(const ToolConfig* cfg, uint64_t rate, GroupSettings& set) {
  set.rank = effective_fft_rank(cfg->fft_rank);
  set.dry = mix_gain(cfg->dry);
  set.wet = mix_gain(cfg->wet);
  set.peak = decibels_to_gain(cfg->norm_gain);
  // The curve as set, every ratio of the IR limited to the configured
  // range, at the group's rate.
  set.curve = cfg->ir.curve;
  set.curve.gain_cap = decibels_to_gain(cfg->gain_range);
  set.curve.sample_rate = rate;
  // Mid and side are not linked: the side's balance is its own.
  if (cfg->mid_side) set.curve.channel_link = 0.0f;
  set.mid_side = cfg->mid_side;
  set.shaped = !curve_shaping_off(set.curve);
  set.deliver = cfg->loudness.on || cfg->match_loudness || cfg->true_peak.on || cfg->limiter.on;
}

uint64_t group_rate(const ToolConfig* cfg, const Group* group) {
  return cfg->srate_source || cfg->srate_child ? group->rate : cfg->srate;
}

// Whether a group has work to do, told from the settings alone: kGroupRuns,
// or the status the group ends with at once (after its notice when `say`).
constexpr int kGroupRuns = -4;

int group_precheck(const ToolConfig* cfg, const Group* group, bool say) {
  if (group_reference_name(cfg, group)->length == 0) {
    if (say) out_printf("  group '%s' does not have master file, skipping\n", text_of(&group->name));
    return 0;
  }
  if (cfg->produce == 0) return 0;
  if (!(cfg->produce & PRODUCE_FRM) && group->files.count == 0) {
    if (say) out_printf("  group '%s' does not have any child files, skipping\n", text_of(&group->name));
    return 0;
  }
  for (uint64_t i = 0; i < group->files.count; ++i) {
    if (!group->files.items[i]) {
      if (say) err_printf("  internal error\n");
      return STATUS_SYSTEM;
    }
  }
  return kGroupRuns;
}

// A group of the run: what its jobs share. Its master job prepares the
// master (and writes the group's own outputs); its child jobs load their
// child while that runs and wait for it at the gate before they use it.
struct RunGroup {
  Group* group;
  const String* name;
  GroupSettings set;
  int precheck;            // kGroupRuns, or the status the group ends with at once
  uint64_t master_job;     // its jobs: the master's, then the children's in order
  uint64_t children;       // child jobs (0 unless the group runs)
  uint64_t rate;           // the group's processing rate
  std::mutex lock;         // guards `state` and `refs`, and is the gate's lock
  std::condition_variable gate;
  int master_state;        // kMasterPending until the master job decides it (under `lock`)
  GroupState* state;       // made by the first of its jobs to start, freed by the last to end
  uint64_t refs;           // its jobs not yet ended
  std::atomic<uint64_t> cut_from;  // children from this one (1-based) do not run,
  std::atomic<ChildOutcome> cut_as;  // and end so
  ReportGroup* report;     // the group's record until the cursor hands it to the report
  OutputCapture capture;   // the master job's lines
  uint64_t written;        // files the master job wrote
  int master_status;       // of preparing the master and writing the group's outputs
  const char* why;         // what failed, for the children's records

  RunGroup()
      : group(nullptr), name(nullptr), set(), precheck(kGroupRuns), master_job(0), children(0), rate(0),
        master_state(kMasterPending), state(nullptr), refs(0), cut_from(UINT64_MAX),
        cut_as(ChildOutcome::kNotReached), report(nullptr), written(0), master_status(0), why(nullptr) {
    output_capture_init(&capture);
  }
  ~RunGroup() {
    mem_delete(state);
    report_delete_group(report);
    output_capture_release(&capture);
  }
};

// A job of the run: a group's master (child 0) or one of its children.
struct RunJob {
  uint64_t group;      // its RunGroup
  uint64_t child;      // 1-based; 0 for the master job
  ChildState* state;   // a child's buffers, lines, record and counts; made when it starts
  ChildOutcome outcome;
  int status;
};

// The whole run as jobs, and the cursor that takes their results in.
struct Run {
  RunContext* ctx;
  RunGroup* groups;
  uint64_t ngroups;
  RunJob* jobs;
  uint64_t njobs;
  JobRunner* runner;

  explicit Run(RunContext* c) : ctx(c), groups(nullptr), ngroups(0), jobs(nullptr), njobs(0), runner(nullptr) {}
  ~Run() {
    job_runner_finish(runner);
    for (uint64_t i = 0; jobs && i < njobs; ++i) mem_delete(jobs[i].state);
    mem_free(jobs);
    for (uint64_t i = 0; groups && i < ngroups; ++i) groups[i].~RunGroup();
    mem_free(groups);
  }

  // The jobs of the run, from the plan's groups that this process runs,
  // in order: a master job per group, then a job per child. 0, or 5
  // without memory.
  int plan() {
    const ToolConfig* cfg = ctx->cfg;
    const PtrList& planned = ctx->plan->groups;
    uint64_t selected = 0;
    for (uint64_t i = 0; i < planned.count; ++i)
      selected += group_selected(cfg, static_cast<const Group*>(planned.items[i])) ? 1 : 0;
    groups = static_cast<RunGroup*>(mem_calloc(selected ? selected : 1, sizeof(RunGroup)));
    if (!groups) return STATUS_NO_MEMORY;
    for (uint64_t i = 0; i < planned.count; ++i) {
      Group* group = static_cast<Group*>(planned.items[i]);
      if (!group_selected(cfg, group)) continue;
      RunGroup& rg = *new (&groups[ngroups++]) RunGroup();
      rg.group = group;
      rg.name = &group->name;
      rg.precheck = group_precheck(cfg, rg.group, false);
      rg.master_job = njobs++;
      if (rg.precheck != kGroupRuns) continue;
      rg.rate = group_rate(cfg, rg.group);
      group_settings(cfg, rg.rate, rg.set);
      rg.children = rg.group->files.count;
      rg.refs = 1 + rg.children;
      njobs += rg.children;
    }
    cut_at_channels();
    jobs = static_cast<RunJob*>(mem_calloc(njobs ? njobs : 1, sizeof(RunJob)));
    if (!jobs) return STATUS_NO_MEMORY;
    for (uint64_t k = 0; k < ngroups; ++k) {
      const RunGroup& rg = groups[k];
      for (uint64_t c = 0; c <= rg.children; ++c) {
        RunJob& job = jobs[rg.master_job + c];
        job.group = k;
        job.child = c;
        job.outcome = ChildOutcome::kDone;
      }
    }
    return 0;
  }

  // Children after one whose channels end its group, as the inputs'
  // headers tell, are never started: they would not be reached, and must
  // leave no file behind with any number of workers.
  void cut_at_channels() {
    const RunPlan* plan = ctx->plan;
    for (uint64_t k = 0; k < ngroups; ++k) {
      RunGroup& rg = groups[k];
      uint64_t from, to;
      run_plan_group_range(plan, rg.group, false, &from, &to);
      const PlannedFile* master = nullptr;
      for (uint64_t i = from; i < to; ++i) {
        const PlannedFile* in = static_cast<const PlannedFile*>(plan->inputs.items[i]);
        if (i == from && in->child == 0) master = in;
        if (in->child > 0 && preflight_group_ends_at(plan, ctx->cfg, master, in)) {
          rg.cut_from.store(in->child + 1);
          break;
        }
      }
    }
  }

  // The group's shared state, made by the first job that needs it; null
  // without memory.
  GroupState* acquire(RunGroup& rg) {
    std::lock_guard<std::mutex> hold(rg.lock);
    if (!rg.state && (rg.state = mem_new<GroupState>())) {
      rg.state->rate = rg.rate;
      rg.state->gate_lock = &rg.lock;
      rg.state->gate = &rg.gate;
      rg.state->master_state = &rg.master_state;
    }
    return rg.state;
  }

  // A job of the group ended; the last one frees what the group held.
  static void release(RunGroup& rg) {
    std::lock_guard<std::mutex> hold(rg.lock);
    if (rg.refs > 0 && --rg.refs == 0) {
      mem_delete(rg.state);
      rg.state = nullptr;
    }
  }

  static void run_job(void* self, uint64_t i, bool worker) {
    Run& run = *static_cast<Run*>(self);
    RunJob& job = run.jobs[i];
    RunGroup& rg = run.groups[job.group];
    if (job.child == 0)
      run.master_job(rg, worker);
    else
      run.child_job(rg, job, worker);
  }

  // Says the group's name, then prepares its master and writes the group's
  // outputs; the children go on once it is decided.
  void master_job(RunGroup& rg, bool worker) {
    const ToolConfig* cfg = ctx->cfg;
    if (worker) output_capture_begin(&rg.capture);
    const char* utf8 = string_to_utf8(const_cast<String*>(rg.name));
    out_printf("processing group '%s'...\n", utf8 ? utf8 : "");
    if (rg.precheck != kGroupRuns) {
      (void)group_precheck(cfg, rg.group, true);
      if (worker) output_capture_end();
      return;
    }
    GroupState* g = acquire(rg);
    int st = STATUS_NO_MEMORY;
    rg.why = kMasterNotLoaded;
    if (g) {
      rg.report = report_begin_group(ctx->report, rg.group);
      g->report = rg.report;
      st = load_master(ctx, rg.group, rg.set, *g);
      if (st == 0) {
        rg.why = kMasterResponseNotSaved;
        st = write_master_response(ctx, rg.group, rg.set, *g, &rg.written);
      }
    }
    // Decided also when the group's state could not be made: a child that
    // made it waits at the gate all the same.
    {
      std::lock_guard<std::mutex> hold(rg.lock);
      rg.master_state = st == 0 ? kMasterReady : kMasterFailed;
    }
    rg.gate.notify_all();
    rg.master_status = st;
    if (worker) output_capture_end();
    release(rg);
  }

  // Loads a child, waits for its master, and makes the child's outputs.
  void child_job(RunGroup& rg, RunJob& job, bool worker) {
    if (job.child >= rg.cut_from.load()) {
      job.outcome = rg.cut_as.load();
      release(rg);
      return;
    }
    ChildState* c = mem_new<ChildState>();
    GroupState* g = c ? acquire(rg) : nullptr;
    if (!c || !g) {
      job.status = STATUS_NO_MEMORY;
      job.outcome = ChildOutcome::kFailed;
      mem_delete(c);
      release(rg);
      return;
    }
    job.state = c;
    const String* name = static_cast<const String*>(rg.group->files.items[job.child - 1]);
    c->rc = report_begin_child(ctx->report, name);
    if (worker) output_capture_begin(&c->capture);
    int st = start_child(ctx, rg.group, job.child, *g, *c);
    if (st == 0 && c->outcome == ChildOutcome::kDone) st = finish_child(ctx, rg.group, job.child, rg.set, *g, *c);
    if (worker) output_capture_end();
    c->release_buffers();
    job.status = st;
    job.outcome = st != 0 ? ChildOutcome::kFailed : c->outcome;
    release(rg);
  }

  // Takes a child's result into the run (its lines, its record, the counts
  // and keep_going). False when the group ends here, with *group_status
  // the group's status.
  bool commit_child(RunGroup& rg, RunJob& job, ReportGroup* record, int* group_status) {
    ChildState* c = job.state;
    const String* name = static_cast<const String*>(rg.group->files.items[job.child - 1]);
    ReportChild* rc = nullptr;
    if (c) {
      output_capture_flush(&c->capture);
      ctx->files_written += c->written;
      rc = c->rc;
      c->rc = nullptr;
    } else if (record) {
      rc = report_begin_child(ctx->report, name);
    }
    bool go_on = true;
    switch (job.outcome) {
      case ChildOutcome::kSkipped:
        ++ctx->children_skipped;
        report_child_skipped(rc, "all outputs exist");
        report_resume_child(ctx, rg.group, job.child, rc);
        break;
      case ChildOutcome::kChannelsDiffer:
        report_child_channels_differ(rc);
        // With keep_going only this child fails; otherwise the rest of the
        // group is not reached.
        if (ctx->cfg->keep_going) {
          ++ctx->children_failed;
        } else {
          *group_status = 0;
          go_on = false;
        }
        break;
      case ChildOutcome::kFailed:
        report_child_failed(rc, job.status, nullptr);
        if (!ctx->cfg->keep_going) {
          *group_status = job.status;
          go_on = false;
          break;
        }
        err_printf("  skipping child '%s' after error %d\n", text_of(name), job.status);
        ++ctx->children_failed;
        note_failure(ctx, job.status);
        break;
      default:
        break;
    }
    if (rc) (void)report_adopt_child(record, rc);
    mem_delete(c);
    job.state = nullptr;
    return go_on;
  }

  // Group k in turn, once its master job is done: its lines and record,
  // then its children's in order. Returns the group's status.
  int commit_group(RunGroup& rg) {
    output_capture_flush(&rg.capture);
    ctx->files_written += rg.written;
    if (rg.precheck != kGroupRuns) return rg.precheck;
    ReportGroup* record = rg.report;
    rg.report = nullptr;
    if (record && report_adopt_group(ctx->report, record) != 0) record = nullptr;
    int st = rg.master_status;
    if (st != 0) {
      // The children go with their master; the report names each of them.
      rg.cut_as.store(ChildOutcome::kCancelled);
      rg.cut_from.store(1);
      for (uint64_t i = 0; record && i < rg.children; ++i) {
        ReportChild* rc = report_begin_child(ctx->report, static_cast<const String*>(rg.group->files.items[i]));
        report_child_failed(rc, st, rg.why);
        if (rc) (void)report_adopt_child(record, rc);
      }
      drain(rg, 1);
      return st;
    }
    for (uint64_t i = 1; i <= rg.children; ++i) {
      RunJob& job = jobs[rg.master_job + i];
      if (!job_runner_wait(runner, rg.master_job + i)) return STATUS_SYSTEM;
      int group_status = 0;
      if (!commit_child(rg, job, record, &group_status)) {
        if (job.outcome == ChildOutcome::kChannelsDiffer) {
          rg.cut_from.store(i + 1);
          for (uint64_t n = i + 1; n <= rg.children; ++n)
            report_child_not_reached(record, static_cast<const String*>(rg.group->files.items[n - 1]));
          drain(rg, i + 1);
        }
        return group_status;
      }
    }
    return 0;
  }

  // Waits for the group's children from `from` on, whose results the run
  // does not take, and forgets them.
  void drain(RunGroup& rg, uint64_t from) {
    for (uint64_t i = from; i <= rg.children; ++i) {
      RunJob& job = jobs[rg.master_job + i];
      (void)job_runner_wait(runner, rg.master_job + i);
      mem_delete(job.state);
      job.state = nullptr;
    }
  }

  // The cursor: every group in run order.
  int commit_all() {
    int st = 0;
    for (uint64_t k = 0; k < ngroups && st == 0; ++k) {
      RunGroup& rg = groups[k];
      if (!job_runner_wait(runner, rg.master_job)) return STATUS_SYSTEM;
      st = group_outcome(ctx, rg.name, rg.group, commit_group(rg));
    }
    // Work started beyond the point where the run ended is not taken.
    job_runner_stop(runner);
    return st != 0 ? st : ctx->first_failure;
  }
};

// The number of children in the groups that have work, for the number of
// workers a parallel run needs.
uint64_t children_to_run(const RunGroup* groups, uint64_t count) {
  uint64_t n = 0;
  for (uint64_t k = 0; k < count; ++k) n += groups[k].children;
  return n;
}

}  // namespace

float decibels_to_gain(float db) {
  double product = static_cast<double>(db) * 2.302585092994046 * static_cast<double>(0.05f);
  return std::exp(static_cast<float>(product));
}

float mix_gain(float db) {
  if (db <= -150.0f) return 0.0f;
  return decibels_to_gain(db < 150.0f ? db : 150.0f);
}

unsigned effective_fft_rank(int64_t fft_rank) {
  if (fft_rank <= 8) return 8;
  if (fft_rank > 16) return 16;
  return static_cast<unsigned>(fft_rank);
}

void run_context_init(RunContext* ctx, ToolConfig* cfg) {
  ctx->cfg = cfg;
  ctx->plan = nullptr;
  ctx->report = nullptr;
  ctx->report_dir = nullptr;
  ctx->target_curve = nullptr;
  ctx->files_written = 0;
  ctx->children_failed = 0;
  ctx->children_skipped = 0;
  ctx->first_failure = 0;
}

int process_all_groups(RunContext* ctx) {
  if (!ctx->plan) return STATUS_BAD_ARGUMENT;
  Run run(ctx);
  int st = run.plan();
  if (st != 0) return st;
  const unsigned workers = worker_count(ctx->cfg, children_to_run(run.groups, run.ngroups));
  // With one job, each runs in this thread when the cursor comes to it.
  const auto from = std::chrono::steady_clock::now();
  run.runner = job_runner_start(run.njobs, workers > 1 ? workers : 0, Run::run_job, &run);
  st = run.runner ? run.commit_all() : STATUS_NO_MEMORY;
  // For measuring the runner: the jobs' own time against the run's.
  if (run.runner && std::getenv("TIMBRAL_RUNNER_STATS")) {
    const std::chrono::duration<double> span = std::chrono::steady_clock::now() - from;
    std::fprintf(stderr, "runner: %llu jobs, %u workers, %.6f s in jobs, %.6f s from start to the last result\n",
                 static_cast<unsigned long long>(run.njobs), job_runner_workers(run.runner),
                 job_runner_job_seconds(run.runner), span.count());
  }
  return st;
}
