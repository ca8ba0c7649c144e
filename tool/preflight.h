#pragma once

#include <cstdint>

#include "runtime/hash_map.h"
#include "runtime/string.h"

struct Group;
struct InputHeader;
struct PlannedFile;
struct RunPlan;
struct ToolConfig;

// The check of every audio input before any audio is read: each input the
// run will load (the groups of this process; with skip_existing not the
// children whose outputs are all up to date) is opened as the loader opens
// it, without blocking, and its header read once per distinct file (a
// master shared by groups, or a child listed twice, is asked once). What it
// tells is kept in the plan's table of headers (run_plan_keep_headers,
// run_plan_header), made here: a plan that is only listed has none.
//
// An input that cannot be opened ends the run before any work, with the
// lines the load gives at that file ("  could not read file '<path>',
// error code: <n>" and the cause) and its status: the first such input in
// the run's order. With keep_going the run goes on and meets the file as it
// always did, so nothing is printed here; a dry run with keep_going prints,
// for every such input in order, the load's lines and the line the run
// adds when it skips the group ("  skipping group '<g>' after error <n>",
// for a master or a further reference, whose group is then passed over) or
// the child ("  skipping child '<c>' after error <n>"), and *kept_going
// receives the first one's status (the status the run would end with).
// Returns 0, that status, or 5 when memory runs out (nothing printed).
// `known` (may be null) holds headers read before the plan was made; a
// file found there is not asked again.
struct HeaderCache;
[[nodiscard]] int run_preflight(RunPlan* plan, const ToolConfig* cfg, const HeaderCache* known, int* kept_going);

// Headers read before the plan exists (a group that runs at its master's
// rate needs it for its names), by the path the loader reads, so that the
// preflight asks no file twice.
struct HeaderCache {
  HashMap headers;  // UTF-8 path -> InputHeader* (owned, with its cause)
};
void header_cache_init(HeaderCache* cache);
void header_cache_release(HeaderCache* cache);
// The header of the input `name` (resolved as the loader resolves it),
// asked once per path and kept in `cache`; *header points into it. Nothing
// is printed. 0, or 5 when memory runs out.
[[nodiscard]] int header_cache_read(HeaderCache* cache, const ToolConfig* cfg, const String* name,
                                    const InputHeader** header);

// The header the preflight kept for input `child` (1-based; 0 for the
// group's first master) of `group`: null when the plan keeps no headers or
// has no such input. Whether it was asked, and what it said, is in it.
const InputHeader* preflight_input_header(const RunPlan* plan, const Group* group, uint64_t child);

// What the preflight found that the run will refuse or end a group at,
// though not before work: a child whose channels cannot be matched to its
// master's, a file without the two channels mid/side needs, and a rate
// below the lowest supported one or too far from the group's. One line per
// finding on standard error, in the run's order, each saying what the run
// will do there. Inputs the preflight did not check, or that cannot be
// opened, get none; nor do the children of a master that cannot be loaded,
// nor, without keep_going, the children after one the group ends at.
void print_preflight_notes(const RunPlan* plan, const ToolConfig* cfg);

// Whether the run, without keep_going, leaves the group of `child` (an
// input the preflight checked) at it because its channels cannot be matched
// to its master's (`master`, null when the group has none) or are not the
// two mid/side needs. The children after it are then never reached.
bool preflight_group_ends_at(const RunPlan* plan, const ToolConfig* cfg, const PlannedFile* master,
                             const PlannedFile* child);
