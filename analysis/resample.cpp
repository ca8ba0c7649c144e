#include "analysis/resample.h"

#include <cmath>

#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

constexpr unsigned kMaxSections = 32;

// Lanczos kernel of width w at x (input-sample units), all float. The
// upsampling paths (width 8) take sin(y x 0.125); downsampling sin(y / w).
float lanczos(float x, float w, bool eighth) {
  if (!(x > -w && x < w)) return 0.0f;
  if (x == 0.0f) return 1.0f;
  float y = static_cast<float>(static_cast<double>(x) * M_PI);
  float inner = eighth ? std::sin(y * 0.125f) : std::sin(y / w);
  return w * std::sin(y) * inner / (y * y);
}

uint64_t gcd(uint64_t a, uint64_t b) {
  while (b != 0) {
    uint64_t r = a % b;
    a = b;
    b = r;
  }
  return a;
}

bool add_ok(uint64_t a, uint64_t b, uint64_t& r) {
  if (a > UINT64_MAX - b) return false;
  r = a + b;
  return true;
}

bool mul_ok(uint64_t a, uint64_t b, uint64_t& r) {
  if (b != 0 && a > UINT64_MAX / b) return false;
  r = a * b;
  return true;
}

// Result rows of `length` values (stride from the floored rule), zeroed, at
// `rate`. False on overflow or allocation failure.
bool allocate_result(Sample& result, uint64_t channels, uint64_t length, uint64_t rate) {
  uint64_t stride = sample_floored_stride(length), total;
  if (stride == 0 || !mul_ok(stride, channels, total) || total > SIZE_MAX / sizeof(float)) return false;
  if (!sample_allocate(result, channels, length, length)) return false;
  result.sample_rate = rate;
  return true;
}

float* allocate_kernel(uint64_t count) {
  if (count > SIZE_MAX / sizeof(float) - 4) return nullptr;
  return static_cast<float*>(mem_alloc_aligned(static_cast<size_t>(count) * sizeof(float), 16));
}

// Shifts every row left by `shift` and sets the final length.
void shift_rows(Sample& result, uint64_t accumulated, uint64_t shift, uint64_t final_length) {
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < result.channels; ++c) {
    float* row = result.data + c * result.stride;
    t.move_floats(row, row + shift, static_cast<size_t>(accumulated - shift));
    t.fill_zero(row + accumulated - shift, static_cast<size_t>(shift));
  }
  result.length = final_length;
}

Status upsample_integer(const Sample& src, Sample& result, uint64_t target_rate) {
  uint64_t l = target_rate / src.sample_rate, n = src.length;
  uint64_t q, ln, acc;
  if (!mul_ok(l, 16, q) || !add_ok(q, 4, q) || !mul_ok(l, n, ln) || !add_ok(ln, q, acc)) return STATUS_NO_MEMORY;
  float* kernel = allocate_kernel(q);
  if (!kernel) return STATUS_NO_MEMORY;
  if (!allocate_result(result, src.channels, acc, target_rate)) {
    mem_free_aligned(kernel);
    return STATUS_NO_MEMORY;
  }
  float inv = 1.0f / static_cast<float>(l);
  int64_t centre = static_cast<int64_t>(8 * l + 1);
  for (uint64_t i = 0; i < q; ++i)
    kernel[i] = lanczos(static_cast<float>(static_cast<int64_t>(i) - centre) * inv, 8.0f, true);
  auto madd = dsp().multiply_add;  // fetched once: the scatter calls it per input sample
  for (uint64_t c = 0; c < src.channels; ++c) {
    const float* in = src.data + c * src.stride;
    float* row = result.data + c * result.stride;
    for (uint64_t k = 0; k < n; ++k) madd(row + k * l, kernel, static_cast<size_t>(q), in[k]);
  }
  mem_free_aligned(kernel);
  shift_rows(result, acc, 8 * l + 1, ln + 1);
  return STATUS_OK;
}

Status upsample_rational(const Sample& src, Sample& result, uint64_t target_rate) {
  uint64_t g = gcd(target_rate, src.sample_rate);
  uint64_t l = target_rate / g, m = src.sample_rate / g, n = src.length;
  float e = static_cast<float>(l) / static_cast<float>(m);
  uint64_t f = static_cast<uint64_t>(8.0f * e);
  uint64_t q = f % 2 == 0 ? 2 * f + 4 : 2 * f + 6;
  uint64_t reported = static_cast<uint64_t>(static_cast<float>(n) * e) + q;
  // The float length can fall short of the last scatter for long inputs;
  // size the accumulation from the exact largest index written.
  uint64_t acc = reported;
  for (uint64_t j = 0; j < m && j < n; ++j) {
    uint64_t steps = (n - 1 - j) / m, last;
    if (!mul_ok(steps, l, last) || !add_ok(last, static_cast<uint64_t>(static_cast<float>(j) * e) + q, last))
      return STATUS_NO_MEMORY;
    if (last > acc) acc = last;
  }
  float* kernel = allocate_kernel(q);
  if (!kernel) return STATUS_NO_MEMORY;
  if (!allocate_result(result, src.channels, acc, target_rate)) {
    mem_free_aligned(kernel);
    return STATUS_NO_MEMORY;
  }
  float ratio = static_cast<float>(m) / static_cast<float>(l);
  auto madd = dsp().multiply_add;  // fetched once: the scatter calls it per input sample
  for (uint64_t c = 0; c < src.channels; ++c) {
    const float* in = src.data + c * src.stride;
    float* row = result.data + c * result.stride;
    for (uint64_t j = 0; j < m && j < n; ++j) {
      float je = static_cast<float>(j) * e;
      uint64_t pos = static_cast<uint64_t>(je);
      float u = je - static_cast<float>(pos);
      for (uint64_t k = 0; k < q; ++k)
        kernel[k] = lanczos(ratio * (static_cast<float>(static_cast<int64_t>(k) - static_cast<int64_t>(f) - 1) - u),
                            8.0f, true);
      for (uint64_t index = j; index < n; index += m, pos += l) madd(row + pos, kernel, static_cast<size_t>(q), in[index]);
    }
  }
  mem_free_aligned(kernel);
  shift_rows(result, acc, f + 1, reported - 2 * f - 3);
  return STATUS_OK;
}

Status downsample_integer(const Sample& filtered, Sample& result, uint64_t target_rate) {
  uint64_t m = filtered.sample_rate / target_rate;
  uint64_t length = filtered.length / m;
  if (!allocate_result(result, filtered.channels, length, target_rate)) return STATUS_NO_MEMORY;
  for (uint64_t c = 0; c < filtered.channels; ++c) {
    const float* in = filtered.data + c * filtered.stride;
    float* row = result.data + c * result.stride;
    for (uint64_t k = 0; k < length; ++k) row[k] = in[k * m];
  }
  return STATUS_OK;
}

Status downsample_rational(const Sample& filtered, Sample& result, uint64_t target_rate) {
  uint64_t g = gcd(target_rate, filtered.sample_rate);
  uint64_t l = target_rate / g, m = filtered.sample_rate / g, n = filtered.length;
  float e = static_cast<float>(m) / static_cast<float>(l);
  float w = std::trunc(8.0f * e);
  float fl = static_cast<float>(l), fm = static_cast<float>(m);
  uint64_t f = static_cast<uint64_t>(e + 18.0f + 1.0f);
  uint64_t q = (f + 1 + 3) & ~uint64_t{3};
  uint64_t reported = q + static_cast<uint64_t>(static_cast<float>(n) * fl / fm);
  uint64_t acc = reported;
  for (uint64_t j = 0; j < m && j < n; ++j) {
    uint64_t steps = (n - 1 - j) / m, last;
    uint64_t v = static_cast<uint64_t>(static_cast<float>(j) * fl / fm);
    if (!mul_ok(steps, l, last) || !add_ok(last, v + q, last)) return STATUS_NO_MEMORY;
    if (last > acc) acc = last;
  }
  float* kernel = allocate_kernel(q);
  if (!kernel) return STATUS_NO_MEMORY;
  if (!allocate_result(result, filtered.channels, acc, target_rate)) {
    mem_free_aligned(kernel);
    return STATUS_NO_MEMORY;
  }
  auto madd = dsp().multiply_add;
  for (uint64_t c = 0; c < filtered.channels; ++c) {
    const float* in = filtered.data + c * filtered.stride;
    float* row = result.data + c * result.stride;
    for (uint64_t j = 0; j < m && j < n; ++j) {
      float x = static_cast<float>(j) * fl / fm;
      uint64_t pos = static_cast<uint64_t>(x);
      float r = x - static_cast<float>(pos);
      for (uint64_t k = 0; k < q; ++k)
        kernel[k] = lanczos((static_cast<float>(static_cast<int64_t>(k) - 9) - r) * e, w, false);
      for (uint64_t index = j; index < n; index += m, pos += l) madd(row + pos, kernel, static_cast<size_t>(q), in[index]);
    }
  }
  mem_free_aligned(kernel);
  shift_rows(result, acc, 9, reported - f);
  return STATUS_OK;
}

// Anti-alias low-pass: the square of a four-section prototype whose poles
// are the order-8 Butterworth angles with their real parts divided by
// 1 + shape, each section mapped by the bilinear transform prewarped at fc.
unsigned design_lowpass(BiquadSection* sections, double fc, double rate) {
  const double a = 1.0 + 0.75;
  const unsigned order = 4, prototype = 2 * order;
  const double gain = 1.0;
  double kk = 1.0 / std::tan(M_PI * fc / rate);
  unsigned count = 0;
  for (unsigned pass = 0; pass < 2; ++pass) {
    for (unsigned k = 0; k < prototype / 2 && count < kMaxSections; ++k) {
      double theta = (2.0 * k + 1.0) * M_PI / (2.0 * prototype);
      double s = std::sin(static_cast<float>(theta));
      double c = std::sqrt(1.0 - s * s);
      double b = s * s + c * c / (a * a);
      double p = (pass == 0 && k == 0) ? std::sqrt(gain) : 1.0, qn = 0.0, rn = 0.0;
      double d = 1.0, e = 2.0 * c / (a * b), f = 1.0 / b;
      double v = 1.0 / (d + e * kk + f * kk * kk);
      BiquadSection& sec = sections[count++];
      sec.b0 = static_cast<float>((p + qn * kk + rn * kk * kk) * v);
      sec.b1 = static_cast<float>(2.0 * (p - rn * kk * kk) * v);
      sec.b2 = static_cast<float>((p - qn * kk + rn * kk * kk) * v);
      sec.a1 = static_cast<float>(2.0 * (f * kk * kk - d) * v);
      sec.a2 = static_cast<float>((e * kk - f * kk * kk - d) * v);
      sec.z0 = sec.z1 = 0.0f;
    }
  }
  return count;
}

// Runs the cascade in groups of 8, 4, 2 and 1 sections, the first group from
// src to dst and the others in place.
void run_cascade(const DspTable& t, BiquadSection* sections, unsigned count, float* dst, const float* src, size_t n) {
  if (count == 0) {
    t.copy_floats(dst, src, n);
    return;
  }
  const float* from = src;
  while (count > 0) {
    unsigned step = count >= 8 ? 8 : count >= 4 ? 4 : count >= 2 ? 2 : 1;
    auto fn = step == 8 ? t.biquad_8 : step == 4 ? t.biquad_4 : step == 2 ? t.biquad_2 : t.biquad_1;
    fn(sections, dst, from, n);
    from = dst;
    sections += step;
    count -= step;
  }
}

Status downsample(const Sample& src, Sample& result, uint64_t target_rate) {
  double s = static_cast<double>(src.sample_rate);
  double fc = 0.475 * static_cast<double>(target_rate);
  if (fc < 10.0) fc = 10.0;
  if (fc > 24000.0) fc = 24000.0;
  if (!(fc < 0.49 * s)) fc = 0.49 * s;
  BiquadSection* sections = static_cast<BiquadSection*>(mem_alloc_aligned(kMaxSections * sizeof(BiquadSection), 16));
  if (!sections) return STATUS_NO_MEMORY;
  unsigned count = design_lowpass(sections, fc, s);
  Sample filtered;
  sample_init(filtered);
  if (!allocate_result(filtered, src.channels, src.length, src.sample_rate)) {
    mem_free_aligned(sections);
    return STATUS_NO_MEMORY;
  }
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < src.channels; ++c) {
    for (unsigned i = 0; i < count; ++i) sections[i].z0 = sections[i].z1 = 0.0f;
    run_cascade(t, sections, count, filtered.data + c * filtered.stride, src.data + c * src.stride,
                static_cast<size_t>(src.length));
  }
  mem_free_aligned(sections);
  Status status = src.sample_rate % target_rate == 0 ? downsample_integer(filtered, result, target_rate)
                                                      : downsample_rational(filtered, result, target_rate);
  sample_destroy(filtered);
  return status;
}

}  // namespace

Status resample(Sample& audio, uint64_t target_rate) {
  if (audio.channels == 0) return STATUS_INVALID;
  if (audio.sample_rate == 0 || target_rate == 0) return STATUS_BAD_ARGUMENT;
  if (audio.sample_rate == target_rate) return STATUS_OK;
  if (!audio.data) return STATUS_INVALID;
  Sample result;
  sample_init(result);
  Status status;
  if (audio.sample_rate < target_rate)
    status = target_rate % audio.sample_rate == 0 ? upsample_integer(audio, result, target_rate)
                                                  : upsample_rational(audio, result, target_rate);
  else
    status = downsample(audio, result, target_rate);
  if (status != STATUS_OK) {
    sample_destroy(result);
    return status;
  }
  sample_swap(audio, result);
  sample_destroy(result);
  return STATUS_OK;
}
