#include "analysis/convolver.h"

#include <cstring>

#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

constexpr uint64_t kHead = 128;

// Overflow-checked a * b + c; false on overflow.
bool mul_add(uint64_t a, uint64_t b, uint64_t c, uint64_t& r) {
  if (b != 0 && a > (UINT64_MAX - c) / b) return false;
  r = a * b + c;
  return true;
}

}  // namespace

void convolver_clear(Convolver& conv) { memset(&conv, 0, sizeof conv); }

void convolver_destroy(Convolver& conv) {
  if (conv.memory) mem_free_aligned(conv.memory);
  convolver_clear(conv);
}

bool convolver_init(Convolver& conv, const float* taps, uint64_t count, unsigned max_rank, float start_offset) {
  convolver_destroy(conv);
  if (count == 0) return true;
  unsigned n = max_rank < 8 ? 8 : (max_rank > 16 ? 16 : max_rank);
  uint64_t k = uint64_t{1} << (n - 1);
  uint64_t slot = uint64_t{1} << (n + 1);
  uint64_t p = (count + k - 1) / k;
  // P x slot + 2 x slot + (P + 3) x K + 128 floats.
  uint64_t floats, part;
  if (!mul_add(p, slot, 2 * slot + kHead, part) || !mul_add(p + 3, k, part, floats)) return false;
  if (floats > (SIZE_MAX - 576) / sizeof(float)) return false;
  size_t bytes = static_cast<size_t>(floats) * sizeof(float);
  void* memory = mem_alloc_aligned(bytes + 512, 64);
  if (!memory) return false;
  const DspTable& t = dsp();
  float* base = static_cast<float*>(memory);
  t.fill_zero(base, static_cast<size_t>(floats));
  conv.memory = memory;
  conv.n = n;
  conv.k = k;
  conv.ir_length = count;
  conv.yshift = (p + 1) * k;
  conv.y = base;
  conv.x = conv.y + conv.yshift + k;
  conv.t = conv.x + k;
  conv.u = conv.t + slot;
  conv.spectra = conv.u + slot;
  conv.head = conv.spectra + p * slot;
  conv.nhead = count < kHead ? count : kHead;
  t.copy_floats(conv.head, taps, static_cast<size_t>(conv.nhead));
  t.conv_transform(conv.spectra, conv.head, 8);

  uint64_t used = conv.nhead;
  float* spectrum = conv.spectra + 2 * (2 * kHead);
  for (unsigned level = 0; used < count && 8 + level < n; ++level) {
    uint64_t size = kHead << level;
    uint64_t take = count - used < size ? count - used : size;
    // The transform reads a full block; short tail blocks are padded in T.
    t.fill_zero(conv.t, static_cast<size_t>(size));
    t.copy_floats(conv.t, taps + used, static_cast<size_t>(take));
    t.conv_transform(spectrum, conv.t, 8 + level);
    spectrum += 4 * size;
    used += take;
    ++conv.growing;
  }
  spectrum = conv.spectra + slot;
  while (used < count) {
    uint64_t take = count - used < k ? count - used : k;
    t.fill_zero(conv.t, static_cast<size_t>(k));
    t.copy_floats(conv.t, taps + used, static_cast<size_t>(take));
    t.conv_transform(spectrum, conv.t, n);
    spectrum += slot;
    used += take;
    ++conv.uniform;
  }
  t.fill_zero(conv.t, static_cast<size_t>(slot));
  conv.done = conv.uniform;
  if (n > 8) {
    conv.first = 1.0f;
    conv.rate = (static_cast<float>(conv.uniform) + 0.001f) / static_cast<float>(k / kHead - 1);
  } else {
    conv.first = static_cast<float>(conv.uniform);
    conv.rate = 0.0f;
  }
  conv.pos = static_cast<uint64_t>(static_cast<float>(k) * start_offset) % k;
  return true;
}

void convolver_process(Convolver& conv, float* out, const float* in, uint64_t count) {
  const DspTable& t = dsp();
  if (!conv.memory) {
    t.fill_zero(out, static_cast<size_t>(count));
    return;
  }
  uint64_t k = conv.k;
  float* history = conv.x - k;
  const float* uniform_spectra = conv.spectra + (uint64_t{1} << (conv.n + 1));
  // Growing partitions exist only for n > 8, so this half of t is free of
  // the scratch of every transform but the uniform ones (rank n), which run
  // after level 0 has used it and before the head writes it again.
  float* kept_head = conv.t + (uint64_t{1} << conv.n);
  while (count > 0) {
    uint64_t r = conv.pos % kHead;
    if (r == 0) {
      uint64_t g = conv.pos / kHead;
      uint64_t mask = g ^ (g - 1);
      const float* spectrum = conv.spectra + 4 * kHead;
      for (unsigned level = 0; level < conv.growing; ++level) {
        uint64_t size = kHead << level;
        if (level == 0 && conv.head_ready)
          t.conv_apply(conv.y + conv.pos, conv.t, spectrum, kept_head, 8);
        else if (mask & (uint64_t{1} << level))
          t.conv_block(conv.y + conv.pos, conv.t, spectrum, conv.x + conv.pos - size, 8 + level);
        spectrum += 4 * size;
      }
      if (conv.uniform > 0) {
        if (mask & (uint64_t{1} << conv.growing)) {
          t.conv_transform(conv.u, history, conv.n);
          conv.done = 0;
        }
        uint64_t target = static_cast<uint64_t>(conv.first + static_cast<float>(g) * conv.rate);
        if (target > conv.uniform) target = conv.uniform;
        size_t slot = size_t{1} << (conv.n + 1);
        for (; conv.done < target; ++conv.done)
          t.conv_apply(conv.y + conv.done * k, conv.t, uniform_spectra + conv.done * slot, conv.u, conv.n);
      }
    }
    uint64_t chunk = kHead - r < count ? kHead - r : count;
    float* block = conv.x + conv.pos;
    // Steps move at most 128 floats; the vector move beats the string copy
    // at that size (and `out` may be `in`, which it allows too).
    t.move_floats(block, in, static_cast<size_t>(chunk));
    conv.head_ready = false;
    if (chunk == kHead && conv.growing > 0) {
      t.conv_transform(kept_head, block, 8);
      t.conv_apply(conv.y + conv.pos, conv.t, conv.spectra, kept_head, 8);
      conv.head_ready = true;
    } else if (chunk == kHead) {
      t.conv_block(conv.y + conv.pos, conv.t, conv.spectra, block, 8);
    } else {
      t.fir_accumulate(conv.y + conv.pos, block, conv.head, static_cast<size_t>(conv.nhead),
                       static_cast<size_t>(chunk));
    }
    t.move_floats(out, conv.y + conv.pos, static_cast<size_t>(chunk));
    conv.pos += chunk;
    in += chunk;
    out += chunk;
    count -= chunk;
    if (conv.pos >= k) {
      conv.pos -= k;
      t.move_floats(history, conv.x, static_cast<size_t>(k));
      t.move_floats(conv.y, conv.y + k, static_cast<size_t>(conv.yshift - k));
      t.fill_zero(conv.y + conv.yshift - k, static_cast<size_t>(k));
    }
  }
}
