#pragma once

struct RunReport;
struct ToolConfig;

// Reads a report.json a run wrote back into *out (replaced only on
// success): the run's members and every group and child record, the
// children's measures included (spectrum and curves on the file's frequency
// grid, limiter, delivery, files, the plot's name). 0; 5; the file's status
// when it cannot be opened (6 when missing); 55 and the like when it is not
// a run report. *why says why in a phrase ("is not JSON", ...) on failure.
[[nodiscard]] int report_read(const char* path, RunReport* out, const char** why);

// timbral --merge-reports DIR: folds every DIR/shard-I-of-N/report.json
// written by the shards of one run into DIR/report.json, DIR/index.html
// and the plots, as one process running the whole configuration would have
// written them: groups in the run's order (each shard's report gives every
// group's place in it), file paths relative to DIR, plots numbered by their
// place in the merged report. The merged report.json has, instead of the
// shard's "shard" member, "shards": {"count": N, "missing": [...],
// "failed": [...]}; its status and message are those of the first failed
// shard.
//
// A shard without a report is a warning (the merge writes what exists);
// two shards that report the same group are refused with 17 before
// anything is written. Other refusals, each with a line saying why: 6 (no
// shard report under DIR), 28 (shard directories of different counts), 55
// (a report that cannot be read as one shard's report), 5; writing
// failures as report_write_file gives them.
[[nodiscard]] int merge_reports(const ToolConfig* cfg);
