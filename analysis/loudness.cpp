#include "analysis/loudness.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>
#include <thread>

#include "analysis/integrated_meter.h"
#include "analysis/sample_progress.h"
#include "analysis/true_peak.h"
#include "dsp/dsp.h"
#include "runtime/alloc.h"
#include "runtime/thread.h"

namespace {

// Frames handed to the meter per call (as libebur128 was always fed).
constexpr uint64_t kBlockFrames = 4096;

double to_db(double linear) {
  return linear > 0.0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

}  // namespace

namespace {

// Integrated loudness of all channels together (they are weighted and
// summed per block), as libebur128 reports it (analysis/integrated_meter.h): -HUGE_VAL when no block passes the gates. With
// `follow`, the rows are those it describes, and every block is waited for
// until the writer has finished it; libebur128 sees the same frames in the
// same order either way, so the value is the same.
Status measure_integrated(const float* data, uint64_t stride, uint64_t channels, uint64_t length, uint64_t rate,
                          SampleProgress* follow, double* lufs_out) {
  const float** rows = static_cast<const float**>(mem_alloc(size_t(channels) * sizeof(float*)));
  if (!rows) return STATUS_NO_MEMORY;
  IntegratedMeter meter;
  Status status = integrated_meter_start(meter, rate, channels);
  for (uint64_t at = 0; at < length && status == STATUS_OK; at += kBlockFrames) {
    const uint64_t n = std::min(kBlockFrames, length - at);
    if (follow && !progress_wait(follow, at + n)) {
      status = STATUS_INVALID;
      break;
    }
    for (uint64_t c = 0; c < channels; ++c) rows[c] = data + c * stride + at;
    status = integrated_meter_add(meter, rows, n);
  }
  if (status == STATUS_OK) status = integrated_meter_result(meter, lufs_out);
  integrated_meter_release(meter);
  mem_free(rows);
  return status;
}

Status measure_integrated(const Sample& audio, double* lufs_out) {
  return measure_integrated(audio.data, audio.stride, audio.channels, audio.length, audio.sample_rate, nullptr,
                            lufs_out);
}

// True and sample peak of one channel (a channel's peaks depend on that
// channel alone), into peaks[0] and peaks[1]: libebur128's values of a
// whole-channel pass, found by measuring only the blocks that can hold the
// true peak (analysis/true_peak.h).
Status measure_peaks(const Sample& audio, uint64_t c, double* peaks) {
  ChannelPeaks p;
  Status st = measure_channel_peaks(audio.data + c * audio.stride, audio.length, audio.sample_rate, &p);
  if (st != STATUS_OK) return st;
  peaks[0] = p.true_peak;
  peaks[1] = p.sample_peak;
  return STATUS_OK;
}

}  // namespace

Status measure_loudness(const Sample& audio, LoudnessMeasure* out) { return measure_loudness(audio, nullptr, out); }

Status measure_integrated_loudness(const Sample& audio, double* lufs) {
  if (audio.sample_rate == 0 || audio.channels == 0 || !lufs) return STATUS_BAD_ARGUMENT;
  if (audio.length > 0 && !audio.data) return STATUS_BAD_ARGUMENT;
  if (audio.channels > std::numeric_limits<unsigned>::max() / kBlockFrames) return STATUS_BAD_ARGUMENT;
  double raw = 0.0;
  Status st = measure_integrated(audio, &raw);
  if (st != STATUS_OK) return st;
  *lufs = std::isfinite(raw) ? raw : std::numeric_limits<double>::quiet_NaN();
  return STATUS_OK;
}

Status measure_integrated_following(SampleProgress* progress, uint64_t rate, double* lufs_out) {
  if (!progress || !lufs_out || rate == 0) return STATUS_BAD_ARGUMENT;
  // The rows and their sizes are known once the first frames are (or the
  // signal is finished).
  if (!progress_wait(progress, 1)) return STATUS_INVALID;
  const uint64_t channels = progress->channels;
  if (channels == 0 || channels > std::numeric_limits<unsigned>::max() / kBlockFrames) return STATUS_BAD_ARGUMENT;
  return measure_integrated(progress->data, progress->stride, channels, progress->frames, rate, progress, lufs_out);
}

Status measure_loudness(const Sample& audio, const double* integrated, LoudnessMeasure* out) {
  if (audio.sample_rate == 0 || audio.channels == 0 || !out) return STATUS_BAD_ARGUMENT;
  if (audio.length > 0 && !audio.data) return STATUS_BAD_ARGUMENT;
  const uint64_t channels = audio.channels;
  if (channels > std::numeric_limits<unsigned>::max() / kBlockFrames) return STATUS_BAD_ARGUMENT;
  // Task 0 is the integrated loudness, task 1 + c the peaks of channel c.
  // The loudness (one state over every channel) is the longest task, so it
  // is handed out first and the channels' peaks run beside it, on as many
  // threads as the processor has. A loudness already known skips task 0.
  const uint64_t tasks = channels + 1;
  double* results = static_cast<double*>(mem_calloc(size_t(2 * tasks), sizeof(double)));
  Status* statuses = static_cast<Status*>(mem_calloc(size_t(tasks), sizeof(Status)));
  if (!results || !statuses) {
    mem_free(results);
    mem_free(statuses);
    return STATUS_NO_MEMORY;
  }
  std::atomic<uint64_t> next{integrated ? 1u : 0u};
  if (integrated) results[0] = *integrated;
  auto work = [&]() {
    for (uint64_t t = next.fetch_add(1); t < tasks; t = next.fetch_add(1)) {
      statuses[t] = t == 0 ? measure_integrated(audio, &results[0]) : measure_peaks(audio, t - 1, &results[2 * t]);
    }
  };
  unsigned cores = std::thread::hardware_concurrency();
  // A loudness given is usually still being measured beside this call (it
  // follows the signal while it is made): one processor is left to it.
  const unsigned spare = integrated ? 2 : 1;
  const uint64_t helpers = std::min<uint64_t>(cores > spare ? cores - spare : 0, tasks - 1 - (integrated ? 1 : 0));
  // Helpers the system refuses leave their share to the others.
  Thread* threads = helpers ? static_cast<Thread*>(mem_calloc(size_t(helpers), sizeof(Thread))) : nullptr;
  for (uint64_t i = 0; threads && i < helpers; ++i) new (&threads[i]) Thread();
  for (uint64_t i = 0; threads && i < helpers && threads[i].start(&work); ++i) {
  }
  work();
  // Each waits for its thread, if it had one.
  for (uint64_t i = 0; threads && i < helpers; ++i) threads[i].~Thread();
  mem_free(threads);

  Status status = STATUS_OK;
  for (uint64_t t = 0; t < tasks && status == STATUS_OK; ++t) status = statuses[t];
  LoudnessMeasure m{std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity(),
                    -std::numeric_limits<double>::infinity()};
  // libebur128 reports -HUGE_VAL when no block passes the gates.
  if (std::isfinite(results[0])) m.integrated_lufs = results[0];
  double true_peak = 0.0, sample_peak = 0.0;
  for (uint64_t c = 0; c < channels; ++c) {
    true_peak = std::max(true_peak, results[2 * (c + 1)]);
    sample_peak = std::max(sample_peak, results[2 * (c + 1) + 1]);
  }
  mem_free(results);
  mem_free(statuses);
  if (status != STATUS_OK) return status;
  m.true_peak_db = to_db(true_peak);
  m.sample_peak_db = to_db(sample_peak);
  *out = m;
  return STATUS_OK;
}

LoudnessGain loudness_gain(const LoudnessMeasure& measured, double target_lufs, double ceiling_dbtp) {
  LoudnessGain g{0.0, false, false, 0.0};
  const bool has_target = !std::isnan(target_lufs);
  const bool has_ceiling = !std::isnan(ceiling_dbtp);
  const double tp = measured.true_peak_db;
  if (std::isinf(tp) && tp < 0) {  // digital silence: nothing to scale
    g.unmeasurable = has_target;
    return g;
  }
  if (has_target && std::isnan(measured.integrated_lufs)) {
    // Too short for one gating block, or below the absolute gate: no
    // loudness to bring to the target, yet a peak the ceiling still holds.
    g.unmeasurable = true;
  } else if (has_target) {
    g.gain_db = target_lufs - measured.integrated_lufs;
    if (has_ceiling && tp + g.gain_db > ceiling_dbtp) {
      const double limited = ceiling_dbtp - tp;
      g.target_missed_lu = g.gain_db - limited;
      g.gain_db = limited;
      g.ceiling_limited = true;
    }
    return g;
  }
  if (has_ceiling && tp > ceiling_dbtp) {
    g.gain_db = ceiling_dbtp - tp;
    g.ceiling_limited = true;
  }
  return g;
}

void loudness_apply_gain(Sample& audio, double gain_db) {
  if (gain_db == 0.0 || !audio.data) return;
  const float k = static_cast<float>(std::exp(gain_db * 2.302585092994046 * 0.05));
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < audio.channels; ++c) t.scale(audio.data + c * audio.stride, size_t(audio.length), k);
}
