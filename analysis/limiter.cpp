#include "analysis/limiter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/true_peak.h"
#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

// Frames per internal block; calls of any size are cut into these.
constexpr uint64_t kBlock = 1024;
// The detector reads a hair below the meter it follows (float rounding,
// and the gain's own slope across the interpolator's taps): the gain is
// computed for a ceiling this much lower.
constexpr double kMarginDb = 0.02;
constexpr double kHoldMs = 10.0;
constexpr double kFastReleaseMs = 25.0;
constexpr double kSlowReleaseMs = 400.0;
constexpr double kSustainMs = 1000.0;
// Mean reduction (linear, 1 - gain) over the last second from which the
// adaptive release is wholly slow: 0.2, about 2 dB.
constexpr double kSustainedScale = 1.0 / 0.2;
// A frame counts as limited below this gain (0.1 dB of reduction).
constexpr double kLimitedGain = 0.988553095;
constexpr unsigned kMaxTaps = 32;
// The second interpolator: a Kaiser-windowed sinc of the whole band, 4x,
// kHqHalf taps on either side. libebur128's interpolator (a short Hann
// window) reads low on content near the Nyquist frequency, where meters
// with a longer filter (ffmpeg's) see peaks up to dB higher.
constexpr unsigned kHqHalf = 16;
constexpr unsigned kHqTaps = 2 * kHqHalf;
constexpr double kHqBeta = 8.0;
constexpr unsigned kMaxPhases = 3;
constexpr uint64_t kMaxChannels = 64;

double coefficient(double ms, uint64_t rate) {
  const double frames = ms * 0.001 * double(rate);
  return frames > 0.0 ? 1.0 - std::exp(-1.0 / frames) : 1.0;
}

}  // namespace

struct LimiterState {
  LimiterSettings set;
  uint64_t channels;
  // Detector: phases of libebur128's interpolator, each taps[k] against
  // x[n - k], giving the value at n - lib_center + (phase + 1) / factor, and
  // the three phases of the second one, hq_taps[p][k] against x[n - k]
  // giving the value at n - kHqHalf + (p + 1) / 4.
  unsigned nphases;
  unsigned ntaps[kMaxPhases];
  float taps[kMaxPhases][kMaxTaps];
  uint64_t lib_center;
  float hq_taps[kMaxPhases][kMaxTaps];
  uint64_t center;   // frames the detector looks ahead, the larger of the two
  uint64_t history;  // frames of input the interpolators keep (>= center)
  float ceiling;     // linear, margin included
  // Per channel: `history` frames before the block, then the block.
  float* ext;
  uint64_t ext_stride;
  float* acc;   // kBlock + 2 * kMaxTaps: one phase's FIR output
  float* peak;  // kBlock + 1: peak[0] is the previous block's last frame
  // Window minimum of the needed gain over W frames (a monotonic queue).
  uint64_t window;
  float* queue_value;
  uint64_t* queue_index;
  uint64_t queue_mask;
  uint64_t queue_head, queue_tail;
  uint64_t gain_index;  // index of the next needed gain
  // Hold: the minimum of the window minima over the last `hold` frames (a
  // second monotonic queue), which the release may not pass.
  uint64_t hold;
  float* hold_value;
  uint64_t* hold_index;
  uint64_t hold_mask;
  uint64_t hold_head, hold_tail;
  // Release.
  double envelope;
  double sustained;  // mean reduction (1 - gain) of the last second
  double fast, slow, sustain;
  bool adaptive;
  // Two moving averages of the envelope.
  uint64_t len1, len2;
  double* ring1;
  double* ring2;
  uint64_t pos1, pos2;
  double sum1, sum2;
  // Per channel: `latency` frames before the block, then the block.
  uint64_t latency;
  float* delay;
  uint64_t delay_stride;
  float* gain;   // kBlock
  float* zeros;  // kBlock zeros, the input of the flush
  uint64_t fed;       // input frames taken, flush zeros included
  uint64_t real;      // input frames taken, without flush zeros
  uint64_t emitted;
  bool flushed;
  LimiterStats stats;
  // The gain over time, when kept.
  float* trace;
  uint64_t trace_count, trace_step, trace_bucket, trace_left;
  // The detector's peaks of every fed frame, kept (record) or read back
  // scaled instead of being detected (replay).
  float* peaks;
  uint64_t peaks_count;
  float peaks_scale;
  bool replay;
  // The gain of every emitted frame, when kept.
  float* gains;
  uint64_t gains_count;
};

namespace {

bool settings_ok(const LimiterSettings& s) {
  return s.rate > 0 && s.rate <= 10000000 && s.channels >= 1 && s.channels <= kMaxChannels &&
         s.ceiling_db >= -200.0 && s.ceiling_db <= 24.0 && s.lookahead_ms >= 0.5 && s.lookahead_ms <= 10.0 &&
         (s.release_ms == 0.0 || (s.release_ms >= 1.0 && s.release_ms <= 5000.0));
}

void free_state(LimiterState* st) {
  if (!st) return;
  mem_free(st->ext);
  mem_free(st->acc);
  mem_free(st->peak);
  mem_free(st->queue_value);
  mem_free(st->queue_index);
  mem_free(st->hold_value);
  mem_free(st->hold_index);
  mem_free(st->ring1);
  mem_free(st->ring2);
  mem_free(st->delay);
  mem_free(st->gain);
  mem_free(st->zeros);
  mem_free(st);
}

// The needed gains of frames peak[1 ..] (each with its predecessor), through
// window minimum, hold and release and the two averages, into st->gain:
// gain[j] is the gain of the frame `latency` frames before input j.
void gain_curve(LimiterState* st, uint64_t n) {
  const float ceiling = st->ceiling;
  const uint64_t w = st->window;
  float* qv = st->queue_value;
  uint64_t* qi = st->queue_index;
  const uint64_t mask = st->queue_mask;
  uint64_t head = st->queue_head, tail = st->queue_tail, index = st->gain_index;
  double e = st->envelope, sus = st->sustained;
  float* hv = st->hold_value;
  uint64_t* hi = st->hold_index;
  const uint64_t hmask = st->hold_mask, hold = st->hold;
  uint64_t hhead = st->hold_head, htail = st->hold_tail;
  const double fast = st->fast, slow = st->slow, sustain = st->sustain;
  const double inv1 = 1.0 / double(st->len1), inv2 = 1.0 / double(st->len2);
  double sum1 = st->sum1, sum2 = st->sum2;
  uint64_t pos1 = st->pos1, pos2 = st->pos2;
  for (uint64_t j = 0; j < n; ++j) {
    const float p = std::max(st->peak[j], st->peak[j + 1]);
    // A NaN peak needs no gain; an infinite one needs all of it.
    const float r = p > ceiling ? ceiling / p : 1.0f;
    while (tail != head && qv[(tail - 1) & mask] >= r) --tail;
    qv[tail & mask] = r;
    qi[tail & mask] = index;
    ++tail;
    if (qi[head & mask] + w <= index) ++head;
    ++index;
    const float hf = qv[head & mask];
    // The held gain: the least window minimum of the last `hold` frames
    // (the window minima of this gain's index, index - w + 1, and before).
    while (htail != hhead && hv[(htail - 1) & hmask] >= hf) --htail;
    hv[htail & hmask] = hf;
    hi[htail & hmask] = index;
    ++htail;
    if (hi[hhead & hmask] + hold <= index) ++hhead;
    const double h = hf, held = hv[hhead & hmask];
    if (h <= e) {
      e = h;
    } else {
      // Adaptive: the release slows from fast to slow as the reduction
      // of the last second grows to kSustainedReduction.
      const double k = st->adaptive ? fast + (slow - fast) * std::min(1.0, sus * kSustainedScale) : slow;
      e += (1.0 - e) * k;
      if (e > held) e = held;
    }
    sus += ((1.0 - e) - sus) * sustain;
    const double a = e * inv1;
    sum1 += a - st->ring1[pos1];
    st->ring1[pos1] = a;
    if (++pos1 == st->len1) pos1 = 0;
    const double b = sum1 * inv2;
    sum2 += b - st->ring2[pos2];
    st->ring2[pos2] = b;
    if (++pos2 == st->len2) pos2 = 0;
    st->gain[j] = float(std::min(sum2, 1.0));
  }
  st->queue_head = head;
  st->queue_tail = tail;
  st->gain_index = index;
  st->envelope = e;
  st->sustained = sus;
  st->hold_head = hhead;
  st->hold_tail = htail;
  st->sum1 = sum1;
  st->sum2 = sum2;
  st->pos1 = pos1;
  st->pos2 = pos2;
}

// One phase of an interpolator: peak[j] is raised to |sum_k taps[k] *
// src[j - k]| for j < n, by the dispatched FIR kernel into `acc`
// (n + 2 * (ntaps - 1) floats).
void phase_into_peak(const float* taps, unsigned ntaps, const float* src, float* acc, float* peak, uint64_t n) {
  const DspTable& t = dsp();
  const uint64_t len = n + ntaps - 1;
  t.fill_zero(acc, size_t(len + ntaps - 1));
  t.fir_accumulate(acc, src - (ntaps - 1), taps, ntaps, size_t(len));
  const float* y = acc + (ntaps - 1);
  for (uint64_t j = 0; j < n; ++j) peak[j] = std::max(peak[j], std::fabs(y[j]));
}

// Largest magnitude over the channels of every frame's sample and its
// interpolated values, into peak[1 .. n].
void detect(LimiterState* st, const float* const* in, uint64_t n) {
  float* peak = st->peak + 1;
  std::fill(peak, peak + n, 0.0f);
  const uint64_t hist = st->history;
  for (uint64_t c = 0; c < st->channels; ++c) {
    float* ext = st->ext + c * st->ext_stride;
    std::memcpy(ext + hist, in[c], size_t(n) * sizeof(float));
    const float* self = ext + hist - st->center;
    for (uint64_t j = 0; j < n; ++j) peak[j] = std::max(peak[j], std::fabs(self[j]));
    const float* hq = ext + hist + kHqHalf - st->center;
    for (unsigned ph = 0; ph < 3; ++ph) phase_into_peak(st->hq_taps[ph], kHqTaps, hq, st->acc, peak, n);
    const float* lib = ext + hist + st->lib_center - st->center;
    for (unsigned ph = 0; ph < st->nphases; ++ph) {
      phase_into_peak(st->taps[ph], st->ntaps[ph], lib, st->acc, peak, n);
    }
    std::memmove(ext, ext + n, size_t(hist) * sizeof(float));
  }
}

// 20 log10(g) for g in (0, 1], to about 1e-4 dB: the exponent and a
// polynomial of the mantissa's logarithm.
inline float gain_db(float g) {
  uint32_t bits;
  std::memcpy(&bits, &g, sizeof bits);
  const int e = int((bits >> 23) & 0xff) - 127;
  bits = (bits & 0x007fffffu) | 0x3f800000u;
  float m;
  std::memcpy(&m, &bits, sizeof m);
  // log2(m) on [1, 2): a minimax fit in (m - 1).
  const float x = m - 1.0f;
  const float l = x * (1.4425449f + x * (-0.7181452f + x * (0.4575485f + x * (-0.2779042f + x * (0.121797f + x * -0.0258411f)))));
  return 6.0205999f * (float(e) + l);
}

// One block of at most kBlock frames (null `in`: zeros); the output of the
// frames before the stream's start and after its real end is dropped.
// Output frames go to out[c] from the frame emitted when `base` frames had
// been emitted.
uint64_t run_block(LimiterState* st, const float* const* in, float* const* out, uint64_t n, uint64_t base) {
  const float* zeros[kMaxChannels];
  if (!in) {
    for (uint64_t c = 0; c < st->channels; ++c) zeros[c] = st->zeros;
    in = zeros;
  }
  // Take the input in before anything is written (out may be in).
  const uint64_t lat = st->latency;
  for (uint64_t c = 0; c < st->channels; ++c) {
    std::memcpy(st->delay + c * st->delay_stride + lat, in[c], size_t(n) * sizeof(float));
  }
  if (st->peaks && st->replay) {
    // The detector is linear: the peaks of the input times a gain are the
    // kept peaks times it.
    const uint64_t have = st->fed < st->peaks_count ? std::min(n, st->peaks_count - st->fed) : 0;
    const float* kept = st->peaks + st->fed;
    const float k = st->peaks_scale;
    for (uint64_t j = 0; j < have; ++j) st->peak[j + 1] = kept[j] * k;
    std::fill(st->peak + 1 + have, st->peak + 1 + n, 0.0f);
  } else {
    detect(st, in, n);
    if (st->peaks && st->fed < st->peaks_count) {
      std::memcpy(st->peaks + st->fed, st->peak + 1, size_t(std::min(n, st->peaks_count - st->fed)) * sizeof(float));
    }
  }
  gain_curve(st, n);
  st->peak[0] = st->peak[n];
  // Frames of this block's outputs: fed - lat + j.
  const uint64_t first = st->fed;
  st->fed += n;
  uint64_t j0 = 0, j1 = n;
  if (first < lat) j0 = std::min<uint64_t>(n, lat - first);
  const uint64_t end = st->real + lat;  // output j is real while first + j < end
  if (first + j1 > end) j1 = end > first ? end - first : 0;
  if (j1 < j0) j1 = j0;
  const uint64_t count = j1 - j0;
  for (uint64_t c = 0; c < st->channels; ++c) {
    float* d = st->delay + c * st->delay_stride;
    float* o = out[c] + (st->emitted - base);
    const float* g = st->gain + j0;
    const float* src = d + j0;
    for (uint64_t j = 0; j < count; ++j) o[j] = g[j] * src[j];
    std::memmove(d, d + n, size_t(lat) * sizeof(float));
  }
  // Reductions in blocks of 8 lanes, so that the loop vectorises.
  LimiterStats& s = st->stats;
  float low = 1.0f;
  for (uint64_t j = j0; j < j1; ++j) low = std::min(low, st->gain[j]);
  if (low < float(kLimitedGain)) {
    float sum[8] = {}, count8[8] = {};
    const float* g = st->gain + j0;
    const uint64_t m = j1 - j0;
    uint64_t j = 0;
    for (; j + 8 <= m; j += 8) {
      for (unsigned k = 0; k < 8; ++k) {
        const float v = std::max(g[j + k], 1e-30f);
        const bool on = v < float(kLimitedGain);
        sum[k] += on ? -gain_db(v) : 0.0f;
        count8[k] += on ? 1.0f : 0.0f;
      }
    }
    double total = 0.0, limited = 0.0;
    for (; j < m; ++j) {
      const float v = std::max(g[j], 1e-30f);
      if (v < float(kLimitedGain)) {
        total -= gain_db(v);
        limited += 1.0;
      }
    }
    for (unsigned k = 0; k < 8; ++k) {
      total += sum[k];
      limited += count8[k];
    }
    s.limited_frames += uint64_t(limited);
    s.sum_reduction_db += total;
    s.max_reduction_db = std::max(s.max_reduction_db, double(-gain_db(std::max(low, 1e-30f))));
  }
  if (st->trace) {
    for (uint64_t j = j0; j < j1 && st->trace_bucket < st->trace_count;) {
      const uint64_t take = std::min(j1 - j, st->trace_left);
      float low_here = st->trace[st->trace_bucket];
      for (uint64_t k = j; k < j + take; ++k) low_here = std::min(low_here, st->gain[k]);
      st->trace[st->trace_bucket] = low_here;
      j += take;
      st->trace_left -= take;
      if (st->trace_left == 0) {
        ++st->trace_bucket;
        st->trace_left = st->trace_step;
      }
    }
  }
  if (st->gains && st->emitted < st->gains_count) {
    std::memcpy(st->gains + st->emitted, st->gain + j0,
                size_t(std::min(count, st->gains_count - st->emitted)) * sizeof(float));
  }
  s.frames += count;
  st->emitted += count;
  return count;
}

}  // namespace

double limiter_mean_reduction_db(const LimiterStats& s) {
  return s.limited_frames ? s.sum_reduction_db / double(s.limited_frames) : 0.0;
}

double limiter_limited_share(const LimiterStats& s) {
  return s.frames ? double(s.limited_frames) / double(s.frames) : 0.0;
}

void limiter_init(Limiter& l) { l.state = nullptr; }

void limiter_trace_into(Limiter& l, float* buckets, uint64_t count, uint64_t frames_per_bucket) {
  LimiterState* st = l.state;
  if (!st) return;
  const bool on = buckets && count > 0 && frames_per_bucket > 0;
  st->trace = on ? buckets : nullptr;
  st->trace_count = on ? count : 0;
  st->trace_step = frames_per_bucket;
  st->trace_bucket = 0;
  st->trace_left = frames_per_bucket;
}

void limiter_peaks_record(Limiter& l, float* peaks, uint64_t count) {
  LimiterState* st = l.state;
  if (!st) return;
  st->peaks = count > 0 ? peaks : nullptr;
  st->peaks_count = st->peaks ? count : 0;
  st->replay = false;
}

void limiter_peaks_replay(Limiter& l, const float* peaks, uint64_t count, float scale) {
  LimiterState* st = l.state;
  if (!st) return;
  st->peaks = count > 0 ? const_cast<float*>(peaks) : nullptr;
  st->peaks_count = st->peaks ? count : 0;
  st->peaks_scale = scale;
  st->replay = st->peaks != nullptr;
}

void limiter_gains_into(Limiter& l, float* gains, uint64_t count) {
  LimiterState* st = l.state;
  if (!st) return;
  st->gains = count > 0 ? gains : nullptr;
  st->gains_count = st->gains ? count : 0;
}

void limiter_release(Limiter& l) {
  free_state(l.state);
  l.state = nullptr;
}

Status limiter_start(Limiter& l, const LimiterSettings& settings) {
  if (!settings_ok(settings)) return STATUS_BAD_ARGUMENT;
  limiter_release(l);
  LimiterState* st = static_cast<LimiterState*>(mem_calloc(1, sizeof(LimiterState)));
  if (!st) return STATUS_NO_MEMORY;
  st->set = settings;
  st->channels = settings.channels;
  const uint64_t rate = settings.rate;

  TruePeakFilter f;
  true_peak_filter_for_rate(rate, &f);
  st->lib_center = f.factor > 1 ? 24 / f.factor : 0;
  st->center = std::max<uint64_t>(st->lib_center, kHqHalf);
  {
    double i0beta = 0.0, term = 1.0;
    for (int k = 1; k < 40; ++k) {
      i0beta += term;
      term *= (kHqBeta / 2) * (kHqBeta / 2) / double(k * k);
    }
    for (unsigned p = 0; p < 3; ++p) {
      const double frac = double(p + 1) / 4.0;
      for (unsigned k = 0; k < kHqTaps; ++k) {
        const double u = double(k) - double(kHqHalf) + frac;  // x[n - k] sits u frames before the value
        const double r = u / double(kHqHalf);
        const double arg = kHqBeta * std::sqrt(std::max(0.0, 1.0 - r * r));
        double i0 = 0.0, t = 1.0;
        for (int m = 1; m < 40; ++m) {
          i0 += t;
          t *= (arg / 2) * (arg / 2) / double(m * m);
        }
        st->hq_taps[p][k] = float(std::sin(M_PI * u) / (M_PI * u) * i0 / i0beta);
      }
    }
  }
  unsigned most = 0;
  for (unsigned p = 1; p < f.factor; ++p) {
    unsigned& nt = st->ntaps[st->nphases];
    nt = 0;
    for (unsigned k = 0; p + f.factor * k < 49 && nt < kMaxTaps; ++k) {
      const double c = f.coeff[p + f.factor * k];
      st->taps[st->nphases][nt++] = std::fabs(c) > 1e-9 ? float(c) : 0.0f;
    }
    most = std::max(most, nt);
    ++st->nphases;
  }
  st->history = std::max<uint64_t>({(most ? most - 1 : 0) + st->center - st->lib_center, kHqTaps - 1, st->center});
  st->ceiling = float(std::pow(10.0, (settings.ceiling_db - kMarginDb) / 20.0));

  // The averages take `attack` frames to bring the gain down; the window
  // reaches kHqHalf frames further, so that the gain is already flat over
  // the interpolators' main lobe when the peak arrives (a gain that still
  // falls there would lift the interpolated peak of the output).
  const uint64_t attack = std::max<uint64_t>(1, uint64_t(std::lround(settings.lookahead_ms * 0.001 * double(rate))));
  st->window = attack + kHqHalf;
  st->len1 = (attack + 1) / 2;
  st->len2 = attack + 1 - st->len1;
  st->latency = st->center + st->window - 1;
  uint64_t cap = 1;
  while (cap < st->window + 1) cap <<= 1;
  st->queue_mask = cap - 1;
  st->hold = std::max<uint64_t>(1, uint64_t(std::lround(kHoldMs * 0.001 * double(rate))));
  uint64_t hold_cap = 1;
  while (hold_cap < st->hold + 1) hold_cap <<= 1;
  st->hold_mask = hold_cap - 1;
  st->adaptive = settings.release_ms == 0.0;
  st->fast = coefficient(kFastReleaseMs, rate);
  st->slow = coefficient(st->adaptive ? kSlowReleaseMs : settings.release_ms, rate);
  st->sustain = coefficient(kSustainMs, rate);
  st->envelope = 1.0;
  // The release starts slow: it speeds up only once a second without much
  // limiting has shown that the peaks are isolated.
  st->sustained = 1.0 / kSustainedScale;

  st->ext_stride = st->history + kBlock;
  st->delay_stride = st->latency + kBlock;
  st->ext = static_cast<float*>(mem_calloc(size_t(st->ext_stride * st->channels), sizeof(float)));
  st->acc = static_cast<float*>(mem_calloc(size_t(kBlock + 2 * kMaxTaps), sizeof(float)));
  st->peak = static_cast<float*>(mem_calloc(size_t(kBlock + 1), sizeof(float)));
  st->queue_value = static_cast<float*>(mem_calloc(size_t(cap), sizeof(float)));
  st->queue_index = static_cast<uint64_t*>(mem_calloc(size_t(cap), sizeof(uint64_t)));
  st->hold_value = static_cast<float*>(mem_calloc(size_t(hold_cap), sizeof(float)));
  st->hold_index = static_cast<uint64_t*>(mem_calloc(size_t(hold_cap), sizeof(uint64_t)));
  st->ring1 = static_cast<double*>(mem_calloc(size_t(st->len1), sizeof(double)));
  st->ring2 = static_cast<double*>(mem_calloc(size_t(st->len2), sizeof(double)));
  st->delay = static_cast<float*>(mem_calloc(size_t(st->delay_stride * st->channels), sizeof(float)));
  st->gain = static_cast<float*>(mem_calloc(size_t(kBlock), sizeof(float)));
  st->zeros = static_cast<float*>(mem_calloc(size_t(kBlock), sizeof(float)));
  if (!st->ext || !st->acc || !st->peak || !st->queue_value || !st->queue_index || !st->hold_value ||
      !st->hold_index || !st->ring1 || !st->ring2 ||
      !st->delay || !st->gain || !st->zeros) {
    free_state(st);
    return STATUS_NO_MEMORY;
  }
  // Before the stream the gain was 1.
  for (uint64_t i = 0; i < st->len1; ++i) st->ring1[i] = 1.0 / double(st->len1);
  for (uint64_t i = 0; i < st->len2; ++i) st->ring2[i] = 1.0 / double(st->len2);
  st->sum1 = 1.0;
  st->sum2 = 1.0;
  l.state = st;
  return STATUS_OK;
}

uint64_t limiter_latency(const Limiter& l) { return l.state ? l.state->latency : 0; }

Status limiter_process(Limiter& l, const float* const* in, float* const* out, uint64_t frames, uint64_t* produced) {
  LimiterState* st = l.state;
  if (!st || st->flushed || !in || !out || !produced) return STATUS_INVALID;
  const uint64_t start = st->emitted;
  const float* rows[kMaxChannels];
  for (uint64_t at = 0; at < frames; at += kBlock) {
    const uint64_t n = std::min(kBlock, frames - at);
    for (uint64_t c = 0; c < st->channels; ++c) rows[c] = in[c] + at;
    st->real += n;
    run_block(st, rows, out, n, start);
  }
  *produced = st->emitted - start;
  return STATUS_OK;
}

Status limiter_flush(Limiter& l, float* const* out, uint64_t* produced) {
  LimiterState* st = l.state;
  if (!st || st->flushed || !out || !produced) return STATUS_INVALID;
  const uint64_t start = st->emitted;
  for (uint64_t left = st->latency; left > 0;) {
    const uint64_t n = std::min(kBlock, left);
    run_block(st, nullptr, out, n, start);
    left -= n;
  }
  st->flushed = true;
  *produced = st->emitted - start;
  return STATUS_OK;
}

LimiterStats limiter_stats(const Limiter& l) {
  return l.state ? l.state->stats : LimiterStats{0, 0, 0.0, 0.0};
}

Status limiter_apply(Sample& audio, const LimiterSettings& settings, LimiterStats* stats, float* trace_buckets,
                     uint64_t trace_count, uint64_t frames_per_bucket) {
  if (audio.channels != settings.channels || audio.sample_rate != settings.rate) return STATUS_BAD_ARGUMENT;
  if (audio.length > 0 && !audio.data) return STATUS_BAD_ARGUMENT;
  Limiter l;
  limiter_init(l);
  Status st = limiter_start(l, settings);
  if (st != STATUS_OK) return st;
  limiter_trace_into(l, trace_buckets, trace_count, frames_per_bucket);
  float* rows[kMaxChannels];
  for (uint64_t c = 0; c < audio.channels; ++c) rows[c] = audio.data + c * audio.stride;
  uint64_t produced = 0, done = 0;
  st = limiter_process(l, rows, rows, audio.length, &produced);
  done += produced;
  float* tail[kMaxChannels];
  for (uint64_t c = 0; c < audio.channels; ++c) tail[c] = rows[c] + done;
  if (st == STATUS_OK) st = limiter_flush(l, tail, &produced);
  if (st == STATUS_OK && stats) *stats = limiter_stats(l);
  limiter_release(l);
  return st;
}
