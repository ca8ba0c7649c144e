#pragma once

#include "analysis/limiter.h"
#include "analysis/stage.h"

// The look-ahead true-peak limiter as a stage: its latency is taken back
// inside the limiter, so what it hands on is aligned with and as long as
// what it is given. `trace` (when not null, `count` buckets set to 1 by the
// caller) receives the gain over time in buckets of `step` frames.
class LimiterStage : public Stage {
 public:
  ~LimiterStage() override { release(); }
  void configure(double ceiling_db, double lookahead_ms, double release_ms, float* trace, uint64_t count,
                 uint64_t step) {
    ceiling_db_ = ceiling_db;
    lookahead_ms_ = lookahead_ms;
    release_ms_ = release_ms;
    trace_ = trace;
    count_ = count;
    step_ = step;
  }
  // What a run finds or knows before it starts (kept from one start to
  // the next): gains found before, applied as they are
  // (limiter_gains_replay); else the detector's peaks read back times
  // `scale` (limiter_peaks_replay), or kept while it runs (`record`,
  // limiter_peaks_record); or nothing. The arrays outlive the runs.
  struct Replay {
    const float* gains = nullptr;
    uint64_t gains_count = 0;
    float* peaks = nullptr;
    uint64_t peaks_count = 0;
    float scale = 1.0f;
    bool record = false;
  };
  void replay(const Replay& r) { replay_ = r; }
  Status start(const StageFormat& in, StageFormat* out) override;
  Status process(const Sample& block, StageSink& next) override;
  Status finish(StageSink& next) override;
  void release() override;
  // The reduction over everything handed on.
  LimiterStats stats() const { return stats_; }

 private:
  Status hand_on(uint64_t frames, StageSink& next);
  double ceiling_db_ = 0.0, lookahead_ms_ = 1.5, release_ms_ = 0.0;
  float* trace_ = nullptr;
  uint64_t count_ = 0, step_ = 1;
  Limiter limiter_{nullptr};
  Sample work_{};
  LimiterStats stats_{};
  Replay replay_{};
  bool started_ = false;
};
