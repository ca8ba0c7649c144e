#include "analysis/limiter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/sample_progress.h"
#include "analysis/true_peak.h"
#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

// Frames per internal block; calls of any size are cut into these.
constexpr uint64_t kBlock = 2048;
// The detector reads a hair below the meter it follows (float rounding,
// and the gain's own slope across the interpolator's taps): the gain is
// computed for a ceiling this much lower.
constexpr double kMarginDb = 0.02;
constexpr double kHoldMs = 10.0;
// Under sustained limiting (as the adaptive release measures it) the hold
// reaches this far back where that costs next to nothing: a steady
// signal's crests (two tones beating, a bass note under a high one) need
// gains that differ by a hair, and holding their least at one gain keeps
// the gain from being modulated between them. Where the long hold would
// take more than kSteadyReduction off (noise, music), the short one
// stands. The mix between the two follows the release's.
constexpr double kLongHoldMs = 60.0;
// Blocks of short-hold minima gathered before the kept ones move back.
constexpr uint64_t kHeldBlocks = 8;
constexpr float kSteadyReduction = 0.005f;
constexpr double kFastReleaseMs = 2.0;
constexpr double kSlowReleaseMs = 40.0;
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
// The release runs on groups of 4 frames, and its time constant follows
// the mean reduction once every kSustainStep frames, both counted from the
// stream's start, so that how a stream is cut into calls does not change
// a bit of it.
constexpr unsigned kGroup = 4;
constexpr unsigned kSustainStep = 32;
// The averages add reductions as integers in steps of 2^-24 (rounded up,
// so that the gain never rises by the rounding): exact sums, the same
// whatever the order. The steps are coarser where the averages are so long
// that their sums would pass 2^52 (at rates of megahertz), below which an
// integer converts to double by its bits.
constexpr double kReductionSteps = 16777216.0;
constexpr double kTwo52 = 4503599627370496.0;

double coefficient(double ms, uint64_t rate) {
  const double frames = ms * 0.001 * double(rate);
  return frames > 0.0 ? 1.0 - std::exp(-1.0 / frames) : 1.0;
}

}  // namespace

struct LimiterState {
  LimiterSettings set;
  uint64_t channels;
  // Detector: the phases of libebur128's interpolator, lib_taps[p *
  // lib_ntaps + k] against x[n - k] giving the value at n - lib_center +
  // (p + 1) / factor, and the three phases of the second one, hq_taps[p *
  // kHqTaps + k] against x[n - k] giving the value at n - kHqHalf + (p + 1)
  // / 4.
  unsigned nphases;
  unsigned lib_ntaps;
  float lib_taps[kMaxPhases * kMaxTaps];
  uint64_t lib_center;
  float hq_taps[kMaxPhases * kHqTaps];
  // Whether an interpolator's three phases mirror (the third the first
  // reversed, the second symmetric), as windowed sincs do: then each pair
  // of inputs is added and subtracted once for all of them.
  bool hq_mirrored, lib_mirrored;
  uint64_t center;   // frames the detector looks ahead, the larger of the two
  uint64_t history;  // frames of input the interpolators keep (>= center)
  // The stream's first frames are detected a second time with the history
  // mirrored about the first frame (x[-k] = x[k]), as resamplers that prime
  // their filter that way (ffmpeg's) see them; the larger peak counts. The
  // first block holds at least `start_frames` frames (fewer only when the
  // stream is shorter), the input is gathered until then, and the mirror
  // reads only those, so that how the stream is cut changes nothing.
  uint64_t start_frames;
  float* start_in;   // per channel start_frames: the gathered first frames
  uint64_t start_fill;
  float* mirror;     // history + start_frames: one channel's mirrored view
  float* mirror_peak;  // start_frames
  float ceiling;     // linear, margin included
  // Per channel: `history` frames before the block, then the block.
  float* ext;
  uint64_t ext_stride;
  float* peak;  // kBlock + 1: peak[0] is the previous block's last frame
  // The needed gains of the last `span - 1` frames, then the block's; the
  // held gain of a frame is their least over `span` frames (the look-ahead
  // window W and the hold after it).
  uint64_t window;
  uint64_t hold;
  uint64_t span;
  // The long hold's span (`span` without the adaptive release); its
  // minima are those of the short spans that tile it, kept for the last
  // reach - span frames in `held_back`, then the block's.
  uint64_t reach;
  float* needed;
  float* ladder;  // 2 * (kBlock + span): the window minima, level by level
  float* floor;   // kBlock: 1 - the held gain
  float* held_back;   // reach - span + kHeldBlocks * kBlock (adaptive release only)
  uint64_t held_fill;  // minima in held_back, the last reach - span of them the ones kept
  float* floor_long;  // kBlock: 1 - the held gain over the long hold (adaptive release only)
  float* share;       // kBlock: steady_share of each frame (adaptive release only)
  float hold_mix;     // 0 .. 1: how much of the long hold the release takes
  // Release: the reduction u = 1 - gain falls back as u * a per frame and
  // never below the floor; groups of kGroup frames share one a.
  float* reduction;  // kBlock
  float group_in[kGroup];
  unsigned group_fill;  // frames of the current group seen so far
  float carried;        // the reduction before the current group
  float powers[kGroup];  // a, a^2, a^3, a^4
  double sustained;      // mean reduction (1 - gain) of the last second
  float sustain_acc;     // its pending part from the step's groups
  unsigned sustain_group;
  float sustain_weight[kSustainStep];
  double sustain_decay;
  double fast, slow;
  bool adaptive;
  // Two moving averages of the reduction, in integer steps.
  uint64_t len1, len2;
  int32_t* steps;  // len1 + kBlock: the last len1 frames' reductions, then the block's
  int64_t* sums;   // len2 + kBlock: the same of their running sums
  int64_t sum1, sum2;
  int64_t* totals;  // kBlock: the block's running sums of the sums
  float step_scale;  // steps per unit of reduction
  double inv_sums;   // 1 / (len1 * len2 * step_scale)
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
  // The gains of every emitted frame found before, when applied instead of
  // found.
  const float* gains_in;
  uint64_t gains_in_count;
  // Sums of the squared gains of every `squares_step` emitted frames, when
  // kept; only the largest reduction is counted then.
  float* squares;
  uint64_t squares_count, squares_step, squares_fill;
  float squares_acc;
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
  mem_free(st->peak);
  mem_free(st->needed);
  mem_free(st->ladder);
  mem_free(st->floor);
  mem_free(st->floor_long);
  mem_free(st->held_back);
  mem_free(st->share);
  mem_free(st->reduction);
  mem_free(st->steps);
  mem_free(st->sums);
  mem_free(st->totals);
  mem_free(st->delay);
  mem_free(st->gain);
  mem_free(st->zeros);
  mem_free(st->start_in);
  mem_free(st->mirror);
  mem_free(st->mirror_peak);
  mem_free(st);
}

inline float lesser(float a, float b) { return b < a ? b : a; }
inline float greater(float a, float b) { return b > a ? b : a; }

// dst[j] = the least of x[j .. j + len - 1] for j < n, by growing
// windows: each level holds the minima of four times (or, last, twice) the
// frames of the one before, and two minima of the largest width within len
// cover the window. The minimum is exact, so any grouping gives the same
// values; fewer, wider levels store less. Plain loops over distinct rows,
// which the compiler turns into vector code.
void window_min(float* dst, const float* x, uint64_t len, uint64_t n, float* a, float* b) {
  if (len == 1) {
    std::memcpy(dst, x, size_t(n) * sizeof(float));
    return;
  }
  uint64_t m = n + len - 1;  // frames of x the windows cover
  const float* src = x;
  uint64_t width = 1;
  while (2 * width <= len) {
    const uint64_t grow = 4 * width <= len ? 4 : 2;
    const uint64_t count = m - (grow - 1) * width;
    float* __restrict out = a;
    const float* __restrict in = src;
    if (grow == 4) {
      const uint64_t w = width;
      for (uint64_t i = 0; i < count; ++i) out[i] = lesser(lesser(in[i], in[i + w]), lesser(in[i + 2 * w], in[i + 3 * w]));
    } else {
      for (uint64_t i = 0; i < count; ++i) out[i] = lesser(in[i], in[i + width]);
    }
    m = count;
    width *= grow;
    src = a;
    std::swap(a, b);
  }
  const uint64_t rest = len - width;
  for (uint64_t j = 0; j < n; ++j) dst[j] = lesser(src[j], src[j + rest]);
}

// The release of one group of kGroup frames: u[i] is the largest of
// floor[i] and of every earlier floor and the carried reduction, each
// times a per frame since; in two doubling steps and one for the carry.
inline void release_group(const float* c, float carried, const float* p, float* u) {
  const float s1 = greater(c[1], p[0] * c[0]);
  const float s2 = greater(c[2], p[0] * c[1]);
  const float s3 = greater(c[3], p[0] * c[2]);
  const float t2 = greater(s2, p[1] * c[0]);
  const float t3 = greater(s3, p[1] * s1);
  u[0] = greater(c[0], p[0] * carried);
  u[1] = greater(s1, p[1] * carried);
  u[2] = greater(t2, p[2] * carried);
  u[3] = greater(t3, p[3] * carried);
}

void set_release_rate(LimiterState* st) {
  const double sustained = std::min(1.0, st->sustained * kSustainedScale);
  const double k = st->adaptive ? st->fast + (st->slow - st->fast) * sustained : st->slow;
  st->hold_mix = st->adaptive ? float(sustained) : 0.0f;
  const float a = float(1.0 - k);
  st->powers[0] = a;
  st->powers[1] = a * a;
  st->powers[2] = st->powers[1] * a;
  st->powers[3] = st->powers[1] * st->powers[1];
}

// How much of the long hold a frame may take (0 .. 1): all of it where its
// floor is within kSteadyReduction of the short one's, none from twice
// that on.
inline float steady_share(float short_floor, float long_floor) {
  const float t = 2.0f - (long_floor - short_floor) * (1.0f / kSteadyReduction);
  return lesser(1.0f, greater(0.0f, t));
}

// A frame's floor between the short hold's and the long one's (which is
// at least as large) by its share times the mix; never below the short
// one's.
inline float held_floor(float short_floor, float long_floor, float share, float mix) {
  const float w = share * mix;
  const float between = greater(short_floor, short_floor + w * (long_floor - short_floor));
  return w >= 1.0f ? long_floor : between;
}

// The reductions of n frames from their floors (1 - held gain), and with
// `longer` the long hold's floors mixed in. A group that has ended with
// reductions u[0 .. kGroup-1] is carried into the next, and the mean
// reduction of the last second takes it on; at every kSustainStep frames
// the release's time constant and the holds' mix follow that mean. The
// state lives in locals while the groups run.
void release(LimiterState* st, const float* floor, const float* longer, const float* share, float* u, uint64_t n) {
  float carried = st->carried, acc = st->sustain_acc;
  unsigned group = st->sustain_group;
  float p[kGroup];
  std::memcpy(p, st->powers, sizeof p);
  float mix = st->hold_mix;
  float mixed[kGroup];
  auto floors = [&](uint64_t j) -> const float* {
    if (!longer) return floor + j;
    for (unsigned i = 0; i < kGroup; ++i) mixed[i] = held_floor(floor[j + i], longer[j + i], share[j + i], mix);
    return mixed;
  };
  auto done = [&](const float* out) {
    const float* w = st->sustain_weight + group * kGroup;
    acc += (w[0] * out[0] + w[1] * out[1]) + (w[2] * out[2] + w[3] * out[3]);
    carried = out[kGroup - 1];
    if (++group == kSustainStep / kGroup) {
      st->sustained = st->sustained * st->sustain_decay + double(acc);
      acc = 0.0f;
      group = 0;
      set_release_rate(st);
      std::memcpy(p, st->powers, sizeof p);
      mix = st->hold_mix;
    }
  };
  uint64_t j = 0;
  if (st->group_fill == 0) {
    for (; j + kGroup <= n; j += kGroup) {
      release_group(floors(j), carried, p, u + j);
      done(u + j);
    }
  }
  while (j < n) {
    // A group cut by the call: it is worked out again, from its start,
    // each time frames of it arrive; the frames given out before come out
    // the same (no frame depends on later ones).
    const unsigned had = st->group_fill;
    const unsigned take = unsigned(std::min<uint64_t>(kGroup - had, n - j));
    for (unsigned i = 0; i < take; ++i)
      st->group_in[had + i] = longer ? held_floor(floor[j + i], longer[j + i], share[j + i], mix) : floor[j + i];
    for (unsigned i = had + take; i < kGroup; ++i) st->group_in[i] = 0.0f;
    float out[kGroup];
    release_group(st->group_in, carried, p, out);
    for (unsigned i = 0; i < take; ++i) u[j + i] = out[had + i];
    st->group_fill = had + take;
    if (st->group_fill == kGroup) {
      st->group_fill = 0;
      done(out);
    }
    j += take;
    if (st->group_fill == 0) {
      for (; j + kGroup <= n; j += kGroup) {
        release_group(floors(j), carried, p, u + j);
        done(u + j);
      }
    }
  }
  st->carried = carried;
  st->sustain_acc = acc;
  st->sustain_group = group;
}

// The gains of the frames whose needed gains (each with its predecessor's
// peak) come from peak[1 .. n], into st->gain: gain[j] is the gain of the
// frame `latency` frames before input j.
void gain_curve(LimiterState* st, uint64_t n) {
  const float ceiling = st->ceiling;
  const uint64_t span = st->span;
  float* needed = st->needed + (span - 1);
  const float* peak = st->peak;
  for (uint64_t j = 0; j < n; ++j) {
    // A NaN peak needs no gain (the ceiling is kept); an infinite one
    // needs all of it; at or below the ceiling the quotient is exactly 1.
    needed[j] = ceiling / greater(ceiling, greater(peak[j], peak[j + 1]));
  }
  // The held gain: the least needed gain over the window and the hold.
  float* held = st->floor;
  window_min(held, st->needed, span, n, st->ladder, st->ladder + kBlock + span);
  std::memmove(st->needed, st->needed + n, size_t(span - 1) * sizeof(float));
  // Over the window and the long hold: the least of the short spans that
  // tile it, the last of them reaching back to its start (the minimum is
  // exact, so overlaps change nothing).
  float* longer = st->adaptive ? st->floor_long : nullptr;
  if (longer) {
    const uint64_t back = st->reach - span;
    // The block's minima go after the kept ones; the last `back` of them
    // move to the start only when the room runs out.
    if (st->held_fill + n > back + kHeldBlocks * kBlock) {
      std::memmove(st->held_back, st->held_back + st->held_fill - back, size_t(back) * sizeof(float));
      st->held_fill = back;
    }
    float* h = st->held_back + st->held_fill;
    std::memcpy(h, held, size_t(n) * sizeof(float));
    st->held_fill += n;
    // Three spans at a time (the last ones repeated where fewer are left).
    const float* from = held;
    for (uint64_t k = span; k < back + span; k += 3 * span) {
      const float* __restrict a = h - std::min(k, back);
      const float* __restrict b = h - std::min(k + span, back);
      const float* __restrict c = h - std::min(k + 2 * span, back);
      const float* __restrict in = from;
      float* __restrict to = longer;
      for (uint64_t j = 0; j < n; ++j) to[j] = lesser(lesser(in[j], a[j]), lesser(b[j], c[j]));
      from = longer;
    }
    if (from == held) std::memcpy(longer, held, size_t(n) * sizeof(float));
    for (uint64_t j = 0; j < n; ++j) longer[j] = 1.0f - longer[j];
  }
  for (uint64_t j = 0; j < n; ++j) held[j] = 1.0f - held[j];
  float* share = st->share;
  for (uint64_t j = 0; longer && j < n; ++j) share[j] = steady_share(held[j], longer[j]);
  float* u = st->reduction;
  release(st, held, longer, share, u, n);
  // Two moving averages, so that the gain reaches each peak's value by the
  // peak along a smooth (piecewise quadratic) curve: the reductions in
  // integer steps after `len1` frames of them, their running sums after
  // `len2` of those.
  const uint64_t len1 = st->len1, len2 = st->len2;
  int32_t* q = st->steps + len1;
  const float scale = st->step_scale;
  for (uint64_t j = 0; j < n; ++j) {
    const float t = u[j] * scale;
    const int32_t i = int32_t(t);
    q[j] = i + (float(i) < t ? 1 : 0);
  }
  int64_t* s1 = st->sums + len2;
  int64_t sum1 = st->sum1;
  int64_t sum2 = st->sum2;
  int64_t* total = st->totals;
  // One loop for both: the second sum takes each first sum as it is made.
  for (uint64_t j = 0; j < n; ++j) {
    sum1 += q[j] - q[j - len1];
    s1[j] = sum1;
    sum2 += sum1 - s1[j - len2];
    total[j] = sum2;
  }
  // 0 <= total < 2^52: its bits under the exponent of 2^52 are 2^52 +
  // total, exactly.
  const double inv = st->inv_sums;
  for (uint64_t j = 0; j < n; ++j) {
    const uint64_t bits = uint64_t(total[j]) | 0x4330000000000000ull;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    st->gain[j] = float(1.0 - (d - kTwo52) * inv);
  }
  st->sum1 = sum1;
  st->sum2 = sum2;
  std::memmove(st->steps, st->steps + n, size_t(len1) * sizeof(int32_t));
  std::memmove(st->sums, st->sums + n, size_t(len2) * sizeof(int64_t));
}

// The first block's peaks of one channel `x` (n frames) seen with the
// history mirrored, raised into peak[0 .. n-1] where larger. Only the
// first start_frames frames are read, and only the peaks whose
// interpolators reach before the start can differ.
void detect_mirrored(LimiterState* st, const float* x, uint64_t n, float* peak) {
  const DspTable& t = dsp();
  const uint64_t hist = st->history, m = std::min(n, st->start_frames);
  float* ext = st->mirror;
  for (uint64_t k = 1; k <= hist; ++k) ext[hist - k] = k < m ? x[k] : 0.0f;
  std::memcpy(ext + hist, x, size_t(m) * sizeof(float));
  float* p = st->mirror_peak;
  std::fill(p, p + m, 0.0f);
  const float* self = ext + hist - st->center;
  for (uint64_t j = 0; j < m; ++j) p[j] = greater(p[j], std::fabs(self[j]));
  const float* hq = ext + hist + kHqHalf - st->center;
  if (st->hq_mirrored) {
    t.peak_mirrored(p, hq, st->hq_taps, kHqTaps, size_t(m));
  } else {
    t.peak_polyphase(p, hq, st->hq_taps, kHqTaps, 3, size_t(m));
  }
  const float* lib = ext + hist + st->lib_center - st->center;
  if (st->lib_mirrored) {
    t.peak_mirrored(p, lib, st->lib_taps, st->lib_ntaps, size_t(m));
  } else if (st->nphases > 0) {
    t.peak_polyphase(p, lib, st->lib_taps, st->lib_ntaps, st->nphases, size_t(m));
  }
  for (uint64_t j = 0; j < m; ++j) peak[j] = greater(peak[j], p[j]);
}

// Largest magnitude over the channels of every frame's sample and its
// interpolated values, into peak[1 .. n].
void detect(LimiterState* st, const float* const* in, uint64_t n) {
  const DspTable& t = dsp();
  float* peak = st->peak + 1;
  std::fill(peak, peak + n, 0.0f);
  const uint64_t hist = st->history;
  for (uint64_t c = 0; c < st->channels; ++c) {
    float* ext = st->ext + c * st->ext_stride;
    std::memcpy(ext + hist, in[c], size_t(n) * sizeof(float));
    const float* self = ext + hist - st->center;
    for (uint64_t j = 0; j < n; ++j) peak[j] = greater(peak[j], std::fabs(self[j]));
    const float* hq = ext + hist + kHqHalf - st->center;
    if (st->hq_mirrored) {
      t.peak_mirrored(peak, hq, st->hq_taps, kHqTaps, size_t(n));
    } else {
      t.peak_polyphase(peak, hq, st->hq_taps, kHqTaps, 3, size_t(n));
    }
    const float* lib = ext + hist + st->lib_center - st->center;
    if (st->lib_mirrored) {
      t.peak_mirrored(peak, lib, st->lib_taps, st->lib_ntaps, size_t(n));
    } else if (st->nphases > 0) {
      t.peak_polyphase(peak, lib, st->lib_taps, st->lib_ntaps, st->nphases, size_t(n));
    }
    if (st->fed == 0) detect_mirrored(st, in[c], n, peak);
    std::memmove(ext, ext + n, size_t(hist) * sizeof(float));
  }
}

// One block of at most kBlock frames (null `in`: zeros); the output of the
// frames before the stream's start and after its real end is dropped.
// Output frames go to out[c] from the frame emitted when `base` frames had
// been emitted. Without `out` only the gains are made (kept, counted and
// traced as with audio), and with `peaks_only` only the peaks (detected
// and kept).
uint64_t run_block(LimiterState* st, const float* const* in, float* const* out, uint64_t n, uint64_t base,
                   bool peaks_only = false) {
  const float* zeros[kMaxChannels];
  if (!in) {
    for (uint64_t c = 0; c < st->channels; ++c) zeros[c] = st->zeros;
    in = zeros;
  }
  // Take the input in before anything is written (out may be in).
  const uint64_t lat = st->latency;
  if (out) {
    for (uint64_t c = 0; c < st->channels; ++c) {
      std::memcpy(st->delay + c * st->delay_stride + lat, in[c], size_t(n) * sizeof(float));
    }
  }
  // Frames of this block's outputs: fed - lat + j, the real ones j0 .. j1.
  const uint64_t first = st->fed;
  uint64_t j0 = 0, j1 = n;
  if (first < lat) j0 = std::min<uint64_t>(n, lat - first);
  const uint64_t end = st->real + lat;  // output j is real while first + j < end
  if (first + j1 > end) j1 = end > first ? end - first : 0;
  if (j1 < j0) j1 = j0;
  const uint64_t count = j1 - j0;
  if (st->gains_in) {
    // The gains found before: neither peaks nor their curve are needed.
    for (uint64_t j = j0; j < j1; ++j) {
      const uint64_t at = st->emitted + (j - j0);
      st->gain[j] = at < st->gains_in_count ? st->gains_in[at] : 1.0f;
    }
  } else if (st->peaks && st->replay) {
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
  if (peaks_only) {
    st->peak[0] = st->peak[n];
    st->fed += n;
    return 0;
  }
  if (!st->gains_in) gain_curve(st, n);
  st->peak[0] = st->peak[n];
  st->fed += n;
  for (uint64_t c = 0; out && c < st->channels; ++c) {
    float* d = st->delay + c * st->delay_stride;
    float* o = out[c] + (st->emitted - base);
    const float* g = st->gain + j0;
    const float* src = d + j0;
    for (uint64_t j = 0; j < count; ++j) o[j] = g[j] * src[j];
    std::memmove(d, d + n, size_t(lat) * sizeof(float));
  }
  // The reductions: the largest from the least gain, the sum of the
  // limited frames' dB as the logarithm of their gains' product, kept in
  // double with its power of two taken out now and then (a gain is at
  // least 1e-30, so 8 frames' product stays above 1e-240).
  LimiterStats& s = st->stats;
  const float* g = st->gain;
  float low = 1.0f;
  for (uint64_t j = j0; j < j1; ++j) low = lesser(low, g[j]);
  if (st->squares) {
    // Squares instead of the other figures.
    s.max_reduction_db = std::max(s.max_reduction_db, -20.0 * std::log10(double(greater(low, 1e-30f))));
    uint64_t at = st->emitted / st->squares_step;
    for (uint64_t j = j0; j < j1 && at < st->squares_count;) {
      const uint64_t take = std::min(j1 - j, st->squares_step - st->squares_fill);
      float acc = 0.0f;
      for (uint64_t k = j; k < j + take; ++k) acc += g[k] * g[k];
      st->squares_acc += acc;
      st->squares_fill += take;
      j += take;
      if (st->squares_fill == st->squares_step || st->emitted + (j - j0) == st->real) {
        st->squares[at++] = st->squares_acc;
        st->squares_acc = 0.0f;
        st->squares_fill = 0;
      }
    }
  } else if (low < float(kLimitedGain)) {
    double product = 1.0;
    int64_t twos = 0;
    uint64_t limited = 0;
    for (uint64_t j = j0; j < j1; j += 8) {
      const uint64_t m = std::min<uint64_t>(8, j1 - j);
      double part = 1.0;
      for (uint64_t k = 0; k < m; ++k) {
        const float v = greater(g[j + k], 1e-30f);
        const bool on = v < float(kLimitedGain);
        part *= on ? double(v) : 1.0;
        limited += on ? 1 : 0;
      }
      product *= part;
      if (product < 1e-30) {
        int e = 0;
        product = std::frexp(product, &e);
        twos += e;
      }
    }
    s.limited_frames += limited;
    s.sum_reduction_db -= 20.0 * (std::log10(product) + double(twos) * 0.30102999566398120);
    s.max_reduction_db = std::max(s.max_reduction_db, -20.0 * std::log10(double(greater(low, 1e-30f))));
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

void limiter_gains_replay(Limiter& l, const float* gains, uint64_t count) {
  LimiterState* st = l.state;
  if (!st) return;
  st->gains_in = count > 0 ? gains : nullptr;
  st->gains_in_count = st->gains_in ? count : 0;
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
        st->hq_taps[p * kHqTaps + k] = float(std::sin(M_PI * u) / (M_PI * u) * i0 / i0beta);
      }
    }
  }
  // Every phase of the library's interpolator has the same number of taps
  // (49 taps over 4 or 2 phases; the first, the samples themselves, is
  // left out); a missing tap is a zero.
  unsigned most = 0;
  if (f.factor > 1) most = std::min<unsigned>(kMaxTaps, (49 + f.factor - 2) / f.factor);
  st->lib_ntaps = most;
  for (unsigned p = 1; p < f.factor; ++p) {
    for (unsigned k = 0; k < most; ++k) {
      const double c = p + f.factor * k < 49 ? f.coeff[p + f.factor * k] : 0.0;
      st->lib_taps[st->nphases * most + k] = std::fabs(c) > 1e-9 ? float(c) : 0.0f;
    }
    ++st->nphases;
  }
  auto mirrored = [](const float* taps, unsigned phases, unsigned ntaps) {
    if (phases != 3 || ntaps % 2 != 0) return false;
    for (unsigned k = 0; k < ntaps; ++k) {
      if (taps[2 * ntaps + k] != taps[ntaps - 1 - k] || taps[ntaps + k] != taps[2 * ntaps - 1 - k]) return false;
    }
    return true;
  };
  st->hq_mirrored = mirrored(st->hq_taps, 3, kHqTaps);
  st->lib_mirrored = mirrored(st->lib_taps, st->nphases, st->lib_ntaps);
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
  st->hold = std::max<uint64_t>(1, uint64_t(std::lround(kHoldMs * 0.001 * double(rate))));
  st->span = st->window + st->hold - 1;
  st->adaptive = settings.release_ms == 0.0;
  st->reach = st->adaptive ? std::max(st->span, st->window + uint64_t(std::lround(kLongHoldMs * 0.001 * double(rate))) - 1)
                           : st->span;
  st->fast = coefficient(kFastReleaseMs, rate);
  st->slow = coefficient(st->adaptive ? kSlowReleaseMs : settings.release_ms, rate);
  // The mean reduction follows u with time constant kSustainMs, updated
  // every kSustainStep frames in one step: s' = s d^step + sum of w_i u_i.
  {
    const double keep = 1.0 - coefficient(kSustainMs, rate);
    double w = 1.0 - keep;
    for (unsigned i = kSustainStep; i-- > 0;) {
      st->sustain_weight[i] = float(w);
      w *= keep;
    }
    st->sustain_decay = std::pow(keep, double(kSustainStep));
  }
  // The release starts slow: it speeds up only once a second without much
  // limiting has shown that the peaks are isolated.
  st->sustained = 1.0 / kSustainedScale;
  set_release_rate(st);
  double steps = kReductionSteps;
  while (double(st->len1) * double(st->len2) * steps >= kTwo52) steps *= 0.5;
  st->step_scale = float(steps);
  st->inv_sums = 1.0 / (double(st->len1) * double(st->len2) * steps);

  // The interpolators of a peak j read frames back to j - center - kHqHalf
  // + 1 and the library's back to j - center + lib_center - lib_ntaps + 1:
  // peaks from center + kHqHalf on never reach before the start. The
  // latency holds every gathered frame back anyway.
  st->start_frames = std::min<uint64_t>(std::max<uint64_t>(st->center + kHqHalf, st->history + 1), st->latency);
  st->ext_stride = st->history + kBlock;
  st->delay_stride = st->latency + kBlock;
  st->ext = static_cast<float*>(mem_calloc(size_t(st->ext_stride * st->channels), sizeof(float)));
  st->peak = static_cast<float*>(mem_calloc(size_t(kBlock + 1), sizeof(float)));
  st->needed = static_cast<float*>(mem_alloc(size_t(kBlock + st->span) * sizeof(float)));
  st->ladder = static_cast<float*>(mem_alloc(size_t(2 * (kBlock + st->span)) * sizeof(float)));
  st->floor = static_cast<float*>(mem_alloc(size_t(kBlock) * sizeof(float)));
  st->floor_long = static_cast<float*>(mem_alloc(size_t(kBlock) * sizeof(float)));
  st->held_back = static_cast<float*>(mem_alloc(size_t(kHeldBlocks * kBlock + st->reach - st->span) * sizeof(float)));
  st->held_fill = st->reach - st->span;
  st->share = static_cast<float*>(mem_alloc(size_t(kBlock) * sizeof(float)));
  st->reduction = static_cast<float*>(mem_alloc(size_t(kBlock) * sizeof(float)));
  st->steps = static_cast<int32_t*>(mem_calloc(size_t(st->len1 + kBlock), sizeof(int32_t)));
  st->sums = static_cast<int64_t*>(mem_calloc(size_t(st->len2 + kBlock), sizeof(int64_t)));
  st->totals = static_cast<int64_t*>(mem_alloc(size_t(kBlock) * sizeof(int64_t)));
  st->delay = static_cast<float*>(mem_calloc(size_t(st->delay_stride * st->channels), sizeof(float)));
  st->gain = static_cast<float*>(mem_calloc(size_t(kBlock), sizeof(float)));
  st->zeros = static_cast<float*>(mem_calloc(size_t(kBlock), sizeof(float)));
  st->start_in = static_cast<float*>(mem_alloc(size_t(st->start_frames * st->channels) * sizeof(float)));
  st->mirror = static_cast<float*>(mem_alloc(size_t(st->history + st->start_frames) * sizeof(float)));
  st->mirror_peak = static_cast<float*>(mem_alloc(size_t(st->start_frames) * sizeof(float)));
  if (!st->ext || !st->peak || !st->needed || !st->ladder || !st->floor || !st->floor_long || !st->held_back ||
      !st->share ||
      !st->reduction ||
      !st->steps ||
      !st->sums || !st->totals || !st->delay || !st->gain || !st->zeros || !st->start_in || !st->mirror ||
      !st->mirror_peak) {
    free_state(st);
    return STATUS_NO_MEMORY;
  }
  // Before the stream the gain was 1: nothing was needed, nothing reduced.
  std::fill(st->needed, st->needed + st->span - 1, 1.0f);
  std::fill(st->held_back, st->held_back + (st->reach - st->span), 1.0f);
  l.state = st;
  return STATUS_OK;
}

uint64_t limiter_latency(const Limiter& l) { return l.state ? l.state->latency : 0; }

namespace {

// The gathered first frames, as the first block.
void run_start(LimiterState* st, float* const* out, uint64_t base) {
  const float* rows[kMaxChannels];
  for (uint64_t c = 0; c < st->channels; ++c) rows[c] = st->start_in + c * st->start_frames;
  st->real += st->start_fill;
  run_block(st, rows, out, st->start_fill, base);
}

}  // namespace

Status limiter_process(Limiter& l, const float* const* in, float* const* out, uint64_t frames, uint64_t* produced) {
  LimiterState* st = l.state;
  if (!st || st->flushed || !in || !out || !produced) return STATUS_INVALID;
  const uint64_t start = st->emitted;
  const float* rows[kMaxChannels];
  uint64_t at = 0;
  if (st->fed == 0) {
    // The first block waits for start_frames frames.
    at = std::min(frames, st->start_frames - st->start_fill);
    for (uint64_t c = 0; c < st->channels; ++c) {
      std::memcpy(st->start_in + c * st->start_frames + st->start_fill, in[c], size_t(at) * sizeof(float));
    }
    st->start_fill += at;
    if (st->start_fill == st->start_frames) run_start(st, out, start);
  }
  for (; at < frames; at += kBlock) {
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
  if (st->fed == 0 && st->start_fill > 0) run_start(st, out, start);
  for (uint64_t left = st->latency; left > 0;) {
    const uint64_t n = std::min(kBlock, left);
    run_block(st, nullptr, out, n, start);
    left -= n;
  }
  st->flushed = true;
  *produced = st->emitted - start;
  return STATUS_OK;
}

namespace {

// Blocks a follower waits for at once: fewer wake-ups than one per block.
constexpr uint64_t kFollowFrames = 16 * kBlock;

// A whole stream of `length` frames (of `in`, or zeros) and the latency's
// flush, producing no audio: only the peaks, or only the gains. With
// `progress` the input's frames are read once it says they are complete;
// false when its writer gave up.
bool run_without_audio(LimiterState* st, const float* const* in, uint64_t length, bool peaks_only,
                       SampleProgress* progress = nullptr) {
  const float* rows[kMaxChannels];
  uint64_t ready = progress ? 0 : length;
  for (uint64_t at = 0; at < length; at += kBlock) {
    const uint64_t n = std::min(kBlock, length - at);
    if (at + n > ready) {
      ready = std::min(length, at + kFollowFrames);
      if (!progress_wait(progress, ready)) return false;
    }
    for (uint64_t c = 0; in && c < st->channels; ++c) rows[c] = in[c] + at;
    st->real += n;
    run_block(st, in ? rows : nullptr, nullptr, n, 0, peaks_only);
  }
  for (uint64_t left = st->latency; left > 0;) {
    const uint64_t n = std::min(kBlock, left);
    run_block(st, nullptr, nullptr, n, 0, peaks_only);
    left -= n;
  }
  return true;
}

}  // namespace

Status limiter_detect_peaks(const LimiterSettings& settings, const float* const* in, uint64_t length, float* peaks,
                            uint64_t count) {
  if (!in || (count > 0 && !peaks)) return STATUS_BAD_ARGUMENT;
  Limiter l;
  limiter_init(l);
  Status status = limiter_start(l, settings);
  if (status != STATUS_OK) return status;
  limiter_peaks_record(l, peaks, count);
  run_without_audio(l.state, in, length, true);
  limiter_release(l);
  return STATUS_OK;
}

Status limiter_detect_peaks_following(const LimiterSettings& settings, SampleProgress* progress, float* peaks,
                                      uint64_t count) {
  if (!progress) return STATUS_BAD_ARGUMENT;
  // The rows and their sizes are known once the first frames are (or the
  // signal is finished).
  if (!progress_wait(progress, 1)) return STATUS_INVALID;
  if (progress->channels != settings.channels || (progress->frames > 0 && !progress->data) ||
      (count > 0 && !peaks))
    return STATUS_BAD_ARGUMENT;
  const float* rows[kMaxChannels];
  for (uint64_t c = 0; c < progress->channels; ++c) rows[c] = progress->data + c * progress->stride;
  Limiter l;
  limiter_init(l);
  Status status = limiter_start(l, settings);
  if (status != STATUS_OK) return status;
  limiter_peaks_record(l, peaks, count);
  const bool ok = run_without_audio(l.state, rows, progress->frames, true, progress);
  limiter_release(l);
  return ok ? STATUS_OK : STATUS_INVALID;
}

Status limiter_replay_squares(const LimiterSettings& settings, const float* peaks, uint64_t count, float scale,
                              uint64_t length, uint64_t step, float* squares, LimiterStats* stats, float* gains) {
  if ((count > 0 && !peaks) || (length > 0 && (!squares || step == 0))) return STATUS_BAD_ARGUMENT;
  Limiter l;
  limiter_init(l);
  Status status = limiter_start(l, settings);
  if (status != STATUS_OK) return status;
  LimiterState* st = l.state;
  limiter_peaks_replay(l, peaks, count, scale);
  st->squares = length > 0 ? squares : nullptr;
  st->squares_count = (length + step - 1) / step;
  st->squares_step = step;
  if (gains) limiter_gains_into(l, gains, length);
  run_without_audio(st, nullptr, length, false);
  if (stats) *stats = st->stats;
  limiter_release(l);
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
