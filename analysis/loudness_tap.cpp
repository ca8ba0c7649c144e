#include "analysis/loudness_tap.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "runtime/alloc.h"

namespace {

constexpr uint64_t kFrames = 4096;

Status from_ebur128(int error) {
  if (error == EBUR128_SUCCESS) return STATUS_OK;
  return error == EBUR128_ERROR_NOMEM ? STATUS_NO_MEMORY : STATUS_SYSTEM;
}

double to_db(double linear) {
  return linear > 0.0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

}  // namespace

Status LoudnessTap::start(const StageFormat& in, StageFormat* out) {
  release();
  if (in.rate == 0 || in.channels == 0 || in.channels > std::numeric_limits<unsigned>::max() / kFrames)
    return STATUS_BAD_ARGUMENT;
  channels_ = in.channels;
  interleaved_ = static_cast<float*>(mem_alloc(size_t(kFrames * channels_) * sizeof(float)));
  if (!interleaved_) return STATUS_NO_MEMORY;
  const int mode = EBUR128_MODE_I | (peaks_ ? EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_SAMPLE_PEAK : 0);
  state_ = ebur128_init(unsigned(channels_), static_cast<unsigned long>(in.rate), mode);
  if (!state_) {
    release();
    return STATUS_NO_MEMORY;
  }
  status_ = STATUS_OK;
  *out = in;
  return STATUS_OK;
}

Status LoudnessTap::process(const Sample& block, StageSink& next) {
  for (uint64_t at = 0; at < block.length && status_ == STATUS_OK; at += kFrames) {
    const uint64_t n = std::min(kFrames, block.length - at);
    for (uint64_t c = 0; c < channels_; ++c) {
      const float* row = block.data + c * block.stride + at;
      for (uint64_t k = 0; k < n; ++k) interleaved_[k * channels_ + c] = row[k];
    }
    status_ = from_ebur128(ebur128_add_frames_float(static_cast<ebur128_state*>(state_), interleaved_, size_t(n)));
  }
  if (status_ != STATUS_OK) return status_;
  return next.take(block);
}

Status LoudnessTap::result(LoudnessMeasure* out) const {
  if (!state_) return STATUS_INVALID;
  if (status_ != STATUS_OK) return status_;
  double lufs = 0.0;
  Status st = from_ebur128(ebur128_loudness_global(static_cast<ebur128_state*>(state_), &lufs));
  if (st != STATUS_OK) return st;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  LoudnessMeasure m{std::isfinite(lufs) ? lufs : nan, nan, nan};
  if (peaks_) {
    double tp = 0.0, sp = 0.0;
    for (uint64_t c = 0; c < channels_; ++c) {
      double t = 0.0, s = 0.0;
      if ((st = from_ebur128(ebur128_true_peak(static_cast<ebur128_state*>(state_), unsigned(c), &t))) != STATUS_OK) return st;
      if ((st = from_ebur128(ebur128_sample_peak(static_cast<ebur128_state*>(state_), unsigned(c), &s))) != STATUS_OK) return st;
      tp = std::max(tp, t);
      sp = std::max(sp, s);
    }
    m.true_peak_db = to_db(tp);
    m.sample_peak_db = to_db(sp);
  }
  *out = m;
  return STATUS_OK;
}

void LoudnessTap::release() {
  if (state_) {
    ebur128_state* st = static_cast<ebur128_state*>(state_);
    ebur128_destroy(&st);
  }
  state_ = nullptr;
  mem_free(interleaved_);
  interleaved_ = nullptr;
}
