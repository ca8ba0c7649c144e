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
// With more than one measurement to make (the loudness and each channel's
// peaks are each one), a helper thread takes a share of every block's
// measurements while the caller takes the rest; each keeps its own state,
// so the values are the same whoever makes them.
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

  // Measurement t of the current block: 0 the loudness (when measured),
  // then the peaks of each channel.
  uint64_t tasks_ = 0;
  Status run_task(uint64_t t, const Sample& block);
  // The share of a block's measurements a round hands out: the round's
  // number in the high half of `claim`, the next measurement in the low.
  struct Helper {
    LoudnessTap* tap = nullptr;
    Thread thread;
    const Sample* block = nullptr;
    std::atomic<uint64_t> round{0};  // kStopRound ends the thread
    std::atomic<uint64_t> claim{0};
    std::atomic<uint64_t> done{0};
    Status statuses[kMaxChannels + 1] = {};
    // The next measurement of round r, or false when none is left.
    bool take(uint64_t r, uint64_t* t);
    void finished();
    void operator()();
  };
  Helper helper_;
  bool helped_ = false;
};
