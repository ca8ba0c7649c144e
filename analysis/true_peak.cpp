#include "analysis/true_peak.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include <ebur128.h>

#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

// Frames per block of the model, and per call of the whole-channel pass.
constexpr uint64_t kBlockFrames = 4096;
// Below this many blocks the whole-channel pass is cheap and there is
// nothing to pick from.
constexpr uint64_t kMinBlocks = 8;
// Frames fed to the library before a measured block so that its filter
// history is that of the whole-channel pass. The library's memory is 12
// frames at 4x and 24 at 2x; the probe checks the impulse response over this
// many frames, so a longer one would be caught there.
constexpr uint64_t kContextFrames = 64;
// A block is a candidate when its estimate is within this fraction of the
// largest estimate. The estimate's rounding error is about 1e-6 of the peak
// at worst (a dozen float products summed), so this leaves a factor of 100.
constexpr double kCandidateMargin = 1e-4;
// A measured block must agree with its estimate to this fraction of the
// largest estimate; anything more means the model is not the library's.
constexpr double kAgreement = 1e-5;
// The probe's tolerance on each value of the impulse response.
constexpr double kProbeTolerance = 1e-6;
// Peaks below this are left to the whole-channel pass: there the flush of
// tiny float products to zero may be larger than the relative error bound.
constexpr double kTinyPeak = 1e-30;
// The library ignores coefficients of at most this magnitude.
constexpr double kCoefficientFloor = 1e-9;
// A stream estimates and measures a block in parts of this many frames.
constexpr uint64_t kPartFrames = 512;
// At most this fraction (1/4) of the blocks may be candidates.
constexpr uint64_t kCrowdDivisor = 4;
constexpr unsigned kTaps = 49;

Status status_from_ebur128(int error) {
  switch (error) {
    case EBUR128_SUCCESS: return STATUS_OK;
    case EBUR128_ERROR_NOMEM: return STATUS_NO_MEMORY;
    default: return STATUS_SYSTEM;
  }
}

// One output phase of the model: y[n] = sum_j taps[j] * x[n - first_k - j].
struct ModelPhase {
  unsigned first_k;
  unsigned ntaps;
  bool delay_only;  // a single tap of exactly 1: y[n] = x[n - first_k]
  float taps[kTaps];
};

struct Model {
  bool valid;  // the filter has a factor this code can model
  unsigned nphases;
  ModelPhase phase[4];
  // When every phase but the samples' own has the same reach (as the
  // library's windowed sincs do), those phases side by side for the
  // dispatched polyphase kernel: flat[q * flat_taps + j] against x[n -
  // flat_first - j].
  unsigned flat_phases;  // 0: not so
  unsigned flat_first, flat_taps;
  bool flat_mirrored;
  float flat[3 * kTaps];
};

void build_model(const TruePeakFilter& f, Model* m) {
  *m = Model{};
  m->valid = f.factor >= 1 && f.factor <= 4;
  if (!m->valid || f.factor == 1) return;
  for (unsigned p = 0; p < f.factor; ++p) {
    unsigned first = kTaps, last = 0;
    for (unsigned k = 0; p + f.factor * k < kTaps; ++k) {
      if (std::fabs(f.coeff[p + f.factor * k]) > kCoefficientFloor) {
        first = std::min(first, k);
        last = k;
      }
    }
    if (first == kTaps) continue;
    ModelPhase& ph = m->phase[m->nphases++];
    ph.first_k = first;
    ph.ntaps = last - first + 1;
    for (unsigned j = 0; j < ph.ntaps; ++j) {
      double c = f.coeff[p + f.factor * (first + j)];
      ph.taps[j] = std::fabs(c) > kCoefficientFloor ? float(c) : 0.0f;
    }
    ph.delay_only = ph.ntaps == 1 && ph.taps[0] == 1.0f;
  }
  unsigned q = 0;
  bool same = true;
  for (unsigned i = 0; i < m->nphases && same; ++i) {
    const ModelPhase& ph = m->phase[i];
    if (ph.delay_only) continue;
    if (q == 0) {
      m->flat_first = ph.first_k;
      m->flat_taps = ph.ntaps;
    }
    same = q < 3 && ph.first_k == m->flat_first && ph.ntaps == m->flat_taps && ph.ntaps <= 32;
    if (same) std::copy(ph.taps, ph.taps + ph.ntaps, m->flat + q++ * ph.ntaps);
  }
  m->flat_phases = same ? q : 0;
  const unsigned n = m->flat_taps;
  m->flat_mirrored = m->flat_phases == 3 && n % 2 == 0;
  for (unsigned k = 0; m->flat_mirrored && k < n; ++k) {
    if (m->flat[2 * n + k] != m->flat[n - 1 - k] || m->flat[n + k] != m->flat[2 * n - 1 - k]) m->flat_mirrored = false;
  }
}

// The model's largest output magnitude d frames after a unit impulse (the
// impulse itself counts at d = 0, as the library's peaks include samples).
double model_impulse_response(const Model& m, unsigned d) {
  double v = d == 0 ? 1.0 : 0.0;
  for (unsigned i = 0; i < m.nphases; ++i) {
    const ModelPhase& ph = m.phase[i];
    if (d >= ph.first_k && d < ph.first_k + ph.ntaps) v = std::max(v, double(std::fabs(ph.taps[d - ph.first_k])));
  }
  return v;
}

// Feeds a unit impulse and then single zero frames to a fresh library
// state, reading the peak of each call: the library's impulse response, to
// be the model's within kProbeTolerance over kContextFrames frames.
Status probe_library(uint64_t rate, const Model& m, bool* matches) {
  ebur128_state* state = ebur128_init(1, static_cast<unsigned long>(rate), EBUR128_MODE_TRUE_PEAK);
  if (!state) return STATUS_NO_MEMORY;
  const float one = 1.0f, zero = 0.0f;
  bool ok = true;
  Status status = STATUS_OK;
  for (unsigned d = 0; d < kContextFrames && status == STATUS_OK; ++d) {
    status = status_from_ebur128(ebur128_add_frames_float(state, d == 0 ? &one : &zero, 1));
    double v = 0.0;
    if (status == STATUS_OK) status = status_from_ebur128(ebur128_prev_true_peak(state, 0, &v));
    if (status == STATUS_OK && !(std::fabs(v - model_impulse_response(m, d)) <= kProbeTolerance)) ok = false;
  }
  ebur128_destroy(&state);
  if (status == STATUS_OK) *matches = ok;
  return status;
}

// Probe results of the library's own filter, per rate: slot value
// rate << 2 | 2 | matches, 0 for an empty slot. Lock-free; two threads
// probing the same rate at once both store the same answer. When the table
// is full the probe simply runs again.
constexpr unsigned kProbeSlots = 32;
std::atomic<uint64_t> g_probed[kProbeSlots];

Status probe_cached(uint64_t rate, const Model& m, bool* matches) {
  if (rate >= (uint64_t(1) << 62)) return probe_library(rate, m, matches);
  for (unsigned i = 0; i < kProbeSlots; ++i) {
    uint64_t v = g_probed[i].load(std::memory_order_acquire);
    if (v == 0) break;
    if (v >> 2 == rate) {
      *matches = (v & 1) != 0;
      return STATUS_OK;
    }
  }
  bool ok = false;
  Status st = probe_library(rate, m, &ok);
  if (st != STATUS_OK) return st;
  const uint64_t entry = rate << 2 | 2 | (ok ? 1 : 0);
  for (unsigned i = 0; i < kProbeSlots; ++i) {
    uint64_t expected = 0;
    if (g_probed[i].compare_exchange_strong(expected, entry, std::memory_order_acq_rel)) break;
    if (expected >> 2 == rate) break;
  }
  *matches = ok;
  return STATUS_OK;
}

Status full_pass(const float* x, uint64_t length, uint64_t rate, TruePeakPath path, ChannelPeaks* out) {
  ebur128_state* state =
      ebur128_init(1, static_cast<unsigned long>(rate), EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_TRUE_PEAK);
  if (!state) return STATUS_NO_MEMORY;
  Status status = STATUS_OK;
  for (uint64_t at = 0; at < length && status == STATUS_OK; at += kBlockFrames) {
    const uint64_t n = std::min(kBlockFrames, length - at);
    status = status_from_ebur128(ebur128_add_frames_float(state, x + at, size_t(n)));
  }
  ChannelPeaks r{0.0, 0.0, path};
  if (status == STATUS_OK) status = status_from_ebur128(ebur128_true_peak(state, 0, &r.true_peak));
  if (status == STATUS_OK) status = status_from_ebur128(ebur128_sample_peak(state, 0, &r.sample_peak));
  ebur128_destroy(&state);
  if (status == STATUS_OK) *out = r;
  return status;
}

// Largest magnitude of one model phase over the frames [s, e): the phase's
// FIR over x[s - first_k - ntaps + 1 .. e), with zeros before the channel's
// start. `dst` holds (e - s) + 2 * (ntaps - 1) floats and `scratch`
// (e - s) + first_k + ntaps - 1.
float phase_peak(const DspTable& t, const ModelPhase& ph, const float* x, uint64_t s, uint64_t e, float* dst,
                 float* scratch) {
  const uint64_t n = e - s;
  const uint64_t back = ph.first_k;
  if (ph.delay_only) {
    if (e <= back) return 0.0f;
    const uint64_t from = s >= back ? s - back : 0;
    return t.peak_abs(x + from, size_t(e - back - from));
  }
  const uint64_t reach = back + ph.ntaps - 1;  // frames of history a block needs
  const uint64_t len = n + ph.ntaps - 1;       // source frames of the FIR
  const float* src;
  if (s >= reach) {
    src = x + (s - reach);
  } else {
    // src[i] = x[s - reach + i], zero before the start; only the first
    // `len` values are read, and all of them lie before e - back.
    const uint64_t zeros = reach - s;
    const uint64_t lead = std::min<uint64_t>(zeros, len);
    t.fill_zero(scratch, size_t(lead));
    if (len > lead) t.copy_floats(scratch + lead, x, size_t(len - lead));
    src = scratch;
  }
  t.fill_zero(dst, size_t(len + ph.ntaps - 1));
  t.fir_accumulate(dst, src, ph.taps, ph.ntaps, size_t(len));
  return t.peak_abs(dst + (ph.ntaps - 1), size_t(n));
}

// Feeds the library the kContextFrames frames before `s` (zeros before the
// start) and then the block [s, e); its peak of the block is the value the
// whole-channel pass saw over those frames.
Status measure_block(ebur128_state* state, const float* x, uint64_t s, uint64_t e, float* scratch, double* value) {
  const float* context;
  if (s >= kContextFrames) {
    context = x + (s - kContextFrames);
  } else {
    const uint64_t zeros = kContextFrames - s;
    for (uint64_t i = 0; i < zeros; ++i) scratch[i] = 0.0f;
    for (uint64_t i = 0; i < s; ++i) scratch[zeros + i] = x[i];
    context = scratch;
  }
  Status st = status_from_ebur128(ebur128_add_frames_float(state, context, size_t(kContextFrames)));
  if (st == STATUS_OK) st = status_from_ebur128(ebur128_add_frames_float(state, x + s, size_t(e - s)));
  if (st == STATUS_OK) st = status_from_ebur128(ebur128_prev_true_peak(state, 0, value));
  return st;
}

Status selective(const float* x, uint64_t length, uint64_t rate, const TruePeakFilter& filter, bool cache_probe,
                 ChannelPeaks* out) {
  const uint64_t blocks = (length + kBlockFrames - 1) / kBlockFrames;
  if (blocks < kMinBlocks) return full_pass(x, length, rate, TRUE_PEAK_FULL_SHORT, out);
  Model model;
  build_model(filter, &model);
  bool matches = false;
  if (model.valid) {
    Status st = cache_probe ? probe_cached(rate, model, &matches) : probe_library(rate, model, &matches);
    if (st != STATUS_OK) return st;
  }
  if (!matches) return full_pass(x, length, rate, TRUE_PEAK_FULL_PROBE, out);

  // One block: the per-block estimates, the FIR output and the source
  // scratch (which also holds a context that starts before the channel).
  const uint64_t dst_floats = kBlockFrames + 2 * kTaps;
  const uint64_t scratch_floats = std::max<uint64_t>(kBlockFrames + 2 * kTaps, kContextFrames);
  float* memory = static_cast<float*>(mem_alloc(size_t(blocks + dst_floats + scratch_floats) * sizeof(float)));
  if (!memory) return STATUS_NO_MEMORY;
  float* estimate = memory;
  float* dst = memory + blocks;
  float* scratch = dst + dst_floats;

  const DspTable& t = dsp();
  float sample_peak = 0.0f, largest = 0.0f;
  for (uint64_t b = 0; b < blocks; ++b) {
    const uint64_t s = b * kBlockFrames, e = std::min(length, s + kBlockFrames);
    const float sp = t.peak_abs(x + s, size_t(e - s));
    float m = sp;
    for (unsigned i = 0; i < model.nphases; ++i) {
      const float v = phase_peak(t, model.phase[i], x, s, e, dst, scratch);
      if (v > m) m = v;  // a NaN output is ignored, as the library ignores it
    }
    estimate[b] = m;
    sample_peak = std::max(sample_peak, sp);
    largest = std::max(largest, m);
  }

  TruePeakPath path = TRUE_PEAK_SELECTIVE;
  const double top = largest;
  if (!std::isfinite(top) || (top > 0.0 && top < kTinyPeak)) path = TRUE_PEAK_FULL_RANGE;
  const double threshold = top * (1.0 - kCandidateMargin);
  uint64_t candidates = 0;
  if (path == TRUE_PEAK_SELECTIVE && top > 0.0) {
    for (uint64_t b = 0; b < blocks; ++b) candidates += estimate[b] >= threshold;
    if (candidates > blocks / kCrowdDivisor) path = TRUE_PEAK_FULL_CROWDED;
  }

  // All zero (NaN aside): every output of the library is zero too.
  double true_peak = 0.0;
  Status status = STATUS_OK;
  if (path == TRUE_PEAK_SELECTIVE && candidates > 0) {
    ebur128_state* state = ebur128_init(1, static_cast<unsigned long>(rate), EBUR128_MODE_TRUE_PEAK);
    if (!state) status = STATUS_NO_MEMORY;
    for (uint64_t b = 0; b < blocks && state && status == STATUS_OK && path == TRUE_PEAK_SELECTIVE; ++b) {
      if (!(estimate[b] >= threshold)) continue;
      const uint64_t s = b * kBlockFrames, e = std::min(length, s + kBlockFrames);
      double value = 0.0;
      status = measure_block(state, x, s, e, scratch, &value);
      if (status != STATUS_OK) break;
      if (!(std::fabs(value - double(estimate[b])) <= kAgreement * top)) path = TRUE_PEAK_FULL_MISMATCH;
      true_peak = std::max(true_peak, value);
    }
    if (state) ebur128_destroy(&state);
  }
  mem_free(memory);
  if (status != STATUS_OK) return status;
  if (path != TRUE_PEAK_SELECTIVE) return full_pass(x, length, rate, path, out);
  // The library's true peak includes the sample peak; the candidate that
  // holds the maximum already counted it, this only keeps the rule visible.
  *out = ChannelPeaks{std::max(true_peak, double(sample_peak)), double(sample_peak), TRUE_PEAK_SELECTIVE};
  return STATUS_OK;
}

bool bad_arguments(const float* x, uint64_t length, uint64_t rate, const ChannelPeaks* out) {
  return rate == 0 || !out || (length > 0 && !x);
}

}  // namespace

void true_peak_filter_for_rate(uint64_t rate, TruePeakFilter* out) {
  TruePeakFilter f{};
  f.factor = rate < 96000 ? 4 : rate < 192000 ? 2 : 1;
  if (f.factor > 1) {
    const double factor = f.factor;
    for (unsigned j = 0; j < kTaps; ++j) {
      const double u = (double(j) - (kTaps - 1) / 2.0) / factor;
      double c = std::fabs(u) > 1e-12 ? std::sin(M_PI * u) / (M_PI * u) : 1.0;
      c *= 0.5 * (1.0 - std::cos(2.0 * M_PI * double(j) / (kTaps - 1)));
      f.coeff[j] = c;
    }
  }
  *out = f;
}

Status measure_channel_peaks(const float* x, uint64_t length, uint64_t rate, ChannelPeaks* out) {
  if (bad_arguments(x, length, rate, out)) return STATUS_BAD_ARGUMENT;
  TruePeakFilter f;
  true_peak_filter_for_rate(rate, &f);
  return selective(x, length, rate, f, true, out);
}

Status measure_channel_peaks_with_model(const float* x, uint64_t length, uint64_t rate, const TruePeakFilter& model,
                                        ChannelPeaks* out) {
  if (bad_arguments(x, length, rate, out)) return STATUS_BAD_ARGUMENT;
  return selective(x, length, rate, model, false, out);
}

Status measure_channel_peaks_full(const float* x, uint64_t length, uint64_t rate, ChannelPeaks* out) {
  if (bad_arguments(x, length, rate, out)) return STATUS_BAD_ARGUMENT;
  return full_pass(x, length, rate, TRUE_PEAK_FULL_ASKED, out);
}

struct ChannelPeakState {
  uint64_t rate, length, fed;
  bool selective;
  bool measure_all;      // a measured block disagreed with its estimate
  Model model;
  ebur128_state* library;
  float* buffer;         // kContextFrames of history, then the block being filled
  uint64_t fill;         // frames of the block so far
  float* dst;            // the model's FIR output
  float* scratch;
  float largest;         // largest estimate so far
  float sample_peak;
  double true_peak;      // largest measured value
};

void channel_peak_stream_init(ChannelPeakStream& s) { s.state = nullptr; }

void channel_peak_stream_release(ChannelPeakStream& s) {
  if (!s.state) return;
  if (s.state->library) ebur128_destroy(&s.state->library);
  mem_free(s.state->buffer);
  mem_free(s.state);
  s.state = nullptr;
}

Status channel_peak_stream_start(ChannelPeakStream& s, uint64_t rate, uint64_t length) {
  channel_peak_stream_release(s);
  if (rate == 0) return STATUS_BAD_ARGUMENT;
  ChannelPeakState* p = static_cast<ChannelPeakState*>(mem_calloc(1, sizeof(ChannelPeakState)));
  if (!p) return STATUS_NO_MEMORY;
  s.state = p;
  p->rate = rate;
  p->length = length;
  TruePeakFilter filter;
  true_peak_filter_for_rate(rate, &filter);
  build_model(filter, &p->model);
  bool matches = false;
  if (p->model.valid && (length + kBlockFrames - 1) / kBlockFrames >= kMinBlocks) {
    Status st = probe_cached(rate, p->model, &matches);
    if (st != STATUS_OK) {
      channel_peak_stream_release(s);
      return st;
    }
  }
  p->selective = matches;
  const int mode = p->selective ? EBUR128_MODE_TRUE_PEAK : EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_TRUE_PEAK;
  p->library = ebur128_init(1, static_cast<unsigned long>(rate), mode);
  const uint64_t dst_floats = kBlockFrames + 2 * kTaps;
  const uint64_t scratch_floats = std::max<uint64_t>(kBlockFrames + 2 * kTaps, kContextFrames);
  p->buffer = static_cast<float*>(mem_calloc(size_t(kContextFrames + kBlockFrames + dst_floats + scratch_floats),
                                             sizeof(float)));
  if (!p->library || !p->buffer) {
    channel_peak_stream_release(s);
    return STATUS_NO_MEMORY;
  }
  p->dst = p->buffer + kContextFrames + kBlockFrames;
  p->scratch = p->dst + dst_floats;
  return STATUS_OK;
}

namespace {

// The block in the buffer: the whole-channel pass's step, or the model's
// estimate and, for a candidate, the library's measure.
Status take_block(ChannelPeakState* p) {
  const uint64_t n = p->fill;
  if (n == 0) return STATUS_OK;
  float* block = p->buffer + kContextFrames;
  const DspTable& t = dsp();
  Status st = STATUS_OK;
  if (!p->selective) {
    st = status_from_ebur128(ebur128_add_frames_float(p->library, block, size_t(n)));
  } else {
    // Frame indices as the whole-channel code sees them: the first block
    // starts the channel (zeros before it); later ones have the history.
    const bool first = p->fed == 0;
    const float* x = first ? block : p->buffer;
    const uint64_t s = first ? 0 : kContextFrames, e = s + n;
    // The interpolated peak of every frame at once where the phases allow
    // (p->dst[i] for frame s + i).
    const Model& model = p->model;
    const bool flat = model.flat_phases > 0;
    if (flat) {
      const uint64_t reach = model.flat_first + model.flat_taps - 1;
      const float* src = x + s - model.flat_first;
      if (s < reach) {
        // The first block: zeros before the channel's start.
        t.fill_zero(p->scratch, size_t(reach));
        t.copy_floats(p->scratch + reach, x, size_t(e));
        src = p->scratch + reach + s - model.flat_first;
      }
      t.fill_zero(p->dst, size_t(n));
      if (model.flat_mirrored) {
        t.peak_mirrored(p->dst, src, model.flat, model.flat_taps, size_t(n));
      } else {
        t.peak_polyphase(p->dst, src, model.flat, model.flat_taps, model.flat_phases, size_t(n));
      }
    }
    // The estimate and the measure go by parts of the block: where a
    // limited signal holds many blocks at the same peak, only the parts
    // that reach it are measured.
    for (uint64_t ps = s; ps < e && st == STATUS_OK; ps += kPartFrames) {
      const uint64_t pe = std::min(e, ps + kPartFrames);
      const float sp = t.peak_abs(x + ps, size_t(pe - ps));
      float m = sp;
      if (flat) {
        const float* d = p->dst + (ps - s);
        float v = 0.0f;
        for (uint64_t i = 0; i < pe - ps; ++i) v = d[i] > v ? d[i] : v;
        if (v > m) m = v;
      } else {
        for (unsigned i = 0; i < model.nphases; ++i) {
          const float v = phase_peak(t, model.phase[i], x, ps, pe, p->dst, p->scratch);
          if (v > m) m = v;
        }
      }
      p->sample_peak = std::max(p->sample_peak, sp);
      if (m > p->largest) p->largest = m;
      const double top = p->largest;
      const bool candidate = m > 0.0f && (p->measure_all || !std::isfinite(m) || top < kTinyPeak ||
                                          double(m) >= top * (1.0 - kCandidateMargin));
      if (candidate) {
        double value = 0.0;
        st = measure_block(p->library, x, ps, pe, p->scratch, &value);
        if (st == STATUS_OK) {
          if (!(std::fabs(value - double(m)) <= kAgreement * top)) p->measure_all = true;
          p->true_peak = std::max(p->true_peak, value);
        }
      }
    }
  }
  // The last kContextFrames frames become the next block's history.
  t.move_floats(p->buffer, p->buffer + n, size_t(kContextFrames));
  p->fed += n;
  p->fill = 0;
  return st;
}

}  // namespace

Status channel_peak_stream_push(ChannelPeakStream& s, const float* x, uint64_t n) {
  ChannelPeakState* p = s.state;
  if (!p) return STATUS_INVALID;
  for (uint64_t at = 0; at < n;) {
    const uint64_t take = std::min(n - at, kBlockFrames - p->fill);
    dsp().copy_floats(p->buffer + kContextFrames + p->fill, x + at, size_t(take));
    p->fill += take;
    at += take;
    if (p->fill == kBlockFrames) {
      Status st = take_block(p);
      if (st != STATUS_OK) return st;
    }
  }
  return STATUS_OK;
}

Status channel_peak_stream_finish(ChannelPeakStream& s, ChannelPeaks* out) {
  ChannelPeakState* p = s.state;
  if (!p) return STATUS_INVALID;
  Status st = take_block(p);
  if (st != STATUS_OK) return st;
  if (!p->selective) {
    ChannelPeaks r{0.0, 0.0, TRUE_PEAK_FULL_SHORT};
    st = status_from_ebur128(ebur128_true_peak(p->library, 0, &r.true_peak));
    if (st == STATUS_OK) st = status_from_ebur128(ebur128_sample_peak(p->library, 0, &r.sample_peak));
    if (st == STATUS_OK) *out = r;
    return st;
  }
  *out = ChannelPeaks{std::max(p->true_peak, double(p->sample_peak)), double(p->sample_peak),
                      p->measure_all ? TRUE_PEAK_FULL_MISMATCH : TRUE_PEAK_SELECTIVE};
  return STATUS_OK;
}

