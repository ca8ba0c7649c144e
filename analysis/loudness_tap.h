#pragma once

#include <atomic>

#include "analysis/integrated_meter.h"
#include "analysis/loudness.h"
#include "analysis/stage.h"
#include "analysis/true_peak.h"
#include "runtime/thread.h"

// A tap that measures what passes through it as measure_loudness does on
// the whole signal (the meter sees the same frames in the same order): the
// integrated loudness unless told not to, the true and sample peaks when
// asked.
// The peaks are found per channel as measure_channel_peaks finds them on a
// whole channel (analysis/true_peak.h): the library oversamples only the
// blocks that can hold the true peak.
// Where it can start a thread, the measurements run there, one block
// behind: each block is copied into one of two buffers and measured while
// the chain makes the next. They are the same measurements in the same
// order, so the values are those the caller's thread would find.
class LoudnessTap : public Stage {
 public:
  LoudnessTap() = default;
  LoudnessTap(const LoudnessTap&) = delete;
  LoudnessTap& operator=(const LoudnessTap&) = delete;
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
  ChannelPeakStream peak_[kMaxChannels] = {};
  Status status_ = STATUS_OK;

  // Every measurement of one block, in order.
  Status measure(const Sample& block);

  // The thread that measures, and the two buffers it reads: block n in
  // slot[n % 2]. `made` counts the blocks handed over (its top bit ends
  // the thread once they are measured), `measured` those done.
  struct Helper {
    LoudnessTap* tap = nullptr;
    Thread thread;
    Sample slot[2] = {};
    std::atomic<uint64_t> made{0};
    std::atomic<uint64_t> measured{0};
    std::atomic<int> status{STATUS_OK};  // the first failure
    void operator()();
  };
  Helper helper_;
  bool helped_ = false;
  // Waits until at most `behind` blocks are still to be measured.
  void wait_measured(uint64_t behind) const;
  Status finish(StageSink& next) override;
};
