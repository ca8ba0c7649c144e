#include "tool/report_fill.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "analysis/ir_synthesis.h"
#include "analysis/sample.h"
#include "runtime/alloc.h"
#include "runtime/status_text.h"
#include "audio/sample_type.h"
#include "tool/delivery.h"
#include "tool/naming.h"
#include "tool/pipeline.h"
#include "tool/run_plan.h"
#include "tool/settings.h"
#include "tool/tool_config.h"

namespace {

const char* utf8_of(const String* s) {
  const char* t = s ? string_to_utf8(const_cast<String*>(s)) : nullptr;
  return t ? t : "";
}

double peak_dbfs(const Sample& audio) {
  float peak = 0.0f;
  for (uint64_t c = 0; c < audio.channels; ++c) {
    const float* row = audio.data + c * audio.stride;
    for (uint64_t t = 0; t < audio.length; ++t) peak = std::fmax(peak, std::fabs(row[t]));
  }
  return peak > 0.0f ? 20.0 * std::log10(static_cast<double>(peak)) : -std::numeric_limits<double>::infinity();
}

// Rows of a Sample as doubles, row after row; null when memory runs out.
double* rows_as_double(const Sample& s) {
  if (s.channels == 0 || s.length == 0) return nullptr;
  double* out = static_cast<double*>(mem_alloc(s.channels * s.length * sizeof(double)));
  if (!out) return nullptr;
  for (uint64_t c = 0; c < s.channels; ++c)
    for (uint64_t k = 0; k < s.length; ++k) out[c * s.length + k] = s.data[c * s.stride + k];
  return out;
}

// The rate, channels and frames of an input: the preflight's header when
// it asked one, else the file's header asked now. False when the file
// cannot be opened or tells no rate.
bool input_shape(const InputHeader* h, const ToolConfig* cfg, const String* name, uint64_t* rate,
                 uint64_t* channels, uint64_t* frames) {
  if (!h || !h->checked || h->status != 0) return probe_input_file(cfg, name, rate, channels, frames);
  if (h->rate == 0) return false;
  *rate = h->rate;
  *channels = h->channels;
  *frames = h->frames;
  return true;
}

}  // namespace

void report_fill_run(RunReport* r, const ToolConfig* cfg, int argc, char** argv) {
  if (!r) return;
  (void)report_set_version(r, TIMBRAL_VERSION);
  (void)report_set_command_line(r, argc, argv);
  for (size_t i = 0; i < SETTINGS_COUNT; ++i) {
    const SettingRow& row = *setting_in_help_order(i);
    if (!row.key) continue;
    char key[64];
    std::snprintf(key, sizeof key, "%s%s", row.flags & SETTING_IN_IR ? "ir." : "", row.key);
    if (setting_codec(&row)->to_report) setting_codec(&row)->to_report(r, key, cfg, &row);
  }
}

ReportGroup* report_begin_group(const RunReport* r, const Group* group) {
  if (!r) return nullptr;
  ReportGroup* g = nullptr;
  if (report_new_group(utf8_of(&group->name), &g) != 0) return nullptr;
  if (r->shard_count > 0) g->position = group->position;
  (void)report_set_audio(&g->master, utf8_of(&group->master), 0, 0, -1, std::nan(""));
  return g;
}

ReportChild* report_begin_child(const RunReport* r, const String* name) {
  if (!r) return nullptr;
  ReportChild* c = nullptr;
  return report_new_child(utf8_of(name), &c) == 0 ? c : nullptr;
}

void report_fill_audio(ReportAudioInfo* info, const String* path, const Sample& audio,
                       const LoudnessReport* loudness) {
  report_fill_audio_shape(info, path, audio.sample_rate, audio.channels, audio.length, peak_dbfs(audio), loudness);
}

void report_fill_audio_shape(ReportAudioInfo* info, const String* path, uint64_t rate, uint64_t channels,
                             uint64_t frames, double peak_db, const LoudnessReport* loudness) {
  if (!info) return;
  (void)report_set_audio(info, path ? utf8_of(path) : nullptr, static_cast<int64_t>(rate),
                         static_cast<int64_t>(channels), static_cast<int64_t>(frames), peak_db);
  if (loudness) report_set_loudness(info, loudness->after_lufs, loudness->true_peak_db);
}

void report_fill_input(ReportAudioInfo* info, const ToolConfig* cfg, const String* name, const InputHeader* header,
                       const Sample& loaded) {
  if (!info) return;
  uint64_t rate = 0, channels = 0, frames = 0;
  if (!input_shape(header, cfg, name, &rate, &channels, &frames) || frames == AUDIO_FRAMES_UNKNOWN) {
    report_fill_audio(info, nullptr, loaded, nullptr);
    return;
  }
  (void)report_set_audio(info, nullptr, static_cast<int64_t>(rate), static_cast<int64_t>(channels),
                         static_cast<int64_t>(frames), peak_dbfs(loaded));
}

void report_fill_input_peak(ReportAudioInfo* info, const ToolConfig* cfg, const String* name,
                            const InputHeader* header, const Sample& shape, float peak) {
  if (!info) return;
  uint64_t rate = 0, channels = 0, frames = 0;
  const double peak_db =
      peak > 0.0f ? 20.0 * std::log10(static_cast<double>(peak)) : -std::numeric_limits<double>::infinity();
  if (!input_shape(header, cfg, name, &rate, &channels, &frames) || frames == AUDIO_FRAMES_UNKNOWN) {
    report_fill_audio_shape(info, nullptr, shape.sample_rate, shape.channels, shape.length, peak_db, nullptr);
    return;
  }
  (void)report_set_audio(info, nullptr, static_cast<int64_t>(rate), static_cast<int64_t>(channels),
                         static_cast<int64_t>(frames), peak_db);
}

void report_fill_spectrum(ReportSpectrum* s, const Sample& profile, uint64_t rate) {
  if (!s || profile.channels == 0 || profile.length < 2) return;
  const uint64_t bins = profile.length / 2 + 1;
  float* mean = static_cast<float*>(mem_alloc(bins * sizeof(float)));
  if (!mean) return;
  for (uint64_t k = 0; k < bins; ++k) {
    double sum = 0.0;
    for (uint64_t c = 0; c < profile.channels; ++c) sum += profile.data[c * profile.stride + k];
    mean[k] = static_cast<float>(sum / static_cast<double>(profile.channels));
  }
  (void)report_set_spectrum_magnitude(s, mean, bins, static_cast<double>(rate) / static_cast<double>(profile.length));
  mem_free(mean);
}

void report_fill_curves(ReportChild* c, const CurveTrace& trace, uint64_t rate, unsigned rank) {
  if (!c) return;
  const double bin_hz = static_cast<double>(rate) / static_cast<double>(uint64_t(1) << rank);
  if (double* db = rows_as_double(trace.computed_db)) {
    (void)report_set_curve(&c->computed, db, trace.computed_db.channels, trace.computed_db.length, bin_hz);
    mem_free(db);
  }
  if (double* db = rows_as_double(trace.applied_db)) {
    (void)report_child_set_applied(c, db, trace.applied_db.channels, trace.applied_db.length, bin_hz);
    mem_free(db);
  }
  report_child_set_clamps(c, static_cast<int64_t>(trace.clamped_bins), static_cast<int64_t>(trace.limited_bins));
  if (double* levels = rows_as_double(trace.level_db)) {
    (void)report_child_set_levels(c, levels, trace.level_db.channels);
    mem_free(levels);
  }
}

void report_fill_output_shape(ReportChild* c, uint64_t rate, uint64_t channels, uint64_t frames, double peak_db,
                              const PlannedFile* planned, const LoudnessReport& loudness) {
  if (!c) return;
  report_fill_audio_shape(&c->output, planned ? &planned->path : nullptr, rate, channels, frames, peak_db, &loudness);
  if (loudness.limiter_on) {
    c->limiter_ran = true;
    c->limiter_ceiling_dbtp = loudness.limiter_ceiling_db;
    c->limiter_reduction_max_db = loudness.reduction_max_db;
    c->limiter_reduction_mean_db = loudness.reduction_mean_db;
    c->limiter_limited_share = loudness.limited_share;
    // The gain over time is left out when memory runs out.
    mem_free(c->limiter_gain_db);
    c->limiter_gain_db = nullptr;
    c->limiter_gain_count = 0;
    const uint64_t n = loudness.limiter_trace_count;
    if (n > 0) c->limiter_gain_db = static_cast<double*>(mem_alloc(size_t(n) * sizeof(double)));
    if (c->limiter_gain_db) {
      for (uint64_t i = 0; i < n; ++i) {
        const double g = loudness.limiter_trace[i];
        c->limiter_gain_db[i] = g > 0.0 ? 20.0 * std::log10(g) : -200.0;
      }
      c->limiter_gain_count = n;
      c->limiter_gain_step_s = loudness.limiter_trace_step_s;
    }
  }
  if (!loudness.asked) return;
  ReportDelivery& d = c->delivery;
  d.asked = true;
  d.target_lufs = loudness.target_lufs;
  d.ceiling_dbtp = loudness.ceiling_dbtp;
  d.gain_db = loudness.gain_db;
  d.loudness_lufs = loudness.after_lufs;
  d.true_peak_dbtp = loudness.true_peak_db;
  d.miss_lu = loudness.miss_lu;
  d.decoded_true_peak_dbtp = loudness.decoded_true_peak_db;
  // A target is met when it was reached (a silent output reaches none);
  // the gain keeps the true peak within the ceiling whenever it can.
  const bool target_met = std::isnan(d.target_lufs) || (std::isfinite(d.loudness_lufs) && !(d.miss_lu > 0.0));
  const bool peak_held = std::isnan(d.ceiling_dbtp) || !(d.true_peak_dbtp > d.ceiling_dbtp + 1e-9);
  d.pass = target_met && peak_held;
}

void report_add_written(const RunContext* ctx, ReportGroup* g, ReportChild* c, OutputKind kind, const String* path) {
  const int32_t listed = output_kind_row(kind).report_kind;
  if (!ctx->report_dir || (!g && !c) || listed < 0) return;
  char* relative = nullptr;
  if (report_relative_path(ctx->report_dir, utf8_of(path), &relative) != 0) return;
  if (c) (void)report_child_add_file(c, static_cast<ReportFileKind>(listed), relative);
  else (void)report_group_add_file(g, static_cast<ReportFileKind>(listed), relative);
  mem_free(relative);
}

void report_group_failed(ReportGroup* g, int status) {
  if (g) (void)report_group_set_outcome(g, REPORT_FAILED, status, status_text(status));
}

void report_child_failed(ReportChild* c, int status, const char* message) {
  if (!c) return;
  (void)report_child_set_outcome(c, status ? REPORT_FAILED : REPORT_SKIPPED, status,
                                 message ? message : status_text(status));
}

void report_child_skipped(ReportChild* c, const char* message) {
  if (c) (void)report_child_set_outcome(c, REPORT_SKIPPED, 0, message);
}

void report_child_channels_differ(ReportChild* c) {
  if (c) (void)report_child_set_outcome(c, REPORT_FAILED, 0, "channels differ");
}

void report_child_not_reached(ReportGroup* g, const String* name) {
  ReportChild* c = nullptr;
  if (!g || report_new_child(utf8_of(name), &c) != 0) return;
  (void)report_child_set_outcome(c, REPORT_NOT_REACHED, 0, nullptr);
  (void)report_adopt_child(g, c);
}
