#include "tool/pipeline.h"

#include <cmath>
#include <cstdio>

#include "analysis/curve_shape.h"
#include "analysis/ir_synthesis.h"
#include "analysis/mix.h"
#include "analysis/profile.h"
#include "analysis/sample.h"
#include "analysis/trim.h"
#include "expr/variables.h"
#include "report/run_report.h"
#include "runtime/hash_map.h"
#include "runtime/ptrlist.h"
#include "runtime/status.h"
#include "tool/delivery.h"
#include "tool/naming.h"
#include "tool/report_fill.h"
#include "tool/run_plan.h"
#include "tool/tool_config.h"

namespace {

const char* text_of(String* s) {
  const char* t = string_to_locale(s);
  return t ? t : "";
}

// Message argument for a name held read-only by the configuration: the
// conversion cache of a String is scratch space, not content.
const char* text_of(const String* s) { return text_of(const_cast<String*>(s)); }

// Buffers of one group, released together on every exit path.
struct GroupState {
  Sample master, master_profile, work;
  Sample child, child_profile, raw, output;
  CurveTrace trace;
  Variables vars;
  ReportGroup* report;  // null without a report
  uint64_t rate;        // the group's processing rate

  GroupState() : report(nullptr), rate(0) {
    sample_init(master);
    sample_init(master_profile);
    sample_init(work);
    sample_init(child);
    sample_init(child_profile);
    sample_init(raw);
    sample_init(output);
    curve_trace_init(trace);
  }
  void release_child() {
    sample_destroy(child);
    sample_destroy(child_profile);
    sample_destroy(raw);
    sample_destroy(output);
    curve_trace_destroy(trace);
  }
  ~GroupState() {
    release_child();
    sample_destroy(master);
    sample_destroy(master_profile);
    sample_destroy(work);
  }
};

// The per-child part of the group: steps from building the variables to
// writing the processed audio. Returns 0, a status, or kChannelMismatch.
constexpr int kChannelMismatch = -1;

struct GroupSettings {
  unsigned rank;
  float dry, wet, peak;
  CurveSettings curve;
  bool shaped;        // a curve setting is on: the shaped synthesis runs
  bool deliver;       // a loudness or true-peak setting is on
};

// One output of one child (or the master's response, child 0).
struct OutputSlot {
  const PlannedFile* planned;  // null without a plan
  bool keep;                   // skip_existing and the file exists: not written again
};

OutputSlot slot(const RunContext* ctx, const Group* group, uint64_t child, OutputKind kind) {
  OutputSlot s{nullptr, false};
  if (ctx->plan) s.planned = run_plan_find(ctx->plan, group, child, kind);
  if (ctx->cfg->skip_existing && s.planned && run_plan_file_exists(s.planned)) {
    s.keep = true;
    std::printf("  kept existing file: '%s'\n", text_of(&s.planned->path));
  }
  return s;
}

// Writes `buffer` at the group's rate under `templ`, unless the slot keeps
// the existing file; counts and reports what was written.
int save_output(RunContext* ctx, GroupState& g, ReportChild* rc, const OutputSlot& s, Sample* buffer,
                const String* templ, OutputKind kind, const SaveOptions* options) {
  if (s.keep) return 0;
  buffer->sample_rate = g.rate;
  int st = save_output_file_as(buffer, &ctx->cfg->dst_path, templ, &g.vars, options);
  if (st != 0) return st;
  ++ctx->files_written;
  if (ctx->report && s.planned) report_add_written(ctx, g.report, rc, kind, &s.planned->path);
  return 0;
}

int process_child(RunContext* ctx, Group* group, uint64_t index, const GroupSettings& set, GroupState& g,
                  ReportChild* rc) {
  ToolConfig* cfg = ctx->cfg;
  const String* child_name = static_cast<const String*>(group->files.items[index - 1]);
  const uint64_t produce = cfg->produce;
  int st = build_pattern_variables(&g.vars, cfg, group, &group->master, child_name, index);
  if (st != 0) {
    std::fprintf(stderr, "  error building pattern variables for child file\n");
    return st;
  }
  st = load_input_file(&g.child, g.rate, cfg, child_name);
  if (st != 0) return st;
  if (rc) report_fill_audio(&rc->input, nullptr, g.child, nullptr);
  if (g.child.channels != g.master.channels) {
    std::fprintf(stderr, "  number of channels mimatch: %d (master) vs %d (child), leaving\n",
                 static_cast<int>(g.master.channels), static_cast<int>(g.child.channels));
    return kChannelMismatch;
  }
  st = cfg->gate.on ? compute_profile_gated(g.child_profile, g.child, set.rank, cfg->gate.value)
                    : compute_profile(g.child_profile, g.child, set.rank);
  if (st != 0) {
    std::fprintf(stderr, "  error computing spectral profile for the child file '%s'\n", text_of(child_name));
    return st;
  }
  if (rc) report_fill_spectrum(&rc->spectrum, g.child_profile, g.rate);
  if (produce & PRODUCE_FRC) {
    OutputSlot s = slot(ctx, group, index, OUTPUT_FR_CHILD);
    if (!s.keep) {
      st = synthesize_frequency_response(g.work, g.child_profile, set.rank);
      if (st != 0) {
        std::fprintf(stderr, "  error computing frequrency response for the the child file '%s'\n",
                     text_of(child_name));
        return st;
      }
      st = save_output(ctx, g, rc, s, &g.work, &cfg->ir.fr_child, OUTPUT_FR_CHILD, nullptr);
      if (st != 0) return st;
    }
  }
  // Normal mode maps the master onto the child's timbre; mastering mode
  // maps the child onto the master's.
  const Sample* reference = cfg->mastering ? &g.child_profile : &g.master_profile;
  const Sample* target = cfg->mastering ? &g.master_profile : &g.child_profile;
  // The shaped synthesis gives the plain filter bit for bit when shaping is
  // off; it also runs then when a report wants the curves.
  if (set.shaped || rc) {
    st = synthesize_ir_shaped(g.raw, *reference, *target, set.rank, set.curve, rc ? &g.trace : nullptr);
  } else {
    st = synthesize_ir(g.raw, *reference, *target, set.rank, set.curve.gain_cap);
  }
  if (st != 0) {
    std::fprintf(stderr, "  error computing raw impulse response for the child file '%s'\n",
                 text_of(child_name));
    return st;
  }
  if (rc) report_fill_curves(rc, g.trace, g.rate, set.rank);
  if (produce & PRODUCE_RAW) {
    st = save_output(ctx, g, rc, slot(ctx, group, index, OUTPUT_RAW_IR), &g.raw, &cfg->ir.raw, OUTPUT_RAW_IR,
                     nullptr);
    if (st != 0) return st;
  }
  if (!(produce & (PRODUCE_IR | PRODUCE_AUDIO))) return 0;

  int64_t delay = 0;
  TrimSettings trim{cfg->ir.trim.head_cut, cfg->ir.trim.tail_cut, cfg->ir.trim.fade_in,
                    cfg->ir.trim.fade_out};
  // A minimum-phase filter starts at its first tap: its latency counts
  // from there, and the dry signal is not delayed.
  st = set.curve.minimum_phase ? trim_ir_from(g.work, delay, g.raw, trim, 0) : trim_ir(g.work, delay, g.raw, trim);
  if (st != 0) {
    std::fprintf(stderr, "  error trimming impulse response, error code: %d\n", st);
    return st;
  }
  if (rc) report_child_set_latency(rc, delay, static_cast<int64_t>(g.rate));
  if (produce & PRODUCE_IR) {
    st = save_output(ctx, g, rc, slot(ctx, group, index, OUTPUT_IR), &g.work, &cfg->ir.file, OUTPUT_IR, nullptr);
    if (st != 0) return st;
  }
  if (!(produce & PRODUCE_AUDIO)) return 0;
  OutputSlot audio = slot(ctx, group, index, OUTPUT_AUDIO);
  if (audio.keep) return 0;

  const Sample* input = cfg->mastering ? &g.child : &g.master;
  st = convolve_mix(g.output, *input, g.work, delay, set.dry, set.wet);
  if (st != 0) {
    std::fprintf(stderr,
                 "  error convolving trimmed impulse response with master file, error code: %d\n", st);
    return st;
  }
  st = normalize(g.output, static_cast<int>(cfg->normalize), set.peak);
  if (st != 0) {
    std::fprintf(stderr, "  error normalizing output audio file, error code: %d\n", st);
    return st;
  }
  if (cfg->latency_compensation) compensate_latency(g.output, delay);
  if (cfg->match_length) {
    (void)sample_resize(g.output, g.output.channels, input->length, input->length);
  }
  g.output.sample_rate = g.rate;
  LoudnessReport loudness;
  loudness_report_init(&loudness);
  if (set.deliver) {
    // The output takes the loudness of the file whose timbre it takes.
    const Sample* timbre = cfg->mastering ? &g.master : &g.child;
    st = deliver_loudness(cfg, &g.output, timbre, &loudness);
    if (st != 0) return st;
  }
  SaveOptions options;
  save_options_from_config(&options, cfg);
  st = save_output(ctx, g, rc, audio, &g.output, &cfg->file, OUTPUT_AUDIO, &options);
  if (st != 0) return st;
  warn_overs(audio.planned ? &audio.planned->path : nullptr, g.output, options);
  if (rc) report_fill_output(rc, g.output, audio.planned, loudness, options);
  return 0;
}

// A failure of a child (or group) kept going past: counted, reported, and
// remembered as the run's status when it is the first.
void note_failure(RunContext* ctx, int st) {
  if (ctx->first_failure == 0) ctx->first_failure = st;
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
  ctx->files_written = 0;
  ctx->children_failed = 0;
  ctx->children_skipped = 0;
  ctx->first_failure = 0;
}

int process_group(RunContext* ctx, Group* group) {
  ToolConfig* cfg = ctx->cfg;
  GroupSettings set;
  set.rank = effective_fft_rank(cfg->fft_rank);
  set.dry = mix_gain(cfg->dry);
  set.wet = mix_gain(cfg->wet);
  set.peak = decibels_to_gain(cfg->norm_gain);
  // Every ratio of the IR is limited to the configured range.
  curve_settings_init(set.curve, decibels_to_gain(cfg->gain_range));
  const CurveConfig& c = cfg->ir.curve;
  set.curve.channel_link = c.channel_link;
  set.curve.smoothing = c.smoothing;
  set.curve.low_freq = c.low_freq;
  set.curve.high_freq = c.high_freq;
  set.curve.amount = c.amount;
  set.curve.max_boost = c.max_boost;
  set.curve.max_cut = c.max_cut;
  set.curve.minimum_phase = c.phase == PHASE_MINIMUM;
  set.shaped = !curve_shaping_off(set.curve);
  set.deliver = cfg->loudness.on || cfg->match_loudness || cfg->true_peak.on;

  if (group->master.length == 0) {
    std::printf("  group '%s' does not have master file, skipping\n", text_of(&group->name));
    return 0;
  }
  if (cfg->produce == 0) return 0;
  if (!(cfg->produce & PRODUCE_FRM) && group->files.count == 0) {
    std::printf("  group '%s' does not have any child files, skipping\n", text_of(&group->name));
    return 0;
  }

  GroupState g;
  g.rate = cfg->srate_source ? group->rate : cfg->srate;
  if (ctx->report) g.report = report_begin_group(ctx->report, group);
  int st = load_input_file(&g.master, g.rate, cfg, &group->master);
  if (st != 0) {
    report_group_failed(g.report, st);
    return st;
  }
  set.curve.sample_rate = g.rate;
  if (g.report) report_fill_audio(&g.report->master, nullptr, g.master, nullptr);
  st = cfg->gate.on ? compute_profile_gated(g.master_profile, g.master, set.rank, cfg->gate.value)
                    : compute_profile(g.master_profile, g.master, set.rank);
  if (st != 0) {
    std::fprintf(stderr, "  error computing spectral profile for the master file '%s'\n",
                 text_of(&group->master));
    report_group_failed(g.report, st);
    return st;
  }
  if (g.report) report_fill_spectrum(&g.report->spectrum, g.master_profile, g.rate);
  if (cfg->produce & PRODUCE_FRM) {
    OutputSlot s = slot(ctx, group, 0, OUTPUT_FR_MASTER);
    if (!s.keep) {
      st = build_pattern_variables(&g.vars, cfg, group, &group->master, &group->master, 0);
      if (st != 0) {
        std::fprintf(stderr, "  error building pattern variables for master file\n");
        report_group_failed(g.report, st);
        return st;
      }
      st = synthesize_frequency_response(g.work, g.master_profile, set.rank);
      if (st != 0) {
        std::fprintf(stderr, "  error computing frequrency response for the the master file '%s'\n",
                     text_of(&group->master));
        report_group_failed(g.report, st);
        return st;
      }
      st = save_output(ctx, g, nullptr, s, &g.work, &cfg->ir.fr_master, OUTPUT_FR_MASTER, nullptr);
      if (st != 0) {
        report_group_failed(g.report, st);
        return st;
      }
    }
  }

  for (uint64_t i = 0; i < group->files.count; ++i) {
    const String* child = static_cast<const String*>(group->files.items[i]);
    if (!child) {
      std::fprintf(stderr, "  internal error\n");
      return STATUS_SYSTEM;
    }
    ReportChild* rc = g.report ? report_begin_child(g.report, child) : nullptr;
    if (cfg->skip_existing && ctx->plan && run_plan_child_done(ctx->plan, group, i + 1)) {
      std::printf("  skipping child '%s': all its outputs exist\n", text_of(child));
      ++ctx->children_skipped;
      report_child_skipped(rc, "all outputs exist");
      continue;
    }
    st = process_child(ctx, group, i + 1, set, g, rc);
    g.release_child();
    if (st == kChannelMismatch) {
      report_child_failed(rc, 0, "number of channels differs from the master's");
      // With keep_going only this child is skipped; otherwise the rest of
      // the group is.
      if (cfg->keep_going) {
        ++ctx->children_skipped;
        continue;
      }
      return 0;
    }
    if (st != 0) {
      report_child_failed(rc, st, nullptr);
      if (!cfg->keep_going) return st;
      std::fprintf(stderr, "  skipping child '%s' after error %d\n", text_of(child), st);
      ++ctx->children_failed;
      note_failure(ctx, st);
    }
  }
  return 0;
}

int process_all_groups(RunContext* ctx) {
  ToolConfig* cfg = ctx->cfg;
  PtrList names;
  ptrlist_init(&names);
  if (!hashmap_keys(&cfg->groups, &names)) return STATUS_NO_MEMORY;
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
    std::printf("processing group '%s'...\n", utf8 ? utf8 : "");
    st = process_group(ctx, group);
    if (st != 0 && cfg->keep_going) {
      // The group's master failed: the whole group is skipped.
      std::fprintf(stderr, "  skipping group '%s' after error %d\n", text_of(name), st);
      ctx->children_failed += group->files.count;
      note_failure(ctx, st);
      st = 0;
    }
  }
  ptrlist_release(&names);
  return st != 0 ? st : ctx->first_failure;
}
