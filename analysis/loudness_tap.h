#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "analysis/loudness.h"
#include "analysis/stage.h"

// A tap that measures what passes through it as measure_loudness does on
// the whole signal (libebur128 sees the same frames in the same order):
// the integrated loudness always, the true and sample peaks when asked.
// The peaks, whose oversampling costs most, are measured on a thread of
// the tap's own beside the chain, joined when the chain finishes (and on
// release): no thread outlives the tap's chain.
class LoudnessTap : public Stage {
 public:
  ~LoudnessTap() override { release(); }
  void configure(bool peaks) { peaks_ = peaks; }
  Status start(const StageFormat& in, StageFormat* out) override;
  Status process(const Sample& block, StageSink& next) override;
  Status finish(StageSink& next) override;
  void release() override;
  // After the chain finished: the measurement (NaN loudness when
  // unmeasurable, -infinity peaks for silence; NaN peaks when not asked).
  [[nodiscard]] Status result(LoudnessMeasure* out) const;

 private:
  void peak_worker();
  void stop_worker();
  bool peaks_ = false;
  uint64_t channels_ = 0;
  void* state_ = nullptr;        // ebur128_state* of the integrated loudness
  void* peak_state_ = nullptr;   // ebur128_state* of the peaks
  float* interleaved_ = nullptr; // two buffers of kFrames frames: one filled, one measured
  Status status_ = STATUS_OK;
  // Hand-over to the peak thread: buffer `ready_` (0 or 1) of `ready_frames_`
  // frames waits when ready_frames_ > 0.
  std::thread worker_;
  std::mutex lock_;
  std::condition_variable changed_;
  uint64_t ready_frames_ = 0;
  int ready_ = 0;
  int filling_ = 0;
  bool closing_ = false;
  Status peak_status_ = STATUS_OK;
};
