#pragma once

#include <cstdint>

#include "analysis/sample.h"
#include "runtime/status.h"

// The signal path after the filter is designed: a chain of stages that
// each take planar blocks (analysis/sample.h, `length` frames, rows at
// data + c * stride; a block may be a view into a larger buffer) and hand
// what they make to the next. A stage learns the shape of what it will be
// given before the first block; it may hold samples back (a delay, a
// look-ahead) and hands them on when it is finished. Taps (meters) are
// stages that pass every block on unchanged. Nothing here allocates per
// block: a stage sizes its buffers in start().

struct StageFormat {
  uint64_t rate;
  uint64_t channels;
  uint64_t length;  // frames the stage will be given in all
};

// Where a stage hands its blocks.
class StageSink {
 public:
  virtual ~StageSink() = default;
  [[nodiscard]] virtual Status take(const Sample& block) = 0;
};

class Stage {
 public:
  virtual ~Stage() = default;
  // Before the first block: the shape of the input; *out gets the shape of
  // what the stage hands on (its length included).
  [[nodiscard]] virtual Status start(const StageFormat& in, StageFormat* out) = 0;
  // One block (length may be anything up to the chain's block size).
  [[nodiscard]] virtual Status process(const Sample& block, StageSink& next) = 0;
  // After the last block: what the stage still holds.
  [[nodiscard]] virtual Status finish(StageSink& next) {
    (void)next;
    return STATUS_OK;
  }
  // Frees what start() took; safe to call more than once and without start().
  virtual void release() {}
};

// Stages run in order; the chain is itself a sink for its first stage.
// At most kMaxStages, not owned: the owner releases them (release() here,
// or their own destructors), so a meter can be read after its chain ended.
class StageChain : public StageSink {
 public:
  static constexpr unsigned kMaxStages = 16;
  StageChain() : count_(0) {}
  // False when the chain is full.
  bool add(Stage* stage);
  // Starts every stage in order from the input's shape; *out (may be null)
  // gets the shape of what leaves the last one.
  [[nodiscard]] Status start(const StageFormat& in, StageFormat* out);
  [[nodiscard]] Status take(const Sample& block) override { return links_[0].take(block); }
  // Finishes the stages in order, each one's tail going through the rest.
  [[nodiscard]] Status finish();
  void release();

 private:
  struct Link : StageSink {
    StageChain* chain = nullptr;
    unsigned index = 0;
    Status take(const Sample& block) override;
  };
  Stage* stages_[kMaxStages];
  Link links_[kMaxStages + 1];
  unsigned count_;
};

// A view of frames [first, first + count) of `whole` as a block.
inline Sample sample_view(const Sample& whole, uint64_t first, uint64_t count) {
  Sample v = whole;
  v.data = whole.data + first;
  v.length = count;
  return v;
}
