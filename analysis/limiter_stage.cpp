#include "analysis/limiter_stage.h"

#include "dsp/dsp.h"

namespace {
constexpr uint64_t kMaxChannels = 64;
constexpr uint64_t kWorkFrames = 32768;
}  // namespace

Status LimiterStage::start(const StageFormat& in, StageFormat* out) {
  release();
  if (in.channels == 0 || in.channels > kMaxChannels) return STATUS_BAD_ARGUMENT;
  const LimiterSettings set{in.rate, in.channels, ceiling_db_, lookahead_ms_, release_ms_};
  Status st = limiter_start(limiter_, set);
  if (st != STATUS_OK) return st;
  started_ = true;
  if (trace_) limiter_trace_into(limiter_, trace_, count_, step_);
  if (replay_.gains) {
    limiter_gains_replay(limiter_, replay_.gains, replay_.gains_count);
  } else if (replay_.peaks && replay_.record) {
    limiter_peaks_record(limiter_, replay_.peaks, replay_.peaks_count);
  } else if (replay_.peaks) {
    limiter_peaks_replay(limiter_, replay_.peaks, replay_.peaks_count, replay_.scale);
  }
  // Room for a block's worth of output and the latency's flush.
  const uint64_t latency = limiter_latency(limiter_);
  if (!sample_allocate_unfilled(work_, in.channels, kWorkFrames + latency, 0)) {
    release();
    return STATUS_NO_MEMORY;
  }
  work_.sample_rate = in.rate;
  stats_ = LimiterStats{};
  *out = in;
  return STATUS_OK;
}

Status LimiterStage::hand_on(uint64_t frames, StageSink& next) {
  stats_ = limiter_stats(limiter_);
  if (frames == 0) return STATUS_OK;
  work_.length = frames;
  return next.take(work_);
}

Status LimiterStage::process(const Sample& block, StageSink& next) {
  if (!started_) return STATUS_INVALID;
  const float* rows[kMaxChannels];
  float* outs[kMaxChannels];
  for (uint64_t at = 0; at < block.length;) {
    const uint64_t n = block.length - at < kWorkFrames ? block.length - at : kWorkFrames;
    for (uint64_t c = 0; c < block.channels; ++c) {
      rows[c] = block.data + c * block.stride + at;
      outs[c] = work_.data + c * work_.stride;
    }
    uint64_t produced = 0;
    Status st = limiter_process(limiter_, rows, outs, n, &produced);
    if (st == STATUS_OK) st = hand_on(produced, next);
    if (st != STATUS_OK) return st;
    at += n;
  }
  return STATUS_OK;
}

Status LimiterStage::finish(StageSink& next) {
  if (!started_) return STATUS_INVALID;
  float* outs[kMaxChannels];
  for (uint64_t c = 0; c < work_.channels; ++c) outs[c] = work_.data + c * work_.stride;
  uint64_t produced = 0;
  Status st = limiter_flush(limiter_, outs, &produced);
  if (st == STATUS_OK) st = hand_on(produced, next);
  return st;
}

void LimiterStage::release() {
  if (started_) limiter_release(limiter_);
  started_ = false;
  sample_destroy(work_);
}
