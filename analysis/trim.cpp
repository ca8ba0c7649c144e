#include "analysis/trim.h"

#include "dsp/dsp.h"

namespace {

// trunc(percent x 0.01 x length) in float arithmetic; percent already clamped.
uint64_t percent_of(float percent, uint64_t length) {
  float v = percent * 0.01f * static_cast<float>(length);
  return v > 0.0f ? static_cast<uint64_t>(v) : 0;
}

float clamp_cut(float v) {
  if (!(v > 0.0f)) return 0.0f;
  return v > 100.0f ? 100.0f : v;
}

float floor_fade(float v) { return v > 0.0f ? v : 0.0f; }

}  // namespace

void fade_in(float* dst, const float* src, uint64_t f, uint64_t total) {
  if (f == 0 || total == 0) return;
  uint64_t b = f < total ? f : total;
  float inv = 1.0f / static_cast<float>(f);
  for (uint64_t i = 0; i < b; ++i) dst[i] = static_cast<float>(i) * src[i] * inv;
}

void fade_out(float* dst, const float* src, uint64_t f, uint64_t total) {
  if (f == 0 || total == 0) return;
  uint64_t b = f < total ? f : total;
  uint64_t s = f <= total ? total - f : 0;
  float inv = 1.0f / static_cast<float>(f);
  for (uint64_t j = 0; j < b; ++j) dst[s + j] = static_cast<float>(b - 1 - j) * inv * src[s + j];
}

Status trim_ir(Sample& trimmed, int64_t& latency, const Sample& raw, const TrimSettings& settings) {
  return trim_ir_from(trimmed, latency, raw, settings, raw.length / 2);
}

Status trim_ir_from(Sample& trimmed, int64_t& latency, const Sample& raw, const TrimSettings& settings,
                    uint64_t reference_tap) {
  uint64_t length = raw.length;
  uint64_t head = percent_of(clamp_cut(settings.head_cut), length);
  uint64_t tail = percent_of(clamp_cut(settings.tail_cut), length);
  if (head > length) head = length;
  uint64_t m = head + tail < length ? length - head - tail : 0;
  Sample result;
  sample_init(result);
  if (!sample_allocate(result, raw.channels, m, m)) return STATUS_NO_MEMORY;
  if (m > 0) {
    const DspTable& t = dsp();
    uint64_t fi = percent_of(floor_fade(settings.fade_in), length);
    uint64_t fo = percent_of(floor_fade(settings.fade_out), length);
    for (uint64_t c = 0; c < raw.channels; ++c) {
      float* row = result.data + c * result.stride;
      t.copy_floats(row, raw.data + c * raw.stride + head, static_cast<size_t>(m));
      fade_in(row, row, fi, m);
      fade_out(row, row, fo, m);
    }
  }
  result.sample_rate = raw.sample_rate;
  sample_swap(trimmed, result);
  sample_destroy(result);
  latency = static_cast<int64_t>(reference_tap) - static_cast<int64_t>(head);
  return STATUS_OK;
}
