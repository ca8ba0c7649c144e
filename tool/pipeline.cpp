#include "tool/pipeline.h"

#include <cmath>
#include <cstdio>

#include "analysis/ir_synthesis.h"
#include "analysis/mix.h"
#include "analysis/profile.h"
#include "analysis/sample.h"
#include "analysis/trim.h"
#include "expr/variables.h"
#include "runtime/hash_map.h"
#include "runtime/ptrlist.h"
#include "runtime/status.h"
#include "tool/naming.h"
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
  Variables vars;

  GroupState() {
    sample_init(master);
    sample_init(master_profile);
    sample_init(work);
    sample_init(child);
    sample_init(child_profile);
    sample_init(raw);
    sample_init(output);
  }
  void release_child() {
    sample_destroy(child);
    sample_destroy(child_profile);
    sample_destroy(raw);
    sample_destroy(output);
  }
  ~GroupState() {
    release_child();
    sample_destroy(master);
    sample_destroy(master_profile);
    sample_destroy(work);
  }
};

// Writes `buffer` at the run's sample rate under `templ`.
int save_at_run_rate(ToolConfig* cfg, Sample* buffer, const String* templ, Variables* vars) {
  buffer->sample_rate = cfg->srate;
  return save_output_file(buffer, &cfg->dst_path, templ, vars);
}

// The per-child part of the group: steps from building the variables to
// writing the processed audio. Returns 0, a status, or kChannelMismatch.
constexpr int kChannelMismatch = -1;

struct GroupSettings {
  unsigned rank;
  float dry, wet, peak, gain_cap;
};

int process_child(ToolConfig* cfg, Group* group, const String* child_name, const GroupSettings& set,
                  GroupState& g) {
  const uint64_t produce = cfg->produce;
  int st = build_pattern_variables(&g.vars, cfg, group, &group->master, child_name);
  if (st != 0) {
    std::fprintf(stderr, "  error building pattern variables for child file\n");
    return st;
  }
  st = load_input_file(&g.child, cfg->srate, cfg, child_name);
  if (st != 0) return st;
  if (g.child.channels != g.master.channels) {
    std::fprintf(stderr, "  number of channels mimatch: %d (master) vs %d (child), leaving\n",
                static_cast<int>(g.master.channels), static_cast<int>(g.child.channels));
    return kChannelMismatch;
  }
  st = compute_profile(g.child_profile, g.child, set.rank);
  if (st != 0) {
    std::fprintf(stderr, "  error computing spectral profile for the child file '%s'\n",
                 text_of(child_name));
    return st;
  }
  if (produce & PRODUCE_FRC) {
    st = synthesize_frequency_response(g.work, g.child_profile, set.rank);
    if (st != 0) {
      std::fprintf(stderr, "  error computing frequrency response for the the child file '%s'\n",
                   text_of(child_name));
      return st;
    }
    st = save_at_run_rate(cfg, &g.work, &cfg->ir.fr_child, &g.vars);
    if (st != 0) return st;
  }
  // Normal mode maps the master onto the child's timbre; mastering mode
  // maps the child onto the master's.
  const Sample* reference = cfg->mastering ? &g.child_profile : &g.master_profile;
  const Sample* target = cfg->mastering ? &g.master_profile : &g.child_profile;
  st = synthesize_ir(g.raw, *reference, *target, set.rank, set.gain_cap);
  if (st != 0) {
    std::fprintf(stderr, "  error computing raw impulse response for the child file '%s'\n",
                 text_of(child_name));
    return st;
  }
  if (produce & PRODUCE_RAW) {
    st = save_at_run_rate(cfg, &g.raw, &cfg->ir.raw, &g.vars);
    if (st != 0) return st;
  }
  if (!(produce & (PRODUCE_IR | PRODUCE_AUDIO))) return 0;

  int64_t delay = 0;
  TrimSettings trim{cfg->ir.trim.head_cut, cfg->ir.trim.tail_cut, cfg->ir.trim.fade_in,
                    cfg->ir.trim.fade_out};
  st = trim_ir(g.work, delay, g.raw, trim);
  if (st != 0) {
    std::fprintf(stderr, "  error trimming impulse response, error code: %d\n", st);
    return st;
  }
  if (produce & PRODUCE_IR) {
    st = save_at_run_rate(cfg, &g.work, &cfg->ir.file, &g.vars);
    if (st != 0) return st;
  }
  if (!(produce & PRODUCE_AUDIO)) return 0;

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
  return save_at_run_rate(cfg, &g.output, &cfg->file, &g.vars);
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

int process_group(ToolConfig* cfg, Group* group) {
  GroupSettings set;
  set.rank = effective_fft_rank(cfg->fft_rank);
  set.dry = mix_gain(cfg->dry);
  set.wet = mix_gain(cfg->wet);
  set.peak = decibels_to_gain(cfg->norm_gain);
  // Where the reference spectrum has no energy the IR gain is limited to
  // the configured range instead of becoming infinite.
  set.gain_cap = decibels_to_gain(cfg->gain_range);

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
  int st = load_input_file(&g.master, cfg->srate, cfg, &group->master);
  if (st != 0) return st;
  st = compute_profile(g.master_profile, g.master, set.rank);
  if (st != 0) {
    std::fprintf(stderr, "  error computing spectral profile for the master file '%s'\n",
                 text_of(&group->master));
    return st;
  }
  if (cfg->produce & PRODUCE_FRM) {
    st = build_pattern_variables(&g.vars, cfg, group, &group->master, &group->master);
    if (st != 0) {
      std::fprintf(stderr, "  error building pattern variables for master file\n");
      return st;
    }
    st = synthesize_frequency_response(g.work, g.master_profile, set.rank);
    if (st != 0) {
      std::fprintf(stderr, "  error computing frequrency response for the the master file '%s'\n",
                   text_of(&group->master));
      return st;
    }
    st = save_at_run_rate(cfg, &g.work, &cfg->ir.fr_master, &g.vars);
    if (st != 0) return st;
  }

  for (uint64_t i = 0; i < group->files.count; ++i) {
    const String* child = static_cast<const String*>(group->files.items[i]);
    if (!child) {
      std::fprintf(stderr, "  internal error\n");
      return STATUS_SYSTEM;
    }
    st = process_child(cfg, group, child, set, g);
    g.release_child();
    if (st == kChannelMismatch) return 0;
    if (st != 0) return st;
  }
  return 0;
}

int process_groups(ToolConfig* cfg) {
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
    st = process_group(cfg, group);
  }
  ptrlist_release(&names);
  return st;
}
