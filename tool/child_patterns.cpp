#include "tool/child_patterns.h"

#include <glob.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/hash_map.h"
#include "runtime/ptrlist.h"
#include "runtime/status.h"
#include "runtime/string.h"
#include "tool/naming.h"
#include "tool/tool_config.h"

namespace {

const char* text_of(const String* s) {
  const char* t = string_to_locale(const_cast<String*>(s));
  return t ? t : "";
}

bool is_pattern(const char* text) { return std::strpbrk(text, "*?[") != nullptr; }

bool exists(const char* path) {
  struct stat info;
  return stat(path, &info) == 0;
}

bool is_directory(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

int compare_bytes(const void* a, const void* b) {
  return std::strcmp(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}

void free_list(PtrList* list) {
  for (uint64_t i = 0; i < list->count; ++i) string_delete(static_cast<String*>(list->items[i]));
  ptrlist_release(list);
}

// Appends the files `name` stands for to `out`: itself, or the sorted
// matches of its pattern. 0, 5, 6 (line printed).
int expand_one(const ToolConfig* cfg, const Group* group, const String* name, PtrList* out) {
  String path, copy;
  string_init(&path);
  string_init(&copy);
  if (!string_assign(&copy, name)) return STATUS_NO_MEMORY;
  const char* text = string_to_utf8(&copy);
  int st = text ? resolve_input_path(&path, cfg, name) : STATUS_NO_MEMORY;
  const char* resolved = st == 0 ? string_to_utf8(&path) : nullptr;
  if (st == 0 && !resolved) st = STATUS_NO_MEMORY;
  if (st == 0 && (!is_pattern(text) || exists(resolved))) {
    String* kept = string_clone(name);
    st = kept && ptrlist_push(out, kept) ? 0 : STATUS_NO_MEMORY;
    if (st != 0) string_delete(kept);
  } else if (st == 0) {
    // The matches begin with what resolving put before the name.
    const size_t name_length = std::strlen(text), resolved_length = std::strlen(resolved);
    const size_t prefix = resolved_length >= name_length ? resolved_length - name_length : 0;
    glob_t found;
    std::memset(&found, 0, sizeof found);
    const int g = glob(resolved, GLOB_NOSORT, nullptr, &found);
    if (g == GLOB_NOSPACE) st = STATUS_NO_MEMORY;
    if (g == 0) std::qsort(found.gl_pathv, found.gl_pathc, sizeof(char*), compare_bytes);
    uint64_t matched = 0;
    for (size_t i = 0; st == 0 && g == 0 && i < found.gl_pathc; ++i) {
      const char* match = found.gl_pathv[i];
      if (is_directory(match)) continue;
      const char* named = std::strlen(match) >= prefix ? match + prefix : match;
      String* file = static_cast<String*>(nullptr);
      String made;
      string_init(&made);
      if (string_from_utf8(&made, named, std::strlen(named))) file = string_clone(&made);
      string_free(&made);
      if (!file || !ptrlist_push(out, file)) {
        string_delete(file);
        st = STATUS_NO_MEMORY;
      }
      ++matched;
    }
    globfree(&found);
    if (st == 0 && matched == 0) {
      std::fprintf(stderr, "  no file matches the pattern '%s' (group '%s')\n", text_of(name), text_of(&group->name));
      st = STATUS_NOT_FOUND;
    }
  }
  string_free(&path);
  string_free(&copy);
  return st;
}

int expand_group(const ToolConfig* cfg, Group* group) {
  // Looked for in the code points: an encoded copy would stay in every
  // name's cache, which adds up over a large configuration.
  bool any = false;
  for (uint64_t i = 0; i < group->files.count && !any; ++i) {
    const String* name = static_cast<const String*>(group->files.items[i]);
    for (uint64_t k = 0; name && k < name->length && !any; ++k)
      any = name->chars[k] == '*' || name->chars[k] == '?' || name->chars[k] == '[';
  }
  if (!any) return 0;
  PtrList fresh;
  ptrlist_init(&fresh);
  int st = 0;
  for (uint64_t i = 0; st == 0 && i < group->files.count; ++i) {
    const String* name = static_cast<const String*>(group->files.items[i]);
    st = name ? expand_one(cfg, group, name, &fresh) : STATUS_SYSTEM;
  }
  if (st == 0) ptrlist_swap(&fresh, &group->files);
  free_list(&fresh);
  return st;
}

}  // namespace

int expand_child_patterns(ToolConfig* cfg) {
  PtrList groups;
  ptrlist_init(&groups);
  if (!hashmap_values(&cfg->groups, &groups)) {
    std::fprintf(stderr, "Not enough memory\n");
    return STATUS_NO_MEMORY;
  }
  int st = 0;
  for (uint64_t i = 0; st == 0 && i < groups.count; ++i) {
    Group* g = static_cast<Group*>(groups.items[i]);
    if (g) st = expand_group(cfg, g);
  }
  ptrlist_release(&groups);
  if (st == STATUS_NO_MEMORY) std::fprintf(stderr, "Not enough memory\n");
  return st;
}
