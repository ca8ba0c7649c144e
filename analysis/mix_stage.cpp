#include "analysis/mix_stage.h"

#include <algorithm>
#include <new>

#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

// The zero-latency convolver's pieces and the block convolver's limit on
// few taps: as in analysis/mix.cpp, so that the values are the same.
constexpr uint64_t kMixPiece = 16384;
constexpr uint64_t kZeroLatencyTaps = 128;
// Mix positions handed on per block at most.
constexpr uint64_t kOutFrames = 32768;

uint64_t round16(uint64_t n) { return (n + 15) / 16 * 16; }

}  // namespace

uint64_t mix_window_length(uint64_t b, uint64_t m, int64_t latency, uint64_t first, int64_t length) {
  const uint64_t shift = latency >= 1 ? uint64_t(latency) : uint64_t(-latency);
  const uint64_t total = latency >= 1 ? std::max(b + shift, b + m) : b + m + shift;
  const uint64_t from = std::min(first, total);
  const uint64_t frames = length >= 0 ? uint64_t(length) : total - from;
  return std::min(total, from + frames) - from;
}

MixStage::MixStage()
    : ir_(nullptr), latency_(0), dry_gain_(0.0f), wet_gain_(1.0f), channels_(0), b_(0), m_(0), shift_(0),
      wet_at_(0), dry_at_(0), total_(0), step_(0), staged_(0), received_(0), produced_(0), wet_base_(0),
      wet_count_(0), dry_base_(0), dry_count_(0), cap_(0), emitted_(0), rows_(nullptr), memory_(nullptr) {
  sample_init(out_);
}

void MixStage::configure(const Sample* ir, int64_t latency, float dry, float wet) {
  ir_ = ir;
  latency_ = latency;
  dry_gain_ = dry;
  wet_gain_ = wet;
}

void MixStage::release() {
  if (rows_) {
    for (uint64_t c = 0; c < channels_; ++c) {
      block_convolver_destroy(rows_[c].block);
      convolver_destroy(rows_[c].conv);
    }
  }
  rows_ = nullptr;
  mem_free_aligned(memory_);
  memory_ = nullptr;
  sample_destroy(out_);
  channels_ = 0;
}

Status MixStage::start(const StageFormat& in, StageFormat* out) {
  release();
  if (!ir_ || in.channels == 0 || (ir_->length > 0 && ir_->channels < in.channels)) return STATUS_BAD_ARGUMENT;
  b_ = in.length;
  m_ = ir_->length;
  shift_ = latency_ >= 1 ? uint64_t(latency_) : uint64_t(-latency_);
  if (b_ > UINT64_MAX / 4 || m_ > UINT64_MAX / 4 || shift_ > UINT64_MAX / 4) return STATUS_NO_MEMORY;
  total_ = latency_ >= 1 ? std::max(b_ + shift_, b_ + m_) : b_ + m_ + shift_;
  wet_at_ = latency_ >= 1 ? 0 : shift_;
  dry_at_ = latency_ >= 1 ? shift_ : 0;
  const bool block = m_ > kZeroLatencyTaps;
  channels_ = in.channels;
  staged_ = received_ = produced_ = emitted_ = 0;
  wet_base_ = wet_count_ = dry_base_ = dry_count_ = 0;
  // Rows and their buffers in one block: the staged step, then the pending
  // wet and dry values (at most the shift and two steps each).
  uint64_t k = kMixPiece;
  if (block) {
    k = 128;
    while (k < 32768 && k < m_) k *= 2;
  }
  step_ = k;
  cap_ = round16(shift_ + 3 * step_ + kOutFrames);
  const uint64_t per_row = round16(step_) + 2 * cap_;
  const uint64_t rows_bytes = round16(channels_ * sizeof(Row));
  if (per_row > (SIZE_MAX / sizeof(float) - rows_bytes) / channels_) return STATUS_NO_MEMORY;
  memory_ = mem_alloc_aligned(size_t(rows_bytes + channels_ * per_row * sizeof(float)), 64);
  if (!memory_) return STATUS_NO_MEMORY;
  rows_ = static_cast<Row*>(memory_);
  float* base = reinterpret_cast<float*>(static_cast<char*>(memory_) + rows_bytes);
  for (uint64_t c = 0; c < channels_; ++c) {
    Row* r = new (&rows_[c]) Row();
    block_convolver_clear(r->block);
    convolver_clear(r->conv);
    r->stage = base + c * per_row;
    r->wet = r->stage + round16(step_);
    r->dry = r->wet + cap_;
  }
  bool ok = sample_allocate_unfilled(out_, channels_, kOutFrames, kOutFrames);
  for (uint64_t c = 0; ok && c < channels_ && m_ > 0; ++c) {
    const float* taps = ir_->data + c * ir_->stride;
    ok = block ? block_convolver_init(rows_[c].block, taps, m_) : convolver_init(rows_[c].conv, taps, m_, 16, 0.0f);
  }
  if (!ok) {
    release();
    return STATUS_NO_MEMORY;
  }
  out_.sample_rate = in.rate;
  *out = in;
  out->length = total_;
  return STATUS_OK;
}

// Runs the staged input (or, after the input, the next piece of the tail)
// through every row's convolver and keeps the wet values made.
void MixStage::step() {
  const DspTable& t = dsp();
  uint64_t made = 0;
  for (uint64_t c = 0; c < channels_; ++c) {
    Row& r = rows_[c];
    float* dst = r.wet + wet_count_;
    if (m_ > kZeroLatencyTaps) {
      const float* segment = nullptr;
      made = block_convolver_step(r.block, staged_ ? r.stage : nullptr, staged_, b_, &segment);
      t.copy_floats(dst, segment, size_t(made));
    } else if (staged_ > 0) {
      made = staged_;
      convolver_process(r.conv, dst, r.stage, size_t(made));
    } else {
      // The tail: zeros through the convolver, in the pieces the whole
      // buffer's mix uses.
      const uint64_t e = std::min((produced_ / kMixPiece + 1) * kMixPiece, b_ + m_);
      made = e - produced_;
      t.fill_zero(dst, size_t(made));
      convolver_process(r.conv, dst, dst, size_t(made));
    }
  }
  staged_ = 0;
  produced_ += made;
  wet_count_ += made;
}

Status MixStage::process(const Sample& block, StageSink& next) {
  const DspTable& t = dsp();
  uint64_t done = 0;
  while (done < block.length) {
    const uint64_t take = std::min(step_ - staged_, block.length - done);
    for (uint64_t c = 0; c < channels_; ++c) {
      const float* src = block.data + c * block.stride + done;
      if (m_ > 0) t.copy_floats(rows_[c].stage + staged_, src, size_t(take));
      t.copy_floats(rows_[c].dry + dry_count_, src, size_t(take));
    }
    staged_ += take;
    dry_count_ += take;
    received_ += take;
    done += take;
    if (m_ == 0) {
      staged_ = 0;
    } else if (staged_ == step_) {
      step();
    }
    Status st = emit(next);
    if (st != STATUS_OK) return st;
  }
  return STATUS_OK;
}

Status MixStage::finish(StageSink& next) {
  if (received_ != b_) return STATUS_INVALID;
  while (m_ > 0 && (staged_ > 0 || produced_ < b_ + m_)) {
    step();
    Status st = emit(next);
    if (st != STATUS_OK) return st;
  }
  return emit(next);
}

// Hands on every mix position whose dry and wet values are known, as
// convolve_mix_range makes it, and drops the values no longer needed.
Status MixStage::emit(StageSink& next) {
  const DspTable& t = dsp();
  const uint64_t kNone = UINT64_MAX;
  const uint64_t dry_known = received_ < b_ ? dry_at_ + received_ : kNone;
  const uint64_t wet_known = m_ > 0 && produced_ < b_ + m_ ? wet_at_ + produced_ : kNone;
  const uint64_t limit = std::min({total_, dry_known, wet_known});
  const uint64_t wet_end = m_ > 0 ? wet_at_ + b_ + m_ : wet_at_;
  while (emitted_ < limit) {
    const uint64_t lo = emitted_, hi = std::min(limit, lo + kOutFrames);
    for (uint64_t c = 0; c < channels_; ++c) {
      const Row& r = rows_[c];
      float* row = out_.data + c * out_.stride;
      // Pieces of [lo, hi) inside or outside the dry and the wet stretch.
      const uint64_t cuts[4] = {dry_at_, dry_at_ + b_, wet_at_, wet_end};
      for (uint64_t a = lo; a < hi;) {
        uint64_t e = hi;
        for (uint64_t cut : cuts)
          if (cut > a && cut < e) e = cut;
        float* dst = row + (a - lo);
        const size_t n = size_t(e - a);
        if (dry_gain_ != 0.0f && a >= dry_at_ && a < dry_at_ + b_)
          t.scale_copy(dst, r.dry + (a - dry_at_ - dry_base_), n, dry_gain_);
        else
          t.fill_zero(dst, n);
        if (a >= wet_at_ && a < wet_end) {
          const float* src = r.wet + (a - wet_at_ - wet_base_);
          if (dry_gain_ == 0.0f)
            t.scale_copy(dst, src, n, wet_gain_);
          else
            t.multiply_add(dst, src, n, wet_gain_);
        }
        a = e;
      }
    }
    out_.length = hi - lo;
    emitted_ = hi;
    Status st = next.take(out_);
    if (st != STATUS_OK) return st;
  }
  // Values before the next position to hand on are done with.
  auto drop = [&](uint64_t at, uint64_t& base, uint64_t& count, bool dry) {
    if (emitted_ <= at + base) return;
    const uint64_t n = std::min(count, emitted_ - at - base);
    if (n == 0) return;
    for (uint64_t c = 0; c < channels_; ++c) {
      float* v = dry ? rows_[c].dry : rows_[c].wet;
      t.move_floats(v, v + n, size_t(count - n));
    }
    base += n;
    count -= n;
  };
  drop(dry_at_, dry_base_, dry_count_, true);
  drop(wet_at_, wet_base_, wet_count_, false);
  return STATUS_OK;
}

Status WindowStage::start(const StageFormat& in, StageFormat* out) {
  const uint64_t from = std::min(first_, in.length);
  const uint64_t frames = length_ >= 0 ? uint64_t(length_) : in.length - from;
  end_ = std::min(in.length, from + frames);
  at_ = 0;
  *out = in;
  out->length = end_ - from;
  return STATUS_OK;
}

Status WindowStage::process(const Sample& block, StageSink& next) {
  const uint64_t lo = at_, hi = at_ + block.length;
  at_ = hi;
  const uint64_t a = std::max(lo, first_), e = std::min(hi, end_);
  if (a >= e) return STATUS_OK;
  return next.take(sample_view(block, a - lo, e - a));
}

Status CollectStage::start(const StageFormat& in, StageFormat* out) {
  if (!into_) return STATUS_INVALID;
  // Unfilled: the blocks fill it, and finish() zeroes what they left.
  Sample fresh;
  sample_init(fresh);
  if (!sample_allocate_unfilled(fresh, in.channels, in.length, in.length)) return STATUS_NO_MEMORY;
  fresh.sample_rate = in.rate;
  sample_swap(*into_, fresh);
  sample_destroy(fresh);
  at_ = 0;
  if (progress_) progress_publish_rows(progress_, into_->data, into_->stride, into_->channels, into_->length);
  *out = in;
  return STATUS_OK;
}

Status CollectStage::process(const Sample& block, StageSink& next) {
  if (at_ + block.length > into_->length) return STATUS_INVALID;
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < block.channels; ++c)
    t.copy_floats(into_->data + c * into_->stride + at_, block.data + c * block.stride, size_t(block.length));
  at_ += block.length;
  if (progress_) progress_advance(progress_, at_);
  return next.take(block);
}

Status CollectStage::finish(StageSink& next) {
  (void)next;
  // The frames no block reached, and the rows' padding, read as zeros.
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < into_->channels; ++c)
    t.fill_zero(into_->data + c * into_->stride + at_, size_t(into_->stride - at_));
  return STATUS_OK;
}

Status PeakTap::process(const Sample& block, StageSink& next) {
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < block.channels; ++c) {
    const float p = t.peak_abs(block.data + c * block.stride, size_t(block.length));
    if (p > peak_) peak_ = p;
  }
  return next.take(block);
}

namespace {

// A block-sized work buffer for stages that change values: blocks may be
// views of the caller's audio, which a stage never writes.
bool ensure_work(Sample& work, const Sample& block) {
  if (work.data && work.channels == block.channels && work.stride >= block.length) {
    work.length = block.length;
    return true;
  }
  return sample_allocate_unfilled(work, block.channels, std::max<uint64_t>(block.length, kOutFrames), block.length);
}

}  // namespace

Status ScaleStage::start(const StageFormat& in, StageFormat* out) {
  *out = in;
  return STATUS_OK;
}

Status ScaleStage::process(const Sample& block, StageSink& next) {
  if (count_ == 0) return next.take(block);
  if (!ensure_work(work_, block)) return STATUS_NO_MEMORY;
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < block.channels; ++c) {
    float* dst = work_.data + c * work_.stride;
    t.copy_floats(dst, block.data + c * block.stride, size_t(block.length));
    for (unsigned i = 0; i < count_; ++i) t.scale(dst, size_t(block.length), factors_[i]);
  }
  work_.sample_rate = block.sample_rate;
  return next.take(work_);
}

void ScaleStage::release() { sample_destroy(work_); }

Status MidSideStage::start(const StageFormat& in, StageFormat* out) {
  if (in.channels != 2) return STATUS_BAD_ARGUMENT;
  *out = in;
  return STATUS_OK;
}

Status MidSideStage::process(const Sample& block, StageSink& next) {
  if (!ensure_work(work_, block)) return STATUS_NO_MEMORY;
  const float* l = block.data;
  const float* r = block.data + block.stride;
  float* a = work_.data;
  float* b = work_.data + work_.stride;
  for (uint64_t i = 0; i < block.length; ++i) {
    const float x = l[i], y = r[i];
    if (decode_) {
      a[i] = x + y;
      b[i] = x - y;
    } else {
      a[i] = 0.5f * (x + y);
      b[i] = 0.5f * (x - y);
    }
  }
  work_.sample_rate = block.sample_rate;
  return next.take(work_);
}

void MidSideStage::release() { sample_destroy(work_); }
