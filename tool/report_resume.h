#pragma once

#include <cstdint>

struct Group;
struct ReportChild;
struct RunContext;
struct RunReport;

// A run that keeps its up-to-date outputs (skip existing) and writes a
// report into a directory that already holds one: the children it does not
// run keep the records the earlier report has of them (measurements,
// curves, files, plot), so that the new report is as complete as the one
// it replaces.

// Reads `report_dir`/report.json, the report an earlier run left where this
// run's report will go, into *previous before the run replaces it. True
// when it was read. No file there is no earlier report, silently; a file
// that cannot be read or is not a run report gets one "[WRN]" line naming
// it and saying why, and leaves *previous empty. Never fails the run.
bool report_resume_load(const char* report_dir, RunReport* previous);

// For the record `rc` of child `index` (1-based) of `group`, not run
// because all its outputs are up to date: takes the earlier report's record
// of the same child (ctx->previous_report) in place of the empty one, when
// it is still valid: the same group name and child input path, an outcome
// of done or skipped without failure, and a list of files of which each is
// one the plan has for that child now (all of them found up to date; a
// record of an older version may list only the files its run made), as
// paths relative to
// the report directory. The record keeps this run's outcome (skipped, "all
// outputs exist"); its plot is the earlier plot file, copied as it is when
// it can be read. Nothing changes without an earlier record, or when one
// cannot be taken (memory).
void report_resume_child(const RunContext* ctx, const Group* group, uint64_t index, ReportChild* rc);
