#include "analysis/resample_stream.h"

#include <soxr.h>

#include <algorithm>
#include <cstring>

#include "analysis/resample.h"
#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

enum Mode : int { kIdle = 0, kPass, kDecimate, kGather, kScatter, kSoxr, kDone = -1 };

// Input frames taken in per step: the filtered input kept between calls
// grows by at most this much beyond what the filter spans.
constexpr uint64_t kChunk = 8192;

template <class T>
T* allocate_array(uint64_t count) {
  if (count > SIZE_MAX / sizeof(T) / 2) return nullptr;
  return static_cast<T*>(mem_alloc_aligned(static_cast<size_t>(count == 0 ? 1 : count) * sizeof(T), 64));
}

// `out` made to hold `frames` frames of every channel from frame `keep` on,
// the first `keep` kept; allocated only when too small.
bool ensure_out(const ResampleStream& s, Sample& out, uint64_t keep, uint64_t frames) {
  const uint64_t need = keep + frames;
  if (out.data && out.channels == s.channels && out.stride >= need) return true;
  if (keep == 0 || out.channels != s.channels || !out.data) {
    Sample fresh;
    sample_init(fresh);
    if (!sample_allocate_unfilled(fresh, s.channels, std::max<uint64_t>(need, 16), 0)) return false;
    sample_swap(out, fresh);
    sample_destroy(fresh);
    return true;
  }
  const uint64_t grown = std::max(need, 2 * out.stride);
  return sample_resize(out, s.channels, grown, keep);
}

// Accumulation index one past the last output the gather can give once
// inputs [0, have) are in: whole periods whose inputs are all there, or
// everything when the input is complete.
uint64_t gather_ready(const ResampleStream& s, uint64_t have) {
  const uint64_t end = s.plan.shift + s.length;
  if (have >= s.input_length) return end;
  const int64_t x = static_cast<int64_t>(have) - s.gather.hi;
  if (x < 0) return s.plan.shift;
  const uint64_t periods = static_cast<uint64_t>(x) / s.gather.mp + 1;
  if (periods > UINT64_MAX / s.gather.lp) return end;
  return std::clamp(periods * s.gather.lp, s.plan.shift, end);
}

// Accumulation index one past the last value the scatter has completed
// once inputs [0, have) are in: later inputs land at or after the landing
// point of input `have` (landing points only grow with the index).
uint64_t scatter_ready(const ResampleStream& s, uint64_t have) {
  const uint64_t end = s.plan.shift + s.length;
  if (have >= s.input_length) return end;
  const uint64_t pos = s.offsets[have % s.plan.m] + (have / s.plan.m) * s.plan.l;
  return std::clamp(pos, s.plan.shift, end);
}

// Outputs of the decimation among inputs [from, to).
uint64_t picked(const ResampleStream& s, uint64_t from, uint64_t to) {
  auto below = [&](uint64_t i) { return std::min(s.length, (i + s.plan.m - 1) / s.plan.m); };
  return below(to) - below(from);
}

// Appends inputs [at, at + n) of `in` to the held input, through the
// cascade when there is one.
void take_input(ResampleStream& s, const Sample& in, uint64_t at, uint64_t n, float* const* rows) {
  const DspTable& t = dsp();
  const float** from = const_cast<const float**>(s.pointers + 2 * s.channels);
  float** to = s.pointers + 3 * s.channels;
  for (uint64_t c = 0; c < s.channels; ++c) {
    from[c] = in.data + c * in.stride + at;
    to[c] = rows[c];
  }
  if (s.count > 0)
    t.biquad_rows(s.sections, s.count, to, from, static_cast<size_t>(s.channels), static_cast<size_t>(n));
  else
    for (uint64_t c = 0; c < s.channels; ++c) t.copy_floats(to[c], from[c], static_cast<size_t>(n));
}

// Writes accumulation values [from, to) of every channel to out from frame
// `at` on, from the held input; values at or past the accumulation length
// are zeros.
void gather_out(ResampleStream& s, uint64_t from, uint64_t to, Sample& out, uint64_t at) {
  if (from >= to) return;
  const DspTable& t = dsp();
  float** outs = s.pointers + s.channels;
  for (uint64_t c = 0; c < s.channels; ++c) outs[c] = out.data + c * out.stride + at;
  const uint64_t computed = std::min(to, s.plan.acc);
  if (from < computed) {
    // The held input starts at a whole period, so the tables apply to it as
    // to a row of its own whose period 0 is period base / mp.
    const int64_t period = s.base / static_cast<int64_t>(s.gather.mp);
    const uint64_t shift = static_cast<uint64_t>(static_cast<int64_t>(from) - period * static_cast<int64_t>(s.gather.lp));
    RowSource src{&t, s.buffer, s.capacity, s.channels, static_cast<int64_t>(s.held), 0, nullptr, 0,
                  const_cast<const float**>(s.pointers + 2 * s.channels), s.pointers + 3 * s.channels};
    polyphase_run(s.gather, src, s.pointers, shift, shift + (computed - from), outs);
  }
  if (computed < to) {
    const uint64_t z = computed > from ? computed : from;
    for (uint64_t c = 0; c < s.channels; ++c) t.fill_zero(outs[c] + (z - from), static_cast<size_t>(to - z));
  }
}

// Writes accumulation values [from, to) from the scatter's sums, which
// start at accumulation index base.
void scatter_out(ResampleStream& s, uint64_t from, uint64_t to, Sample& out, uint64_t at) {
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < s.channels; ++c) {
    float* dst = out.data + c * out.stride + at;
    const uint64_t computed = std::min(to, s.plan.acc);
    if (from < computed)
      t.copy_floats(dst, s.buffer + c * s.capacity + (from - static_cast<uint64_t>(s.base)),
                    static_cast<size_t>(computed - from));
    const uint64_t z = std::max(computed, from);
    if (z < to) t.fill_zero(dst + (z - from), static_cast<size_t>(to - z));
  }
}

// Drops held input no output still needs: everything before the period of
// the next output, less the periods its taps reach back. Called when the
// next chunk would not fit, so the rows move rarely.
void drop_input(ResampleStream& s) {
  const int64_t mp = static_cast<int64_t>(s.gather.mp);
  const int64_t back = s.gather.lo < 0 ? (-s.gather.lo + mp - 1) / mp : 0;
  const int64_t next = static_cast<int64_t>((s.plan.shift + s.emitted) / s.gather.lp) - back;
  const int64_t limit = static_cast<int64_t>(s.received) / mp;
  const int64_t base = std::min(next, limit) * mp;
  if (base <= s.base) return;
  const uint64_t drop = static_cast<uint64_t>(base - s.base);
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < s.channels; ++c)
    t.move_floats(s.buffer + c * s.capacity, s.buffer + c * s.capacity + drop, static_cast<size_t>(s.held - drop));
  s.held -= drop;
  s.base = base;
}

// Scatters inputs [at, at + n) of `in`, filtered first when there is a
// cascade, into the running sums (kept from accumulation index base).
void scatter_input(ResampleStream& s, const Sample& in, uint64_t at, uint64_t n) {
  const DspTable& t = dsp();
  float** rows = s.pointers;
  float* filtered = s.windows;
  for (uint64_t c = 0; c < s.channels; ++c) rows[c] = filtered + c * kChunk;
  take_input(s, in, at, n, rows);
  const ResamplePlan& p = s.plan;
  for (uint64_t c = 0; c < s.channels; ++c) {
    float* sums = s.buffer + c * s.capacity;
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t index = s.received + i, j = index % p.m;
      const uint64_t pos = s.offsets[j] + (index / p.m) * p.l - static_cast<uint64_t>(s.base);
      t.multiply_add(sums + pos, s.kernels + j * p.q, static_cast<size_t>(p.q), rows[c][i]);
    }
  }
}

// Moves the scatter's sums down to the next output still to give (or the
// first value a later input reaches), with zeros after them; called when
// the next chunk would reach past the rows.
void drop_sums(ResampleStream& s) {
  uint64_t next = s.plan.shift + s.emitted;
  if (s.received < s.input_length)
    next = std::min(next, s.offsets[s.received % s.plan.m] + (s.received / s.plan.m) * s.plan.l);
  if (next <= static_cast<uint64_t>(s.base)) return;
  const uint64_t drop = std::min(next - static_cast<uint64_t>(s.base), s.capacity);
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < s.channels; ++c) {
    float* sums = s.buffer + c * s.capacity;
    t.move_floats(sums, sums + drop, static_cast<size_t>(s.capacity - drop));
    t.fill_zero(sums + s.capacity - drop, static_cast<size_t>(drop));
  }
  s.base += static_cast<int64_t>(drop);
}

Status soxr_out(ResampleStream& s, const Sample* in, Sample& out, uint64_t& produced) {
  soxr_t r = static_cast<soxr_t>(s.soxr);
  const float** from = const_cast<const float**>(s.pointers + 2 * s.channels);
  float** to = s.pointers + 3 * s.channels;
  for (uint64_t c = 0; c < s.channels; ++c) to[c] = s.buffer + c * s.capacity;
  uint64_t at = 0;
  for (;;) {
    size_t used = 0, made = 0;
    soxr_error_t error;
    if (in) {
      if (at >= in->length) break;
      for (uint64_t c = 0; c < s.channels; ++c) from[c] = in->data + c * in->stride + at;
      error = soxr_process(r, from, static_cast<size_t>(in->length - at), &used, to, static_cast<size_t>(s.capacity),
                           &made);
    } else {
      error = soxr_process(r, nullptr, 0, nullptr, to, static_cast<size_t>(s.capacity), &made);
    }
    if (error) return STATUS_SYSTEM;
    at += used;
    const uint64_t keep = std::min<uint64_t>(made, s.length - s.emitted);
    if (keep > 0) {
      if (!ensure_out(s, out, produced, keep)) return STATUS_NO_MEMORY;
      for (uint64_t c = 0; c < s.channels; ++c)
        dsp().copy_floats(out.data + c * out.stride + produced, to[c], static_cast<size_t>(keep));
      produced += keep;
      s.emitted += keep;
    }
    if (!in && made == 0) break;
    if (in && used == 0 && made == 0) return STATUS_SYSTEM;  // libsoxr neither took nor gave
  }
  return STATUS_OK;
}

Status start_soxr(ResampleStream& s) {
  if (s.length == UINT64_MAX || s.input_length > (uint64_t{1} << 40)) return STATUS_NO_MEMORY;
  s.capacity = kChunk;
  s.buffer = allocate_array<float>(s.channels * s.capacity);
  if (!s.buffer) return STATUS_NO_MEMORY;
  // As resample_high: very high quality, linear phase, output from the
  // input's time 0.
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, SOXR_LINEAR_PHASE);
  soxr_error_t error = nullptr;
  soxr_t r = soxr_create(static_cast<double>(s.source_rate), static_cast<double>(s.target_rate),
                         static_cast<unsigned>(s.channels), &error, &io, &quality, nullptr);
  if (error || !r) {
    if (r) soxr_delete(r);
    return STATUS_SYSTEM;
  }
  s.soxr = r;
  return STATUS_OK;
}

// Per-channel copies of the anti-alias cascade, states cleared.
Status start_cascade(ResampleStream& s) {
  BiquadSection designed[kResampleMaxSections];
  s.count = resample_lowpass(designed, s.source_rate, s.target_rate);
  s.sections = allocate_array<BiquadSection>(s.channels * s.count);
  if (!s.sections) return STATUS_NO_MEMORY;
  for (uint64_t c = 0; c < s.channels; ++c)
    for (unsigned i = 0; i < s.count; ++i) {
      s.sections[c * s.count + i] = designed[i];
      s.sections[c * s.count + i].z0 = s.sections[c * s.count + i].z1 = 0.0f;
    }
  return STATUS_OK;
}

Status start_plan(ResampleStream& s) {
  if (!resample_plan(s.plan, s.input_length, s.source_rate, s.target_rate)) return STATUS_NO_MEMORY;
  s.length = s.plan.length;
  const ResamplePlan& p = s.plan;
  if (p.kind == ResamplePath::integer_down || p.kind == ResamplePath::rational_down) {
    Status st = start_cascade(s);
    if (st != STATUS_OK) return st;
  }
  if (p.kind == ResamplePath::integer_down) {
    s.mode = kDecimate;
    s.capacity = kChunk;
    s.buffer = allocate_array<float>(s.channels * s.capacity);
    return s.buffer ? STATUS_OK : STATUS_NO_MEMORY;
  }
  if (p.m > UINT64_MAX / p.q) return STATUS_NO_MEMORY;
  s.kernels = allocate_array<float>(p.m * p.q);
  s.offsets = allocate_array<uint64_t>(p.m);
  if (!s.kernels || !s.offsets) return STATUS_NO_MEMORY;
  for (uint64_t j = 0; j < p.m; ++j) resample_phase_kernel(p, j, s.kernels + j * p.q, s.offsets[j]);
  const PolyphaseScatter shape{p.l, p.m, p.q, s.kernels, s.offsets};
  if (!polyphase_fits(shape)) {
    // Periods too long for gather tables: the sums are kept instead, over
    // the accumulation values one chunk of input reaches and the kernel.
    s.mode = kScatter;
    const uint64_t reach = (kChunk / p.m + 2) * p.l + p.q + s.offsets[p.m - 1] + p.shift;
    s.capacity = (2 * reach + 15) & ~uint64_t{15};  // sums are moved down only once half of them are given
    s.buffer = allocate_array<float>(s.channels * s.capacity);
    s.windows = allocate_array<float>(s.channels * kChunk);
    if (!s.buffer || !s.windows) return STATUS_NO_MEMORY;
    dsp().fill_zero(s.buffer, static_cast<size_t>(s.channels * s.capacity));
    s.base = 0;
    return STATUS_OK;
  }
  Status st = polyphase_build(s.gather, shape);
  mem_free_aligned(s.kernels);
  mem_free_aligned(s.offsets);
  s.kernels = nullptr;
  s.offsets = nullptr;
  if (st != STATUS_OK) return st;
  s.mode = kGather;
  const PolyphaseGather& g = s.gather;
  const uint64_t window = polyphase_window(g, s.channels);
  const uint64_t span = static_cast<uint64_t>(std::max<int64_t>(g.hi, 0) - std::min<int64_t>(g.lo, 0));
  s.capacity = (span + 2 * g.mp + kChunk + 16 + 15) & ~uint64_t{15};
  s.windows = allocate_array<float>(s.channels * ((window + 15) & ~uint64_t{15}));
  s.buffer = allocate_array<float>(s.channels * s.capacity);
  if (!s.windows || !s.buffer) return STATUS_NO_MEMORY;
  for (uint64_t c = 0; c < s.channels; ++c) s.pointers[c] = s.windows + c * ((window + 15) & ~uint64_t{15});
  // The held input starts at a whole period at or before the first one
  // the first output reads; inputs before 0 are zeros.
  const int64_t mp = static_cast<int64_t>(g.mp);
  const int64_t back = g.lo < 0 ? (-g.lo + mp - 1) / mp : 0;
  const int64_t first = static_cast<int64_t>(p.shift / g.lp) - back;
  s.base = std::min<int64_t>(first, 0) * mp;
  s.held = static_cast<uint64_t>(-s.base);
  dsp().fill_zero(s.buffer, static_cast<size_t>(s.channels * s.capacity));
  return STATUS_OK;
}

}  // namespace

void resample_stream_init(ResampleStream& s) {
  s.mode = kIdle;
  s.channels = s.source_rate = s.target_rate = s.input_length = 0;
  s.received = s.emitted = s.length = 0;
  s.plan = ResamplePlan{};
  polyphase_init(s.gather);
  s.sections = nullptr;
  s.count = 0;
  s.buffer = nullptr;
  s.capacity = 0;
  s.base = 0;
  s.held = 0;
  s.pointers = nullptr;
  s.windows = nullptr;
  s.kernels = nullptr;
  s.offsets = nullptr;
  s.soxr = nullptr;
}

void resample_stream_release(ResampleStream& s) {
  polyphase_release(s.gather);
  mem_free_aligned(s.sections);
  mem_free_aligned(s.buffer);
  mem_free_aligned(s.pointers);
  mem_free_aligned(s.windows);
  mem_free_aligned(s.kernels);
  mem_free_aligned(s.offsets);
  if (s.soxr) soxr_delete(static_cast<soxr_t>(s.soxr));
  resample_stream_init(s);
}

uint64_t resample_stream_length(const ResampleStream& s) { return s.length; }

Status resample_stream_start(ResampleStream& s, uint64_t channels, uint64_t source_rate, uint64_t target_rate,
                             uint64_t input_length, bool high) {
  resample_stream_release(s);
  if (channels == 0) return STATUS_INVALID;
  if (source_rate == 0 || target_rate == 0) return STATUS_BAD_ARGUMENT;
  s.channels = channels;
  s.source_rate = source_rate;
  s.target_rate = target_rate;
  s.input_length = input_length;
  s.pointers = allocate_array<float*>(4 * channels);
  if (!s.pointers || channels > SIZE_MAX / sizeof(float) / (4 * kChunk)) {
    resample_stream_release(s);
    return STATUS_NO_MEMORY;
  }
  Status st = STATUS_OK;
  if (source_rate == target_rate) {
    s.mode = kPass;
    s.length = input_length;
  } else if (high) {
    s.mode = kSoxr;
    s.length = resample_length(input_length, source_rate, target_rate);
    st = start_soxr(s);
  } else {
    st = start_plan(s);
  }
  if (st != STATUS_OK) {
    resample_stream_release(s);
    return st;
  }
  return STATUS_OK;
}

Status resample_stream_push(ResampleStream& s, const Sample& in, Sample& out) {
  if (s.mode <= kIdle) return STATUS_INVALID;
  if (in.channels != s.channels) return STATUS_BAD_ARGUMENT;
  if (in.length > s.input_length - s.received) return STATUS_INVALID;
  if (in.length > 0 && !in.data) return STATUS_INVALID;
  uint64_t bound = 0;
  switch (s.mode) {
    case kPass: bound = in.length; break;
    case kDecimate: bound = picked(s, s.received, s.received + in.length); break;
    case kGather: bound = gather_ready(s, s.received + in.length) - (s.plan.shift + s.emitted); break;
    case kScatter: bound = scatter_ready(s, s.received + in.length) - (s.plan.shift + s.emitted); break;
    default: break;
  }
  if (!ensure_out(s, out, 0, bound)) return STATUS_NO_MEMORY;
  out.sample_rate = s.target_rate;
  out.length = 0;
  uint64_t produced = 0;
  const DspTable& t = dsp();
  if (s.mode == kSoxr) {
    Status st = soxr_out(s, &in, out, produced);
    s.received += in.length;
    out.length = produced;
    out.sample_rate = s.target_rate;
    return st;
  }
  for (uint64_t at = 0; at < in.length;) {
    const uint64_t n = std::min(kChunk, in.length - at);
    switch (s.mode) {
      case kPass:
        for (uint64_t c = 0; c < s.channels; ++c)
          t.copy_floats(out.data + c * out.stride + produced, in.data + c * in.stride + at, static_cast<size_t>(n));
        produced += n;
        s.emitted += n;
        break;
      case kDecimate: {
        float** rows = s.pointers;
        for (uint64_t c = 0; c < s.channels; ++c) rows[c] = s.buffer + c * s.capacity;
        take_input(s, in, at, n, rows);
        const uint64_t k = picked(s, s.received, s.received + n);
        const uint64_t first = s.emitted * s.plan.m - s.received;  // inside this chunk
        for (uint64_t c = 0; c < s.channels; ++c) {
          float* dst = out.data + c * out.stride + produced;
          for (uint64_t i = 0; i < k; ++i) dst[i] = rows[c][first + i * s.plan.m];
        }
        produced += k;
        s.emitted += k;
        break;
      }
      case kGather: {
        if (s.held + n > s.capacity) drop_input(s);
        float** rows = s.pointers + s.channels;
        for (uint64_t c = 0; c < s.channels; ++c) rows[c] = s.buffer + c * s.capacity + s.held;
        take_input(s, in, at, n, rows);
        s.held += n;
        const uint64_t from = s.plan.shift + s.emitted, to = gather_ready(s, s.received + n);
        s.received += n;
        if (to > from) {
          gather_out(s, from, to, out, produced);
          produced += to - from;
          s.emitted += to - from;
        }
        at += n;
        continue;
      }
      case kScatter: {
        const uint64_t last = s.received + n - 1;
        if (s.offsets[last % s.plan.m] + (last / s.plan.m) * s.plan.l + s.plan.q > static_cast<uint64_t>(s.base) + s.capacity)
          drop_sums(s);
        scatter_input(s, in, at, n);
        const uint64_t from = s.plan.shift + s.emitted, to = scatter_ready(s, s.received + n);
        s.received += n;
        if (to > from) {
          scatter_out(s, from, to, out, produced);
          produced += to - from;
          s.emitted += to - from;
        }
        at += n;
        continue;
      }
      default: break;
    }
    s.received += n;
    at += n;
  }
  out.length = produced;
  return STATUS_OK;
}

Status resample_stream_finish(ResampleStream& s, Sample& out) {
  if (s.mode <= kIdle) return STATUS_INVALID;
  if (s.received != s.input_length) return STATUS_INVALID;
  uint64_t rest = s.length - s.emitted;
  if (!ensure_out(s, out, 0, s.mode == kSoxr ? 0 : rest)) return STATUS_NO_MEMORY;
  out.sample_rate = s.target_rate;
  out.length = 0;
  uint64_t produced = 0;
  if (s.mode == kSoxr) {
    Status st = soxr_out(s, nullptr, out, produced);
    if (st != STATUS_OK) return st;
    rest = s.length - s.emitted;  // libsoxr gave fewer: zeros to the length
    if (!ensure_out(s, out, produced, rest)) return STATUS_NO_MEMORY;
    for (uint64_t c = 0; c < s.channels; ++c) dsp().fill_zero(out.data + c * out.stride + produced, static_cast<size_t>(rest));
    produced += rest;
  } else if (s.mode == kGather) {
    gather_out(s, s.plan.shift + s.emitted, s.plan.shift + s.length, out, 0);
    produced = rest;
  } else if (s.mode == kScatter) {
    scatter_out(s, s.plan.shift + s.emitted, s.plan.shift + s.length, out, 0);
    produced = rest;
  } else {
    produced = 0;  // pass-through and decimation give everything as it comes
  }
  s.emitted = s.length;
  out.length = produced;
  out.sample_rate = s.target_rate;
  s.mode = kDone;
  return STATUS_OK;
}
