#include "analysis/loudness_tap.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

constexpr uint64_t kFrames = 4096;
constexpr uint64_t kStopRound = UINT64_MAX;
constexpr uint64_t kTaskBits = 32;
constexpr uint64_t kTaskMask = (uint64_t(1) << kTaskBits) - 1;

double to_db(double linear) {
  return linear > 0.0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

}  // namespace

Status LoudnessTap::start(const StageFormat& in, StageFormat* out) {
  release();
  if (in.rate == 0 || in.channels == 0 || in.channels > kMaxChannels) return STATUS_BAD_ARGUMENT;
  channels_ = in.channels;
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
  tasks_ = (integrated_ ? 1 : 0) + (peaks_ ? channels_ : 0);
  if (tasks_ > 1) {
    helper_.tap = this;
    helper_.round.store(0, std::memory_order_relaxed);
    helper_.claim.store(0, std::memory_order_relaxed);
    // Without a thread the caller makes every measurement.
    helped_ = helper_.thread.start(&helper_);
  }
  *out = in;
  return STATUS_OK;
}

Status LoudnessTap::run_task(uint64_t t, const Sample& block) {
  Status st = STATUS_OK;
  if (integrated_ && t == 0) {
    const float* rows[kMaxChannels];
    for (uint64_t at = 0; at < block.length && st == STATUS_OK; at += kFrames) {
      const uint64_t n = std::min(kFrames, block.length - at);
      for (uint64_t c = 0; c < channels_; ++c) rows[c] = block.data + c * block.stride + at;
      st = integrated_meter_add(meter_, rows, n);
    }
    return st;
  }
  const uint64_t c = t - (integrated_ ? 1 : 0);
  return channel_peak_stream_push(peak_[c], block.data + c * block.stride, block.length);
}

bool LoudnessTap::Helper::take(uint64_t r, uint64_t* t) {
  uint64_t v = claim.load(std::memory_order_acquire);
  for (;;) {
    if ((v >> kTaskBits) != (r & kTaskMask) || (v & kTaskMask) >= tap->tasks_) return false;
    if (claim.compare_exchange_weak(v, v + 1, std::memory_order_acq_rel, std::memory_order_acquire)) {
      *t = v & kTaskMask;
      return true;
    }
  }
}

void LoudnessTap::Helper::finished() {
  if (done.fetch_add(1, std::memory_order_acq_rel) + 1 == tap->tasks_) done.notify_all();
}

void LoudnessTap::Helper::operator()() {
  const DspTable& table = dsp();
  DspFpState fp{};
  table.dsp_start(&fp);
  uint64_t seen = 0;
  for (;;) {
    uint64_t r = round.load(std::memory_order_acquire);
    while (r == seen) {
      round.wait(seen, std::memory_order_acquire);
      r = round.load(std::memory_order_acquire);
    }
    if (r == kStopRound) break;
    seen = r;
    // A round the caller has finished alone hands out nothing more.
    for (uint64_t t = 0; take(r, &t);) {
      statuses[t] = tap->run_task(t, *block);
      finished();
    }
  }
  table.dsp_finish(&fp);
}

Status LoudnessTap::process(const Sample& block, StageSink& next) {
  if (status_ != STATUS_OK) return status_;
  if (!helped_) {
    for (uint64_t t = 0; t < tasks_ && status_ == STATUS_OK; ++t) status_ = run_task(t, block);
  } else {
    // A round: the block and its measurements are handed out, the caller
    // takes its share and waits until every one is made.
    Helper& h = helper_;
    const uint64_t r = (h.round.load(std::memory_order_relaxed) + 1) & kTaskMask;
    h.block = &block;
    h.done.store(0, std::memory_order_relaxed);
    h.claim.store(r << kTaskBits, std::memory_order_release);
    h.round.store(r, std::memory_order_release);
    h.round.notify_one();
    for (uint64_t t = 0; h.take(r, &t);) {
      h.statuses[t] = run_task(t, block);
      h.finished();
    }
    for (uint64_t d = h.done.load(std::memory_order_acquire); d < tasks_; d = h.done.load(std::memory_order_acquire))
      h.done.wait(d, std::memory_order_acquire);
    for (uint64_t t = 0; t < tasks_ && status_ == STATUS_OK; ++t) status_ = h.statuses[t];
  }
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
  if (helped_) {
    helper_.round.store(kStopRound, std::memory_order_release);
    helper_.round.notify_one();
    helper_.thread.join();
    helped_ = false;
  }
  integrated_meter_release(meter_);
  started_ = false;
  for (uint64_t c = 0; c < kMaxChannels; ++c) channel_peak_stream_release(peak_[c]);
}
