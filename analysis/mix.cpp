#include "analysis/mix.h"

#include <algorithm>
#include <cmath>

#include "analysis/block_convolver.h"
#include "analysis/convolver.h"
#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

// Convolver output is produced and mixed this many samples at a time, so the
// wet signal never needs a buffer of its own and the mix reads it from cache.
// A multiple of the convolver's 128-sample step.
constexpr uint64_t kMixPiece = 16384;

// Where the dry signal lands in one output row: out[at + t] = dry * in[t]
// for t < b, zero elsewhere.
struct DryPart {
  const float* in;
  uint64_t at, b;
  float gain;
};

// Writes the dry values of output positions [lo, hi) of one row to
// dst[0 .. hi - lo - 1]. A gain of 0 means no dry signal at all: zeros,
// and the input is not read.
void put_dry(float* dst, const DryPart& d, uint64_t lo, uint64_t hi) {
  const DspTable& t = dsp();
  if (d.gain == 0.0f) {
    t.fill_zero(dst, static_cast<size_t>(hi - lo));
    return;
  }
  uint64_t dry_lo = std::clamp(d.at, lo, hi);
  uint64_t dry_hi = std::clamp(d.at + d.b, dry_lo, hi);
  t.fill_zero(dst, static_cast<size_t>(dry_lo - lo));
  t.scale_copy(dst + (dry_lo - lo), d.in + (dry_lo - d.at), static_cast<size_t>(dry_hi - dry_lo), d.gain);
  t.fill_zero(dst + (dry_hi - lo), static_cast<size_t>(hi - dry_hi));
}

// Where one row's mix values go: positions [first, end) of the whole mix
// land in out[0 ..]; the others are only measured for the peak (when one
// is wanted) and otherwise not computed at all. Stretches that straddle the
// window or are only measured pass through `scratch` (kScratch floats).
constexpr uint64_t kScratch = 32768;  // the longest piece any wet source hands out
// Frames between two reports to a reader following the output.
constexpr uint64_t kProgressStep = 65536;

struct Window {
  float* out;
  uint64_t first, end;
  float* scratch;
  bool measure;
  float peak;  // largest magnitude so far (peak_abs over the mix)
};

// Mix positions [lo, hi): fill(dst, a, e) writes the values of [a, e).
template <class Fill>
void emit(Window& w, uint64_t lo, uint64_t hi, const Fill& fill) {
  const DspTable& t = dsp();
  auto measure = [&](const float* v, uint64_t n) {
    float p = t.peak_abs(v, static_cast<size_t>(n));
    if (p > w.peak) w.peak = p;
  };
  if (lo >= hi) return;
  if (lo >= w.first && hi <= w.end) {
    float* dst = w.out + (lo - w.first);
    fill(dst, lo, hi);
    if (w.measure) measure(dst, hi - lo);
    return;
  }
  if (!w.measure && (hi <= w.first || lo >= w.end)) return;
  for (uint64_t a = lo; a < hi;) {
    uint64_t e = hi - a < kScratch ? hi : a + kScratch;
    uint64_t keep_lo = std::clamp(w.first, a, e), keep_hi = std::clamp(w.end, keep_lo, e);
    if (w.measure || keep_hi > keep_lo) {
      fill(w.scratch, a, e);
      if (w.measure) measure(w.scratch, e - a);
      t.copy_floats(w.out + (keep_lo - w.first), w.scratch + (keep_lo - a), static_cast<size_t>(keep_hi - keep_lo));
    }
    a = e;
  }
}

// Up to this many taps the zero-latency convolver runs its head alone,
// the same transform per 128 samples as the block convolver's smallest,
// so it keeps the job (and its exact output); above it the block
// convolver needs far fewer transforms per sample.
constexpr uint64_t kZeroLatencyTaps = 128;

// The wet signal of one channel, b + m values, handed out a piece at a
// time from whichever convolver serves the tap count.
struct WetSource {
  bool block;
  Convolver conv;
  BlockConvolver whole;
  float* temporary;  // pieces of the zero-latency convolver
  uint64_t s;        // values handed out so far
};

void wet_clear(WetSource& w) {
  convolver_clear(w.conv);
  block_convolver_clear(w.whole);
  w.temporary = nullptr;
  w.block = false;
  w.s = 0;
}

void wet_destroy(WetSource& w) {
  convolver_destroy(w.conv);
  block_convolver_destroy(w.whole);
  mem_free_aligned(w.temporary);
  wet_clear(w);
}

// Configures `w` for one channel's taps; false when memory runs out.
bool wet_init(WetSource& w, const float* taps, uint64_t m, uint64_t b) {
  w.s = 0;
  w.block = m > kZeroLatencyTaps;
  if (w.block) return block_convolver_init(w.whole, taps, m);
  if (!w.temporary) {
    size_t piece = static_cast<size_t>(b + m < kMixPiece ? b + m : kMixPiece);
    w.temporary = static_cast<float*>(mem_alloc_aligned((piece ? piece : 1) * sizeof(float), 16));
    if (!w.temporary) return false;
  }
  return convolver_init(w.conv, taps, m, 16, 0.0f);
}

// The next piece of the wet signal of `in` (b values, m taps); returns its
// length (0 at the end) and sets *piece.
uint64_t wet_next(WetSource& w, const float* in, uint64_t b, uint64_t m, const float** piece) {
  if (w.block) {
    uint64_t len = block_convolver_next(w.whole, in, b, piece);
    w.s += len;
    return len;
  }
  // The wet signal is the full linear convolution, b + m samples: the
  // input, then m zeros that flush the tail. Pieces end at multiples of
  // kMixPiece and at b, so the convolver sees the same 128-sample steps
  // as when it is fed the input and the zeros in two calls.
  uint64_t s = w.s;
  if (s >= b + m) return 0;
  uint64_t e = (s / kMixPiece + 1) * kMixPiece;
  uint64_t limit = s < b ? b : b + m;
  if (e > limit) e = limit;
  size_t len = static_cast<size_t>(e - s);
  if (s < b) {
    convolver_process(w.conv, w.temporary, in + s, len);
  } else {
    dsp().fill_zero(w.temporary, len);
    convolver_process(w.conv, w.temporary, w.temporary, len);
  }
  w.s = e;
  *piece = w.temporary;
  return len;
}

}  // namespace

Status convolve_mix_range(Sample& output, const Sample& input, const Sample& ir, int64_t latency, float dry,
                          float wet, uint64_t first, int64_t length, float* peak) {
  return convolve_mix_range(output, input, ir, latency, dry, wet, first, length, peak, nullptr);
}

namespace {

Status convolve_mix_rows(Sample& output, const Sample& input, const Sample& ir, int64_t latency, float dry,
                         float wet, uint64_t first, int64_t length, float* peak, SampleProgress* progress);

}  // namespace

Status convolve_mix_range(Sample& output, const Sample& input, const Sample& ir, int64_t latency, float dry,
                          float wet, uint64_t first, int64_t length, float* peak, SampleProgress* progress) {
  Status st = convolve_mix_rows(output, input, ir, latency, dry, wet, first, length, peak, progress);
  if (progress) progress_finish(progress, st == STATUS_OK);
  return st;
}

namespace {

Status convolve_mix_rows(Sample& output, const Sample& input, const Sample& ir, int64_t latency, float dry,
                         float wet, uint64_t first, int64_t length, float* peak, SampleProgress* progress) {
  uint64_t b = input.length;
  uint64_t m = ir.length;
  uint64_t shift = latency >= 1 ? static_cast<uint64_t>(latency) : static_cast<uint64_t>(-latency);
  if (b > UINT64_MAX - m || b + m > UINT64_MAX - shift) return STATUS_NO_MEMORY;
  uint64_t total;
  if (latency >= 1)
    total = b + shift > b + m ? b + shift : b + m;
  else
    total = b + m + shift;
  uint64_t from = first < total ? first : total;
  uint64_t frames = length >= 0 ? static_cast<uint64_t>(length) : total - from;
  if (frames > UINT64_MAX - from) return STATUS_NO_MEMORY;
  Window w{nullptr, from, std::min(total, from + frames), nullptr, peak != nullptr, 0.0f};
  Sample result;
  sample_init(result);
  // Every value of every row is written below, the padding included, and
  // each only once where there is no dry signal: the wet pieces are
  // scaled straight into the output's rows.
  if (!sample_allocate_unfilled(result, input.channels, frames, frames)) return STATUS_NO_MEMORY;
  if (progress) progress_publish_rows(progress, result.data, result.stride, result.channels, frames);
  if (w.measure || w.first > 0 || w.end < total) {
    w.scratch = static_cast<float*>(mem_alloc_aligned(kScratch * sizeof(float), 64));
    if (!w.scratch) {
      sample_destroy(result);
      return STATUS_NO_MEMORY;
    }
  }
  const DspTable& t = dsp();
  const uint64_t wet_at = latency >= 1 ? 0 : shift;
  float all_peak = 0.0f;
  // One output row, made piece by piece: the dry head, the wet pieces, then
  // the dry tail and the padding.
  struct Row {
    WetSource source;
    Window w;
    DryPart d;
    uint64_t s;  // wet values emitted
  };
  auto start = [&](Row& r, uint64_t c) -> bool {
    r.w = w;
    r.w.out = result.data + c * result.stride;
    r.d = DryPart{input.data + c * input.stride, latency >= 1 ? shift : 0, b, dry};
    r.s = 0;
    if (m > 0 && !wet_init(r.source, ir.data + c * ir.stride, m, b)) return false;
    emit(r.w, 0, wet_at, [&](float* dst, uint64_t lo, uint64_t hi) { put_dry(dst, r.d, lo, hi); });
    return true;
  };
  // The row's next wet piece; false when none is left.
  auto step = [&](Row& r) -> bool {
    const float* piece = nullptr;
    const uint64_t len = m > 0 ? wet_next(r.source, r.d.in, b, m, &piece) : 0;
    if (len == 0) return false;
    const uint64_t at = wet_at + r.s;
    emit(r.w, at, at + len, [&](float* dst, uint64_t lo, uint64_t hi) {
      const float* src = piece + (lo - at);
      if (dry == 0.0f) {
        // No dry signal to add to: the wet signal is the output.
        t.scale_copy(dst, src, static_cast<size_t>(hi - lo), wet);
      } else {
        put_dry(dst, r.d, lo, hi);
        t.multiply_add(dst, src, static_cast<size_t>(hi - lo), wet);
      }
    });
    r.s += len;
    return true;
  };
  auto finish = [&](Row& r) {
    auto dry_only = [&](float* dst, uint64_t lo, uint64_t hi) { put_dry(dst, r.d, lo, hi); };
    // Without taps the wet signal is b zeros.
    if (m == 0) emit(r.w, wet_at, wet_at + b, dry_only);
    emit(r.w, wet_at + b + m, total, dry_only);
    // Past the end of the mix, and the padding.
    uint64_t written = r.w.end - r.w.first;
    t.fill_zero(r.w.out + written, static_cast<size_t>(result.stride - written));
    if (r.w.peak > all_peak) all_peak = r.w.peak;
  };
  auto fail = [&]() {
    mem_free_aligned(w.scratch);
    sample_destroy(result);
    return STATUS_NO_MEMORY;
  };
  if (!progress || input.channels < 2) {
    // One row after another, through one wet source.
    Row r;
    wet_clear(r.source);
    for (uint64_t c = 0; c < input.channels; ++c) {
      if (!start(r, c)) {
        wet_destroy(r.source);
        return fail();
      }
      uint64_t told = 0;
      while (step(r)) {
        // Only the last row tells a reader (a single row, here).
        const uint64_t done = wet_at + r.s;
        if (progress && c + 1 == input.channels && done > told + kProgressStep) {
          told = done;
          progress_advance(progress, std::clamp(done, w.first, w.end) - w.first);
        }
      }
      finish(r);
    }
    wet_destroy(r.source);
  } else {
    // A reader follows the output: the rows advance together, a piece of
    // each in turn, so that it can start at once. Each row has its own wet
    // source; the values are the same as one row after another.
    Row* rows = static_cast<Row*>(mem_calloc(input.channels, sizeof(Row)));
    if (!rows) return fail();
    for (uint64_t c = 0; c < input.channels; ++c) wet_clear(rows[c].source);
    bool ok = true;
    for (uint64_t c = 0; c < input.channels && ok; ++c) ok = start(rows[c], c);
    if (ok) {
      uint64_t told = 0;
      for (bool more = true; more;) {
        more = false;
        uint64_t done = UINT64_MAX;
        for (uint64_t c = 0; c < input.channels; ++c) {
          more = step(rows[c]) || more;
          done = std::min(done, wet_at + rows[c].s);
        }
        if (done > told + kProgressStep) {
          told = done;
          progress_advance(progress, std::clamp(done, w.first, w.end) - w.first);
        }
      }
      for (uint64_t c = 0; c < input.channels; ++c) finish(rows[c]);
    }
    for (uint64_t c = 0; c < input.channels; ++c) wet_destroy(rows[c].source);
    mem_free(rows);
    if (!ok) return fail();
  }
  mem_free_aligned(w.scratch);
  if (peak) *peak = all_peak;
  sample_swap(output, result);
  sample_destroy(result);
  return STATUS_OK;
}

}  // namespace

Status convolve_mix(Sample& output, const Sample& input, const Sample& ir, int64_t latency, float dry, float wet) {
  return convolve_mix_range(output, input, ir, latency, dry, wet, 0, -1, nullptr);
}

Status normalize(Sample& audio, int mode, float target) {
  if (mode == NORMALIZE_NONE || !audio.data) return STATUS_OK;
  const DspTable& t = dsp();
  float peak = 0.0f;
  for (uint64_t c = 0; c < audio.channels; ++c) {
    float p = t.peak_abs(audio.data + c * audio.stride, static_cast<size_t>(audio.length));
    if (p > peak) peak = p;
  }
  return normalize_to_peak(audio, mode, target, peak);
}

bool normalize_factor(int mode, float target, float peak, float* factor) {
  if (mode == NORMALIZE_NONE) return false;
  if (static_cast<double>(peak) < 0.000001) return false;
  if (mode == NORMALIZE_ABOVE && target >= peak) return false;
  if (mode == NORMALIZE_BELOW && target <= peak) return false;
  *factor = target / peak;
  return true;
}

Status normalize_to_peak(Sample& audio, int mode, float target, float peak) {
  float k = 1.0f;
  if (!audio.data || !normalize_factor(mode, target, peak, &k)) return STATUS_OK;
  const DspTable& t = dsp();
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

void mid_side_encode(Sample& audio) {
  if (audio.channels != 2) return;
  float* l = audio.data;
  float* r = audio.data + audio.stride;
  for (uint64_t t = 0; t < audio.length; ++t) {
    const float a = l[t], b = r[t];
    l[t] = 0.5f * (a + b);
    r[t] = 0.5f * (a - b);
  }
}

float mid_side_decode(Sample& audio) {
  if (audio.channels != 2) return 0.0f;
  float* m = audio.data;
  float* s = audio.data + audio.stride;
  float peak = 0.0f;
  for (uint64_t t = 0; t < audio.length; ++t) {
    const float a = m[t], b = s[t];
    m[t] = a + b;
    s[t] = a - b;
    peak = std::fmax(peak, std::fmax(std::fabs(m[t]), std::fabs(s[t])));
  }
  return peak;
}
