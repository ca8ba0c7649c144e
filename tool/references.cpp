#include "tool/references.h"

#include <cmath>
#include <utility>

#include "analysis/curve_shape.h"
#include "analysis/loudness.h"
#include "analysis/loudness_tap.h"
#include "analysis/mix.h"
#include "analysis/profile.h"
#include "report/run_report.h"
#include "runtime/alloc.h"
#include "runtime/output.h"
#include "tool/input_source.h"
#include "tool/naming.h"
#include "tool/report_fill.h"
#include "tool/tool_config.h"

namespace {

const char* text_of(const String* s) {
  const char* t = string_to_locale(const_cast<String*>(s));
  return t ? t : "";
}

// The level a reference is brought to before the median: its integrated
// loudness, or, when that cannot be measured, its mean power in dB.
struct ReferenceLevel {
  double lufs;   // NaN when unmeasurable
  double power;  // dB; -inf for silence
};

int reference_level(const Sample& audio, ReferenceLevel* level) {
  Status st = measure_integrated_loudness(audio, &level->lufs);
  if (st != STATUS_OK) {
    err_printf("  error measuring loudness, error code: %d\n", st);
    return st;
  }
  double sum = 0.0;
  for (uint64_t c = 0; c < audio.channels; ++c)
    for (uint64_t t = 0; t < audio.length; ++t) {
      const double v = audio.data[c * audio.stride + t];
      sum += v * v;
    }
  const double frames = static_cast<double>(audio.channels * audio.length);
  level->power = frames > 0 && sum > 0 ? 10.0 * std::log10(sum / frames) : -INFINITY;
  return 0;
}

// The mean power of what passes, as reference_level sums it (channel by
// channel, which a block at a time becomes a sum per channel).
class PowerTap : public Stage {
 public:
  Status start(const StageFormat& in, StageFormat* out) override {
    if (in.channels > kMaxChannels) return STATUS_BAD_ARGUMENT;
    channels_ = in.channels;
    frames_ = 0;
    for (double& v : sums_) v = 0.0;
    *out = in;
    return STATUS_OK;
  }
  Status process(const Sample& block, StageSink& next) override {
    for (uint64_t c = 0; c < block.channels; ++c) {
      double sum = sums_[c];
      const float* row = block.data + c * block.stride;
      for (uint64_t t = 0; t < block.length; ++t) sum += double(row[t]) * double(row[t]);
      sums_[c] = sum;
    }
    frames_ += block.length;
    return next.take(block);
  }
  double power_db() const {
    double sum = 0.0;
    for (uint64_t c = 0; c < channels_; ++c) sum += sums_[c];
    const double values = static_cast<double>(channels_ * frames_);
    return values > 0 && sum > 0 ? 10.0 * std::log10(sum / values) : -INFINITY;
  }

 private:
  static constexpr uint64_t kMaxChannels = 64;
  uint64_t channels_ = 0, frames_ = 0;
  double sums_[kMaxChannels] = {};
};

// reference_level of an input read a block at a time.
int streamed_level(StreamedInput* in, ReferenceLevel* level) {
  LoudnessTap loudness;
  loudness.configure(false);
  PowerTap power;
  StageChain chain;
  (void)chain.add(&loudness);
  (void)chain.add(&power);
  int st = streamed_run(in, &chain);
  LoudnessMeasure m{};
  if (st == 0) st = loudness.result(&m);
  if (st != 0) {
    err_printf("  error measuring loudness, error code: %d\n", st);
    return st;
  }
  level->lufs = m.integrated_lufs;
  level->power = power.power_db();
  return 0;
}

double median_of(double* v, uint64_t n) {
  for (uint64_t i = 1; i < n; ++i)
    for (uint64_t j = i; j > 0 && v[j - 1] > v[j]; --j) std::swap(v[j - 1], v[j]);
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

}  // namespace

int reference_profile(Sample& profile, const Sample& audio, const ToolConfig* cfg, unsigned rank) {
  const Sample* source = &audio;
  Sample coded;
  sample_init(coded);
  if (cfg->mid_side && audio.channels == 2) {
    if (sample_copy(coded, audio) != STATUS_OK) return STATUS_NO_MEMORY;
    mid_side_encode(coded);
    source = &coded;
  }
  int st = cfg->gate.on ? compute_profile_gated(profile, *source, rank, cfg->gate.value)
                        : compute_profile(profile, *source, rank);
  sample_destroy(coded);
  return st;
}

int curve_target(Sample& out, const Sample* base, const Sample& child, const TargetCurve& curve,
                 const CurveSettings& shaping, bool mid_side, uint64_t rate) {
  const double bin_hz = static_cast<double>(rate) / static_cast<double>(child.length);
  Sample t;
  sample_init(t);
  if (base) {
    if (sample_copy(t, *base) != STATUS_OK) return STATUS_NO_MEMORY;
    target_curve_apply(t, curve, bin_hz, 0.0);
    sample_swap(out, t);
    sample_destroy(t);
    return 0;
  }
  const size_t bins = static_cast<size_t>(child.length / 2 + 1);
  float* row = static_cast<float*>(mem_alloc(bins * sizeof(float)));
  if (!row || !sample_allocate(t, child.channels, child.length, child.length)) {
    mem_free(row);
    return STATUS_NO_MEMORY;
  }
  // Mid and side each keep their own level; left and right share one.
  double* levels = static_cast<double*>(mem_alloc(child.channels * sizeof(double)));
  if (!levels) {
    mem_free(row);
    sample_destroy(t);
    return STATUS_NO_MEMORY;
  }
  double level = 0.0;
  for (uint64_t c = 0; c < child.channels; ++c) {
    const float* magnitude = child.data + c * child.stride;
    for (size_t k = 0; k < bins; ++k) {
      // A zero bin (a silent child) counts as far below any curve.
      const double m = magnitude[k] > 1e-30f ? static_cast<double>(magnitude[k]) : 1e-30;
      row[k] = static_cast<float>(target_curve_db_at(curve, static_cast<double>(k) * bin_hz) - 20.0 * std::log10(m));
    }
    levels[c] = curve_level(row, bins, bin_hz, shaping.low_freq, shaping.high_freq);
    level += levels[c];
  }
  mem_free(row);
  for (uint64_t c = 0; c < t.channels; ++c) {
    float* out = t.data + c * t.stride;
    for (uint64_t k = 0; k < t.length; ++k) out[k] = 1.0f;
    const double offset = mid_side ? levels[c] : level / static_cast<double>(child.channels);
    target_curve_apply_row(out, t.length, curve, bin_hz, -offset);
  }
  mem_free(levels);
  sample_swap(out, t);
  sample_destroy(t);
  return 0;
}

int median_references(const ToolConfig* cfg, const Group* group, uint64_t rate, unsigned rank, const Sample& first,
                      StreamedInput* first_in, Sample& profile, double* median_lufs, ReportGroup* report) {
  const uint64_t count = group_master_count(group);
  Sample* profiles = static_cast<Sample*>(mem_calloc(count, sizeof(Sample)));
  ReferenceLevel* levels = static_cast<ReferenceLevel*>(mem_calloc(count, sizeof(ReferenceLevel)));
  double* gains = static_cast<double*>(mem_calloc(count, sizeof(double)));
  const Sample** views = static_cast<const Sample**>(mem_calloc(count, sizeof(Sample*)));
  int st = profiles && levels && gains && views ? 0 : STATUS_NO_MEMORY;
  for (uint64_t i = 0; profiles && i < count; ++i) sample_init(profiles[i]);
  if (st == 0) st = first_in ? streamed_level(first_in, &levels[0]) : reference_level(first, &levels[0]);
  if (st == 0 && sample_copy(profiles[0], profile) != STATUS_OK) st = STATUS_NO_MEMORY;
  for (uint64_t i = 1; st == 0 && i < count; ++i) {
    const String* name = group_master_at(group, i);
    Sample audio, own;
    sample_init(audio);
    sample_init(own);
    // A long reference is read a block at a time (its profile while it is
    // opened), a short one loaded whole.
    StreamedInput in;
    streamed_input_init(&in);
    bool streamed = false;
    st = open_streamed_input(&in, &streamed, name, rate, cfg, rank, &own, "master");
    if (st == 0 && streamed) {
      audio.channels = in.stream.channels;
      audio.length = in.length;
      audio.sample_rate = in.rate;
    } else if (st == 0) {
      st = load_input_file(&audio, rate, cfg, name);
    }
    if (st == 0 && report) (void)report_add_reference(report, string_to_utf8(const_cast<String*>(name)));
    if (st == 0 && cfg->mid_side && audio.channels != 2) {
      err_printf("  mid/side needs two channels: '%s' has %d, leaving\n", text_of(name), static_cast<int>(audio.channels));
      st = STATUS_BAD_ARGUMENT;
    } else if (st == 0 && audio.channels != first.channels && audio.channels != 1 && first.channels != 1) {
      err_printf("  number of channels mimatch: %d (master) vs %d ('%s'), leaving\n",
                 static_cast<int>(first.channels), static_cast<int>(audio.channels), text_of(name));
      st = STATUS_BAD_ARGUMENT;
    }
    if (st == 0 && !streamed) {
      st = reference_profile(own, audio, cfg, rank);
      if (st != 0) err_printf("  error computing spectral profile for the master file '%s'\n", text_of(name));
    }
    if (st == 0) st = profile_for_channels(profiles[i], own, first.channels);
    if (st == 0) st = streamed ? streamed_level(&in, &levels[i]) : reference_level(audio, &levels[i]);
    streamed_input_close(&in);
    sample_destroy(audio);
    sample_destroy(own);
  }
  if (st == 0) {
    bool loudness = true;
    for (uint64_t i = 0; i < count; ++i) loudness = loudness && !std::isnan(levels[i].lufs);
    for (uint64_t i = 0; i < count; ++i) gains[i] = loudness ? levels[i].lufs : levels[i].power;
    double common = median_of(gains, count);
    if (loudness) *median_lufs = common;
    for (uint64_t i = 0; i < count; ++i) {
      const double own = loudness ? levels[i].lufs : levels[i].power;
      gains[i] = std::isfinite(own) && std::isfinite(common) ? std::pow(10.0, (common - own) / 20.0) : 1.0;
      views[i] = &profiles[i];
    }
    Sample low, high;
    sample_init(low);
    sample_init(high);
    st = profile_median(profile, report ? &low : nullptr, report ? &high : nullptr, views, gains, count);
    if (st == 0 && report) {
      report_fill_spectrum(&report->spread_low, low, rate);
      report_fill_spectrum(&report->spread_high, high, rate);
    }
    sample_destroy(low);
    sample_destroy(high);
  }
  for (uint64_t i = 0; profiles && i < count; ++i) sample_destroy(profiles[i]);
  mem_free(profiles);
  mem_free(levels);
  mem_free(gains);
  mem_free(views);
  return st;
}

