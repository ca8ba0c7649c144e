#pragma once

#include <cstdint>

// Log-frequency grids and the reading of per-bin curves at arbitrary
// frequencies, shared by the JSON and SVG writers.

// Lowest frequency of every grid and plot (Hz).
constexpr double kGridLowHz = 20.0;

// Points of the 1/`per_octave`-octave grid 20 Hz * 2^(k / per_octave) that
// do not exceed `high_hz`; 0 when high_hz < 20 Hz.
uint64_t grid_count(double high_hz, int per_octave);
double grid_frequency(uint64_t k, int per_octave);

// Value of a per-bin curve (bins 0..bins-1 spaced bin_hz) at `hz`, linear
// between the two neighbouring bins. NaN outside the bins or when a
// neighbour needed is not finite.
double curve_at(const double* db, uint64_t bins, double bin_hz, double hz);

// Mean power of a per-bin dB curve over the 1/`per_octave`-octave band
// centred on `hz` (edges hz * 2^(+-1/(2 per_octave)), cut at the last bin),
// in dB, with the power taken as linear between bin centres. -inf bins are
// zero power; NaN when a bin in the band is NaN or the band lies beyond the
// last bin.
double smoothed_at(const double* db, uint64_t bins, double bin_hz, double hz, int per_octave);
