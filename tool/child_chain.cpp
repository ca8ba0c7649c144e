#include "tool/child_chain.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analysis/limiter_stage.h"
#include "analysis/loudness_tap.h"
#include "analysis/mix.h"
#include "analysis/mix_stage.h"
#include "audio/sample_file.h"
#include "runtime/output.h"
#include "tool/naming.h"
#include "tool/tool_config.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const char* text_of(String* s) {
  const char* t = string_to_utf8(s);
  return t ? t : "";
}

// A gain in dB as every gain of the tool is converted (loudness_apply_gain).
float gain_factor(double gain_db) { return static_cast<float>(std::exp(gain_db * 2.302585092994046 * 0.05)); }

// Writes what passes through it into an open save and hands on the values
// as written (quantized and dithered for integer formats).
class WriterStage : public Stage {
 public:
  ~WriterStage() override { release(); }
  void configure(SaveSession* session, bool quantized) {
    session_ = session;
    quantized_ = quantized;
  }
  Status start(const StageFormat& in, StageFormat* out) override {
    *out = in;
    cause_[0] = 0;
    return STATUS_OK;
  }
  Status process(const Sample& block, StageSink& next) override {
    if (quantized_ && (!saved_.data || saved_.stride < block.length || saved_.channels != block.channels)) {
      if (!sample_allocate_unfilled(saved_, block.channels, block.length < 32768 ? 32768 : block.length, 0))
        return STATUS_NO_MEMORY;
    }
    Status st = save_session_write(*session_, block, quantized_ ? &saved_ : nullptr, cause_, sizeof cause_);
    if (st != STATUS_OK) return st;
    if (!quantized_) return next.take(block);
    saved_.length = block.length;
    saved_.sample_rate = block.sample_rate;
    return next.take(saved_);
  }
  void release() override { sample_destroy(saved_); }
  const char* cause() const { return cause_; }

 private:
  SaveSession* session_ = nullptr;
  bool quantized_ = false;
  Sample saved_{};
  char cause_[256] = "";
};

// What a pass of the chain is for: the peak normalization needs, the
// loudness of the output before the limiter, the loudness of the limited
// output at a trial gain, or the written file.
enum ChainUse { kMeasurePeak, kMeasureLoudness, kMeasureLimited, kWrite, kCollect };

// Every stage a child's chain may hold; build() picks and orders them.
struct ChainParts {
  MidSideStage encode, decode;
  MixStage mix;
  PeakTap peak;
  WindowStage window;
  ScaleStage scale;   // normalization and the loudness gain
  LimiterStage limiter;
  ScaleStage post;    // trims of a ceiling after the limiter
  WriterStage writer;
  CollectStage collect;
  // Writing from an output held whole (made by a kCollect pass and
  // delivered in place): only the trims, the writer and the meter; with
  // `limit_whole` the loudness gain and the limiter before them (the
  // limiter's metered passes are then writes).
  BlockSource* whole_output = nullptr;
  bool limit_whole = false;
  LoudnessTap loudness;
  // Whether the tap measures the integrated loudness (the peaks alone may
  // be all a pass needs).
  bool loudness_integrated = true;

  // The chain, in one place, for one use: measuring the peak that
  // normalization needs, measuring the loudness, or writing.
  bool build(StageChain& chain, const ChildAudio& job, ChainUse use, bool meter, bool peaks) {
    const ToolConfig* cfg = job.cfg;
    mix.configure(job.ir, job.delay, job.dry, job.wet);
    const uint64_t first = cfg->latency_compensation && job.delay > 0 ? static_cast<uint64_t>(job.delay) : 0;
    const int64_t length = cfg->match_length ? static_cast<int64_t>(job.input->format().length) : -1;
    window.configure(first, length);
    encode.configure(false);
    decode.configure(true);
    loudness.configure(peaks, loudness_integrated);
    bool ok = true;
    if (whole_output) {
      if (limit_whole) ok = chain.add(&scale) && chain.add(&limiter);
      ok = ok && chain.add(&post) && (use != kWrite || chain.add(&writer));
      if (meter) ok = ok && chain.add(&loudness);
      return ok;
    }
    if (job.mid_side) ok = ok && chain.add(&encode);
    ok = ok && chain.add(&mix);
    // Normalization takes the peak of the whole mix, or with mid/side that
    // of the decoded output.
    const bool peaked = use == kMeasurePeak || use == kCollect;
    if (peaked && !job.mid_side) ok = ok && chain.add(&peak);
    ok = ok && chain.add(&window);
    if (job.mid_side) ok = ok && chain.add(&decode);
    if (peaked && job.mid_side) ok = ok && chain.add(&peak);
    if (use == kCollect) ok = ok && chain.add(&collect);
    if (use == kMeasurePeak || use == kCollect) return ok;
    ok = ok && chain.add(&scale);
    // Before the limiter the sample peak goes with the loudness.
    if (use == kMeasureLoudness && job.limiter) ok = ok && chain.add(&peak);
    if (job.limiter && use != kMeasureLoudness) ok = ok && chain.add(&limiter) && chain.add(&post);
    if (use == kWrite) ok = ok && chain.add(&writer);
    if (meter) ok = ok && chain.add(&loudness);
    return ok;
  }
};

// One pass of the chain over the input.
Status run_pass(ChildAudio* job, ChainParts& parts, ChainUse use, bool meter, bool peaks, StageFormat* out) {
  StageChain chain;
  if (!parts.build(chain, *job, use, meter, peaks)) return STATUS_INVALID;
  StageFormat shape{};
  BlockSource* source = parts.whole_output ? parts.whole_output : job->input;
  StageFormat in = source->format();
  in.rate = job->rate;
  Status st = chain.start(in, &shape);
  if (st == STATUS_OK) st = source->run(chain);
  if (st == STATUS_OK) st = chain.finish();
  if (out) *out = shape;
  // The stages keep their settings (the scale's factors); their buffers go.
  parts.mix.release();
  return st;
}

int convolve_failed(int st) {
  err_printf("  error convolving trimmed impulse response with master file, error code: %d\n", st);
  return st;
}

int measure_failed(int st) {
  err_printf("  error measuring loudness, error code: %d\n", st);
  return st;
}

// The gain step's view of the output: gains become factors of the scale
// stage, and a loudness measured again is a pass of the chain.
class ChainOutput : public DeliveredOutput {
 public:
  ChainOutput(ChildAudio* job, ChainParts* parts) : job_(job), parts_(parts) {}
  void apply_gain(double gain_db) override {
    if (gain_db != 0.0) (void)parts_->scale.add(gain_factor(gain_db));
  }
  Status integrated(double* lufs) override {
    Status st = run_pass(job_, *parts_, kMeasureLoudness, true, false, nullptr);
    LoudnessMeasure m{kNaN, kNaN, kNaN};
    if (st == STATUS_OK) st = parts_->loudness.result(&m);
    if (st == STATUS_OK) *lufs = m.integrated_lufs;
    return st;
  }

 private:
  ChildAudio* job_;
  ChainParts* parts_;
};

// The limiter's passes over the chain: each is a pass of its own, metered
// as it is made (nothing to forecast from without the whole output).
class ChainLimiterPasses : public LimiterPasses {
 public:
  ChainLimiterPasses(ChildAudio* job, ChainParts* parts, const float* norm, unsigned norm_count, uint64_t frames)
      : job_(job), parts_(parts), norm_(norm), norm_count_(norm_count), frames_(frames) {}
  int metered(double gain_db, double* lufs, LimiterStats* stats, LoudnessReport* report) override {
    set_gain(*parts_, norm_, norm_count_, gain_db);
    configure_limiter(*job_, *parts_, report, frames_);
    Status st = run_pass(job_, *parts_, kMeasureLimited, true, false, nullptr);
    LoudnessMeasure m{kNaN, kNaN, kNaN};
    if (st == STATUS_OK) st = parts_->loudness.result(&m);
    if (st != STATUS_OK) {
      err_printf("  error limiting the output audio, error code: %d\n", st);
      return st;
    }
    *lufs = m.integrated_lufs;
    *stats = parts_->limiter.stats();
    return 0;
  }

  // The factors before the limiter: normalization, then the gain.
  static void set_gain(ChainParts& parts, const float* norm, unsigned count, double gain_db) {
    parts.scale.clear();
    for (unsigned i = 0; i < count; ++i) (void)parts.scale.add(norm[i]);
    (void)parts.scale.add(gain_factor(gain_db));
  }

  // The limiter at the settings' ceiling, its gain over time into the report.
  static void configure_limiter(const ChildAudio& job, ChainParts& parts, LoudnessReport* report, uint64_t frames) {
    const ToolConfig* cfg = job.cfg;
    const uint64_t step = std::max<uint64_t>(1, (frames + kLimiterTracePoints - 1) / kLimiterTracePoints);
    report->limiter_trace_count = (frames + step - 1) / step;
    report->limiter_trace_step_s = double(step) / double(job.rate);
    for (uint64_t i = 0; i < report->limiter_trace_count; ++i) report->limiter_trace[i] = 1.0f;
    parts.limiter.configure(delivery_ceiling_db(cfg), static_cast<double>(cfg->limiter_lookahead),
                            static_cast<double>(cfg->limiter_release), report->limiter_trace,
                            report->limiter_trace_count, step);
  }

 private:
  ChildAudio* job_;
  ChainParts* parts_;
  const float* norm_;
  unsigned norm_count_;
  uint64_t frames_;
};

// The write of the output: a save session, the chain's write pass and,
// where a ceiling holds, further rounds that lower the output by the
// written true peak's excess. The session stays open until commit(), so
// that a later write may replace it; the destructor drops one left open.
class OutputWriter {
 public:
  OutputWriter() { save_session_init(session_); }
  ~OutputWriter() { abort(); }
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;

  // The output's path is prepared before the first write.
  void setup(ChildAudio* job, ChainParts* parts, double ceiling, uint64_t channels, uint64_t frames) {
    job_ = job;
    parts_ = parts;
    ceiling_ = ceiling;
    channels_ = channels;
    frames_ = frames;
    format_ = job->options.custom ? job->options.format : save_format_default();
    format_.dither_seed = job->seed;
    quantized_ = format_.bits != SAVE_BITS_FLOAT;
  }
  bool ready() const { return job_ != nullptr; }

  bool quantized() const { return quantized_; }
  bool holds() const { return !std::isnan(ceiling_); }
  bool pending() const { return pending_; }

  // Writes the file (in place of one written before and not committed).
  // With `meter` the written file's loudness is measured whatever the
  // format. Returns 0 or the status after its message.
  int write(bool meter) {
    abort();
    const bool hold = holds();
    int st = 0;
    cause_[0] = 0;
    for (int round = 0;; ++round) {
      save_session_init(session_);
      shape = StageFormat{job_->rate, channels_, frames_};
      st = save_session_begin(session_, job_->path, job_->rate, channels_, shape.length, format_, &job_->stats,
                              cause_, sizeof cause_, true);
      if (st == 0) {
        parts_->writer.configure(&session_, quantized_);
        // The written file's loudness is reported only where it can differ
        // from the one the delivery found: after quantization or a trim.
        parts_->loudness_integrated = meter || quantized_ || trim != 0.0 || std::isnan(job_->loudness.after_lufs);
        st = run_pass(job_, *parts_, kWrite, hold, hold, &shape);
        if (st != 0 && parts_->writer.cause()[0]) std::snprintf(cause_, sizeof cause_, "%s", parts_->writer.cause());
      }
      if (st == 0 && hold) {
        if ((st = parts_->loudness.result(&written)) != 0) {
          save_session_abort(session_);
          return measure_failed(st);
        }
        if (written.true_peak_db > ceiling_) {
          save_session_abort(session_);
          if (round == kRounds) {
            err_printf("  true-peak ceiling of %.2f dBTP cannot be met by the written samples (it lies in the noise "
                       "of their quantization)\n",
                       ceiling_);
            return STATUS_UNSUPPORTED;
          }
          // Lower by the excess and a hair more, the quantization's own
          // wobble (a few steps of the last bit).
          const double lower = written.true_peak_db - ceiling_ + 0.001 * (round + 1);
          (void)(job_->limiter || parts_->whole_output ? parts_->post : parts_->scale).add(gain_factor(-lower));
          trim -= lower;
          continue;
        }
      }
      break;
    }
    if (st == 0) {
      pending_ = true;
      return 0;
    }
    if (session_.open && session_.failed_write != STATUS_OK) {
      // A failed write is closed like a whole save's, which tells a full
      // disk as such and removes the temporary.
      const int end = save_session_end(session_, cause_, sizeof cause_);
      if (end != 0) st = end;
    } else if (session_.open) {
      save_session_abort(session_);
    }
    return failed(st);
  }

  // Ends the written file (the temporary takes its name).
  int commit() {
    if (!pending_) return STATUS_INVALID;
    pending_ = false;
    const int st = save_session_end(session_, cause_, sizeof cause_);
    return st != 0 ? failed(st) : 0;
  }

  void abort() {
    if (session_.open) save_session_abort(session_);
    pending_ = false;
  }

  double trim = 0.0;  // dB the rounds took off
  LoudnessMeasure written{kNaN, kNaN, kNaN};
  StageFormat shape{};

 private:
  static constexpr int kRounds = 4;

  int failed(int st) {
    err_printf("  could not write file '%s', error code: %d\n", text_of(&job_->path), st);
    if (cause_[0]) err_printf("  %s\n", cause_);
    return st;
  }

  ChildAudio* job_ = nullptr;
  ChainParts* parts_ = nullptr;
  double ceiling_ = kNaN;
  uint64_t channels_ = 0, frames_ = 0;
  SaveFormat format_{};
  bool quantized_ = false;
  SaveSession session_;
  bool pending_ = false;
  char cause_[256] = "";
};

// The limiter's metered passes over an output held whole, as writes of
// the file: the loudness gain and the limiter (replaying what the search
// found) run in the write's chain, and the file as written is metered. The
// search's last pass is the delivered file.
class LimitedWrite : public MeteredWrite {
 public:
  LimitedWrite(ChildAudio* job, ChainParts* parts, OutputWriter* writer, uint64_t frames)
      : job_(job), parts_(parts), writer_(writer), frames_(frames) {}
  int write(double gain_db, const LimiterStage::Replay& replay, double* lufs, LimiterStats* stats,
            LoudnessReport* report) override {
    parts_->scale.clear();
    (void)parts_->scale.add(gain_factor(gain_db));
    parts_->post.clear();
    writer_->trim = 0.0;
    ChainLimiterPasses::configure_limiter(*job_, *parts_, report, frames_);
    parts_->limiter.replay(replay);
    const int st = writer_->write(true);
    parts_->limiter.replay(LimiterStage::Replay{});
    if (st != 0) return st;
    *lufs = writer_->written.integrated_lufs;
    *stats = parts_->limiter.stats();
    return 0;
  }

 private:
  ChildAudio* job_;
  ChainParts* parts_;
  OutputWriter* writer_;
  uint64_t frames_;
};

}  // namespace

Status WholeSource::run(StageSink& sink) {
  for (uint64_t at = 0; at < s_.length; at += kChainBlockFrames) {
    const uint64_t n = s_.length - at < kChainBlockFrames ? s_.length - at : kChainBlockFrames;
    Status st = sink.take(sample_view(s_, at, n));
    if (st != STATUS_OK) return st;
  }
  return STATUS_OK;
}

void child_audio_init(ChildAudio* job) {
  *job = ChildAudio{};
  job->timbre_lufs = kNaN;
  loudness_report_init(&job->loudness);
  string_init(&job->path);
}

void child_audio_free(ChildAudio* job) { string_free(&job->path); }

namespace {

// The output's path, its directories made.
int prepare_path(ChildAudio* job) {
  return string_assign(&job->path, job->target) ? prepare_output_directory(&job->path) : STATUS_NO_MEMORY;
}

}  // namespace

int write_child_audio(ChildAudio* job) {
  const ToolConfig* cfg = job->cfg;
  ChainParts parts;
  int st = 0;
  float norm[1];
  unsigned norm_count = 0;
  const uint64_t first = cfg->latency_compensation && job->delay > 0 ? static_cast<uint64_t>(job->delay) : 0;
  const StageFormat in = job->input->format();
  const uint64_t frames = mix_window_length(in.length, job->ir->length, job->delay, first,
                                            cfg->match_length ? static_cast<int64_t>(in.length) : -1);
  // A short output that must be measured before it is written is made
  // once and held: normalization and the loudness work on it in place, as
  // on any whole buffer (the limiter's search forecasts from it), and the
  // write reads it back. A long one is made again for every pass.
  Sample held;
  sample_init(held);
  struct FreeAtExit {
    Sample& s;
    ~FreeAtExit() { sample_destroy(s); }
  } free_held{held};
  WholeSource held_source(held);
  // The limiter's detector follows the held output while it is made, on a
  // thread of its own (declared after what it reads, so that it ends
  // first); normalization would change the output after it.
  SampleProgress made;
  progress_init(&made);
  LimiterDetection early;
  // Set up where the output's path is known; a session it leaves open ends
  // before the buffers above go.
  OutputWriter writer;
  const bool measured_first = cfg->normalize != NORMALIZE_NONE || job->deliver;
  if (measured_first && frames * in.channels <= job->whole_limit / sizeof(float)) {
    const bool follow = job->deliver && job->limiter && cfg->normalize == NORMALIZE_NONE &&
                        limiter_detection_start(cfg, job->rate, in.channels, frames, &made, &early, false);
    parts.collect.configure(&held, follow ? &made : nullptr);
    st = run_pass(job, parts, kCollect, false, false, nullptr);
    progress_finish(&made, st == 0);
    if (st != 0) return convolve_failed(st);
    held.sample_rate = job->rate;
    st = normalize_to_peak(held, static_cast<int>(cfg->normalize), job->norm_peak, parts.peak.peak());
    if (st != 0) {
      err_printf("  error normalizing output audio file, error code: %d\n", st);
      return st;
    }
    parts.whole_output = &held_source;
    if (job->deliver && job->limiter) {
      // The limiter's metered passes write the file: the last is kept.
      if ((st = prepare_path(job)) != 0) return st;
      writer.setup(job, &parts, delivery_ceiling_db(cfg), in.channels, frames);
      parts.limit_whole = true;
      LimitedWrite write(job, &parts, &writer, frames);
      st = deliver_loudness(cfg, &held, nullptr, &job->loudness, job->reference_lufs, job->target,
                            &job->timbre_lufs, &early, &write);
      if (st != 0) return st;
    } else if (job->deliver) {
      st = deliver_loudness(cfg, &held, nullptr, &job->loudness, job->reference_lufs, job->target,
                            &job->timbre_lufs, &early);
      if (st != 0) return st;
    }
  } else if (cfg->normalize != NORMALIZE_NONE) {
    // Normalization: the peak of what would be written, first.
    if ((st = run_pass(job, parts, kMeasurePeak, false, false, nullptr)) != 0) return convolve_failed(st);
    if (normalize_factor(static_cast<int>(cfg->normalize), job->norm_peak, parts.peak.peak(), &norm[0])) {
      norm_count = 1;
      (void)parts.scale.add(norm[0]);
    }
  }
  const double ceiling = job->deliver ? delivery_ceiling_db(cfg) : kNaN;
  if (parts.whole_output) {
    // Delivered in place above.
  } else if (job->deliver && job->limiter) {
    // The limiter after the loudness gain: the target is reached on the
    // limited output (see limiter_search).
    const double target = delivery_target(cfg, job->timbre_lufs, job->reference_lufs);
    if ((st = run_pass(job, parts, kMeasureLoudness, true, false, nullptr)) != 0) return measure_failed(st);
    LoudnessMeasure out{kNaN, kNaN, kNaN};
    if ((st = parts.loudness.result(&out)) != 0) return measure_failed(st);
    const float peak = parts.peak.peak();
    out.sample_peak_db = std::isfinite(peak) ? 20.0 * std::log10(double(peak)) : std::numeric_limits<double>::infinity();
    out.true_peak_db = out.sample_peak_db;
    LoudnessReport& r = job->loudness;
    r.before_lufs = out.integrated_lufs;
    if (!std::isnan(target) && std::isnan(out.integrated_lufs)) warn_unmeasurable(out);
    ChainLimiterPasses passes(job, &parts, norm, norm_count, frames);
    double gain = 0.0;
    if ((st = limiter_search(cfg, out, target, &r, job->target, passes, &gain)) != 0) return st;
    ChainLimiterPasses::set_gain(parts, norm, norm_count, gain);
    ChainLimiterPasses::configure_limiter(*job, parts, &r, frames);
  } else if (job->deliver) {
    if ((st = run_pass(job, parts, kMeasureLoudness, true, true, nullptr)) != 0) return measure_failed(st);
    LoudnessMeasure out{kNaN, kNaN, kNaN};
    if ((st = parts.loudness.result(&out)) != 0) return measure_failed(st);
    job->loudness.before_lufs = out.integrated_lufs;
    const double target = delivery_target(cfg, job->timbre_lufs, job->reference_lufs);
    ChainOutput output(job, &parts);
    st = deliver_gain(cfg, out, target, &job->loudness, job->target, output);
    if (st != 0) return st;
  }
  if (!writer.ready()) {
    if ((st = prepare_path(job)) != 0) return st;
    writer.setup(job, &parts, ceiling, in.channels, frames);
  }
  if (!writer.pending() && (st = writer.write(false)) != 0) return st;
  if ((st = writer.commit()) != 0) return st;
  const StageFormat shape = writer.shape;
  const LoudnessMeasure written = writer.written;
  const double trim = writer.trim;
  const bool quantized = writer.quantized(), hold = writer.holds();
  job->frames = shape.length;
  job->channels = shape.channels;
  job->peak = job->stats.peak;
  if (job->deliver) {
    if (hold) {
      LoudnessReport& r = job->loudness;
      if (quantized || trim != 0.0 || std::isnan(r.after_lufs)) r.after_lufs = written.integrated_lufs;
      r.true_peak_db = written.true_peak_db;
      r.gain_db = (std::isnan(r.gain_db) ? 0.0 : r.gain_db) + trim;
    }
    print_loudness_line(job->loudness);
  }
  print_shape_line("saved file", &job->path, job->channels, job->frames, job->rate);
  return 0;
}
