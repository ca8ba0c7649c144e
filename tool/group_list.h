#pragma once

#include <cstdio>

struct RunPlan;
struct ToolConfig;

// The plan of this process's groups as JSON Lines, one object per group in
// the run's order, for an orchestrator that fans the work out itself:
//   {"group": NAME, "shard": I, "position": K, "master": PATH,
//    "outputs": [{"kind": "frm", "path": PATH, "exists": BOOL}],
//    "children": [{"input": PATH, "outputs": [...]}]}
// Paths are as the run resolves them (src_path, dst_path applied); "exists"
// is whether the file existed when the plan was made. Reads no audio.
// `plan` is the plan of the whole configuration (run_plan_build).
// Returns 0, or 5 when memory runs out.
[[nodiscard]] int write_group_list(const ToolConfig* cfg, const RunPlan* plan, FILE* out);

// write_group_list into cfg->list_groups ("-" for standard output). 0, 5,
// or the status of the file (after a line naming it).
[[nodiscard]] int list_groups(const ToolConfig* cfg, const RunPlan* plan);

// The dry run's listing for a shard or a selection: the planned outputs of
// the groups that run here, and the run's own files.
void print_selected_outputs(const ToolConfig* cfg, const RunPlan* plan, FILE* out);
