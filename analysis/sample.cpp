#include "analysis/sample.h"

#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

// channels * stride floats, or null when the byte count overflows or memory
// runs out. A zero-sized request still returns a distinct block so that a
// resize to capacity 0 succeeds.
// With `zeroed` the block comes from mem_calloc, which clears only what is
// not already zero (fresh pages from the system are).
float* allocate_rows(uint64_t channels, uint64_t stride, bool zeroed = false) {
  if (stride != 0 && channels > UINT64_MAX / stride) return nullptr;
  uint64_t count = channels * stride;
  if (count > SIZE_MAX / sizeof(float)) return nullptr;
  size_t bytes = static_cast<size_t>(count) * sizeof(float);
  if (bytes == 0) bytes = 1;
  return static_cast<float*>(zeroed ? mem_calloc(bytes, 1) : mem_alloc(bytes));
}

}  // namespace

uint64_t sample_floored_stride(uint64_t size) {
  if (size <= 16) return 16;
  if (size > UINT64_MAX - 15) return 0;
  return (size + 15) & ~uint64_t{15};
}

void sample_init(Sample& s) {
  s.data = nullptr;
  s.sample_rate = 0;
  s.length = 0;
  s.stride = 0;
  s.channels = 0;
}

void sample_destroy(Sample& s) {
  if (s.data) mem_free(s.data);
  s.data = nullptr;
  s.length = 0;
  s.stride = 0;
  s.channels = 0;
}

namespace {

bool allocate_sample(Sample& s, uint64_t channels, uint64_t capacity, uint64_t length, bool zeroed) {
  if (channels == 0 || length > capacity) return false;
  uint64_t stride = sample_floored_stride(capacity);
  if (stride == 0) return false;
  float* data = allocate_rows(channels, stride, zeroed);
  if (!data) return false;
  if (s.data) mem_free(s.data);
  s.data = data;
  s.length = length;
  s.stride = stride;
  s.channels = channels;
  return true;
}

}  // namespace

bool sample_allocate(Sample& s, uint64_t channels, uint64_t capacity, uint64_t length) {
  return allocate_sample(s, channels, capacity, length, true);
}

bool sample_allocate_unfilled(Sample& s, uint64_t channels, uint64_t capacity, uint64_t length) {
  return allocate_sample(s, channels, capacity, length, false);
}

Status sample_copy(Sample& destination, const Sample& source) {
  if (source.channels == 0 || source.length > source.stride || !source.data) return STATUS_INVALID;
  uint64_t stride = sample_floored_stride(source.length);
  float* data = stride ? allocate_rows(source.channels, stride) : nullptr;
  if (!data) return STATUS_NO_MEMORY;
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < source.channels; ++c) {
    float* row = data + c * stride;
    t.copy_floats(row, source.data + c * source.stride, static_cast<size_t>(source.length));
    t.fill_zero(row + source.length, static_cast<size_t>(stride - source.length));
  }
  if (destination.data) mem_free(destination.data);
  destination.data = data;
  destination.stride = stride;
  destination.sample_rate = source.sample_rate;
  destination.length = source.length;
  destination.channels = source.channels;
  return STATUS_OK;
}

bool sample_resize(Sample& s, uint64_t channels, uint64_t capacity, uint64_t length) {
  if (channels == 0) return false;
  if (capacity > UINT64_MAX - 15) return false;
  uint64_t stride = (capacity + 15) & ~uint64_t{15};
  float* data = allocate_rows(channels, stride);
  if (!data) return false;
  const DspTable& t = dsp();
  if (s.data) {
    uint64_t keep = stride < s.stride ? stride : s.stride;
    for (uint64_t c = 0; c < channels; ++c) {
      float* row = data + c * stride;
      if (c < s.channels) {
        t.copy_floats(row, s.data + c * s.stride, static_cast<size_t>(keep));
        t.fill_zero(row + keep, static_cast<size_t>(stride - keep));
      } else {
        t.fill_zero(row, static_cast<size_t>(stride));
      }
    }
    mem_free(s.data);
  } else {
    t.fill_zero(data, static_cast<size_t>(channels * stride));
  }
  s.data = data;
  s.length = length;
  s.stride = stride;
  s.channels = channels;
  return true;
}

void sample_swap(Sample& a, Sample& b) {
  Sample t = a;
  a = b;
  b = t;
}
