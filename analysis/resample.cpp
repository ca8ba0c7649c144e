#include "analysis/resample.h"

#include <cmath>
#include <numeric>

#include "analysis/resample_polyphase.h"
#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

constexpr unsigned kMaxSections = kResampleMaxSections;
// Input samples filtered per step of integer downsampling (large, since
// every cascade call pays a fixed pipeline start and drain).
constexpr uint64_t kChunk = 16384;

// Lanczos kernel of width w at x (input-sample units), all float. The
// upsampling paths (width 8) take sin(y x 0.125); downsampling sin(y / w).
float lanczos(float x, float w, bool eighth) {
  if (!(x > -w && x < w)) return 0.0f;
  if (x == 0.0f) return 1.0f;
  float y = static_cast<float>(static_cast<double>(x) * M_PI);
  float inner = eighth ? std::sin(y * 0.125f) : std::sin(y / w);
  return w * std::sin(y) * inner / (y * y);
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

// Result rows of `length` values (stride from the floored rule) at `rate`,
// left unwritten: each path writes every value of every row, padding
// included, so the rows are touched once instead of zeroed first. False on
// overflow or allocation failure.
bool allocate_result(Sample& result, uint64_t channels, uint64_t length, uint64_t rate) {
  if (!sample_allocate_unfilled(result, channels, length, length)) return false;
  result.sample_rate = rate;
  return true;
}

template <class T>
T* allocate_array(uint64_t count) {
  if (count > SIZE_MAX / sizeof(T) - 64) return nullptr;
  return static_cast<T*>(mem_alloc_aligned(static_cast<size_t>(count == 0 ? 1 : count) * sizeof(T), 16));
}

using PathKind = ResamplePath;
using Plan = ResamplePlan;

// Kernel row and offset of phase j, in the float arithmetic of each path.
void phase_kernel(const Plan& p, uint64_t j, float* kernel, uint64_t& offset) {
  switch (p.kind) {
    case PathKind::integer_up: {
      int64_t centre = static_cast<int64_t>(8 * p.l + 1);
      for (uint64_t i = 0; i < p.q; ++i)
        kernel[i] = lanczos(static_cast<float>(static_cast<int64_t>(i) - centre) * p.step, 8.0f, true);
      offset = 0;
      return;
    }
    case PathKind::rational_up: {
      float je = static_cast<float>(j) * p.e;
      offset = static_cast<uint64_t>(je);
      float u = je - static_cast<float>(offset);
      int64_t centre = static_cast<int64_t>(p.f) + 1;
      for (uint64_t k = 0; k < p.q; ++k)
        kernel[k] = lanczos(p.step * (static_cast<float>(static_cast<int64_t>(k) - centre) - u), 8.0f, true);
      return;
    }
    case PathKind::integer_down:
      offset = 0;
      return;
    case PathKind::rational_down: {
      float x = static_cast<float>(j) * p.fl / p.fm;
      offset = static_cast<uint64_t>(x);
      float r = x - static_cast<float>(offset);
      for (uint64_t k = 0; k < p.q; ++k)
        kernel[k] = lanczos((static_cast<float>(static_cast<int64_t>(k) - 9) - r) * p.e, p.width, false);
      return;
    }
  }
}

// Raises the accumulation length to the exact largest index the scatter
// writes: the float length a rational path reports can fall short of it for
// long inputs. False on overflow.
bool exact_accumulation(Plan& p, uint64_t n) {
  if (p.kind == PathKind::integer_up) return true;
  for (uint64_t j = 0; j < p.m && j < n; ++j) {
    uint64_t steps = (n - 1 - j) / p.m, last, offset;
    if (p.kind == PathKind::rational_up)
      offset = static_cast<uint64_t>(static_cast<float>(j) * p.e);
    else
      offset = static_cast<uint64_t>(static_cast<float>(j) * p.fl / p.fm);
    if (!mul_ok(steps, p.l, last) || !add_ok(last, offset + p.q, last)) return false;
    if (last > p.acc) p.acc = last;
  }
  return true;
}

// Scatter in phase order straight from a whole (filtered) row, for rate
// pairs whose gather tables would be too large.
Status scatter_rows(const Plan& p, const Sample& src, BiquadSection* sections, unsigned count, Sample& result) {
  const DspTable& t = dsp();
  float* kernel = allocate_array<float>(p.q);
  float* filtered = count > 0 ? allocate_array<float>(src.length) : nullptr;
  if (!kernel || (count > 0 && !filtered)) {
    mem_free_aligned(kernel);
    mem_free_aligned(filtered);
    return STATUS_NO_MEMORY;
  }
  auto madd = t.multiply_add;
  uint64_t n = src.length;
  for (uint64_t c = 0; c < src.channels; ++c) {
    const float* in = src.data + c * src.stride;
    if (count > 0) {
      for (unsigned i = 0; i < count; ++i) sections[i].z0 = sections[i].z1 = 0.0f;
      run_cascade(t, sections, count, filtered, in, static_cast<size_t>(n));
      in = filtered;
    }
    float* row = result.data + c * result.stride;
    t.fill_zero(row, static_cast<size_t>(result.stride));
    for (uint64_t j = 0; j < p.m && j < n; ++j) {
      uint64_t pos;
      phase_kernel(p, j, kernel, pos);
      for (uint64_t index = j; index < n; index += p.m, pos += p.l)
        madd(row + pos, kernel, static_cast<size_t>(p.q), in[index]);
    }
    t.move_floats(row, row + p.shift, static_cast<size_t>(p.acc - p.shift));
    t.fill_zero(row + p.acc - p.shift, static_cast<size_t>(p.shift));
  }
  mem_free_aligned(kernel);
  mem_free_aligned(filtered);
  return STATUS_OK;
}

// Per-channel copies of the `count` designed sections with cleared state,
// channel c's at c * count; null when memory runs out (or count is 0).
BiquadSection* channel_sections(const BiquadSection* sections, unsigned count, uint64_t channels) {
  if (count == 0) return nullptr;
  BiquadSection* all = allocate_array<BiquadSection>(channels * count);
  if (!all) return nullptr;
  for (uint64_t c = 0; c < channels; ++c)
    for (unsigned i = 0; i < count; ++i) {
      all[c * count + i] = sections[i];
      all[c * count + i].z0 = all[c * count + i].z1 = 0.0f;
    }
  return all;
}

// Rows of `channels` x `length` floats in one block (each row 16-float
// aligned), with the row pointers in `rows`; null when memory runs out.
float* allocate_rows(uint64_t channels, uint64_t length, float** rows) {
  uint64_t row = (length + 15) & ~uint64_t{15};
  if (channels != 0 && row > UINT64_MAX / channels) return nullptr;
  float* block = allocate_array<float>(channels * row);
  if (block)
    for (uint64_t c = 0; c < channels; ++c) rows[c] = block + c * row;
  return block;
}

// Gathers the kept accumulation values of every row through polyphase
// tables, all channels together; the rows are zero from acc - shift on.
Status gather_rows(const Plan& p, const Sample& src, BiquadSection* sections, unsigned count, Sample& result) {
  const DspTable& t = dsp();
  float* kernels = allocate_array<float>(p.m * p.q);
  uint64_t* offsets = allocate_array<uint64_t>(p.m);
  if (!kernels || !offsets) {
    mem_free_aligned(kernels);
    mem_free_aligned(offsets);
    return STATUS_NO_MEMORY;
  }
  for (uint64_t j = 0; j < p.m; ++j) phase_kernel(p, j, kernels + j * p.q, offsets[j]);
  PolyphaseGather g;
  polyphase_init(g);
  Status st = polyphase_build(g, PolyphaseScatter{p.l, p.m, p.q, kernels, offsets});
  mem_free_aligned(kernels);
  mem_free_aligned(offsets);
  if (st != STATUS_OK) return st;
  uint64_t channels = src.channels;
  float** pointers = allocate_array<float*>(2 * channels);
  float* windows = pointers ? allocate_rows(channels, polyphase_window(g, channels), pointers) : nullptr;
  BiquadSection* states = channel_sections(sections, count, channels);
  RowSource in{};
  if (!windows || (count > 0 && !states) ||
      !row_source_init(in, t, src.data, src.stride, channels, src.length, states, count)) {
    mem_free_aligned(pointers);
    mem_free_aligned(windows);
    mem_free_aligned(states);
    polyphase_release(g);
    return STATUS_NO_MEMORY;
  }
  float** out = pointers + channels;
  for (uint64_t c = 0; c < channels; ++c) out[c] = result.data + c * result.stride;
  polyphase_run(g, in, pointers, p.shift, p.acc, out);
  uint64_t kept = p.acc - p.shift;
  for (uint64_t c = 0; c < channels; ++c) t.fill_zero(out[c] + kept, static_cast<size_t>(result.stride - kept));
  row_source_release(in);
  mem_free_aligned(pointers);
  mem_free_aligned(windows);
  mem_free_aligned(states);
  polyphase_release(g);
  return STATUS_OK;
}

// Runs one interpolating path from `src` (through the cascade when it has
// sections) into a fresh result at `target_rate`.
Status run_plan(Plan& p, const Sample& src, BiquadSection* sections, unsigned count, Sample& result,
                uint64_t target_rate) {
  // Signed input indices of the gather must hold every position.
  if (src.length > (uint64_t{1} << 62) || !exact_accumulation(p, src.length)) return STATUS_NO_MEMORY;
  if (!allocate_result(result, src.channels, p.acc, target_rate)) return STATUS_NO_MEMORY;
  PolyphaseScatter shape{p.l, p.m, p.q, nullptr, nullptr};
  Status st = polyphase_fits(shape) ? gather_rows(p, src, sections, count, result)
                                    : scatter_rows(p, src, sections, count, result);
  if (st != STATUS_OK) return st;
  result.length = p.length;
  return STATUS_OK;
}

// The integer upsampling plan for `length` samples; false when a size
// overflows.
bool integer_up_plan(Plan& p, uint64_t length, uint64_t source_rate, uint64_t target_rate) {
  p = Plan{};
  p.kind = PathKind::integer_up;
  p.l = target_rate / source_rate;
  p.m = 1;
  uint64_t ln;
  if (!mul_ok(p.l, 16, p.q) || !add_ok(p.q, 4, p.q) || !mul_ok(p.l, length, ln) || !add_ok(ln, p.q, p.acc))
    return false;
  p.length = ln + 1;
  p.shift = 8 * p.l + 1;
  p.step = 1.0f / static_cast<float>(p.l);
  return true;
}

Status upsample_integer(const Sample& src, Sample& result, uint64_t target_rate) {
  Plan p;
  if (!integer_up_plan(p, src.length, src.sample_rate, target_rate)) return STATUS_NO_MEMORY;
  return run_plan(p, src, nullptr, 0, result, target_rate);
}

// A rational path's plan with the reduced ratio target/source = l/m.
Plan rational_plan(PathKind kind, uint64_t source_rate, uint64_t target_rate) {
  uint64_t g = std::gcd(target_rate, source_rate);
  Plan p{};
  p.kind = kind;
  p.l = target_rate / g;
  p.m = source_rate / g;
  return p;
}

Plan rational_up_plan(uint64_t length, uint64_t source_rate, uint64_t target_rate) {
  Plan p = rational_plan(PathKind::rational_up, source_rate, target_rate);
  p.e = static_cast<float>(p.l) / static_cast<float>(p.m);
  p.f = static_cast<uint64_t>(8.0f * p.e);
  p.q = p.f % 2 == 0 ? 2 * p.f + 4 : 2 * p.f + 6;
  p.step = static_cast<float>(p.m) / static_cast<float>(p.l);
  p.shift = p.f + 1;
  p.acc = static_cast<uint64_t>(static_cast<float>(length) * p.e) + p.q;
  p.length = p.acc - 2 * p.f - 3;
  return p;
}

Status upsample_rational(const Sample& src, Sample& result, uint64_t target_rate) {
  Plan p = rational_up_plan(src.length, src.sample_rate, target_rate);
  return run_plan(p, src, nullptr, 0, result, target_rate);
}

Plan rational_down_plan(uint64_t length, uint64_t source_rate, uint64_t target_rate) {
  Plan p = rational_plan(PathKind::rational_down, source_rate, target_rate);
  p.e = static_cast<float>(p.m) / static_cast<float>(p.l);
  p.width = std::trunc(8.0f * p.e);
  p.fl = static_cast<float>(p.l);
  p.fm = static_cast<float>(p.m);
  p.f = static_cast<uint64_t>(p.e + 18.0f + 1.0f);
  p.q = (p.f + 1 + 3) & ~uint64_t{3};
  p.shift = 9;
  p.acc = p.q + static_cast<uint64_t>(static_cast<float>(length) * p.fl / p.fm);
  p.length = p.acc - p.f;
  return p;
}

Status downsample_rational(const Sample& src, BiquadSection* sections, unsigned count, Sample& result,
                           uint64_t target_rate) {
  Plan p = rational_down_plan(src.length, src.sample_rate, target_rate);
  return run_plan(p, src, sections, count, result, target_rate);
}

// Every m-th filtered sample, filtering all rows together a chunk at a
// time.
Status downsample_integer(const Sample& src, BiquadSection* sections, unsigned count, Sample& result,
                          uint64_t target_rate) {
  uint64_t m = src.sample_rate / target_rate;
  uint64_t length = src.length / m;
  uint64_t channels = src.channels;
  if (src.length > (uint64_t{1} << 62) || !allocate_result(result, channels, length, target_rate))
    return STATUS_NO_MEMORY;
  const DspTable& t = dsp();
  // The chunk is shared out between the channels, so a row set takes the
  // memory one channel's chunk used to (but never less than 1024 each).
  uint64_t piece = channels > 1 ? kChunk / channels : kChunk;
  if (piece < 1024) piece = 1024;
  float** chunks = allocate_array<float*>(channels);
  float* block = chunks ? allocate_rows(channels, piece, chunks) : nullptr;
  BiquadSection* states = channel_sections(sections, count, channels);
  RowSource in{};
  if (!block || (count > 0 && !states) ||
      !row_source_init(in, t, src.data, src.stride, channels, src.length, states, count)) {
    mem_free_aligned(chunks);
    mem_free_aligned(block);
    mem_free_aligned(states);
    return STATUS_NO_MEMORY;
  }
  uint64_t needed = length == 0 ? 0 : (length - 1) * m + 1;  // later samples are never picked
  uint64_t k = 0;  // next result index, taken from input k * m
  for (uint64_t from = 0; from < needed; from += piece) {
    uint64_t n = needed - from < piece ? needed - from : piece;
    row_source_fill(in, chunks, static_cast<int64_t>(from), static_cast<int64_t>(n));
    uint64_t first = k;
    for (uint64_t c = 0; c < channels; ++c) {
      float* row = result.data + c * result.stride;
      const float* chunk = chunks[c];
      k = first;
      for (uint64_t at = k * m - from; at < n; at += m) row[k++] = chunk[at];
    }
  }
  for (uint64_t c = 0; c < channels; ++c)
    t.fill_zero(result.data + c * result.stride + length, static_cast<size_t>(result.stride - length));
  row_source_release(in);
  mem_free_aligned(chunks);
  mem_free_aligned(block);
  mem_free_aligned(states);
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

// Designs the anti-alias filter at the source rate and runs the matching
// decimating path; the filter is applied to all channels together as the
// path reads them, each channel with its own cleared state.
Status downsample(const Sample& src, Sample& result, uint64_t target_rate) {
  BiquadSection* sections = static_cast<BiquadSection*>(mem_alloc_aligned(kMaxSections * sizeof(BiquadSection), 16));
  if (!sections) return STATUS_NO_MEMORY;
  unsigned count = resample_lowpass(sections, src.sample_rate, target_rate);
  Status status = src.sample_rate % target_rate == 0 ? downsample_integer(src, sections, count, result, target_rate)
                                                      : downsample_rational(src, sections, count, result, target_rate);
  mem_free_aligned(sections);
  return status;
}

}  // namespace

unsigned resample_lowpass(BiquadSection* sections, uint64_t source_rate, uint64_t target_rate) {
  double s = static_cast<double>(source_rate);
  double fc = 0.475 * static_cast<double>(target_rate);
  if (fc < 10.0) fc = 10.0;
  if (fc > 24000.0) fc = 24000.0;
  if (!(fc < 0.49 * s)) fc = 0.49 * s;
  return design_lowpass(sections, fc, s);
}

bool resample_plan(ResamplePlan& p, uint64_t length, uint64_t source_rate, uint64_t target_rate) {
  p = ResamplePlan{};
  if (source_rate == 0 || target_rate == 0 || source_rate == target_rate) return false;
  if (source_rate > target_rate && source_rate % target_rate == 0) {
    p.kind = ResamplePath::integer_down;
    p.l = 1;
    p.m = source_rate / target_rate;
    p.length = length / p.m;
    return length <= (uint64_t{1} << 62);
  }
  if (source_rate < target_rate && target_rate % source_rate == 0) {
    if (!integer_up_plan(p, length, source_rate, target_rate)) return false;
  } else {
    p = source_rate < target_rate ? rational_up_plan(length, source_rate, target_rate)
                                  : rational_down_plan(length, source_rate, target_rate);
  }
  return length <= (uint64_t{1} << 62) && exact_accumulation(p, length);
}

void resample_phase_kernel(const ResamplePlan& p, uint64_t j, float* kernel, uint64_t& offset) {
  phase_kernel(p, j, kernel, offset);
}

uint64_t resample_length(uint64_t length, uint64_t source_rate, uint64_t target_rate) {
  if (source_rate == 0 || target_rate == 0 || source_rate == target_rate) return length;
  if (source_rate < target_rate) {
    if (target_rate % source_rate != 0) return rational_up_plan(length, source_rate, target_rate).length;
    Plan p;
    return integer_up_plan(p, length, source_rate, target_rate) ? p.length : UINT64_MAX;
  }
  if (source_rate % target_rate == 0) return length / (source_rate / target_rate);
  return rational_down_plan(length, source_rate, target_rate).length;
}

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
