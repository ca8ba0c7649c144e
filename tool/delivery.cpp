#include "tool/delivery.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "analysis/loudness.h"
#include "analysis/sample.h"
#include "dsp/dsp.h"
#include "runtime/output.h"
#include "runtime/status.h"
#include "tool/tool_config.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A scaled output whose loudness ends below this is measured again: its
// blocks lie within reach of the absolute gate (-70 LUFS), so the gain may
// have moved some across it. Above it the gain's prediction is exact to the
// reported precision.
constexpr double kRemeasureBelowLufs = -60.0;

const char* text_of(const String* s) {
  const char* t = s ? string_to_locale(const_cast<String*>(s)) : nullptr;
  return t ? t : "";
}

// A measuring status, with its line when it is a failure.
int measured(int st) {
  if (st != 0) err_printf("  error measuring loudness, error code: %d\n", st);
  return st;
}

int measure(const Sample& audio, FollowedLoudness* followed, LoudnessMeasure* m) {
  if (!followed) return measured(measure_loudness(audio, m));
  // The peaks while the loudness is still being measured, then the loudness.
  const double pending = 0.0;
  int st = measure_loudness(audio, &pending, m);
  followed->meter->join();
  if (st == 0) st = *followed->status;
  if (st != 0) return measured(st);
  // libebur128 reports -HUGE_VAL when no block passes the gates.
  const double lufs = *followed->integrated;
  m->integrated_lufs = std::isfinite(lufs) ? lufs : kNaN;
  return 0;
}

}  // namespace

void loudness_report_init(LoudnessReport* r) {
  r->before_lufs = kNaN;
  r->after_lufs = kNaN;
  r->true_peak_db = kNaN;
  r->gain_db = kNaN;
}

int deliver_loudness(const ToolConfig* cfg, Sample* output, const Sample* timbre, LoudnessReport* report,
                     FollowedLoudness* followed) {
  LoudnessMeasure out;
  int st = measure(*output, followed, &out);
  if (st != 0) return st;
  double target = kNaN;
  if (cfg->loudness.on) {
    target = cfg->loudness.value;
  } else if (cfg->match_loudness) {
    // Only the loudness of the file whose timbre the output takes counts.
    if ((st = measured(measure_integrated_loudness(*timbre, &target))) != 0) return st;
    if (std::isnan(target)) {
      err_printf("  [WRN] reference has no measurable loudness (silent, shorter than 0.4 s or below -70 LUFS); "
                 "loudness not matched\n");
    }
  }
  const double ceiling = cfg->true_peak.on ? static_cast<double>(cfg->true_peak.value) : kNaN;
  LoudnessGain g = loudness_gain(out, target, ceiling);
  report->before_lufs = out.integrated_lufs;
  if (g.unmeasurable || (!std::isnan(target) && std::isnan(out.integrated_lufs))) {
    // Only digital silence is called silent; a short or very quiet output
    // still has a peak, and the ceiling below still holds it.
    if (std::isinf(out.true_peak_db) && out.true_peak_db < 0) {
      err_printf("  [WRN] output is silent (no measurable loudness); not scaled\n");
    } else {
      err_printf("  [WRN] output loudness is unmeasurable (shorter than 0.4 s or below -70 LUFS); "
                 "not brought to the target\n");
    }
  }
  if (g.gain_db != 0.0 && std::isfinite(g.gain_db)) {
    loudness_apply_gain(*output, g.gain_db);
    // Loudness and true peak follow a linear gain exactly; no second
    // measurement is needed.
    out.integrated_lufs += g.gain_db;
    out.true_peak_db += g.gain_db;
    // Near the absolute gate of -70 LUFS a gain moves blocks across it, and
    // the loudness no longer follows the gain: it is measured again, so
    // that only a measured value is reported.
    if (std::isfinite(out.integrated_lufs) && out.integrated_lufs < kRemeasureBelowLufs) {
      const double predicted = out.integrated_lufs;
      if ((st = measured(measure_integrated_loudness(*output, &out.integrated_lufs))) != 0) return st;
      if (!(std::fabs(out.integrated_lufs - predicted) < 0.05)) {
        char now[32] = "unmeasurable";
        if (!std::isnan(out.integrated_lufs)) std::snprintf(now, sizeof now, "%.2f LUFS", out.integrated_lufs);
        err_printf("  [WRN] loudness after the gain measures %s: the gate at -70 LUFS drops part of the output\n",
                   now);
      }
    }
  }
  if (g.ceiling_limited && !std::isnan(target) && g.target_missed_lu > 0.0) {
    err_printf("  [WRN] true-peak ceiling of %.1f dBTP: loudness target missed by %.2f LU\n", ceiling,
                 g.target_missed_lu);
  }
  report->after_lufs = out.integrated_lufs;
  report->true_peak_db = out.true_peak_db;
  report->gain_db = g.gain_db;
  // Silence has no loudness and no peak: words instead of nan and -inf.
  char lufs[32] = "unmeasurable", tp[32] = "none";
  if (std::isfinite(out.integrated_lufs)) std::snprintf(lufs, sizeof lufs, "%.2f LUFS", out.integrated_lufs);
  if (std::isfinite(out.true_peak_db)) std::snprintf(tp, sizeof tp, "%.2f dBTP", out.true_peak_db);
  out_printf("  loudness: %s, true peak: %s, gain: %+.2f dB\n", lufs, tp, g.gain_db);
  return 0;
}

void save_options_from_config(SaveOptions* options, const ToolConfig* cfg) {
  options->format = save_format_default();
  options->format.container = static_cast<int>(cfg->format);
  options->format.bits = static_cast<int>(cfg->bits);
  options->format.dither = static_cast<int>(cfg->dither);
  options->custom = cfg->format != FORMAT_WAV || cfg->bits != BITS_FLOAT;
}

int check_output_format(const ToolConfig* cfg, const String* path, uint64_t rate) {
  SaveOptions options;
  save_options_from_config(&options, cfg);
  String copy;
  string_init(&copy);
  if (!string_assign(&copy, path)) return STATUS_NO_MEMORY;
  char why[256] = "";
  int st = save_format_check(options.format, copy, 0, rate, 0, why, sizeof why);
  if (st != 0) err_printf("Output format not possible for '%s': %s\n", text_of(path), why);
  string_free(&copy);
  return st;
}

void warn_overs(const String* path, const Sample& output, const SaveOptions& options) {
  // The vector peak first: almost every output stays within full scale
  // and needs no count.
  const DspTable& t = dsp();
  float peak = 0.0f;
  for (uint64_t c = 0; c < output.channels; ++c) {
    peak = std::fmax(peak, t.peak_abs(output.data + c * output.stride, static_cast<size_t>(output.length)));
  }
  if (!(peak > 1.0f)) return;
  uint64_t overs = 0;
  for (uint64_t c = 0; c < output.channels; ++c) {
    const float* row = output.data + c * output.stride;
    for (uint64_t t2 = 0; t2 < output.length; ++t2) overs += std::fabs(row[t2]) > 1.0f;
  }
  err_printf("  [WRN] '%s' peaks at %+.2f dBFS: %llu samples over full scale%s\n", text_of(path),
             20.0 * std::log10(static_cast<double>(peak)), static_cast<unsigned long long>(overs),
             options.format.bits != SAVE_BITS_FLOAT ? ", clipped" : "");
}
