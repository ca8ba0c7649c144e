#pragma once

#include <atomic>

// Twiddle tables of the transform kernels, computed once in double
// precision and rounded once to float, so that no error accumulates along a
// stage (repeated rotation in float drifts to ~6e-5 at rank 16).
//
// Butterfly spans are 2h points with h = 2^s, s = 0 .. 15. The span-2h
// table starts at index h (entries h .. 2h-1):
//   fft_tw_cos[h + j] = cos(pi j / h), fft_tw_sin[h + j] = sin(pi j / h).
// The radix-4 tables for quarter size h (blocks of 4h points, h up to
// 2^14) hold the third power of the span-4h twiddle, also starting at
// index h:
//   fft_tw3_cos[h + j] = cos(3 pi j / (2h)), fft_tw3_sin[h + j] = sin(...).
// All angles are positive (w = e^{+i theta}); the forward direction uses the
// conjugate.

constexpr unsigned kFftMaxRank = 16;
constexpr unsigned kFftMaxPoints = 1u << kFftMaxRank;

extern float fft_tw_cos[kFftMaxPoints];
extern float fft_tw_sin[kFftMaxPoints];
extern float fft_tw3_cos[kFftMaxPoints / 2];
extern float fft_tw3_sin[kFftMaxPoints / 2];

// The span tables again with each aligned group of eight entries in the
// lane order 0 1 4 5 2 3 6 7 (the order in which the 256-bit kernels hold
// points after their cheapest de-interleave):
//   fft_tw_cos8[8g + j] = fft_tw_cos[8g + lane8(j)], likewise for sin.
extern float fft_tw_cos8[kFftMaxPoints];
extern float fft_tw_sin8[kFftMaxPoints];

// True once fft_tables_init() has filled the tables.
extern std::atomic<bool> fft_tables_ready;

// Calls fft_tables_init() the first time only.
inline void fft_tables_ensure() {
  if (!fft_tables_ready) {
    void fft_tables_init();
    fft_tables_init();
  }
}

// Reverses the low `bits` bits of i.
inline unsigned fft_bit_reverse(unsigned i, unsigned bits) {
  unsigned r = 0;
  for (unsigned b = 0; b < bits; ++b) {
    r = (r << 1) | (i & 1);
    i >>= 1;
  }
  return r;
}
