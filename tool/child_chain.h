#pragma once

#include <cstdint>

#include "analysis/stage.h"
#include "audio/save_format.h"
#include "runtime/string.h"
#include "tool/delivery.h"

struct ToolConfig;

// Where the chain's input comes from: a buffer held whole, or a file read
// a block at a time. run() hands every block to `sink`, from the start,
// each time it is called.
class BlockSource {
 public:
  virtual ~BlockSource() = default;
  virtual StageFormat format() const = 0;
  [[nodiscard]] virtual Status run(StageSink& sink) = 0;
};

// Frames handed to the chain per block.
constexpr uint64_t kChainBlockFrames = 65536;

class WholeSource : public BlockSource {
 public:
  explicit WholeSource(const Sample& s) : s_(s) {}
  StageFormat format() const override { return StageFormat{s_.sample_rate, s_.channels, s_.length}; }
  Status run(StageSink& sink) override;

 private:
  const Sample& s_;
};

// The processed audio of one child, made by the stage chain and written a
// block at a time, so that it is never held whole:
//   [mid/side encode] -> convolve and mix -> window (latency, length)
//   -> [mid/side decode] -> normalize -> loudness gain -> format and write
// with the meters as taps. A value needed before the first sample is
// written (the peak for normalization, the loudness for a target) is
// measured on the output made once and held when it is short, or by a pass
// of the chain without the writer when it is long; the written
// samples are measured as they are written, and a true-peak ceiling they
// pass sends the write through again, lower, as the whole-buffer path does.
struct ChildAudio {
  const ToolConfig* cfg;
  uint64_t rate;
  BlockSource* input;        // the convolved file
  const Sample* ir;          // trimmed taps, one row per channel
  int64_t delay;             // the filter's latency
  float dry, wet, norm_peak;
  bool mid_side, deliver;
  bool limiter;              // -tl: the limiter after the loudness gain
  double timbre_lufs;        // the timbre file's loudness when the target needs it (NaN otherwise)
  uint64_t whole_limit;      // bytes up to which an output measured before writing is held whole
  const double* reference_lufs;
  const String* target;      // the output's planned path
  const char* seed;          // the name its template gave: the seed of its dither
  SaveOptions options;       // format, tags
  // Results, on success.
  LoudnessReport loudness;
  SaveStats stats;
  uint64_t frames, channels;
  float peak;                // largest magnitude of the written samples before quantization
  String path;               // the file written
};

void child_audio_init(ChildAudio* job);
void child_audio_free(ChildAudio* job);

// Makes and writes the output. Prints what the whole-buffer path prints
// (the saved-file line, the loudness line, their warnings) and returns its
// statuses.
[[nodiscard]] int write_child_audio(ChildAudio* job);
