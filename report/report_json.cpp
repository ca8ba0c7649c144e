#include "report/report_json.h"

#include <cinttypes>
#include <cmath>

#include "report/frequency_grid.h"

namespace {

// Writes JSON with a comma before every member but the first of its
// container, one member per line; arrays of numbers stay on one line.
class JsonOut {
 public:
  explicit JsonOut(TextBuffer* out) : out_(out) {}

  void key(const char* name) {
    separate();
    text_append_json_string(out_, name);
    text_append(out_, ": ");
    pending_value_ = true;
  }
  void open(char bracket, bool inline_items = false) {
    separate();
    text_append_char(out_, bracket);
    ++depth_;
    first_[depth_] = true;
    inline_[depth_] = inline_items || (depth_ > 1 && inline_[depth_ - 1]);
  }
  void close(char bracket) {
    bool was_first = first_[depth_], was_inline = inline_[depth_];
    --depth_;
    if (!was_first && !was_inline) newline();
    text_append_char(out_, bracket);
  }
  void string(const char* s) {
    separate();
    text_append_json_string(out_, s);
  }
  void number(double v, int digits) {
    separate();
    text_append_number(out_, v, digits, "null");
  }
  // Exact, in as few digits as read back to the same double.
  void shortest(double v) {
    separate();
    text_append_shortest(out_, v, "null");
  }
  void integer(int64_t v) {
    separate();
    text_appendf(out_, "%" PRId64, v);
  }
  // A count where -1 stands for unknown.
  void count(int64_t v) {
    if (v < 0) {
      null();
    } else {
      integer(v);
    }
  }
  void boolean(bool v) {
    separate();
    text_append(out_, v ? "true" : "false");
  }
  void null() {
    separate();
    text_append(out_, "null");
  }

 private:
  void newline() {
    text_append_char(out_, '\n');
    for (int i = 0; i < depth_; ++i) text_append(out_, "  ");
  }
  // Before any value or key: the comma and line break its position needs.
  void separate() {
    if (pending_value_) {
      pending_value_ = false;
      return;
    }
    if (depth_ == 0) return;
    if (!first_[depth_]) text_append_char(out_, ',');
    if (inline_[depth_]) {
      if (!first_[depth_]) text_append_char(out_, ' ');
    } else {
      newline();
    }
    first_[depth_] = false;
  }

  static constexpr int kMaxDepth = 16;
  TextBuffer* out_;
  int depth_ = 0;
  bool first_[kMaxDepth + 1] = {};
  bool inline_[kMaxDepth + 1] = {};
  bool pending_value_ = false;
};

void audio(JsonOut& j, const ReportAudioInfo& a) {
  j.open('{');
  j.key("path");
  j.string(a.path);
  j.key("sample_rate");
  if (a.sample_rate > 0) j.integer(a.sample_rate); else j.null();
  j.key("channels");
  if (a.channels > 0) j.integer(a.channels); else j.null();
  j.key("frames");
  j.count(a.frames);
  j.key("duration_s");
  j.number(a.duration_s, 10);
  j.key("sample_peak_dbfs");
  j.number(a.sample_peak_dbfs, 6);
  j.key("integrated_loudness_lufs");
  j.number(a.loudness_lufs, 6);
  j.key("true_peak_dbtp");
  j.number(a.true_peak_dbtp, 6);
  j.close('}');
}

void outcome(JsonOut& j, ReportOutcome o, int32_t status, const char* message) {
  j.key("outcome");
  j.string(report_outcome_name(o));
  j.key("status");
  j.integer(status);
  j.key("message");
  j.string(message);
}

void files(JsonOut& j, const DynArray& list) {
  j.key("files");
  j.open('[');
  for (uint64_t i = 0; i < list.count; ++i) {
    const ReportFile& f = static_cast<const ReportFile*>(list.data)[i];
    j.open('{', true);
    j.key("kind");
    j.string(report_file_kind_name(f.kind));
    j.key("path");
    j.string(f.path);
    j.close('}');
  }
  j.close(']');
}

void grid(JsonOut& j, uint64_t n) {
  j.open('[', true);
  for (uint64_t k = 0; k < n; ++k) j.number(grid_frequency(k, kJsonGridPerOctave), 6);
  j.close(']');
}

// One row of dB values read at the grid points; a row already on the grid
// (a record read back) is written as it is.
void row(JsonOut& j, const double* db, uint64_t bins, double bin_hz, bool on_grid, uint64_t n) {
  j.open('[', true);
  for (uint64_t k = 0; k < n; ++k)
    j.number(on_grid ? (k < bins ? db[k] : NAN) : curve_at(db, bins, bin_hz, grid_frequency(k, kJsonGridPerOctave)),
             5);
  j.close(']');
}

void curve(JsonOut& j, const char* name, const ReportCurve& c, uint64_t n) {
  j.key(name);
  if (!c.db) {
    j.null();
    return;
  }
  j.open('[');
  for (uint64_t ch = 0; ch < c.channels; ++ch) row(j, c.db + ch * c.bins, c.bins, c.bin_hz, c.on_grid, n);
  j.close(']');
}

void spectrum(JsonOut& j, const char* name, const ReportSpectrum& s, uint64_t n) {
  j.key(name);
  if (s.db) {
    row(j, s.db, s.bins, s.bin_hz, s.on_grid, n);
  } else {
    j.null();
  }
}

double top_hz(double bin_hz, uint64_t bins) { return bins ? bin_hz * static_cast<double>(bins - 1) : 0; }
double top_hz(const ReportCurve& c) {
  return c.on_grid ? (c.bins ? grid_frequency(c.bins - 1, kJsonGridPerOctave) : 0) : top_hz(c.bin_hz, c.bins);
}
double top_hz(const ReportSpectrum& s) {
  return s.on_grid ? (s.bins ? grid_frequency(s.bins - 1, kJsonGridPerOctave) : 0) : top_hz(s.bin_hz, s.bins);
}

// The Nyquist frequency a child's curves reach: that of its curves, else of
// its spectrum, else half its sample rate.
double child_nyquist(const ReportChild& c) {
  if (c.applied.db) return top_hz(c.applied);
  if (c.computed.db) return top_hz(c.computed);
  if (c.spectrum.db) return top_hz(c.spectrum);
  return static_cast<double>(c.input.sample_rate) / 2;
}

void extreme(JsonOut& j, const char* name, double db, double hz) {
  j.key(name);
  if (std::isnan(db)) {
    j.null();
    return;
  }
  j.open('{', true);
  j.key("db");
  j.number(db, 5);
  j.key("hz");
  j.number(hz, 6);
  j.close('}');
}

void child(JsonOut& j, const ReportChild& c, const ReportGroup& g, const char* plot) {
  const ReportSpectrum& master = g.spectrum;
  j.open('{');
  outcome(j, c.outcome, c.status, c.message);
  j.key("input");
  audio(j, c.input);
  j.key("output");
  audio(j, c.output);
  extreme(j, "max_boost", c.max_boost_db, c.max_boost_hz);
  extreme(j, "max_cut", c.max_cut_db, c.max_cut_hz);
  j.key("clamped_bins");
  j.count(c.clamped_bins);
  j.key("clamped_by_range");
  j.count(c.range_clamped_bins);
  j.key("clamped_by_limits");
  j.count(c.limit_clamped_bins);
  j.key("curve_channels");
  if (c.mid_side) {
    j.open('[', true);
    j.string("mid");
    j.string("side");
    j.close(']');
  } else {
    j.null();
  }
  j.key("curve_level_db");
  if (c.curve_level_db) {
    j.open('[', true);
    for (uint64_t ch = 0; ch < c.level_channels; ++ch) j.number(c.curve_level_db[ch], 5);
    j.close(']');
  } else {
    j.null();
  }
  j.key("latency");
  j.open('{', true);
  j.key("samples");
  j.count(c.latency_samples);
  j.key("ms");
  j.number(c.latency_ms, 6);
  j.close('}');
  if (c.limiter_ran) {
    j.key("limiter");
    j.open('{', true);
    j.key("ceiling_dbtp");
    j.number(c.limiter_ceiling_dbtp, 6);
    j.key("reduction_max_db");
    j.number(c.limiter_reduction_max_db, 6);
    j.key("reduction_mean_db");
    j.number(c.limiter_reduction_mean_db, 6);
    j.key("limited_share");
    j.number(c.limiter_limited_share, 6);
    j.key("gain_step_s");
    j.number(c.limiter_gain_step_s, 6);
    j.key("gain_db");
    j.open('[', true);
    for (uint64_t i = 0; i < c.limiter_gain_count; ++i) j.number(c.limiter_gain_db[i], 3);
    j.close(']');
    j.close('}');
  }
  j.key("delivery");
  if (!c.delivery.asked) {
    j.null();
  } else {
    const ReportDelivery& d = c.delivery;
    j.open('{', true);
    j.key("target_lufs");
    j.number(d.target_lufs, 6);
    j.key("ceiling_dbtp");
    j.number(d.ceiling_dbtp, 6);
    j.key("gain_db");
    j.number(d.gain_db, 6);
    j.key("loudness_lufs");
    j.number(d.loudness_lufs, 6);
    j.key("true_peak_dbtp");
    j.number(d.true_peak_dbtp, 6);
    j.key("miss_lu");
    j.number(d.miss_lu, 6);
    j.key("pass");
    j.boolean(d.pass);
    if (!std::isnan(d.decoded_true_peak_dbtp)) {
      // Lossy output only: PCM reports keep their keys.
      j.key("decoded_true_peak_dbtp");
      j.number(d.decoded_true_peak_dbtp, 6);
    }
    j.close('}');
  }
  files(j, c.files);
  j.key("plot");
  j.string(plot);
  uint64_t n = grid_count(child_nyquist(c), kJsonGridPerOctave);
  j.key("grid_hz");
  grid(j, n);
  spectrum(j, "spectrum_db", c.spectrum, n);
  spectrum(j, "master_spectrum_db", master, n);
  spectrum(j, "reference_low_db", g.spread_low, n);
  spectrum(j, "reference_high_db", g.spread_high, n);
  curve(j, "computed_db", c.computed, n);
  curve(j, "applied_db", c.applied, n);
  j.close('}');
}

void group(JsonOut& j, const ReportGroup& g, const char* const* plot_names, uint64_t* plot_index) {
  j.open('{');
  j.key("name");
  j.string(g.name);
  if (g.position > 0) {
    j.key("position");
    j.integer(static_cast<int64_t>(g.position));
  }
  outcome(j, g.outcome, g.status, g.message);
  j.key("master");
  audio(j, g.master);
  files(j, g.files);
  j.key("references");
  j.open('[', true);
  for (uint64_t i = 0; i < g.references.count; ++i) j.string(static_cast<char* const*>(g.references.data)[i]);
  j.close(']');
  j.key("children");
  j.open('[');
  for (uint64_t i = 0; i < g.children.count; ++i) {
    const ReportChild* c = static_cast<ReportChild* const*>(g.children.data)[i];
    const char* plot = plot_names ? plot_names[(*plot_index)] : nullptr;
    ++*plot_index;
    child(j, *c, g, plot);
  }
  j.close(']');
  j.close('}');
}

void setting(JsonOut& j, const ReportSetting& s) {
  j.key(s.key);
  switch (s.type) {
    case REPORT_VALUE_NUMBER: j.shortest(s.number); break;
    case REPORT_VALUE_TEXT: j.string(s.text); break;
    case REPORT_VALUE_BOOL: j.boolean(s.flag); break;
    case REPORT_VALUE_LIST:
      j.open('[', true);
      for (uint64_t i = 0; i < s.item_count; ++i) j.string(s.items[i]);
      j.close(']');
      break;
    case REPORT_VALUE_NULL: j.null(); break;
  }
}

}  // namespace

bool report_json_build(const RunReport* r, const char* const* plot_names, TextBuffer* out) {
  JsonOut j(out);
  j.open('{');
  j.key("report_format");
  j.integer(1);
  j.key("version");
  j.string(r->version);
  j.key("command_line");
  j.open('[', true);
  for (uint64_t i = 0; i < r->argc; ++i) j.string(r->argv[i]);
  j.close(']');
  j.key("settings");
  j.open('{');
  for (uint64_t i = 0; i < r->settings.count; ++i)
    setting(j, static_cast<const ReportSetting*>(r->settings.data)[i]);
  j.close('}');
  j.key("status");
  if (r->status >= 0) j.integer(r->status); else j.null();
  j.key("message");
  j.string(r->message);
  if (r->shard_count > 0) {
    j.key("shard");
    j.open('{', true);
    j.key("index");
    j.integer(static_cast<int64_t>(r->shard_index));
    j.key("count");
    j.integer(static_cast<int64_t>(r->shard_count));
    j.close('}');
  }
  j.key("grid_points_per_octave");
  j.integer(kJsonGridPerOctave);
  j.key("groups");
  j.open('[');
  uint64_t plot_index = 0;
  for (uint64_t i = 0; i < r->groups.count; ++i)
    group(j, *static_cast<ReportGroup* const*>(r->groups.data)[i], plot_names, &plot_index);
  j.close(']');
  j.close('}');
  text_append_char(out, '\n');
  return !out->failed;
}
