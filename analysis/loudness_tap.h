#pragma once

#include "analysis/integrated_meter.h"
#include "analysis/loudness.h"
#include "analysis/stage.h"
#include "analysis/true_peak.h"

// A tap that measures what passes through it as measure_loudness does on
// the whole signal (the meter sees the same frames in the same order): the
// integrated loudness unless told not to, the true and sample peaks when
// asked.
// The peaks are found per channel as measure_channel_peaks finds them on a
// whole channel (analysis/true_peak.h): the library oversamples only the
// blocks that can hold the true peak.
class LoudnessTap : public Stage {
 public:
  ~LoudnessTap() override { release(); }
  void configure(bool peaks, bool integrated = true) {
    peaks_ = peaks;
    integrated_ = integrated;
  }
  Status start(const StageFormat& in, StageFormat* out) override;
  Status process(const Sample& block, StageSink& next) override;
  void release() override;
  // After the chain finished: the measurement (NaN loudness when
  // unmeasurable or not asked, -infinity peaks for silence; NaN peaks when
  // not asked).
  [[nodiscard]] Status result(LoudnessMeasure* out) const;

 private:
  static constexpr uint64_t kMaxChannels = 64;
  bool peaks_ = false;
  bool integrated_ = true;
  bool started_ = false;
  uint64_t channels_ = 0;
  IntegratedMeter meter_;
  const float** rows_ = nullptr;
  ChannelPeakStream peak_[kMaxChannels] = {};
  Status status_ = STATUS_OK;
};
