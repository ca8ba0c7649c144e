#include "analysis/sample_progress.h"

void progress_init(SampleProgress* p) {
  p->data = nullptr;
  p->stride = 0;
  p->channels = 0;
  p->frames = 0;
  p->ready.store(0, std::memory_order_relaxed);
}

void progress_publish_rows(SampleProgress* p, const float* data, uint64_t stride, uint64_t channels,
                           uint64_t frames) {
  // Plain stores: a reader sees them through the release of the first
  // advance or of the finish.
  p->data = data;
  p->stride = stride;
  p->channels = channels;
  p->frames = frames;
}

void progress_advance(SampleProgress* p, uint64_t ready) {
  if (ready > p->frames) ready = p->frames;
  if (ready <= p->ready.load(std::memory_order_relaxed)) return;
  p->ready.store(ready, std::memory_order_release);
  p->ready.notify_all();
}

void progress_finish(SampleProgress* p, bool ok) {
  p->ready.store(ok ? p->frames | kProgressFinished : kProgressFailed, std::memory_order_release);
  p->ready.notify_all();
}

bool progress_wait(SampleProgress* p, uint64_t frames) {
  for (;;) {
    const uint64_t now = p->ready.load(std::memory_order_acquire);
    if (now == kProgressFailed) return false;
    // A finished signal shorter than asked for has nothing more to come.
    if (now >= frames || (now & kProgressFinished)) return true;
    p->ready.wait(now, std::memory_order_acquire);
  }
}
