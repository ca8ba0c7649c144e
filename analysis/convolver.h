#pragma once

#include <cstdint>

// Zero-latency partitioned FIR convolver for one channel. The first 128 taps
// (the head) run per 128-sample block in a rank-8 transform, or as a direct
// FIR while a block is incomplete; the next taps sit in growing partitions of
// 128 x 2^l taps (rank 8 + l) up to K = 2^(n-1); the rest in uniform
// partitions of K taps at rank n, whose transforms are spread over the
// 128-sample steps of each large block so that no step carries them all. All
// areas live in one 64-byte aligned, zero-filled allocation per
// configuration; processing never allocates.
struct Convolver {
  float* y;         // output accumulator, (P + 1) x K floats
  float* x;         // current large block, K floats; the previous one right before it
  float* t;         // scratch transform, 2^(n+1) floats
  float* u;         // spectrum of the previous large block, 2^(n+1) floats
  float* spectra;   // head, growing, then uniform partition spectra
  float* head;      // first min(ir_length, 128) taps
  uint64_t yshift;  // length of y
  uint64_t nhead;
  uint64_t k;       // large block size 2^(n-1)
  uint64_t pos;     // position inside the current large block
  uint64_t ir_length;
  uint64_t growing;  // G
  uint64_t uniform;  // B
  uint64_t done;     // uniform partitions applied for the current large block
  unsigned n;
  float first, rate;  // schedule: partitions due by step g = min(B, trunc(first + g x rate))
  // The head's transform of the last full 128-sample block is kept in the
  // upper half of t (above the scratch of any rank below n), so growing
  // level 0, which takes that same block one step later, skips its own.
  bool head_ready;
  void* memory;  // the single allocation; null when unconfigured
};

// Zeroes every field. Never fails.
void convolver_clear(Convolver& conv);

// Configures the convolver for `count` taps with uniform partitions of rank
// clamp(max_rank, 8, 16), freeing any previous configuration first. count 0
// leaves it unconfigured and succeeds. The position inside the first large
// block starts at trunc(K x start_offset) mod K. False when the allocation
// fails (the convolver is then unconfigured).
[[nodiscard]] bool convolver_init(Convolver& conv, const float* taps, uint64_t count, unsigned max_rank,
                                  float start_offset);

// out[t] = sum_j taps[j] x in[t - j] over everything fed since configuration,
// with no latency; out may equal in. Unconfigured: writes zeros.
void convolver_process(Convolver& conv, float* out, const float* in, uint64_t count);

// Frees the memory and clears the record; idempotent.
void convolver_destroy(Convolver& conv);
