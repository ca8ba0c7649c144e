#include "analysis/min_phase.h"

#include <cmath>
#include <cstddef>

#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
// The table's transforms go up to this rank; larger ones are split.
constexpr unsigned kTableRank = 16;
constexpr float kDbLimit = 400.0f;

// Complex transform of 2^rank interleaved points in place, natural order,
// inverse scaled by 1/N like the table's. Above the table's largest rank
// the input is split by decimation in time into R = 2^(rank - 16)
// interleaved sub-sequences, each transformed by the table, and recombined
// with twiddles computed in double. `scratch` holds 2^(rank+1) floats and is
// used only above the table's rank.
void transform(const DspTable& t, float* data, float* scratch, unsigned rank, bool inverse) {
  if (rank <= kTableRank) {
    if (inverse) {
      t.fft_inverse(data, data, rank);
    } else {
      t.fft_forward(data, data, rank);
    }
    return;
  }
  const size_t m = size_t{1} << rank;
  const size_t l = size_t{1} << kTableRank;
  const size_t r_count = m / l;
  for (size_t r = 0; r < r_count; ++r) {
    float* sub = scratch + 2 * r * l;
    for (size_t i = 0; i < l; ++i) {
      sub[2 * i] = data[2 * (i * r_count + r)];
      sub[2 * i + 1] = data[2 * (i * r_count + r) + 1];
    }
    if (inverse) {
      t.fft_inverse(sub, sub, kTableRank);
    } else {
      t.fft_forward(sub, sub, kTableRank);
    }
  }
  const double sign = inverse ? 1.0 : -1.0;
  const double scale = inverse ? 1.0 / static_cast<double>(r_count) : 1.0;
  for (size_t k = 0; k < m; ++k) {
    size_t i = k & (l - 1);
    // Twiddle w^(r k) for r = 0 .. R-1 as powers of one rotation; R is at
    // most 4 here, so the products add no error worth a sine each.
    const double a = sign * 2.0 * kPi * static_cast<double>(k) / static_cast<double>(m);
    const double step_c = std::cos(a), step_s = std::sin(a);
    double c = 1.0, s = 0.0, re = 0.0, im = 0.0;
    for (size_t r = 0; r < r_count; ++r) {
      double xr = scratch[2 * (r * l + i)], xi = scratch[2 * (r * l + i) + 1];
      re += xr * c - xi * s;
      im += xr * s + xi * c;
      double next_c = c * step_c - s * step_s;
      s = c * step_s + s * step_c;
      c = next_c;
    }
    data[2 * k] = static_cast<float>(re * scale);
    data[2 * k + 1] = static_cast<float>(im * scale);
  }
}

float limited_db(float v) {
  if (std::isnan(v)) return 0.0f;
  return v > kDbLimit ? kDbLimit : (v < -kDbLimit ? -kDbLimit : v);
}

}  // namespace

void minimum_phase_fade(float* w, size_t n) {
  for (size_t t = 0; t < n; ++t) {
    double x = kPi * static_cast<double>(t) / static_cast<double>(n);
    w[t] = static_cast<float>(0.3635819 + 0.4891775 * std::cos(x) + 0.1365995 * std::cos(2 * x) +
                              0.0106411 * std::cos(3 * x));
  }
}

Status minimum_phase_filter(float* taps, const float* db, unsigned rank) {
  const size_t n = size_t{1} << rank;
  const unsigned mrank = rank + 2;
  const size_t m = size_t{1} << mrank;
  const size_t floats = mrank > kTableRank ? 4 * m : 2 * m;
  float* spectrum = static_cast<float*>(mem_alloc_aligned(floats * sizeof(float), 64));
  if (!spectrum) return STATUS_NO_MEMORY;
  float* scratch = mrank > kTableRank ? spectrum + 2 * m : nullptr;
  const DspTable& t = dsp();

  // Natural log of the magnitude on the dense grid: point j lies at curve
  // bin j/4; the upper half mirrors the lower so the cepstrum is real.
  const float ln_per_db = static_cast<float>(std::log(10.0) / 20.0);
  const size_t half = m / 2;
  for (size_t j = 0; j <= half; ++j) {
    size_t k = j / 4;
    float frac = static_cast<float>(j % 4) * 0.25f;
    float a = limited_db(db[k]);
    float v = frac == 0.0f ? a : a + frac * (limited_db(db[k + 1]) - a);
    spectrum[2 * j] = v * ln_per_db;
    spectrum[2 * j + 1] = 0.0f;
  }
  for (size_t j = half + 1; j < m; ++j) {
    spectrum[2 * j] = spectrum[2 * (m - j)];
    spectrum[2 * j + 1] = 0.0f;
  }
  transform(t, spectrum, scratch, mrank, true);

  // Fold the (even) real cepstrum onto positive quefrencies: the causal
  // sequence whose transform has the same real part and a minimum phase.
  spectrum[1] = 0.0f;
  for (size_t j = 1; j < half; ++j) {
    spectrum[2 * j] *= 2.0f;
    spectrum[2 * j + 1] = 0.0f;
  }
  spectrum[2 * half + 1] = 0.0f;
  for (size_t j = half + 1; j < m; ++j) spectrum[2 * j] = spectrum[2 * j + 1] = 0.0f;
  transform(t, spectrum, scratch, mrank, false);

  for (size_t j = 0; j < m; ++j) {
    float g = std::exp(spectrum[2 * j]);
    float phase = spectrum[2 * j + 1];
    spectrum[2 * j] = g * std::cos(phase);
    spectrum[2 * j + 1] = g * std::sin(phase);
  }
  transform(t, spectrum, scratch, mrank, true);

  minimum_phase_fade(taps, n);
  for (size_t i = 0; i < n; ++i) taps[i] *= spectrum[2 * i];
  mem_free_aligned(spectrum);
  return STATUS_OK;
}
