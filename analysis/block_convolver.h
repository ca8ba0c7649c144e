#pragma once

#include <cstdint>

// Throughput-oriented FIR convolution of one channel whose input is held
// whole. The taps sit in P uniform partitions of K = 2^(r-1) taps, with K
// the smallest power of two (128 .. 32768) that holds all taps, so P is 1
// up to 32768 taps and grows beyond. The input is taken K samples at a
// time: one transform of rank r per block, one product and inverse per
// partition, overlap-added into an accumulator of (P + 1) x K floats. No
// output is delayed for the sake of latency, so each output sample costs
// about a third of what the zero-latency Convolver spends on long filters.
// Results agree with the zero-latency Convolver to float rounding
// (relative RMS difference below 1e-6), not bit for bit.
struct BlockConvolver {
  float* spectra;  // P partition spectra, 2^(r+1) floats each
  float* input;    // spectrum of the current input block, 2^(r+1) floats
  float* scratch;  // 2^(r+1) floats
  float* pad;      // a short input block padded to K floats: the start of
                   // scratch, which is free whenever a block is transformed
  float* acc;      // outputs [emitted, emitted + (P + 1) x K)
  uint64_t k;
  uint64_t parts;
  uint64_t ir_length;
  uint64_t emitted;  // outputs handed out so far, a multiple of K
  unsigned rank;
  void* memory;  // the single allocation; null when unconfigured
};

// Zeroes every field. Never fails.
void block_convolver_clear(BlockConvolver& conv);

// Configures `conv` for `count` taps (count >= 1), freeing any previous
// configuration first. False when the allocation fails or a size
// overflows (the convolver is then unconfigured).
[[nodiscard]] bool block_convolver_init(BlockConvolver& conv, const float* taps, uint64_t count);

// Starts over on a new input with the same taps. Never fails.
void block_convolver_restart(BlockConvolver& conv);

// The next K outputs (fewer at the end) of the full linear convolution of
// in[0 .. n-1] with the taps, taken as n + ir_length values (the last one
// is 0). `in` and `n` must be the same on every call of one pass. Returns
// the number of values at *segment, which stays valid until the next call;
// 0 once all n + ir_length values are out.
uint64_t block_convolver_next(BlockConvolver& conv, const float* in, uint64_t n, const float** segment);

// The same for an input that arrives a block at a time: `block` holds the
// `valid` input values [emitted, emitted + valid) (valid = K except for the
// last block of the input; 0, and `block` unused, once the input of n values
// has been given). Calls in order hand out exactly what block_convolver_next
// hands out for the whole input.
uint64_t block_convolver_step(BlockConvolver& conv, const float* block, uint64_t valid, uint64_t n,
                              const float** segment);

// Frees the memory and clears the record; idempotent.
void block_convolver_destroy(BlockConvolver& conv);
