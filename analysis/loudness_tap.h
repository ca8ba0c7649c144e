#pragma once

#include "analysis/loudness.h"
#include "analysis/stage.h"

// A tap that measures what passes through it as measure_loudness does on
// the whole signal (libebur128 sees the same frames in the same order):
// the integrated loudness always, the true and sample peaks when asked.
class LoudnessTap : public Stage {
 public:
  ~LoudnessTap() override { release(); }
  void configure(bool peaks) { peaks_ = peaks; }
  Status start(const StageFormat& in, StageFormat* out) override;
  Status process(const Sample& block, StageSink& next) override;
  void release() override;
  // After the chain finished: the measurement (NaN loudness when
  // unmeasurable, -infinity peaks for silence; NaN peaks when not asked).
  [[nodiscard]] Status result(LoudnessMeasure* out) const;

 private:
  bool peaks_ = false;
  uint64_t channels_ = 0;
  void* state_ = nullptr;  // ebur128_state*
  float* interleaved_ = nullptr;
  Status status_ = STATUS_OK;
};
