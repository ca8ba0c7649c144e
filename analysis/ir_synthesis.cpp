#include "analysis/ir_synthesis.h"

#include <cmath>
#include <cstdio>

#include "analysis/min_phase.h"
#include "analysis/profile.h"
#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

struct SynthesisWork {
  float* spectrum;   // 2N floats
  float* temporary;  // N floats
  float* window;     // N floats
};

// One aligned block for all channels; null on failure.
void* allocate_work(size_t n, SynthesisWork& w) {
  void* block = mem_alloc_aligned(4 * n * sizeof(float), 64);
  if (!block) return nullptr;
  float* base = static_cast<float*>(block);
  w.spectrum = base;
  w.temporary = base + 2 * n;
  w.window = base + 3 * n;
  nuttall_window(w.window, n);
  return block;
}

// Turns the magnitude row `row` (N floats) into the windowed, half-rotated
// inverse transform, in place.
void magnitude_to_filter(const DspTable& t, const SynthesisWork& w, const float* magnitude, float* row,
                         unsigned rank) {
  size_t n = size_t{1} << rank;
  size_t h = n / 2;
  t.real_to_complex(w.spectrum, magnitude, n);
  t.fft_inverse(w.spectrum, w.spectrum, rank);
  t.complex_real_part(w.temporary, w.spectrum, n);
  t.copy_floats(row, w.temporary + h, h);
  t.copy_floats(row + h, w.temporary, h);
  t.multiply_by(row, w.window, n);
}

// The shape checks of both synthesis entry points, with their messages.
Status check_profiles(const Sample& reference, const Sample& target) {
  if (reference.length != target.length) {
    fputs("  The lenghts of audio profiles differ\n", stderr);
    return STATUS_BAD_ARGUMENT;
  }
  if (reference.channels != target.channels) {
    fputs("  The number of channels of audio profiles differ\n", stderr);
    return STATUS_BAD_ARGUMENT;
  }
  return STATUS_OK;
}

// Replaces each row of `result` (a copy of `target`) by the clamped ratio
// target / reference; returns the clamp count over bins 0 .. N/2.
uint64_t divide_and_clamp(const DspTable& t, Sample& result, const Sample& reference, const Sample& target,
                          float gain_cap, size_t bins) {
  uint64_t clamped = 0;
  for (uint64_t c = 0; c < result.channels; ++c) {
    float* row = result.data + c * result.stride;
    t.divide_by(row, reference.data + c * reference.stride, static_cast<size_t>(result.length));
    clamped += clamp_ratios(row, target.data + c * target.stride, static_cast<size_t>(result.length), bins,
                            gain_cap);
  }
  return clamped;
}

// The local copy of the target that becomes the result, with its message.
Status copy_target(Sample& result, const Sample& target) {
  if (sample_copy(result, target) != STATUS_OK) {
    fputs("  Error initializing the sample data\n", stderr);
    return STATUS_BAD_ARGUMENT;
  }
  return STATUS_OK;
}

// Everything a shaped synthesis allocates besides the result, released
// together on every path.
struct ShapeWork {
  void* block;     // SynthesisWork
  Sample curve;    // applied curve, one row per channel
  Sample computed; // computed curve (only with a trace)
  Sample levels;   // one value per channel (only when shaped around the level)
  double* sums;    // smoothing running sums
};

void shape_work_init(ShapeWork& sw) {
  sw.block = nullptr;
  sample_init(sw.curve);
  sample_init(sw.computed);
  sample_init(sw.levels);
  sw.sums = nullptr;
}

void shape_work_release(ShapeWork& sw) {
  if (sw.block) mem_free_aligned(sw.block);
  sample_destroy(sw.curve);
  sample_destroy(sw.computed);
  sample_destroy(sw.levels);
  mem_free(sw.sums);
  shape_work_init(sw);
}

// The shaping steps after the clamp, in their fixed order. Frequency
// range, amount and limits work on the curve minus its level when
// `levels` has data (one value per channel, filled here). Returns the
// number of values changed by the gain limits.
uint64_t shape_curve(Sample& curve, Sample& levels, const CurveSettings& s, double* sums, size_t n) {
  link_channels(curve, s.channel_link);
  uint64_t limited = 0;
  const size_t bins = static_cast<size_t>(curve.length);
  const double bin_hz = static_cast<double>(s.sample_rate) / static_cast<double>(n);
  for (uint64_t c = 0; c < curve.channels; ++c) {
    float* row = curve.data + c * curve.stride;
    smooth_octaves(row, bins, s.smoothing, sums);
    float level = 0.0f;
    if (levels.data) {
      level = curve_level(row, bins, bin_hz, s.low_freq, s.high_freq);
      levels.data[c * levels.stride] = level;
      offset_curve(row, bins, -level);
    }
    limit_band(row, bins, bin_hz, s.low_freq, s.high_freq);
    scale_curve(row, bins, s.amount);
    limited += limit_gain(row, bins, s.max_boost, s.max_cut);
    if (levels.data) offset_curve(row, bins, level);
  }
  return limited;
}

}  // namespace

Status synthesize_ir(Sample& ir, const Sample& reference, const Sample& target, unsigned rank, float gain_cap) {
  return synthesize_ir(ir, reference, target, rank, gain_cap, nullptr);
}

Status synthesize_ir(Sample& ir, const Sample& reference, const Sample& target, unsigned rank, float gain_cap,
                     uint64_t* clamped_bins) {
  Status st = check_profiles(reference, target);
  if (st != STATUS_OK) return st;
  Sample result;
  sample_init(result);
  st = copy_target(result, target);
  if (st != STATUS_OK) return st;
  size_t n = size_t{1} << rank;
  SynthesisWork w;
  void* block = allocate_work(n, w);
  if (!block) {
    sample_destroy(result);
    return STATUS_NO_MEMORY;
  }
  const DspTable& t = dsp();
  uint64_t clamped = divide_and_clamp(t, result, reference, target, gain_cap, n / 2 + 1);
  for (uint64_t c = 0; c < result.channels; ++c) {
    float* row = result.data + c * result.stride;
    magnitude_to_filter(t, w, row, row, rank);
  }
  sample_swap(ir, result);
  sample_destroy(result);
  mem_free_aligned(block);
  if (clamped_bins) *clamped_bins = clamped;
  return STATUS_OK;
}

void curve_trace_init(CurveTrace& trace) {
  sample_init(trace.computed_db);
  sample_init(trace.applied_db);
  sample_init(trace.level_db);
  trace.clamped_bins = 0;
  trace.limited_bins = 0;
}

void curve_trace_destroy(CurveTrace& trace) {
  sample_destroy(trace.computed_db);
  sample_destroy(trace.applied_db);
  sample_destroy(trace.level_db);
  trace.clamped_bins = 0;
  trace.limited_bins = 0;
}

Status synthesize_ir_shaped(Sample& ir, const Sample& reference, const Sample& target, unsigned rank,
                            const CurveSettings& settings, CurveTrace* trace) {
  const bool shaping = !curve_shaping_off(settings);
  if (!shaping && !trace) return synthesize_ir(ir, reference, target, rank, settings.gain_cap, nullptr);
  Status st = check_profiles(reference, target);
  if (st != STATUS_OK) return st;
  if ((settings.low_freq > 0.0f || settings.high_freq > 0.0f) && settings.sample_rate == 0)
    return STATUS_BAD_ARGUMENT;
  Sample result;
  sample_init(result);
  st = copy_target(result, target);
  if (st != STATUS_OK) return st;
  const size_t n = size_t{1} << rank;
  const size_t bins = n / 2 + 1;
  ShapeWork sw;
  shape_work_init(sw);
  SynthesisWork w;
  sw.block = allocate_work(n, w);
  bool ok = sw.block && sample_allocate(sw.curve, result.channels, bins, bins);
  if (ok && trace) ok = sample_allocate(sw.computed, result.channels, bins, bins);
  if (ok && curve_shaped_around_level(settings)) ok = sample_allocate(sw.levels, result.channels, 1, 1);
  if (ok && settings.smoothing > 0.0f) {
    sw.sums = static_cast<double*>(mem_alloc((bins + 1) * sizeof(double)));
    ok = sw.sums != nullptr;
  }
  if (!ok) {
    sample_destroy(result);
    shape_work_release(sw);
    return STATUS_NO_MEMORY;
  }
  const DspTable& t = dsp();
  uint64_t clamped = divide_and_clamp(t, result, reference, target, settings.gain_cap, bins);
  for (uint64_t c = 0; c < result.channels; ++c)
    ratio_to_db(sw.curve.data + c * sw.curve.stride, result.data + c * result.stride, bins);
  if (trace) t.copy_floats(sw.computed.data, sw.curve.data, static_cast<size_t>(sw.curve.channels * sw.curve.stride));
  uint64_t limited = 0;
  if (shaping) limited = shape_curve(sw.curve, sw.levels, settings, sw.sums, n);
  for (uint64_t c = 0; c < result.channels; ++c) {
    float* row = result.data + c * result.stride;
    const float* db = sw.curve.data + c * sw.curve.stride;
    if (settings.minimum_phase) {
      st = minimum_phase_filter(row, db, rank);
      if (st != STATUS_OK) {
        sample_destroy(result);
        shape_work_release(sw);
        return st;
      }
      continue;
    }
    // Without shaping the row still holds the clamped ratio itself, so the
    // filter is exactly synthesize_ir's; a round trip through dB would not be.
    if (shaping) db_to_ratio(row, db, bins);
    magnitude_to_filter(t, w, row, row, rank);
  }
  sample_swap(ir, result);
  sample_destroy(result);
  if (trace) {
    sw.computed.sample_rate = settings.sample_rate;
    sw.curve.sample_rate = settings.sample_rate;
    sample_swap(trace->computed_db, sw.computed);
    sample_swap(trace->applied_db, sw.curve);
    sample_swap(trace->level_db, sw.levels);
    trace->clamped_bins = clamped;
    trace->limited_bins = limited;
  }
  shape_work_release(sw);
  return STATUS_OK;
}

Status synthesize_frequency_response(Sample& response, const Sample& profile, unsigned rank) {
  size_t n = size_t{1} << rank;
  SynthesisWork w;
  void* block = allocate_work(n, w);
  if (!block) return STATUS_NO_MEMORY;
  Sample result;
  sample_init(result);
  if (!sample_resize(result, profile.channels, n, n)) {
    mem_free_aligned(block);
    return STATUS_NO_MEMORY;
  }
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < result.channels; ++c)
    magnitude_to_filter(t, w, profile.data + c * profile.stride, result.data + c * result.stride, rank);
  sample_swap(response, result);
  sample_destroy(result);
  mem_free_aligned(block);
  return STATUS_OK;
}
