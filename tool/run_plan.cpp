#include "tool/run_plan.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/sample_file.h"
#include "expr/variables.h"
#include "report/report_writer.h"
#include "runtime/alloc.h"
#include "runtime/hash_map.h"
#include "runtime/path.h"
#include "runtime/status.h"
#include "tool/naming.h"
#include "tool/settings.h"
#include "tool/tool_config.h"

namespace {

const char* text_of(const String* s) {
  const char* t = string_to_message(const_cast<String*>(s));
  return t ? t : "";
}

}  // namespace

// The memory of a plan's files: chunks handed out front to back and freed
// together with the plan. A plan of a large configuration holds millions of
// files, and a block of its own for each (with the allocator's own words
// and rounding) would add a tenth to them.
struct PlanArena {
  PlanArena* next;  // the chunk filled before this one
  size_t used;      // bytes handed out after the header
  size_t size;      // bytes after the header
};

namespace {

constexpr size_t kArenaChunk = size_t{64} << 10;
constexpr size_t kArenaHeader = (sizeof(PlanArena) + 15) & ~size_t{15};

void* arena_take(PlanArena** arena, size_t size) {
  size = (size + 7) & ~size_t{7};
  PlanArena* head = *arena;
  if (!head || head->size - head->used < size) {
    const size_t room = size > kArenaChunk - kArenaHeader ? size : kArenaChunk - kArenaHeader;
    if (room > SIZE_MAX - kArenaHeader) return nullptr;
    PlanArena* chunk = static_cast<PlanArena*>(mem_alloc(kArenaHeader + room));
    if (!chunk) return nullptr;
    chunk->next = head;
    chunk->used = 0;
    chunk->size = room;
    *arena = head = chunk;
  }
  void* p = reinterpret_cast<unsigned char*>(head) + kArenaHeader + head->used;
  head->used += size;
  return p;
}

void arena_free(PlanArena** arena) {
  for (PlanArena* chunk = *arena; chunk;) {
    PlanArena* next = chunk->next;
    mem_free(chunk);
    chunk = next;
  }
  *arena = nullptr;
}

// A planned file is one piece of its plan's arena: the record, its device
// and inode when it exists, its path's code points, then its canonical form
// (separate blocks for the two texts, the path's rounded up to 32 code
// points, would take more than the records themselves). The path is read
// only; a conversion cache made on it is a block of its own, freed here.
// The rest goes with the arena.
struct FileIdentity {
  uint64_t device;
  uint64_t inode;
};

// Only for a file that exists.
const FileIdentity* identity_of(const PlannedFile* f) { return reinterpret_cast<const FileIdentity*>(f + 1); }

void file_free(PlannedFile* f) {
  if (f) string_clear(&f->path);
}

// A fresh record in `arena` holding a copy of `path` and of `canonical`,
// and the identity `id` when there is one (the file exists); everything
// else zero. Null when memory runs out.
PlannedFile* file_new(PlanArena** arena, const String* path, const char* canonical, const FileIdentity* id) {
  static_assert(sizeof(PlannedFile) % alignof(FileIdentity) == 0, "the identity follows the record");
  const size_t length = static_cast<size_t>(path->length);
  const size_t canonical_size = std::strlen(canonical) + 1;
  const size_t head = sizeof(PlannedFile) + (id ? sizeof(FileIdentity) : 0);
  const size_t chars = length * sizeof(uint32_t);
  if (length > (SIZE_MAX / 2 - head - canonical_size) / sizeof(uint32_t)) return nullptr;
  unsigned char* block = static_cast<unsigned char*>(arena_take(arena, head + chars + canonical_size));
  if (!block) return nullptr;
  PlannedFile* f = reinterpret_cast<PlannedFile*>(block);
  std::memset(f, 0, sizeof *f);
  if (id) {
    std::memcpy(block + sizeof(PlannedFile), id, sizeof *id);
    f->exists = true;
  }
  uint32_t* text = reinterpret_cast<uint32_t*>(block + head);
  if (length) std::memcpy(text, path->chars, chars);
  f->path.length = f->path.capacity = length;
  f->path.chars = text;
  f->path.hash = path->hash;
  f->canonical = reinterpret_cast<char*>(block + head + chars);
  std::memcpy(f->canonical, canonical, canonical_size);
  return f;
}

void list_free(PtrList* list) {
  for (uint64_t i = 0; i < list->count; ++i) file_free(static_cast<PlannedFile*>(list->items[i]));
  ptrlist_release(list);
}

// The working directory in a buffer from mem_alloc; null when it cannot be
// had (memory, or a directory that was removed).
char* working_directory() {
  for (size_t size = PATH_MAX;; size *= 2) {
    char* buffer = static_cast<char*>(mem_alloc(size));
    if (!buffer) return nullptr;
    if (getcwd(buffer, size)) return buffer;
    mem_free(buffer);
    if (errno != ERANGE || size > (size_t{1} << 20)) return nullptr;
  }
}

// Applies one component lexically to the absolute path in `out`: "." and ""
// change nothing, ".." drops the last component (never the leading '/').
void apply_component(char* out, const char* component, size_t length) {
  if (length == 0 || (length == 1 && component[0] == '.')) return;
  size_t used = std::strlen(out);
  if (length == 2 && component[0] == '.' && component[1] == '.') {
    char* slash = std::strrchr(out, '/');
    if (slash == out) out[1] = 0;
    else if (slash) *slash = 0;
    return;
  }
  if (used > 1) out[used++] = '/';
  std::memcpy(out + used, component, length);
  out[used + length] = 0;
}

// The canonical form of the absolute text `absolute` (modified during the
// call, restored after), in a fresh buffer from mem_alloc: the longest
// prefix of its components that the system can resolve is replaced by
// realpath's answer (symbolic links followed, ".." taken physically), the
// rest is applied lexically, which is how the directories of an output that
// do not exist yet will be created. Null when memory runs out.
char* resolve_absolute(char* absolute) {
  size_t total = std::strlen(absolute);
  // realpath's answer (at most PATH_MAX) plus the components after it.
  char* result = static_cast<char*>(mem_alloc(total + PATH_MAX + 4));
  char* real = static_cast<char*>(mem_alloc(PATH_MAX + 1));
  if (!result || !real) {
    mem_free(result);
    mem_free(real);
    return nullptr;
  }
  // Shorten the text one component at a time until realpath succeeds.
  size_t cut = total;
  std::strcpy(result, "/");
  while (cut > 0) {
    char saved = absolute[cut];
    absolute[cut] = 0;
    bool resolved = realpath(absolute, real) != nullptr;
    absolute[cut] = saved;
    if (resolved) {
      std::strcpy(result, real);
      break;
    }
    while (cut > 0 && absolute[cut - 1] != '/') --cut;  // drop the last component
    while (cut > 0 && absolute[cut - 1] == '/') --cut;  // and the slashes before it
  }
  for (size_t at = cut; at < total;) {
    while (at < total && absolute[at] == '/') ++at;
    size_t end = at;
    while (end < total && absolute[end] != '/') ++end;
    apply_component(result, absolute + at, end - at);
    at = end;
  }
  mem_free(real);
  char* exact = mem_strdup(result);
  mem_free(result);
  return exact;
}

// The canonical forms of the directories looked up last. Outputs and inputs
// of a run mostly share a few directories, taken in turn (the masters', the
// children's, a group's output folder), and a directory's form follows from
// its parent's with one lstat, where realpath costs a readlink per
// component: planning a large configuration is mostly this.
struct ParentCache {
  static constexpr int kSlots = 16;
  char* text[kSlots];       // absolute text of a directory, as given
  char* canonical[kSlots];  // its canonical form
  bool exists[kSlots];      // it exists (as a directory)
  int next;                 // the slot replaced next
  char* cwd;                // the working directory, once asked for
  TemplateCache* templates;  // parsed output templates; may be null
};

void parent_cache_release(ParentCache* cache) {
  for (int i = 0; i < ParentCache::kSlots; ++i) {
    mem_free(cache->text[i]);
    mem_free(cache->canonical[i]);
    cache->text[i] = cache->canonical[i] = nullptr;
  }
  mem_free(cache->cwd);
  cache->cwd = nullptr;
}

bool plain_component(const char* name) {
  return name[0] && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

// *out = the canonical form of `parent` + "/" + `name` (mem_alloc), name
// applied lexically. Null when memory runs out.
char* append_component(const char* parent, const char* name) {
  size_t parent_length = std::strlen(parent), name_length = std::strlen(name);
  char* result = static_cast<char*>(mem_alloc(parent_length + name_length + 2));
  if (!result) return nullptr;
  std::memcpy(result, parent, parent_length + 1);
  apply_component(result, name, name_length);
  return result;
}

// The canonical form of the absolute directory text `dir` (modified during
// the call, restored after), as resolve_absolute gives it, and whether the
// directory exists; both kept in `cache`, which owns the returned text.
// Null when memory runs out.
const char* directory_form(char* dir, ParentCache* cache, bool* exists) {
  for (int i = 0; i < ParentCache::kSlots; ++i) {
    if (cache->text[i] && std::strcmp(cache->text[i], dir) == 0) {
      *exists = cache->exists[i];
      return cache->canonical[i];
    }
  }
  char* slash = std::strrchr(dir, '/');
  char* form = nullptr;
  bool here = false;
  struct stat info;
  if (slash && slash != dir && plain_component(slash + 1)) {
    // From the parent's form: what does not exist below a missing parent
    // cannot exist; below an existing one an lstat tells.
    *slash = 0;
    bool parent_exists = false;
    const char* parent = directory_form(dir, cache, &parent_exists);
    char* parent_copy = parent ? mem_strdup(parent) : nullptr;
    *slash = '/';
    if (!parent_copy) return nullptr;
    if (!parent_exists || lstat(dir, &info) != 0) {
      form = append_component(parent_copy, slash + 1);
    } else if (S_ISLNK(info.st_mode)) {
      form = resolve_absolute(dir);
      here = form && stat(form, &info) == 0 && S_ISDIR(info.st_mode);
    } else {
      form = append_component(parent_copy, slash + 1);
      here = S_ISDIR(info.st_mode);
    }
    mem_free(parent_copy);
  } else {
    // The root, or a name with "." or "..": as a whole.
    form = resolve_absolute(dir);
    here = form && stat(form, &info) == 0 && S_ISDIR(info.st_mode);
  }
  char* text = form ? mem_strdup(dir) : nullptr;
  if (!text) {
    mem_free(form);
    return nullptr;
  }
  const int slot = cache->next;
  cache->next = (cache->next + 1) % ParentCache::kSlots;
  mem_free(cache->text[slot]);
  mem_free(cache->canonical[slot]);
  cache->text[slot] = text;
  cache->canonical[slot] = form;
  cache->exists[slot] = here;
  *exists = here;
  return form;
}

// The canonical form of `path` (UTF-8, absolute or relative to the working
// directory), as resolve_absolute gives it, into *out (mem_alloc). With a
// `cache` (may be null) the parent's form comes from directory_form; the
// result is the same either way: realpath's answer when the whole path
// exists, the parent's form and the last component lexically otherwise.
// 0, 5.
int canonicalize(const char* path, char** out, ParentCache* cache) {
  char* cwd = nullptr;
  if (path[0] != '/') {
    if (cache && !cache->cwd) cache->cwd = working_directory();
    cwd = cache ? (cache->cwd ? mem_strdup(cache->cwd) : nullptr) : working_directory();
    if (!cwd) return STATUS_NO_MEMORY;
  }
  size_t path_length = std::strlen(path), cwd_length = cwd ? std::strlen(cwd) : 0;
  char* absolute = static_cast<char*>(mem_alloc(cwd_length + path_length + 2));
  if (!absolute) {
    mem_free(cwd);
    return STATUS_NO_MEMORY;
  }
  if (cwd) {
    std::memcpy(absolute, cwd, cwd_length);
    absolute[cwd_length] = '/';
    std::memcpy(absolute + cwd_length + 1, path, path_length + 1);
  } else {
    std::memcpy(absolute, path, path_length + 1);
  }
  mem_free(cwd);

  char* result = nullptr;
  char* slash = std::strrchr(absolute, '/');  // absolute: there is one
  if (!cache || slash == absolute || !plain_component(slash + 1)) {
    result = resolve_absolute(absolute);
  } else {
    *slash = 0;
    bool parent_exists = false;
    const char* parent = directory_form(absolute, cache, &parent_exists);
    *slash = '/';
    struct stat info;
    if (parent && parent_exists && lstat(absolute, &info) == 0 && S_ISLNK(info.st_mode)) {
      result = resolve_absolute(absolute);
    } else if (parent) {
      result = append_component(parent, slash + 1);
    }
  }
  mem_free(absolute);
  if (!result) return STATUS_NO_MEMORY;
  *out = result;
  return 0;
}

// A fresh record for `path`, with its canonical form and, when the file
// exists, its identity. 0, 5 or 7 (NUL in the path; line printed).
int make_file(PlannedFile** out, PlanArena** arena, const String* path, ParentCache* cache) {
  if (string_has_nul(path)) {
    String shown;
    string_init(&shown);
    if (!name_for_message(&shown, path)) string_clear(&shown);
    std::fprintf(stderr, "  name contains a NUL character: '%s'\n", text_of(&shown));
    string_free(&shown);
    return STATUS_BAD_FORMAT;
  }
  char* utf8 = path_to_utf8(path);
  char* canonical = nullptr;
  int st = utf8 ? 0 : STATUS_NO_MEMORY;
  if (st == 0) {
    // A dangling symbolic link is written through by a save: its target is
    // the file the output will be, and that is what must be compared.
    const char* name = utf8;
    char* target = nullptr;
    struct stat link_info, file_info;
    if (lstat(utf8, &link_info) == 0 && S_ISLNK(link_info.st_mode) && stat(utf8, &file_info) != 0) {
      target = static_cast<char*>(mem_alloc(PATH_MAX + 1));
      if (!target) st = STATUS_NO_MEMORY;
      else if (sample_output_target(utf8, target, PATH_MAX + 1)) name = target;
    }
    if (st == 0) st = canonicalize(name, &canonical, cache);
    mem_free(target);
  }
  PlannedFile* f = nullptr;
  if (st == 0) {
    struct stat info;
    FileIdentity id{};
    const bool here = stat(canonical, &info) == 0;
    if (here) id = FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    f = file_new(arena, path, canonical, here ? &id : nullptr);
    if (!f) st = STATUS_NO_MEMORY;
  }
  mem_free(canonical);
  mem_free(utf8);
  if (st != 0) return st;
  *out = f;
  return 0;
}

// Positions and children are kept in 32 bits: a plan of four thousand
// million files would not fit in memory anyway.
int push_file(PtrList* list, PlannedFile* f) {
  f->position = static_cast<uint32_t>(list->count);
  if (list->count < UINT32_MAX && ptrlist_push(list, f)) return 0;
  file_free(f);
  return STATUS_NO_MEMORY;
}

int add_input(RunPlan* plan, const ToolConfig* cfg, const Group* group, uint64_t child,
              const String* name, const PlannedFile** added, ParentCache* cache) {
  String path;
  string_init(&path);
  int st = resolve_input_path(&path, cfg, name);
  PlannedFile* f = nullptr;
  if (st == 0) st = make_file(&f, &plan->arena, &path, cache);
  string_free(&path);
  if (st != 0) return st;
  f->group = group;
  f->child = static_cast<uint32_t>(child);
  *added = f;
  return push_file(&plan->inputs, f);
}

// A copy of `text` in the plan's memory; null when memory runs out (or
// `text` is null).
const char* arena_text(PlanArena** arena, const char* text) {
  if (!text) return nullptr;
  const size_t size = std::strlen(text) + 1;
  char* copy = static_cast<char*>(arena_take(arena, size));
  if (copy) std::memcpy(copy, text, size);
  return copy;
}

// The output of `row` for `source`, named by its template; `name` is left
// holding the evaluated name.
int add_output(RunPlan* plan, const ToolConfig* cfg, const PlannedFile* source, const OutputKindRow& row,
               Variables* vars, ParentCache* cache, String* name, PlannedFile** added) {
  String path;
  string_init(&path);
  int st = evaluate_output_name(name, output_template(cfg, row), vars, cache ? cache->templates : nullptr);
  if (st == 0) st = resolve_output_path(&path, &cfg->dst_path, name);
  PlannedFile* f = nullptr;
  if (st == 0) st = make_file(&f, &plan->arena, &path, cache);
  string_free(&path);
  if (st != 0) return st;
  f->group = source->group;
  f->child = source->child;
  f->kind = row.kind;
  f->source = source;
  *added = f;
  return push_file(&plan->outputs, f);
}

// What the processed audio is written with besides its path: the name
// that seeds its dither (in `name`, then used as scratch) and its tags,
// evaluated as the name is: a template that fails stops the run before
// any work.
int add_tags(RunPlan* plan, const ToolConfig* cfg, PlannedFile* audio, String* name, Variables* vars,
             ParentCache* cache) {
  PlannedTags* tags = static_cast<PlannedTags*>(arena_take(&plan->arena, sizeof(PlannedTags)));
  if (!tags || !(tags->name = arena_text(&plan->arena, string_to_utf8(name)))) return STATUS_NO_MEMORY;
  tags->title = tags->artist = nullptr;
  int st = 0;
  for (const String* tag : {&cfg->title, &cfg->artist}) {
    if (st != 0 || tag->length == 0) continue;
    st = evaluate_output_name(name, tag, vars, cache ? cache->templates : nullptr);
    const char* kept = st == 0 ? arena_text(&plan->arena, string_to_utf8(name)) : nullptr;
    if (st == 0 && !kept) st = STATUS_NO_MEMORY;
    (tag == &cfg->title ? tags->title : tags->artist) = kept;
  }
  if (st == 0) audio->tags = tags;
  return st;
}

// Inputs and outputs of one group, appended to the plan's lists.
int plan_group(RunPlan* plan, const ToolConfig* cfg, const Group* group, Variables* vars,
               ParentCache* cache) {
  const uint64_t produce = cfg->produce;
  const String* reference = group_reference_name(cfg, group);
  if (reference->length == 0 || produce == 0) return 0;
  if (!(produce & PRODUCE_FRM) && group->files.count == 0) return 0;

  // A group matched to the target curve alone has no master to read or
  // describe (the curve file is an input of the run as a whole).
  const bool has_master = group->master.length > 0;
  const PlannedFile* master = nullptr;
  int st = has_master ? add_input(plan, cfg, group, 0, &group->master, &master, cache) : 0;
  for (uint64_t i = 1; st == 0 && i < group_master_count(group); ++i) {
    const PlannedFile* reference = nullptr;
    st = add_input(plan, cfg, group, 0, group_master_at(group, i), &reference, cache);
  }
  String name;
  string_init(&name);
  PlannedFile* out = nullptr;
  for (size_t k = 0; st == 0 && has_master && k < OUTPUT_KIND_COUNT; ++k) {
    const OutputKindRow& row = OUTPUT_KINDS[k];
    if (row.owner != OUTPUT_OF_MASTER || !output_wanted(cfg, row)) continue;
    st = build_pattern_variables(vars, cfg, group, &group->master, &group->master, 0);
    if (st == 0) st = add_output(plan, cfg, master, row, vars, cache, &name, &out);
  }
  for (uint64_t i = 0; st == 0 && i < group->files.count; ++i) {
    const String* child_name = static_cast<const String*>(group->files.items[i]);
    if (!child_name) {
      std::fprintf(stderr, "  internal error\n");
      st = STATUS_SYSTEM;
      break;
    }
    const PlannedFile* child = nullptr;
    st = add_input(plan, cfg, group, i + 1, child_name, &child, cache);
    if (st == 0) st = build_pattern_variables(vars, cfg, group, reference, child_name, i + 1);
    for (size_t k = 0; st == 0 && k < OUTPUT_KIND_COUNT; ++k) {
      const OutputKindRow& row = OUTPUT_KINDS[k];
      if (row.owner != OUTPUT_OF_CHILD || !output_wanted(cfg, row)) continue;
      st = add_output(plan, cfg, child, row, vars, cache, &name, &out);
      if (st == 0 && row.kind == OUTPUT_AUDIO) st = add_tags(plan, cfg, out, &name, vars, cache);
    }
  }
  string_free(&name);
  return st;
}

// The header table's failures in words, then the table.
void headers_free(RunPlan* plan) {
  for (uint64_t i = 0; i < plan->header_count; ++i) mem_free(plan->headers[i].cause);
  mem_free(plan->headers);
  plan->headers = nullptr;
  plan->header_count = 0;
}

// Files that exist compare by device and inode, the others by canonical
// path: a file that exists can never equal one that does not.
bool same_identity(const PlannedFile* a, const PlannedFile* b) {
  if (a->exists != b->exists) return false;
  if (a->exists)
    return identity_of(a)->device == identity_of(b)->device && identity_of(a)->inode == identity_of(b)->inode;
  return std::strcmp(a->canonical, b->canonical) == 0;
}

// FNV-1a over what same_identity compares.
uint64_t identity_hash(const PlannedFile* f) {
  uint64_t h = 14695981039346656037ull;
  auto add = [&h](unsigned char byte) {
    h ^= byte;
    h *= 1099511628211ull;
  };
  if (f->exists) {
    for (uint64_t v : {identity_of(f)->device, identity_of(f)->inode})
      for (int i = 0; i < 8; ++i) add(static_cast<unsigned char>(v >> (8 * i)));
  } else {
    for (const char* c = f->canonical; *c; ++c) add(static_cast<unsigned char>(*c));
  }
  return h;
}

}  // namespace

void run_plan_init(RunPlan* plan) {
  plan->arena = nullptr;
  ptrlist_init(&plan->groups);
  plan->group_starts = nullptr;
  ptrlist_init(&plan->outputs);
  ptrlist_init(&plan->inputs);
  ptrlist_init(&plan->records);
  plan->record_of = nullptr;
  plan->record_count = 0;
  plan->curve = nullptr;
  plan->settings_hash = 0;
  plan->headers = nullptr;
  plan->header_count = 0;
}

void run_plan_release(RunPlan* plan) {
  if (!plan) return;
  ptrlist_release(&plan->groups);
  mem_free(plan->group_starts);
  plan->group_starts = nullptr;
  list_free(&plan->outputs);
  list_free(&plan->inputs);
  list_free(&plan->records);
  mem_free(plan->record_of);
  plan->record_of = nullptr;
  plan->record_count = 0;
  headers_free(plan);
  arena_free(&plan->arena);
  plan->curve = nullptr;
}

int run_plan_build(RunPlan* plan, const ToolConfig* cfg) {
  if (!plan || !cfg) return STATUS_BAD_ARGUMENT;
  RunPlan fresh;
  run_plan_init(&fresh);
  PtrList names;
  ptrlist_init(&names);
  int st = hashmap_keys(&cfg->groups, &names) ? 0 : STATUS_NO_MEMORY;
  Variables vars;
  ParentCache cache{};
  cache.templates = template_cache_new();
  // Where each group's inputs and outputs start, and where the last ends.
  uint64_t* starts = static_cast<uint64_t*>(mem_alloc(2 * (names.count + 1) * sizeof(uint64_t)));
  if (st == 0 && !starts) st = STATUS_NO_MEMORY;
  for (uint64_t i = 0; st == 0 && i < names.count; ++i) {
    String* name = static_cast<String*>(names.items[i]);
    const Group* group = name ? static_cast<const Group*>(hashmap_get(&cfg->groups, name, nullptr)) : nullptr;
    if (!group) {
      st = name ? STATUS_SYSTEM : STATUS_NO_MEMORY;
      break;
    }
    starts[2 * i] = fresh.inputs.count;
    starts[2 * i + 1] = fresh.outputs.count;
    st = ptrlist_push(&fresh.groups, const_cast<Group*>(group)) ? plan_group(&fresh, cfg, group, &vars, &cache)
                                                                : STATUS_NO_MEMORY;
  }
  if (st == 0) {
    starts[2 * names.count] = fresh.inputs.count;
    starts[2 * names.count + 1] = fresh.outputs.count;
    fresh.group_starts = starts;
    starts = nullptr;
  }
  mem_free(starts);
  // The lists grew by half at a time; a large plan keeps them for the run.
  // Shrinking is a copy that may fail, which changes nothing.
  for (PtrList* list : {&fresh.outputs, &fresh.inputs})
    if (st == 0 && list->capacity - list->count > 4096) (void)ptrlist_reserve(list, list->count);
  template_cache_free(cache.templates);
  parent_cache_release(&cache);
  variables_destroy(&vars);
  ptrlist_release(&names);
  if (st == 0) {
    ptrlist_swap(&plan->groups, &fresh.groups);
    uint64_t* old_starts = plan->group_starts;
    plan->group_starts = fresh.group_starts;
    fresh.group_starts = old_starts;
    PtrList old_outputs = plan->outputs, old_inputs = plan->inputs;
    plan->outputs = fresh.outputs;
    plan->inputs = fresh.inputs;
    fresh.outputs = old_outputs;
    fresh.inputs = old_inputs;
    // The old files, the records among them, go with the old arena.
    PlanArena* old_arena = plan->arena;
    plan->arena = fresh.arena;
    fresh.arena = old_arena;
    // Records belong to the outputs they describe.
    fresh.records = plan->records;
    ptrlist_init(&plan->records);
    fresh.record_of = plan->record_of;
    fresh.record_count = plan->record_count;
    plan->record_of = nullptr;
    plan->record_count = 0;
    plan->curve = nullptr;
    // So do the headers of the old inputs.
    fresh.headers = plan->headers;
    fresh.header_count = plan->header_count;
    plan->headers = nullptr;
    plan->header_count = 0;
  }
  run_plan_release(&fresh);
  return st;
}

int run_plan_add_input(RunPlan* plan, const String* path) {
  if (!plan || !path) return STATUS_BAD_ARGUMENT;
  PlannedFile* f = nullptr;
  int st = make_file(&f, &plan->arena, path, nullptr);
  if (st != 0) return st;
  return push_file(&plan->inputs, f);
}

int run_plan_add_report_file(RunPlan* plan, const String* path) {
  if (!plan || !path) return STATUS_BAD_ARGUMENT;
  PlannedFile* f = nullptr;
  int st = make_file(&f, &plan->arena, path, nullptr);
  if (st != 0) return st;
  f->kind = OUTPUT_REPORT;
  return push_file(&plan->outputs, f);
}

int run_plan_check(const RunPlan* plan) {
  if (!plan) return STATUS_BAD_ARGUMENT;
  // Every file in turn: the inputs, the outputs, then the records, which
  // take part as outputs after the outputs. The first file of an identity
  // is kept in an open-addressed table of positions; a later output of
  // that identity conflicts with it. Taken in this order the first is the
  // identity's first input if it has one, else its first output, and the
  // conflicts come out in the order of the outputs.
  const uint64_t inputs = plan->inputs.count, outputs = plan->outputs.count;
  const uint64_t n = inputs + outputs + plan->records.count;
  if (outputs == 0) return 0;
  if (n >= UINT32_MAX / 2) return STATUS_NO_MEMORY;
  uint64_t size = 16;
  while (size < n + n / 2) size *= 2;
  uint32_t* slots = static_cast<uint32_t*>(mem_calloc(size, sizeof(uint32_t)));  // position + 1; 0 free
  if (!slots) return STATUS_NO_MEMORY;
  auto file_at = [&](uint64_t i) {
    const PtrList* list = i < inputs ? &plan->inputs : i < inputs + outputs ? &plan->outputs : &plan->records;
    const uint64_t at = i < inputs ? i : i < inputs + outputs ? i - inputs : i - inputs - outputs;
    return static_cast<const PlannedFile*>(list->items[at]);
  };
  bool found = false;
  for (uint64_t i = 0; i < n; ++i) {
    const PlannedFile* file = file_at(i);
    uint64_t at = identity_hash(file) & (size - 1);
    while (slots[at] != 0 && !same_identity(file_at(slots[at] - 1), file)) at = (at + 1) & (size - 1);
    if (slots[at] == 0) {
      slots[at] = static_cast<uint32_t>(i + 1);
      continue;
    }
    if (i < inputs) continue;  // the same input named twice is no conflict
    const uint64_t first = slots[at] - 1;
    const PlannedFile* other = file_at(first);
    // Two records meet exactly where their outputs do, which is told already.
    if (file->kind == OUTPUT_RECORD && other->kind == OUTPUT_RECORD) continue;
    found = true;
    if (first < inputs) {
      std::fprintf(stderr, "  output '%s' would overwrite input '%s'\n", text_of(&file->path),
                   text_of(&other->path));
    } else {
      // A report file has no source: the run itself writes it.
      std::fprintf(stderr, "  outputs of '%s' (%s) and '%s' (%s) both resolve to '%s'\n",
                   other->source ? text_of(&other->source->path) : "the run", output_kind_row(other->kind).keyword,
                   file->source ? text_of(&file->source->path) : "the run", output_kind_row(file->kind).keyword,
                   text_of(&file->path));
    }
  }
  mem_free(slots);
  return found ? STATUS_EXISTS : 0;
}

bool run_plan_same_file(const PlannedFile* a, const PlannedFile* b) { return same_identity(a, b); }

uint64_t run_plan_file_hash(const PlannedFile* file) { return identity_hash(file); }

int run_plan_keep_headers(RunPlan* plan) {
  const uint64_t n = plan->inputs.count;
  InputHeader* table = static_cast<InputHeader*>(mem_calloc(n ? n : 1, sizeof(InputHeader)));
  if (!table) return STATUS_NO_MEMORY;
  headers_free(plan);
  plan->headers = table;
  plan->header_count = n;
  return 0;
}

const InputHeader* run_plan_header(const RunPlan* plan, const PlannedFile* input) {
  if (!plan || !input || input->position >= plan->header_count) return nullptr;
  // Outputs have positions too: only the input at that place is one.
  if (plan->inputs.items[input->position] != input) return nullptr;
  return &plan->headers[input->position];
}

void run_plan_print(const RunPlan* plan, FILE* out) {
  // Each path is converted in one scratch copy: a conversion kept on every
  // path of a large plan would take more memory than the plan.
  String scratch;
  string_init(&scratch);
  for (uint64_t i = 0; i < plan->outputs.count; ++i) {
    const PlannedFile* f = static_cast<const PlannedFile*>(plan->outputs.items[i]);
    if (!string_assign(&scratch, &f->path)) string_clear(&scratch);
    std::fprintf(out, "%s\n", text_of(&scratch));
  }
  string_free(&scratch);
}

uint64_t run_plan_output_count(const RunPlan* plan) { return plan ? plan->outputs.count : 0; }

const PlannedFile* run_plan_output(const RunPlan* plan, uint64_t i) {
  if (!plan || i >= plan->outputs.count) return nullptr;
  return static_cast<const PlannedFile*>(plan->outputs.items[i]);
}

namespace {

// The place of `group` in the plan's groups, or UINT64_MAX. The groups'
// positions in the run's order give it at once when they are set.
uint64_t group_index(const RunPlan* plan, const Group* group) {
  const uint64_t p = group ? group->position : 0;
  if (p >= 1 && p <= plan->groups.count && plan->groups.items[p - 1] == group) return p - 1;
  for (uint64_t i = 0; i < plan->groups.count; ++i)
    if (plan->groups.items[i] == group) return i;
  return UINT64_MAX;
}

}  // namespace

void run_plan_group_range(const RunPlan* plan, const Group* group, bool outputs, uint64_t* from, uint64_t* to) {
  *from = 0;
  *to = plan ? (outputs ? plan->outputs.count : plan->inputs.count) : 0;
  if (!plan || !plan->group_starts) return;
  const uint64_t i = group_index(plan, group);
  if (i == UINT64_MAX) {
    *to = 0;
    return;
  }
  *from = plan->group_starts[2 * i + (outputs ? 1 : 0)];
  *to = plan->group_starts[2 * (i + 1) + (outputs ? 1 : 0)];
}

const PlannedFile* run_plan_find(const RunPlan* plan, const Group* group, uint64_t child,
                                 OutputKind kind) {
  uint64_t from, to;
  run_plan_group_range(plan, group, true, &from, &to);
  for (uint64_t i = from; i < to; ++i) {
    const PlannedFile* f = static_cast<const PlannedFile*>(plan->outputs.items[i]);
    if (f->group == group && f->child == child && f->kind == kind) return f;
  }
  return nullptr;
}

bool run_plan_file_exists(const PlannedFile* file) {
  if (!file) return false;
  // Only a regular file is an output made before: a directory or a FIFO
  // at its name is in the way, as it is without skipping.
  struct stat info;
  return stat(file->canonical, &info) == 0 && S_ISREG(info.st_mode);
}

bool run_plan_child_done(const RunPlan* plan, const Group* group, uint64_t child) {
  bool any = false;
  uint64_t from, to;
  run_plan_group_range(plan, group, true, &from, &to);
  for (uint64_t i = from; i < to; ++i) {
    const PlannedFile* f = static_cast<const PlannedFile*>(plan->outputs.items[i]);
    if (f->group != group || f->child != child || f->kind == OUTPUT_FR_MASTER) continue;
    if (!run_plan_output_current(plan, f)) return false;
    any = true;
  }
  return any;
}

namespace {

constexpr char kRecordSuffix[] = ".timbral-record";
constexpr char kRecordHeader[] = "timbral output record 1\n";

// Settings that choose what runs, where, and how it is told, never the
// bytes of an output.
bool shapes_output(const SettingRow* row) {
  if (!setting_codec(row)->hash || row->offset == SIZE_MAX || row->short_name[0] == 0) return false;
  static const char* const kOthers[] = {"-d", "-s", "-q", "-dr", "-k", "-se", "-j", "-r", "-sh", "-lg", "-ps"};
  for (const char* name : kOthers)
    if (std::strcmp(row->short_name, name) == 0) return false;
  return true;
}

uint64_t settings_hash(const ToolConfig* cfg) {
  uint64_t h = 14695981039346656037ull;
  // In the order of the help, as records written before hold them.
  for (size_t i = 0; i < SETTINGS_COUNT; ++i) {
    const SettingRow* row = setting_in_help_order(i);
    if (!shapes_output(row)) continue;
    settings_hash_bytes(&h, row->short_name, std::strlen(row->short_name) + 1);
    setting_codec(row)->hash(&h, cfg, row);
  }
  return h;
}

// A growing text from mem_alloc; `failed` once memory ran out.
struct Text {
  char* data = nullptr;
  size_t used = 0, capacity = 0;
  bool failed = false;
  void add(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

void Text::add(const char* format, ...) {
  if (failed) return;
  for (;;) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(data ? data + used : nullptr, data ? capacity - used : 0, format, args);
    va_end(args);
    if (n < 0) {
      failed = true;
      return;
    }
    if (data && used + static_cast<size_t>(n) < capacity) {
      used += static_cast<size_t>(n);
      return;
    }
    size_t wanted = (capacity ? capacity * 2 : 512) + static_cast<size_t>(n);
    char* bigger = static_cast<char*>(mem_alloc(wanted));
    if (!bigger) {
      failed = true;
      return;
    }
    if (data) std::memcpy(bigger, data, used);
    bigger[used] = 0;
    mem_free(data);
    data = bigger;
    capacity = wanted;
  }
}

// Size and modification time of a regular file (following links); false
// when there is none.
bool file_stamp(const char* path, struct stat* info) {
  return stat(path, info) == 0 && S_ISREG(info->st_mode);
}

// Calls `visit` for every input the output was made from: the group's
// masters, its child, the target curve. False as soon as `visit` is.
// A group's inputs stand together in the plan (its masters, then its
// children), so only that stretch around the output's own source is read.
template <typename Visit>
bool each_source(const RunPlan* plan, const PlannedFile* out, Visit visit) {
  auto input = [&](uint64_t i) { return static_cast<const PlannedFile*>(plan->inputs.items[i]); };
  const PlannedFile* source = out->source;
  const bool placed = source && source->position < plan->inputs.count && input(source->position) == source;
  uint64_t first = 0, last = plan->inputs.count;
  if (placed) {
    first = source->position;
    while (first > 0 && input(first - 1)->group == out->group) --first;
    last = source->position + 1;
    while (last < plan->inputs.count && input(last)->group == out->group) ++last;
  }
  for (uint64_t i = first; i < last; ++i) {
    const PlannedFile* in = input(i);
    if (!in->group || in->group != out->group) continue;
    if (in->child != 0 && in->child != out->child) continue;
    if (!visit(in)) return false;
  }
  return !plan->curve || visit(plan->curve);
}

// The record the output would get now; false when an input or the output
// is missing, or memory runs out.
bool record_text(const RunPlan* plan, const PlannedFile* out, Text* text) {
  struct stat info;
  if (!file_stamp(out->canonical, &info)) return false;
  text->add("%ssettings %016llx\noutput %lld %lld.%09ld\n", kRecordHeader,
            static_cast<unsigned long long>(plan->settings_hash), static_cast<long long>(info.st_size),
            static_cast<long long>(info.st_mtim.tv_sec), static_cast<long>(info.st_mtim.tv_nsec));
  const bool all = each_source(plan, out, [&](const PlannedFile* in) {
    struct stat source;
    if (!file_stamp(in->canonical, &source)) return false;
    text->add("input %lld %lld.%09ld %s\n", static_cast<long long>(source.st_size),
              static_cast<long long>(source.st_mtim.tv_sec), static_cast<long>(source.st_mtim.tv_nsec),
              in->canonical);
    return true;
  });
  return all && !text->failed;
}

bool newer(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// The whole content of a small regular file; false when it cannot be read.
bool read_small_file(const char* path, Text* text) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  char buffer[4096];
  size_t n;
  bool ok = true;
  while (ok && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    text->add("%.*s", static_cast<int>(n), buffer);
    ok = !text->failed && text->used < (size_t{1} << 24);
  }
  ok = ok && !std::ferror(f);
  std::fclose(f);
  return ok;
}

}  // namespace

int run_plan_add_records(RunPlan* plan, const ToolConfig* cfg, const PlannedFile* curve) {
  if (!plan || !cfg) return STATUS_BAD_ARGUMENT;
  PtrList records;
  ptrlist_init(&records);
  String path, base;
  string_init(&path);
  string_init(&base);
  const uint64_t outputs = plan->outputs.count;
  const PlannedFile** record_of =
      static_cast<const PlannedFile**>(mem_calloc(outputs ? outputs : 1, sizeof(const PlannedFile*)));
  int st = record_of ? 0 : STATUS_NO_MEMORY;
  for (uint64_t i = 0; st == 0 && i < outputs; ++i) {
    const PlannedFile* out = static_cast<const PlannedFile*>(plan->outputs.items[i]);
    if (out->kind == OUTPUT_REPORT) continue;
    const int64_t slash = string_find_last(&out->path, '/');
    const int64_t start = slash + 1;
    string_clear(&path);
    bool ok = (start == 0 || string_assign_range(&path, &out->path, 0, start)) &&
              string_assign_range(&base, &out->path, start) && string_append_char(&path, '.') &&
              string_append(&path, &base) && string_append_ascii(&path, kRecordSuffix);
    PlannedFile* record = nullptr;
    st = ok ? make_file(&record, &plan->arena, &path, nullptr) : STATUS_NO_MEMORY;
    if (st != 0) break;
    record->group = out->group;
    record->child = out->child;
    record->kind = OUTPUT_RECORD;
    record->source = out->source;
    record_of[i] = record;
    st = push_file(&records, record);
  }
  string_free(&path);
  string_free(&base);
  if (st != 0) {
    list_free(&records);
    mem_free(record_of);
    return st;
  }
  // Every record made: they go to the plan, each linked to its output.
  list_free(&plan->records);
  plan->records = records;
  mem_free(plan->record_of);
  plan->record_of = record_of;
  plan->record_count = outputs;
  plan->settings_hash = settings_hash(cfg);
  plan->curve = curve;
  return 0;
}

const PlannedFile* run_plan_record(const RunPlan* plan, const PlannedFile* output) {
  if (!plan || !output || output->position >= plan->record_count ||
      plan->outputs.items[output->position] != output)
    return nullptr;
  return plan->record_of[output->position];
}

bool run_plan_output_current(const RunPlan* plan, const PlannedFile* file) {
  if (!run_plan_file_exists(file)) return false;
  const PlannedFile* record = run_plan_record(plan, file);
  if (!record) return true;
  Text saved;
  struct stat info;
  if (lstat(record->canonical, &info) != 0 && errno == ENOENT) {
    // Made before records were kept: up to date when newer than every input.
    struct stat output;
    if (stat(file->canonical, &output) != 0) return false;
    return each_source(plan, file, [&](const PlannedFile* in) {
      struct stat source;
      return file_stamp(in->canonical, &source) && newer(output.st_mtim, source.st_mtim);
    });
  }
  Text now;
  bool current = read_small_file(record->canonical, &saved) && record_text(plan, file, &now) &&
                 saved.used == now.used && std::memcmp(saved.data, now.data, now.used) == 0;
  mem_free(saved.data);
  mem_free(now.data);
  return current;
}

void run_plan_write_record(const RunPlan* plan, const PlannedFile* file) {
  const PlannedFile* record = run_plan_record(plan, file);
  if (!record) return;
  Text text;
  int st = record_text(plan, file, &text) ? 0 : STATUS_NO_MEMORY;
  char* path = st == 0 ? mem_strdup(record->canonical) : nullptr;
  if (st == 0 && !path) st = STATUS_NO_MEMORY;
  if (st == 0) {
    char* slash = std::strrchr(path, '/');
    *slash = 0;
    st = report_write_file(path[0] ? path : "/", slash + 1, text.data, text.used);
  }
  if (st != 0)
    std::fprintf(stderr, "[WRN] could not write the record '%s', error code: %d\n", text_of(&record->path), st);
  mem_free(path);
  mem_free(text.data);
}
