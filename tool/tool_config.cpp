#include "tool/tool_config.h"

#include <cstring>

#include "runtime/alloc.h"
#include "runtime/status.h"

const char* const TOOLCONFIG_DEFAULT_FILE = "${master_name}/${file_name} - processed.wav";
const char* const TOOLCONFIG_DEFAULT_IR_FILE = "${master_name}/${file_name} - IR.wav";
const char* const TOOLCONFIG_DEFAULT_IR_RAW = "${master_name}/${file_name} - Raw IR.wav";
const char* const TOOLCONFIG_DEFAULT_FR_MASTER = "${master_name}/${file_name} - FR Master.wav";
const char* const TOOLCONFIG_DEFAULT_FR_CHILD = "${master_name}/${file_name} - FR Child.wav";

static bool set_text(String* s, const char* text) { return string_from_latin1(s, text, std::strlen(text)); }

int toolconfig_init(ToolConfig* cfg) {
  string_init(&cfg->src_path);
  string_init(&cfg->dst_path);
  string_init(&cfg->file);
  cfg->srate = 48000;
  cfg->fft_rank = 12;
  cfg->produce = PRODUCE_ALL;
  cfg->gain_range = 48.0f;
  cfg->dry = -1000.0f;
  cfg->wet = 0.0f;
  cfg->mastering = false;
  cfg->normalize = NORMALIZE_NONE;
  cfg->norm_gain = 0.0f;
  cfg->latency_compensation = false;
  cfg->match_length = false;
  cfg->ir.trim = IrTrimSettings{0.0f, 0.0f, 0.0f, 0.0f};
  string_init(&cfg->ir.file);
  string_init(&cfg->ir.raw);
  string_init(&cfg->ir.fr_master);
  string_init(&cfg->ir.fr_child);
  cfg->ir.curve = CurveConfig{0.0f, 0.0f, 0.0f, 0.0f, 100.0f, {0.0f, false}, {0.0f, false}, PHASE_LINEAR};
  hashmap_init_string_borrowed(&cfg->groups);  // keyed by each group's own name
  cfg->srate_source = false;
  cfg->srate_child = false;
  cfg->dry_run = false;
  cfg->keep_going = false;
  cfg->skip_existing = false;
  cfg->quiet = false;
  cfg->match_loudness = false;
  cfg->mid_side = false;
  cfg->gate = OptionalLevel{0.0f, false};
  cfg->loudness = OptionalLevel{0.0f, false};
  cfg->true_peak = OptionalLevel{0.0f, false};
  cfg->limiter = OptionalLevel{0.0f, false};
  cfg->limiter_lookahead = 1.5f;
  cfg->limiter_release = 0.0f;
  cfg->format = FORMAT_WAV;
  cfg->bits = BITS_FLOAT;
  cfg->dither = DITHER_DEFAULT;
  string_init(&cfg->report);
  cfg->jobs = 1;
  string_init(&cfg->config_file);
  string_init(&cfg->shard);
  cfg->shard_index = 0;
  cfg->shard_count = 1;
  ptrlist_init(&cfg->only_groups);
  string_init(&cfg->list_groups);
  string_init(&cfg->merge_reports);
  string_init(&cfg->target_curve);
  string_init(&cfg->export_curve);
  cfg->given[0] = cfg->given[1] = 0;
  cfg->preset = 0;
  cfg->resample_quality = RESAMPLE_STANDARD;
  cfg->bitrate = 0;
  string_init(&cfg->title);
  string_init(&cfg->artist);
  bool ok = set_text(&cfg->file, TOOLCONFIG_DEFAULT_FILE) && set_text(&cfg->ir.file, TOOLCONFIG_DEFAULT_IR_FILE) &&
            set_text(&cfg->ir.raw, TOOLCONFIG_DEFAULT_IR_RAW) &&
            set_text(&cfg->ir.fr_master, TOOLCONFIG_DEFAULT_FR_MASTER) &&
            set_text(&cfg->ir.fr_child, TOOLCONFIG_DEFAULT_FR_CHILD) && set_text(&cfg->shard, "0/1");
  return ok ? STATUS_OK : STATUS_NO_MEMORY;
}

void group_release(Group* g) {
  if (!g) return;
  for (uint64_t i = 0; i < g->files.count; ++i) string_delete(static_cast<String*>(g->files.items[i]));
  ptrlist_release(&g->files);
  for (uint64_t i = 0; i < g->references.count; ++i) string_delete(static_cast<String*>(g->references.items[i]));
  ptrlist_release(&g->references);
  string_free(&g->master);
  string_free(&g->name);
  mem_free(g);
}

void toolconfig_release_groups(ToolConfig* cfg) {
  HashMap* m = &cfg->groups;
  if (m->count == 0) {
    hashmap_clear(m);
    return;
  }
  PtrList groups;
  ptrlist_init(&groups);
  if (!hashmap_values(m, &groups)) {
    // No memory for the list: release the groups in the same order straight
    // from the map before clearing it.
    for (uint64_t i = 0; i < m->size; ++i)
      for (HashMapNode* n = m->buckets[i].first; n; n = n->next) {
        group_release(static_cast<Group*>(n->value));
        n->value = nullptr;
      }
    hashmap_clear(m);
    return;
  }
  hashmap_clear(m);
  for (uint64_t i = 0; i < groups.count; ++i) group_release(static_cast<Group*>(groups.items[i]));
  ptrlist_release(&groups);
}

void toolconfig_release(ToolConfig* cfg) {
  // A zeroed record has no key functions; its map holds nothing to release.
  if (cfg->groups.count) toolconfig_release_groups(cfg);
  hashmap_clear(&cfg->groups);
  string_free(&cfg->artist);
  string_free(&cfg->title);
  string_free(&cfg->export_curve);
  string_free(&cfg->target_curve);
  string_free(&cfg->merge_reports);
  string_free(&cfg->list_groups);
  for (uint64_t i = 0; i < cfg->only_groups.count; ++i) string_delete(static_cast<String*>(cfg->only_groups.items[i]));
  ptrlist_release(&cfg->only_groups);
  string_free(&cfg->shard);
  string_free(&cfg->config_file);
  string_free(&cfg->report);
  string_free(&cfg->ir.fr_child);
  string_free(&cfg->ir.fr_master);
  string_free(&cfg->ir.raw);
  string_free(&cfg->ir.file);
  string_free(&cfg->file);
  string_free(&cfg->dst_path);
  string_free(&cfg->src_path);
}

Group* toolconfig_find_group(const ToolConfig* cfg, const String* name) {
  return static_cast<Group*>(hashmap_get(&cfg->groups, name, nullptr));
}

int group_create(ToolConfig* cfg, const String* name, Group** out) {
  *out = nullptr;
  if (Group* existing = toolconfig_find_group(cfg, name)) {
    *out = existing;
    return STATUS_EXISTS;
  }
  Group* g = static_cast<Group*>(mem_alloc(sizeof(Group)));
  if (!g) return STATUS_NO_MEMORY;
  string_init(&g->name);
  string_init(&g->master);
  ptrlist_init(&g->files);
  ptrlist_init(&g->references);
  g->rate = 0;
  g->position = 0;
  if (!string_assign(&g->name, name) || !hashmap_add(&cfg->groups, &g->name, g)) {
    group_release(g);
    return STATUS_NO_MEMORY;
  }
  // A group's texts are kept as read: a large configuration holds a
  // hundred thousand groups.
  string_fit(&g->name);
  *out = g;
  return STATUS_OK;
}

int group_set_master(Group* g, const String* master) {
  if (!string_assign(&g->master, master)) return STATUS_NO_MEMORY;
  string_fit(&g->master);
  return STATUS_OK;
}

int group_add_file(Group* g, const String* file) {
  String* copy = string_clone(file);
  if (!copy) return STATUS_NO_MEMORY;
  if (!ptrlist_push_short(&g->files, copy)) {
    string_delete(copy);
    return STATUS_NO_MEMORY;
  }
  return STATUS_OK;
}

int group_add_reference(Group* g, const String* reference) {
  String* copy = string_clone(reference);
  if (!copy) return STATUS_NO_MEMORY;
  if (!ptrlist_push(&g->references, copy)) {
    string_delete(copy);
    return STATUS_NO_MEMORY;
  }
  return STATUS_OK;
}

uint64_t group_master_count(const Group* g) { return g->master.length == 0 ? 0 : 1 + g->references.count; }

const String* group_master_at(const Group* g, uint64_t i) {
  return i == 0 ? &g->master : static_cast<const String*>(g->references.items[i - 1]);
}
