#include "tool/pipeline.h"

#include <atomic>
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
#include "expr/variables.h"
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
#include "tool/references.h"
#include "tool/report_fill.h"
#include "tool/run_plan.h"
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
  Variables vars;
  ReportGroup* report;  // null without a report
  uint64_t rate;        // the group's processing rate
  // Parallel children load while the master is prepared and wait here for
  // it before they use it; null when the children run one after another.
  std::mutex* gate_lock;
  std::condition_variable* gate;
  int master_state;     // kMasterPending, kMasterReady or kMasterFailed (under gate_lock)
  bool curve_only;      // no master: the children are matched to the target curve alone
  double reference_lufs;  // several references: their median loudness (NaN: measure the master)
  bool master_silent;   // every sample of the master is 0
  // A master too long to hold: `master` has its shape but no samples, and
  // every step that needs them reads the file (each child its own reading).
  bool master_streamed;
  StreamedInput master_in;

  GroupState()
      : report(nullptr), rate(0), gate_lock(nullptr), gate(nullptr), master_state(0), curve_only(false),
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
  Variables vars;
  ReportChild* rc;
  OutputCapture capture;
  uint64_t written;
  int status;
  bool done;

  ChildState() : rate(0), child_streamed(false), rc(nullptr), written(0), status(0), done(false) {
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
  }
};

// The per-child part of the group: steps from building the variables to
// writing the processed audio. Returns 0, a status, kChannelMismatch, or
// kAborted when the master it waited for failed.
constexpr int kChannelMismatch = -1;
constexpr int kAborted = -3;
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
  g.gate->wait(hold, [&] { return g.master_state != kMasterPending; });
  return g.master_state == kMasterReady;
}

void open_gate(GroupState& g, int state) {
  if (!g.gate) return;
  {
    std::lock_guard<std::mutex> hold(*g.gate_lock);
    g.master_state = state;
  }
  g.gate->notify_all();
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
  const PlannedFile* planned;  // null without a plan
  bool keep;                   // skip_existing and the file exists: not written again
};

OutputSlot slot(const RunContext* ctx, const Group* group, uint64_t child, OutputKind kind) {
  OutputSlot s{nullptr, false};
  if (ctx->plan) s.planned = run_plan_find(ctx->plan, group, child, kind);
  if (ctx->cfg->skip_existing && s.planned && run_plan_output_current(ctx->plan, s.planned)) {
    s.keep = true;
    out_printf("  kept existing file: '%s'\n", text_of(&s.planned->path));
  }
  return s;
}

// Writes `buffer` at `rate` (the group's, or a child's own) under `templ`,
// unless the slot keeps the existing file; counts and reports what was
// written.
int save_output(const RunContext* ctx, GroupState& g, Variables* vars, ReportChild* rc, uint64_t* written,
                const OutputSlot& s, Sample* buffer, const String* templ, OutputKind kind,
                const SaveOptions* options, uint64_t rate) {
  if (s.keep) return 0;
  buffer->sample_rate = rate;
  int st = save_output_file_as(buffer, &ctx->cfg->dst_path, templ, vars, options);
  if (st != 0) return st;
  ++*written;
  run_plan_write_record(ctx->plan, s.planned);
  if (ctx->report && s.planned) report_add_written(ctx, g.report, rc, kind, &s.planned->path);
  return 0;
}

// Writes the applied correction of a child as CSV, unless the slot keeps
// the existing file.
int export_correction(const RunContext* ctx, GroupState& g, ChildState& c, const Group* group, uint64_t index,
                      unsigned rank) {
  const ToolConfig* cfg = ctx->cfg;
  OutputSlot s = slot(ctx, group, index, OUTPUT_CURVE);
  if (s.keep) return 0;
  String name, path;
  string_init(&name);
  string_init(&path);
  int st = 0;
  if (s.planned) {
    st = string_assign(&path, &s.planned->path) ? 0 : STATUS_NO_MEMORY;
  } else {
    st = evaluate_output_name(&name, &cfg->export_curve, &c.vars);
    if (st == 0) st = resolve_output_path(&path, &cfg->dst_path, &name);
  }
  char* text = nullptr;
  uint64_t size = 0;
  if (st == 0) st = correction_csv(&text, &size, c.trace, g.rate, rank);
  if (st == 0) st = save_text_file(&path, text, size);
  if (st == 0) {
    ++c.written;
    run_plan_write_record(ctx->plan, s.planned);
  }
  mem_free(text);
  string_free(&name);
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

// The part of a child that does not need the master: its variables and
// its audio, at the group's rate. Returns 0 or the status, after its
// message.
int load_child(const RunContext* ctx, Group* group, uint64_t index, const GroupState& g, ChildState& c) {
  const ToolConfig* cfg = ctx->cfg;
  const String* child_name = static_cast<const String*>(group->files.items[index - 1]);
  int st = build_pattern_variables(&c.vars, cfg, group, group_reference_name(cfg, group), child_name, index);
  if (st != 0) {
    err_printf("  error building pattern variables for child file\n");
    return st;
  }
  // With -sr child a child keeps its own rate (0: not resampled).
  const uint64_t rate = cfg->srate_child ? 0 : g.rate;
  {
    st = open_streamed_input(&c.child_in, &c.child_streamed, child_name, rate, cfg, effective_fft_rank(cfg->fft_rank),
                             &c.child_profile, "child");
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

// The tags are evaluated like the names, against the child's variables;
// `options` points into `title` and `artist`.
int evaluate_tags(const ToolConfig* cfg, Variables* vars, String* title, String* artist, SaveOptions* options) {
  int st = 0;
  if (cfg->title.length > 0 && (st = evaluate_output_name(title, &cfg->title, vars)) == 0) {
    options->format.title = string_to_utf8(title);
    st = options->format.title ? 0 : STATUS_NO_MEMORY;
  }
  if (st == 0 && cfg->artist.length > 0 && (st = evaluate_output_name(artist, &cfg->artist, vars)) == 0) {
    options->format.artist = string_to_utf8(artist);
    st = options->format.artist ? 0 : STATUS_NO_MEMORY;
  }
  if (cfg->title.length > 0 || cfg->artist.length > 0) options->custom = true;
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
  job.templ = &cfg->file;
  job.message_path = audio.planned ? &audio.planned->path : nullptr;
  job.vars = &c.vars;
  save_options_from_config(&job.options, cfg);
  if (set.deliver && delivery_needs_timbre(cfg, job.reference_lufs)) {
    // The output takes the loudness of the file whose timbre it takes.
    StreamedInput* timbre = cfg->mastering ? (g.master_streamed ? &c.master_in : nullptr)
                                           : (c.child_streamed ? &c.child_in : nullptr);
    st = timbre ? streamed_loudness(timbre, &job.timbre_lufs)
                : measure_integrated_loudness(cfg->mastering ? g.master : c.child, &job.timbre_lufs);
    if (st != 0) err_printf("  error measuring loudness, error code: %d\n", st);
  }
  String title, artist;
  string_init(&title);
  string_init(&artist);
  if (st == 0) st = evaluate_tags(cfg, &c.vars, &title, &artist, &job.options);
  if (st == 0) st = write_child_audio(&job);
  string_free(&artist);
  string_free(&title);
  if (st == 0) {
    ++c.written;
    run_plan_write_record(ctx->plan, audio.planned);
    if (ctx->report && audio.planned) report_add_written(ctx, g.report, c.rc, OUTPUT_AUDIO, &audio.planned->path);
    warn_overs_counted(audio.planned ? &audio.planned->path : &job.path, job.stats.peak, job.stats.overs,
                       job.options);
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
  if (!wait_for_master(g)) return kAborted;
  if (rc) {
    if (c.child_streamed)
      report_fill_input_peak(&rc->input, cfg, child_name, c.child, c.child_in.peak);
    else
      report_fill_input(&rc->input, cfg, child_name, c.child);
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
      return kChannelMismatch;
    }
  }
  if (!g.curve_only && c.child.channels != g.master.channels) {
    if (!cfg->mastering || (g.master.channels != 1 && c.child.channels != 1)) {
      err_printf("  number of channels mimatch: %d (master) vs %d (child), leaving\n",
                 static_cast<int>(g.master.channels), static_cast<int>(c.child.channels));
      return kChannelMismatch;
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
    OutputSlot s = slot(ctx, group, index, OUTPUT_FR_CHILD);
    if (!s.keep) {
      st = synthesize_frequency_response(c.work, c.child_profile, set.rank);
      if (st != 0) {
        err_printf("  error computing frequrency response for the the child file '%s'\n",
                     text_of(child_name));
        return st;
      }
      st = save_output(ctx, g, &c.vars, rc, &c.written, s, &c.work, &cfg->ir.fr_child, OUTPUT_FR_CHILD, nullptr,
                       rate);
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
    st = save_output(ctx, g, &c.vars, rc, &c.written, slot(ctx, group, index, OUTPUT_RAW_IR), &c.raw, &cfg->ir.raw, OUTPUT_RAW_IR,
                     nullptr, rate);
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
    st = save_output(ctx, g, &c.vars, rc, &c.written, slot(ctx, group, index, OUTPUT_IR), &c.work, &cfg->ir.file, OUTPUT_IR, nullptr, rate);
    if (st != 0) return st;
  }
  if (!(produce & PRODUCE_AUDIO)) return 0;
  OutputSlot audio = slot(ctx, group, index, OUTPUT_AUDIO);
  if (audio.keep) return 0;
  return stream_child_audio(ctx, g, c, set, rate, delay, audio);
}

// A failure of a child (or group) kept going past: remembered as the
// run's status when it is the first.
void note_failure(RunContext* ctx, int st) {
  if (ctx->first_failure == 0) ctx->first_failure = st;
}

// Runs one child in the calling thread, from the check of its outputs to
// the release of its buffers. kSkipped when all its outputs exist.
constexpr int kSkipped = -2;

// The first part of a child: kSkipped when all its outputs exist, else
// load_child's status.
int start_child(const RunContext* ctx, Group* group, uint64_t index, const GroupState& g, ChildState& c) {
  const String* child = static_cast<const String*>(group->files.items[index - 1]);
  if (ctx->cfg->skip_existing && ctx->plan && run_plan_child_done(ctx->plan, group, index)) {
    out_printf("  skipping child '%s': all its outputs exist\n", text_of(child));
    return kSkipped;
  }
  return load_child(ctx, group, index, g, c);
}

int run_child(const RunContext* ctx, Group* group, uint64_t index, const GroupSettings& set, GroupState& g,
              ChildState& c) {
  int st = start_child(ctx, group, index, g, c);
  if (st == 0) st = finish_child(ctx, group, index, set, g, c);
  c.release_buffers();
  return st;
}

// Takes the outcome of a finished child into the run, in the children's
// order. False when the group ends here, with *group_status its status.
bool settle_child(RunContext* ctx, const String* child, ChildState& c, int* group_status) {
  ctx->files_written += c.written;
  const int st = c.status;
  if (st == kSkipped) {
    ++ctx->children_skipped;
    report_child_skipped(c.rc, "all outputs exist");
    return true;
  }
  if (st == kChannelMismatch) {
    report_child_channels_differ(c.rc);
    // With keep_going only this child fails; otherwise the rest of the
    // group is not reached.
    if (ctx->cfg->keep_going) {
      ++ctx->children_failed;
      return true;
    }
    *group_status = 0;
    return false;
  }
  if (st != 0) {
    report_child_failed(c.rc, st, nullptr);
    if (!ctx->cfg->keep_going) {
      *group_status = st;
      return false;
    }
    err_printf("  skipping child '%s' after error %d\n", text_of(child), st);
    ++ctx->children_failed;
    note_failure(ctx, st);
  }
  return true;
}

unsigned worker_count(const ToolConfig* cfg, uint64_t children) {
  uint64_t jobs = cfg->jobs > 0 ? static_cast<uint64_t>(cfg->jobs) : std::thread::hardware_concurrency();
  if (jobs == 0) jobs = 1;
  return static_cast<unsigned>(jobs < children ? jobs : children);
}

// Loads and profiles the master. Returns 0 or the failing step's status,
// after its message; the group's record in the report says why.
int load_master(RunContext* ctx, Group* group, const GroupSettings& set, GroupState& g) {
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
                             &g.master_profile, "master");
    if (st != 0) {
      report_group_failed(g.report, st);
      return st;
    }
  }
  if (g.master_streamed) {
    shape_of(&g.master, g.master_in);
    if (g.report) report_fill_input_peak(&g.report->master, cfg, &group->master, g.master, g.master_in.peak);
    g.master_silent = !(g.master_in.peak > 0.0f);
  } else {
    st = load_input_file(&g.master, g.rate, cfg, &group->master);
    if (st != 0) {
      report_group_failed(g.report, st);
      return st;
    }
    if (g.report) report_fill_input(&g.report->master, cfg, &group->master, g.master);
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

// Writes the master's frequency response when asked, from its profile.
int write_master_response(RunContext* ctx, Group* group, const GroupSettings& set, GroupState& g) {
  const ToolConfig* cfg = ctx->cfg;
  if (!(cfg->produce & PRODUCE_FRM) || g.curve_only) return 0;
  OutputSlot s = slot(ctx, group, 0, OUTPUT_FR_MASTER);
  if (s.keep) return 0;
  int st = build_pattern_variables(&g.vars, cfg, group, &group->master, &group->master, 0);
  if (st != 0) {
    err_printf("  error building pattern variables for master file\n");
  } else if ((st = synthesize_frequency_response(g.work, g.master_profile, set.rank)) != 0) {
    err_printf("  error computing frequrency response for the the master file '%s'\n", text_of(&group->master));
  } else {
    st = save_output(ctx, g, &g.vars, nullptr, &ctx->files_written, s, &g.work, &cfg->ir.fr_master,
                     OUTPUT_FR_MASTER, nullptr, g.rate);
  }
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
  // Every ratio of the IR is limited to the configured range.
  curve_settings_init(set.curve, decibels_to_gain(cfg->gain_range));
  const CurveConfig& c = cfg->ir.curve;
  // Mid and side are not linked: the side's balance is its own.
  set.curve.channel_link = cfg->mid_side ? 0.0f : c.channel_link;
  set.mid_side = cfg->mid_side;
  set.curve.smoothing = c.smoothing;
  set.curve.low_freq = c.low_freq;
  set.curve.high_freq = c.high_freq;
  set.curve.amount = c.amount;
  set.curve.max_boost = c.max_boost.on ? c.max_boost.value : kNoLimit;
  set.curve.max_cut = c.max_cut.on ? c.max_cut.value : kNoLimit;
  set.curve.minimum_phase = c.phase == PHASE_MINIMUM;
  set.curve.sample_rate = rate;
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

// A group of a parallel run: what its children share, its own lines (made
// ahead of its turn and printed at it), and the gate its children wait at
// until its master is ready.
struct ScheduledGroup {
  Group* group;
  const String* name;
  GroupSettings set;
  GroupState g;
  std::mutex gate_lock;
  std::condition_variable gate;
  OutputCapture capture;
  int precheck;          // kGroupRuns, or the status the group ends with at once
  int master_status;     // of loading and profiling the master
  uint64_t report_index; // groups with a record in the report before this one
  uint64_t first_job;    // its children are jobs first_job .. first_job + count - 1
  uint64_t count;
  uint64_t stop_from;    // jobs from this one on do not start (under the run's lock)
  uint64_t report_children;  // children whose records the report keeps
  int failed_status;         // the master's failure at its turn, 0 when none
  const char* failed_why;    // what failed, for the children's records
  bool not_reached;          // the children after those were not reached (a channel mismatch)

  ScheduledGroup()
      : group(nullptr), name(nullptr), set(), precheck(kGroupRuns), master_status(0),
        report_index(0), first_job(0), count(0), stop_from(UINT64_MAX), report_children(UINT64_MAX),
        failed_status(0), failed_why(nullptr), not_reached(false) {
    output_capture_init(&capture);
  }
  ~ScheduledGroup() { output_capture_release(&capture); }
};

// One child of a parallel run.
struct ChildJob {
  ScheduledGroup* sg;
  uint64_t index;  // the child's number in its group, from 1
  ChildState state;
  bool running;    // started and not yet done (under the run's lock)
};

// Runs the children of every group on worker threads. Jobs are taken in
// the run's order (groups in turn, children in turn), each inside its own
// floating-point mode and with its lines captured. The calling thread
// prepares the masters, one group ahead: while the workers finish the
// children of one group it loads and profiles the next group's master (its
// lines captured), so at most two masters are held at a time. At each
// group's turn it prints the group's lines, writes the master's response,
// then prints and settles the children's lines and outcomes in order,
// exactly as one job does: the same lines, counts, report and status.
// Children that had started beyond a point where one job would have
// stopped are finished, but their lines and outcomes are dropped.
struct RunScheduler {
  RunContext* ctx;
  ScheduledGroup* groups;
  uint64_t ngroups;
  ChildJob* jobs;
  uint64_t njobs;
  std::thread* threads;
  unsigned started;
  unsigned wanted;  // workers asked for
  std::mutex lock;
  std::condition_variable changed;
  uint64_t next = 0;       // the next job to take (under lock)
  uint64_t holding = 0;    // jobs taken and not yet done (under lock)
  uint64_t* parked = nullptr;  // loaded jobs waiting for their master, in order (under lock)
  uint64_t parked_count = 0;
  std::atomic<bool> stop{false};

  RunScheduler(RunContext* c)
      : ctx(c), groups(nullptr), ngroups(0), jobs(nullptr), njobs(0), threads(nullptr), started(0), wanted(0) {}

  ~RunScheduler() {
    mem_free(parked);
    for (uint64_t i = 0; jobs && i < njobs; ++i) jobs[i].~ChildJob();
    mem_free(jobs);
    for (uint64_t i = 0; groups && i < ngroups; ++i) groups[i].~ScheduledGroup();
    mem_free(groups);
  }

  // Builds the groups and jobs of the run from the groups' names in order.
  // Returns 0, 5 without memory, or 4 when a listed group cannot be found.
  int plan(const PtrList& names) {
    const ToolConfig* cfg = ctx->cfg;
    groups = static_cast<ScheduledGroup*>(mem_calloc(names.count ? names.count : 1, sizeof(ScheduledGroup)));
    if (!groups) return STATUS_NO_MEMORY;
    for (; ngroups < names.count; ++ngroups) new (&groups[ngroups]) ScheduledGroup();
    uint64_t records = 0;
    for (uint64_t i = 0; i < ngroups; ++i) {
      ScheduledGroup& sg = groups[i];
      sg.name = static_cast<const String*>(names.items[i]);
      if (!sg.name) return STATUS_NO_MEMORY;
      sg.group = static_cast<Group*>(hashmap_get(&cfg->groups, sg.name, nullptr));
      if (!sg.group) return STATUS_SYSTEM;
      sg.precheck = group_precheck(cfg, sg.group, false);
      sg.report_index = records;
      if (sg.precheck != kGroupRuns) continue;
      sg.g.rate = group_rate(cfg, sg.group);
      group_settings(cfg, sg.g.rate, sg.set);
      sg.g.gate_lock = &sg.gate_lock;
      sg.g.gate = &sg.gate;
      sg.g.master_state = kMasterPending;
      if (ctx->report) {
        sg.g.report = report_begin_group(ctx->report, sg.group);
        if (sg.g.report) ++records;
      }
      sg.first_job = njobs;
      sg.count = sg.group->files.count;
      njobs += sg.count;
    }
    jobs = static_cast<ChildJob*>(mem_calloc(njobs ? njobs : 1, sizeof(ChildJob)));
    if (!jobs) return STATUS_NO_MEMORY;
    uint64_t made = 0;
    for (uint64_t i = 0; i < ngroups; ++i) {
      ScheduledGroup& sg = groups[i];
      for (uint64_t k = 0; k < sg.count; ++k, ++made) {
        ChildJob* job = new (&jobs[made]) ChildJob();
        job->sg = &sg;
        job->index = k + 1;
        job->running = false;
        job->state.rc =
            sg.g.report ? report_begin_child(sg.g.report, static_cast<const String*>(sg.group->files.items[k]))
                        : nullptr;
      }
    }
    return 0;
  }

  // Whether group sg's master is ready or failed. Caller holds `lock`.
  static bool decided(ScheduledGroup& sg) {
    std::lock_guard<std::mutex> hold(sg.gate_lock);
    return sg.g.master_state != kMasterPending;
  }

  // Takes job i's outcome. Caller holds `lock`.
  void settle_job(uint64_t i, int st) {
    ChildJob& job = jobs[i];
    ScheduledGroup& sg = *job.sg;
    const bool keep_going = ctx->cfg->keep_going;
    // A failure that one job would stop the run at stops the taking of
    // further children; one that ends only its group (a master that
    // failed, a channel count that differs) stops that group's later
    // children (the earlier ones are needed: they come first).
    if (st != 0 && st != kSkipped && st != kChannelMismatch && st != kAborted && !keep_going) stop.store(true);
    if (st == kAborted) sg.stop_from = sg.first_job;
    if (st == kChannelMismatch && !keep_going && i + 1 < sg.stop_from) sg.stop_from = i + 1;
    job.state.status = st;
    job.state.done = true;
    job.running = false;
    --holding;
  }

  // The place in `parked` of the earliest job in run order whose master is
  // decided, or parked_count when there is none. Children park in the order
  // their loads complete, which need not be the run's: a child of a later
  // group may sit ahead of one the calling thread is waiting for, so the
  // first entry alone is not enough. Caller holds `lock`.
  uint64_t ready_parked() {
    uint64_t pick = parked_count;
    for (uint64_t k = 0; k < parked_count; ++k)
      if ((pick == parked_count || parked[k] < parked[pick]) && decided(*jobs[parked[k]].sg)) pick = k;
    return pick;
  }

  // A worker takes jobs in the run's order. It loads a child while that
  // child's master may still be prepared; if the master is not ready then,
  // the loaded child is parked and the worker loads the next one, as long
  // as no more children are held than there are workers. Parked children
  // are finished first, in order, once their master is ready.
  void work() {
    const DspTable& table = dsp();
    DspFpState fp{};
    table.dsp_start(&fp);
    for (;;) {
      uint64_t i = 0;
      bool loaded = false, quit = false;
      {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
          uint64_t pick = ready_parked();
          if (pick < parked_count) {
            i = parked[pick];
            for (uint64_t k = pick + 1; k < parked_count; ++k) parked[k - 1] = parked[k];
            --parked_count;
            loaded = true;
            break;
          }
          if (!stop.load() && next < njobs && holding < wanted) {
            i = next++;
            ++holding;
            break;
          }
          if ((stop.load() || next >= njobs) && parked_count == 0) {
            quit = true;
            break;
          }
          changed.wait(hold);
        }
        ChildJob& job = jobs[i];
        if (!quit && i >= job.sg->stop_from) {
          // Its group ended before it: not started, or not finished.
          job.state.release_buffers();
          settle_job(i, kAborted);
          hold.unlock();
          changed.notify_all();
          continue;
        }
        if (!quit && !loaded) job.running = true;
      }
      if (quit) break;
      ChildJob& job = jobs[i];
      ScheduledGroup& sg = *job.sg;
      if (!loaded) {
        output_capture_begin(&job.state.capture);
        int st = start_child(ctx, sg.group, job.index, sg.g, job.state);
        output_capture_end();
        bool parked_now = false;
        {
          std::lock_guard<std::mutex> hold(lock);
          if (st != 0) {
            job.state.release_buffers();
            settle_job(i, st);
          } else if (!decided(sg)) {
            parked[parked_count++] = i;
            parked_now = true;
          }
        }
        if (st != 0 || parked_now) {
          changed.notify_all();
          continue;
        }
      }
      output_capture_begin(&job.state.capture);
      const int st = finish_child(ctx, sg.group, job.index, sg.set, sg.g, job.state);
      output_capture_end();
      job.state.release_buffers();
      {
        std::lock_guard<std::mutex> hold(lock);
        settle_job(i, st);
      }
      changed.notify_all();
    }
    table.dsp_finish(&fp);
  }

  // Wakes the workers after a master was decided.
  void wake() {
    { std::lock_guard<std::mutex> hold(lock); }
    changed.notify_all();
  }

  // Starts the workers; with none started the calling thread works the
  // jobs itself at each group's turn. The first master is prepared with
  // one worker fewer: every child needs it, so its preparation gets a
  // processor of its own, and the last worker starts when it is ready.
  void start(unsigned workers) {
    threads = static_cast<std::thread*>(mem_calloc(workers, sizeof(std::thread)));
    parked = static_cast<uint64_t*>(mem_calloc(workers, sizeof(uint64_t)));
    if (!threads || !parked) {
      mem_free(threads);
      threads = nullptr;
      return;
    }
    wanted = workers;
    start_up_to(workers > 1 ? workers - 1 : workers);
  }

  void start_up_to(unsigned count) {
    for (; threads && started < count; ++started) new (&threads[started]) std::thread([this] { work(); });
  }

  // Loads and profiles group k's master ahead of its turn, its lines kept
  // for the turn, and lets its children go on.
  void prepare(uint64_t k) {
    ScheduledGroup& sg = groups[k];
    output_capture_begin(&sg.capture);
    const char* utf8 = string_to_utf8(const_cast<String*>(sg.name));
    out_printf("processing group '%s'...\n", utf8 ? utf8 : "");
    if (sg.precheck != kGroupRuns) {
      (void)group_precheck(ctx->cfg, sg.group, true);
    } else {
      sg.master_status = load_master(ctx, sg.group, sg.set, sg.g);
    }
    output_capture_end();
    if (sg.precheck == kGroupRuns) {
      open_gate(sg.g, sg.master_status == 0 ? kMasterReady : kMasterFailed);
      wake();
    }
  }

  // Group k's turn (prepared before): its lines, its master's response,
  // then its children in order. Returns the group's status, as
  // process_group would.
  int turn(uint64_t k) {
    ScheduledGroup& sg = groups[k];
    output_capture_flush(&sg.capture);
    if (sg.precheck != kGroupRuns) return sg.precheck;
    int st = sg.master_status;
    sg.failed_why = kMasterNotLoaded;
    if (st == 0) {
      st = write_master_response(ctx, sg.group, sg.set, sg.g);
      sg.failed_why = kMasterResponseNotSaved;
    }
    if (st != 0) {
      // The records are settled in finish(), once no child works on them.
      sg.failed_status = st;
      return st;
    }
    if (started == 0) {
      // No threads: the jobs of this group run here, in order.
      for (uint64_t i = 0; i < sg.count; ++i) {
        ChildJob& job = jobs[sg.first_job + i];
        job.state.status = run_child(ctx, sg.group, job.index, sg.set, sg.g, job.state);
        job.state.done = true;
        int group_status = 0;
        if (!settle_child(ctx, static_cast<const String*>(sg.group->files.items[i]), job.state, &group_status)) {
          sg.report_children = i + 1;
          sg.not_reached = job.state.status == kChannelMismatch;
          return group_status;
        }
      }
      return 0;
    }
    for (uint64_t i = 0; i < sg.count; ++i) {
      ChildJob& job = jobs[sg.first_job + i];
      {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return job.state.done; });
      }
      output_capture_flush(&job.state.capture);
      int group_status = 0;
      if (!settle_child(ctx, static_cast<const String*>(sg.group->files.items[i]), job.state, &group_status)) {
        sg.report_children = i + 1;
        sg.not_reached = job.state.status == kChannelMismatch;
        return group_status;
      }
    }
    return 0;
  }

  // After group k's turn: no further child of it starts, the running ones
  // finish, and its master is released. Children after the one the group
  // ended at lose their records only now: until they finished, they could
  // still be writing to them.
  void finish(uint64_t k) {
    ScheduledGroup& sg = groups[k];
    {
      std::unique_lock<std::mutex> hold(lock);
      sg.stop_from = sg.first_job;
      changed.wait(hold, [&] {
        for (uint64_t i = 0; i < sg.count; ++i)
          if (jobs[sg.first_job + i].running) return false;
        return true;
      });
    }
    if (sg.not_reached) report_children_not_reached(sg.g.report, sg.group, sg.report_children + 1);
    else report_keep_children(sg.g.report, sg.report_children);
    if (sg.failed_status != 0) {
      // Children that ran ahead of a master that then failed leave only
      // what one job would: their names and why they did not run.
      for (uint64_t i = 0; i < sg.count; ++i) {
        ReportChild* rc = jobs[sg.first_job + i].state.rc;
        report_child_clear(rc);
        report_child_failed(rc, sg.failed_status, sg.failed_why);
      }
    }
    sample_destroy(sg.g.master);
    streamed_input_close(&sg.g.master_in);
    sample_destroy(sg.g.master_profile);
    sample_destroy(sg.g.work);
  }

  // Stops the workers: gates not yet opened let their waiting children go
  // without a master.
  void join() {
    stop.store(true);
    for (uint64_t k = 0; k < ngroups; ++k) {
      ScheduledGroup& sg = groups[k];
      if (sg.precheck != kGroupRuns) continue;
      bool pending;
      {
        std::lock_guard<std::mutex> hold(sg.gate_lock);
        pending = sg.g.master_state == kMasterPending;
      }
      if (pending) open_gate(sg.g, kMasterFailed);
    }
    wake();
    for (unsigned t = 0; t < started; ++t) {
      threads[t].join();
      threads[t].~thread();
    }
    mem_free(threads);
    threads = nullptr;
    started = 0;
  }

  int run() {
    int st = 0;
    uint64_t k = 0;
    if (ngroups > 0) prepare(0);
    start_up_to(wanted);
    for (; k < ngroups; ++k) {
      if (k + 1 < ngroups) prepare(k + 1);
      st = turn(k);
      finish(k);
      st = group_outcome(ctx, groups[k].name, groups[k].group, st);
      if (st != 0) break;
    }
    join();
    // Groups planned beyond the one the run ended in leave no record.
    if (k + 1 < ngroups) report_keep_groups(ctx->report, groups[k + 1].report_index);
    return st != 0 ? st : ctx->first_failure;
  }
};

// The number of children in the groups that have work, for the number of
// workers a parallel run needs.
uint64_t children_to_run(const ToolConfig* cfg, const PtrList& names) {
  uint64_t n = 0;
  for (uint64_t i = 0; i < names.count; ++i) {
    const String* name = static_cast<const String*>(names.items[i]);
    const Group* group = name ? static_cast<const Group*>(hashmap_get(&cfg->groups, name, nullptr)) : nullptr;
    if (group && group_precheck(cfg, group, false) == kGroupRuns) n += group->files.count;
  }
  return n;
}

int run_children(RunContext* ctx, Group* group, const GroupSettings& set, GroupState& g) {
  const uint64_t n = group->files.count;
  for (uint64_t i = 0; i < n; ++i) {
    const String* child = static_cast<const String*>(group->files.items[i]);
    ChildState c;
    c.rc = g.report ? report_begin_child(g.report, child) : nullptr;
    c.status = run_child(ctx, group, i + 1, set, g, c);
    int group_status = 0;
    if (!settle_child(ctx, child, c, &group_status)) {
      if (c.status == kChannelMismatch) report_children_not_reached(g.report, group, i + 2);
      return group_status;
    }
  }
  return 0;
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

int process_group(RunContext* ctx, Group* group) {
  ToolConfig* cfg = ctx->cfg;
  const int precheck = group_precheck(cfg, group, true);
  if (precheck != kGroupRuns) return precheck;
  GroupSettings set;
  GroupState g;
  g.rate = group_rate(cfg, group);
  group_settings(cfg, g.rate, set);
  if (ctx->report) g.report = report_begin_group(ctx->report, group);
  int st = load_master(ctx, group, set, g);
  const char* why = kMasterNotLoaded;
  if (st == 0) {
    st = write_master_response(ctx, group, set, g);
    why = kMasterResponseNotSaved;
  }
  if (st != 0) {
    // The children go with their master; the report names each of them.
    for (uint64_t i = 0; g.report && i < group->files.count; ++i) {
      const String* child = static_cast<const String*>(group->files.items[i]);
      report_child_failed(report_begin_child(g.report, child), st, why);
    }
    return st;
  }
  return run_children(ctx, group, set, g);
}

int process_all_groups(RunContext* ctx) {
  ToolConfig* cfg = ctx->cfg;
  PtrList names;
  ptrlist_init(&names);
  if (!hashmap_keys(&cfg->groups, &names)) return STATUS_NO_MEMORY;
  keep_selected_groups(cfg, &names);
  const unsigned workers = worker_count(cfg, children_to_run(cfg, names));
  if (workers > 1) {
    RunScheduler run(ctx);
    int st = run.plan(names);
    if (st == 0) {
      run.start(workers);
      st = run.run();
    }
    ptrlist_release(&names);
    return st;
  }
  int st = 0;
  for (uint64_t i = 0; i < names.count && st == 0; ++i) {
    String* name = static_cast<String*>(names.items[i]);
    if (!name) {
      st = STATUS_NO_MEMORY;
      break;
    }
    Group* group = static_cast<Group*>(hashmap_get(&cfg->groups, name, nullptr));
    if (!group) {
      st = STATUS_SYSTEM;
      break;
    }
    const char* utf8 = string_to_utf8(name);
    out_printf("processing group '%s'...\n", utf8 ? utf8 : "");
    st = process_group(ctx, group);
    st = group_outcome(ctx, name, group, st);
  }
  ptrlist_release(&names);
  return st != 0 ? st : ctx->first_failure;
}
