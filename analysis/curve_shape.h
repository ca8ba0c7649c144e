#pragma once

#include <cstddef>
#include <cstdint>

#include "analysis/sample.h"

// Shaping of a correction curve before it becomes a filter.
//
// A curve row holds bins 0 .. N/2 of a filter of N = 2^rank taps in dB; bin k
// sits at k x sample_rate / N Hz. The operations below work on such rows (or
// on every row of a Sample whose length is the bin count) in place, in the
// order synthesize_ir_shaped (analysis/ir_synthesis.h) applies them:
// gain-range clamp (on the linear ratio), channel link, smoothing, frequency
// range, amount, boost/cut limits. Each is skipped entirely at its default.
//
// Frequency range, amount and limits act on the curve's shape, not on its
// level: when any of them is on, each row's level (curve_level) is taken
// off first and added back after them, so the broadband gain of the filter
// stays what the profiles ask for and only the tonal correction is limited,
// scaled or confined to the range. Level and tone are separate decisions.

// What to do to the curve. Every field has an "off" value that leaves the
// curve exactly as it was; curve_settings_init sets all of them. Values are
// taken as given: the caller refuses NaN and infinite ones (a NaN amount
// would make the whole filter NaN).
struct CurveSettings {
  float gain_cap;        // linear; every ratio is clamped to [1/cap, cap] (always applied)
  float channel_link;    // percent, clamped to 0..100; 0 off
  float smoothing;       // octaves (0.333 = third octave); 0 or less off
  float low_freq;        // Hz; 0 or less off
  float high_freq;       // Hz; 0 or less off
  float amount;          // percent; 100 unchanged, 0 flat, 150 exaggerated
  float max_boost;       // dB above the curve's level; negative off (kNoLimit); 0 no boost at all
  float max_cut;         // dB below the curve's level; negative off (kNoLimit); 0 no cut at all
  bool minimum_phase;    // false: linear phase (centre tap N/2); true: minimum phase (energy at tap 0)
  uint64_t sample_rate;  // Hz; maps bins to frequency; needed only for the frequency range
};

// The value of max_boost and max_cut that sets no limit.
constexpr float kNoLimit = -1.0f;

// All shaping off (limits kNoLimit), linear phase, gain_cap = `gain_cap`, sample_rate 0.
void curve_settings_init(CurveSettings& s, float gain_cap);

// True when none of channel link, smoothing, frequency range, amount, limits
// or minimum phase would do anything: the filter is then exactly the one of
// the plain ratio.
bool curve_shaping_off(const CurveSettings& s);

// Clamps the linear ratios ratio[0 .. n-1] (target / reference, as divided)
// to [1/cap, cap] with 1/cap computed in float. A ratio that is not finite
// becomes 1 when target[k] is 0 (0/0: nothing to correct) and cap otherwise.
// Ratios inside the range keep their exact bits. Returns how many of the
// first `counted` bins were changed to a limit (the 0/0 bins are not
// counted: they are no gain at all).
uint64_t clamp_ratios(float* ratio, const float* target, size_t n, size_t counted, float cap);

// db[k] = 20 log10(ratio[k]) for k < bins (a ratio of 0 gives -inf).
void ratio_to_db(float* db, const float* ratio, size_t bins);

// Fills the n = 2 (bins - 1) linear values of a full real-filter magnitude
// row from the dB curve: ratio[k] = 10^(db[k] / 20) for k < bins and the
// mirror ratio[n - k] = ratio[k] above, so the filter stays real and even.
void db_to_ratio(float* ratio, const float* db, size_t bins);

// Each row c becomes (1 - p) x row c + p x (mean of all rows), p = percent /
// 100 clamped to 0..1, elementwise in dB. At 100 all rows are equal, so the
// filter no longer moves the stereo balance of the reference. Needs no
// storage: the mean is taken bin by bin.
void link_channels(Sample& curve, float percent);

// Fractional-octave smoothing of one row of `bins` dB values: bin k >= 1
// becomes the mean of bins j in [k 2^(-o/2), k 2^(o/2)] (o = `octaves`),
// widened to at least k-1 .. k+1 and limited to 1 .. bins-1; bin 0 (DC, no
// octave position) is kept and takes part in no mean. `scratch` holds bins +
// 1 doubles (running sums).
//
// The mean is taken in dB, not in power: boosts and cuts of the same width
// and depth are treated alike, so a narrow deep notch of the reference (a
// narrow large boost of the curve) is spread out and shrinks with its width.
// A power mean would let such a boost dominate its neighbourhood and survive
// the smoothing, which is what the smoothing is meant to prevent.
void smooth_octaves(float* row, size_t bins, float octaves, double* scratch);

// Returns the curve to 0 dB (its level, when the level has been taken off)
// outside [low_hz, high_hz] with a half-octave
// raised-cosine transition inside the range: weight 0 at low_hz rising to 1
// at low_hz x 2^0.5, and 1 at high_hz x 2^-0.5 falling to 0 at high_hz. A
// limit of 0 or below is off. `bin_hz` is sample_rate / N. When the
// transitions overlap their weights multiply; an empty range flattens all.
void limit_band(float* row, size_t bins, double bin_hz, float low_hz, float high_hz);

// True when frequency range, amount or a limit is on: the curve is then
// shaped around its level.
bool curve_shaped_around_level(const CurveSettings& s);

// The level of one row of `bins` dB values: their mean over the frequency
// range [low_hz, high_hz] (20 Hz and the last bin's frequency where a limit
// is 0 or less), each bin weighted by the part of an octave it covers
// (bin k spans (k - 1/2) .. (k + 1/2) x bin_hz), so each octave counts
// equally. Bin 0 takes no part. With bin_hz 0 or less the range is all bins
// from 1 on. An empty range gives 0.
float curve_level(const float* row, size_t bins, double bin_hz, float low_hz, float high_hz);

// Adds `db` to every value.
void offset_curve(float* row, size_t bins, float db);

// Multiplies the dB values by percent / 100.
void scale_curve(float* row, size_t bins, float percent);

// Clamps the dB values to [-max_cut, +max_boost]; a negative limit is off, 0
// allows no boost (or cut) at all. Returns the number of values changed.
uint64_t limit_gain(float* row, size_t bins, float max_boost, float max_cut);
