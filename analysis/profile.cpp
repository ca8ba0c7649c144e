#include "analysis/profile.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dsp/dsp.h"
#include "runtime/alloc.h"

void nuttall_window(float* w, uint64_t n) {
  float phi = static_cast<float>(2.0 * M_PI / static_cast<double>(n - 1));
  float phi2 = phi * 2.0f;
  float phi3 = phi * 3.0f;
  for (uint64_t i = 0; i < n; ++i) {
    float fi = static_cast<float>(i);
    w[i] = 0.3635819f - 0.4891775f * std::cos(phi * fi) + 0.1365995f * std::cos(phi2 * fi) -
           0.0106411f * std::cos(phi3 * fi);
  }
}

namespace {

// Frames are transformed two at a time: frame a in the real parts and frame
// b in the imaginary parts of one complex transform Z. For real a and b
//   A[k] = (Z[k] + conj Z[N-k]) / 2,   B[k] = (Z[k] - conj Z[N-k]) / 2i,
// and |A[N-k]| = |A[k]|, |B[N-k]| = |B[k]|, so one transform of N points
// yields the magnitudes of both frames.
//
// Frame f covers halves f-1 and f of the signal, half j being samples
// jH ... jH+H-1, zero outside the signal. Halves are read in place; only a
// partial last half is copied, zero-padded, into the frame area.
struct Halves {
  const float* audio;
  uint64_t full;       // halves lying wholly inside the signal
  const float* tail;   // half `full` when the signal ends inside it
  const float* zeros;  // H zeros
  size_t h;
  const float* at(int64_t j) const {
    if (j < 0) return zeros;
    if (uint64_t(j) < full) return audio + uint64_t(j) * h;
    return uint64_t(j) == full && tail ? tail : zeros;
  }
};

// Windows frame a (halves a0, a1) into the real parts and frame b (halves
// b0, b1) into the imaginary parts of z.
void put_frames(float* z, const float* a0, const float* a1, const float* b0, const float* b1, const float* window,
                size_t h) {
  for (size_t i = 0; i < h; ++i) {
    z[2 * i] = a0[i] * window[i];
    z[2 * i + 1] = b0[i] * window[i];
  }
  z += 2 * h;
  const float* w = window + h;
  for (size_t i = 0; i < h; ++i) {
    z[2 * i] = a1[i] * w[i];
    z[2 * i + 1] = b1[i] * w[i];
  }
}

// Bin k and its mirror: |A[k]| and |B[k]| from Z[k] = (zr, zi) and
// Z[N-k] = (wr, wi).
inline void pair_magnitudes(float zr, float zi, float wr, float wi, float& a, float& b) {
  float ar = 0.5f * (zr + wr), ai = 0.5f * (zi - wi);
  float br = 0.5f * (zi + wi), bi = 0.5f * (wr - zr);
  a = std::sqrt(ar * ar + ai * ai);
  b = std::sqrt(br * br + bi * bi);
}

// Adds |A| and then |B| to every bin of out, in that order, as if the two
// frames were added one after the other.
void add_pair_magnitudes(const float* z, float* out, size_t n) {
  const size_t h = n / 2;
  // Bins 0 and N/2 are their own mirrors: there A is the real part of Z and
  // B the imaginary part.
  out[0] = out[0] + std::fabs(z[0]) + std::fabs(z[1]);
  out[h] = out[h] + std::fabs(z[2 * h]) + std::fabs(z[2 * h + 1]);
  size_t k = 1;
#if defined(__SSE2__)
  // Four bins k ... k+3 and their mirrors N-k ... N-k-3 at a time; the
  // arithmetic is the scalar loop's, lane by lane.
  const __m128 half = _mm_set1_ps(0.5f);
  for (; k + 3 < h; k += 4) {
    const size_t m = n - k - 3;  // lowest mirror bin of the group
    __m128 l0 = _mm_loadu_ps(z + 2 * k), l1 = _mm_loadu_ps(z + 2 * k + 4);
    __m128 h0 = _mm_loadu_ps(z + 2 * m), h1 = _mm_loadu_ps(z + 2 * m + 4);
    __m128 zr = _mm_shuffle_ps(l0, l1, _MM_SHUFFLE(2, 0, 2, 0));
    __m128 zi = _mm_shuffle_ps(l0, l1, _MM_SHUFFLE(3, 1, 3, 1));
    __m128 wr = _mm_shuffle_ps(h1, h0, _MM_SHUFFLE(0, 2, 0, 2));  // bins N-k, N-k-1, N-k-2, N-k-3
    __m128 wi = _mm_shuffle_ps(h1, h0, _MM_SHUFFLE(1, 3, 1, 3));
    __m128 ar = _mm_mul_ps(half, _mm_add_ps(zr, wr)), ai = _mm_mul_ps(half, _mm_sub_ps(zi, wi));
    __m128 br = _mm_mul_ps(half, _mm_add_ps(zi, wi)), bi = _mm_mul_ps(half, _mm_sub_ps(wr, zr));
    __m128 a = _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(ar, ar), _mm_mul_ps(ai, ai)));
    __m128 b = _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(br, br), _mm_mul_ps(bi, bi)));
    _mm_storeu_ps(out + k, _mm_add_ps(_mm_add_ps(_mm_loadu_ps(out + k), a), b));
    __m128 ra = _mm_shuffle_ps(a, a, _MM_SHUFFLE(0, 1, 2, 3)), rb = _mm_shuffle_ps(b, b, _MM_SHUFFLE(0, 1, 2, 3));
    _mm_storeu_ps(out + m, _mm_add_ps(_mm_add_ps(_mm_loadu_ps(out + m), ra), rb));
  }
#endif
  for (; k < h; ++k) {
    float a, b;
    pair_magnitudes(z[2 * k], z[2 * k + 1], z[2 * (n - k)], z[2 * (n - k) + 1], a, b);
    out[k] = out[k] + a + b;
    out[n - k] = out[n - k] + a + b;
  }
}

}  // namespace

void profile_work_prepare(const ProfileWork& w) {
  const DspTable& t = dsp();
  const size_t n = size_t{1} << w.rank;
  t.fill_zero(w.windowed, n);
  t.fill_zero(w.spectrum, 2 * n);
  nuttall_window(w.window, n);
}

void profile_add_frame_pair(const ProfileWork& w, const float* a0, const float* a1, const float* b0,
                            const float* b1, float* out) {
  const size_t n = size_t{1} << w.rank;
  put_frames(w.spectrum, a0, a1, b0, b1, w.window, n / 2);
  dsp().fft_forward(w.spectrum, w.spectrum, w.rank);
  add_pair_magnitudes(w.spectrum, out, n);
}

void profile_add_frame(const ProfileWork& w, const float* a0, const float* a1, const float* zeros, float* out) {
  const DspTable& t = dsp();
  const size_t n = size_t{1} << w.rank;
  put_frames(w.spectrum, a0, a1, zeros, zeros, w.window, n / 2);
  t.fft_forward(w.spectrum, w.spectrum, w.rank);
  t.complex_magnitude(w.windowed, w.spectrum, n);
  t.add_to(out, w.windowed, n);
}

void profile_average(const ProfileWork& w, float* out, uint64_t count) {
  dsp().scale(out, size_t{1} << w.rank, 1.0f / static_cast<float>(count));
}

double profile_half_energy(const float* data, uint64_t stride, uint64_t channels, uint64_t start, uint64_t end) {
  double e = 0.0;
  for (uint64_t c = 0; c < channels; ++c) {
    const float* row = data + c * stride;
    for (uint64_t i = start; i < end; ++i) e += double(row[i]) * double(row[i]);
  }
  return e;
}

double profile_frame_power(const double* energy, uint64_t halves, uint64_t n, uint64_t f) {
  return ((f > 0 ? energy[f - 1] : 0.0) + (f < halves ? energy[f] : 0.0)) / double(n);
}

ProfileGate profile_gate(const double* energy, uint64_t halves, uint64_t n, double gate_db) {
  // The absolute gate drops silence and near-silence; the relative gate
  // sits gate_db below the mean power of what the absolute gate keeps, so
  // a single loud frame (a bump, a click) hardly moves it.
  double sum = 0.0;
  uint64_t above = 0;
  for (uint64_t f = 0; f < halves + 1; ++f) {
    const double p = profile_frame_power(energy, halves, n, f);
    if (p > kProfileAbsoluteGate) {
      sum += p;
      ++above;
    }
  }
  return ProfileGate{above, above ? sum / double(above) * std::pow(10.0, -gate_db / 10.0) : 0.0};
}

bool profile_gate_passes(const ProfileGate& gate, double power) {
  return gate.above == 0 || (power > kProfileAbsoluteGate && power > gate.relative);
}

namespace {

// Analyses `count` frames and averages their magnitudes into `out`: the
// frames listed in `chosen` (ascending frame numbers; frame f holds halves
// f-1 and f), or, with `chosen` null, frames 0 .. count-1. Frames go
// through the transform in pairs, an odd one out on its own.
void analyse_frames(const ProfileWork& w, const float* audio, uint64_t length, const uint64_t* chosen,
                    uint64_t count, float* out) {
  const DspTable& t = dsp();
  size_t n = size_t{1} << w.rank;
  size_t h = n / 2;
  t.fill_zero(w.frame, n);
  t.fill_zero(out, n);
  profile_work_prepare(w);

  Halves halves{audio, length / h, nullptr, w.frame + h, h};
  if (size_t rest = size_t(length % h)) {
    t.copy_floats(w.frame, audio + halves.full * h, rest);
    halves.tail = w.frame;
  }
  auto frame = [&](uint64_t i) { return int64_t(chosen ? chosen[i] : i); };
  uint64_t i = 0;
  for (; i + 1 < count; i += 2) {
    const int64_t a = frame(i), b = frame(i + 1);
    profile_add_frame_pair(w, halves.at(a - 1), halves.at(a), halves.at(b - 1), halves.at(b), out);
  }
  if (i < count) {
    const int64_t a = frame(i);
    profile_add_frame(w, halves.at(a - 1), halves.at(a), halves.zeros, out);
  }
  profile_average(w, out, count);
}

}  // namespace

void profile_channel(const ProfileWork& w, const float* audio, uint64_t length, float* out) {
  // ceil(length / H) + 1 frames, the last one ending in H zeros.
  const uint64_t h = (uint64_t{1} << w.rank) / 2;
  analyse_frames(w, audio, length, nullptr, (length + h - 1) / h + 1, out);
}

Status compute_profile(Sample& profile, const Sample& audio, unsigned rank) {
  size_t n = size_t{1} << rank;
  void* block = mem_alloc_aligned(5 * n * sizeof(float), 64);
  if (!block) return STATUS_NO_MEMORY;
  Sample result;
  sample_init(result);
  if (!sample_allocate(result, audio.channels, n, n)) {
    mem_free_aligned(block);
    return STATUS_NO_MEMORY;
  }
  float* base = static_cast<float*>(block);
  ProfileWork work{base, base + n, base + 2 * n, base + 3 * n, rank};
  for (uint64_t c = 0; c < audio.channels; ++c)
    profile_channel(work, audio.data + c * audio.stride, audio.length, result.data + c * result.stride);
  sample_swap(profile, result);
  sample_destroy(result);
  mem_free_aligned(block);
  return STATUS_OK;
}

namespace {

// Energy of half j of every channel (sum of squares, unwindowed), for the
// halves 0 .. halves-1; the half past the end of a partial tail is counted
// with the samples it has.
void half_energies(const Sample& audio, size_t h, uint64_t halves, double* energy) {
  for (uint64_t j = 0; j < halves; ++j) {
    const uint64_t start = j * h, end = std::min<uint64_t>(start + h, audio.length);
    energy[j] = profile_half_energy(audio.data, audio.stride, audio.channels, start, end);
  }
}

}  // namespace

Status compute_profile_gated(Sample& profile, const Sample& audio, unsigned rank, double gate_db) {
  if (!std::isfinite(gate_db) || gate_db <= 0.0) return STATUS_BAD_ARGUMENT;
  const size_t n = size_t{1} << rank, h = n / 2;
  const uint64_t halves = (audio.length + h - 1) / h;
  const uint64_t frames = halves + 1;
  if (frames > SIZE_MAX / (sizeof(double) + sizeof(uint64_t))) return STATUS_NO_MEMORY;
  // Energies of the halves, then the chosen frame numbers, in one block.
  void* lists = mem_alloc(size_t(frames) * (sizeof(double) + sizeof(uint64_t)));
  if (!lists) return STATUS_NO_MEMORY;
  double* energy = static_cast<double*>(lists);
  uint64_t* chosen = reinterpret_cast<uint64_t*>(energy + frames);
  half_energies(audio, h, halves, energy);

  const ProfileGate gate = profile_gate(energy, halves, n, gate_db);
  uint64_t count = 0;
  for (uint64_t f = 0; f < frames; ++f)
    if (profile_gate_passes(gate, profile_frame_power(energy, halves, n, f))) chosen[count++] = f;

  void* block = mem_alloc_aligned(5 * n * sizeof(float), 64);
  if (!block) {
    mem_free(lists);
    return STATUS_NO_MEMORY;
  }
  Sample result;
  sample_init(result);
  if (!sample_allocate(result, audio.channels, n, n)) {
    mem_free_aligned(block);
    mem_free(lists);
    return STATUS_NO_MEMORY;
  }
  float* base = static_cast<float*>(block);
  ProfileWork work{base, base + n, base + 2 * n, base + 3 * n, rank};
  for (uint64_t c = 0; c < audio.channels; ++c)
    analyse_frames(work, audio.data + c * audio.stride, audio.length, chosen, count,
                           result.data + c * result.stride);
  sample_swap(profile, result);
  sample_destroy(result);
  mem_free_aligned(block);
  mem_free(lists);
  return STATUS_OK;
}

Status profile_for_channels(Sample& out, const Sample& profile, uint64_t channels) {
  const uint64_t have = profile.channels;
  if (channels == 0 || !(have == channels || have == 1 || channels == 1)) return STATUS_BAD_ARGUMENT;
  Sample result;
  sample_init(result);
  if (!sample_allocate(result, channels, profile.length, profile.length)) return STATUS_NO_MEMORY;
  const size_t n = static_cast<size_t>(profile.length);
  if (have == channels || have == 1) {
    for (uint64_t c = 0; c < channels; ++c)
      std::memcpy(result.data + c * result.stride, profile.data + (have == 1 ? 0 : c) * profile.stride,
                  n * sizeof(float));
  } else {
    for (size_t k = 0; k < n; ++k) {
      double sum = 0.0;
      for (uint64_t c = 0; c < have; ++c) {
        const double m = profile.data[c * profile.stride + k];
        sum += m * m;
      }
      result.data[k] = static_cast<float>(std::sqrt(sum / static_cast<double>(have)));
    }
  }
  result.sample_rate = profile.sample_rate;
  sample_swap(out, result);
  sample_destroy(result);
  return STATUS_OK;
}

Status profile_median(Sample& median, Sample* lowest, Sample* highest, const Sample* const* profiles,
                      const double* gains, uint64_t count) {
  if (count == 0) return STATUS_BAD_ARGUMENT;
  const uint64_t channels = profiles[0]->channels, n = profiles[0]->length;
  for (uint64_t i = 1; i < count; ++i)
    if (profiles[i]->channels != channels || profiles[i]->length != n) return STATUS_BAD_ARGUMENT;
  Sample out[3];
  for (Sample& s : out) sample_init(s);
  double* values = static_cast<double*>(mem_alloc(count * sizeof(double)));
  bool ok = values != nullptr;
  for (int o = 0; ok && o < 3; ++o)
    if (o == 0 || (o == 1 && lowest) || (o == 2 && highest)) ok = sample_allocate(out[o], channels, n, n);
  if (!ok) {
    mem_free(values);
    for (Sample& s : out) sample_destroy(s);
    return STATUS_NO_MEMORY;
  }
  for (uint64_t c = 0; c < channels; ++c) {
    for (uint64_t k = 0; k < n; ++k) {
      // Insertion sort: references are few.
      for (uint64_t i = 0; i < count; ++i) {
        const double v = gains[i] * profiles[i]->data[c * profiles[i]->stride + k];
        uint64_t j = i;
        for (; j > 0 && values[j - 1] > v; --j) values[j] = values[j - 1];
        values[j] = v;
      }
      const uint64_t mid = count / 2;
      const double m = count % 2 ? values[mid] : std::sqrt(values[mid - 1] * values[mid]);
      out[0].data[c * out[0].stride + k] = static_cast<float>(m);
      if (lowest) out[1].data[c * out[1].stride + k] = static_cast<float>(values[0]);
      if (highest) out[2].data[c * out[2].stride + k] = static_cast<float>(values[count - 1]);
    }
  }
  mem_free(values);
  sample_swap(median, out[0]);
  if (lowest) sample_swap(*lowest, out[1]);
  if (highest) sample_swap(*highest, out[2]);
  for (Sample& s : out) sample_destroy(s);
  return STATUS_OK;
}
