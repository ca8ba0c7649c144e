#include "analysis/loudness_tap.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

constexpr uint64_t kFrames = 4096;
// Frames of each of the measuring thread's two buffers: the chain's block.
constexpr uint64_t kSlotFrames = 65536;
// Wider signals are measured on the caller's thread: their buffers would
// cost more memory than a long input's whole reading.
constexpr uint64_t kSlotChannels = 8;
constexpr uint64_t kStopBit = uint64_t(1) << 63;

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
  // The measuring thread, with room for two blocks of the chain's size (a
  // larger block is measured here, after the thread caught up).
  const uint64_t room = std::min<uint64_t>(std::max<uint64_t>(in.length, 1), kSlotFrames);
  helper_.tap = this;
  helper_.made.store(0, std::memory_order_relaxed);
  helper_.measured.store(0, std::memory_order_relaxed);
  helper_.status.store(STATUS_OK, std::memory_order_relaxed);
  helped_ = channels_ <= kSlotChannels && sample_allocate_unfilled(helper_.slot[0], channels_, room, 0) &&
            sample_allocate_unfilled(helper_.slot[1], channels_, room, 0) && helper_.thread.start(&helper_);
  if (!helped_) {
    sample_destroy(helper_.slot[0]);
    sample_destroy(helper_.slot[1]);
  }
  *out = in;
  return STATUS_OK;
}

Status LoudnessTap::measure(const Sample& block) {
  Status st = STATUS_OK;
  for (uint64_t at = 0; integrated_ && at < block.length && st == STATUS_OK; at += kFrames) {
    const uint64_t n = std::min(kFrames, block.length - at);
    const float* rows[kMaxChannels];
    for (uint64_t c = 0; c < channels_; ++c) rows[c] = block.data + c * block.stride + at;
    st = integrated_meter_add(meter_, rows, n);
  }
  for (uint64_t c = 0; peaks_ && c < channels_ && st == STATUS_OK; ++c)
    st = channel_peak_stream_push(peak_[c], block.data + c * block.stride, block.length);
  return st;
}

void LoudnessTap::Helper::operator()() {
  const DspTable& table = dsp();
  DspFpState fp{};
  table.dsp_start(&fp);
  for (uint64_t n = 0;; ++n) {
    // The stop is a bit of `made`, so that a wait cannot miss it; the
    // blocks handed over before it are measured first.
    uint64_t m = made.load(std::memory_order_acquire);
    bool stopped = false;
    while (!stopped && (m & ~kStopBit) == n) {
      stopped = (m & kStopBit) != 0;
      if (!stopped) {
        made.wait(m, std::memory_order_acquire);
        m = made.load(std::memory_order_acquire);
      }
    }
    if (stopped) break;
    if (status.load(std::memory_order_relaxed) == STATUS_OK) {
      const Status st = tap->measure(slot[n % 2]);
      if (st != STATUS_OK) status.store(st, std::memory_order_relaxed);
    }
    measured.store(n + 1, std::memory_order_release);
    measured.notify_all();
  }
  table.dsp_finish(&fp);
}

void LoudnessTap::wait_measured(uint64_t behind) const {
  const uint64_t made = helper_.made.load(std::memory_order_relaxed);
  for (uint64_t m = helper_.measured.load(std::memory_order_acquire); m + behind < made;
       m = helper_.measured.load(std::memory_order_acquire))
    helper_.measured.wait(m, std::memory_order_acquire);
}

Status LoudnessTap::process(const Sample& block, StageSink& next) {
  if (status_ != STATUS_OK) return status_;
  if (!helped_) {
    status_ = measure(block);
  } else if (block.length > helper_.slot[0].stride || block.channels != channels_) {
    wait_measured(0);
    status_ = static_cast<Status>(helper_.status.load(std::memory_order_relaxed));
    if (status_ == STATUS_OK) status_ = measure(block);
  } else {
    // The slot of this block was last read two blocks ago.
    wait_measured(1);
    status_ = static_cast<Status>(helper_.status.load(std::memory_order_relaxed));
    if (status_ == STATUS_OK) {
      const uint64_t n = helper_.made.load(std::memory_order_relaxed);
      Sample& slot = helper_.slot[n % 2];
      const DspTable& t = dsp();
      for (uint64_t c = 0; c < channels_; ++c)
        t.copy_floats(slot.data + c * slot.stride, block.data + c * block.stride, size_t(block.length));
      slot.length = block.length;
      slot.sample_rate = block.sample_rate;
      helper_.made.store(n + 1, std::memory_order_release);
      helper_.made.notify_all();
    }
  }
  if (status_ != STATUS_OK) return status_;
  return next.take(block);
}

Status LoudnessTap::finish(StageSink& next) {
  (void)next;
  if (helped_) {
    wait_measured(0);
    if (status_ == STATUS_OK) status_ = static_cast<Status>(helper_.status.load(std::memory_order_relaxed));
  }
  return status_;
}

Status LoudnessTap::result(LoudnessMeasure* out) const {
  if (!started_) return STATUS_INVALID;
  // Every block handed over is measured (the chain's finish waited already).
  if (helped_) {
    wait_measured(0);
    const Status st = static_cast<Status>(helper_.status.load(std::memory_order_relaxed));
    if (st != STATUS_OK) return st;
  }
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
    // Every block handed over is measured first.
    helper_.made.fetch_or(kStopBit, std::memory_order_release);
    helper_.made.notify_all();
    helper_.thread.join();
    helped_ = false;
  }
  sample_destroy(helper_.slot[0]);
  sample_destroy(helper_.slot[1]);
  integrated_meter_release(meter_);
  started_ = false;
  for (uint64_t c = 0; c < kMaxChannels; ++c) channel_peak_stream_release(peak_[c]);
}
