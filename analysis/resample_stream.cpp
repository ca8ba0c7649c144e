#include "analysis/resample_stream.h"

#include <soxr.h>

#include <algorithm>
#include <cstring>

#include "analysis/resample.h"
#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

enum Mode : int { kIdle = 0, kPass, kDecimate, kGather, kScatter, kSoxr, kDone = -1, kBroken = -2 };

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
    fresh.sample_rate = s.target_rate;
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

// Landing point of input i on the scatter path.
uint64_t landing(const ResampleStream& s, uint64_t i) {
  return s.offsets[i % s.plan.m] + (i / s.plan.m) * s.plan.l;
}

// Scatters the held window of whole periods (inputs base ... base + held -
// 1) in the order resample scatters a whole row, phase by phase and within
// a phase in input order, into fresh sums; every value that no input
// outside the window reaches is then exactly resample's. Writes those from
// the next output on to `out` and slides the window to the first input that
// reaches what is still to come. False when `out` cannot grow.
bool scatter_window(ResampleStream& s, Sample& out, uint64_t& produced) {
  const DspTable& t = dsp();
  const ResamplePlan& p = s.plan;
  const uint64_t a = static_cast<uint64_t>(s.base), periods = (s.held + p.m - 1) / p.m;
  const uint64_t origin = (a / p.m) * p.l;  // landing point of input a: phase 0 lands at 0
  const uint64_t span = (periods + 1) * p.l + p.q;
  for (uint64_t c = 0; c < s.channels; ++c) {
    float* sums = s.buffer + c * s.capacity;
    const float* x = s.windows + c * s.period_inputs;
    t.fill_zero(sums, static_cast<size_t>(span));
    for (uint64_t j = 0; j < p.m; ++j)
      for (uint64_t w = 0, i = j; w < periods && i < s.held; ++w, i += p.m)
        t.multiply_add(sums + s.offsets[j] + w * p.l, s.kernels + j * p.q, static_cast<size_t>(p.q), x[i]);
  }
  const uint64_t end = p.shift + p.length;
  const bool last = a + s.held == s.input_length;
  const uint64_t from = p.shift + s.emitted;
  const uint64_t to = last ? end : std::min(end, landing(s, a + s.held));
  if (to > from) {
    if (!ensure_out(s, out, produced, to - from)) return false;
    const uint64_t computed = std::min(to, p.acc);
    for (uint64_t c = 0; c < s.channels; ++c) {
      float* dst = out.data + c * out.stride + produced;
      if (from < computed)
        t.copy_floats(dst, s.buffer + c * s.capacity + (from - origin), static_cast<size_t>(computed - from));
      const uint64_t z = std::max(computed, from);
      if (z < to) t.fill_zero(dst + (z - from), static_cast<size_t>(to - z));
    }
    produced += to - from;
    s.emitted += to - from;
  }
  if (last || s.emitted == p.length) return true;
  // The first input that reaches the next output or beyond: the landing
  // points only grow with the index.
  const uint64_t next = p.shift + s.emitted;
  uint64_t lo = a, hi = a + s.held;
  while (lo < hi) {
    const uint64_t mid = lo + (hi - lo) / 2;
    if (landing(s, mid) + p.q > next)
      hi = mid;
    else
      lo = mid + 1;
  }
  const uint64_t keep_from = (lo / p.m) * p.m;
  const uint64_t drop = keep_from - a;
  for (uint64_t c = 0; c < s.channels; ++c)
    t.move_floats(s.windows + c * s.period_inputs, s.windows + c * s.period_inputs + drop,
                  static_cast<size_t>(s.held - drop));
  s.held -= drop;
  s.base = static_cast<int64_t>(keep_from);
  return true;
}

// Takes inputs [at, at + n) of `in` into the scatter's window, scattering
// every time it fills up or the input is complete.
Status scatter_input(ResampleStream& s, const Sample& in, uint64_t at, uint64_t n, Sample& out, uint64_t& produced) {
  float** rows = s.pointers;
  while (n > 0) {
    const uint64_t k = std::min(n, s.period_inputs - s.held);
    for (uint64_t c = 0; c < s.channels; ++c) rows[c] = s.windows + c * s.period_inputs + s.held;
    take_input(s, in, at, k, rows);
    s.held += k;
    s.received += k;
    at += k;
    n -= k;
    if (s.held == s.period_inputs || s.received == s.input_length)
      if (!scatter_window(s, out, produced)) return STATUS_NO_MEMORY;
  }
  return STATUS_OK;
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
    // Periods too long for gather tables: windows of whole periods are
    // scattered as resample scatters, overlapping by the inputs that reach
    // one output, so that each value is summed in resample's order.
    s.mode = kScatter;
    const uint64_t periods = 3 + (p.q + p.l - 1) / p.l;
    if (p.m > UINT64_MAX / 8 / periods || p.l > UINT64_MAX / 8 / periods) return STATUS_NO_MEMORY;
    s.period_inputs = periods * p.m;
    s.capacity = ((periods + 1) * p.l + p.q + 15) & ~uint64_t{15};
    s.buffer = allocate_array<float>(s.channels * s.capacity);
    s.windows = allocate_array<float>(s.channels * s.period_inputs);
    if (!s.buffer || !s.windows) return STATUS_NO_MEMORY;
    s.base = 0;
    s.held = 0;
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
  s.period_inputs = 0;
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

namespace {

Status push_steps(ResampleStream& s, const Sample& in, Sample& out) {
  if (s.mode <= kIdle) return STATUS_INVALID;
  if (in.channels != s.channels) return STATUS_BAD_ARGUMENT;
  if (in.length > s.input_length - s.received) return STATUS_INVALID;
  if (in.length > 0 && !in.data) return STATUS_INVALID;
  uint64_t bound = 0;
  switch (s.mode) {
    case kPass: bound = in.length; break;
    case kDecimate: bound = picked(s, s.received, s.received + in.length); break;
    case kGather: bound = gather_ready(s, s.received + in.length) - (s.plan.shift + s.emitted); break;
    case kScatter: {
      // A window gives outputs up to the landing point of the first input
      // after it, everything once the input is complete.
      const uint64_t have = s.received + in.length, end = s.plan.shift + s.length;
      const uint64_t to = have == s.input_length ? end : std::min(end, landing(s, have));
      bound = to > s.plan.shift + s.emitted ? to - (s.plan.shift + s.emitted) : 0;
      break;
    }
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
        Status st = scatter_input(s, in, at, n, out, produced);
        if (st != STATUS_OK) return st;
        at += n;
        continue;
      }
      default: break;
    }
    s.received += n;
    at += n;
  }
  out.length = produced;
  out.sample_rate = s.target_rate;
  return STATUS_OK;
}

Status finish_steps(ResampleStream& s, Sample& out) {
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
    // Only an input of no frames is still unscattered here.
    if (s.emitted < s.length && !scatter_window(s, out, produced)) return STATUS_NO_MEMORY;
  } else {
    produced = 0;  // pass-through and decimation give everything as it comes
  }
  s.emitted = s.length;
  out.length = produced;
  out.sample_rate = s.target_rate;
  s.mode = kDone;
  return STATUS_OK;
}

}  // namespace

Status resample_stream_push(ResampleStream& s, const Sample& in, Sample& out) {
  if (s.mode <= kIdle) return STATUS_INVALID;
  Status st = push_steps(s, in, out);
  // A failure once input was taken leaves the state between two blocks.
  if (st != STATUS_OK && st != STATUS_INVALID && st != STATUS_BAD_ARGUMENT) s.mode = kBroken;
  return st;
}

Status resample_stream_finish(ResampleStream& s, Sample& out) {
  if (s.mode <= kIdle) return STATUS_INVALID;
  Status st = finish_steps(s, out);
  if (st != STATUS_OK && st != STATUS_INVALID) s.mode = kBroken;
  return st;
}

Status resample_in_blocks(Sample& audio, uint64_t target_rate, bool high) {
  if (audio.channels == 0) return STATUS_INVALID;
  if (audio.sample_rate == 0 || target_rate == 0) return STATUS_BAD_ARGUMENT;
  if (audio.sample_rate == target_rate) return STATUS_OK;
  if (!audio.data) return STATUS_INVALID;
  constexpr uint64_t kBlock = 65536;
  ResampleStream s;
  resample_stream_init(s);
  Sample result, piece;
  sample_init(result);
  sample_init(piece);
  Status st = resample_stream_start(s, audio.channels, audio.sample_rate, target_rate, audio.length, high);
  const uint64_t total = st == STATUS_OK ? resample_stream_length(s) : 0;
  if (st == STATUS_OK && !sample_allocate_unfilled(result, audio.channels, total, total)) st = STATUS_NO_MEMORY;
  uint64_t at = 0;
  auto keep = [&]() {
    if (at + piece.length > total) return STATUS_INVALID;
    for (uint64_t c = 0; c < audio.channels; ++c)
      std::memcpy(result.data + c * result.stride + at, piece.data + c * piece.stride, size_t(piece.length) * sizeof(float));
    at += piece.length;
    return STATUS_OK;
  };
  for (uint64_t from = 0; st == STATUS_OK && from < audio.length; from += kBlock) {
    Sample view = audio;
    view.data = audio.data + from;
    view.length = std::min(kBlock, audio.length - from);
    st = resample_stream_push(s, view, piece);
    if (st == STATUS_OK) st = keep();
  }
  if (st == STATUS_OK) st = resample_stream_finish(s, piece);
  if (st == STATUS_OK) st = keep();
  if (st == STATUS_OK && at != total) st = STATUS_INVALID;
  resample_stream_release(s);
  sample_destroy(piece);
  if (st == STATUS_OK) {
    // Zero padding, as the whole-buffer functions leave it.
    for (uint64_t c = 0; c < result.channels; ++c)
      std::memset(result.data + c * result.stride + total, 0, size_t(result.stride - total) * sizeof(float));
    result.sample_rate = target_rate;
    sample_swap(audio, result);
  }
  sample_destroy(result);
  return st;
}
