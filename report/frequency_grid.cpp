#include "report/frequency_grid.h"

#include <cmath>

uint64_t grid_count(double high_hz, int per_octave) {
  if (!(high_hz >= kGridLowHz) || per_octave <= 0) return 0;
  // The small tolerance keeps a grid point that lands on high_hz up to
  // rounding.
  double steps = std::log2(high_hz / kGridLowHz) * per_octave + 1e-9;
  return static_cast<uint64_t>(std::floor(steps)) + 1;
}

double grid_frequency(uint64_t k, int per_octave) {
  return kGridLowHz * std::exp2(static_cast<double>(k) / per_octave);
}

double curve_at(const double* db, uint64_t bins, double bin_hz, double hz) {
  if (!db || !bins || !(bin_hz > 0) || !(hz >= 0)) return NAN;
  double x = hz / bin_hz;
  double last = static_cast<double>(bins - 1);
  if (x > last) {
    if (x > last + 1e-9) return NAN;
    x = last;
  }
  uint64_t i = static_cast<uint64_t>(x);
  double t = x - static_cast<double>(i);
  if (i + 1 >= bins || t == 0) return std::isfinite(db[i]) ? db[i] : NAN;
  if (!std::isfinite(db[i]) || !std::isfinite(db[i + 1])) return NAN;
  return db[i] + t * (db[i + 1] - db[i]);
}

namespace {

double power_of(double db) { return db == -INFINITY ? 0.0 : std::pow(10.0, db / 10.0); }

}  // namespace

double smoothed_at(const double* db, uint64_t bins, double bin_hz, double hz, int per_octave) {
  if (!db || bins < 2 || !(bin_hz > 0) || !(hz > 0) || per_octave <= 0) return NAN;
  double half = std::exp2(0.5 / per_octave);
  double last = static_cast<double>(bins - 1);
  double lo = hz / half / bin_hz, hi = hz * half / bin_hz;
  if (lo > last) return NAN;
  if (hi > last) hi = last;
  // Mean of the power, taken as linear between bin centres, over [lo, hi]:
  // unlike a plain mean of the bins inside the band, it changes smoothly
  // with hz even where the band holds only one or two bins.
  double area = 0;
  for (uint64_t k = static_cast<uint64_t>(lo); static_cast<double>(k) < hi && k + 1 < bins; ++k) {
    if (std::isnan(db[k]) || std::isnan(db[k + 1])) return NAN;
    double p0 = power_of(db[k]), p1 = power_of(db[k + 1]);
    double a = std::fmax(lo, static_cast<double>(k)) - static_cast<double>(k);
    double b = std::fmin(hi, static_cast<double>(k + 1)) - static_cast<double>(k);
    // Integral of p0 + (p1 - p0) t over [a, b].
    area += (b - a) * (p0 + (p1 - p0) * (a + b) / 2);
  }
  if (!(hi > lo)) return curve_at(db, bins, bin_hz, hz);
  double mean = area / (hi - lo);
  return mean > 0 ? 10.0 * std::log10(mean) : -INFINITY;
}
