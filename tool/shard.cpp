#include "tool/shard.h"

#include <cstdio>
#include <cstring>

#include "runtime/alloc.h"
#include "runtime/hash_map.h"
#include "runtime/status.h"
#include "runtime/string.h"
#include "runtime/suggest.h"
#include "tool/tool_config.h"

namespace {

constexpr uint64_t kLargestCount = uint64_t{1} << 40;

// A decimal number of at most 13 digits filling the whole of [text, end).
bool read_number(const char* text, const char* end, uint64_t* out) {
  if (text == end || end - text > 13) return false;
  uint64_t v = 0;
  for (const char* p = text; p < end; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
  }
  *out = v;
  return true;
}

bool read_variable(EnvironmentFn env, const char* name, bool* present, uint64_t* out) {
  const char* v = env(name);
  *present = v != nullptr;
  return v && read_number(v, v + std::strlen(v), out);
}

int bad_shard(const char* why) {
  std::fprintf(stderr, "Bad 'shard' value\n  %s\n", why);
  return STATUS_BAD_VALUE;
}

int bad_variables(const char* why, const char* name) {
  std::fprintf(stderr, "Bad 'shard' value\n  %s%s\n", why, name);
  return STATUS_BAD_VALUE;
}

// The scheduler's index and count; see shard_parse.
int shard_from_environment(EnvironmentFn env, uint64_t* index, uint64_t* count) {
  bool present = false;
  uint64_t id = 0;
  const bool id_ok = read_variable(env, "SLURM_ARRAY_TASK_ID", &present, &id);
  if (present) {
    if (!id_ok) return bad_variables("not a task index: ", "SLURM_ARRAY_TASK_ID");
    uint64_t min = 0, max = 0, n = 0;
    bool min_present = false, max_present = false, n_present = false;
    if (!read_variable(env, "SLURM_ARRAY_TASK_MIN", &min_present, &min) && min_present)
      return bad_variables("not a task index: ", "SLURM_ARRAY_TASK_MIN");
    const bool n_ok = read_variable(env, "SLURM_ARRAY_TASK_COUNT", &n_present, &n);
    if (n_present && !n_ok) return bad_variables("not a task count: ", "SLURM_ARRAY_TASK_COUNT");
    if (!n_present) {
      if (!read_variable(env, "SLURM_ARRAY_TASK_MAX", &max_present, &max) || max < min)
        return bad_variables("SLURM_ARRAY_TASK_ID is set but neither SLURM_ARRAY_TASK_COUNT nor a valid ",
                             "SLURM_ARRAY_TASK_MAX");
      n = max - min + 1;
    }
    if (id < min || id - min >= n)
      return bad_variables("the task lies outside the array: SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN >= ",
                           "SLURM_ARRAY_TASK_COUNT");
    *index = id - min;
    *count = n;
    return 0;
  }
  // Kubernetes gives the index only, GNU parallel a sequence from 1: the
  // count comes from TIMBRAL_SHARD_COUNT.
  static const char* const kIndexed[] = {"JOB_COMPLETION_INDEX", "PARALLEL_SEQ"};
  for (int k = 0; k < 2; ++k) {
    if (!read_variable(env, kIndexed[k], &present, &id)) {
      if (present) return bad_variables("not a shard index: ", kIndexed[k]);
      continue;
    }
    uint64_t n = 0;
    if (!read_variable(env, "TIMBRAL_SHARD_COUNT", &present, &n) || n == 0 || n > kLargestCount) {
      std::fprintf(stderr, "Bad 'shard' value\n  %s is set but TIMBRAL_SHARD_COUNT is %s\n", kIndexed[k],
                   present ? "not a count of at least 1" : "not");
      return STATUS_BAD_VALUE;
    }
    if (k == 1) {
      if (id == 0) return bad_variables("GNU parallel's sequence starts at 1: ", "PARALLEL_SEQ");
      --id;
    }
    if (id >= n) {
      std::fprintf(stderr, "Bad 'shard' value\n  %s is not below TIMBRAL_SHARD_COUNT\n", kIndexed[k]);
      return STATUS_BAD_VALUE;
    }
    *index = id;
    *count = n;
    return 0;
  }
  return bad_shard(
      "no scheduler's shard in the environment: set SLURM_ARRAY_TASK_ID (with SLURM_ARRAY_TASK_COUNT), "
      "JOB_COMPLETION_INDEX or PARALLEL_SEQ (each with TIMBRAL_SHARD_COUNT)");
}

const char* utf8_of(const String* s) {
  const char* t = string_to_utf8(const_cast<String*>(s));
  return t ? t : "";
}

// 13 with "Unknown group '<name>'" and, when one is close, a suggestion.
int unknown_group(const String* name, const PtrList& keys) {
  const char** known = static_cast<const char**>(mem_calloc(keys.count ? keys.count : 1, sizeof(char*)));
  int64_t best = -1;
  if (known) {
    for (uint64_t i = 0; i < keys.count; ++i) known[i] = utf8_of(static_cast<const String*>(keys.items[i]));
    best = suggest_closest(name, known, keys.count);
  }
  std::fprintf(stderr, "Unknown group '%s'\n", utf8_of(name));
  if (best >= 0) std::fprintf(stderr, "  did you mean '%s'?\n", known[best]);
  else std::fprintf(stderr, "  the configuration has no group of that name\n");
  mem_free(known);
  return STATUS_BAD_ARGUMENT;
}

}  // namespace

uint64_t shard_hash(const char* utf8, size_t length) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < length; ++i) {
    h ^= static_cast<unsigned char>(utf8[i]);
    h *= 1099511628211ull;
  }
  return h;
}

int shard_parse(const char* text, EnvironmentFn env, uint64_t* index, uint64_t* count) {
  if (std::strcmp(text, "env") == 0) return shard_from_environment(env, index, count);
  const char* slash = std::strchr(text, '/');
  uint64_t i = 0, n = 0;
  if (!slash || !read_number(text, slash, &i) || !read_number(slash + 1, slash + 1 + std::strlen(slash + 1), &n))
    return bad_shard("expected i/n (two decimal numbers, such as 0/4) or env");
  if (n == 0 || n > kLargestCount) return bad_shard("the count of shards n must be at least 1");
  if (i >= n) return bad_shard("the shard index i must be below the count n (shards count from 0)");
  *index = i;
  *count = n;
  return 0;
}

int resolve_selection(ToolConfig* cfg, EnvironmentFn env) {
  if (cfg->shard.length > 0) {
    const char* text = string_to_utf8(&cfg->shard);
    if (!text) return STATUS_NO_MEMORY;
    int st = shard_parse(text, env, &cfg->shard_index, &cfg->shard_count);
    if (st != 0) return st;
  }
  PtrList keys;
  ptrlist_init(&keys);
  if (!hashmap_keys(&cfg->groups, &keys)) {
    std::fprintf(stderr, "Not enough memory\n");
    return STATUS_NO_MEMORY;
  }
  int st = 0;
  for (uint64_t i = 0; i < keys.count; ++i) {
    Group* g = static_cast<Group*>(hashmap_get(&cfg->groups, keys.items[i], nullptr));
    if (g) g->position = i + 1;
  }
  for (uint64_t i = 0; st == 0 && i < cfg->only_groups.count; ++i) {
    String* name = static_cast<String*>(cfg->only_groups.items[i]);
    if (!toolconfig_find_group(cfg, name)) st = unknown_group(name, keys);
  }
  ptrlist_release(&keys);
  return st;
}

namespace {

// shard_hash of the name's UTF-8, encoded on the way: nothing to allocate,
// so nothing that could fail and move a group out of its shard.
uint64_t name_hash(const String* name) {
  uint64_t h = 14695981039346656037ull;
  uint8_t bytes[4];
  for (uint64_t i = 0; i < name->length; ++i) {
    const unsigned n = encode_utf8_char(name->chars[i], bytes);
    for (unsigned k = 0; k < n; ++k) {
      h ^= bytes[k];
      h *= 1099511628211ull;
    }
  }
  return h;
}

}  // namespace

bool group_selected(const ToolConfig* cfg, const Group* group) {
  if (cfg->shard_count > 1 && name_hash(&group->name) % cfg->shard_count != cfg->shard_index) return false;
  if (cfg->only_groups.count == 0) return true;
  for (uint64_t i = 0; i < cfg->only_groups.count; ++i) {
    if (string_compare(static_cast<const String*>(cfg->only_groups.items[i]), &group->name) == 0) return true;
  }
  return false;
}

bool run_is_shard(const ToolConfig* cfg) { return cfg->shard_count > 1; }
