#include "analysis/curve_shape.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

bool on(float v) { return v > 0.0f; }

bool limited(float v) { return v >= 0.0f; }

// Raised-cosine rise over half an octave above `edge`: 0 at the edge, 1 half
// an octave further; `octaves_in` is log2(f / edge) measured into the range.
double half_octave_rise(double octaves_in) {
  if (octaves_in <= 0.0) return 0.0;
  if (octaves_in >= 0.5) return 1.0;
  return 0.5 - 0.5 * std::cos(kPi * octaves_in / 0.5);
}

}  // namespace

void curve_settings_init(CurveSettings& s, float gain_cap) {
  s.gain_cap = gain_cap;
  s.channel_link = 0.0f;
  s.smoothing = 0.0f;
  s.low_freq = 0.0f;
  s.high_freq = 0.0f;
  s.amount = 100.0f;
  s.max_boost = kNoLimit;
  s.max_cut = kNoLimit;
  s.minimum_phase = false;
  s.sample_rate = 0;
}

bool curve_shaping_off(const CurveSettings& s) {
  return !on(s.channel_link) && !on(s.smoothing) && !on(s.low_freq) && !on(s.high_freq) && s.amount == 100.0f &&
         !limited(s.max_boost) && !limited(s.max_cut) && !s.minimum_phase;
}

bool curve_shaped_around_level(const CurveSettings& s) {
  return on(s.low_freq) || on(s.high_freq) || s.amount != 100.0f || limited(s.max_boost) || limited(s.max_cut);
}

float curve_level(const float* row, size_t bins, double bin_hz, float low_hz, float high_hz) {
  if (bins < 2) return 0.0f;
  // The range in bin units.
  double lo = 0.5, hi = static_cast<double>(bins - 1) + 0.5;
  if (bin_hz > 0.0) {
    lo = (on(low_hz) ? static_cast<double>(low_hz) : 20.0) / bin_hz;
    hi = on(high_hz) ? static_cast<double>(high_hz) / bin_hz : static_cast<double>(bins - 1);
  }
  if (lo < 0.5) lo = 0.5;
  double sum = 0.0, weight = 0.0;
  for (size_t k = 1; k < bins; ++k) {
    double a = static_cast<double>(k) - 0.5, b = static_cast<double>(k) + 0.5;
    if (a < lo) a = lo;
    if (b > hi) b = hi;
    if (b <= a) continue;
    double w = std::log2(b / a);
    sum += w * static_cast<double>(row[k]);
    weight += w;
  }
  return weight > 0.0 ? static_cast<float>(sum / weight) : 0.0f;
}

void offset_curve(float* row, size_t bins, float db) {
  for (size_t k = 0; k < bins; ++k) row[k] += db;
}

uint64_t clamp_ratios(float* ratio, const float* target, size_t n, size_t counted, float cap) {
  const float floor_gain = 1.0f / cap;
  uint64_t clamped = 0;
  for (size_t k = 0; k < n; ++k) {
    float r = ratio[k];
    if (!std::isfinite(r)) {
      if (target[k] == 0.0f) {
        ratio[k] = 1.0f;
        continue;
      }
      r = cap;
    } else if (r > cap) {
      r = cap;
    } else if (r < floor_gain) {
      r = floor_gain;
    } else {
      continue;
    }
    ratio[k] = r;
    if (k < counted) ++clamped;
  }
  return clamped;
}

void ratio_to_db(float* db, const float* ratio, size_t bins) {
  for (size_t k = 0; k < bins; ++k) db[k] = 20.0f * std::log10(ratio[k]);
}

void db_to_ratio(float* ratio, const float* db, size_t bins) {
  if (bins == 0) return;
  size_t n = 2 * (bins - 1);
  for (size_t k = 0; k < bins; ++k) ratio[k] = std::pow(10.0f, db[k] * 0.05f);
  for (size_t k = 1; k + 1 < bins; ++k) ratio[n - k] = ratio[k];
}

void link_channels(Sample& curve, float percent) {
  if (!on(percent) || curve.channels < 2) return;
  float p = percent >= 100.0f ? 1.0f : percent * 0.01f;
  float inv = 1.0f / static_cast<float>(curve.channels);
  for (uint64_t k = 0; k < curve.length; ++k) {
    float sum = 0.0f;
    for (uint64_t c = 0; c < curve.channels; ++c) sum += curve.data[c * curve.stride + k];
    float mean = sum * inv;
    for (uint64_t c = 0; c < curve.channels; ++c) {
      float& v = curve.data[c * curve.stride + k];
      v = p == 1.0f ? mean : (1.0f - p) * v + p * mean;
    }
  }
}

void smooth_octaves(float* row, size_t bins, float octaves, double* scratch) {
  if (!on(octaves) || bins < 3) return;
  // scratch[j] = sum of row[1 .. j-1], so a mean over lo..hi is one difference.
  scratch[0] = 0.0;
  scratch[1] = 0.0;
  for (size_t j = 1; j < bins; ++j) scratch[j + 1] = scratch[j] + static_cast<double>(row[j]);
  const double down = std::exp2(-0.5 * static_cast<double>(octaves));
  const double up = std::exp2(0.5 * static_cast<double>(octaves));
  const size_t last = bins - 1;
  for (size_t k = 1; k < bins; ++k) {
    double kd = static_cast<double>(k);
    size_t lo = static_cast<size_t>(std::ceil(kd * down - 1e-9));
    double hi_d = std::floor(kd * up + 1e-9);
    size_t hi = hi_d >= static_cast<double>(last) ? last : static_cast<size_t>(hi_d);
    if (lo + 1 > k) lo = k - 1;
    if (hi < k + 1) hi = k + 1;
    if (lo < 1) lo = 1;
    if (hi > last) hi = last;
    row[k] = static_cast<float>((scratch[hi + 1] - scratch[lo]) / static_cast<double>(hi - lo + 1));
  }
}

void limit_band(float* row, size_t bins, double bin_hz, float low_hz, float high_hz) {
  bool low = on(low_hz), high = on(high_hz);
  if (!low && !high) return;
  for (size_t k = 0; k < bins; ++k) {
    double f = static_cast<double>(k) * bin_hz;
    double w = 1.0;
    if (low) w *= f > 0.0 ? half_octave_rise(std::log2(f / low_hz)) : 0.0;
    if (high) w *= f > 0.0 ? half_octave_rise(std::log2(high_hz / f)) : 1.0;
    if (w == 0.0) {
      row[k] = 0.0f;
    } else if (w < 1.0) {
      row[k] = static_cast<float>(w * static_cast<double>(row[k]));
    }
  }
}

void scale_curve(float* row, size_t bins, float percent) {
  if (percent == 100.0f) return;
  float k = percent * 0.01f;
  for (size_t i = 0; i < bins; ++i) row[i] *= k;
}

uint64_t limit_gain(float* row, size_t bins, float max_boost, float max_cut) {
  uint64_t changed = 0;
  bool boost = limited(max_boost), cut = limited(max_cut);
  if (!boost && !cut) return 0;
  for (size_t k = 0; k < bins; ++k) {
    if (boost && row[k] > max_boost) {
      row[k] = max_boost;
      ++changed;
    } else if (cut && row[k] < -max_cut) {
      row[k] = -max_cut;
      ++changed;
    }
  }
  return changed;
}
