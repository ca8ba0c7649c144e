#pragma once

#include "analysis/loudness.h"
#include "analysis/stage.h"
#include "analysis/true_peak.h"

// A tap that measures what passes through it as measure_loudness does on
// the whole signal (libebur128 sees the same frames in the same order):
// the integrated loudness always, the true and sample peaks when asked.
// The peaks are found per channel as measure_channel_peaks finds them on a
// whole channel (analysis/true_peak.h): the library oversamples only the
// blocks that can hold the true peak.
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
  static constexpr uint64_t kMaxChannels = 64;
  bool peaks_ = false;
  uint64_t channels_ = 0;
  void* state_ = nullptr;        // ebur128_state* of the integrated loudness
  float* interleaved_ = nullptr;
  ChannelPeakStream peak_[kMaxChannels] = {};
  Status status_ = STATUS_OK;
};
