#include "analysis/mix.h"

#include "analysis/convolver.h"
#include "dsp/dsp.h"
#include "runtime/alloc.h"

Status convolve_mix(Sample& output, const Sample& input, const Sample& ir, int64_t latency, float dry, float wet) {
  uint64_t b = input.length;
  uint64_t m = ir.length;
  uint64_t shift = latency >= 1 ? static_cast<uint64_t>(latency) : static_cast<uint64_t>(-latency);
  if (b > UINT64_MAX - m || b + m > UINT64_MAX - shift) return STATUS_NO_MEMORY;
  uint64_t total;
  if (latency >= 1)
    total = b + shift > b + m ? b + shift : b + m;
  else
    total = b + m + shift;
  Sample result;
  sample_init(result);
  if (!sample_allocate(result, input.channels, total, total)) return STATUS_NO_MEMORY;
  if (b + m > SIZE_MAX / sizeof(float) - 1) {
    sample_destroy(result);
    return STATUS_NO_MEMORY;
  }
  size_t temp_length = static_cast<size_t>(b + m);
  float* temporary = static_cast<float*>(mem_alloc_aligned((temp_length ? temp_length : 1) * sizeof(float), 16));
  if (!temporary) {
    sample_destroy(result);
    return STATUS_NO_MEMORY;
  }
  const DspTable& t = dsp();
  Convolver conv;
  convolver_clear(conv);
  for (uint64_t c = 0; c < input.channels; ++c) {
    const float* in = input.data + c * input.stride;
    float* out = result.data + c * result.stride;
    if (!convolver_init(conv, ir.data + c * ir.stride, m, 16, 0.0f)) {
      mem_free_aligned(temporary);
      sample_destroy(result);
      return STATUS_NO_MEMORY;
    }
    t.fill_zero(temporary, temp_length);
    convolver_process(conv, temporary, in, b);
    convolver_process(conv, temporary + b, temporary + b, m);
    uint64_t dry_at = latency >= 1 ? shift : 0;
    uint64_t wet_at = latency >= 1 ? 0 : shift;
    t.scale_copy(out + dry_at, in, static_cast<size_t>(b), dry);
    t.multiply_add(out + wet_at, temporary, temp_length, wet);
  }
  convolver_destroy(conv);
  mem_free_aligned(temporary);
  sample_swap(output, result);
  sample_destroy(result);
  return STATUS_OK;
}

Status normalize(Sample& audio, int mode, float target) {
  if (mode == NORMALIZE_NONE || !audio.data) return STATUS_OK;
  const DspTable& t = dsp();
  float peak = 0.0f;
  for (uint64_t c = 0; c < audio.channels; ++c) {
    float p = t.peak_abs(audio.data + c * audio.stride, static_cast<size_t>(audio.length));
    if (p > peak) peak = p;
  }
  if (static_cast<double>(peak) < 0.000001) return STATUS_OK;
  if (mode == NORMALIZE_ABOVE && target >= peak) return STATUS_OK;
  if (mode == NORMALIZE_BELOW && target <= peak) return STATUS_OK;
  float k = target / peak;
  for (uint64_t c = 0; c < audio.channels; ++c) t.scale(audio.data + c * audio.stride, static_cast<size_t>(audio.length), k);
  return STATUS_OK;
}

void compensate_latency(Sample& audio, int64_t latency) {
  if (latency <= 0 || !audio.data) return;
  uint64_t k = static_cast<uint64_t>(latency) < audio.length ? static_cast<uint64_t>(latency) : audio.length;
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < audio.channels; ++c) {
    float* row = audio.data + c * audio.stride;
    t.move_floats(row, row + k, static_cast<size_t>(audio.length - k));
    t.fill_zero(row + audio.length - k, static_cast<size_t>(k));
  }
  audio.length -= k;
}
