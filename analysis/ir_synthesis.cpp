#include "analysis/ir_synthesis.h"

#include <cmath>
#include <cstdio>

#include "analysis/profile.h"
#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

struct SynthesisWork {
  float* spectrum;   // 2N floats
  float* temporary;  // N floats
  float* window;     // N floats
};

// One aligned block for all channels; null on failure.
void* allocate_work(size_t n, SynthesisWork& w) {
  void* block = mem_alloc_aligned(4 * n * sizeof(float), 64);
  if (!block) return nullptr;
  float* base = static_cast<float*>(block);
  w.spectrum = base;
  w.temporary = base + 2 * n;
  w.window = base + 3 * n;
  nuttall_window(w.window, n);
  return block;
}

// Turns the magnitude row `row` (N floats) into the windowed, half-rotated
// inverse transform, in place.
void magnitude_to_filter(const DspTable& t, const SynthesisWork& w, const float* magnitude, float* row,
                         unsigned rank) {
  size_t n = size_t{1} << rank;
  size_t h = n / 2;
  t.real_to_complex(w.spectrum, magnitude, n);
  t.fft_inverse(w.spectrum, w.spectrum, rank);
  t.complex_real_part(w.temporary, w.spectrum, n);
  t.copy_floats(row, w.temporary + h, h);
  t.copy_floats(row + h, w.temporary, h);
  t.multiply_by(row, w.window, n);
}

}  // namespace

Status synthesize_ir(Sample& ir, const Sample& reference, const Sample& target, unsigned rank, float gain_cap) {
  if (reference.length != target.length) {
    fputs("  The lenghts of audio profiles differ\n", stderr);
    return STATUS_BAD_ARGUMENT;
  }
  if (reference.channels != target.channels) {
    fputs("  The number of channels of audio profiles differ\n", stderr);
    return STATUS_BAD_ARGUMENT;
  }
  Sample result;
  sample_init(result);
  if (sample_copy(result, target) != STATUS_OK) {
    fputs("  Error initializing the sample data\n", stderr);
    return STATUS_BAD_ARGUMENT;
  }
  size_t n = size_t{1} << rank;
  SynthesisWork w;
  void* block = allocate_work(n, w);
  if (!block) {
    sample_destroy(result);
    return STATUS_NO_MEMORY;
  }
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < result.channels; ++c) {
    float* row = result.data + c * result.stride;
    const float* tgt = target.data + c * target.stride;
    t.divide_by(row, reference.data + c * reference.stride, static_cast<size_t>(result.length));
    for (uint64_t k = 0; k < result.length; ++k)
      if (!std::isfinite(row[k])) row[k] = tgt[k] == 0.0f ? 1.0f : gain_cap;
    magnitude_to_filter(t, w, row, row, rank);
  }
  sample_swap(ir, result);
  sample_destroy(result);
  mem_free_aligned(block);
  return STATUS_OK;
}

Status synthesize_frequency_response(Sample& response, const Sample& profile, unsigned rank) {
  size_t n = size_t{1} << rank;
  SynthesisWork w;
  void* block = allocate_work(n, w);
  if (!block) return STATUS_NO_MEMORY;
  Sample result;
  sample_init(result);
  if (!sample_resize(result, profile.channels, n, n)) {
    mem_free_aligned(block);
    return STATUS_NO_MEMORY;
  }
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < result.channels; ++c)
    magnitude_to_filter(t, w, profile.data + c * profile.stride, result.data + c * result.stride, rank);
  sample_swap(response, result);
  sample_destroy(result);
  mem_free_aligned(block);
  return STATUS_OK;
}
