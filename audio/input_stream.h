#pragma once

#include <cstddef>
#include <cstdint>

#include "analysis/resample_stream.h"
#include "analysis/sample.h"
#include "runtime/status.h"

// An audio file read block by block, optionally brought to another rate on
// the way, in memory bounded by the block size and the resampler, never by
// the file's length. The concatenated blocks equal, bit for bit, what
// sample_load_file gives for the whole file, followed by resample or
// resample_high at the output rate.
struct InputStream {
  uint64_t file_rate, channels, frames;  // the header (frames counted when it does not say)
  // Private state.
  void* reader;        // the open SndfileReader, null while closed
  char path[4096];     // for reopening at rewind
  uint64_t rate;       // output rate
  bool high;           // libsoxr's path
  bool resampling;
  bool wide;           // 64-bit float file, read as such and narrowed
  bool started;        // a read happened since the open or the last rewind
  bool ended;          // the resampler is finished
  Status failed;       // a failure of reading sticks until rewind
  uint64_t position;   // file frames read
  float* transfer;     // interleaved frames of one read
  double* transfer_wide;
  Sample raw;          // planar frames of the file, one chunk
  Sample pending;      // resampled frames not yet handed out, from pending_at on
  uint64_t pending_at;
  ResampleStream resampler;
  char cause[256];     // why the last failure happened, one line
};

void input_stream_init(InputStream& s);

// Opens with the checks and statuses of sample_load_file(path, -1, cause,
// size): the system's non-blocking check that the path is a regular file,
// libsndfile's open, the header (no channels gives STATUS_NO_MEMORY, as
// there). Fills file_rate, channels and frames; a file whose header does
// not give a believable frame count is read through once to count them.
// `cause` (when not null) gets the words on failure. Any earlier file is
// closed first.
[[nodiscard]] Status input_stream_open(InputStream& s, const char* utf8_path, char* cause, size_t cause_size);

// The rate blocks come at: 0 or file_rate = unchanged, otherwise resampled
// (high = libsoxr's path). Only before the first read (STATUS_INVALID
// after); the resampler's statuses otherwise.
[[nodiscard]] Status input_stream_set_rate(InputStream& s, uint64_t rate, bool high);

// Frames at the output rate.
uint64_t input_stream_length(const InputStream& s);

// The next block of up to `max` frames at the output rate into `block`
// (planar, reallocated only when too small; block.length = frames given, 0
// at the end; block.sample_rate = output rate). Every block but the last
// has `max` frames; a `max` of 0 gives STATUS_BAD_ARGUMENT. A sample
// beyond the magnitude limit or not finite gives STATUS_MALFORMED with
// *bad_frame (the frame in the file, from 0) and *bad_channel set (either
// may be null): the frame sample_find_unusable names for the whole file.
// Failures of the file give the statuses of sample_load_file
// (STATUS_END_OF_STREAM for a file shorter than its header says), with the
// words in input_stream_cause. A failure sticks until rewind.
[[nodiscard]] Status input_stream_read(InputStream& s, Sample& block, uint64_t max, uint64_t* bad_frame,
                                       uint64_t* bad_channel);

// Back to frame 0, the resampler restarted.
[[nodiscard]] Status input_stream_rewind(InputStream& s);

// Why the last failing call failed ("" when none did).
const char* input_stream_cause(const InputStream& s);

// Closes the file and frees everything; idempotent.
void input_stream_close(InputStream& s);
