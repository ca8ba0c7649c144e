#include "analysis/loudness_tap.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "runtime/alloc.h"

namespace {

constexpr uint64_t kFrames = 4096;

double to_db(double linear) {
  return linear > 0.0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

}  // namespace

Status LoudnessTap::start(const StageFormat& in, StageFormat* out) {
  release();
  if (in.rate == 0 || in.channels == 0 || in.channels > kMaxChannels) return STATUS_BAD_ARGUMENT;
  channels_ = in.channels;
  rows_ = static_cast<const float**>(mem_alloc(size_t(channels_) * sizeof(float*)));
  if (!rows_) return STATUS_NO_MEMORY;
  if (integrated_) {
    Status st = integrated_meter_start(meter_, in.rate, channels_);
    if (st != STATUS_OK) {
      release();
      return st;
    }
  }
  for (uint64_t c = 0; peaks_ && c < channels_; ++c) {
    Status st = channel_peak_stream_start(peak_[c], in.rate, in.length);
    if (st != STATUS_OK) {
      release();
      return st;
    }
  }
  status_ = STATUS_OK;
  started_ = true;
  *out = in;
  return STATUS_OK;
}

Status LoudnessTap::process(const Sample& block, StageSink& next) {
  for (uint64_t at = 0; integrated_ && at < block.length && status_ == STATUS_OK; at += kFrames) {
    const uint64_t n = std::min(kFrames, block.length - at);
    for (uint64_t c = 0; c < channels_; ++c) rows_[c] = block.data + c * block.stride + at;
    status_ = integrated_meter_add(meter_, rows_, n);
  }
  for (uint64_t c = 0; peaks_ && c < channels_ && status_ == STATUS_OK; ++c)
    status_ = channel_peak_stream_push(peak_[c], block.data + c * block.stride, block.length);
  if (status_ != STATUS_OK) return status_;
  return next.take(block);
}

Status LoudnessTap::result(LoudnessMeasure* out) const {
  if (!started_) return STATUS_INVALID;
  if (status_ != STATUS_OK) return status_;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  double lufs = nan;
  Status st = STATUS_OK;
  // The meter's reading leaves it as it was; a second gives the same.
  if (integrated_ && (st = integrated_meter_result(const_cast<IntegratedMeter&>(meter_), &lufs)) != STATUS_OK)
    return st;
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
  integrated_meter_release(meter_);
  started_ = false;
  for (uint64_t c = 0; c < kMaxChannels; ++c) channel_peak_stream_release(peak_[c]);
  mem_free(rows_);
  rows_ = nullptr;
}
