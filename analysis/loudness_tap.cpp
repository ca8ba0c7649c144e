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

ebur128_state* as_state(void* p) { return static_cast<ebur128_state*>(p); }

}  // namespace

Status LoudnessTap::start(const StageFormat& in, StageFormat* out) {
  release();
  if (in.rate == 0 || in.channels == 0 || in.channels > kMaxChannels) return STATUS_BAD_ARGUMENT;
  channels_ = in.channels;
  interleaved_ = static_cast<float*>(mem_alloc(size_t(kFrames * channels_) * sizeof(float)));
  if (!interleaved_) return STATUS_NO_MEMORY;
  state_ = ebur128_init(unsigned(channels_), static_cast<unsigned long>(in.rate), EBUR128_MODE_I);
  if (!state_) {
    release();
    return STATUS_NO_MEMORY;
  }
  for (uint64_t c = 0; peaks_ && c < channels_; ++c) {
    Status st = channel_peak_stream_start(peak_[c], in.rate, in.length);
    if (st != STATUS_OK) {
      release();
      return st;
    }
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
    status_ = from_ebur128(ebur128_add_frames_float(as_state(state_), interleaved_, size_t(n)));
  }
  for (uint64_t c = 0; peaks_ && c < channels_ && status_ == STATUS_OK; ++c)
    status_ = channel_peak_stream_push(peak_[c], block.data + c * block.stride, block.length);
  if (status_ != STATUS_OK) return status_;
  return next.take(block);
}

Status LoudnessTap::result(LoudnessMeasure* out) const {
  if (!state_) return STATUS_INVALID;
  if (status_ != STATUS_OK) return status_;
  double lufs = 0.0;
  Status st = from_ebur128(ebur128_loudness_global(as_state(state_), &lufs));
  if (st != STATUS_OK) return st;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  LoudnessMeasure m{std::isfinite(lufs) ? lufs : nan, nan, nan};
  if (peaks_) {
    double tp = 0.0, sp = 0.0;
    for (uint64_t c = 0; c < channels_; ++c) {
      // Finishing takes the block the channel still holds; the stream keeps
      // its result, so a second reading gives the same.
      ChannelPeaks p{};
      ChannelPeakStream& s = const_cast<ChannelPeakStream&>(peak_[c]);
      if ((st = channel_peak_stream_finish(s, &p)) != STATUS_OK) return st;
      tp = std::max(tp, p.true_peak);
      sp = std::max(sp, p.sample_peak);
    }
    m.true_peak_db = to_db(tp);
    m.sample_peak_db = to_db(sp);
  }
  *out = m;
  return STATUS_OK;
}

void LoudnessTap::release() {
  if (state_) {
    ebur128_state* st = as_state(state_);
    ebur128_destroy(&st);
  }
  state_ = nullptr;
  for (uint64_t c = 0; c < kMaxChannels; ++c) channel_peak_stream_release(peak_[c]);
  mem_free(interleaved_);
  interleaved_ = nullptr;
}
