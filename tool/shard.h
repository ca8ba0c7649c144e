#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/ptrlist.h"

struct Group;
struct String;
struct ToolConfig;

// Spreading one configuration over several processes. The unit of work is
// the group (its children share the master's analysis). A group belongs to
// shard shard_hash(name) mod n, so a group keeps its shard whatever other
// groups are added or removed.

// FNV-1a, 64 bits, over the bytes of `utf8`: offset basis
// 14695981039346656037, prime 1099511628211. Written down in the README:
// a scheduler outside this program may compute it too.
uint64_t shard_hash(const char* utf8, size_t length);

// Where an environment variable comes from; tests pass their own.
typedef const char* (*EnvironmentFn)(const char* name);

// Reads "i/n" (0 <= i < n, n >= 1, decimal) into index and count. "env"
// reads them from the scheduler's variables, in this order:
//   SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN (MIN 0 when unset) of
//     SLURM_ARRAY_TASK_COUNT (or MAX - MIN + 1 without COUNT);
//   JOB_COMPLETION_INDEX of TIMBRAL_SHARD_COUNT (Kubernetes indexed jobs);
//   PARALLEL_SEQ - 1 of TIMBRAL_SHARD_COUNT (GNU parallel counts from 1).
// Returns 0, or 28 after "Bad 'shard' value" and a line saying why on
// standard error (for "env": which variables were missing or malformed).
[[nodiscard]] int shard_parse(const char* text, EnvironmentFn env, uint64_t* index, uint64_t* count);

// Resolves cfg->shard into shard_index/shard_count, checks every name of
// cfg->only_groups (13 with a suggestion for an unknown one) and numbers
// every group in the run's order (Group::position). Returns 0, 28, 13 or 5
// after its message.
[[nodiscard]] int resolve_selection(ToolConfig* cfg, EnvironmentFn env);

// Whether the group runs in this process: it falls in this shard and, when
// groups are named with --only-group, it is one of them.
bool group_selected(const ToolConfig* cfg, const Group* group);

// Whether the run is a part of a larger one (a shard other than 0/1).
bool run_is_shard(const ToolConfig* cfg);
