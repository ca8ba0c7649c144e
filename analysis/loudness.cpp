#include "analysis/loudness.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <ebur128.h>

#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

// Frames handed to libebur128 per call; its own buffers are sized by the
// rate, so the block only bounds our interleaving buffer.
constexpr uint64_t kBlockFrames = 4096;

Status status_from_ebur128(int error) {
  switch (error) {
    case EBUR128_SUCCESS: return STATUS_OK;
    case EBUR128_ERROR_NOMEM: return STATUS_NO_MEMORY;
    default: return STATUS_SYSTEM;
  }
}

double to_db(double linear) {
  return linear > 0.0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

}  // namespace

Status measure_loudness(const Sample& audio, LoudnessMeasure* out) {
  if (audio.sample_rate == 0 || audio.channels == 0 || !out) return STATUS_BAD_ARGUMENT;
  if (audio.length > 0 && !audio.data) return STATUS_BAD_ARGUMENT;
  const uint64_t channels = audio.channels;
  if (channels > std::numeric_limits<unsigned>::max() / kBlockFrames) return STATUS_BAD_ARGUMENT;
  float* block = static_cast<float*>(mem_alloc(size_t(kBlockFrames * channels) * sizeof(float)));
  if (!block) return STATUS_NO_MEMORY;
  ebur128_state* state = ebur128_init(unsigned(channels), static_cast<unsigned long>(audio.sample_rate),
                                      EBUR128_MODE_I | EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_TRUE_PEAK);
  if (!state) {
    mem_free(block);
    return STATUS_NO_MEMORY;
  }
  Status status = STATUS_OK;
  for (uint64_t at = 0; at < audio.length && status == STATUS_OK; at += kBlockFrames) {
    const uint64_t n = std::min(kBlockFrames, audio.length - at);
    for (uint64_t c = 0; c < channels; ++c) {
      const float* row = audio.data + c * audio.stride + at;
      for (uint64_t k = 0; k < n; ++k) block[k * channels + c] = row[k];
    }
    status = status_from_ebur128(ebur128_add_frames_float(state, block, size_t(n)));
  }
  LoudnessMeasure m{std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity(),
                    -std::numeric_limits<double>::infinity()};
  if (status == STATUS_OK) {
    double lufs = 0.0;
    status = status_from_ebur128(ebur128_loudness_global(state, &lufs));
    // libebur128 reports -HUGE_VAL when no block passes the gates.
    if (std::isfinite(lufs)) m.integrated_lufs = lufs;
  }
  double true_peak = 0.0, sample_peak = 0.0;
  for (unsigned c = 0; c < channels && status == STATUS_OK; ++c) {
    double tp = 0.0, sp = 0.0;
    status = status_from_ebur128(ebur128_true_peak(state, c, &tp));
    if (status == STATUS_OK) status = status_from_ebur128(ebur128_sample_peak(state, c, &sp));
    true_peak = std::max(true_peak, tp);
    sample_peak = std::max(sample_peak, sp);
  }
  ebur128_destroy(&state);
  mem_free(block);
  if (status != STATUS_OK) return status;
  m.true_peak_db = to_db(true_peak);
  m.sample_peak_db = to_db(sample_peak);
  *out = m;
  return STATUS_OK;
}

LoudnessGain loudness_gain(const LoudnessMeasure& measured, double target_lufs, double ceiling_dbtp) {
  LoudnessGain g{0.0, false, false, 0.0};
  const bool has_target = !std::isnan(target_lufs);
  const bool has_ceiling = !std::isnan(ceiling_dbtp);
  const double tp = measured.true_peak_db;
  if (std::isinf(tp) && tp < 0) {  // digital silence: nothing to scale
    g.unmeasurable = has_target;
    return g;
  }
  if (has_target) {
    if (std::isnan(measured.integrated_lufs)) {
      g.unmeasurable = true;
      return g;
    }
    g.gain_db = target_lufs - measured.integrated_lufs;
    if (has_ceiling && tp + g.gain_db > ceiling_dbtp) {
      const double limited = ceiling_dbtp - tp;
      g.target_missed_lu = g.gain_db - limited;
      g.gain_db = limited;
      g.ceiling_limited = true;
    }
    return g;
  }
  if (has_ceiling && tp > ceiling_dbtp) {
    g.gain_db = ceiling_dbtp - tp;
    g.ceiling_limited = true;
  }
  return g;
}

void loudness_apply_gain(Sample& audio, double gain_db) {
  if (gain_db == 0.0 || !audio.data) return;
  const float k = static_cast<float>(std::exp(gain_db * 2.302585092994046 * 0.05));
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < audio.channels; ++c) t.scale(audio.data + c * audio.stride, size_t(audio.length), k);
}
