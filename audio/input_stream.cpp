#include "audio/input_stream.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <sndfile.h>

#include "analysis/resample.h"
#include "audio/sample_file.h"
#include "audio/sndfile_stream.h"
#include "dsp/dsp.h"
#include "runtime/alloc.h"
#include "runtime/string.h"

namespace {

// File frames taken per step when resampling.
constexpr uint64_t kRawFrames = 16384;

SndfileReader* reader_of(const InputStream& s) { return static_cast<SndfileReader*>(s.reader); }

void put_cause(InputStream& s, const char* text) { std::snprintf(s.cause, sizeof s.cause, "%s", text); }

Status fail(InputStream& s, Status status, const char* text) {
  put_cause(s, text);
  return status;
}

void close_reader(InputStream& s) {
  if (SndfileReader* r = reader_of(s)) {
    (void)r->close();
    mem_delete(r);
  }
  s.reader = nullptr;
}

// Opens the file at s.path with libsndfile; the cause as sample_load_file
// words it.
Status open_reader(InputStream& s, AudioFormat& format) {
  close_reader(s);
  SndfileReader* r = mem_new<SndfileReader>();
  if (!r) return fail(s, STATUS_NO_MEMORY, std::strerror(ENOMEM));
  // The path's bytes as they are: a name need not be UTF-8.
  String path;
  string_init(&path);
  Status st = string_from_name_bytes(&path, s.path, std::strlen(s.path)) ? r->open(&path) : STATUS_NO_MEMORY;
  string_free(&path);
  if (st != STATUS_OK) {
    const int error = r->open_error;
    (void)r->close();
    mem_delete(r);
    return fail(s, st, error ? sf_error_number(error) : std::strerror(ENOMEM));
  }
  s.reader = r;
  (void)r->get_format(&format);
  if (format.channels == 0) {
    close_reader(s);
    return fail(s, STATUS_NO_MEMORY, "the file has no channels");
  }
  return STATUS_OK;
}

// The words of a failed read, as sample_load_file gives them.
Status read_failure(InputStream& s, Status status) {
  if (status == STATUS_NO_MEMORY) return fail(s, status, std::strerror(ENOMEM));
  if (status == STATUS_END_OF_STREAM) return fail(s, status, "the file ends before the frames its header announces");
  SndfileReader* r = reader_of(s);
  return fail(s, status, sf_strerror(r ? static_cast<SNDFILE*>(r->handle) : nullptr));
}

// Reads up to `frames` frames (at most AUDIO_CHUNK_FRAMES) into the
// transfer buffer as floats; the frames read or a negated status.
int64_t read_transfer(InputStream& s, uint64_t frames) {
  SndfileReader* r = reader_of(s);
  if (!s.wide) return r->read_f32(s.transfer, int64_t(frames));
  const int64_t got = r->read_f64(s.transfer_wide, int64_t(frames));
  if (got > 0) sample_narrow(s.transfer, s.transfer_wide, size_t(uint64_t(got) * s.channels));
  return got;
}

// Counts the frames of a file whose header does not tell them.
Status count_frames(InputStream& s) {
  uint64_t count = 0;
  for (;;) {
    const int64_t got = read_transfer(s, uint64_t(AUDIO_CHUNK_FRAMES));
    if (got == -int64_t(STATUS_END_OF_STREAM)) break;
    if (got < 0) return read_failure(s, Status(-got));
    count += uint64_t(got);
  }
  s.frames = count;
  return STATUS_OK;
}

// Planar storage of at least `frames` frames for every channel, kept when
// large enough.
bool ensure_rows(Sample& rows, uint64_t channels, uint64_t frames) {
  if (rows.data && rows.channels == channels && rows.stride >= frames) return true;
  Sample fresh;
  sample_init(fresh);
  if (!sample_allocate_unfilled(fresh, channels, frames, 0)) return false;
  fresh.sample_rate = rows.sample_rate;
  sample_swap(rows, fresh);
  sample_destroy(fresh);
  return true;
}

// Reads the next `n` file frames into `rows` from frame `at` on and checks
// them; a sample beyond the limit or not finite names its file frame.
Status read_file_frames(InputStream& s, Sample& rows, uint64_t at, uint64_t n, uint64_t* bad_frame,
                        uint64_t* bad_channel) {
  for (uint64_t done = 0; done < n;) {
    const uint64_t chunk = std::min<uint64_t>(n - done, uint64_t(AUDIO_CHUNK_FRAMES));
    const int64_t got = read_transfer(s, chunk);
    if (got <= 0) return read_failure(s, got == 0 ? STATUS_END_OF_STREAM : Status(-got));
    sample_deinterleave(rows.data, rows.stride, s.channels, at + done, s.transfer, uint64_t(got));
    done += uint64_t(got);
  }
  Sample part = rows;
  part.data = rows.data + at;
  part.length = n;
  uint64_t frame = 0, channel = 0;
  if (sample_find_unusable(part, &frame, &channel)) {
    if (bad_frame) *bad_frame = s.position + frame;
    if (bad_channel) *bad_channel = channel;
    const float v = rows.data[channel * rows.stride + at + frame];
    return fail(s, STATUS_MALFORMED,
                std::isfinite(v) ? "a sample's magnitude passes the limit" : "a sample is a NaN or infinite");
  }
  s.position += n;
  return STATUS_OK;
}

Status start_resampler(InputStream& s) {
  if (!s.resampling) return STATUS_OK;
  Status st = resample_stream_start(s.resampler, s.channels, s.file_rate, s.rate, s.frames, s.high);
  if (st != STATUS_OK) return fail(s, st, st == STATUS_NO_MEMORY ? std::strerror(ENOMEM) : "the resampler failed");
  return STATUS_OK;
}

// Resampled frames into block from frame `at` on until it holds `max` or
// the stream ends.
Status read_resampled(InputStream& s, Sample& block, uint64_t max, uint64_t* bad_frame, uint64_t* bad_channel) {
  const DspTable& t = dsp();
  while (block.length < max) {
    if (s.pending_at < s.pending.length) {
      const uint64_t n = std::min(max - block.length, s.pending.length - s.pending_at);
      for (uint64_t c = 0; c < s.channels; ++c)
        t.copy_floats(block.data + c * block.stride + block.length, s.pending.data + c * s.pending.stride + s.pending_at,
                      size_t(n));
      block.length += n;
      s.pending_at += n;
      continue;
    }
    if (s.ended) break;
    s.pending_at = 0;
    s.pending.length = 0;
    Status st;
    if (s.position < s.frames) {
      const uint64_t n = std::min(kRawFrames, s.frames - s.position);
      st = read_file_frames(s, s.raw, 0, n, bad_frame, bad_channel);
      if (st != STATUS_OK) return st;
      Sample part = s.raw;
      part.length = n;
      st = resample_stream_push(s.resampler, part, s.pending);
    } else {
      st = resample_stream_finish(s.resampler, s.pending);
      s.ended = true;
    }
    if (st != STATUS_OK) return fail(s, st, st == STATUS_NO_MEMORY ? std::strerror(ENOMEM) : "the resampler failed");
  }
  return STATUS_OK;
}

}  // namespace

void input_stream_init(InputStream& s) {
  s.file_rate = s.channels = s.frames = 0;
  s.reader = nullptr;
  s.path[0] = '\0';
  s.rate = 0;
  s.high = s.resampling = s.wide = s.started = s.ended = false;
  s.failed = STATUS_OK;
  s.position = 0;
  s.transfer = nullptr;
  s.transfer_wide = nullptr;
  sample_init(s.raw);
  sample_init(s.pending);
  s.pending_at = 0;
  resample_stream_init(s.resampler);
  s.cause[0] = '\0';
}

void input_stream_close(InputStream& s) {
  close_reader(s);
  mem_free_aligned(s.transfer);
  mem_free_aligned(s.transfer_wide);
  sample_destroy(s.raw);
  sample_destroy(s.pending);
  resample_stream_release(s.resampler);
  input_stream_init(s);
}

const char* input_stream_cause(const InputStream& s) { return s.cause; }

Status input_stream_open(InputStream& s, const char* utf8_path, char* cause, size_t cause_size) {
  input_stream_close(s);
  Status st = STATUS_OK;
  if (!utf8_path) {
    st = fail(s, STATUS_BAD_ARGUMENT, "no path");
  } else if ((st = sample_check_input(utf8_path, s.cause, sizeof s.cause)) == STATUS_OK) {
    AudioFormat format{};
    if (std::strlen(utf8_path) >= sizeof s.path) {
      st = fail(s, STATUS_LIMIT, std::strerror(ENAMETOOLONG));
    } else {
      std::memcpy(s.path, utf8_path, std::strlen(utf8_path) + 1);
      st = open_reader(s, format);
    }
    if (st == STATUS_OK) {
      s.file_rate = format.sample_rate;
      s.channels = format.channels;
      s.frames = format.frames;
      s.rate = s.file_rate;
      s.wide = sample_type_kind(SampleType(format.type)) == SAMPLE_KIND_F64;
      const uint64_t chunk = uint64_t(AUDIO_CHUNK_FRAMES);
      if (s.channels > SIZE_MAX / sizeof(double) / chunk / 4) {
        st = fail(s, STATUS_NO_MEMORY, std::strerror(ENOMEM));
      } else {
        s.transfer = static_cast<float*>(mem_alloc_aligned(size_t(chunk * s.channels) * sizeof(float), 16));
        if (s.wide)
          s.transfer_wide = static_cast<double*>(mem_alloc_aligned(size_t(chunk * s.channels) * sizeof(double), 16));
        if (!s.transfer || (s.wide && !s.transfer_wide)) st = fail(s, STATUS_NO_MEMORY, std::strerror(ENOMEM));
      }
    }
    if (st == STATUS_OK && s.frames == AUDIO_FRAMES_UNKNOWN) {
      st = count_frames(s);
      if (st == STATUS_OK) st = open_reader(s, format);
    }
  }
  if (st != STATUS_OK) {
    char words[sizeof s.cause];
    std::memcpy(words, s.cause, sizeof words);
    input_stream_close(s);
    std::memcpy(s.cause, words, sizeof words);
    if (cause && cause_size > 0) std::snprintf(cause, cause_size, "%s", words);
  }
  return st;
}

Status input_stream_set_rate(InputStream& s, uint64_t rate, bool high) {
  if (!s.reader || s.started) return fail(s, STATUS_INVALID, "the rate is set before the first read");
  if (rate == 0) rate = s.file_rate;
  resample_stream_release(s.resampler);
  s.rate = rate;
  s.high = high;
  s.resampling = rate != s.file_rate;
  s.ended = false;
  return start_resampler(s);
}

uint64_t input_stream_length(const InputStream& s) {
  return s.resampling ? resample_stream_length(s.resampler) : s.frames;
}

Status input_stream_read(InputStream& s, Sample& block, uint64_t max, uint64_t* bad_frame, uint64_t* bad_channel) {
  if (!s.reader) return fail(s, STATUS_NOT_OPEN, "the file is not open");
  if (s.failed != STATUS_OK) return s.failed;
  if (max == 0) return fail(s, STATUS_BAD_ARGUMENT, "a block of no frames");
  s.started = true;
  const uint64_t left = s.resampling ? input_stream_length(s) : s.frames - s.position;
  const uint64_t room = std::min(max, left);
  if (!ensure_rows(block, s.channels, room)) return fail(s, STATUS_NO_MEMORY, std::strerror(ENOMEM));
  block.sample_rate = s.rate;
  block.length = 0;
  Status st = STATUS_OK;
  if (!s.resampling) {
    st = read_file_frames(s, block, 0, room, bad_frame, bad_channel);
    if (st == STATUS_OK) block.length = room;
  } else {
    if (!ensure_rows(s.raw, s.channels, kRawFrames)) return fail(s, STATUS_NO_MEMORY, std::strerror(ENOMEM));
    st = read_resampled(s, block, room, bad_frame, bad_channel);
  }
  if (st != STATUS_OK) {
    block.length = 0;
    s.failed = st;
  }
  return st;
}

Status input_stream_rewind(InputStream& s) {
  if (!s.reader) return fail(s, STATUS_NOT_OPEN, "the file is not open");
  AudioFormat format{};
  Status st = open_reader(s, format);
  if (st != STATUS_OK) return st;
  if (format.channels != s.channels || format.sample_rate != s.file_rate ||
      (format.frames != AUDIO_FRAMES_UNKNOWN && format.frames != s.frames)) {
    close_reader(s);
    return fail(s, STATUS_MALFORMED, "the file changed while it was read");
  }
  s.position = 0;
  s.started = false;
  s.ended = false;
  s.failed = STATUS_OK;
  s.pending.length = 0;
  s.pending_at = 0;
  s.cause[0] = '\0';
  resample_stream_release(s.resampler);
  return start_resampler(s);
}
