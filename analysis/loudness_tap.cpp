#include "analysis/loudness_tap.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "dsp/dsp.h"
#include "runtime/alloc.h"

namespace {

constexpr uint64_t kFrames = 4096;

Status from_ebur128(int error) {
  if (error == EBUR128_SUCCESS) return STATUS_OK;
  return error == EBUR128_ERROR_NOMEM ? STATUS_NO_MEMORY : STATUS_SYSTEM;
}

double to_db(double linear) {
  return linear > 0.0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

ebur128_state* as_state(void* p) { return static_cast<ebur128_state*>(p); }

}  // namespace

Status LoudnessTap::start(const StageFormat& in, StageFormat* out) {
  release();
  if (in.rate == 0 || in.channels == 0 || in.channels > std::numeric_limits<unsigned>::max() / kFrames)
    return STATUS_BAD_ARGUMENT;
  channels_ = in.channels;
  interleaved_ = static_cast<float*>(mem_alloc(size_t(2 * kFrames * channels_) * sizeof(float)));
  if (!interleaved_) return STATUS_NO_MEMORY;
  state_ = ebur128_init(unsigned(channels_), static_cast<unsigned long>(in.rate), EBUR128_MODE_I);
  if (peaks_)
    peak_state_ = ebur128_init(unsigned(channels_), static_cast<unsigned long>(in.rate),
                               EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_SAMPLE_PEAK);
  if (!state_ || (peaks_ && !peak_state_)) {
    release();
    return STATUS_NO_MEMORY;
  }
  status_ = peak_status_ = STATUS_OK;
  ready_frames_ = 0;
  ready_ = filling_ = 0;
  closing_ = false;
  if (peaks_) worker_ = std::thread([this] { peak_worker(); });
  *out = in;
  return STATUS_OK;
}

// Measures each buffer handed over, in order, until the tap closes.
void LoudnessTap::peak_worker() {
  const DspTable& table = dsp();
  DspFpState fp{};
  table.dsp_start(&fp);
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [this] { return ready_frames_ > 0 || closing_; });
    if (ready_frames_ == 0) break;
    const float* buffer = interleaved_ + uint64_t(ready_) * kFrames * channels_;
    const uint64_t n = ready_frames_;
    hold.unlock();
    const Status st = from_ebur128(ebur128_add_frames_float(as_state(peak_state_), buffer, size_t(n)));
    hold.lock();
    if (st != STATUS_OK && peak_status_ == STATUS_OK) peak_status_ = st;
    ready_frames_ = 0;
    changed_.notify_all();
  }
  table.dsp_finish(&fp);
}

Status LoudnessTap::process(const Sample& block, StageSink& next) {
  for (uint64_t at = 0; at < block.length && status_ == STATUS_OK; at += kFrames) {
    const uint64_t n = std::min(kFrames, block.length - at);
    float* buffer = interleaved_ + uint64_t(filling_) * kFrames * channels_;
    for (uint64_t c = 0; c < channels_; ++c) {
      const float* row = block.data + c * block.stride + at;
      for (uint64_t k = 0; k < n; ++k) buffer[k * channels_ + c] = row[k];
    }
    status_ = from_ebur128(ebur128_add_frames_float(as_state(state_), buffer, size_t(n)));
    if (peaks_) {
      // The peak thread takes this buffer once it is done with the other.
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait(hold, [this] { return ready_frames_ == 0; });
      ready_ = filling_;
      ready_frames_ = n;
      filling_ = 1 - filling_;
      changed_.notify_all();
    }
  }
  if (status_ != STATUS_OK) return status_;
  return next.take(block);
}

void LoudnessTap::stop_worker() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    closing_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

Status LoudnessTap::finish(StageSink& next) {
  (void)next;
  stop_worker();
  return STATUS_OK;
}

Status LoudnessTap::result(LoudnessMeasure* out) const {
  if (!state_ || worker_.joinable()) return STATUS_INVALID;
  if (status_ != STATUS_OK) return status_;
  if (peak_status_ != STATUS_OK) return peak_status_;
  double lufs = 0.0;
  Status st = from_ebur128(ebur128_loudness_global(as_state(state_), &lufs));
  if (st != STATUS_OK) return st;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  LoudnessMeasure m{std::isfinite(lufs) ? lufs : nan, nan, nan};
  if (peaks_) {
    double tp = 0.0, sp = 0.0;
    for (uint64_t c = 0; c < channels_; ++c) {
      double t = 0.0, s = 0.0;
      if ((st = from_ebur128(ebur128_true_peak(as_state(peak_state_), unsigned(c), &t))) != STATUS_OK) return st;
      if ((st = from_ebur128(ebur128_sample_peak(as_state(peak_state_), unsigned(c), &s))) != STATUS_OK) return st;
      tp = std::max(tp, t);
      sp = std::max(sp, s);
    }
    m.true_peak_db = to_db(tp);
    m.sample_peak_db = to_db(sp);
  }
  *out = m;
  return STATUS_OK;
}

void LoudnessTap::release() {
  stop_worker();
  for (void** p : {&state_, &peak_state_}) {
    if (*p) {
      ebur128_state* st = as_state(*p);
      ebur128_destroy(&st);
    }
    *p = nullptr;
  }
  mem_free(interleaved_);
  interleaved_ = nullptr;
}
