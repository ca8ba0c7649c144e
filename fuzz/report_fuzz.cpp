// Arbitrary bytes as the texts and numbers of a run report: the input is
// cut at NUL bytes into texts (version, command line, setting keys and
// values, group names, input and output paths, messages, file paths) and
// its last bytes are read as spectrum and curve values, NaN and infinities
// among them. The record goes through every writer in memory: report.json
// must be a document the strict JSON reader accepts, every plot name must
// be made of [A-Za-z0-9._-] only, and the HTML page and SVG plots must be
// built without a fault.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "config/document_reader.h"
#include "report/html_overview.h"
#include "report/report_json.h"
#include "report/run_report.h"
#include "report/svg_plot.h"
#include "report/text_buffer.h"
#include "runtime/char_reader.h"

namespace {

// Texts of the input in turn; "" once they run out.
struct Texts {
  std::vector<std::string> items;
  size_t next = 0;
  const char* take() { return next < items.size() ? items[next++].c_str() : ""; }
  bool more() const { return next < items.size(); }
};

// report.json parses as strict JSON to its end.
bool json_is_valid(const TextBuffer& json) {
  StringReader input;
  if (input.set_text(json.data, json.length) != 0) return true;  // out of memory: nothing to judge
  DocumentReader reader;
  document_reader_init(&reader);
  int st = document_reader_open(&reader, &input, 4999, 0);
  while (st == 0) st = document_reader_next(&reader, nullptr);
  DocumentError why;
  const bool failed = document_reader_error(&reader, &why) && why.status != 5;
  (void)document_reader_close(&reader);
  document_reader_release(&reader);
  (void)input.close();
  return !failed;
}

bool plot_name_is_safe(const TextBuffer& name) {
  for (size_t i = 0; i < name.length; ++i) {
    const char c = name.data[i];
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '_' || c == '.';
    if (!ok) return false;
  }
  return name.length > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  // The last up to 256 bytes are numbers; the rest are texts.
  const size_t number_bytes = size / 3 < 256 ? (size / 3) & ~size_t(7) : 256;
  const size_t text_bytes = size - number_bytes;
  Texts texts;
  {
    size_t start = 0;
    for (size_t i = 0; i <= text_bytes; ++i) {
      if (i == text_bytes || data[i] == 0) {
        texts.items.emplace_back(reinterpret_cast<const char*>(data) + start, i - start);
        start = i + 1;
      }
    }
  }
  std::vector<double> values(number_bytes / 8);
  if (!values.empty()) std::memcpy(values.data(), data + text_bytes, values.size() * 8);
  if (values.empty()) values.push_back(0.0);

  RunReport r;
  report_init(&r);
  (void)report_set_version(&r, texts.take());
  const char* argv[3] = {texts.take(), texts.take(), texts.take()};
  (void)report_set_command_line(&r, 3, argv);
  const char* key = texts.take();
  (void)report_add_setting_text(&r, key, texts.take());
  (void)report_add_setting_number(&r, texts.take(), values[0]);
  const char* items[2] = {texts.take(), texts.take()};
  (void)report_add_setting_list(&r, texts.take(), items, 2);
  (void)report_set_result(&r, int(values.size()), texts.take());

  for (int gi = 0; gi < 2 && texts.more(); ++gi) {
    ReportGroup* g = nullptr;
    if (report_add_group(&r, texts.take(), &g) != 0 || !g) break;
    (void)report_set_audio(&g->master, texts.take(), 48000, 2, int64_t(values.size()), values[0]);
    (void)report_set_spectrum(&g->spectrum, values.data(), values.size(), 48000.0 / 2 / double(values.size()));
    (void)report_group_add_file(g, REPORT_FILE_FRM, texts.take());
    if (gi == 1) (void)report_group_set_outcome(g, REPORT_FAILED, 9, texts.take());
    for (int ci = 0; ci < 2 && texts.more(); ++ci) {
      ReportChild* c = nullptr;
      if (report_add_child(g, texts.take(), &c) != 0 || !c) break;
      (void)report_set_audio(&c->output, texts.take(), 44100, 1, 1000, values.back());
      report_set_loudness(&c->output, values[0], values.back());
      (void)report_set_spectrum(&c->spectrum, values.data(), values.size(), 20.0);
      (void)report_child_set_applied(c, values.data(), 1, values.size(), 20.0);
      report_child_set_latency(c, int64_t(ci), 48000);
      (void)report_child_add_file(c, ReportFileKind((gi * 2 + ci) % 4), texts.take());
      if (ci == 1) (void)report_child_set_outcome(c, REPORT_SKIPPED, 0, texts.take());
    }
  }

  // Plot names in report order, as the writer makes them.
  std::vector<TextBuffer> names;
  std::vector<const char*> plot_names;
  for (uint64_t gi = 0; gi < r.groups.count; ++gi) {
    const ReportGroup* g = static_cast<ReportGroup* const*>(r.groups.data)[gi];
    for (uint64_t ci = 0; ci < g->children.count; ++ci) {
      const ReportChild* c = static_cast<ReportChild* const*>(g->children.data)[ci];
      names.emplace_back();
      text_init(&names.back());
      if (!report_child_has_plot(g, c) || !report_plot_file_name(gi, ci, c, &names.back())) continue;
      if (!plot_name_is_safe(names.back())) __builtin_trap();
      TextBuffer svg;
      text_init(&svg);
      (void)report_svg_build(g, c, &svg);
      text_release(&svg);
    }
  }
  for (TextBuffer& n : names) plot_names.push_back(n.length ? n.data : nullptr);

  TextBuffer json, html;
  text_init(&json);
  text_init(&html);
  if (report_json_build(&r, plot_names.data(), &json) && !json_is_valid(json)) __builtin_trap();
  (void)report_html_build(&r, plot_names.data(), nullptr, &html);
  text_release(&json);
  text_release(&html);
  for (TextBuffer& n : names) text_release(&n);
  report_release(&r);
  return 0;
}
