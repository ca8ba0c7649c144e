#pragma once

#include <cstdint>

#include "analysis/sample.h"
#include "audio/input_stream.h"
#include "runtime/string.h"
#include "tool/child_chain.h"

struct InputHeader;
struct ToolConfig;

// An input too long to hold whole: read a block at a time, at the run's
// rate, as often as a step needs it.
struct StreamedInput {
  InputStream stream;
  String path;     // as the messages name it
  uint64_t rate;   // the processing rate (the blocks')
  uint64_t length; // frames at that rate
  float peak;      // largest magnitude, from the first reading
  bool open;
};

void streamed_input_init(StreamedInput* in);
void streamed_input_close(StreamedInput* in);

// Decoded bytes above which an input is read a block at a time rather than
// held whole: TIMBRAL_WHOLE_LIMIT_MB megabytes (256 when unset).
uint64_t whole_limit_bytes();

// The input's blocks for the stage chain; every run() reads it again from
// its start.
class FileSource : public BlockSource {
 public:
  explicit FileSource(StreamedInput* in) : in_(in) {}
  StageFormat format() const override { return StageFormat{in_->rate, in_->stream.channels, in_->length}; }
  Status run(StageSink& sink) override;

 private:
  StreamedInput* in_;
};

// Opens `path` at `rate` (0: its own) and, when `whole_limit` is passed by
// its decoded size there, reads it once for its spectral profile (mid/side
// coded and gated as the settings say, at `rank`) and peak: the lines and
// statuses of load_input_file, the profile's failure after "  error
// computing spectral profile for the ... file '<name>'". *streamed is false
// (and the input closed, nothing printed) when the file is short enough to
// be held whole. `what` is "master" or "child".
//
// `header`, when not null, is what the preflight read of the file: a file
// it shows short enough to hold is not opened here (its rate is checked as
// the opening would).
[[nodiscard]] int open_streamed_input(StreamedInput* in, bool* streamed, const String* path, uint64_t rate,
                                      const ToolConfig* cfg, unsigned rank, Sample* profile, const char* what,
                                      const InputHeader* header = nullptr);

// The profile of the input read again (another rate: a new reading of the
// file at `rate`). Statuses of the reading and the profile.
[[nodiscard]] int streamed_profile(StreamedInput* in, uint64_t rate, const ToolConfig* cfg, unsigned rank,
                                   Sample* profile);

// A reading of its own of the same file at `rate`, for a job that runs
// beside others (a child reading its master) or a rate of its own.
[[nodiscard]] int streamed_input_reopen(StreamedInput* out, const StreamedInput* from, uint64_t rate,
                                        const ToolConfig* cfg);

// Integrated loudness of the input (NaN when unmeasurable).
[[nodiscard]] int streamed_loudness(StreamedInput* in, double* lufs);

// Reads the input once, from its start, through `chain` (meters, as a
// rule): start, every block, finish. The statuses of the reading and the
// stages.
[[nodiscard]] int streamed_run(StreamedInput* in, StageChain* chain);
