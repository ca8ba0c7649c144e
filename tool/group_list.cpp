#include "tool/group_list.h"

#include <cerrno>
#include <cstring>

#include "report/text_buffer.h"
#include "runtime/alloc.h"
#include "runtime/hash_map.h"
#include "runtime/path.h"
#include "runtime/ptrlist.h"
#include "runtime/status.h"
#include "runtime/string.h"
#include "tool/naming.h"
#include "tool/run_plan.h"
#include "tool/shard.h"
#include "tool/tool_config.h"

namespace {

const char* utf8_of(const String* s) {
  const char* t = string_to_utf8(const_cast<String*>(s));
  return t ? t : "";
}

// A copy, not the string's conversion cache: a listing of a large plan
// would otherwise keep a second form of every path until the end.
void path_member(TextBuffer* b, const char* key, const String* path) {
  text_appendf(b, "\"%s\": ", key);
  char* utf8 = path_to_utf8(path);
  if (!utf8) b->failed = true;
  else text_append_json_string(b, utf8);
  mem_free(utf8);
}

// The resolved input path of `name` (as the run reads it).
void input_member(TextBuffer* b, const char* key, const ToolConfig* cfg, const String* name) {
  String path;
  string_init(&path);
  if (resolve_input_path(&path, cfg, name) == 0) path_member(b, key, &path);
  else b->failed = true;  // memory: the only failure of a name the plan resolved
  string_free(&path);
}

// A name as it is (not a path: a '\' stays), converted in a copy for the
// same reason as a path.
void name_member(TextBuffer* b, const char* key, const String* name) {
  String copy;
  string_init(&copy);
  const char* utf8 = string_assign(&copy, name) ? string_to_utf8(&copy) : nullptr;
  text_appendf(b, "\"%s\": ", key);
  if (!utf8) b->failed = true;
  else text_append_json_string(b, utf8);
  string_free(&copy);
}

// Appends the outputs of [*at, end) that belong to `group` and child
// `child` (the plan keeps a group's outputs together, child by child).
void outputs_member(TextBuffer* b, const RunPlan* plan, uint64_t* at, const Group* group, uint64_t child) {
  text_append(b, "\"outputs\": [");
  bool first = true;
  for (; *at < run_plan_output_count(plan); ++*at) {
    const PlannedFile* f = run_plan_output(plan, *at);
    if (f->group != group || f->child != child) break;
    if (!first) text_append(b, ", ");
    first = false;
    text_appendf(b, "{\"kind\": \"%s\", ", output_kind_row(f->kind).keyword);
    path_member(b, "path", &f->path);
    text_appendf(b, ", \"exists\": %s}", f->exists ? "true" : "false");
  }
  text_append(b, "]");
}

}  // namespace

int write_group_list(const ToolConfig* cfg, const RunPlan* plan, FILE* out) {
  PtrList names;
  ptrlist_init(&names);
  if (!hashmap_keys(&cfg->groups, &names)) return STATUS_NO_MEMORY;
  TextBuffer line;
  text_init(&line);
  uint64_t at = 0;  // cursor into the plan's outputs, which follow the run's order
  int st = 0;
  for (uint64_t i = 0; st == 0 && i < names.count; ++i) {
    const Group* g = toolconfig_find_group(cfg, static_cast<const String*>(names.items[i]));
    if (!g) continue;
    // Outputs of groups that run elsewhere are passed over.
    while (at < run_plan_output_count(plan)) {
      const PlannedFile* f = run_plan_output(plan, at);
      if (f->group == g || f->kind == OUTPUT_REPORT) break;
      ++at;
    }
    if (!group_selected(cfg, g)) continue;
    line.length = 0;
    text_append(&line, "{");
    name_member(&line, "group", &g->name);
    text_appendf(&line, ", \"shard\": %llu, \"position\": %llu, ", static_cast<unsigned long long>(cfg->shard_index),
                 static_cast<unsigned long long>(i + 1));
    if (g->master.length > 0) input_member(&line, "master", cfg, &g->master);
    else text_append(&line, "\"master\": null");
    text_append(&line, ", ");
    outputs_member(&line, plan, &at, g, 0);
    text_append(&line, ", \"children\": [");
    for (uint64_t c = 0; c < g->files.count; ++c) {
      if (c) text_append(&line, ", ");
      text_append(&line, "{");
      input_member(&line, "input", cfg, static_cast<const String*>(g->files.items[c]));
      text_append(&line, ", ");
      outputs_member(&line, plan, &at, g, c + 1);
      text_append(&line, "}");
    }
    text_append(&line, "]}\n");
    if (line.failed) st = STATUS_NO_MEMORY;
    else std::fwrite(line.data, 1, line.length, out);
  }
  text_release(&line);
  ptrlist_release(&names);
  return st;
}

int list_groups(const ToolConfig* cfg, const RunPlan* plan) {
  const char* target = utf8_of(&cfg->list_groups);
  const bool to_stdout = std::strcmp(target, "-") == 0;
  FILE* out = to_stdout ? stdout : std::fopen(target, "w");
  if (!out) {
    const int error = errno;
    std::fprintf(stderr, "could not write the group list '%s'\n  %s\n", target, std::strerror(error));
    return error == ENOENT ? STATUS_NOT_FOUND : error == EACCES ? STATUS_ACCESS_DENIED : STATUS_IO_ERROR;
  }
  int st = write_group_list(cfg, plan, out);
  if (to_stdout) {
    std::fflush(out);
  } else if (std::fclose(out) != 0 && st == 0) {
    std::fprintf(stderr, "could not write the group list '%s'\n  %s\n", target, std::strerror(errno));
    st = STATUS_IO_ERROR;
  }
  if (st == STATUS_NO_MEMORY) std::fprintf(stderr, "Not enough memory\n");
  return st;
}

void print_selected_outputs(const ToolConfig* cfg, const RunPlan* plan, FILE* out) {
  String scratch;  // as in run_plan_print: no conversion kept on every path
  string_init(&scratch);
  for (uint64_t i = 0; i < run_plan_output_count(plan); ++i) {
    const PlannedFile* f = run_plan_output(plan, i);
    if (f->group && !group_selected(cfg, f->group)) continue;
    const char* t = string_assign(&scratch, &f->path) ? string_to_locale(&scratch) : nullptr;
    std::fprintf(out, "%s\n", t ? t : "");
  }
  string_free(&scratch);
}
