#include "tool/delivery.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "analysis/integrated_meter.h"
#include "analysis/limiter.h"
#include "analysis/loudness.h"
#include "analysis/sample_progress.h"
#include "audio/sample_file.h"
#include "analysis/sample.h"
#include "dsp/dsp.h"
#include "runtime/alloc.h"
#include "runtime/output.h"
#include "runtime/thread.h"
#include "runtime/status.h"
#include "runtime/status_text.h"
#include "tool/settings.h"
#include "tool/tool_config.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A scaled output whose loudness ends below this is measured again: its
// blocks lie within reach of the absolute gate (-70 LUFS), so the gain may
// have moved some across it. Above it the gain's prediction is exact to the
// reported precision.
constexpr double kRemeasureBelowLufs = -60.0;

const char* text_of(const String* s) {
  const char* t = s ? string_to_message(const_cast<String*>(s)) : nullptr;
  return t ? t : "";
}

// A measuring status, with its line when it is a failure.
int measured(int st) {
  if (st != 0) err_printf("  error measuring loudness, error code: %d\n", st);
  return st;
}

}  // namespace

namespace {

// The whole-buffer output of the gain step.
class WholeOutput : public DeliveredOutput {
 public:
  explicit WholeOutput(Sample* s) : s_(s) {}
  void apply_gain(double gain_db) override { loudness_apply_gain(*s_, gain_db); }
  Status integrated(double* lufs) override { return measure_integrated_loudness(*s_, lufs); }

 private:
  Sample* s_;
};

}  // namespace

void loudness_report_init(LoudnessReport* r) {
  r->before_lufs = kNaN;
  r->after_lufs = kNaN;
  r->true_peak_db = kNaN;
  r->gain_db = kNaN;
  r->limiter_on = false;
  r->limiter_ceiling_db = kNaN;
  r->reduction_max_db = 0.0;
  r->reduction_mean_db = 0.0;
  r->limited_share = 0.0;
  r->needed_reduction_db = 0.0;
  r->missed_lu = 0.0;
  r->limiter_trace_count = 0;
  r->limiter_trace_step_s = 0.0;
  r->target_lufs = kNaN;
  r->ceiling_dbtp = kNaN;
  r->miss_lu = kNaN;
  r->asked = false;
  r->decoded_true_peak_db = kNaN;
}

double delivery_ceiling_db(const ToolConfig* cfg) {
  double c = kNaN;
  if (cfg->true_peak.on) c = static_cast<double>(cfg->true_peak.value);
  if (cfg->limiter.on) {
    const double l = static_cast<double>(cfg->limiter.value);
    c = std::isnan(c) ? l : std::min(c, l);
  }
  return c;
}

namespace {

// Most gain reduction the limiter is given to reach a loudness target.
constexpr double kMaxReductionDb = 12.0;
// A limited output within this of the target has met it; the gain is
// corrected until it is within a little less (the written file's
// quantization moves the loudness by a few thousandths).
constexpr double kTargetToleranceLu = 0.1;
constexpr double kAimLu = 0.08;
// Corrections of the gain after the first limited pass, and after the
// first forecast; a forecast's aim.
constexpr int kCorrections = 3;
constexpr int kForecastCorrections = 6;
constexpr double kForecastAimLu = 0.02;
// Searches that end on a metered value this many times stop there.
constexpr int kMeteredRounds = 2;
// How the limiter's loss of loudness grows with the gain past the one at
// which it starts to work (see limiter_search).
constexpr double kLossExponent = 1.5;
// The forecast's correction is measured on kSampledHops of every
// kSamplePeriodHops (see hop_role), or on every hop of outputs of at most
// kSampledBelowHops.
constexpr uint64_t kSampledHops = 3;
constexpr uint64_t kSamplePeriodHops = 20;
constexpr uint64_t kSampledBelowHops = 300;

// The detector's peaks, found once (or by the first pass), which passes at
// other gains read back scaled instead of detecting them again.
struct KeptPeaks {
  float* peaks = nullptr;
  uint64_t count = 0;
  float gain = 0.0f;  // the linear gain of the pass that kept them
  bool kept = false;
};

// The scale of the kept peaks for a pass at linear gain k.
float replay_scale(float k, const KeptPeaks& kept) { return static_cast<float>(double(k) / double(kept.gain)); }

// How many detector peaks a stream of `frames` frames has (its latency's
// flush included): the statuses of limiter_start.
Status peaks_count(const LimiterSettings& set, uint64_t frames, uint64_t* count) {
  Limiter probe;
  limiter_init(probe);
  const Status st = limiter_start(probe, set);
  if (st == STATUS_OK) *count = frames + limiter_latency(probe);
  limiter_release(probe);
  return st;
}

// The integrated loudness of a limited output, foretold without metering
// it. The output is the input times the pass's gain k times the limiter's
// gain g(t); the limiter's gain moves slowly beside the K-weighting filter,
// so the K-weighted output is close to k g(t) times the K-weighted input.
// The input's K-weighted power (libebur128's filter, channel weights and
// 400 ms blocks every 100 ms, gated at -70 LUFS and 10 LU below) is
// computed once, summed over steps of a few frames; each pass gives the
// limiter's squared gains summed over the same steps, and costs one
// weighted sum. Within a step (at most 16 frames, a third of a
// millisecond) the gain is all but constant, so that the mean of the
// products is the product of the means.
struct LoudnessForecast {
  float* power = nullptr;    // per step: sum over its frames and the channels of weight * z^2
  float* squares = nullptr;  // per step: sum of the limiter's squared gains of the last pass
  double* blocks = nullptr;  // per 400 ms block: its mean power
  uint64_t length = 0;
  uint64_t hop = 0;   // frames in 100 ms
  uint64_t step = 1;  // frames per step, a divisor of hop
  uint64_t steps = 0;
};

void forecast_free(LoudnessForecast* f) {
  mem_free(f->power);
  mem_free(f->squares);
  mem_free(f->blocks);
  f->power = f->squares = nullptr;
  f->blocks = nullptr;
}

// The part hop h plays in a pass sampled every `period` hops (0: every hop
// measured): 0 none, 1 settling the filter from rest, 2 measured. Each
// period measures kSampledHops after one that settles, from a place of its
// own (a fixed place would keep time with the music's beat).
int hop_role(uint64_t h, uint64_t period) {
  if (period == 0) return 2;
  const uint64_t start = ((h / period) * 0x9E3779B97F4A7C15ull >> 40) % (period - kSampledHops);
  const uint64_t at = h % period;
  return at == start ? 1 : (at > start && at <= start + kSampledHops) ? 2 : 0;
}

// The K-weighted power of `in` (times gains[t] at frame t, when given)
// summed over f's steps into power[0 .. f.steps-1]; with a `period`, of
// the measured hops only (see hop_role). False when there is no memory for
// it.
bool weighted_power(const Sample& in, const float* gains, const LoudnessForecast& f, uint64_t period, float* power) {
  const uint64_t n = in.length;
  // libebur128's K-weighting: a high shelf, then a high pass.
  const double rate = double(in.sample_rate);
  double pb[3], pa[3], rb[3] = {1.0, -2.0, 1.0}, ra[3] = {1.0, 0.0, 0.0};
  {
    const double f0 = 1681.974450955533, g = 3.999843853973347, q = 0.7071752369554196;
    const double k = std::tan(M_PI * f0 / rate), vh = std::pow(10.0, g / 20.0), vb = std::pow(vh, 0.4996667741545416);
    const double a0 = 1.0 + k / q + k * k;
    pb[0] = (vh + vb * k / q + k * k) / a0;
    pb[1] = 2.0 * (k * k - vh) / a0;
    pb[2] = (vh - vb * k / q + k * k) / a0;
    pa[0] = 1.0;
    pa[1] = 2.0 * (k * k - 1.0) / a0;
    pa[2] = (1.0 - k / q + k * k) / a0;
  }
  {
    const double f0 = 38.13547087602444, q = 0.5003270373238773;
    const double k = std::tan(M_PI * f0 / rate);
    ra[1] = 2.0 * (k * k - 1.0) / (1.0 + k / q + k * k);
    ra[2] = (1.0 - k / q + k * k) / (1.0 + k / q + k * k);
  }
  // The weighted channels through the dispatched cascades of two
  // sections, 100 ms at a time.
  uint64_t rows = 0;
  for (uint64_t c = 0; c < in.channels; ++c) rows += loudness_channel_weight(c, in.channels) != 0.0 ? 1 : 0;
  const uint64_t hop = std::max<uint64_t>(f.hop, 1);
  BiquadSection* sections = static_cast<BiquadSection*>(mem_alloc(size_t(2 * std::max<uint64_t>(rows, 1)) * sizeof(BiquadSection)));
  float* z = static_cast<float*>(mem_alloc(size_t(hop * std::max<uint64_t>(rows, 1)) * sizeof(float)));
  double* sums = static_cast<double*>(mem_alloc(size_t(hop / f.step) * sizeof(double)));
  float* scaled = gains ? static_cast<float*>(mem_alloc(size_t(hop * std::max<uint64_t>(rows, 1)) * sizeof(float))) : nullptr;
  if (!sections || !z || !sums || (gains && !scaled)) {
    mem_free(sections);
    mem_free(z);
    mem_free(sums);
    mem_free(scaled);
    return false;
  }
  const float* src[64];
  float* dst[64];
  double weight[64];
  uint64_t r = 0;
  for (uint64_t c = 0; c < in.channels; ++c) {
    const double w = loudness_channel_weight(c, in.channels);
    if (w == 0.0) continue;
    sections[2 * r] = BiquadSection{float(pb[0]), float(pb[1]), float(pb[2]), float(-pa[1]), float(-pa[2]), 0.0f, 0.0f};
    sections[2 * r + 1] =
        BiquadSection{float(rb[0]), float(rb[1]), float(rb[2]), float(-ra[1]), float(-ra[2]), 0.0f, 0.0f};
    weight[r] = w;
    dst[r] = z + r * hop;
    ++r;
  }
  const DspTable& t = dsp();
  for (uint64_t at = 0; at < n; at += hop) {
    const uint64_t m = std::min(hop, n - at);
    const int role = hop_role(at / hop, period);
    if (role == 0) continue;
    if (role == 1) {
      for (uint64_t i = 0; i < 2 * rows; ++i) sections[i].z0 = sections[i].z1 = 0.0f;
    }
    r = 0;
    for (uint64_t c = 0; c < in.channels; ++c) {
      if (loudness_channel_weight(c, in.channels) == 0.0) continue;
      src[r] = in.data + c * in.stride + at;
      if (gains) {
        float* row = scaled + r * hop;
        for (uint64_t i = 0; i < m; ++i) row[i] = src[r][i] * gains[at + i];
        src[r] = row;
      }
      ++r;
    }
    t.biquad_rows(sections, 2, dst, src, size_t(rows), size_t(m));
    const uint64_t steps = (m + f.step - 1) / f.step;
    std::fill(sums, sums + steps, 0.0);
    for (r = 0; r < rows; ++r) {
      const float* y = dst[r];
      for (uint64_t b = 0; b < steps; ++b) {
        const uint64_t end = std::min(m, (b + 1) * f.step);
        float e = 0.0f;
        for (uint64_t i = b * f.step; i < end; ++i) e += y[i] * y[i];
        sums[b] += weight[r] * double(e);
      }
    }
    if (role == 1) continue;
    float* out = power + at / f.step;
    for (uint64_t b = 0; b < steps; ++b) out[b] = float(sums[b]);
  }
  mem_free(sections);
  mem_free(z);
  mem_free(sums);
  mem_free(scaled);
  return true;
}

// False when there is no memory for it (the passes are then metered).
bool forecast_start(const Sample& in, LoudnessForecast* f) {
  const uint64_t n = in.length;
  f->length = n;
  f->hop = (in.sample_rate + 5) / 10;
  f->step = 16;
  while (std::max<uint64_t>(f->hop, 1) % f->step != 0) --f->step;
  f->steps = (n + f->step - 1) / f->step;
  f->power = static_cast<float*>(mem_calloc(size_t(std::max<uint64_t>(f->steps, 1)), sizeof(float)));
  f->squares = static_cast<float*>(mem_alloc(size_t(std::max<uint64_t>(f->steps, 1)) * sizeof(float)));
  f->blocks = static_cast<double*>(mem_alloc(size_t(std::max<uint64_t>(n / std::max<uint64_t>(f->hop, 1), 1)) * sizeof(double)));
  if (!f->power || !f->squares || !f->blocks || !weighted_power(in, nullptr, *f, 0, f->power)) {
    forecast_free(f);
    return false;
  }
  return true;
}

// The forecast loudness of the last pass (at linear gain k), NaN when no
// block passes the gates.
double forecast_lufs(const LoudnessForecast& f, double k) {
  const uint64_t hops = f.hop ? f.length / f.hop : 0;
  if (hops < 4) return kNaN;
  // Mean power of every 100 ms, then of the 400 ms blocks.
  double sums[4] = {0, 0, 0, 0};
  double abs_sum = 0.0;
  uint64_t abs_count = 0;
  const double scale = k * k / double(4 * f.hop) / double(f.step);
  const double abs_gate = std::pow(10.0, (-70.0 + 0.691) / 10.0);
  // Two sweeps over the blocks: the first for the relative gate.
  double* blocks = f.blocks;
  for (uint64_t h = 0; h < hops; ++h) {
    double s = 0.0;
    const uint64_t per = f.hop / f.step;
    const float* p = f.power + h * per;
    const float* g = f.squares + h * per;
    for (uint64_t b = 0; b < per; ++b) s += double(p[b]) * double(g[b]);
    sums[h & 3] = s;
    if (h >= 3) {
      const double e = (sums[0] + sums[1] + sums[2] + sums[3]) * scale;
      blocks[h - 3] = e;
      if (e >= abs_gate) {
        abs_sum += e;
        ++abs_count;
      }
    }
  }
  double lufs = kNaN;
  if (abs_count > 0) {
    const double rel_gate = abs_sum / double(abs_count) * 0.1;
    double sum = 0.0;
    uint64_t count = 0;
    for (uint64_t b = 0; b + 3 < hops; ++b) {
      if (blocks[b] >= abs_gate && blocks[b] >= rel_gate) {
        sum += blocks[b];
        ++count;
      }
    }
    if (count > 0) lufs = 10.0 * std::log10(sum / double(count)) - 0.691;
  }
  return lufs;
}

// measure() for the limiter's path, which needs of the peaks only whether
// the output is silent or holds an infinite value: the sample peak stands
// for the true peak (the limiter finds the true peaks itself, and the
// written file's are measured at the end).
int measure_before_limiter(const Sample& audio, LoudnessForecast* forecast, LoudnessMeasure* m) {
  double lufs = kNaN;
  if (forecast) {
    // The forecast at unit gain is the loudness of the output as it is.
    std::fill(forecast->squares, forecast->squares + forecast->steps, float(forecast->step));
    lufs = forecast_lufs(*forecast, 1.0);
  } else {
    int st = measured(measure_integrated_loudness(audio, &lufs));
    if (st != 0) return st;
  }
  const DspTable& t = dsp();
  float peak = 0.0f;
  bool bad = false;
  for (uint64_t c = 0; c < audio.channels; ++c) {
    const float* row = audio.data + c * audio.stride;
    const float p = t.peak_abs(row, static_cast<size_t>(audio.length));
    peak = std::fmax(peak, p);
    bad = bad || !std::isfinite(p);
  }
  m->integrated_lufs = lufs;
  m->sample_peak_db = bad ? std::numeric_limits<double>::infinity() : 20.0 * std::log10(double(peak));
  m->true_peak_db = m->sample_peak_db;
  return 0;
}

}  // namespace

// The search for the gain that reaches the target through the limiter,
// on whatever passes the output allows: forecasts while it can, and a
// metered pass to end it (see deliver_limited).
int limiter_search(const ToolConfig* cfg, const LoudnessMeasure& unlimited, double target, LoudnessReport* report,
                   const String* path, LimiterPasses& passes, double* gain_out) {
  const double ceiling = delivery_ceiling_db(cfg);
  double gain = 0.0;
  const bool aim = !std::isnan(target) && std::isfinite(unlimited.integrated_lufs) &&
                   std::isfinite(unlimited.true_peak_db);
  if (aim) gain = target - unlimited.integrated_lufs;
  LimiterStats stats{};
  double lufs = kNaN, needed = 0.0;
  const bool forecasting = aim && passes.can_forecast();
  double bias = 0.0;
  bool metered = false;
  int rounds = 0;
  // The previous pass, for the slope of loudness against gain: under
  // limiting a dB of gain raises the loudness by less than a LU.
  double last_gain = kNaN, last_lufs = kNaN;
  auto final_pass = [&]() {
    metered = true;
    return passes.metered(gain, &lufs, &stats, report);
  };
  auto forecast_pass = [&]() {
    metered = false;
    int r = passes.forecast(gain, &lufs, &stats);
    if (r == 0) lufs += bias;
    return r;
  };
  auto run = [&]() { return forecasting ? forecast_pass() : final_pass(); };
  int st = run();
  // Passes since the last metered value; one more than the corrections
  // when the reduction must be capped. Forecasts cost little, so they get
  // more passes and a closer aim than metered values.
  for (int pass = 0; st == 0;) {
    const double aim_lu = metered ? kAimLu : kForecastAimLu;
    const int corrections = metered ? kCorrections : kForecastCorrections;
    bool again = false;
    if (aim && !std::isnan(lufs)) {
      if (stats.max_reduction_db > kMaxReductionDb + 0.05 && pass <= corrections) {
        // Turning the input down lowers the largest reduction by as much.
        const double excess = stats.max_reduction_db - kMaxReductionDb;
        needed = std::max(needed, stats.max_reduction_db + std::max(0.0, target - lufs));
        gain -= excess;
        again = true;
      } else if (std::fabs(lufs - target) <= aim_lu) {
      } else if (needed > 0.0 && lufs < target) {  // no more reduction allowed
      } else if (pass < corrections) {
        double slope = 1.0;
        if (!std::isnan(last_lufs) && std::fabs(lufs - last_lufs) > 0.01) {
          slope = std::clamp((gain - last_gain) / (lufs - last_lufs), 1.0, 4.0);
        } else if (stats.max_reduction_db > 0.0) {
          // From one pass: the limiter has taken `lost` LU off the
          // loudness the gain alone gives, and nothing at the gain g0
          // where the loudest peak just touches the ceiling (the largest
          // reduction lower). In between the loss grows faster than the
          // gain, as more peaks reach the ceiling and each is taken down
          // further: about as (g - g0)^kLossExponent. The step goes to
          // where that curve meets the target (Newton's steps, from the
          // left of a concave curve).
          const double lost = unlimited.integrated_lufs + gain - lufs;
          const double reach = stats.max_reduction_db;
          if (lost > 0.0 && lost < reach && std::fabs(target - lufs) > 1e-9) {
            double g = gain;
            for (int i = 0; i < 8; ++i) {
              const double x = std::max(1e-9, g - gain + reach);
              const double loss = lost * std::pow(x / reach, kLossExponent);
              const double miss = unlimited.integrated_lufs + g - loss - target;
              g -= miss / std::max(0.25, 1.0 - kLossExponent * loss / x);
            }
            slope = std::clamp((g - gain) / (target - lufs), 1.0, 4.0);
          }
        }
        last_gain = gain;
        last_lufs = lufs;
        double next = gain + (target - lufs) * slope;
        // The largest reduction follows the gain dB for dB (it is the
        // loudest peak's), so the gain that reaches the cap is known.
        const double cap = gain + kMaxReductionDb - stats.max_reduction_db;
        if (stats.max_reduction_db > 0.0 && next > cap) {
          needed = std::max(needed, stats.max_reduction_db + (target - lufs) * slope);
          next = cap;
        }
        gain = next;
        again = true;
      }
    }
    if (!again && !metered) {
      // The pass that ends the search limits the audio and is metered.
      const double foretold = lufs;
      if ((st = final_pass()) != 0) break;
      if (!std::isnan(lufs) && !std::isnan(foretold)) {
        const double moved = lufs - foretold;
        bias += moved;
        if (!std::isnan(last_lufs)) last_lufs += moved;
      }
      if (rounds < kMeteredRounds && !std::isnan(lufs)) {
        ++rounds;
        pass = 0;
        continue;
      }
      break;
    }
    if (!again) break;
    ++pass;
    st = run();
  }
  if (st != 0) return st;
  *gain_out = gain;
  report->limiter_on = true;
  report->limiter_ceiling_db = ceiling;
  report->reduction_max_db = stats.max_reduction_db;
  report->reduction_mean_db = limiter_mean_reduction_db(stats);
  report->limited_share = limiter_limited_share(stats);
  report->gain_db = gain;
  report->after_lufs = lufs;
  if (aim && lufs < target - kTargetToleranceLu) {
    // The corrections ran out, or the reduction was capped.
    needed = std::max(needed, stats.max_reduction_db + (target - lufs));
    report->missed_lu = target - lufs;
    report->needed_reduction_db = needed;
    err_printf("  [WRN] %s%s%strue-peak limiter at %.1f dBTP: loudness target missed by %.2f LU; reaching it needs "
               "%.1f dB of gain reduction (at most %.0f dB)\n",
               path ? "'" : "", path ? text_of(path) : "", path ? "': " : "", ceiling, report->missed_lu, needed,
               kMaxReductionDb);
  }
  // The true peak is measured on the written samples.
  report->true_peak_db = kNaN;
  report->asked = true;
  report->target_lufs = target;
  report->ceiling_dbtp = ceiling;
  report->miss_lu = std::isnan(target) ? 0.0 : report->missed_lu;
  return 0;
}


namespace {

// The passes of a whole output: forecasts from the detector's peaks found
// once, and metered passes that are writes of the file (MeteredWrite).
class WholeLimiterPasses : public LimiterPasses {
 public:
  // `gains` (owned from here, may be null) is room for a forecast's gains.
  WholeLimiterPasses(const Sample* output, const LimiterSettings& set, KeptPeaks* kept, LoudnessForecast* forecast,
                     bool forecasting, float* gains, MeteredWrite* write)
      : output_(output), set_(set), kept_(kept), forecast_(forecast), forecasting_(forecasting), gains_(gains),
        write_(write) {}
  ~WholeLimiterPasses() { mem_free(gains_); }
  int metered(double gain_db, double* lufs, LimiterStats* stats, LoudnessReport* report) override {
    // A pass at the gain of the last forecast (the usual end of a search)
    // applies the gains that forecast found, when its peaks were scaled by
    // the very same factor; else the kept peaks are read back scaled, or
    // found (and kept) by the pass.
    const float k = static_cast<float>(std::exp(gain_db * 2.302585092994046 * 0.05));
    const bool same = gains_kept_ && kept_->kept && replay_scale(k, *kept_) == gains_scale_;
    LimiterStage::Replay replay;
    if (same) {
      replay.gains = gains_;
      replay.gains_count = output_->length;
    } else if (kept_->kept) {
      replay.peaks = kept_->peaks;
      replay.peaks_count = kept_->count;
      replay.scale = replay_scale(k, *kept_);
    } else {
      // Without room for them every pass detects its own peaks.
      if (peaks_count(set_, output_->length, &kept_->count) == STATUS_OK) {
        mem_free(kept_->peaks);
        kept_->peaks = static_cast<float*>(mem_alloc(size_t(kept_->count) * sizeof(float)));
        kept_->gain = k;
      }
      replay.peaks = kept_->peaks;
      replay.peaks_count = kept_->peaks ? kept_->count : 0;
      replay.record = true;
    }
    *lufs = kNaN;
    const int st = write_->write(gain_db, replay, lufs, stats, report);
    if (st == 0 && replay.record && kept_->peaks) kept_->kept = true;
    return st;
  }
  bool can_forecast() override { return forecasting_; }
  int forecast(double gain_db, double* lufs, LimiterStats* stats) override {
    const double k = std::exp(gain_db * 2.302585092994046 * 0.05);
    const float scale = static_cast<float>(k / double(kept_->gain));
    // Without room for the gains a metered pass finds them again.
    if (!gains_ && output_->length > 0) {
      gains_ = static_cast<float*>(mem_alloc(size_t(output_->length) * sizeof(float)));
    }
    gains_kept_ = false;
    int r = limiter_replay_squares(set_, kept_->peaks, kept_->count, scale, output_->length, forecast_->step,
                                   forecast_->squares, stats, gains_);
    if (r != 0) {
      err_printf("  error limiting the output audio, error code: %d\n", r);
      return r;
    }
    gains_kept_ = gains_ != nullptr;
    gains_scale_ = scale;
    *lufs = forecast_lufs(*forecast_, k);
    if (!corrected_ && gains_kept_) correct();
    *lufs += correction_;
    return 0;
  }

 private:
  const Sample* output_;
  LimiterSettings set_;
  KeptPeaks* kept_;
  LoudnessForecast* forecast_;
  bool forecasting_;
  // The gains of the last forecast, and the scale of its peaks.
  float* gains_;
  bool gains_kept_ = false;
  float gains_scale_ = 0.0f;
  // What the forecast misses, measured once on the first forecast's gains.
  double correction_ = 0.0;
  bool corrected_ = false;

  // The forecast takes the K-weighted output as the limiter's gain times
  // the K-weighted input. Where the gain dips around a peak it also bends
  // the peak's waveform, which takes K-weighted power of its own (the dip's
  // curvature against the peak's, opposite in sign): a limited output is
  // quieter than foretold, by a few hundredths of a LU on noise and up to
  // a few tenths on bass-heavy music, about the same at nearby gains. The
  // first forecast's gains are therefore applied and K-weighted once, on
  // 300 ms of every 2 s (all of it up to 30 s), and the ratio of that
  // power to the forecast's on the same steps corrects every forecast.
  void correct() {
    corrected_ = true;
    const LoudnessForecast& f = *forecast_;
    const uint64_t hop = std::max<uint64_t>(f.hop, 1);
    const uint64_t period = f.length / hop > kSampledBelowHops ? kSamplePeriodHops : 0;
    float* exact = static_cast<float*>(mem_alloc(size_t(std::max<uint64_t>(f.steps, 1)) * sizeof(float)));
    if (exact && weighted_power(*output_, gains_, f, period, exact)) {
      double measured = 0.0, foretold = 0.0;
      const uint64_t per = hop / f.step;
      for (uint64_t h = 0; h * hop < f.length; ++h) {
        if (hop_role(h, period) != 2) continue;
        for (uint64_t b = h * per; b < std::min(f.steps, (h + 1) * per); ++b) {
          measured += double(exact[b]);
          foretold += double(f.power[b]) * double(f.squares[b]);
        }
      }
      foretold /= double(f.step);
      if (measured > 0.0 && foretold > 0.0) correction_ = 10.0 * std::log10(measured / foretold);
    }
    mem_free(exact);
  }
  MeteredWrite* write_;
};

LimiterSettings limiter_settings(const ToolConfig* cfg, const Sample& output) {
  return LimiterSettings{output.sample_rate, output.channels, delivery_ceiling_db(cfg),
                         static_cast<double>(cfg->limiter_lookahead), static_cast<double>(cfg->limiter_release)};
}

}  // namespace

void LimiterDetection::operator()() {
  // The peaks' room is taken once the output's is (the first frames are
  // out): the output may reuse a block freed before it, which a request of
  // another size would have given back to the system.
  if (!progress_wait(progress, 1)) {
    status = STATUS_INVALID;
    return;
  }
  peaks = static_cast<float*>(mem_alloc(size_t(count) * sizeof(float)));
  if (!peaks) {
    status = STATUS_NO_MEMORY;
    return;
  }
  const DspTable& table = dsp();
  DspFpState fp{};
  table.dsp_start(&fp);
  status = limiter_detect_peaks_following(set, progress, peaks, count);
  table.dsp_finish(&fp);
  // Room for the forecasts' gains: without it they allocate their own.
  if (status == STATUS_OK && frames > 0) gains = static_cast<float*>(mem_alloc(size_t(frames) * sizeof(float)));
}

LimiterDetection::~LimiterDetection() {
  thread.join();
  mem_free(peaks);
  mem_free(gains);
}

bool limiter_detection_start(const ToolConfig* cfg, uint64_t rate, uint64_t channels, uint64_t frames,
                             SampleProgress* progress, LimiterDetection* d, bool inline_without_thread) {
  if (!cfg->limiter.on || d->thread.started()) return false;
  Sample shape;
  sample_init(shape);
  shape.sample_rate = rate;
  shape.channels = channels;
  const LimiterSettings set = limiter_settings(cfg, shape);
  // Where it cannot start, the search finds the peaks itself (and says why
  // it cannot).
  uint64_t count = 0;
  if (peaks_count(set, frames, &count) != STATUS_OK) return false;
  mem_free(d->peaks);
  d->peaks = nullptr;
  d->count = count;
  d->frames = frames;
  d->set = set;
  d->progress = progress;
  d->status = STATUS_OK;
  if (d->thread.start(d)) return true;
  if (inline_without_thread) {
    (*d)();
    return true;
  }
  d->progress = nullptr;
  return false;
}

namespace {

// Waits for the detection and takes its peaks and buffers when they are
// those of `output` as it is now; what it does not take stays with `d`.
void detection_take(LimiterDetection* d, const Sample& output, KeptPeaks* kept, float** gains) {
  d->thread.join();
  const SampleProgress* p = d->progress;
  const bool same = d->peaks && d->status == STATUS_OK && p && p->data == output.data &&
                    p->stride == output.stride && p->frames == output.length && d->frames == output.length &&
                    d->set.rate == output.sample_rate && d->set.channels == output.channels;
  if (!same) return;
  *kept = KeptPeaks{d->peaks, d->count, 1.0f, true};
  d->peaks = nullptr;
  *gains = d->gains;
  d->gains = nullptr;
}

// The limiter after the loudness gain: the target (NaN for none) is reached
// on the limited output, within kTargetToleranceLu, unless that needs more
// than kMaxReductionDb of reduction. `forecast` (which it frees) may be
// started already, and the peaks `detected` (which it takes) found.
int deliver_limited(const ToolConfig* cfg, const Sample* output, const LoudnessMeasure& unlimited, double target,
                    LoudnessReport* report, LoudnessForecast* started, const String* path, KeptPeaks* detected,
                    float* gains, MeteredWrite* write) {
  LoudnessForecast& forecast = *started;
  KeptPeaks kept = *detected;
  *detected = KeptPeaks{};
  const LimiterSettings set = limiter_settings(cfg, *output);
  const bool aim = !std::isnan(target) && std::isfinite(unlimited.integrated_lufs) &&
                   std::isfinite(unlimited.true_peak_db);
  // With a target the search runs on forecasts: the detector's peaks are
  // found once, each trial gain costs only the limiter's gain curve and a
  // weighted sum, and only the pass that ends the search limits the audio:
  // it writes the file and meters it as written. The search then decides
  // again on the metered value, and later forecasts take on the difference
  // (at most kMeteredRounds times, after which the metered pass stands).
  bool forecasting = aim && (forecast.power || forecast_start(*output, &forecast));
  int st = 0;
  if (!forecasting) {
    mem_free(kept.peaks);
    kept = KeptPeaks{};
    mem_free(gains);
    gains = nullptr;
  }
  if (forecasting && !kept.kept) {
    if ((st = peaks_count(set, output->length, &kept.count)) != 0) {
      err_printf("  error limiting the output audio, error code: %d\n", st);
      forecast_free(&forecast);
      mem_free(gains);
      return st;
    }
    kept.peaks = static_cast<float*>(mem_alloc(size_t(kept.count) * sizeof(float)));
    const float* rows[64];
    for (uint64_t c = 0; c < output->channels; ++c) rows[c] = output->data + c * output->stride;
    if (kept.peaks && limiter_detect_peaks(set, rows, output->length, kept.peaks, kept.count) == 0) {
      kept.gain = 1.0f;
      kept.kept = true;
    } else {
      // Without room for the peaks every pass is metered.
      mem_free(kept.peaks);
      kept = KeptPeaks{};
      forecasting = false;
    }
  }
  WholeLimiterPasses passes(output, set, &kept, &forecast, forecasting, gains, write);
  double gain = 0.0;
  st = limiter_search(cfg, unlimited, target, report, path, passes, &gain);
  forecast_free(&forecast);
  mem_free(kept.peaks);
  return st;
}

}  // namespace

namespace {

// The loudness the output is brought to: the setting's, the references'
// (`reference_lufs`, when given and not NaN) or the timbre file's; NaN for
// none.
int loudness_target(const ToolConfig* cfg, const Sample* timbre, const double* reference_lufs, double* target,
                    const double* timbre_lufs) {
  double measured_lufs = timbre_lufs ? *timbre_lufs : kNaN;
  if (!timbre_lufs && delivery_needs_timbre(cfg, reference_lufs)) {
    // Only the loudness of the file whose timbre the output takes counts.
    int st = measured(measure_integrated_loudness(*timbre, &measured_lufs));
    if (st != 0) return st;
  }
  *target = delivery_target(cfg, measured_lufs, reference_lufs);
  return 0;
}

}  // namespace

int deliver_loudness(const ToolConfig* cfg, Sample* output, const Sample* timbre, LoudnessReport* report,
                     const double* reference_lufs, const String* path, const double* timbre_lufs,
                     LimiterDetection* early, MeteredWrite* write) {
  // The limiter's metered passes are writes of the file.
  if (cfg->limiter.on && !write) return STATUS_INVALID;
  LoudnessMeasure out;
  double target = kNaN;
  LoudnessForecast forecast;
  int st = 0;
  // The output as a finished signal, for a detection started here.
  SampleProgress finished;
  progress_init(&finished);
  progress_publish_rows(&finished, output->data, output->stride, output->channels, output->length);
  progress_finish(&finished, true);
  LimiterDetection own;
  LimiterDetection* detection = nullptr;
  KeptPeaks kept;
  float* gains = nullptr;
  if (cfg->limiter.on) {
    if ((st = loudness_target(cfg, timbre, reference_lufs, &target, timbre_lufs)) != 0) return st;
    if (!std::isnan(target)) {
      // Peaks found while the output was made, or found now beside the
      // forecast's filter.
      if (early && early->progress) {
        detection = early;
      } else if (limiter_detection_start(cfg, output->sample_rate, output->channels, output->length, &finished,
                                         &own, true)) {
        detection = &own;
      }
    }
    if (!std::isnan(target) && !forecast_start(*output, &forecast)) forecast_free(&forecast);
    st = measure_before_limiter(*output, forecast.power ? &forecast : nullptr, &out);
    if (detection) detection_take(detection, *output, &kept, &gains);
  } else {
    st = measured(measure_loudness(*output, &out));
    if (st == 0) st = loudness_target(cfg, timbre, reference_lufs, &target, timbre_lufs);
  }
  if (st != 0) {
    forecast_free(&forecast);
    mem_free(kept.peaks);
    mem_free(gains);
    return st;
  }
  report->before_lufs = out.integrated_lufs;
  if (cfg->limiter.on) {
    if (!std::isnan(target) && std::isnan(out.integrated_lufs)) warn_unmeasurable(out);
    return deliver_limited(cfg, output, out, target, report, &forecast, path, &kept, gains, write);
  }
  WholeOutput whole{output};
  return deliver_gain(cfg, out, target, report, path, whole);
}

void warn_unmeasurable(const LoudnessMeasure& out) {
  // Only digital silence is called silent; a short or very quiet output
  // still has a peak, and a ceiling still holds it.
  if (std::isinf(out.true_peak_db) && out.true_peak_db < 0) {
    err_printf("  [WRN] output is silent (no measurable loudness); not scaled\n");
  } else {
    err_printf("  [WRN] output loudness is unmeasurable (shorter than 0.4 s or below -70 LUFS); "
               "not brought to the target\n");
  }
}

double delivery_target(const ToolConfig* cfg, double timbre_lufs, const double* reference_lufs) {
  if (cfg->loudness.on) return cfg->loudness.value;
  if (!cfg->match_loudness) return kNaN;
  if (reference_lufs && !std::isnan(*reference_lufs)) return *reference_lufs;
  if (std::isnan(timbre_lufs)) {
    err_printf("  [WRN] reference has no measurable loudness (silent, shorter than 0.4 s or below -70 LUFS); "
               "loudness not matched\n");
  }
  return timbre_lufs;
}

bool delivery_needs_timbre(const ToolConfig* cfg, const double* reference_lufs) {
  return !cfg->loudness.on && cfg->match_loudness && !(reference_lufs && !std::isnan(*reference_lufs));
}

int deliver_gain(const ToolConfig* cfg, LoudnessMeasure out, double target, LoudnessReport* report,
                 const String* path, DeliveredOutput& output) {
  int st = 0;
  const double ceiling = cfg->true_peak.on ? static_cast<double>(cfg->true_peak.value) : kNaN;
  LoudnessGain g = loudness_gain(out, target, ceiling);
  if (g.unmeasurable || (!std::isnan(target) && std::isnan(out.integrated_lufs))) warn_unmeasurable(out);
  if (g.gain_db != 0.0 && std::isfinite(g.gain_db)) {
    output.apply_gain(g.gain_db);
    // Loudness and true peak follow a linear gain exactly; no second
    // measurement is needed.
    out.integrated_lufs += g.gain_db;
    out.true_peak_db += g.gain_db;
    // Near the absolute gate of -70 LUFS a gain moves blocks across it, and
    // the loudness no longer follows the gain: it is measured again, so
    // that only a measured value is reported.
    if (std::isfinite(out.integrated_lufs) && out.integrated_lufs < kRemeasureBelowLufs) {
      const double predicted = out.integrated_lufs;
      if ((st = measured(output.integrated(&out.integrated_lufs))) != 0) return st;
      if (!(std::fabs(out.integrated_lufs - predicted) < 0.05)) {
        char now[32] = "unmeasurable";
        if (!std::isnan(out.integrated_lufs)) std::snprintf(now, sizeof now, "%.2f LUFS", out.integrated_lufs);
        err_printf("  [WRN] loudness after the gain measures %s: the gate at -70 LUFS drops part of the output\n",
                   now);
      }
    }
  }
  if (g.ceiling_limited && !std::isnan(target) && g.target_missed_lu > 0.0) {
    err_printf("  [WRN] %s%s%strue-peak ceiling of %.1f dBTP: loudness target missed by %.2f LU\n", path ? "'" : "",
               path ? text_of(path) : "", path ? "': " : "", ceiling, g.target_missed_lu);
  }
  report->asked = true;
  report->target_lufs = target;
  report->ceiling_dbtp = ceiling;
  report->miss_lu = std::isnan(target) ? 0.0 : g.target_missed_lu;
  report->after_lufs = out.integrated_lufs;
  report->true_peak_db = out.true_peak_db;
  report->gain_db = g.gain_db;
  return 0;
}


void print_loudness_line(const LoudnessReport& r) {
  // Silence has no loudness and no peak: words instead of nan and -inf.
  char lufs[32] = "unmeasurable", tp[32] = "none", limiter[160] = "", missed[96] = "";
  if (std::isfinite(r.after_lufs)) std::snprintf(lufs, sizeof lufs, "%.2f LUFS", r.after_lufs);
  if (std::isfinite(r.true_peak_db)) std::snprintf(tp, sizeof tp, "%.2f dBTP", r.true_peak_db);
  if (r.limiter_on) {
    std::snprintf(limiter, sizeof limiter, ", limiter: %.2f dB max, %.2f dB mean, %.1f%% of the time",
                  r.reduction_max_db, r.reduction_mean_db, 100.0 * r.limited_share);
  }
  if (r.needed_reduction_db > 0.0) {
    std::snprintf(missed, sizeof missed, ", target missed by %.2f LU (needs %.1f dB of reduction)", r.missed_lu,
                  r.needed_reduction_db);
  }
  out_printf("  loudness: %s, true peak: %s, gain: %+.2f dB%s%s\n", lufs, tp, r.gain_db, limiter, missed);
}

void save_options_from_config(SaveOptions* options, const ToolConfig* cfg) {
  options->format = save_format_default();
  options->format.container = static_cast<int>(cfg->format);
  options->format.bits = static_cast<int>(cfg->bits);
  options->format.dither = static_cast<int>(cfg->dither);
  options->format.bitrate = static_cast<int>(cfg->bitrate);
  options->custom = cfg->format != FORMAT_WAV || cfg->bits != BITS_FLOAT || cfg->bitrate != 0;
}

int record_decoded_peak(const String* path, LoudnessReport* report) {
  String copy;
  string_init(&copy);
  if (!string_assign(&copy, path)) return STATUS_NO_MEMORY;
  Sample decoded;
  sample_init(decoded);
  char cause[256] = "";
  int st = sample_load_file(decoded, copy, -1.0f, cause, sizeof cause);
  if (st != 0) {
    err_printf("  could not read back '%s', error code: %d\n  %s\n", text_of(path), st,
               cause[0] ? cause : status_text(st));
  } else {
    LoudnessMeasure m{kNaN, kNaN, kNaN};
    const double skip = 0.0;  // peaks only
    st = measured(measure_loudness(decoded, &skip, &m));
    if (st == 0) {
      report->decoded_true_peak_db = m.true_peak_db;
      const double ceiling = report->ceiling_dbtp;
      if (!std::isnan(ceiling) && m.true_peak_db > ceiling) {
        err_printf("  [WRN] '%s': decoded true peak %+.2f dBTP passes the ceiling of %.2f dBTP (the encoder's "
                   "overshoot)\n",
                   text_of(path), m.true_peak_db, ceiling);
      }
    }
  }
  sample_destroy(decoded);
  string_free(&copy);
  return st;
}

int check_output_format(const ToolConfig* cfg, const String* path, uint64_t rate, uint64_t channels) {
  SaveOptions options;
  save_options_from_config(&options, cfg);
  String copy;
  string_init(&copy);
  if (!string_assign(&copy, path)) return STATUS_NO_MEMORY;
  char why[256] = "";
  int st = save_format_check(options.format, copy, channels, rate, 0, why, sizeof why);
  if (st != 0) err_printf("Output format not possible for '%s': %s\n", text_of(path), why);
  string_free(&copy);
  return st;
}

int adopt_format_extension(ToolConfig* cfg) {
  const char* ext = cfg->format == FORMAT_FLAC     ? "flac"
                    : cfg->format == FORMAT_AIFF   ? "aiff"
                    : cfg->format == FORMAT_W64    ? "w64"
                    : cfg->format == FORMAT_MP3    ? "mp3"
                    : cfg->format == FORMAT_OPUS   ? "opus"
                    : cfg->format == FORMAT_VORBIS ? "ogg"
                                                   : nullptr;
  if (!ext || setting_given(cfg, setting_by_option("--file"))) return 0;
  // The default template ends in ".wav".
  const size_t keep = std::strlen(TOOLCONFIG_DEFAULT_FILE) - 3;
  String text;
  string_init(&text);
  bool ok = string_from_latin1(&text, TOOLCONFIG_DEFAULT_FILE, keep) && string_append_ascii(&text, ext);
  if (ok) string_swap(&text, &cfg->file);
  string_free(&text);
  return ok ? 0 : STATUS_NO_MEMORY;
}

int check_output_name(const ToolConfig* cfg, const String* path) {
  const SettingRow* row = setting_by_option("--format");
  if (cfg->format == FORMAT_AUTO || !setting_given(cfg, row)) return 0;
  String copy;
  string_init(&copy);
  if (!string_assign(&copy, path)) return STATUS_NO_MEMORY;
  const char* ext = save_path_extension(string_to_utf8(&copy));
  int named = ext ? save_container_from_extension(ext) : -1;
  if (ext && named < 0) named = save_lossy_from_extension(ext);
  const bool fits = !ext || named == static_cast<int>(cfg->format) ||
                    (cfg->format == FORMAT_RF64 && named == SAVE_CONTAINER_WAV);
  if (!fits) {
    char lower[48];
    size_t n = 0;
    for (; ext[n] && n + 1 < sizeof lower; ++n) lower[n] = ext[n] >= 'A' && ext[n] <= 'Z' ? char(ext[n] + 32) : ext[n];
    lower[n] = 0;
    err_printf("Output name '%s' contradicts the output format: the name says %s, the format is %s\n",
               text_of(path), named == SAVE_CONTAINER_AIFF ? "aiff" : lower, setting_keyword_text(row, cfg->format));
  }
  string_free(&copy);
  return fits ? 0 : STATUS_BAD_ARGUMENT;
}

void warn_overs_counted(const String* path, float peak, uint64_t overs, const SaveOptions& options) {
  if (!(peak > 1.0f)) return;
  err_printf("  [WRN] '%s' peaks at %+.2f dBFS: %llu samples over full scale%s\n", text_of(path),
             20.0 * std::log10(static_cast<double>(peak)), static_cast<unsigned long long>(overs),
             options.format.bits != SAVE_BITS_FLOAT ? ", clipped" : "");
}
