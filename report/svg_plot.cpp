#include "report/svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "report/frequency_grid.h"

namespace {

// Geometry of the drawing, in SVG user units.
// Below the plot area come the axis labels, the legend (rows of up to
// kLegendPerRow entries) and the caption, so the height depends on the
// number of legend rows.
constexpr double kWidth = 960;
constexpr double kLeft = 70, kRight = 880, kTop = 48, kBottom = 432;
constexpr double kLegendTop = 496, kLegendRow = 22, kCaptionLine = 22;
constexpr int kLegendPerRow = 3;
// Points per octave of the drawn series (finer than the smoothing, so the
// lines look continuous).
constexpr int kDrawPerOctave = 48;
constexpr int kSmoothPerOctave = 6;
const char* const kChannelColours[] = {"#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f",
                                       "#bcbd22", "#17becf", "#ff7f0e"};
const char* const kChannelDashes[] = {"", "8 4", "3 3", "12 4 3 4"};

struct Axes {
  double nyquist;
  double spec_top, spec_bottom;  // dB at kTop / kBottom of the spectra
  double curve_range;            // the correction axis spans +-curve_range dB
  double curve_step;
};

double x_of(const Axes& a, double hz) {
  return kLeft + (kRight - kLeft) * std::log2(hz / kGridLowHz) / std::log2(a.nyquist / kGridLowHz);
}

double y_of(double db, double top, double bottom) {
  double y = kTop + (kBottom - kTop) * (top - db) / (top - bottom);
  return y < kTop ? kTop : (y > kBottom ? kBottom : y);
}

const double* spectrum_values(const ReportSpectrum& s) { return s.bins ? s.db : nullptr; }

double nyquist_of(const ReportChild* c) {
  auto top = [](double bin_hz, uint64_t bins) { return bins ? bin_hz * static_cast<double>(bins - 1) : 0.0; };
  if (c->applied.db) return top(c->applied.bin_hz, c->applied.bins);
  if (c->spectrum.db) return top(c->spectrum.bin_hz, c->spectrum.bins);
  return 0;
}

// The level channel `ch` of the applied curve is drawn relative to; 0 when
// the curve was not shaped around a level.
double curve_level(const ReportChild* c, uint64_t ch) {
  return c->curve_level_db && ch < c->level_channels ? c->curve_level_db[ch] : 0.0;
}

uint64_t draw_points(double nyquist) { return grid_count(nyquist, kDrawPerOctave); }

void spectrum_range(const ReportSpectrum& s, double nyquist, double* lo, double* hi) {
  if (!spectrum_values(s)) return;
  uint64_t n = draw_points(nyquist);
  for (uint64_t k = 0; k < n; ++k) {
    double v = smoothed_at(s.db, s.bins, s.bin_hz, grid_frequency(k, kDrawPerOctave), kSmoothPerOctave);
    if (!std::isfinite(v)) continue;
    if (v < *lo) *lo = v;
    if (v > *hi) *hi = v;
  }
}

Axes make_axes(const ReportGroup* g, const ReportChild* c) {
  Axes a{};
  a.nyquist = nyquist_of(c);
  double lo = INFINITY, hi = -INFINITY;
  spectrum_range(g->spectrum, a.nyquist, &lo, &hi);
  spectrum_range(c->spectrum, a.nyquist, &lo, &hi);
  if (!std::isfinite(hi)) lo = -60, hi = 0;
  // The next 10 dB line above the highest point, so a curve never runs
  // along the frame.
  a.spec_top = std::floor(hi / 10) * 10 + 10;
  double span = std::ceil((a.spec_top - lo) / 10) * 10;
  // Deep notches would squeeze the interesting part; 120 dB shows any
  // useful spectrum, 40 dB keeps a flat one from looking dramatic.
  span = span < 40 ? 40 : (span > 120 ? 120 : span);
  a.spec_bottom = a.spec_top - span;
  double peak = 0;
  const ReportCurve& cu = c->applied;
  for (uint64_t k = 0; cu.db && k < cu.channels * cu.bins; ++k) {
    double hz = static_cast<double>(k % cu.bins) * cu.bin_hz;
    double v = cu.db[k] - curve_level(c, k / cu.bins);
    if (hz >= kGridLowHz && std::isfinite(v) && std::fabs(v) > peak) peak = std::fabs(v);
  }
  a.curve_range = peak <= 6 ? 6 : std::ceil(peak / 6) * 6;
  if (a.curve_range > 96) a.curve_range = 96;
  a.curve_step = a.curve_range / 3;
  return a;
}

void num(TextBuffer* b, double v) { text_append_fixed(b, v, 1, "0"); }

void text_at(TextBuffer* b, double x, double y, const char* anchor, const char* extra,
             const char* utf8) {
  text_append(b, "<text x=\"");
  num(b, x);
  text_append(b, "\" y=\"");
  num(b, y);
  text_appendf(b, "\" text-anchor=\"%s\"%s>", anchor, extra);
  text_append_xml_text(b, utf8);
  text_append(b, "</text>\n");
}

void line(TextBuffer* b, double x1, double y1, double x2, double y2, const char* style) {
  text_append(b, "<line x1=\"");
  num(b, x1);
  text_append(b, "\" y1=\"");
  num(b, y1);
  text_append(b, "\" x2=\"");
  num(b, x2);
  text_append(b, "\" y2=\"");
  num(b, y2);
  text_appendf(b, "\" %s/>\n", style);
}

void grid_lines(TextBuffer* b, const Axes& a) {
  text_append(b, "<g id=\"grid\" stroke=\"#d0d0d0\" stroke-width=\"1\">\n");
  for (double db = a.spec_top; db >= a.spec_bottom - 1e-9; db -= 10) {
    double y = y_of(db, a.spec_top, a.spec_bottom);
    line(b, kLeft, y, kRight, y, "");
  }
  for (double hz = 31.25; hz <= a.nyquist * 1.0000001; hz *= 2) {
    if (hz < kGridLowHz) continue;
    double x = x_of(a, hz);
    line(b, x, kTop, x, kBottom, "");
  }
  text_append(b, "</g>\n");
  // Labels: left axis every 10 dB, right axis every curve_step, octaves.
  text_append(b, "<g id=\"labels\" fill=\"#333\">\n");
  TextBuffer label;
  text_init(&label);
  for (double db = a.spec_top; db >= a.spec_bottom - 1e-9; db -= 10) {
    label.length = 0;
    text_append_fixed(&label, db, 0, "");
    text_at(b, kLeft - 6, y_of(db, a.spec_top, a.spec_bottom) + 4, "end", "", label.data);
  }
  for (double db = a.curve_range; db >= -a.curve_range - 1e-9; db -= a.curve_step) {
    label.length = 0;
    if (db > 1e-9) text_append_char(&label, '+');
    text_append_fixed(&label, db, a.curve_step < 1 ? 1 : 0, "");
    text_at(b, kRight + 6, y_of(db, a.curve_range, -a.curve_range) + 4, "start",
            " fill=\"#1e6b1e\"", label.data);
  }
  static const char* const names[] = {"31.5", "63", "125", "250", "500", "1k",
                                      "2k",   "4k", "8k",  "16k", "32k", "64k", "128k"};
  double hz = 31.25;
  for (int i = 0; i < 13 && hz <= a.nyquist * 1.0000001; ++i, hz *= 2)
    text_at(b, x_of(a, hz), kBottom + 18, "middle", "", names[i]);
  text_at(b, kLeft, kBottom + 18, "middle", "", "20");
  text_at(b, (kLeft + kRight) / 2, kBottom + 38, "middle", "", "frequency (Hz)");
  text_at(b, 18, (kTop + kBottom) / 2, "middle", " transform=\"rotate(-90 18 240)\"",
          "spectrum (dB)");
  text_at(b, kWidth - 16, (kTop + kBottom) / 2, "middle",
          " fill=\"#1e6b1e\" transform=\"rotate(90 944 240)\"", "correction (dB)");
  if (label.failed) b->failed = true;
  text_release(&label);
  text_append(b, "</g>\n");
}

// Appends one series as a <path>, broken where values are missing.
template <class ValueAt>
void series(TextBuffer* b, const Axes& a, const char* id, const char* colour, const char* dash,
            double top, double bottom, ValueAt value_at) {
  text_appendf(b, "<path id=\"%s\" fill=\"none\" stroke=\"%s\" stroke-width=\"2\"%s%s%s d=\"", id,
               colour, *dash ? " stroke-dasharray=\"" : "", dash, *dash ? "\"" : "");
  uint64_t n = draw_points(a.nyquist);
  bool pen_down = false;
  for (uint64_t k = 0; k < n; ++k) {
    double hz = grid_frequency(k, kDrawPerOctave);
    double v = value_at(hz);
    if (!std::isfinite(v)) {
      if (v == -INFINITY) v = bottom - 1;  // silence: drawn along the bottom
      else {
        pen_down = false;
        continue;
      }
    }
    text_append_char(b, pen_down ? 'L' : 'M');
    num(b, x_of(a, hz));
    text_append_char(b, ' ');
    num(b, y_of(v, top, bottom));
    text_append_char(b, ' ');
    pen_down = true;
  }
  text_append(b, "\"/>\n");
}

// The area between two spectra (smoothed as the spectra are), for the
// spread of several references around their median; points where either
// is not finite are left out.
void spread_band(TextBuffer* b, const Axes& a, const ReportSpectrum& low, const ReportSpectrum& high,
                 const char* colour) {
  const uint64_t n = draw_points(a.nyquist);
  text_appendf(b, "<path id=\"reference-spread\" fill=\"%s\" fill-opacity=\"0.18\" stroke=\"none\" d=\"", colour);
  bool first = true;
  for (int pass = 0; pass < 2; ++pass) {
    const ReportSpectrum& s = pass == 0 ? high : low;
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t k = pass == 0 ? i : n - 1 - i;
      const double hz = grid_frequency(k, kDrawPerOctave);
      const double lo = smoothed_at(low.db, low.bins, low.bin_hz, hz, kSmoothPerOctave);
      const double hi = smoothed_at(high.db, high.bins, high.bin_hz, hz, kSmoothPerOctave);
      if (!std::isfinite(lo) || !std::isfinite(hi)) continue;
      const double v = smoothed_at(s.db, s.bins, s.bin_hz, hz, kSmoothPerOctave);
      text_append_char(b, first ? 'M' : 'L');
      first = false;
      num(b, x_of(a, hz));
      text_append_char(b, ' ');
      num(b, y_of(v, a.spec_top, a.spec_bottom));
      text_append_char(b, ' ');
    }
  }
  text_append(b, first ? "\"/>\n" : "Z\"/>\n");
}

struct LegendEntry {
  const char* colour;
  const char* dash;
  char text[64];
};

int legend_rows(int count) { return (count + kLegendPerRow - 1) / kLegendPerRow; }

// Entries left to right below the axis title, kLegendPerRow to a row.
void legend(TextBuffer* b, const LegendEntry* entries, int count) {
  text_append(b, "<g id=\"legend\">\n");
  double column = (kRight - kLeft) / kLegendPerRow;
  for (int i = 0; i < count; ++i) {
    double x = kLeft + column * (i % kLegendPerRow);
    double y = kLegendTop + kLegendRow * (i / kLegendPerRow);
    char style[160];
    snprintf(style, sizeof style, "stroke=\"%s\" stroke-width=\"3\"%s%s%s", entries[i].colour,
             *entries[i].dash ? " stroke-dasharray=\"" : "", entries[i].dash,
             *entries[i].dash ? "\"" : "");
    line(b, x, y - 5, x + 32, y - 5, style);
    text_at(b, x + 40, y, "start", "", entries[i].text);
  }
  text_append(b, "</g>\n");
}

// Starts the next item of a caption line: a separator unless it is the
// first (SVG collapses runs of spaces, so items need a visible one).
void item(TextBuffer* t) {
  if (t->length) text_append(t, " \xC2\xB7 ");
}

// Caption lines from y = top on.
void caption(TextBuffer* b, const ReportGroup* g, const ReportChild* c, double top) {
  TextBuffer t;
  text_init(&t);
  text_append(&t, "Master: ");
  text_append(&t, g->master.path ? g->master.path : "(unknown)");
  item(&t);
  text_append(&t, "Child: ");
  text_append(&t, c->input.path ? c->input.path : "(unknown)");
  text_at(b, kLeft, top, "start", " font-weight=\"bold\"", t.data ? t.data : "");
  t.length = 0;
  text_append(&t, "Largest boost ");
  report_append_db_at(&t, c->max_boost_db, c->max_boost_hz);
  item(&t);
  text_append(&t, "Largest cut ");
  report_append_db_at(&t, c->max_cut_db, c->max_cut_hz);
  if (c->clamped_bins >= 0) {
    item(&t);
    text_appendf(&t, "Clamped bins: %lld", static_cast<long long>(c->clamped_bins));
    if (c->range_clamped_bins >= 0 && c->limit_clamped_bins >= 0)
      text_appendf(&t, " (gain range %lld, limits %lld)", static_cast<long long>(c->range_clamped_bins),
                   static_cast<long long>(c->limit_clamped_bins));
  }
  text_at(b, kLeft, top + kCaptionLine, "start", "", t.data ? t.data : "");
  t.length = 0;
  if (c->latency_samples >= 0) {
    text_appendf(&t, "Latency: %lld samples (", static_cast<long long>(c->latency_samples));
    text_append_fixed(&t, c->latency_ms, 2, "?");
    text_append(&t, " ms)");
  }
  if (std::isfinite(c->output.sample_peak_dbfs)) {
    item(&t);
    text_append(&t, "Output peak: ");
    text_append_fixed(&t, c->output.sample_peak_dbfs, 2, "");
    text_append(&t, " dBFS");
  }
  if (std::isfinite(c->output.loudness_lufs)) {
    item(&t);
    text_append(&t, "Output loudness: ");
    text_append_fixed(&t, c->output.loudness_lufs, 1, "");
    text_append(&t, " LUFS");
  }
  if (std::isfinite(c->output.true_peak_dbtp)) {
    item(&t);
    text_append(&t, "True peak: ");
    text_append_fixed(&t, c->output.true_peak_dbtp, 2, "");
    text_append(&t, " dBTP");
  }
  text_at(b, kLeft, top + 2 * kCaptionLine, "start", "", t.data ? t.data : "");
  if (c->outcome != REPORT_DONE) {
    t.length = 0;
    text_append(&t, report_outcome_name(c->outcome));
    if (c->status) text_appendf(&t, " (status %d)", c->status);
    if (c->message) {
      text_append(&t, ": ");
      text_append(&t, c->message);
    }
    text_at(b, kLeft, top + 3 * kCaptionLine, "start", " fill=\"#b00020\"", t.data ? t.data : "");
  }
  if (t.failed) b->failed = true;
  text_release(&t);
}

}  // namespace

bool report_append_hz(TextBuffer* b, double hz) {
  if (!std::isfinite(hz)) return text_append(b, "? Hz");
  if (hz >= 1000) {
    text_append_number(b, hz / 1000, 3, "?");
    return text_append(b, " kHz");
  }
  text_append_number(b, hz, 3, "?");
  return text_append(b, " Hz");
}

bool report_append_db_at(TextBuffer* b, double db, double hz) {
  if (!std::isfinite(db)) return text_append(b, "n/a");
  if (db > 0.005) text_append_char(b, '+');
  text_append_fixed(b, db, 2, "?");
  text_append(b, " dB at ");
  return report_append_hz(b, hz);
}

bool report_child_has_plot(const ReportGroup*, const ReportChild* c) {
  return c->plot_svg || nyquist_of(c) > kGridLowHz;
}

bool report_plot_file_name(uint64_t group_index, uint64_t child_index, const ReportChild* c,
                           TextBuffer* out) {
  return report_plot_file_name(group_index, child_index, c->input.path, out);
}

bool report_plot_file_name(uint64_t group_index, uint64_t child_index, const char* child_path, TextBuffer* out) {
  text_appendf(out, "plot-%llu-%llu", static_cast<unsigned long long>(group_index + 1),
               static_cast<unsigned long long>(child_index + 1));
  const char* path = child_path ? child_path : "";
  const char* base = strrchr(path, '/');
  base = base ? base + 1 : path;
  const char* dot = strrchr(base, '.');
  size_t len = dot && dot != base ? static_cast<size_t>(dot - base) : strlen(base);
  if (len > 40) len = 40;
  if (len) text_append_char(out, '-');
  for (size_t i = 0; i < len; ++i) {
    char ch = base[i];
    bool plain = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
                 ch == '-' || ch == '_';
    text_append_char(out, plain ? ch : '_');
  }
  return text_append(out, ".svg");
}

// The limiter's gain over time, in a panel of its own from `top` down:
// 0 dB at the top, the largest reduction (at least 3 dB) at the bottom.
constexpr double kGainPanelHeight = 110, kGainPanelSpace = 160;

void gain_panel(TextBuffer* b, const ReportChild* c, double top) {
  const uint64_t n = c->limiter_gain_count;
  double range = 3.0;
  for (uint64_t i = 0; i < n; ++i) range = std::max(range, std::ceil(-c->limiter_gain_db[i]));
  text_at(b, kLeft, top - 10, "start", " font-weight=\"bold\"", "Limiter gain over time");
  const double bottom = top + kGainPanelHeight;
  char label[48];
  text_at(b, kLeft - 6, top + 5, "end", "", "0 dB");
  snprintf(label, sizeof label, "-%.0f dB", range);
  text_at(b, kLeft - 6, bottom + 5, "end", "", label);
  text_at(b, kLeft, bottom + 20, "start", "", "0 s");
  snprintf(label, sizeof label, "%.1f s", double(n) * c->limiter_gain_step_s);
  text_at(b, kRight, bottom + 20, "end", "", label);
  text_append(b, "<path id=\"limiter-gain\" fill=\"none\" stroke=\"#9467bd\" stroke-width=\"1.5\" d=\"");
  for (uint64_t i = 0; i < n; ++i) {
    const double x = kLeft + (kRight - kLeft) * (n > 1 ? double(i) / double(n - 1) : 0.0);
    const double y = top + kGainPanelHeight * std::min(1.0, std::max(0.0, -c->limiter_gain_db[i] / range));
    text_append(b, i ? " L" : "M");
    num(b, x);
    text_append(b, " ");
    num(b, y);
  }
  text_append(b, "\"/>\n<rect x=\"");
  num(b, kLeft);
  text_append(b, "\" y=\"");
  num(b, top);
  text_append(b, "\" width=\"");
  num(b, kRight - kLeft);
  text_append(b, "\" height=\"");
  num(b, kGainPanelHeight);
  text_append(b, "\" fill=\"none\" stroke=\"#666\"/>\n");
}

bool report_svg_build(const ReportGroup* g, const ReportChild* c, TextBuffer* out) {
  if (c->plot_svg) return text_append(out, c->plot_svg) && !out->failed;
  TextBuffer* b = out;
  Axes a = make_axes(g, c);
  if (!(a.nyquist > kGridLowHz)) a.nyquist = 24000;
  const bool master = spectrum_values(g->spectrum) != nullptr;
  const bool child = spectrum_values(c->spectrum) != nullptr;
  const ReportCurve& cu = c->applied;

  // Legend first: its rows decide the height.
  constexpr int kMaxChannelEntries = 8;
  LegendEntry entries[3 + kMaxChannelEntries];
  int count = 0;
  auto add_entry = [&](const char* colour, const char* dash, const char* text) {
    entries[count].colour = colour;
    entries[count].dash = dash;
    snprintf(entries[count].text, sizeof entries[count].text, "%s", text);
    ++count;
  };
  const bool spread = master && g->spread_low.db && g->spread_high.db;
  if (master) add_entry(kColourMaster, "", spread ? "target: median of the references" : "master spectrum (1/6 oct)");
  if (spread) add_entry(kColourMaster, "2 2", "spread of the references");
  if (child) add_entry(kColourChild, "", "child spectrum (1/6 oct)");
  for (uint64_t ch = 0; cu.db && ch < cu.channels && ch < kMaxChannelEntries; ++ch) {
    char text[64];
    int used = cu.channels == 1 ? snprintf(text, sizeof text, "applied correction")
               : c->mid_side && ch < 2
                   ? snprintf(text, sizeof text, "correction, %s", ch == 0 ? "mid" : "side")
                   : snprintf(text, sizeof text, "correction, channel %llu", static_cast<unsigned long long>(ch + 1));
    // A curve shaped around its level is drawn relative to it.
    if (c->curve_level_db && ch < c->level_channels && used > 0 && static_cast<size_t>(used) < sizeof text)
      snprintf(text + used, sizeof text - static_cast<size_t>(used), " - level %+.2f dB", c->curve_level_db[ch]);
    add_entry(kChannelColours[ch % 8], kChannelDashes[ch % 4], text);
  }
  double caption_top = kLegendTop + kLegendRow * legend_rows(count) + 10;
  int lines = c->outcome != REPORT_DONE ? 4 : 3;
  int height = static_cast<int>(caption_top + kCaptionLine * (lines - 1) + 16);
  const bool gain = c->limiter_ran && c->limiter_gain_count > 0 && c->limiter_gain_db;
  const double gain_top = height + 40;
  if (gain) height += static_cast<int>(kGainPanelSpace);

  text_append(b, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  text_appendf(b,
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
               "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"14\">\n",
               static_cast<int>(kWidth), height, static_cast<int>(kWidth), height);
  text_append(b, "<title>");
  text_append_xml_text(b, g->name);
  text_append(b, ": ");
  text_append_xml_text(b, c->input.path);
  text_append(b, "</title>\n");
  text_appendf(b, "<rect width=\"%d\" height=\"%d\" fill=\"#ffffff\"/>\n", static_cast<int>(kWidth),
               height);
  text_append(b, "<text x=\"70\" y=\"30\" font-size=\"17\" font-weight=\"bold\">");
  text_append_xml_text(b, g->name);
  text_append(b, " \xE2\x80\x94 ");
  text_append_xml_text(b, c->input.path);
  text_append(b, "</text>\n");
  grid_lines(b, a);

  if (master) {
    const ReportSpectrum& s = g->spectrum;
    if (spread) spread_band(b, a, g->spread_low, g->spread_high, kColourMaster);
    series(b, a, "spectrum-master", kColourMaster, "", a.spec_top, a.spec_bottom, [&](double hz) {
      return smoothed_at(s.db, s.bins, s.bin_hz, hz, kSmoothPerOctave);
    });
  }
  if (child) {
    const ReportSpectrum& s = c->spectrum;
    series(b, a, "spectrum-child", kColourChild, "", a.spec_top, a.spec_bottom, [&](double hz) {
      return smoothed_at(s.db, s.bins, s.bin_hz, hz, kSmoothPerOctave);
    });
  }
  if (cu.db) {
    // The zero line of the correction axis.
    double zero = y_of(0, a.curve_range, -a.curve_range);
    line(b, kLeft, zero, kRight, zero,
         "stroke=\"#1e6b1e\" stroke-opacity=\"0.5\" stroke-dasharray=\"2 4\"");
    for (uint64_t ch = 0; ch < cu.channels; ++ch) {
      char id[48];
      snprintf(id, sizeof id, "correction-applied-%llu", static_cast<unsigned long long>(ch + 1));
      const double* row = cu.db + ch * cu.bins;
      const double level = curve_level(c, ch);
      series(b, a, id, kChannelColours[ch % 8], kChannelDashes[ch % 4], a.curve_range,
             -a.curve_range, [&](double hz) { return curve_at(row, cu.bins, cu.bin_hz, hz) - level; });
    }
  }
  text_append(b, "<rect x=\"");
  num(b, kLeft);
  text_append(b, "\" y=\"");
  num(b, kTop);
  text_append(b, "\" width=\"");
  num(b, kRight - kLeft);
  text_append(b, "\" height=\"");
  num(b, kBottom - kTop);
  text_append(b, "\" fill=\"none\" stroke=\"#666\"/>\n");
  if (count) legend(b, entries, count);
  caption(b, g, c, caption_top);
  if (gain) gain_panel(b, c, gain_top);
  text_append(b, "</svg>\n");
  return !b->failed;
}
