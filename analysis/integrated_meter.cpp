#include "analysis/integrated_meter.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>

#include <ebur128.h>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include "runtime/alloc.h"

namespace {

// Frames per call of the library: its filter flushes tiny values at the end
// of every call, so the own path cuts its input the same way.
constexpr uint64_t kCallFrames = 4096;
// The library's frame counts are unsigned; one call's interleaved samples
// must fit.
constexpr uint64_t kMaxCallChannels = 0xffffffffu / kCallFrames;
// Hops (100 ms) of filtered squares kept per channel: blocks are summed
// four at a time, the oldest of them reaching seven hops back.
constexpr uint64_t kRingHops = 8;
constexpr unsigned kBatch = 4;
constexpr uint64_t kMaxOwnRate = 768000;
constexpr uint64_t kMaxOwnChannels = 16;
constexpr uint64_t kMaxChannels = kMaxOwnChannels;

Status from_ebur128(int error) {
  if (error == EBUR128_SUCCESS) return STATUS_OK;
  return error == EBUR128_ERROR_NOMEM ? STATUS_NO_MEMORY : STATUS_SYSTEM;
}

}  // namespace

double loudness_channel_weight(uint64_t c, uint64_t channels) {
  if (channels == 4) return c < 2 ? 1.0 : 1.41;
  if (channels == 5) return c < 3 ? 1.0 : 1.41;
  if (c < 3) return 1.0;
  if (c == 4 || c == 5) return 1.41;
  return 0.0;
}

struct IntegratedMeterState {
  uint64_t rate, channels;
  bool own;
  // The library's path.
  ebur128_state* library;
  float* interleaved;
  // The own path. K-weighting as one fourth-order recursion (the shelf and
  // the high pass multiplied out), its state per channel.
  double a[5], b[5];
  double v[kMaxChannels][5];
  double weight[kMaxChannels];
  uint64_t hop;       // frames in 100 ms
  uint64_t ring;      // frames of the library's ring of filtered values (a multiple of hop)
  uint64_t needed;    // frames until the next block ends
  uint64_t frames;    // frames so far
  double* squares;    // per channel kRingHops * hop filtered squares, by frame modulo that
  uint64_t pending[kBatch];  // end hops of blocks not summed yet
  unsigned pending_count;
  double* energies;   // mean powers of the blocks that passed the absolute gate, in order
  uint64_t energy_count, energy_capacity;
  double absolute_gate;
};

namespace {

void init_filter(IntegratedMeterState* s) {
  double f0 = 1681.974450955533;
  double G = 3.999843853973347;
  double Q = 0.7071752369554196;
  double K = std::tan(M_PI * f0 / double(s->rate));
  const double Vh = std::pow(10.0, G / 20.0);
  const double Vb = std::pow(Vh, 0.4996667741545416);
  double pb[3] = {0.0, 0.0, 0.0};
  double pa[3] = {1.0, 0.0, 0.0};
  double rb[3] = {1.0, -2.0, 1.0};
  double ra[3] = {1.0, 0.0, 0.0};
  const double a0 = 1.0 + K / Q + K * K;
  pb[0] = (Vh + Vb * K / Q + K * K) / a0;
  pb[1] = 2.0 * (K * K - Vh) / a0;
  pb[2] = (Vh - Vb * K / Q + K * K) / a0;
  pa[1] = 2.0 * (K * K - 1.0) / a0;
  pa[2] = (1.0 - K / Q + K * K) / a0;
  f0 = 38.13547087602444;
  Q = 0.5003270373238773;
  K = std::tan(M_PI * f0 / double(s->rate));
  ra[1] = 2.0 * (K * K - 1.0) / (1.0 + K / Q + K * K);
  ra[2] = (1.0 - K / Q + K * K) / (1.0 + K / Q + K * K);
  s->b[0] = pb[0];
  s->b[1] = pb[0] * rb[1] + pb[1];
  s->b[2] = pb[0] * rb[2] + pb[1] * rb[1] + pb[2];
  s->b[3] = pb[1] * rb[2] + pb[2] * rb[1];
  s->b[4] = pb[2] * rb[2];
  s->a[0] = pa[0];
  s->a[1] = pa[0] * ra[1] + pa[1];
  s->a[2] = pa[0] * ra[2] + pa[1] * ra[1] + pa[2];
  s->a[3] = pa[1] * ra[2] + pa[2] * ra[1];
  s->a[4] = pa[2] * ra[2];
}

// Tiny states are set to zero at the end of each of the library's calls.
inline double flushed(double x) { return std::fabs(x) < DBL_MIN ? 0.0 : x; }

// One channel's recursion over n frames into its squares; two channels at
// a time so that the two chains of dependent operations overlap.
void filter_one(IntegratedMeterState* s, uint64_t c, const float* x, double* out, uint64_t n) {
  const double a1 = s->a[1], a2 = s->a[2], a3 = s->a[3], a4 = s->a[4];
  const double b0 = s->b[0], b1 = s->b[1], b2 = s->b[2], b3 = s->b[3], b4 = s->b[4];
  double* v = s->v[c];
  double v1 = v[1], v2 = v[2], v3 = v[3], v4 = v[4];
  for (uint64_t i = 0; i < n; ++i) {
    const double w = double(x[i]) - a1 * v1 - a2 * v2 - a3 * v3 - a4 * v4;
    const double y = b0 * w + b1 * v1 + b2 * v2 + b3 * v3 + b4 * v4;
    v4 = v3;
    v3 = v2;
    v2 = v1;
    v1 = w;
    out[i] = y * y;
  }
  v[0] = v1;
  v[4] = flushed(v4);
  v[3] = flushed(v3);
  v[2] = flushed(v2);
  v[1] = flushed(v1);
}

void filter_two(IntegratedMeterState* s, uint64_t c, uint64_t d, const float* x, const float* z, double* out,
                double* out2, uint64_t n) {
  const double a1 = s->a[1], a2 = s->a[2], a3 = s->a[3], a4 = s->a[4];
  const double b0 = s->b[0], b1 = s->b[1], b2 = s->b[2], b3 = s->b[3], b4 = s->b[4];
  double* v = s->v[c];
  double* u = s->v[d];
  double v1 = v[1], v2 = v[2], v3 = v[3], v4 = v[4];
  double u1 = u[1], u2 = u[2], u3 = u[3], u4 = u[4];
  for (uint64_t i = 0; i < n; ++i) {
    const double w = double(x[i]) - a1 * v1 - a2 * v2 - a3 * v3 - a4 * v4;
    const double t = double(z[i]) - a1 * u1 - a2 * u2 - a3 * u3 - a4 * u4;
    const double y = b0 * w + b1 * v1 + b2 * v2 + b3 * v3 + b4 * v4;
    const double q = b0 * t + b1 * u1 + b2 * u2 + b3 * u3 + b4 * u4;
    v4 = v3;
    v3 = v2;
    v2 = v1;
    v1 = w;
    u4 = u3;
    u3 = u2;
    u2 = u1;
    u1 = t;
    out[i] = y * y;
    out2[i] = q * q;
  }
  v[0] = v1;
  v[4] = flushed(v4);
  v[3] = flushed(v3);
  v[2] = flushed(v2);
  v[1] = flushed(v1);
  u[0] = u1;
  u[4] = flushed(u4);
  u[3] = flushed(u3);
  u[2] = flushed(u2);
  u[1] = flushed(u1);
}

// One of the library's filter calls: n frames from offset `at` of the rows
// into the ring of squares, with the library's flush of tiny results to
// zero while it filters.
void filter_call(IntegratedMeterState* s, const float* const* rows, uint64_t at, uint64_t n) {
#if defined(__SSE2__)
  const unsigned csr = _mm_getcsr();
  _mm_setcsr(csr | _MM_FLUSH_ZERO_ON);
#endif
  const uint64_t span = kRingHops * s->hop;
  const uint64_t pos = s->frames % span;  // a call never crosses the ring's end
  uint64_t pair = kMaxChannels;
  for (uint64_t c = 0; c < s->channels; ++c) {
    if (s->weight[c] == 0.0) continue;
    if (pair == kMaxChannels) {
      pair = c;
      continue;
    }
    filter_two(s, pair, c, rows[pair] + at, rows[c] + at, s->squares + pair * span + pos, s->squares + c * span + pos,
               n);
    pair = kMaxChannels;
  }
  if (pair != kMaxChannels) filter_one(s, pair, rows[pair] + at, s->squares + pair * span + pos, n);
#if defined(__SSE2__)
  _mm_setcsr(csr);
#endif
}

bool keep_energy(IntegratedMeterState* s, double e) {
  if (!(e >= s->absolute_gate)) return true;
  if (s->energy_count == s->energy_capacity) {
    const uint64_t grown = s->energy_capacity ? 2 * s->energy_capacity : 256;
    double* p = static_cast<double*>(mem_realloc(s->energies, size_t(grown) * sizeof(double)));
    if (!p) return false;
    s->energies = p;
    s->energy_capacity = grown;
  }
  s->energies[s->energy_count++] = e;
  return true;
}

// The blocks ending at the pending hops, summed as the library sums each:
// per channel over its ring's slots in ascending order (hop h lies in slot
// h modulo the ring's hops), four blocks side by side.
bool sum_pending(IntegratedMeterState* s) {
  const unsigned n = s->pending_count;
  if (n == 0) return true;
  const uint64_t hop = s->hop, slots = s->ring / hop, span = kRingHops * hop;
  // order[k][q]: the q-th hop block k's sum visits.
  uint64_t order[kBatch][4];
  for (unsigned k = 0; k < n; ++k) {
    const uint64_t end = s->pending[k];
    for (unsigned q = 0; q < 4; ++q) order[k][q] = end - 4 + q;
    std::sort(order[k], order[k] + 4, [slots](uint64_t x, uint64_t y) { return x % slots < y % slots; });
  }
  double total[kBatch] = {0.0, 0.0, 0.0, 0.0};
  for (uint64_t c = 0; c < s->channels; ++c) {
    if (s->weight[c] == 0.0) continue;
    const double* sq = s->squares + c * span;
    double sum[kBatch] = {0.0, 0.0, 0.0, 0.0};
    for (unsigned q = 0; q < 4; ++q) {
      const double* p[kBatch];
      for (unsigned k = 0; k < kBatch; ++k) p[k] = sq + (order[k < n ? k : 0][q] % kRingHops) * hop;
      double s0 = sum[0], s1 = sum[1], s2 = sum[2], s3 = sum[3];
      for (uint64_t j = 0; j < hop; ++j) {
        s0 += p[0][j];
        s1 += p[1][j];
        s2 += p[2][j];
        s3 += p[3][j];
      }
      sum[0] = s0;
      sum[1] = s1;
      sum[2] = s2;
      sum[3] = s3;
    }
    for (unsigned k = 0; k < n; ++k) {
      double cs = sum[k];
      if (s->weight[c] != 1.0) cs *= s->weight[c];
      total[k] += cs;
    }
  }
  s->pending_count = 0;
  for (unsigned k = 0; k < n; ++k) {
    if (!keep_energy(s, total[k] / double(4 * hop))) return false;
  }
  return true;
}

Status own_add(IntegratedMeterState* s, const float* const* rows, uint64_t frames) {
  for (uint64_t at = 0; at < frames;) {
    const uint64_t n = std::min(frames - at, s->needed);
    filter_call(s, rows, at, n);
    at += n;
    s->frames += n;
    s->needed -= n;
    if (s->needed == 0) {
      s->pending[s->pending_count++] = s->frames / s->hop;
      if (s->pending_count == kBatch && !sum_pending(s)) return STATUS_NO_MEMORY;
      s->needed = s->hop;
    }
  }
  return STATUS_OK;
}

double energy_to_loudness(double energy) { return 10 * (std::log(energy) / std::log(10.0)) - 0.691; }

Status own_result(IntegratedMeterState* s, double* lufs) {
  if (!sum_pending(s)) return STATUS_NO_MEMORY;
  if (s->energy_count == 0) {
    *lufs = -HUGE_VAL;
    return STATUS_OK;
  }
  double relative = 0.0;
  for (uint64_t i = 0; i < s->energy_count; ++i) relative += s->energies[i];
  relative /= double(s->energy_count);
  relative *= std::pow(10.0, -10.0 / 10.0);
  double gated = 0.0;
  uint64_t count = 0;
  for (uint64_t i = 0; i < s->energy_count; ++i) {
    if (s->energies[i] >= relative) {
      ++count;
      gated += s->energies[i];
    }
  }
  if (count == 0) {
    *lufs = -HUGE_VAL;
    return STATUS_OK;
  }
  gated /= double(count);
  *lufs = energy_to_loudness(gated);
  return STATUS_OK;
}

Status library_add(IntegratedMeterState* s, const float* const* rows, uint64_t frames) {
  const uint64_t ch = s->channels;
  for (uint64_t at = 0; at < frames;) {
    const uint64_t n = std::min(kCallFrames, frames - at);
    for (uint64_t c = 0; c < ch; ++c) {
      const float* row = rows[c] + at;
      for (uint64_t k = 0; k < n; ++k) s->interleaved[k * ch + c] = row[k];
    }
    Status st = from_ebur128(ebur128_add_frames_float(s->library, s->interleaved, size_t(n)));
    if (st != STATUS_OK) return st;
    at += n;
  }
  return STATUS_OK;
}

Status start(IntegratedMeter& m, uint64_t rate, uint64_t channels, bool own);

// The probe: a signal that passes both gates in parts (loud noise and
// tones, a quiet stretch under the relative gate, silence under the
// absolute one), fed to the library and to the own path in the same
// uneven calls; every loudness read on the way must agree bit for bit.
Status probe(uint64_t rate, uint64_t channels, bool* matches) {
  const uint64_t length = rate * 19 / 10;
  float* data = static_cast<float*>(mem_alloc(size_t(length * channels) * sizeof(float)));
  if (!data) return STATUS_NO_MEMORY;
  uint32_t seed = 12345u;
  for (uint64_t c = 0; c < channels; ++c) {
    float* row = data + c * length;
    for (uint64_t i = 0; i < length; ++i) {
      seed = seed * 1664525u + 1013904223u;
      const double noise = double(seed >> 8) / double(1u << 24) - 0.5;
      const double t = double(i) / double(rate);
      const double level = t < 0.9 ? 0.5 : t < 1.2 ? 0.004 : t < 1.5 ? 0.0 : 0.3 / double(c + 1);
      row[i] = float(level * (noise + 0.7 * std::sin(2.0 * M_PI * (60.0 + 500.0 * double(c)) * t)));
    }
  }
  IntegratedMeter own, lib;
  Status st = start(own, rate, channels, true);
  if (st == STATUS_OK) st = start(lib, rate, channels, false);
  bool same = true;
  const float* rows[kMaxOwnChannels];
  static const uint64_t kCalls[] = {1000, 4096, 37, 4096, 2500, 1};
  for (uint64_t at = 0, k = 0; st == STATUS_OK && at < length; ++k) {
    const uint64_t n = std::min<uint64_t>(kCalls[k % 6], length - at);
    for (uint64_t c = 0; c < channels; ++c) rows[c] = data + c * length + at;
    st = integrated_meter_add(own, rows, n);
    if (st == STATUS_OK) st = integrated_meter_add(lib, rows, n);
    at += n;
    if (st == STATUS_OK && (k % 9 == 8 || at == length)) {
      double x = 0.0, y = 0.0;
      st = integrated_meter_result(own, &x);
      if (st == STATUS_OK) st = integrated_meter_result(lib, &y);
      if (st == STATUS_OK && std::memcmp(&x, &y, sizeof x) != 0) same = false;
    }
  }
  integrated_meter_release(own);
  integrated_meter_release(lib);
  mem_free(data);
  if (st == STATUS_OK) *matches = same;
  return st;
}

// Probe results per rate and channel count: (rate << 8 | channels) << 2 |
// 2 | matches; 0 for an empty slot. Two threads probing the same case at
// once store the same answer; with the table full the probe runs again.
constexpr unsigned kProbeSlots = 32;
std::atomic<uint64_t> g_probed[kProbeSlots];

Status probe_cached(uint64_t rate, uint64_t channels, bool* matches) {
  if (rate >= (uint64_t(1) << 52)) return probe(rate, channels, matches);
  const uint64_t key = rate << 8 | channels;
  for (unsigned i = 0; i < kProbeSlots; ++i) {
    const uint64_t v = g_probed[i].load(std::memory_order_acquire);
    if (v == 0) break;
    if (v >> 2 == key) {
      *matches = (v & 1) != 0;
      return STATUS_OK;
    }
  }
  bool ok = false;
  Status st = probe(rate, channels, &ok);
  if (st != STATUS_OK) return st;
  const uint64_t entry = key << 2 | 2 | (ok ? 1 : 0);
  for (unsigned i = 0; i < kProbeSlots; ++i) {
    uint64_t expected = 0;
    if (g_probed[i].compare_exchange_strong(expected, entry, std::memory_order_acq_rel)) break;
    if (expected >> 2 == key) break;
  }
  *matches = ok;
  return STATUS_OK;
}

Status start(IntegratedMeter& m, uint64_t rate, uint64_t channels, bool own) {
  integrated_meter_release(m);
  if (rate == 0 || channels == 0 || channels > kMaxCallChannels || (own && channels > kMaxChannels))
    return STATUS_BAD_ARGUMENT;
  IntegratedMeterState* s = static_cast<IntegratedMeterState*>(mem_calloc(1, sizeof(IntegratedMeterState)));
  if (!s) return STATUS_NO_MEMORY;
  m.state = s;
  s->rate = rate;
  s->channels = channels;
  s->own = own;
  if (!own) {
    s->interleaved = static_cast<float*>(mem_alloc(size_t(kCallFrames * channels) * sizeof(float)));
    s->library = ebur128_init(unsigned(channels), static_cast<unsigned long>(rate), EBUR128_MODE_I);
    if (!s->interleaved || !s->library) {
      integrated_meter_release(m);
      return STATUS_NO_MEMORY;
    }
    return STATUS_OK;
  }
  init_filter(s);
  for (uint64_t c = 0; c < channels; ++c) s->weight[c] = loudness_channel_weight(c, channels);
  s->hop = (rate + 5) / 10;
  s->ring = rate * 400 / 1000;
  if (s->ring % s->hop) s->ring = (s->ring + s->hop) - (s->ring % s->hop);
  if (s->ring < 4 * s->hop || s->ring > kRingHops * s->hop) {
    // Not a ring this code models (rates far below any audio rate).
    integrated_meter_release(m);
    return start(m, rate, channels, false);
  }
  s->needed = 4 * s->hop;
  s->absolute_gate = std::pow(10.0, (-70.0 + 0.691) / 10.0);
  s->squares = static_cast<double*>(mem_alloc(size_t(channels * kRingHops * s->hop) * sizeof(double)));
  if (!s->squares) {
    integrated_meter_release(m);
    return STATUS_NO_MEMORY;
  }
  return STATUS_OK;
}

}  // namespace

Status integrated_meter_start(IntegratedMeter& m, uint64_t rate, uint64_t channels) {
  if (rate == 0 || channels == 0 || channels > kMaxCallChannels) return STATUS_BAD_ARGUMENT;
  bool matches = false;
  // Rates the library refuses, and very many channels (whose probe would
  // cost more than it saves), are left to the library.
  if (rate >= 1000 && rate <= kMaxOwnRate && channels <= kMaxOwnChannels) {
    Status st = probe_cached(rate, channels, &matches);
    if (st != STATUS_OK) return st;
  }
  return start(m, rate, channels, matches);
}

Status integrated_meter_start_library(IntegratedMeter& m, uint64_t rate, uint64_t channels) {
  return start(m, rate, channels, false);
}

Status integrated_meter_add(IntegratedMeter& m, const float* const* rows, uint64_t frames) {
  IntegratedMeterState* s = m.state;
  if (!s) return STATUS_INVALID;
  if (!s->own) return library_add(s, rows, frames);
  for (uint64_t at = 0; at < frames;) {
    const uint64_t n = std::min(kCallFrames, frames - at);
    const float* moved[kMaxOwnChannels];
    for (uint64_t c = 0; c < s->channels; ++c) moved[c] = rows[c] + at;
    Status st = own_add(s, moved, n);
    if (st != STATUS_OK) return st;
    at += n;
  }
  return STATUS_OK;
}

Status integrated_meter_result(IntegratedMeter& m, double* lufs) {
  IntegratedMeterState* s = m.state;
  if (!s || !lufs) return STATUS_INVALID;
  if (!s->own) return from_ebur128(ebur128_loudness_global(s->library, lufs));
  return own_result(s, lufs);
}

void integrated_meter_release(IntegratedMeter& m) {
  IntegratedMeterState* s = m.state;
  if (!s) return;
  if (s->library) ebur128_destroy(&s->library);
  mem_free(s->interleaved);
  mem_free(s->squares);
  mem_free(s->energies);
  mem_free(s);
  m.state = nullptr;
}

bool integrated_meter_own(const IntegratedMeter& m) { return m.state && m.state->own; }
