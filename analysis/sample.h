#pragma once

#include <cstdint>

#include "runtime/status.h"

// Planar block of 32-bit floats: `channels` rows of `stride` floats, the
// value of channel c at frame t at data[c * stride + t]. Values from
// `length` to `stride` of each row are padding (zero after allocate and
// copy). The buffer owns `data` (runtime/alloc.h). sample_rate is 0 where it
// has no meaning (spectral profiles).
struct Sample {
  float* data;
  uint64_t sample_rate;
  uint64_t length;
  uint64_t stride;
  uint64_t channels;
};

// Clears every field. Never fails.
void sample_init(Sample& s);

// Frees the data and clears length, stride and channels; keeps sample_rate.
// Safe on initialized, empty and already destroyed buffers.
void sample_destroy(Sample& s);

// Fresh zeroed storage of `channels` rows; stride is capacity rounded up to a
// multiple of 16, at least 16. Old contents are dropped; sample_rate is kept.
// False (buffer unchanged) when channels is 0, length > capacity or memory
// runs out.
[[nodiscard]] bool sample_allocate(Sample& s, uint64_t channels, uint64_t capacity, uint64_t length);

// As sample_allocate, but the rows are left unwritten, for callers that
// write every value of every row, padding included.
[[nodiscard]] bool sample_allocate_unfilled(Sample& s, uint64_t channels, uint64_t capacity, uint64_t length);

// Deep copy of `source` with a fresh stride (source.length rounded up to a
// multiple of 16, at least 16) and zeroed padding. STATUS_INVALID when the
// source has no channels, no data or length > stride; STATUS_NO_MEMORY when
// memory runs out. The destination is unchanged on failure.
[[nodiscard]] Status sample_copy(Sample& destination, const Sample& source);

// New shape keeping what fits: stride becomes (capacity + 15) rounded down to
// a multiple of 16 (no floor, so capacity 0 gives stride 0), each old row is
// copied up to the smaller stride (its padding included), the rest is zero.
// sample_rate is kept. False (unchanged) when channels is 0 or memory runs
// out.
[[nodiscard]] bool sample_resize(Sample& s, uint64_t channels, uint64_t capacity, uint64_t length);

// Exchanges all five fields. Never fails.
void sample_swap(Sample& a, Sample& b);

// Floored stride rule of allocate and copy; 0 when the rounding overflows.
uint64_t sample_floored_stride(uint64_t size);
