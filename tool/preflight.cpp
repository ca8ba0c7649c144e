#include "tool/preflight.h"

#include <cstdio>

#include "audio/sample_file.h"
#include "runtime/alloc.h"
#include "runtime/output.h"
#include "runtime/path.h"
#include "runtime/status.h"
#include "tool/naming.h"
#include "tool/run_plan.h"
#include "tool/shard.h"
#include "tool/tool_config.h"

namespace {

const char* text_of(const String* s) {
  const char* t = string_to_message(const_cast<String*>(s));
  return t ? t : "";
}

// With skip_existing, which children the run passes over because all their
// outputs are up to date (run_plan_child_done), for every input at once in
// one walk of the outputs: per input, bit 1 when it has an output of its
// own, bit 2 when one of them is not up to date. Null when memory runs out.
uint8_t* children_done(const RunPlan* plan) {
  uint8_t* marks = static_cast<uint8_t*>(mem_calloc(plan->inputs.count ? plan->inputs.count : 1, 1));
  if (!marks) return nullptr;
  for (uint64_t i = 0; i < plan->outputs.count; ++i) {
    const PlannedFile* f = static_cast<const PlannedFile*>(plan->outputs.items[i]);
    if (!f->source || f->child == 0 || f->kind == OUTPUT_FR_MASTER) continue;
    uint8_t& mark = marks[f->source->position];
    if (mark & 2) continue;
    mark |= run_plan_output_current(plan, f) ? 1 : 3;
  }
  return marks;
}

// Whether the run will load `in`: an audio input (of a group) of a group
// that runs in this process, and not a child that is passed over because
// all its outputs are up to date (`done`: children_done, or null without
// skip_existing).
bool will_load(const ToolConfig* cfg, const uint8_t* done, const PlannedFile* in) {
  if (!in->group || !group_selected(cfg, in->group)) return false;
  return !(done && in->child > 0 && done[in->position] == 1);
}

// Asks the header of the file at `path` into `h`. 0, or 5 when memory runs
// out (then `h` says so too).
int read_header(String* path, InputHeader* h) {
  char cause[256] = "";
  AudioFormat format{};
  mem_free(h->cause);
  *h = InputHeader{};
  h->checked = true;
  h->status = sample_read_header(*path, &format, cause, sizeof cause);
  // Memory that runs out is the run's failure, not the file's.
  if (h->status == STATUS_NO_MEMORY) return STATUS_NO_MEMORY;
  if (h->status == STATUS_OK) {
    h->rate = static_cast<uint32_t>(format.sample_rate);
    h->channels = static_cast<uint32_t>(format.channels);
    h->frames = format.frames;
  } else if (cause[0] && !(h->cause = mem_strdup(cause))) {
    return STATUS_NO_MEMORY;
  }
  return 0;
}

// A header of the same file taken for another input. 0 or 5.
int copy_header(InputHeader* to, const InputHeader& from) {
  mem_free(to->cause);
  *to = from;
  to->cause = nullptr;
  if (from.cause && !(to->cause = mem_strdup(from.cause))) return STATUS_NO_MEMORY;
  return 0;
}

// The header of `in` into `h`: from `known` when it holds its path, else
// asked.
int take_header(const PlannedFile* in, const HeaderCache* known, InputHeader* h) {
  if (known && known->headers.count > 0) {
    char* utf8 = path_to_utf8(&in->path);
    if (!utf8) return STATUS_NO_MEMORY;
    const InputHeader* had = static_cast<const InputHeader*>(hashmap_get(&known->headers, utf8, nullptr));
    mem_free(utf8);
    if (had) return copy_header(h, *had);
  }
  // The plan's path is read only: its code points are read through a view
  // of them, whose conversion is freed here.
  String view = in->path;
  view.cache = nullptr;
  const int st = read_header(&view, h);
  string_clear(&view);
  return st;
}

// The lines of the load at a file that cannot be opened.
void print_refusal(const PlannedFile* in, const InputHeader& h) {
  print_read_error(const_cast<String*>(&in->path), h.status);
  if (h.cause) err_printf("  %s\n", h.cause);
}

// The rate the run loads `in` at: the group's (the run's, or its master's
// with `srate: source`), or 0 for a child that keeps its own.
uint64_t load_rate(const ToolConfig* cfg, const PlannedFile* in) {
  if (cfg->srate_child && in->child > 0) return 0;
  return cfg->srate_source || cfg->srate_child ? in->group->rate : cfg->srate;
}

// Whether the load refuses the rate `own` of `in` (opened).
bool rate_refused(const ToolConfig* cfg, const PlannedFile* in, uint64_t own) {
  const uint64_t rate = load_rate(cfg, in);
  return own < kMinInputRate || (rate != 0 && (own > rate * kMaxRateRatio || own * kMaxRateRatio < rate));
}

// The finding of one checked input `in` (header `h`) as the dry run words
// it, into `out` (`size` bytes): an empty text when there is none.
// `master` is the group's master (null when it has none).
void preflight_note(const RunPlan* plan, const ToolConfig* cfg, const PlannedFile* master, const PlannedFile* in,
                    const InputHeader& h, char* out, uint64_t size) {
  out[0] = 0;
  if (!h.checked || h.status != 0) return;
  const auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  const char* what = cfg->keep_going ? "the run skips this child" : "the run leaves the group at this child";
  // As the load checks the rate, before anything else.
  const uint64_t rate = load_rate(cfg, in);
  if (h.rate < kMinInputRate) {
    std::snprintf(out, size,
                  "file '%s' has the sample rate %llu Hz, below the lowest supported rate of %llu Hz; the run "
                  "refuses it (%d)",
                  text_of(&in->path), n(h.rate), n(kMinInputRate), STATUS_UNSUPPORTED);
    return;
  }
  if (rate != 0 && (h.rate > rate * kMaxRateRatio || h.rate * kMaxRateRatio < rate)) {
    std::snprintf(out, size,
                  "file '%s' has the sample rate %llu Hz, more than a factor of %llu from the run's sample rate of "
                  "%llu Hz; the run refuses it (%d)",
                  text_of(&in->path), n(h.rate), n(kMaxRateRatio), n(rate), STATUS_UNSUPPORTED);
    return;
  }
  // Then, for a child, the channels as the child is matched to its master.
  if (in->child == 0) return;
  const InputHeader* m = master ? run_plan_header(plan, master) : nullptr;
  const bool usable_master = m && m->checked && m->status == 0;
  if (master && (!usable_master || rate_refused(cfg, master, m->rate))) return;  // the group ends before its children
  if (cfg->mid_side) {
    const bool master_odd = usable_master && m->channels != 2;
    const PlannedFile* odd = master_odd ? master : h.channels != 2 ? in : nullptr;
    if (odd)
      std::snprintf(out, size, "mid/side needs two channels: '%s' has %llu; %s", text_of(&odd->path),
                    n(master_odd ? m->channels : h.channels), what);
    if (odd) return;
  }
  if (!usable_master || h.channels == m->channels) return;
  if (cfg->mastering && (m->channels == 1 || h.channels == 1)) return;
  std::snprintf(out, size, "channels differ: '%s' has %llu, its master '%s' has %llu; %s", text_of(&in->path),
                n(h.channels), text_of(&master->path), n(m->channels), what);
}

}  // namespace

void header_cache_init(HeaderCache* cache) { hashmap_init_cstr(&cache->headers); }

void header_cache_release(HeaderCache* cache) {
  // The nodes are walked in place: freeing must not need memory.
  const HashMap& map = cache->headers;
  for (uint64_t b = 0; b < map.size; ++b) {
    for (HashMapNode* node = map.buckets[b].first; node; node = node->next) {
      InputHeader* h = static_cast<InputHeader*>(node->value);
      mem_free(h->cause);
      mem_free(h);
    }
  }
  hashmap_clear(&cache->headers);
}

int header_cache_read(HeaderCache* cache, const ToolConfig* cfg, const String* name, const InputHeader** header) {
  String path;
  string_init(&path);
  int st = resolve_input_path(&path, cfg, name);
  char* utf8 = st == 0 ? path_to_utf8(&path) : nullptr;
  if (st == 0 && !utf8) st = STATUS_NO_MEMORY;
  InputHeader* h = nullptr;
  if (st == 0 && !(h = static_cast<InputHeader*>(hashmap_get(&cache->headers, utf8, nullptr)))) {
    h = static_cast<InputHeader*>(mem_calloc(1, sizeof(InputHeader)));
    st = h ? read_header(&path, h) : STATUS_NO_MEMORY;
    if (st == 0 && !hashmap_add(&cache->headers, utf8, h)) st = STATUS_NO_MEMORY;
    if (st != 0 && h) {
      mem_free(h->cause);
      mem_free(h);
      h = nullptr;
    }
  }
  if (st == 0) *header = h;
  mem_free(utf8);
  string_free(&path);
  return st;
}

int run_preflight(RunPlan* plan, const ToolConfig* cfg, const HeaderCache* known, int* kept_going) {
  *kept_going = 0;
  int st = run_plan_keep_headers(plan);
  if (st != 0) return st;
  // The inputs to load in the run's order; the first of each file is asked,
  // the others take its answer. Its place is kept in an open-addressed
  // table (position + 1; 0 free) under the plan's own identity of a file.
  const uint64_t n = plan->inputs.count;
  uint64_t size = 16;
  while (size < n + n / 2) size *= 2;
  uint32_t* slots = static_cast<uint32_t*>(mem_calloc(size, sizeof(uint32_t)));
  uint8_t* done = slots && cfg->skip_existing ? children_done(plan) : nullptr;
  if (!slots || (cfg->skip_existing && !done)) {
    mem_free(slots);
    return STATUS_NO_MEMORY;
  }
  for (uint64_t i = 0; i < n && st == 0; ++i) {
    const PlannedFile* in = static_cast<const PlannedFile*>(plan->inputs.items[i]);
    if (!will_load(cfg, done, in)) continue;
    uint64_t at = run_plan_file_hash(in) & (size - 1);
    while (slots[at] != 0 &&
           !run_plan_same_file(static_cast<const PlannedFile*>(plan->inputs.items[slots[at] - 1]), in))
      at = (at + 1) & (size - 1);
    if (slots[at] != 0) {
      st = copy_header(&plan->headers[i], plan->headers[slots[at] - 1]);
    } else {
      slots[at] = static_cast<uint32_t>(i + 1);
      st = take_header(in, known, &plan->headers[i]);
    }
  }
  mem_free(done);
  mem_free(slots);
  if (st != 0) return st;

  // Refusals in the run's order. A group whose master (or a further
  // reference) fails is passed over whole, as the run passes it over.
  const Group* passed_over = nullptr;
  for (uint64_t i = 0; i < n; ++i) {
    const PlannedFile* in = static_cast<const PlannedFile*>(plan->inputs.items[i]);
    const InputHeader& h = plan->headers[i];
    if (!h.checked || h.status == 0 || in->group == passed_over) continue;
    if (!cfg->keep_going) {
      print_refusal(in, h);
      return h.status;
    }
    if (*kept_going == 0) *kept_going = h.status;
    if (!cfg->dry_run) continue;
    print_refusal(in, h);
    if (in->child == 0) {
      err_printf("  skipping group '%s' after error %d\n", text_of(&in->group->name), h.status);
      passed_over = in->group;
    } else {
      const String* name = static_cast<const String*>(in->group->files.items[in->child - 1]);
      err_printf("  skipping child '%s' after error %d\n", text_of(name), h.status);
    }
  }
  // Without a dry run the run itself meets these files and says so.
  if (!cfg->dry_run) *kept_going = 0;
  return 0;
}

bool preflight_group_ends_at(const RunPlan* plan, const ToolConfig* cfg, const PlannedFile* master,
                             const PlannedFile* child) {
  const InputHeader* h = run_plan_header(plan, child);
  if (cfg->keep_going || !h || child->child == 0 || rate_refused(cfg, child, h->rate)) return false;
  char note[1024];
  preflight_note(plan, cfg, master, child, *h, note, sizeof note);
  return note[0] != 0;
}

void print_preflight_notes(const RunPlan* plan, const ToolConfig* cfg) {
  char note[1024];
  const Group* group = nullptr;
  const PlannedFile* master = nullptr;
  bool ended = false;  // the run leaves the group at an earlier child
  for (uint64_t i = 0; i < plan->inputs.count; ++i) {
    const PlannedFile* in = static_cast<const PlannedFile*>(plan->inputs.items[i]);
    const InputHeader* h = run_plan_header(plan, in);
    if (!in->group || !h) continue;
    if (in->group != group) {
      group = in->group;
      master = in->child == 0 ? in : nullptr;
      ended = false;
    }
    if (ended) continue;
    preflight_note(plan, cfg, master, in, *h, note, sizeof note);
    if (!note[0]) continue;
    err_printf("[WRN] %s\n", note);
    // Without going on, the children after a mismatch are not reached.
    ended = !cfg->keep_going && in->child > 0 && !rate_refused(cfg, in, h->rate);
  }
}

const InputHeader* preflight_input_header(const RunPlan* plan, const Group* group, uint64_t child) {
  if (!plan || !plan->headers) return nullptr;
  uint64_t from, to;
  run_plan_group_range(plan, group, false, &from, &to);
  for (uint64_t i = from; i < to; ++i) {
    const PlannedFile* in = static_cast<const PlannedFile*>(plan->inputs.items[i]);
    if (in->group == group && in->child == child) return run_plan_header(plan, in);
  }
  return nullptr;
}
