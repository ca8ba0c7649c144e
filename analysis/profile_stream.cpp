#include "analysis/profile_stream.h"

#include <cmath>
#include <cstring>

#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

constexpr unsigned kMaxRank = 24;

// Floats rounded up to a multiple of 16, so every area starts 64-byte
// aligned inside the block.
uint64_t area(uint64_t floats) { return (floats + 15) & ~uint64_t{15}; }

bool spectra_pass(const ProfileStream& p) { return p.gated ? p.pass == 2 : p.pass == 1; }

uint64_t frame_size(const ProfileStream& p) { return uint64_t{1} << p.rank; }

// The frame of halves a (row c at a + c * stride_a) and b enters the sums
// when it is chosen: paired with the frame before it in waiting, or kept
// until the next chosen frame arrives.
void take_frame(ProfileStream& p, uint64_t f, const float* a, uint64_t stride_a, const float* b, uint64_t stride_b) {
  if (p.gated && !profile_gate_passes(p.gate, profile_frame_power(p.energy, p.halves, frame_size(p), f))) return;
  const DspTable& t = dsp();
  const uint64_t n = frame_size(p), h = n / 2;
  ++p.count;
  if (!p.pending) {
    for (uint64_t c = 0; c < p.channels; ++c) {
      t.copy_floats(p.waiting + c * n, a + c * stride_a, h);
      t.copy_floats(p.waiting + c * n + h, b + c * stride_b, h);
    }
    p.pending = true;
    return;
  }
  for (uint64_t c = 0; c < p.channels; ++c) {
    const float* w = p.waiting + c * n;
    profile_add_frame_pair(p.work, w, w + h, a + c * stride_a, b + c * stride_b, p.result.data + c * p.result.stride);
  }
  p.pending = false;
}

// The current half is complete (or the last, zero-padded after `fill`
// frames): its energy is recorded on the first pass of a gate, the frame it
// ends is analysed on the pass of the spectra.
Status complete_half(ProfileStream& p) {
  const uint64_t h = frame_size(p) / 2;
  if (p.gated && p.pass == 1) {
    if (p.half == p.capacity) {
      const uint64_t grown = p.capacity ? 2 * p.capacity : 1024;
      if (grown > SIZE_MAX / sizeof(double)) return STATUS_NO_MEMORY;
      void* more = mem_realloc(p.energy, size_t(grown) * sizeof(double));
      if (!more) return STATUS_NO_MEMORY;
      p.energy = static_cast<double*>(more);
      p.capacity = grown;
    }
    p.energy[p.half] = profile_half_energy(p.current, h, p.channels, 0, p.fill);
  }
  if (spectra_pass(p)) {
    if (p.gated && (p.half >= p.halves || (p.half + 1 == p.halves && p.fill != p.last_fill)))
      return STATUS_INVALID;  // the second pass runs longer than the first
    take_frame(p, p.half, p.previous, h, p.current, h);
  }
  float* done = p.previous;
  p.previous = p.current;
  p.current = done;
  ++p.half;
  p.fill = 0;
  return STATUS_OK;
}

// Back to the start of the audio: half -1 is zeros.
void restart(ProfileStream& p) {
  dsp().fill_zero(p.previous, size_t(p.channels * frame_size(p) / 2));
  p.half = 0;
  p.fill = 0;
}

}  // namespace

void profile_stream_init(ProfileStream& p) {
  p.channels = 0;
  p.rank = 0;
  p.gated = false;
  p.gate_db = 0.0;
  p.pass = 0;
  p.half = p.fill = p.count = 0;
  p.pending = false;
  p.peak = 0.0f;
  p.energy = nullptr;
  p.capacity = 0;
  p.halves = p.last_fill = 0;
  p.gate = ProfileGate{0, 0.0};
  p.block = nullptr;
  p.work = ProfileWork{nullptr, nullptr, nullptr, nullptr, 0};
  p.previous = p.current = p.waiting = p.zeros = nullptr;
  sample_init(p.result);
}

void profile_stream_release(ProfileStream& p) {
  mem_free(p.energy);
  mem_free_aligned(p.block);
  sample_destroy(p.result);
  profile_stream_init(p);
}

Status profile_stream_start(ProfileStream& p, uint64_t channels, unsigned rank, double gate_db) {
  profile_stream_release(p);
  if (channels == 0 || rank < 1 || rank > kMaxRank) return STATUS_BAD_ARGUMENT;
  const bool gated = gate_db > 0.0;  // false for NaN
  if (gated && !std::isfinite(gate_db)) return STATUS_BAD_ARGUMENT;
  const uint64_t n = uint64_t{1} << rank, h = n / 2;
  // windowed, window, spectrum, zeros; then the previous and the current
  // halves (rows of h floats) and the halves of the waiting frame (rows of n).
  const uint64_t fixed = area(n) + area(n) + area(2 * n) + area(h);
  if (channels > (SIZE_MAX / sizeof(float) - fixed) / (4 * n)) return STATUS_NO_MEMORY;
  const uint64_t rows = area(channels * h);
  float* base = static_cast<float*>(mem_alloc_aligned(size_t(fixed + 2 * rows + channels * n) * sizeof(float), 64));
  if (!base) return STATUS_NO_MEMORY;
  if (!sample_allocate(p.result, channels, n, n)) {
    mem_free_aligned(base);
    return STATUS_NO_MEMORY;
  }
  p.block = base;
  p.work = ProfileWork{nullptr, base, base + area(n), base + 2 * area(n), rank};
  p.zeros = base + 2 * area(n) + area(2 * n);
  p.previous = base + fixed;
  p.current = p.previous + rows;
  p.waiting = p.current + rows;
  dsp().fill_zero(p.zeros, size_t(h));
  profile_work_prepare(p.work);
  p.channels = channels;
  p.rank = rank;
  p.gated = gated;
  p.gate_db = gated ? gate_db : 0.0;
  p.pass = 1;
  restart(p);
  return STATUS_OK;
}

bool profile_stream_needs_second_pass(const ProfileStream& p) { return p.gated; }

Status profile_stream_push(ProfileStream& p, const Sample& block) {
  if (p.pass != 1 && p.pass != 2) return STATUS_INVALID;
  if (block.channels != p.channels) return STATUS_BAD_ARGUMENT;
  if (block.length == 0) return STATUS_OK;
  if (!block.data) return STATUS_INVALID;
  const DspTable& t = dsp();
  const uint64_t h = frame_size(p) / 2;
  uint64_t at = 0;
  while (at < block.length) {
    const uint64_t take = std::min(h - p.fill, block.length - at);
    for (uint64_t c = 0; c < p.channels; ++c) {
      const float* from = block.data + c * block.stride + at;
      if (p.pass == 1) {
        const float peak = t.peak_abs(from, size_t(take));
        if (peak > p.peak) p.peak = peak;
      }
      t.copy_floats(p.current + c * h + p.fill, from, size_t(take));
    }
    p.fill += take;
    at += take;
    if (p.fill == h) {
      Status st = complete_half(p);
      if (st != STATUS_OK) return st;
    }
  }
  return STATUS_OK;
}

Status profile_stream_end_pass(ProfileStream& p) {
  if (p.pass != 1 && p.pass != 2) return STATUS_INVALID;
  const uint64_t h = frame_size(p) / 2;
  const uint64_t fill = p.fill;
  if (fill > 0) {
    for (uint64_t c = 0; c < p.channels; ++c) dsp().fill_zero(p.current + c * h + fill, size_t(h - fill));
    Status st = complete_half(p);
    if (st != STATUS_OK) return st;
  }
  if (p.gated && p.pass == 1) {
    p.halves = p.half;
    p.last_fill = fill ? fill : h;
    p.gate = profile_gate(p.energy, p.halves, frame_size(p), p.gate_db);
    p.pass = 2;
    restart(p);
    return STATUS_OK;
  }
  if (p.gated && p.half != p.halves) return STATUS_INVALID;  // shorter than the first pass
  // The last frame ends in a half of zeros.
  take_frame(p, p.half, p.previous, h, p.zeros, 0);
  const uint64_t n = frame_size(p);
  for (uint64_t c = 0; c < p.channels; ++c) {
    float* out = p.result.data + c * p.result.stride;
    if (p.pending) profile_add_frame(p.work, p.waiting + c * n, p.waiting + c * n + h, p.zeros, out);
    profile_average(p.work, out, p.count);
  }
  p.pending = false;
  p.pass = 3;
  return STATUS_OK;
}

Status profile_stream_finish(ProfileStream& p, Sample& profile) {
  if (p.pass != 3) return STATUS_INVALID;
  sample_swap(profile, p.result);
  sample_destroy(p.result);
  p.pass = 4;
  return STATUS_OK;
}

float profile_stream_peak(const ProfileStream& p) { return p.peak; }
