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

double smoothed_at(const double* db, uint64_t bins, double bin_hz, double hz, int per_octave) {
  if (!db || !bins || !(bin_hz > 0) || !(hz > 0) || per_octave <= 0) return NAN;
  double half = std::exp2(0.5 / per_octave);
  double lo = hz / half / bin_hz, hi = hz * half / bin_hz;
  double last = static_cast<double>(bins - 1);
  if (hi > last) hi = last;
  uint64_t first = static_cast<uint64_t>(std::ceil(lo));
  uint64_t end = hi >= 0 ? static_cast<uint64_t>(std::floor(hi)) + 1 : 0;
  double power = 0;
  uint64_t used = 0;
  for (uint64_t k = first; k < end && k < bins; ++k) {
    double v = db[k];
    if (std::isnan(v)) continue;
    power += v == -INFINITY ? 0.0 : std::pow(10.0, v / 10.0);
    ++used;
  }
  if (!used) return curve_at(db, bins, bin_hz, hz);
  return power > 0 ? 10.0 * std::log10(power / static_cast<double>(used)) : -INFINITY;
}
