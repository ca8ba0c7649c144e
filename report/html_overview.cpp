#include "report/html_overview.h"

#include <cmath>
#include <cstring>
#include <unistd.h>

#include "report/svg_plot.h"
#include "runtime/alloc.h"

namespace {

// Narrow screens get one column, 1280 px two; images never exceed their card.
const char kStyle[] =
    "*{box-sizing:border-box}"
    "body{margin:0;padding:16px;font:15px/1.45 system-ui,-apple-system,\"Segoe UI\",Roboto,"
    "sans-serif;background:#f3f4f6;color:#1d1d1f}"
    "main{max-width:1500px;margin:0 auto}"
    "h1{font-size:1.5em;margin:0 0 .3em}h2{font-size:1.25em;margin:1.4em 0 .4em}"
    "h3{font-size:1.05em;margin:0 0 .5em;overflow-wrap:anywhere}"
    "code{font-size:.9em;overflow-wrap:anywhere}"
    ".meta{color:#444;margin:.2em 0}"
    ".cards{display:grid;grid-template-columns:repeat(auto-fill,minmax(min(100%,560px),1fr));"
    "gap:16px}"
    ".card{background:#fff;border:1px solid #d8dbe0;border-radius:8px;padding:12px;min-width:0}"
    ".card img{display:block;width:100%;max-width:100%;height:auto;border:1px solid #eee}"
    ".card.failed{border-color:#b00020;background:#fff6f7}"
    ".card.skipped{border-color:#b08800;background:#fffbea}"
    ".problem{color:#b00020;font-weight:600;margin:.4em 0;overflow-wrap:anywhere}"
    ".skipped .problem{color:#7a5d00}"
    "table{border-collapse:collapse;width:100%;margin-top:8px;font-size:.93em}"
    "th,td{text-align:left;vertical-align:top;padding:3px 6px;border-top:1px solid #eee}"
    "th{font-weight:600;color:#555;white-space:nowrap;width:9em}"
    "td{overflow-wrap:anywhere}"
    "ul.files{margin:.5em 0 0;padding-left:1.2em}ul.files li{overflow-wrap:anywhere}"
    ".kind{display:inline-block;min-width:3.2em;font-weight:600;color:#555}"
    ".missing{color:#777}"
    ".ok{color:#17692f}.bad{color:#b00020}";

void esc(TextBuffer* b, const char* utf8) { text_append_xml_text(b, utf8); }

void fixed(TextBuffer* b, double v, int decimals) { text_append_fixed(b, v, decimals, "n/a"); }

// "48000 Hz, 2 ch, 10.000 s, peak -3.21 dBFS, -23.0 LUFS, true peak -2.90 dBTP"
void audio_summary(TextBuffer* b, const ReportAudioInfo& a) {
  const char* sep = "";
  if (a.sample_rate > 0) {
    text_appendf(b, "%lld Hz", static_cast<long long>(a.sample_rate));
    sep = ", ";
  }
  if (a.channels > 0) {
    text_appendf(b, "%s%lld ch", sep, static_cast<long long>(a.channels));
    sep = ", ";
  }
  if (std::isfinite(a.duration_s)) {
    text_append(b, sep);
    fixed(b, a.duration_s, 3);
    text_append(b, " s");
    sep = ", ";
  }
  if (!std::isnan(a.sample_peak_dbfs)) {
    text_appendf(b, "%speak ", sep);
    if (a.sample_peak_dbfs == -INFINITY) text_append(b, "-\xE2\x88\x9E");
    else fixed(b, a.sample_peak_dbfs, 2);
    text_append(b, " dBFS");
    sep = ", ";
  }
  if (std::isfinite(a.loudness_lufs)) {
    text_append(b, sep);
    fixed(b, a.loudness_lufs, 1);
    text_append(b, " LUFS");
    sep = ", ";
  }
  if (std::isfinite(a.true_peak_dbtp)) {
    text_appendf(b, "%strue peak ", sep);
    fixed(b, a.true_peak_dbtp, 2);
    text_append(b, " dBTP");
    sep = ", ";
  }
  if (!*sep) text_append(b, "not measured");
}

void problem(TextBuffer* b, ReportOutcome outcome, int32_t status, const char* message) {
  if (outcome == REPORT_DONE) return;
  text_appendf(b, "<p class=\"problem\">%s",
               outcome == REPORT_FAILED ? "Failed" : outcome == REPORT_NOT_REACHED ? "Not reached" : "Skipped");
  if (status) text_appendf(b, " (status %d)", status);
  if (message) {
    text_append(b, ": ");
    esc(b, message);
  }
  text_append(b, "</p>\n");
}

// Whether dir/relative exists; true without a directory to check against.
// Running out of memory marks `b` failed, so the page is not written
// without the link.
bool file_exists(TextBuffer* b, const char* dir, const char* relative) {
  if (!dir) return true;
  size_t a = strlen(dir), n = strlen(relative);
  char* full = static_cast<char*>(mem_alloc(a + n + 2));
  if (!full) {
    b->failed = true;
    return false;
  }
  memcpy(full, dir, a);
  full[a] = '/';
  memcpy(full + a + 1, relative, n + 1);
  bool ok = access(full, F_OK) == 0;
  mem_free(full);
  return ok;
}

void file_list(TextBuffer* b, const DynArray& files, const char* report_dir) {
  if (!files.count) return;
  text_append(b, "<ul class=\"files\">\n");
  for (uint64_t i = 0; i < files.count; ++i) {
    const ReportFile& f = static_cast<const ReportFile*>(files.data)[i];
    text_appendf(b, "<li><span class=\"kind\">%s</span> ", report_file_kind_name(f.kind));
    if (file_exists(b, report_dir, f.path)) {
      text_append(b, "<a href=\"");
      text_append_url_path(b, f.path);
      text_append(b, "\">");
      esc(b, f.path);
      text_append(b, "</a>");
    } else {
      text_append(b, "<span class=\"missing\">");
      esc(b, f.path);
      text_append(b, " (not written)</span>");
    }
    text_append(b, "</li>\n");
  }
  text_append(b, "</ul>\n");
}

void row_start(TextBuffer* b, const char* name) { text_appendf(b, "<tr><th>%s</th><td>", name); }
void row_end(TextBuffer* b) { text_append(b, "</td></tr>\n"); }

// "<value><unit>", then " (target <limit>)" where a limit was asked for.
void measured_against(TextBuffer* b, double value, const char* unit, const char* label, double limit) {
  fixed(b, value, 2);
  text_append(b, unit);
  if (std::isnan(limit)) return;
  text_append(b, label);
  fixed(b, limit, 2);
  text_append(b, ")");
}

void child_card(TextBuffer* b, const ReportChild& c, const char* plot, const char* report_dir) {
  const char* state = c.outcome == REPORT_FAILED                                           ? " failed"
                      : c.outcome == REPORT_SKIPPED || c.outcome == REPORT_NOT_REACHED ? " skipped"
                                                                                          : "";
  text_appendf(b, "<article class=\"card%s\">\n<h3>", state);
  esc(b, c.input.path ? c.input.path : "(unknown child)");
  text_append(b, "</h3>\n");
  problem(b, c.outcome, c.status, c.message);
  if (plot && file_exists(b, report_dir, plot)) {
    // The link opens the plot at full size, which a phone needs to read it.
    text_append(b, "<a href=\"");
    text_append_url_path(b, plot);
    text_append(b, "\"><img src=\"");
    text_append_url_path(b, plot);
    text_append(b, "\" alt=\"spectra and correction of ");
    esc(b, c.input.path);
    text_append(b, "\"></a>\n");
  }
  text_append(b, "<table>\n");
  row_start(b, "Child");
  audio_summary(b, c.input);
  row_end(b);
  if (c.output.path || c.output.sample_rate > 0) {
    row_start(b, "Output");
    audio_summary(b, c.output);
    row_end(b);
  }
  row_start(b, "Largest boost");
  report_append_db_at(b, c.max_boost_db, c.max_boost_hz);
  row_end(b);
  row_start(b, "Largest cut");
  report_append_db_at(b, c.max_cut_db, c.max_cut_hz);
  row_end(b);
  if (c.clamped_bins >= 0) {
    row_start(b, "Clamped bins");
    text_appendf(b, "%lld", static_cast<long long>(c.clamped_bins));
    if (c.range_clamped_bins >= 0 && c.limit_clamped_bins >= 0)
      text_appendf(b, " (gain range %lld, limits %lld)", static_cast<long long>(c.range_clamped_bins),
                   static_cast<long long>(c.limit_clamped_bins));
    row_end(b);
  }
  if (c.curve_level_db) {
    row_start(b, "Curve level");
    for (uint64_t ch = 0; ch < c.level_channels; ++ch) {
      if (ch) text_append(b, ", ");
      text_appendf(b, "%+.2f dB", c.curve_level_db[ch]);
    }
    row_end(b);
  }
  if (c.latency_samples >= 0) {
    row_start(b, "Latency");
    text_appendf(b, "%lld samples (", static_cast<long long>(c.latency_samples));
    fixed(b, c.latency_ms, 2);
    text_append(b, " ms)");
    row_end(b);
  }
  if (c.limiter_ran) {
    row_start(b, "Limiter");
    text_append(b, "max ");
    fixed(b, c.limiter_reduction_max_db, 2);
    text_append(b, " dB, mean ");
    fixed(b, c.limiter_reduction_mean_db, 2);
    text_append(b, " dB, ");
    fixed(b, 100.0 * c.limiter_limited_share, 1);
    text_append(b, "% of the time");
    row_end(b);
  }
  if (c.delivery.asked) {
    // Pass or fail first: a batch is read down this column.
    const ReportDelivery& d = c.delivery;
    row_start(b, "Delivery");
    text_append(b, d.pass ? "<span class=\"ok\">pass</span>" : "<span class=\"bad\">fail</span>");
    text_append(b, " &middot; ");
    measured_against(b, d.loudness_lufs, " LUFS", " (target ", d.target_lufs);
    text_append(b, ", ");
    measured_against(b, d.true_peak_dbtp, " dBTP", " (ceiling ", d.ceiling_dbtp);
    text_append(b, ", gain ");
    fixed(b, d.gain_db, 2);
    text_append(b, " dB");
    if (d.miss_lu > 0) {
      text_append(b, ", missed by ");
      fixed(b, d.miss_lu, 2);
      text_append(b, " LU");
    }
    if (std::isfinite(d.decoded_true_peak_dbtp)) {
      // Lossy output: the ceiling held before encoding; this is the file.
      text_append(b, ", decoded ");
      fixed(b, d.decoded_true_peak_dbtp, 2);
      text_append(b, " dBTP");
    }
    row_end(b);
  }
  text_append(b, "</table>\n");
  file_list(b, c.files, report_dir);
  text_append(b, "</article>\n");
}

// Children that failed or that their group did not reach: a run can end
// with status 0 and still leave some (a channel count that differs ends
// its group quietly).
uint64_t unfinished_children(const RunReport* r) {
  uint64_t n = 0;
  for (uint64_t gi = 0; gi < r->groups.count; ++gi) {
    const ReportGroup& g = *static_cast<ReportGroup* const*>(r->groups.data)[gi];
    for (uint64_t ci = 0; ci < g.children.count; ++ci) {
      const ReportChild& c = *static_cast<ReportChild* const*>(g.children.data)[ci];
      n += c.outcome == REPORT_FAILED || c.outcome == REPORT_NOT_REACHED;
    }
  }
  return n;
}

// One row per output delivered to a loudness target or a true-peak
// ceiling, its result in the first column: a batch is checked at a glance.
// Nothing when no output was.
void delivery_table(TextBuffer* b, const RunReport* r) {
  bool any = false;
  for (uint64_t gi = 0; gi < r->groups.count; ++gi) {
    const ReportGroup& g = *static_cast<ReportGroup* const*>(r->groups.data)[gi];
    for (uint64_t ci = 0; ci < g.children.count; ++ci) {
      const ReportChild& c = *static_cast<ReportChild* const*>(g.children.data)[ci];
      if (!c.delivery.asked) continue;
      if (!any) {
        text_append(b, "<section>\n<h2>Delivery</h2>\n<table class=\"delivery\">\n"
                       "<tr><th>Result</th><th>Output</th><th>Loudness</th><th>True peak</th><th>Miss</th></tr>\n");
        any = true;
      }
      const ReportDelivery& d = c.delivery;
      text_append(b, d.pass ? "<tr><td><span class=\"ok\">pass</span></td><td>"
                            : "<tr><td><span class=\"bad\">fail</span></td><td>");
      esc(b, c.output.path ? c.output.path : (c.input.path ? c.input.path : ""));
      text_append(b, "</td><td>");
      fixed(b, d.loudness_lufs, 2);
      text_append(b, " LUFS</td><td>");
      fixed(b, d.true_peak_dbtp, 2);
      text_append(b, " dBTP</td><td>");
      fixed(b, d.miss_lu, 2);
      text_append(b, " LU</td></tr>\n");
    }
  }
  if (any) text_append(b, "</table>\n</section>\n");
}

}  // namespace

bool report_html_build(const RunReport* r, const char* const* plot_names, const char* report_dir,
                       TextBuffer* out) {
  TextBuffer* b = out;
  text_append(b,
              "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
              "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
              "<title>timbral report</title>\n<style>");
  text_append(b, kStyle);
  text_append(b, "</style>\n</head>\n<body>\n<main>\n<header>\n<h1>timbral run report</h1>\n");
  text_append(b, "<p class=\"meta\">Version ");
  esc(b, r->version ? r->version : "unknown");
  text_append(b, " &middot; ");
  if (r->status < 0)
    text_append(b, "<span class=\"bad\">run did not finish</span>");
  else if (r->status == 0 && unfinished_children(r) == 0)
    text_append(b, "<span class=\"ok\">finished without error</span>");
  else if (r->status == 0)
    text_appendf(b, "<span class=\"bad\">finished; %llu children failed or not reached</span>",
                 static_cast<unsigned long long>(unfinished_children(r)));
  else
    text_appendf(b, "<span class=\"bad\">stopped with status %d</span>", r->status);
  if (r->message) {
    text_append(b, ": <span class=\"bad\">");
    esc(b, r->message);
    text_append(b, "</span>");
  }
  text_append(b, "</p>\n");
  if (r->argc) {
    text_append(b, "<p class=\"meta\">Command line: <code>");
    for (uint64_t i = 0; i < r->argc; ++i) {
      if (i) text_append_char(b, ' ');
      esc(b, r->argv[i]);
    }
    text_append(b, "</code></p>\n");
  }
  if (file_exists(b, report_dir, "report.json"))
    text_append(b, "<p class=\"meta\">All numbers and curves: <a href=\"report.json\">report.json</a></p>\n");
  text_append(b, "</header>\n");
  delivery_table(b, r);

  uint64_t plot_index = 0;
  for (uint64_t gi = 0; gi < r->groups.count; ++gi) {
    const ReportGroup& g = *static_cast<ReportGroup* const*>(r->groups.data)[gi];
    text_append(b, "<section>\n<h2>Group ");
    esc(b, g.name);
    text_append(b, "</h2>\n<p class=\"meta\">Master: <code>");
    esc(b, g.master.path ? g.master.path : "(unknown)");
    text_append(b, "</code> &middot; ");
    audio_summary(b, g.master);
    text_append(b, "</p>\n");
    if (g.references.count > 1) {
      // Several references: the target is their median.
      text_append(b, "<p class=\"meta\">References (target: their median):");
      for (uint64_t i = 0; i < g.references.count; ++i) {
        text_append(b, i ? ", <code>" : " <code>");
        esc(b, static_cast<char* const*>(g.references.data)[i]);
        text_append(b, "</code>");
      }
      text_append(b, "</p>\n");
    }
    problem(b, g.outcome, g.status, g.message);
    file_list(b, g.files, report_dir);
    text_append(b, "<div class=\"cards\">\n");
    for (uint64_t ci = 0; ci < g.children.count; ++ci, ++plot_index) {
      const ReportChild& c = *static_cast<ReportChild* const*>(g.children.data)[ci];
      child_card(b, c, plot_names ? plot_names[plot_index] : nullptr, report_dir);
    }
    if (!g.children.count) text_append(b, "<p class=\"meta\">No children.</p>\n");
    text_append(b, "</div>\n</section>\n");
  }
  if (!r->groups.count) text_append(b, "<p class=\"meta\">No group was processed.</p>\n");
  text_append(b, "</main>\n</body>\n</html>\n");
  return !b->failed;
}
