#pragma once

#include <cstdint>

#include "analysis/block_convolver.h"
#include "analysis/convolver.h"
#include "analysis/sample_progress.h"
#include "analysis/stage.h"

// Convolution and dry/wet mix as a stage: the values convolve_mix_range
// (analysis/mix.h) makes for positions 0 .. total-1 of the mix, bit for
// bit, handed on in order as the input arrives; latency compensation and
// length matching are a WindowStage after it. Blocks of any length: the
// input is staged into the convolvers' own steps, so they see what they
// see on a whole buffer. `ir` (one row of taps per channel) must outlive
// the stage. Memory: the taps' transforms and a few steps per channel.

// The length of what a MixStage and then a WindowStage(first, length) hand
// on for `b` input frames and `m` taps: convolve_mix_range's.
uint64_t mix_window_length(uint64_t b, uint64_t m, int64_t latency, uint64_t first, int64_t length);

class MixStage : public Stage {
 public:
  MixStage();
  ~MixStage() override { release(); }
  void configure(const Sample* ir, int64_t latency, float dry, float wet);
  Status start(const StageFormat& in, StageFormat* out) override;
  Status process(const Sample& block, StageSink& next) override;
  Status finish(StageSink& next) override;
  void release() override;

 private:
  struct Row {
    BlockConvolver block;
    Convolver conv;
    float* stage;    // input waiting for a convolver step (up to one step)
    float* wet;      // wet values [wet_base, wet_base + wet_count)
    float* dry;      // input values [dry_base, dry_base + dry_count)
  };
  void step();
  Status emit(StageSink& next);

  const Sample* ir_;
  int64_t latency_;
  float dry_gain_, wet_gain_;
  uint64_t channels_, b_, m_, shift_, wet_at_, dry_at_, total_;
  uint64_t step_;       // convolver step: K of the block convolver, the mix piece otherwise
  uint64_t staged_;     // input values waiting in Row::stage
  uint64_t received_;   // input values taken
  uint64_t produced_;   // wet values made
  uint64_t wet_base_, wet_count_, dry_base_, dry_count_, cap_;
  uint64_t emitted_;    // mix positions handed on
  Row* rows_;
  Sample out_;
  void* memory_;
};

// Keeps positions [first, first + length) of what it is given (all from
// `first` on when length < 0): latency compensation and length matching.
class WindowStage : public Stage {
 public:
  void configure(uint64_t first, int64_t length) {
    first_ = first;
    length_ = length;
  }
  Status start(const StageFormat& in, StageFormat* out) override;
  Status process(const Sample& block, StageSink& next) override;

 private:
  uint64_t first_ = 0, end_ = 0, at_ = 0;
  int64_t length_ = -1;
};

// A tap: the largest magnitude of everything that passes.
class PeakTap : public Stage {
 public:
  Status start(const StageFormat& in, StageFormat* out) override {
    *out = in;
    peak_ = 0.0f;
    return STATUS_OK;
  }
  Status process(const Sample& block, StageSink& next) override;
  float peak() const { return peak_; }

 private:
  float peak_ = 0.0f;
};

// A tap that keeps a copy of everything that passes in `*into`, a buffer
// of the length the stage is told (zero padding), for a signal short
// enough to hold whole. With `progress` it publishes the buffer and the
// frames copied so far, for a reader on another thread; the caller
// finishes the progress once the chain has run.
class CollectStage : public Stage {
 public:
  void configure(Sample* into, SampleProgress* progress = nullptr) {
    into_ = into;
    progress_ = progress;
  }
  Status start(const StageFormat& in, StageFormat* out) override;
  Status process(const Sample& block, StageSink& next) override;
  Status finish(StageSink& next) override;

 private:
  Sample* into_ = nullptr;
  SampleProgress* progress_ = nullptr;
  uint64_t at_ = 0;
};

// Multiplies every sample by each of its factors in turn (normalization,
// a loudness gain, a trim), each product rounded as the whole-buffer scale
// rounds it; without factors the blocks pass through untouched.
class ScaleStage : public Stage {
 public:
  static constexpr unsigned kMaxFactors = 8;
  void clear() { count_ = 0; }
  bool add(float factor) {
    if (count_ == kMaxFactors) return false;
    factors_[count_++] = factor;
    return true;
  }
  Status start(const StageFormat& in, StageFormat* out) override;
  Status process(const Sample& block, StageSink& next) override;
  void release() override;
  ~ScaleStage() override { release(); }

 private:
  float factors_[kMaxFactors] = {};
  unsigned count_ = 0;
  Sample work_{};
};

// Mid/side coding of a stereo signal, as mid_side_encode / mid_side_decode.
class MidSideStage : public Stage {
 public:
  void configure(bool decode) { decode_ = decode; }
  Status start(const StageFormat& in, StageFormat* out) override;
  Status process(const Sample& block, StageSink& next) override;
  void release() override;
  ~MidSideStage() override { release(); }

 private:
  bool decode_ = false;
  Sample work_{};
};
