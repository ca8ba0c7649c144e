#include "tool/report_resume.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "report/run_report.h"
#include "report/text_buffer.h"
#include "runtime/alloc.h"
#include "runtime/status.h"
#include "tool/output_kinds.h"
#include "tool/pipeline.h"
#include "tool/report_merge.h"
#include "tool/run_plan.h"
#include "tool/tool_config.h"

namespace {

// A plot larger than this is no plot the report wrote.
constexpr uint64_t kMaxPlotBytes = uint64_t(16) << 20;

// mem_alloc'd "dir/name".
char* join(const char* dir, const char* name) {
  const size_t a = std::strlen(dir), b = std::strlen(name);
  char* out = static_cast<char*>(mem_alloc(a + b + 2));
  if (!out) return nullptr;
  std::memcpy(out, dir, a);
  out[a] = '/';
  std::memcpy(out + a + 1, name, b + 1);
  return out;
}

const char* utf8_of(const String* s) { return s ? string_to_utf8(const_cast<String*>(s)) : nullptr; }

template <typename T>
T* item(const DynArray& list, uint64_t i) {
  return static_cast<T* const*>(list.data)[i];
}

// Whether every file the earlier record lists is one the plan has for
// child `index` of `group` now (the same kind and path relative to the
// report), and it lists one at least: the outputs that run made, all up to
// date now, so its measures are those of the inputs and settings of now.
// (A record of an older version lists only the outputs its run made, not
// those it kept.) *audio receives the planned processed audio (null when
// none). False also when memory runs out.
bool lists_planned_files(const RunContext* ctx, const Group* group, uint64_t index, const ReportChild* prev,
                         const PlannedFile** audio) {
  *audio = run_plan_find(ctx->plan, group, index, OUTPUT_AUDIO);
  bool ok = prev->files.count > 0;
  for (uint64_t i = 0; ok && i < prev->files.count; ++i) {
    const ReportFile& f = static_cast<const ReportFile*>(prev->files.data)[i];
    // The child's planned output of the kind the file is listed as.
    const PlannedFile* o = nullptr;
    for (size_t k = 0; k < OUTPUT_KIND_COUNT && !o; ++k) {
      const OutputKindRow& row = OUTPUT_KINDS[k];
      if (row.owner == OUTPUT_OF_CHILD && row.report_kind == f.kind)
        o = run_plan_find(ctx->plan, group, index, row.kind);
    }
    const char* path = o ? utf8_of(&o->path) : nullptr;
    char* relative = nullptr;
    ok = path && f.path && report_relative_path(ctx->report_dir, path, &relative) == 0 &&
         std::strcmp(f.path, relative) == 0;
    mem_free(relative);
  }
  return ok;
}

// Whether `name` is a plot file name the report writes ("plot-...svg",
// nothing but a name in the report's directory).
bool plot_name(const char* name) {
  const size_t n = std::strlen(name);
  return n > 9 && std::strncmp(name, "plot-", 5) == 0 && std::strcmp(name + n - 4, ".svg") == 0 &&
         !std::strchr(name, '/') && !std::strchr(name, '\\') && name[0] != '.';
}

// The earlier plot `name` in `dir`, read whole (mem_alloc'd); null when it
// is missing, not a regular file (a link is not followed), too large, holds
// a NUL byte or no SVG element, or memory runs out: the record then has no
// plot, and the page links none.
char* read_plot(const char* dir, const char* name) {
  if (!name || !plot_name(name)) return nullptr;
  char* path = join(dir, name);
  if (!path) return nullptr;
  struct stat info;
  FILE* in = nullptr;
  if (lstat(path, &info) == 0 && S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) <= kMaxPlotBytes)
    in = std::fopen(path, "rb");
  mem_free(path);
  if (!in) return nullptr;
  TextBuffer svg;
  text_init(&svg);
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0 && svg.length <= kMaxPlotBytes)
    text_append(&svg, buffer, got);
  const bool ok = !std::ferror(in) && !svg.failed && svg.length > 0 && svg.length <= kMaxPlotBytes &&
                  std::memchr(svg.data, 0, svg.length) == nullptr && std::strstr(svg.data, "<svg");
  std::fclose(in);
  if (!ok) {
    text_release(&svg);
    return nullptr;
  }
  return svg.data;  // the buffer's storage passes to the caller
}

}  // namespace

bool report_resume_load(const char* report_dir, RunReport* previous) {
  if (!report_dir || !previous) return false;
  char* path = join(report_dir, "report.json");
  if (!path) return false;
  struct stat info;
  bool loaded = false;
  if (stat(path, &info) != 0 && errno == ENOENT) {
    // No earlier report: nothing to carry over.
  } else if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
    std::fprintf(stderr, "[WRN] earlier report '%s' is not used: not a regular file; kept outputs get no records from it\n",
                 path);
  } else {
    const char* why = nullptr;
    const int st = report_read(path, previous, &why);
    if (st == 0) {
      loaded = true;
    } else {
      // The reader's phrases follow "it" ("is not JSON"); the line reads
      // without it.
      if (!why) why = "cannot be read";
      if (std::strncmp(why, "is ", 3) == 0) why += 3;
      std::fprintf(stderr, "[WRN] earlier report '%s' is not used: %s; kept outputs get no records from it\n", path,
                   why);
    }
  }
  mem_free(path);
  return loaded;
}

void report_resume_child(const RunContext* ctx, const Group* group, uint64_t index, ReportChild* rc) {
  const RunReport* prev_report = ctx ? ctx->previous_report : nullptr;
  if (!prev_report || !ctx->report_dir || !ctx->plan || !group || !rc || !rc->input.path) return;
  const char* name = utf8_of(&group->name);
  if (!name) return;
  // The same child of the same group in the earlier report: looked for at
  // its own place first (a configuration run again lists its children in
  // the same order), then among all.
  const ReportChild* prev = nullptr;
  auto same = [rc](const ReportChild* c) { return c->input.path && std::strcmp(c->input.path, rc->input.path) == 0; };
  for (uint64_t gi = 0; gi < prev_report->groups.count && !prev; ++gi) {
    const ReportGroup* g = item<ReportGroup>(prev_report->groups, gi);
    if (!g->name || std::strcmp(g->name, name) != 0) continue;
    if (index >= 1 && index <= g->children.count && same(item<ReportChild>(g->children, index - 1)))
      prev = item<ReportChild>(g->children, index - 1);
    for (uint64_t ci = 0; ci < g->children.count && !prev; ++ci)
      if (same(item<ReportChild>(g->children, ci))) prev = item<ReportChild>(g->children, ci);
  }
  if (!prev || prev->status != 0 || (prev->outcome != REPORT_DONE && prev->outcome != REPORT_SKIPPED)) return;
  const PlannedFile* audio = nullptr;
  if (!lists_planned_files(ctx, group, index, prev, &audio)) return;

  // This run's outcome stays; everything else is the earlier record's.
  const ReportOutcome outcome = rc->outcome;
  const int32_t status = rc->status;
  char* message = rc->message ? mem_strdup(rc->message) : nullptr;
  if (rc->message && !message) return;
  if (report_child_copy(rc, prev) == 0) {
    if (report_child_set_outcome(rc, outcome, status, message) != 0) {
      // Without memory for the message the record keeps the earlier one's
      // outcome: say at least that it was skipped.
      rc->outcome = outcome;
      rc->status = status;
    }
    // The output as this run names it (the earlier run may have been
    // started from another directory).
    const char* output = audio && prev->output.path ? utf8_of(&audio->path) : nullptr;
    const double duration = rc->output.duration_s;
    if (output && report_set_audio(&rc->output, output, rc->output.sample_rate, rc->output.channels,
                                   rc->output.frames, rc->output.sample_peak_dbfs) == 0)
      rc->output.duration_s = duration;
    mem_free(rc->plot_svg);
    rc->plot_svg = read_plot(ctx->report_dir, prev->plot_file);
    mem_free(rc->plot_file);
    rc->plot_file = nullptr;
  }
  mem_free(message);
}
