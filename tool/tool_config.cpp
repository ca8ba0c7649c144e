#include "tool/tool_config.h"

#include <cstring>

#include "runtime/alloc.h"
#include "runtime/status.h"
#include "tool/settings.h"

const char* const TOOLCONFIG_DEFAULT_FILE = "${master_name}/${file_name} - processed.wav";

int toolconfig_init(ToolConfig* cfg) {
  // What the settings table does not hold, then every setting at its
  // typed default (a text that finds no memory stays empty and valid).
  hashmap_init_string_borrowed(&cfg->groups);  // keyed by each group's own name
  cfg->srate_source = false;
  cfg->srate_child = false;
  string_init(&cfg->config_file);
  cfg->shard_index = 0;
  cfg->shard_count = 1;
  cfg->given[0] = cfg->given[1] = 0;
  bool ok = true;
  for (size_t i = 0; i < SETTINGS_COUNT; ++i) {
    const SettingCodec* codec = setting_codec(&SETTINGS[i]);
    if (codec->set_default) ok = codec->set_default(cfg, &SETTINGS[i]) && ok;
  }
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
