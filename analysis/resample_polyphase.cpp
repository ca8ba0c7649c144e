#include "analysis/resample_polyphase.h"

#include <cmath>
#include <numeric>
#include <cstring>

#include "runtime/alloc.h"

namespace {

constexpr uint64_t kLanes = 8;
// Largest tap table (kernel rows plus gather taps, in floats) worth
// building; beyond it the tables would outweigh the audio of ordinary files.
constexpr double kBudget = double(uint64_t{1} << 22);
// Input samples a window takes in per refill, beyond the span of one period:
// large, since every cascade call pays a fixed pipeline start and drain.
constexpr uint64_t kRefill = 32768;

// Factor that widens short periods to whole blocks of lanes; long periods
// keep their one partial block.
uint64_t widening(uint64_t l) {
  if (l % kLanes == 0 || l >= 8 * kLanes) return 1;
  return kLanes / std::gcd(l, kLanes);
}

template <class T>
T* alloc_array(uint64_t count) {
  if (count > SIZE_MAX / sizeof(T) - 64) return nullptr;
  return static_cast<T*>(mem_alloc_aligned(static_cast<size_t>(count == 0 ? 1 : count) * sizeof(T), 64));
}

// Four floats as one value; the compiler maps the arithmetic on it to
// whatever vector registers the target has.
typedef float Quad __attribute__((vector_size(16)));

inline Quad load_quad(const float* p) {
  Quad v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Eight accumulation values of one block. Two interleaved partial sums per
// lane keep the additions from forming one long dependency chain.
inline void gather_block(float* out, const float* x, const float* taps, uint64_t width) {
  static_assert(kLanes == 8);
  Quad a0 = {}, a1 = {}, b0 = {}, b1 = {};
  uint64_t i = 0;
  for (; i + 1 < width; i += 2) {
    const float* t = taps + i * kLanes;
    const float x0 = x[i], x1 = x[i + 1];
    a0 += load_quad(t) * x0;
    a1 += load_quad(t + 4) * x0;
    b0 += load_quad(t + 8) * x1;
    b1 += load_quad(t + 12) * x1;
  }
  if (i < width) {
    const float* t = taps + i * kLanes;
    a0 += load_quad(t) * x[i];
    a1 += load_quad(t + 4) * x[i];
  }
  a0 += b0;
  a1 += b1;
  std::memcpy(out, &a0, sizeof a0);
  std::memcpy(out + 4, &a1, sizeof a1);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define TIMBRAL_WIDE_GATHER 1
// The same block with all eight lanes in one 256-bit value. Every lane sees
// exactly the additions and products of gather_block (no fused
// multiply-adds), so both give identical results; this one just needs half
// the instructions on processors with AVX.
typedef float Oct __attribute__((vector_size(32)));

__attribute__((target("avx"), always_inline)) inline Oct load_oct(const float* p) {
  Oct v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

__attribute__((target("avx"), always_inline)) inline void gather_block_wide(float* out, const float* x,
                                                                          const float* taps, uint64_t width) {
  Oct a = {}, b = {};
  uint64_t i = 0;
  for (; i + 1 < width; i += 2) {
    const float* t = taps + i * kLanes;
    a += load_oct(t) * x[i];
    b += load_oct(t + 8) * x[i + 1];
  }
  if (i < width) a += load_oct(taps + i * kLanes) * x[i];
  a += b;
  std::memcpy(out, &a, sizeof a);
}
#endif

// Outputs of `count` periods from p on, read from the window that starts at
// input w0; only outputs in [begin, end) are written.
#define TIMBRAL_GATHER_PERIODS(NAME, ATTRIBUTES, GATHER)                                                  \
  ATTRIBUTES void NAME(const PolyphaseGather& g, const float* window, int64_t w0, uint64_t p, uint64_t count, \
                       uint64_t begin, uint64_t end, float* out) {                                          \
    const int64_t mp = static_cast<int64_t>(g.mp);                                                          \
    alignas(64) float lanes[kLanes];                                                                        \
    for (uint64_t i = 0; i < count; ++i, ++p) {                                                             \
      uint64_t o = p * g.lp;                                                                                \
      const float* base = window + (static_cast<int64_t>(p) * mp - w0);                                     \
      for (uint64_t b = 0; b < g.blocks; ++b, o += kLanes) {                                                \
        uint64_t n = g.lp - b * kLanes < kLanes ? g.lp - b * kLanes : kLanes;                               \
        if (o + n <= begin || o >= end) continue;                                                           \
        const float* x = base + g.first[b];                                                                 \
        const float* taps = g.taps + g.start[b];                                                            \
        if (n == kLanes && o >= begin && o + kLanes <= end) {                                               \
          GATHER(out + (o - begin), x, taps, g.width[b]);                                                   \
          continue;                                                                                         \
        }                                                                                                   \
        GATHER(lanes, x, taps, g.width[b]);                                                                 \
        for (uint64_t v = 0; v < n; ++v)                                                                    \
          if (o + v >= begin && o + v < end) out[o + v - begin] = lanes[v];                                 \
      }                                                                                                     \
    }                                                                                                       \
  }

TIMBRAL_GATHER_PERIODS(gather_periods, , gather_block)
#ifdef TIMBRAL_WIDE_GATHER
TIMBRAL_GATHER_PERIODS(gather_periods_wide, __attribute__((target("avx"))), gather_block_wide)
#endif
#undef TIMBRAL_GATHER_PERIODS

using GatherPeriods = void (*)(const PolyphaseGather&, const float*, int64_t, uint64_t, uint64_t, uint64_t, uint64_t,
                               float*);

GatherPeriods pick_gather() {
#ifdef TIMBRAL_WIDE_GATHER
  if (__builtin_cpu_supports("avx")) return gather_periods_wide;
#endif
  return gather_periods;
}

}  // namespace

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

bool row_source_init(RowSource& s, const DspTable& t, const float* data, uint64_t stride, uint64_t channels,
                     uint64_t n, BiquadSection* sections, unsigned count) {
  s = RowSource{&t, data, stride, channels, static_cast<int64_t>(n), 0, sections, count, nullptr, nullptr};
  if (channels == 0 || channels > SIZE_MAX / (2 * sizeof(void*))) return false;
  // One block: `from` pointers, then `to` pointers.
  void* pointers = mem_alloc(static_cast<size_t>(2 * channels) * sizeof(float*));
  if (!pointers) return false;
  s.from = static_cast<const float**>(pointers);
  s.to = static_cast<float**>(static_cast<void*>(s.from + channels));
  return true;
}

void row_source_release(RowSource& s) {
  mem_free(s.from);
  s.from = nullptr;
  s.to = nullptr;
}

namespace {

// Row samples [at, at + c) of every channel through the cascade into
// dst[ch] + offset.
void filter_rows(RowSource& s, float* const* dst, int64_t offset, int64_t at, int64_t c) {
  for (uint64_t ch = 0; ch < s.channels; ++ch) {
    s.from[ch] = s.data + ch * s.stride + at;
    s.to[ch] = dst[ch] + offset;
  }
  s.dsp->biquad_rows(s.sections, s.count, s.to, s.from, static_cast<size_t>(s.channels), static_cast<size_t>(c));
}

// row_source_fill into dst[c] + offset.
void fill_rows(RowSource& s, float* const* dst, int64_t offset, int64_t from, int64_t count) {
  const DspTable& t = *s.dsp;
  int64_t i = from, end = from + count;
  while (i < end) {
    int64_t at = offset + i - from;
    if (i < 0) {
      int64_t z = (end < 0 ? end : 0) - i;
      for (uint64_t ch = 0; ch < s.channels; ++ch) t.fill_zero(dst[ch] + at, static_cast<size_t>(z));
      i += z;
      continue;
    }
    if (i >= s.n) {
      for (uint64_t ch = 0; ch < s.channels; ++ch) t.fill_zero(dst[ch] + at, static_cast<size_t>(end - i));
      break;
    }
    // Row samples between the last delivery and `i` still feed the filter
    // state; dst serves as scratch for them. Without a filter they can
    // simply be passed over.
    while (s.count != 0 && s.done < i) {
      int64_t c = i - s.done < count ? i - s.done : count;
      filter_rows(s, dst, offset, s.done, c);
      s.done += c;
    }
    int64_t c = (end < s.n ? end : s.n) - i;
    filter_rows(s, dst, at, i, c);
    s.done = i + c;
    i += c;
  }
}

}  // namespace

void row_source_fill(RowSource& s, float* const* dst, int64_t from, int64_t count) {
  fill_rows(s, dst, 0, from, count);
}

void polyphase_init(PolyphaseGather& g) {
  g.lp = g.mp = g.blocks = 0;
  g.first = nullptr;
  g.width = nullptr;
  g.start = nullptr;
  g.taps = nullptr;
  g.lo = g.hi = 0;
}

void polyphase_release(PolyphaseGather& g) {
  mem_free_aligned(g.first);
  mem_free_aligned(g.width);
  mem_free_aligned(g.start);
  mem_free_aligned(g.taps);
  polyphase_init(g);
}

bool polyphase_fits(const PolyphaseScatter& s) {
  if (s.l == 0 || s.m == 0 || s.q == 0) return false;
  double f = double(widening(s.l));
  double lp = double(s.l) * f, mp = double(s.m) * f;
  // Inputs reaching one block: those landing in a stretch of q + 7 values,
  // with a little slack for the truncated offsets.
  double blocks = std::ceil(lp / double(kLanes));
  double taps = blocks * double(kLanes) * ((double(s.q) + double(kLanes) + 2.0) * mp / lp + 2.0);
  return double(s.m) * double(s.q) + taps <= kBudget;
}

Status polyphase_build(PolyphaseGather& g, const PolyphaseScatter& s) {
  polyphase_release(g);
  if (s.l == 0 || s.m == 0 || s.q == 0) return STATUS_NO_MEMORY;
  uint64_t f = widening(s.l);
  if (s.l > UINT64_MAX / f || s.m > UINT64_MAX / f || s.m * f > uint64_t{INT64_MAX} / 4) return STATUS_NO_MEMORY;
  PolyphaseGather t;
  polyphase_init(t);
  t.lp = s.l * f;
  t.mp = s.m * f;
  t.blocks = (t.lp + kLanes - 1) / kLanes;
  t.first = alloc_array<int64_t>(t.blocks);
  t.width = alloc_array<uint64_t>(t.blocks);
  t.start = alloc_array<uint64_t>(t.blocks);
  if (!t.first || !t.width || !t.start) {
    polyphase_release(t);
    return STATUS_NO_MEMORY;
  }
  int64_t* last = reinterpret_cast<int64_t*>(t.start);  // scratch until the starts are known
  for (uint64_t b = 0; b < t.blocks; ++b) {
    t.first[b] = INT64_MAX;
    last[b] = INT64_MIN;
  }
  // Scatter phase jp = j + w*m lands at offsets[j] + w*l. Its value k
  // reaches lane r = (offset + k) mod lp of the period d = (offset + k) / lp
  // periods later, which reads it from input jp - d*mp of its own period.
  auto visit = [&](auto&& take) {
    for (uint64_t jp = 0; jp < t.mp; ++jp) {
      uint64_t j = jp % s.m, w = jp / s.m;
      uint64_t offset = s.offsets[j] + w * s.l;
      const float* kernel = s.kernels + j * s.q;
      for (uint64_t k = 0; k < s.q; ++k) {
        if (kernel[k] == 0.0f) continue;
        uint64_t at = offset + k, r = at % t.lp, d = at / t.lp;
        take(r / kLanes, r % kLanes, static_cast<int64_t>(jp) - static_cast<int64_t>(d * t.mp), kernel[k]);
      }
    }
  };
  visit([&](uint64_t b, uint64_t, int64_t rel, float) {
    if (rel < t.first[b]) t.first[b] = rel;
    if (rel > last[b]) last[b] = rel;
  });
  uint64_t total = 0;
  t.lo = INT64_MAX;
  t.hi = INT64_MIN;
  for (uint64_t b = 0; b < t.blocks; ++b) {
    if (last[b] < t.first[b]) {  // no taps: the block's values stay zero
      t.first[b] = 0;
      t.width[b] = 0;
    } else {
      t.width[b] = static_cast<uint64_t>(last[b] - t.first[b]) + 1;
      if (t.first[b] < t.lo) t.lo = t.first[b];
      if (last[b] + 1 > t.hi) t.hi = last[b] + 1;
    }
    uint64_t here = total;
    total += t.width[b] * kLanes;
    t.start[b] = here;  // overwrites last[b], which is no longer needed
  }
  if (t.lo > t.hi) t.lo = t.hi = 0;
  for (uint64_t b = 0; b < t.blocks; ++b)
    if (t.width[b] == 0) t.first[b] = t.lo;
  t.taps = alloc_array<float>(total);
  if (!t.taps) {
    polyphase_release(t);
    return STATUS_NO_MEMORY;
  }
  for (uint64_t i = 0; i < total; ++i) t.taps[i] = 0.0f;
  visit([&](uint64_t b, uint64_t lane, int64_t rel, float value) {
    t.taps[t.start[b] + static_cast<uint64_t>(rel - t.first[b]) * kLanes + lane] = value;
  });
  g = t;
  return STATUS_OK;
}

uint64_t polyphase_window(const PolyphaseGather& g, uint64_t channels) {
  uint64_t refill = channels > 1 ? kRefill / channels : kRefill;
  uint64_t periods = g.mp >= refill ? 1 : refill / g.mp;
  return static_cast<uint64_t>(g.hi - g.lo) + periods * g.mp + kLanes;
}

void polyphase_run(const PolyphaseGather& g, RowSource& src, float* const* windows, uint64_t begin, uint64_t end,
                   float* const* out) {
  if (begin >= end) return;
  const DspTable& t = *src.dsp;
  const int64_t mp = static_cast<int64_t>(g.mp), span = g.hi - g.lo;
  const uint64_t capacity = polyphase_window(g, src.channels);
  const uint64_t batch = (capacity - kLanes - static_cast<uint64_t>(span)) / g.mp;
  uint64_t p = begin / g.lp;
  const uint64_t p_end = (end - 1) / g.lp + 1;
  // Every window holds inputs [w0, w1) of its channel.
  int64_t w0 = static_cast<int64_t>(p) * mp + g.lo, w1 = w0;
  static const GatherPeriods gather = pick_gather();
  while (p < p_end) {
    uint64_t count = p_end - p < batch ? p_end - p : batch;
    int64_t from = static_cast<int64_t>(p) * mp + g.lo;
    int64_t to = static_cast<int64_t>(p + count - 1) * mp + g.hi;
    if (src.count == 0 && from >= 0 && to <= src.n) {
      // Unfiltered inputs all inside the rows: read them where they are.
      for (uint64_t c = 0; c < src.channels; ++c)
        gather(g, src.data + c * src.stride + from, from, p, count, begin, end, out[c]);
      w0 = w1 = from;
      p += count;
      continue;
    }
    int64_t keep = w1 > from ? w1 - from : 0;
    if (keep > 0 && from > w0)
      for (uint64_t c = 0; c < src.channels; ++c)
        t.move_floats(windows[c], windows[c] + (from - w0), static_cast<size_t>(keep));
    w0 = from;
    if (to > w0 + keep) fill_rows(src, windows, keep, w0 + keep, to - (w0 + keep));
    w1 = to > w0 + keep ? to : w0 + keep;
    for (uint64_t c = 0; c < src.channels; ++c) gather(g, windows[c], w0, p, count, begin, end, out[c]);
    p += count;
  }
}
