#pragma once

#include <cstdint>

struct Group;
struct ToolConfig;
struct RunPlan;
struct RunReport;
struct TargetCurve;

// Linear gain of a dB setting: exp(dB x ln 10 x 0.05), the product formed
// in double precision with the single-precision 0.05, rounded to float and
// passed to the float exponential. No clamping here.
float decibels_to_gain(float db);

// Dry and wet gains: 0 at -150 dB and below, at most +150 dB.
float mix_gain(float db);

// The configured FFT rank clamped to 8..16.
unsigned effective_fft_rank(int64_t fft_rank);

// What one run shares between its groups: the settings, the plan of every
// file it reads and writes, the report being filled, and the counts of the
// summary line.
struct RunContext {
  ToolConfig* cfg;
  const RunPlan* plan;    // every run has one: the writers save at its paths
  RunReport* report;      // null: no report
  const char* report_dir; // UTF-8 directory of the report (files are listed relative to it)
  const TargetCurve* target_curve;  // null: none; else added to every target spectrum
  // The report an earlier run left in report_dir, whose records the
  // children skipped as up to date keep; null: none.
  const RunReport* previous_report = nullptr;
  uint64_t files_written;
  uint64_t children_failed;
  uint64_t children_skipped;
  int first_failure;      // status of the first failure kept going past; 0 none
};

void run_context_init(RunContext* ctx, ToolConfig* cfg);

// Processes the groups of the plan (ctx->plan) that this process runs, in
// the plan's order. Without keep_going the first failing group ends the run
// with its status; with it a failing child or group is reported, counted
// and skipped, and the run's status is that of the first failure. Returns
// 0, that status, 5 without memory, or 13 without a plan.
//
// Each group is a master job and a job per child, in the run's order. One
// job at a time runs in the calling thread, or `jobs` workers take them in
// order; the calling thread takes the results in that order either way
// (lines, report records, counts, keep_going), so every job count gives the
// same lines, files, report and status. A group that cannot run (no
// master, nothing to produce, no children) ends with 0 and its notice.
[[nodiscard]] int process_all_groups(RunContext* ctx);

// The whole run after the command line: works out every file of the run
// and refuses it before any audio is read when an output would replace an
// input or another output (17) or a template fails (7); opens every input
// it will load and reads its header (run_preflight), refusing the run at
// the first that cannot be opened unless keep_going; lists the planned
// outputs and stops for a dry run; otherwise processes the groups, prints
// the summary line when keep_going or skip_existing is on, and writes the
// report when one is asked for (also after a failure). `argc`/`argv` go
// into the report. Returns the run's status.
[[nodiscard]] int run_groups(ToolConfig* cfg, int argc, char** argv);
