#include <limits.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/sample_file.h"
#include "audio/sndfile_stream.h"
#include "report/report_writer.h"
#include "report/run_report.h"
#include "report/svg_plot.h"
#include "report/text_buffer.h"
#include "runtime/alloc.h"
#include "runtime/hash_map.h"
#include "runtime/path.h"
#include "runtime/ptrlist.h"
#include "runtime/status.h"
#include "runtime/status_text.h"
#include "analysis/target_curve.h"
#include "tool/curve_files.h"
#include "tool/child_patterns.h"
#include "tool/delivery.h"
#include "tool/group_list.h"
#include "tool/naming.h"
#include "tool/pipeline.h"
#include "tool/preflight.h"
#include "tool/report_fill.h"
#include "tool/report_resume.h"
#include "tool/run_plan.h"
#include "tool/settings.h"
#include "tool/shard.h"
#include "tool/tool_config.h"

// The run as a whole: everything between the command line and the exit
// status that concerns all groups at once.

namespace {

const char* text_of(const String* s) {
  const char* t = string_to_message(const_cast<String*>(s));
  return t ? t : "";
}

// With `srate: 'source'` each group runs at its master's own rate, which
// its header tells without reading the audio. A master that cannot be
// opened keeps the run's rate here; loading it later reports why. A rate
// outside the one the run's own setting accepts is refused before any work
// (28), as that setting would be.
int take_master_rates(ToolConfig* cfg, HeaderCache* headers) {
  PtrList groups;
  ptrlist_init(&groups);
  if (!hashmap_values(&cfg->groups, &groups)) {
    std::fprintf(stderr, "Out of memory\n");
    return STATUS_NO_MEMORY;
  }
  const SettingRow* row = setting_by_option("--srate");
  int st = 0;
  for (uint64_t i = 0; i < groups.count && st == 0; ++i) {
    Group* g = static_cast<Group*>(groups.items[i]);
    // Every group, also in a shard: names may hold ${srate}, and what one
    // process refuses every shard refuses.
    if (!g) continue;
    g->rate = cfg->srate;
    if (g->master.length == 0) continue;
    const InputHeader* header = nullptr;
    st = header_cache_read(headers, cfg, &g->master, &header);
    if (st != 0) {
      std::fprintf(stderr, "Out of memory\n");
      break;
    }
    if (header->status != 0 || header->rate == 0) continue;
    const uint64_t rate = header->rate;
    if (!setting_in_range(row, static_cast<double>(rate))) {
      std::fprintf(stderr, "Bad '%s' value\n  the master '%s' is at %llu Hz; rates from %.10g to %.10g Hz are "
                   "accepted\n", row->label, text_of(&g->master), static_cast<unsigned long long>(rate), row->min,
                   row->max);
      st = STATUS_BAD_VALUE;
    }
    g->rate = rate;
  }
  ptrlist_release(&groups);
  return st;
}

// The channels of a planned input (its path already resolved), from its
// header; false when it cannot be opened.
bool probe_planned_input(const PlannedFile* input, uint64_t* rate, uint64_t* channels, uint64_t* frames) {
  String path;
  string_init(&path);
  bool ok = false;
  const char* utf8 = nullptr;
  if (string_assign(&path, &input->path) && (utf8 = string_to_utf8(&path)) &&
      sample_check_input(utf8, nullptr, 0) == STATUS_OK) {
    SndfileReader reader;
    AudioFormat format{};
    if (reader.open(path) == STATUS_OK && reader.get_format(&format) == STATUS_OK) {
      *rate = format.sample_rate;
      *channels = format.channels;
      *frames = format.frames;
      ok = true;
    }
    (void)reader.close();
  }
  string_free(&path);
  return ok;
}

// Refuses an output format that cannot hold the run's audio before any
// work: once per planned processed-audio file (the name decides "auto").
int check_formats(const ToolConfig* cfg, const RunPlan* plan) {
  const bool chosen = setting_given(cfg, setting_by_option("--format"));
  if (!chosen && cfg->format == FORMAT_WAV && cfg->bits == BITS_FLOAT && cfg->bitrate == 0) return 0;
  const bool lossy = cfg->format == FORMAT_MP3 || cfg->format == FORMAT_OPUS || cfg->format == FORMAT_VORBIS;
  if (cfg->format == FORMAT_W64 && (cfg->title.length > 0 || cfg->artist.length > 0))
    std::fprintf(stderr, "[WRN] W64 files carry no title or artist tags; -tt and -ta are ignored\n");
  for (uint64_t i = 0; i < run_plan_output_count(plan); ++i) {
    const PlannedFile* f = run_plan_output(plan, i);
    if (f->kind != OUTPUT_AUDIO) continue;
    uint64_t rate = cfg->srate_source || cfg->srate_child ? f->group->rate : cfg->srate;
    // The lossy encoders limit the channels too: the output has its
    // source's, known from the header (and, at the child's rate, its rate).
    uint64_t channels = 0;
    if (lossy && f->source) {
      // The preflight's header where it asked one (inputs of groups run
      // elsewhere, or children kept, it did not).
      const InputHeader* h = run_plan_header(plan, f->source);
      uint64_t r = h ? h->rate : 0, frames = 0;
      if (h && h->checked) channels = h->status == 0 ? h->channels : 0;
      else if (!probe_planned_input(f->source, &r, &channels, &frames)) channels = 0;
      if (channels != 0 && cfg->srate_child && r != 0) rate = r;
    }
    int st = check_output_name(cfg, &f->path);
    if (st == 0) st = check_output_format(cfg, &f->path, rate, channels);
    if (st != 0) return st;
  }
  return 0;
}


// An output whose name has a component longer than the file system takes
// (255 bytes) would fail only after the work: refused now, as the save
// would refuse it. 0 or 18 after its lines.
int check_name_lengths(const RunPlan* plan) {
  // Outputs, then their records (longer names, written beside them).
  const uint64_t outputs = run_plan_output_count(plan);
  for (uint64_t i = 0; i < outputs + plan->records.count; ++i) {
    const PlannedFile* out = i < outputs ? run_plan_output(plan, i)
                                         : static_cast<const PlannedFile*>(plan->records.items[i - outputs]);
    // Bytes of each component as the file system gets them (UTF-8, a kept
    // byte as itself), counted from the code points: no copy of the path.
    const String& path = out->path;
    uint64_t run = 0;
    for (uint64_t k = 0;; ++k) {
      const bool end = k == path.length;
      if (end || path.chars[k] == '/') {
        if (run > NAME_MAX) {
          std::fprintf(stderr, "  could not write file '%s', error code: %d\n  %s\n", text_of(&out->path),
                       STATUS_LIMIT, std::strerror(ENAMETOOLONG));
          return STATUS_LIMIT;
        }
        if (end) break;
        run = 0;
      } else {
        const uint32_t c = path.chars[k];
        const bool kept = c >= STRING_BYTE_BASE + 0x80 && c <= STRING_BYTE_BASE + 0xFF;
        run += kept || c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
      }
    }
  }
  return 0;
}

// The directories on the way to the report's directory that exist must be
// directories: a file or a link that leads nowhere there would stop the
// report after all the work. 0 or 17 after its line.
int check_report_dir_way(const String* dir, const char* utf8) {
  if (!utf8) return 0;
  const size_t length = std::strlen(utf8);
  char* prefix = static_cast<char*>(mem_alloc(length + 1));
  if (!prefix) return STATUS_NO_MEMORY;
  int st = 0;
  for (size_t end = 1; end <= length && st == 0; ++end) {
    if (end < length && utf8[end] != '/') continue;
    std::memcpy(prefix, utf8, end);
    prefix[end] = 0;
    struct stat link, info;
    if (lstat(prefix, &link) != 0) break;  // from here on everything is made
    const bool dangling = S_ISLNK(link.st_mode) && stat(prefix, &info) != 0;
    if (!dangling && stat(prefix, &info) == 0 && S_ISDIR(info.st_mode)) continue;
    String shown;
    string_init(&shown);
    (void)path_set(&shown, prefix);
    std::fprintf(stderr, "report directory '%s' cannot be made: '%s' %s\n", text_of(dir), text_of(&shown),
                 dangling ? "is a symbolic link to nothing" : "is not a directory");
    string_free(&shown);
    st = STATUS_EXISTS;
  }
  mem_free(prefix);
  return st;
}

// An output of the run whose file would stand where the report's directory
// (or one on the way to it) is to be made. 0 or 17 after its line.
int check_report_dir_outputs(const RunPlan* plan, const String* dir) {
  // The directory's canonical form is that of its planned index.html
  // without the last component.
  const PlannedFile* index = run_plan_output(plan, run_plan_output_count(plan) - 1);
  if (!index || index->kind != OUTPUT_REPORT || !index->canonical) return 0;
  const char* slash = std::strrchr(index->canonical, '/');
  const size_t dir_length = slash ? static_cast<size_t>(slash - index->canonical) : 0;
  for (uint64_t i = 0; i < run_plan_output_count(plan); ++i) {
    const PlannedFile* out = run_plan_output(plan, i);
    if (out->kind == OUTPUT_REPORT || !out->canonical) continue;
    const size_t n = std::strlen(out->canonical);
    if (n <= dir_length && std::strncmp(out->canonical, index->canonical, n) == 0 &&
        (n == dir_length || index->canonical[n] == '/')) {
      std::fprintf(stderr, "report directory '%s' cannot be made: output '%s' is written there\n", text_of(dir),
                   text_of(&out->path));
      return STATUS_EXISTS;
    }
  }
  return 0;
}

// The report's own files are outputs of the run like any other: they may
// replace neither an input nor another output.
// With `selection`, only the groups that run in this process count (a
// shard's own report); without, every group of the configuration.
int plan_report_files(RunPlan* plan, const String* dir, const ToolConfig* selection = nullptr) {
  // A file where the report's directory should be, or on the way to it,
  // is found now, not after the work.
  const char* utf8 = string_to_utf8(const_cast<String*>(dir));
  struct stat info;
  if (utf8 && stat(utf8, &info) == 0 && !S_ISDIR(info.st_mode)) {
    std::fprintf(stderr, "report directory '%s' exists and is not a directory\n", text_of(dir));
    return STATUS_EXISTS;
  }
  int st = check_report_dir_way(dir, utf8);
  if (st != 0) return st;
  // Every plot a child may get, named as the report will name it: groups
  // with work in run order (each begins with its master among the inputs),
  // children by their place in the group.
  TextBuffer names;
  text_init(&names);
  uint64_t groups_seen = 0;
  bool ok = true;
  const uint64_t inputs = plan->inputs.count;
  for (uint64_t i = 0; i < inputs && ok; ++i) {
    const PlannedFile* in = static_cast<const PlannedFile*>(plan->inputs.items[i]);
    if (!in->group || (selection && !group_selected(selection, in->group))) continue;
    if (in->child == 0) {
      ++groups_seen;
      continue;
    }
    const char* child = string_to_utf8(static_cast<String*>(in->group->files.items[in->child - 1]));
    ok = child && groups_seen > 0 && report_plot_file_name(groups_seen - 1, in->child - 1, child, &names) && text_append_char(&names, '\0');
  }
  ok = ok && text_append(&names, "report.json") && text_append_char(&names, '\0') && text_append(&names, "index.html") &&
       text_append_char(&names, '\0');
  st = ok ? 0 : STATUS_NO_MEMORY;
  for (uint64_t at = 0; st == 0 && at < names.length; at += std::strlen(names.data + at) + 1) {
    const char* name = names.data + at;
    String file, path;
    string_init(&file);
    string_init(&path);
    st = string_from_utf8(&file, name, std::strlen(name)) ? resolve_output_path(&path, dir, &file) : STATUS_NO_MEMORY;
    if (st == 0) st = run_plan_add_report_file(plan, &path);
    string_free(&file);
    string_free(&path);
  }
  text_release(&names);
  return st == 0 ? check_report_dir_outputs(plan, dir) : st;
}

const char* environment(const char* name) { return std::getenv(name); }

// A shard's report goes to DIR/shard-i-of-n, so that shards writing to one
// shared directory never meet; --merge-reports DIR folds them together.
int shard_report_directory(const ToolConfig* cfg, String* dir) {
  if (!run_is_shard(cfg)) return 0;
  char part[96];
  std::snprintf(part, sizeof part, "shard-%llu-of-%llu", static_cast<unsigned long long>(cfg->shard_index),
                static_cast<unsigned long long>(cfg->shard_count));
  String name, joined;
  string_init(&name);
  string_init(&joined);
  int st = string_from_utf8(&name, part, std::strlen(part)) ? resolve_output_path(&joined, dir, &name)
                                                            : STATUS_NO_MEMORY;
  if (st == 0) string_swap(dir, &joined);
  string_free(&name);
  string_free(&joined);
  return st;
}

// A shard that no group falls in is a successful run with nothing to do.
bool announce_empty_shard(const ToolConfig* cfg) {
  if (!run_is_shard(cfg)) return false;
  PtrList groups;
  ptrlist_init(&groups);
  bool any = !hashmap_values(&cfg->groups, &groups);  // without memory: let the run go on
  for (uint64_t i = 0; !any && i < groups.count; ++i)
    any = group_selected(cfg, static_cast<const Group*>(groups.items[i]));
  ptrlist_release(&groups);
  if (!any)
    std::printf("shard %llu/%llu holds no group: nothing to do\n", static_cast<unsigned long long>(cfg->shard_index),
                static_cast<unsigned long long>(cfg->shard_count));
  return !any;
}

}  // namespace

int run_groups(ToolConfig* cfg, int argc, char** argv) {
  RunPlan plan;
  run_plan_init(&plan);
  String report_dir;
  string_init(&report_dir);
  // Patterns are expanded first, so that every shard sees the same children.
  // Every shard plans the whole configuration, so that a clash one process
  // would refuse is refused by every shard alike.
  int st = expand_child_patterns(cfg);
  if (st == 0) st = resolve_selection(cfg, environment);
  if (st != 0) {
    run_plan_release(&plan);
    return st;
  }
  // Headers read for the rates are not asked again by the preflight.
  HeaderCache headers;
  header_cache_init(&headers);
  if (cfg->srate_source || cfg->srate_child) st = take_master_rates(cfg, &headers);
  if (st != 0) {
    header_cache_release(&headers);
    run_plan_release(&plan);
    return st;
  }
  // The target curve is read and checked before the plan: a fault in it
  // stops the run before any work.
  TargetCurve curve;
  target_curve_init(curve);
  st = check_reference_groups(cfg);
  if (cfg->mid_side && cfg->ir.curve.channel_link > 0.0f)
    std::fprintf(stderr, "[WRN] channel link does not apply between mid and side; ignored\n");
  if (st == 0 && cfg->target_curve.length > 0) st = load_target_curve(cfg, curve);
  if (st == 0) st = run_plan_build(&plan, cfg);
  if (st == 0 && cfg->config_file.length > 0) st = run_plan_add_input(&plan, &cfg->config_file);
  if (st == 0 && cfg->target_curve.length > 0) st = run_plan_add_input(&plan, &cfg->target_curve);
  // Outputs are kept only when up to date, which their records tell.
  if (st == 0 && cfg->skip_existing) {
    const PlannedFile* curve = cfg->target_curve.length > 0
                                   ? static_cast<const PlannedFile*>(plan.inputs.items[plan.inputs.count - 1])
                                   : nullptr;
    st = run_plan_add_records(&plan, cfg, curve);
  }
  if (st == 0 && cfg->report.length > 0) {
    st = resolve_output_path(&report_dir, &cfg->dst_path, &cfg->report);
    if (st != 0) {
      std::fprintf(stderr, "could not use the report directory '%s', error code: %d\n", text_of(&cfg->report), st);
    } else {
      // A shard plans the merged report's files as well as its own, so that
      // what the merge will write is refused alike by every shard.
      st = plan_report_files(&plan, &report_dir);
      if (st == 0 && run_is_shard(cfg)) {
        st = shard_report_directory(cfg, &report_dir);
        if (st == 0) st = plan_report_files(&plan, &report_dir, cfg);
      }
    }
  }
  if (st == 0) st = run_plan_check(&plan);
  if (st == 0) st = check_name_lengths(&plan);
  // Every input the run will load is opened now, its header read once.
  // The group listing names files and opens none.
  int kept_going = 0;
  if (st == 0 && cfg->list_groups.length == 0) st = run_preflight(&plan, cfg, &headers, &kept_going);
  header_cache_release(&headers);
  if (st == 0) st = check_formats(cfg, &plan);
  if (st == 0 && cfg->list_groups.length > 0) {
    st = list_groups(cfg, &plan);
    target_curve_destroy(curve);
    string_free(&report_dir);
    run_plan_release(&plan);
    return st;
  }
  if (st != 0 || cfg->dry_run) {
    const bool selection = run_is_shard(cfg) || cfg->only_groups.count > 0;
    if (st == 0) print_preflight_notes(&plan, cfg);
    if (st == 0 && selection) print_selected_outputs(cfg, &plan, stdout);
    else if (st == 0) run_plan_print(&plan, stdout);
    target_curve_destroy(curve);
    string_free(&report_dir);
    run_plan_release(&plan);
    // Inputs a run that keeps going would skip end it with the first one's status.
    return st != 0 ? st : kept_going;
  }

  (void)announce_empty_shard(cfg);
  RunContext ctx;
  run_context_init(&ctx, cfg);
  ctx.plan = &plan;
  if (cfg->target_curve.length > 0) ctx.target_curve = &curve;
  RunReport report, previous;
  report_init(&report);
  report_init(&previous);
  if (cfg->report.length > 0) {
    ctx.report = &report;
    ctx.report_dir = string_to_utf8(&report_dir);
    if (run_is_shard(cfg)) {
      report.shard_index = cfg->shard_index;
      report.shard_count = cfg->shard_count;
    }
    report_fill_run(&report, cfg, argc, argv);
    // Outputs kept as up to date keep their records from the report this
    // one replaces.
    if (cfg->skip_existing && report_resume_load(ctx.report_dir, &previous)) ctx.previous_report = &previous;
  }

  st = process_all_groups(&ctx);

  if (cfg->keep_going || cfg->skip_existing) {
    std::printf("summary: %llu files written, %llu children failed, %llu children skipped\n",
                static_cast<unsigned long long>(ctx.files_written),
                static_cast<unsigned long long>(ctx.children_failed),
                static_cast<unsigned long long>(ctx.children_skipped));
  }
  if (ctx.report) {
    (void)report_set_result(&report, st, st ? status_text(st) : nullptr);
    int rst = report_write(&report, &report_dir);
    if (rst != 0) {
      std::fprintf(stderr, "could not write the report to '%s', error code: %d\n  %s\n", text_of(&report_dir), rst,
                   status_text(rst));
      if (st == 0) st = rst;
    } else {
      std::printf("report written: '%s'\n", text_of(&report_dir));
    }
  }
  report_release(&report);
  report_release(&previous);
  target_curve_destroy(curve);
  string_free(&report_dir);
  run_plan_release(&plan);
  return st;
}
