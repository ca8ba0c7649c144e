#include "tool/input_source.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "analysis/loudness_tap.h"
#include "analysis/mix_stage.h"
#include "analysis/profile_stream.h"
#include "analysis/resample.h"
#include "runtime/output.h"
#include "tool/naming.h"
#include "tool/run_plan.h"
#include "tool/tool_config.h"

namespace {

const char* text_of(String* s) {
  const char* t = string_to_utf8(s);
  return t ? t : "";
}

// Every block of the input from its start to `sink`. A failure of the file
// is told with its lines (the frame of an unusable sample among them).
Status read_all(StreamedInput* in, StageSink& sink, bool rewind) {
  Status st = rewind ? input_stream_rewind(in->stream) : STATUS_OK;
  Sample block;
  sample_init(block);
  uint64_t bad_frame = 0, bad_channel = 0;
  while (st == STATUS_OK) {
    st = input_stream_read(in->stream, block, kChainBlockFrames, &bad_frame, &bad_channel);
    if (st != STATUS_OK || block.length == 0) break;
    st = sink.take(block);
    if (st != STATUS_OK) {
      sample_destroy(block);
      return st;
    }
  }
  sample_destroy(block);
  if (st == STATUS_MALFORMED && std::strncmp(input_stream_cause(in->stream), "a sample", 8) == 0) {
    print_unusable_sample(&in->path, bad_frame,
                          std::strncmp(input_stream_cause(in->stream), "a sample is a NaN", 17) != 0);
  } else if (st != STATUS_OK) {
    print_read_error(&in->path, st);
    if (input_stream_cause(in->stream)[0]) err_printf("  %s\n", input_stream_cause(in->stream));
  }
  return st;
}

// Feeds the profile (mid/side coded when the settings say so) and keeps
// the peak of what it is given.
class ProfileSink : public StageSink {
 public:
  ProfileSink(ProfileStream* p, bool mid_side) : p_(p), mid_side_(mid_side) {
    coder_.configure(false);
    push_.p = p;
  }
  Status take(const Sample& block) override {
    for (uint64_t c = 0; c < block.channels; ++c) {
      const float* row = block.data + c * block.stride;
      for (uint64_t i = 0; i < block.length; ++i) peak = std::fmax(peak, std::fabs(row[i]));
    }
    if (!mid_side_) return profile_stream_push(*p_, block);
    return coder_.process(block, push_);
  }
  float peak = 0.0f;

 private:
  struct Push : StageSink {
    ProfileStream* p = nullptr;
    Status take(const Sample& block) override { return profile_stream_push(*p, block); }
  };
  ProfileStream* p_;
  bool mid_side_;
  MidSideStage coder_;
  Push push_;
};

// The profile of everything the input gives (read once or, gated, twice).
int profile_of(StreamedInput* in, const ToolConfig* cfg, unsigned rank, Sample* profile, bool rewind,
               bool print_loaded) {
  ProfileStream p;
  profile_stream_init(p);
  const double gate = cfg->gate.on ? cfg->gate.value : std::numeric_limits<double>::quiet_NaN();
  int st = profile_stream_start(p, in->stream.channels, rank, gate);
  ProfileSink sink(&p, cfg->mid_side && in->stream.channels == 2);
  if (st == 0) st = read_all(in, sink, rewind);
  if (st == 0) {
    in->peak = sink.peak;
    if (print_loaded) {
      print_shape_line("loaded file", &in->path, in->stream.channels, in->stream.frames, in->stream.file_rate);
      // Its profile would rest on one zero-padded frame.
      const uint64_t frame = uint64_t{1} << rank;
      if (in->length < frame) {
        err_printf("  [WRN] file '%s' is shorter than one analysis frame: %llu samples, the frame has %llu\n",
                   text_of(&in->path), static_cast<unsigned long long>(in->length),
                   static_cast<unsigned long long>(frame));
      }
    }
    st = profile_stream_end_pass(p);
  }
  if (st == 0 && profile_stream_needs_second_pass(p)) {
    st = read_all(in, sink, true);
    if (st == 0) st = profile_stream_end_pass(p);
  }
  if (st == 0) st = profile_stream_finish(p, *profile);
  profile_stream_release(p);
  return st;
}

}  // namespace

uint64_t whole_limit_bytes() {
  static const uint64_t limit = [] {
    const char* v = std::getenv("TIMBRAL_WHOLE_LIMIT_MB");
    char* end = nullptr;
    const unsigned long long mb = v && *v ? std::strtoull(v, &end, 10) : 256;
    return (end && *end) ? uint64_t(256) << 20 : uint64_t(mb) << 20;
  }();
  return limit;
}

void streamed_input_init(StreamedInput* in) {
  input_stream_init(in->stream);
  string_init(&in->path);
  in->rate = in->length = 0;
  in->peak = 0.0f;
  in->open = false;
}

void streamed_input_close(StreamedInput* in) {
  input_stream_close(in->stream);
  string_free(&in->path);
  in->open = false;
}

Status FileSource::run(StageSink& sink) { return read_all(in_, sink, true); }

namespace {

// Whether a file of `frames` at `file_rate` is held whole at `rate` (0: its
// own), as it is when its length at that rate is unknown.
bool holds_whole(uint64_t frames, uint64_t channels, uint64_t file_rate, uint64_t rate) {
  const uint64_t at = rate ? rate : file_rate;
  const uint64_t length = at == file_rate ? frames : resample_length(frames, file_rate, at);
  return length == UINT64_MAX || channels * length <= whole_limit_bytes() / sizeof(float);
}

}  // namespace

int open_streamed_input(StreamedInput* in, bool* streamed, const String* name, uint64_t rate, const ToolConfig* cfg,
                        unsigned rank, Sample* profile, const char* what, const InputHeader* header) {
  *streamed = false;
  int st = input_path_of(&in->path, cfg, name);
  if (st != 0) return st;
  if (header && header->checked && header->status == 0 && header->frames != AUDIO_FRAMES_UNKNOWN &&
      holds_whole(header->frames, header->channels, header->rate, rate))
    return check_input_rate(&in->path, header->rate, rate);
  const char* utf8 = string_to_utf8(&in->path);
  if (!utf8) return STATUS_NO_MEMORY;
  char cause[256] = "";
  st = input_stream_open(in->stream, utf8, cause, sizeof cause);
  if (st != 0) {
    print_read_error(&in->path, st);
    if (cause[0]) err_printf("  %s\n", cause);
    return st;
  }
  const uint64_t file_rate = in->stream.file_rate;
  if ((st = check_input_rate(&in->path, file_rate, rate)) != 0) return st;
  const uint64_t at = rate ? rate : file_rate;
  if (holds_whole(in->stream.frames, in->stream.channels, file_rate, rate)) {
    input_stream_close(in->stream);
    return 0;
  }
  st = input_stream_set_rate(in->stream, at, cfg->resample_quality == RESAMPLE_HIGH);
  if (st != 0) {
    err_printf("  could not resample file '%s' to sample rate %d, error code: %d\n", text_of(&in->path),
               static_cast<int>(at), st);
    return st;
  }
  in->rate = at;
  in->length = input_stream_length(in->stream);
  in->open = true;
  *streamed = true;
  st = profile_of(in, cfg, rank, profile, false, true);
  if (st != 0 && st != STATUS_MALFORMED && st != STATUS_END_OF_STREAM)
    err_printf("  error computing spectral profile for the %s file '%s'\n", what, text_of(&in->path));
  return st;
}

int streamed_profile(StreamedInput* in, uint64_t rate, const ToolConfig* cfg, unsigned rank, Sample* profile) {
  if (rate == in->rate) return profile_of(in, cfg, rank, profile, true, false);
  // Another rate: a reading of its own.
  StreamedInput other;
  streamed_input_init(&other);
  int st = streamed_input_reopen(&other, in, rate, cfg);
  if (st == 0) st = profile_of(&other, cfg, rank, profile, false, false);
  streamed_input_close(&other);
  return st;
}

int streamed_input_reopen(StreamedInput* out, const StreamedInput* from, uint64_t rate, const ToolConfig* cfg) {
  streamed_input_close(out);
  streamed_input_init(out);
  int st = string_assign(&out->path, &from->path) ? 0 : STATUS_NO_MEMORY;
  const char* utf8 = st == 0 ? string_to_utf8(&out->path) : nullptr;
  if (st == 0 && !utf8) st = STATUS_NO_MEMORY;
  char cause[256] = "";
  if (st == 0) st = input_stream_open(out->stream, utf8, cause, sizeof cause);
  if (st == 0) st = input_stream_set_rate(out->stream, rate, cfg->resample_quality == RESAMPLE_HIGH);
  if (st != 0) {
    print_read_error(&out->path, st);
    if (cause[0]) err_printf("  %s\n", cause);
    return st;
  }
  out->rate = rate;
  out->length = input_stream_length(out->stream);
  out->peak = from->peak;
  out->open = true;
  return 0;
}

int streamed_run(StreamedInput* in, StageChain* chain) {
  FileSource source(in);
  int st = chain->start(source.format(), nullptr);
  if (st == 0) st = source.run(*chain);
  if (st == 0) st = chain->finish();
  return st;
}

int streamed_loudness(StreamedInput* in, double* lufs) {
  LoudnessTap tap;
  tap.configure(false);
  StageChain chain;
  (void)chain.add(&tap);
  int st = streamed_run(in, &chain);
  LoudnessMeasure m{};
  if (st == 0) st = tap.result(&m);
  if (st == 0) *lufs = m.integrated_lufs;
  return st;
}
