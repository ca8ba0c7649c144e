#include "analysis/block_convolver.h"

#include <cstring>

#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

constexpr unsigned kMinRank = 8;
constexpr unsigned kMaxRank = 16;

}  // namespace

void block_convolver_clear(BlockConvolver& conv) { memset(&conv, 0, sizeof conv); }

void block_convolver_destroy(BlockConvolver& conv) {
  if (conv.memory) mem_free_aligned(conv.memory);
  block_convolver_clear(conv);
}

bool block_convolver_init(BlockConvolver& conv, const float* taps, uint64_t count) {
  block_convolver_destroy(conv);
  if (count == 0) return false;
  unsigned rank = kMinRank;
  while (rank < kMaxRank && (uint64_t{1} << (rank - 1)) < count) ++rank;
  uint64_t k = uint64_t{1} << (rank - 1);
  uint64_t slot = 4 * k;  // 2^(r+1) floats
  uint64_t parts = (count + k - 1) / k;
  // (P + 2) spectra-sized areas and the accumulator: at most
  // 5 (count + K) + 9 K floats, since P x K < count + K.
  if (count > (SIZE_MAX / sizeof(float) - 128) / 8 - 16 * k) return false;
  uint64_t floats = (parts + 2) * slot + (parts + 1) * k;
  void* memory = mem_alloc_aligned(static_cast<size_t>(floats) * sizeof(float), 64);
  if (!memory) return false;
  const DspTable& t = dsp();
  float* base = static_cast<float*>(memory);
  conv.memory = memory;
  conv.rank = rank;
  conv.k = k;
  conv.parts = parts;
  conv.ir_length = count;
  conv.spectra = base;
  conv.input = conv.spectra + parts * slot;
  conv.scratch = conv.input + slot;
  conv.pad = conv.scratch;
  conv.acc = conv.scratch + slot;
  for (uint64_t p = 0; p < parts; ++p) {
    uint64_t at = p * k, take = count - at < k ? count - at : k;
    const float* src = taps + at;
    if (take < k) {
      t.copy_floats(conv.pad, src, static_cast<size_t>(take));
      t.fill_zero(conv.pad + take, static_cast<size_t>(k - take));
      src = conv.pad;
    }
    t.conv_transform(conv.spectra + p * slot, src, rank);
  }
  block_convolver_restart(conv);
  return true;
}

void block_convolver_restart(BlockConvolver& conv) {
  if (!conv.memory) return;
  dsp().fill_zero(conv.acc, static_cast<size_t>((conv.parts + 1) * conv.k));
  conv.emitted = 0;
}

uint64_t block_convolver_next(BlockConvolver& conv, const float* in, uint64_t n, const float** segment) {
  if (!conv.memory) return 0;
  const uint64_t at = conv.emitted;
  const uint64_t valid = at < n ? (n - at < conv.k ? n - at : conv.k) : 0;
  return block_convolver_step(conv, valid ? in + at : nullptr, valid, n, segment);
}

uint64_t block_convolver_step(BlockConvolver& conv, const float* block, uint64_t valid, uint64_t n,
                              const float** segment) {
  if (!conv.memory) return 0;
  uint64_t total = n + conv.ir_length, k = conv.k;
  if (conv.emitted >= total) return 0;
  const DspTable& t = dsp();
  if (conv.emitted > 0) {
    // The segment handed out last is done: move the window on by K.
    size_t keep = static_cast<size_t>(conv.parts * k);
    t.move_floats(conv.acc, conv.acc + k, keep);
    t.fill_zero(conv.acc + keep, static_cast<size_t>(k));
  }
  uint64_t at = conv.emitted;
  if (at < n && valid > 0) {
    // Input block [at, at + K) adds to outputs [at + pK, at + pK + 2K) for
    // partition p; every block that reaches segment [at, at + K) has now
    // been added.
    const float* src = block;
    if (valid < k) {
      t.copy_floats(conv.pad, src, static_cast<size_t>(valid));
      t.fill_zero(conv.pad + valid, static_cast<size_t>(k - valid));
      src = conv.pad;
    }
    t.conv_transform(conv.input, src, conv.rank);
    size_t slot = static_cast<size_t>(4 * k);
    for (uint64_t p = 0; p < conv.parts; ++p)
      t.conv_apply(conv.acc + p * k, conv.scratch, conv.spectra + p * slot, conv.input, conv.rank);
  }
  uint64_t count = total - at < k ? total - at : k;
  conv.emitted += k;
  *segment = conv.acc;
  return count;
}
