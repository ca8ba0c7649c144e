#pragma once

#include <atomic>
#include <cstdint>

// A planar signal that one thread writes from its first frame to its last
// while another reads the frames already finished, so that a measurement
// can follow the work that makes the signal instead of waiting for its end.
// The writer publishes the rows once they exist, then how many frames of
// every row are complete; the reader waits for the frames it needs.
struct SampleProgress {
  const float* data;   // the rows, valid to a reader once progress_wait returned true
  uint64_t stride;     // floats from one row to the next
  uint64_t channels;
  uint64_t frames;     // length of every row when finished
  // Frames complete in every row; with kProgressFinished added once all
  // are; kProgressFailed when the writer gave up.
  std::atomic<uint64_t> ready;
};

constexpr uint64_t kProgressFinished = uint64_t(1) << 62;
constexpr uint64_t kProgressFailed = UINT64_MAX;

void progress_init(SampleProgress* p);

// Writer: the rows (before any progress_advance), then the frames complete
// in every row (never decreasing), then the end: progress_finish with ok
// marks every frame complete, without ok the signal as never to be
// finished. Each call wakes a waiting reader.
void progress_publish_rows(SampleProgress* p, const float* data, uint64_t stride, uint64_t channels,
                           uint64_t frames);
void progress_advance(SampleProgress* p, uint64_t ready);
void progress_finish(SampleProgress* p, bool ok);

// Reader: waits until at least `frames` frames of every row are complete
// (or the signal is finished, whatever its length); false when the writer
// gave up. The rows and sizes may be read after a true return.
bool progress_wait(SampleProgress* p, uint64_t frames);
