#include "audio/sample_file.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include <cerrno>
#include <cfloat>
#include <cmath>

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio/sndfile_stream.h"
#include "dsp/dsp.h"
#include "runtime/alloc.h"
#include "runtime/signal_cleanup.h"

namespace {

// First frames of a stream of unknown length get planes of this many
// frames; they then double as needed.
constexpr uint64_t kInitialGrowFrames = 65536;

// Allocates planes of `channels` rows of `stride` floats, uninitialised:
// the reader fills every row up to its length and zeroes the rest once at
// the end, so each page is written once. Null when the size overflows or
// memory runs out.
float* alloc_planes(uint64_t channels, uint64_t stride) {
  if (stride == 0 || channels > SIZE_MAX / sizeof(float) / stride) return nullptr;
  return static_cast<float*>(mem_alloc(size_t(channels * stride) * sizeof(float)));
}

// Zeroes every row of the planes from `frames` to the end of its stride.
void zero_tails(float* planes, uint64_t stride, uint64_t channels, uint64_t frames) {
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < channels; ++c) t.fill_zero(planes + c * stride + frames, size_t(stride - frames));
}

// Moves `frames` frames of every row into planes of `new_stride` (at least
// `frames`); false (old planes kept) when memory runs out.
bool regrow_planes(float*& planes, uint64_t& stride, uint64_t channels, uint64_t frames, uint64_t new_stride) {
  float* fresh = alloc_planes(channels, new_stride);
  if (!fresh) return false;
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < channels; ++c) t.copy_floats(fresh + c * new_stride, planes + c * stride, frames);
  mem_free(planes);
  planes = fresh;
  stride = new_stride;
  return true;
}

// Packs grown planes down to the stride of their final length, in place;
// the block is then shrunk when the allocator allows it.
void pack_planes(float*& planes, uint64_t& stride, uint64_t channels, uint64_t frames) {
  uint64_t packed = sample_floored_stride(frames);
  if (packed >= stride) return;
  const DspTable& t = dsp();
  for (uint64_t c = 0; c < channels; ++c) {
    // Row c moves down; its new tail ends before row c + 1 starts in the
    // old layout, so rows still to move are not touched.
    t.move_floats(planes + c * packed, planes + c * stride, frames);
  }
  stride = packed;
  if (void* shrunk = mem_realloc(planes, size_t(channels * packed) * sizeof(float))) planes = static_cast<float*>(shrunk);
}

void interleave(float* block, const float* planes, uint64_t stride, uint64_t channels, uint64_t at, uint64_t frames) {
  if (channels == 1) {
    dsp().copy_floats(block, planes + at, frames);
    return;
  }
  if (channels == 2) {
    const float* left = planes + at;
    const float* right = planes + stride + at;
    for (uint64_t k = 0; k < frames; ++k) {
      block[2 * k] = left[k];
      block[2 * k + 1] = right[k];
    }
    return;
  }
  for (uint64_t c = 0; c < channels; ++c) {
    const float* row = planes + c * stride + at;
    float* dst = block + c;
    for (uint64_t k = 0; k < frames; ++k) dst[k * channels] = row[k];
  }
}

// A 16-byte aligned interleaved transfer block of `frames` frames.
float* alloc_block(uint64_t frames, uint64_t channels) {
  if (channels > SIZE_MAX / sizeof(float) / AUDIO_CHUNK_FRAMES) return nullptr;
  return static_cast<float*>(mem_alloc_aligned(size_t(frames * channels) * sizeof(float), 16));
}

// Frames a save writes: n = min(count, max(length - first, 0)).
uint64_t frames_to_save(const Sample& sample, int64_t first, int64_t count) {
  uint64_t available = uint64_t(first) < sample.length ? sample.length - uint64_t(first) : 0;
  return count < 0 ? available : std::min(uint64_t(count), available);
}

// Permission bits for a saved file: those of the file it replaces, else
// `fresh`, what a newly created file gets (0666 less the umask). The umask
// is learnt from a created file, never by setting it: that would change
// it for a moment for every thread of the process.
mode_t saved_file_mode(const char* path, mode_t fresh) {
  struct stat st;
  if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  return fresh;
}

}  // namespace

void sample_deinterleave(float* planes, uint64_t stride, uint64_t channels, uint64_t at, const float* block,
                         uint64_t frames) {
  if (channels == 1) {
    dsp().copy_floats(planes + at, block, frames);
    return;
  }
  if (channels == 2) {  // the common case, in a loop the compiler vectorises
    float* left = planes + at;
    float* right = planes + stride + at;
    for (uint64_t k = 0; k < frames; ++k) {
      left[k] = block[2 * k];
      right[k] = block[2 * k + 1];
    }
    return;
  }
  for (uint64_t c = 0; c < channels; ++c) {
    float* row = planes + c * stride + at;
    const float* src = block + c;
    for (uint64_t k = 0; k < frames; ++k) row[k] = src[k * channels];
  }
}

void sample_narrow(float* out, const double* in, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const double v = in[i];
    out[i] = v > FLT_MAX && v <= DBL_MAX     ? FLT_MAX
             : v < -FLT_MAX && v >= -DBL_MAX ? -FLT_MAX
                                             : static_cast<float>(v);
  }
}

namespace {

void deinterleave(float* planes, uint64_t stride, uint64_t channels, uint64_t at, const float* block, uint64_t frames) {
  sample_deinterleave(planes, stride, channels, at, block, frames);
}

void narrow(float* out, const double* in, size_t count) { sample_narrow(out, in, count); }

}  // namespace

Status sample_read_frames(Sample& sample, AudioReader& reader, int64_t frame_limit) {
  AudioFormat format;
  if (reader.get_format(&format) != STATUS_OK || format.channels == 0) return STATUS_NO_MEMORY;
  const uint64_t channels = format.channels;
  const bool known = format.frames != AUDIO_FRAMES_UNKNOWN;
  // Frames wanted: the announced count or the limit, whichever is smaller;
  // for an unknown count only the limit bounds the read.
  uint64_t wanted = known ? format.frames : UINT64_MAX;
  if (frame_limit >= 0) wanted = std::min(wanted, uint64_t(frame_limit));

  uint64_t stride = sample_floored_stride(known ? wanted : std::min(wanted, kInitialGrowFrames));
  float* planes = alloc_planes(channels, stride);
  if (!planes) return STATUS_NO_MEMORY;
  float* block = alloc_block(std::min<uint64_t>(wanted, AUDIO_CHUNK_FRAMES), channels);
  if (!block) {
    mem_free(planes);
    return STATUS_NO_MEMORY;
  }
  // A 64-bit float file is read as such and narrowed here: a finite value
  // beyond the range of a float stays finite (the largest float of its
  // sign), so that it is refused as out of range and not as infinite.
  double* wide = nullptr;
  if (sample_type_kind(SampleType(format.type)) == SAMPLE_KIND_F64) {
    wide = static_cast<double*>(
        mem_alloc_aligned(size_t(std::min<uint64_t>(wanted, AUDIO_CHUNK_FRAMES) * channels) * sizeof(double), 16));
    if (!wide) {
      mem_free_aligned(block);
      mem_free(planes);
      return STATUS_NO_MEMORY;
    }
  }

  Status status = STATUS_OK;
  uint64_t done = 0;
  while (done < wanted) {
    uint64_t chunk = std::min<uint64_t>(wanted - done, AUDIO_CHUNK_FRAMES);
    if (done + chunk > stride) {
      uint64_t grown = stride > (UINT64_MAX >> 2) ? 0 : sample_floored_stride(std::min(wanted, stride * 2));
      if (grown == 0 || !regrow_planes(planes, stride, channels, done, grown)) {
        status = STATUS_NO_MEMORY;
        break;
      }
    }
    int64_t got = wide ? reader.read_f64(wide, int64_t(chunk)) : reader.read_f32(block, int64_t(chunk));
    if (wide && got > 0) narrow(block, wide, size_t(uint64_t(got) * channels));
    if (got < 0) {
      // The end of a stream of unknown length is its natural end.
      if (!known && got == -int64_t(STATUS_END_OF_STREAM)) break;
      status = Status(-got);
      break;
    }
    deinterleave(planes, stride, channels, done, block, uint64_t(got));
    done += uint64_t(got);
  }
  mem_free_aligned(block);
  mem_free_aligned(wide);
  if (status != STATUS_OK) {
    mem_free(planes);
    return status;
  }
  if (!known) pack_planes(planes, stride, channels, done);
  zero_tails(planes, stride, channels, done);

  Sample loaded;
  sample_init(loaded);
  loaded.data = planes;
  loaded.sample_rate = format.sample_rate;
  loaded.length = done;
  loaded.stride = stride;
  loaded.channels = channels;
  sample_swap(sample, loaded);
  sample_destroy(loaded);
  return STATUS_OK;
}

int64_t sample_write_frames(const Sample& sample, AudioWriter& writer, int64_t first, int64_t count) {
  if (sample.sample_rate == 0) return -int64_t(STATUS_INVALID);
  if (first < 0) return -int64_t(STATUS_BAD_ARGUMENT);
  uint64_t n = frames_to_save(sample, first, count);
  if (n == 0) return 0;
  if (!sample.data) return -int64_t(STATUS_INVALID);
  float* block = alloc_block(std::min<uint64_t>(n, AUDIO_CHUNK_FRAMES), sample.channels);
  if (!block) return -int64_t(STATUS_NO_MEMORY);

  uint64_t start = uint64_t(first);
  int64_t written = 0;
  while (uint64_t(written) < n) {
    uint64_t chunk = std::min<uint64_t>(n - uint64_t(written), AUDIO_CHUNK_FRAMES);
    interleave(block, sample.data, sample.stride, sample.channels, start, chunk);
    int64_t put = writer.write_f32(block, int64_t(chunk));
    if (put < 0) {
      if (written == 0) written = put;
      break;
    }
    start += uint64_t(put);
    written += put;
  }
  mem_free_aligned(block);
  return written;
}

namespace {

// Writes `text` as the cause of a failure when the caller asked for one.
void put_cause(char* cause, size_t size, const char* text) {
  if (cause && size > 0) std::snprintf(cause, size, "%s", text);
}

// Opens `path` with libsndfile and reads at most `seconds` of it (all when
// negative) into `sample`; `cause` (when not null) receives why it failed.
Status read_whole_file(Sample& sample, String& path, float seconds, char* cause, size_t cause_size) {
  SndfileReader reader;
  Status status = reader.open(path);
  if (status != STATUS_OK) {
    put_cause(cause, cause_size, reader.open_error ? sf_error_number(reader.open_error) : std::strerror(ENOMEM));
    (void)reader.close();
    return status;
  }
  AudioFormat format;
  (void)reader.get_format(&format);
  int64_t limit = -1;
  if (seconds >= 0) {
    double frames = double(format.sample_rate) * double(seconds);
    limit = frames < 9.2e18 ? int64_t(frames) : -1;
  }
  status = sample_read_frames(sample, reader, limit);
  if (status != STATUS_OK) {
    if (format.channels == 0)
      put_cause(cause, cause_size, "the file has no channels");
    else if (status == STATUS_NO_MEMORY)
      put_cause(cause, cause_size, std::strerror(ENOMEM));
    else if (status == STATUS_END_OF_STREAM)
      put_cause(cause, cause_size, "the file ends before the frames its header announces");
    else
      put_cause(cause, cause_size, sf_strerror(static_cast<SNDFILE*>(reader.handle)));
  }
  Status closed = reader.close();
  if (status == STATUS_OK && closed != STATUS_OK) put_cause(cause, cause_size, "closing the file failed");
  return status != STATUS_OK ? status : closed;
}

}  // namespace

Status sample_load_file(Sample& sample, String& path, float seconds) {
  return read_whole_file(sample, path, seconds, nullptr, 0);
}

namespace {

// Longest path the save builds for itself (the system's PATH_MAX).
constexpr size_t kPathBytes = 4096;

// A failure of the file system as a status: what the save and the load
// report for the system's own answer.
Status status_from_errno(int error) {
  switch (error) {
    case ENOENT: return STATUS_NOT_FOUND;
    case EACCES:
    case EPERM: return STATUS_ACCESS_DENIED;
    case ENAMETOOLONG:
    case ENOSPC:
    case EDQUOT: return STATUS_LIMIT;
    case EROFS: return STATUS_READ_ONLY;
    case ENOTDIR: return STATUS_PATH_COMPONENT;
    case EISDIR: return STATUS_IS_DIRECTORY;
    case ENOMEM: return STATUS_NO_MEMORY;
    default: return STATUS_IO_ERROR;
  }
}

// The file a save replaces: `path` itself, or, when it is a symbolic link,
// the file at the end of its chain of links (which need not exist yet).
// False with errno set when the chain is too long or loops, or a name
// does not fit kPathBytes.
bool resolve_links(const char* path, char* out) {
  if (std::strlen(path) >= kPathBytes) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::strcpy(out, path);
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(out, &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    char link[kPathBytes];
    ssize_t n = readlink(out, link, sizeof link - 1);
    if (n < 0) return false;
    link[n] = 0;
    if (link[0] == '/') {
      std::memcpy(out, link, size_t(n) + 1);
      continue;
    }
    // A relative link is taken from the directory the link lives in.
    char* slash = std::strrchr(out, '/');
    size_t dir = slash ? size_t(slash - out) + 1 : 0;
    if (dir + size_t(n) >= kPathBytes) {
      errno = ENAMETOOLONG;
      return false;
    }
    std::memcpy(out + dir, link, size_t(n) + 1);
  }
  errno = ELOOP;
  return false;
}

// Creates an empty temporary file in the directory of `target` under a
// short name of its own, registered for removal on SIGINT, SIGTERM and
// SIGHUP, and tells the mode a new file gets there (0666 less the umask).
// False with errno set on failure (nothing then exists).
bool create_temp(const char* target, char* temp, mode_t* fresh_mode) {
  // Parallel jobs may save into one directory at the same moment.
  static std::atomic<uint64_t> counter{0};
  const char* slash = std::strrchr(target, '/');
  const int dir = slash ? int(slash - target) + 1 : 0;
  (void)signal_cleanup_install();
  for (int attempt = 0; attempt < 100; ++attempt) {
    int n = std::snprintf(temp, kPathBytes, "%.*s.tb%ld-%llu.tmp", dir, target, long(getpid()),
                          static_cast<unsigned long long>(counter++));
    if (n < 0 || size_t(n) >= kPathBytes || !signal_cleanup_register(temp)) {
      errno = ENAMETOOLONG;
      return false;
    }
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      signal_cleanup_created();
      struct stat st;
      *fresh_mode = fstat(fd, &st) == 0 ? (st.st_mode & 0777) : 0644;
      ::close(fd);
      return true;
    }
    int error = errno;
    signal_cleanup_clear();
    if (error != EEXIST) {
      errno = error;
      return false;
    }
  }
  errno = EEXIST;
  return false;
}

// Writes n frames from `first` through `writer` in the width of `bits`
// (quantized by `quantizer` for integers), gathering `stats` when asked.
// The frames written, or a negated status when nothing could be written.
int64_t write_formatted(const Sample& sample, AudioWriter& writer, uint64_t first, uint64_t n, int bits,
                        SaveQuantizer* quantizer, SaveStats* stats) {
  if (n == 0) return 0;
  if (!sample.data) return -int64_t(STATUS_INVALID);
  const uint64_t chunk_frames = std::min<uint64_t>(n, AUDIO_CHUNK_FRAMES);
  float* block = alloc_block(chunk_frames, sample.channels);
  if (!block) return -int64_t(STATUS_NO_MEMORY);
  int32_t* words = nullptr;
  if (bits != SAVE_BITS_FLOAT) {
    words = static_cast<int32_t*>(mem_alloc_aligned(size_t(chunk_frames * sample.channels) * sizeof(int32_t), 16));
    if (!words) {
      mem_free_aligned(block);
      return -int64_t(STATUS_NO_MEMORY);
    }
  }
  int64_t written = 0;
  uint64_t start = first, clips = 0;
  while (uint64_t(written) < n) {
    const uint64_t chunk = std::min<uint64_t>(n - uint64_t(written), AUDIO_CHUNK_FRAMES);
    const size_t values = size_t(chunk * sample.channels);
    interleave(block, sample.data, sample.stride, sample.channels, start, chunk);
    if (stats) {
      for (size_t i = 0; i < values; ++i) {
        const float m = std::fabs(block[i]);
        if (m > stats->peak) stats->peak = m;
        if (m > 1.0f) ++stats->overs;
      }
    }
    int64_t put;
    if (words) {
      save_quantize(*quantizer, block, words, values, &clips);
      put = writer.write_s32(words, int64_t(chunk));
    } else {
      put = writer.write_f32(block, int64_t(chunk));
    }
    if (put < 0) {
      if (written == 0) written = put;
      break;
    }
    start += uint64_t(put);
    written += put;
  }
  mem_free_aligned(words);
  mem_free_aligned(block);
  return written;
}

// The checks a save makes before anything exists: a rate, a first frame
// and a format that fit. 0 or the status (negated by the callers).
Status save_precheck(uint64_t rate, uint64_t channels, uint64_t frames, String& path, const SaveFormat& format,
                     char* cause, size_t cause_size) {
  if (rate == 0) {
    put_cause(cause, cause_size, "the audio has no sample rate");
    return STATUS_INVALID;
  }
  return save_format_check(format, path, channels, rate, frames, cause, cause_size);
}

// A failure of the file system, as a save reports it: by its own status
// from errno, or as 4 (STATUS_SYSTEM) like the original save.
Status save_system_failure(int error, bool system_status, char* cause, size_t cause_size) {
  put_cause(cause, cause_size, std::strerror(error));
  const bool full = error == ENOSPC || error == EDQUOT;
  return system_status || full ? status_from_errno(error) : STATUS_SYSTEM;
}

// The body of both saves.
int64_t save_file(const Sample& sample, String& path, int64_t first, int64_t count, const SaveFormat& format,
                  SaveStats* stats, char* cause, size_t cause_size, bool system_status) {
  if (stats) *stats = SaveStats{0.0f, 0, false, format.container};
  if (sample.sample_rate == 0) {
    put_cause(cause, cause_size, "the audio has no sample rate");
    return -int64_t(STATUS_INVALID);
  }
  if (first < 0) {
    put_cause(cause, cause_size, "negative first frame");
    return -int64_t(STATUS_BAD_ARGUMENT);
  }
  const uint64_t n = frames_to_save(sample, first, count);
  Status checked = save_precheck(sample.sample_rate, sample.channels, n, path, format, cause, cause_size);
  if (checked != STATUS_OK) return -int64_t(checked);
  // No file ever holds a NaN or an infinity: audio that has one is not
  // written at all.
  if (sample.data && n > 0) {
    Sample part = sample;
    part.data = sample.data + first;
    part.length = n;
    uint64_t bad_frame = 0, bad_channel = 0;
    if (sample_find_nonfinite(part, &bad_frame, &bad_channel)) {
      if (cause && cause_size > 0) {
        std::snprintf(cause, cause_size, "the audio holds a NaN or infinite sample at frame %llu of channel %llu",
                      static_cast<unsigned long long>(uint64_t(first) + bad_frame),
                      static_cast<unsigned long long>(bad_channel));
      }
      return -int64_t(STATUS_MALFORMED);
    }
  }
  SaveSession session;
  save_session_init(session);
  Status st = save_session_begin(session, path, sample.sample_rate, sample.channels, n, format, stats, cause,
                                 cause_size, system_status);
  if (st != STATUS_OK) return -int64_t(st);
  int64_t result;
  if (session.resolved.bits == SAVE_BITS_FLOAT && !stats) {
    result = sample_write_frames(sample, session.writer, first, int64_t(n));
  } else {
    result = write_formatted(sample, session.writer, uint64_t(first), n, session.resolved.bits, &session.quantizer,
                             stats);
  }
  session.failed_write = result < 0 ? Status(-result) : STATUS_OK;
  session.frames = result >= 0 ? uint64_t(result) : 0;
  st = save_session_end(session, cause, cause_size);
  return st == STATUS_OK ? result : -int64_t(st);
}

}  // namespace

void save_session_init(SaveSession& s) {
  s.resolved = save_format_default();
  s.quantizer = SaveQuantizer{SAVE_BITS_FLOAT, false, 0};
  s.target[0] = s.temp[0] = 0;
  s.channels = s.expected = s.frames = 0;
  s.stats = nullptr;
  s.block = nullptr;
  s.words = nullptr;
  s.clips = 0;
  s.failed_write = STATUS_OK;
  s.cause_given = false;
  s.fresh_mode = 0644;
  s.system_status = true;
  s.open = false;
}

Status save_session_begin(SaveSession& s, String& path, uint64_t rate, uint64_t channels, uint64_t frames,
                          const SaveFormat& format, SaveStats* stats, char* cause, size_t cause_size,
                          bool system_status) {
  s.stats = stats;
  s.system_status = system_status;
  if (stats) *stats = SaveStats{0.0f, 0, false, format.container};
  Status checked = save_precheck(rate, channels, frames, path, format, cause, cause_size);
  if (checked != STATUS_OK) return checked;
  s.resolved = format;
  s.resolved.container = save_container_resolve(format, path);
  const char* given = string_to_utf8(&path);
  if (!given) {
    put_cause(cause, cause_size, std::strerror(ENOMEM));
    return STATUS_NO_MEMORY;
  }
  if (!resolve_links(given, s.target)) return save_system_failure(errno, system_status, cause, cause_size);
  // `given` lives in the path's conversion cache, which the dither seed
  // needs after the writer has converted its own copy of the names.
  save_quantizer_init(s.quantizer, s.resolved.bits, save_dither_active(s.resolved),
                      format.dither_seed ? format.dither_seed : given);
  // The temporary lives in the target's directory so that the final rename
  // stays within one file system and replaces the target atomically.
  s.fresh_mode = 0644;
  if (!create_temp(s.target, s.temp, &s.fresh_mode)) return save_system_failure(errno, system_status, cause, cause_size);
  s.open = true;
  s.channels = channels;
  s.expected = frames;
  int container = s.resolved.container;
  // libsndfile opens the temporary again by its name, which creates it
  // anew should a signal's handler have removed it meanwhile: the open is
  // announced like the first creation.
  signal_cleanup_reopening();
  Status status = save_open_writer(s.writer, s.temp, s.resolved, rate, channels, frames, &container);
  signal_cleanup_created();
  if (stats) stats->container = container;
  if (status != STATUS_OK) {
    put_cause(cause, cause_size,
              s.writer.open_error             ? sf_error_number(s.writer.open_error)
              : status == STATUS_NO_MEMORY    ? std::strerror(ENOMEM)
                                              : "the output format cannot be written");
    (void)s.writer.close();
    unlink(s.temp);
    signal_cleanup_clear();
    s.open = false;
    // A full disk is told as such, whatever part of libsndfile met it.
    if (s.writer.system_error == ENOSPC || s.writer.system_error == EDQUOT) {
      put_cause(cause, cause_size, std::strerror(s.writer.system_error));
      return STATUS_LIMIT;
    }
    return status;
  }
  return STATUS_OK;
}

Status save_session_write(SaveSession& s, const Sample& block, Sample* as_saved, char* cause, size_t cause_size) {
  if (!s.open || s.failed_write != STATUS_OK) return s.failed_write != STATUS_OK ? s.failed_write : STATUS_INVALID;
  if (block.length == 0) return STATUS_OK;
  uint64_t bad_frame = 0, bad_channel = 0;
  if (sample_find_nonfinite(block, &bad_frame, &bad_channel)) {
    if (cause && cause_size > 0) {
      std::snprintf(cause, cause_size, "the audio holds a NaN or infinite sample at frame %llu of channel %llu",
                    static_cast<unsigned long long>(s.frames + bad_frame), static_cast<unsigned long long>(bad_channel));
    }
    s.failed_write = STATUS_MALFORMED;
    s.cause_given = true;
    return s.failed_write;
  }
  const bool quantized = s.resolved.bits != SAVE_BITS_FLOAT;
  if (!s.block) {
    s.block = alloc_block(AUDIO_CHUNK_FRAMES, s.channels);
    if (quantized)
      s.words = static_cast<int32_t*>(mem_alloc_aligned(size_t(AUDIO_CHUNK_FRAMES * s.channels) * sizeof(int32_t), 16));
    if (!s.block || (quantized && !s.words)) {
      s.failed_write = STATUS_NO_MEMORY;
      return s.failed_write;
    }
  }
  const double unit = std::ldexp(1.0, -31);  // the top bits of a word, as a fraction of full scale
  for (uint64_t at = 0; at < block.length;) {
    const uint64_t n = std::min<uint64_t>(block.length - at, AUDIO_CHUNK_FRAMES);
    const size_t values = size_t(n * s.channels);
    interleave(s.block, block.data, block.stride, s.channels, at, n);
    if (s.stats) {
      for (size_t i = 0; i < values; ++i) {
        const float m = std::fabs(s.block[i]);
        if (m > s.stats->peak) s.stats->peak = m;
        if (m > 1.0f) ++s.stats->overs;
      }
    }
    if (quantized) save_quantize(s.quantizer, s.block, s.words, values, &s.clips);
    // A short write is followed by another, as the whole save does: a full
    // disk first takes part of a write, and only the next one says why.
    int64_t put = 0;
    uint64_t done = 0;
    while (done < n) {
      const size_t skip = size_t(done * s.channels);
      put = quantized ? s.writer.write_s32(s.words + skip, int64_t(n - done))
                      : s.writer.write_f32(s.block + skip, int64_t(n - done));
      if (put <= 0) break;
      done += uint64_t(put);
    }
    s.frames += done;
    if (done < n) {
      s.failed_write = put < 0 ? Status(-put) : (s.writer.status != STATUS_OK ? s.writer.status : STATUS_IO_ERROR);
      return s.failed_write;
    }
    if (quantized && as_saved) {
      for (size_t i = 0; i < values; ++i) s.block[i] = float(double(s.words[i]) * unit);
      deinterleave(as_saved->data, as_saved->stride, s.channels, at, s.block, n);
    }
    at += n;
  }
  return STATUS_OK;
}

Status save_session_end(SaveSession& s, char* cause, size_t cause_size) {
  if (!s.open) return STATUS_INVALID;
  s.open = false;
  Status result = s.failed_write;
  // A write that stopped short failed, whatever it managed before.
  if (result == STATUS_OK && s.frames < s.expected)
    result = s.writer.status != STATUS_OK ? s.writer.status : STATUS_IO_ERROR;
  if (result != STATUS_OK && !s.cause_given && s.writer.handle)
    put_cause(cause, cause_size, sf_strerror(static_cast<SNDFILE*>(s.writer.handle)));
  Status closed = s.writer.close();
  if (result == STATUS_OK && closed != STATUS_OK) {
    put_cause(cause, cause_size, "closing the file failed");
    result = STATUS_IO_ERROR;
  }
  // A full disk is told as such, whatever part of libsndfile met it.
  if (result != STATUS_OK && (s.writer.system_error == ENOSPC || s.writer.system_error == EDQUOT)) {
    put_cause(cause, cause_size, std::strerror(s.writer.system_error));
    result = STATUS_LIMIT;
  }
  if (result == STATUS_OK) {
    // Set last: libsndfile reopened the temporary by name, which a
    // read-only mode would have refused.
    (void)chmod(s.temp, saved_file_mode(s.target, s.fresh_mode));
    if (rename(s.temp, s.target) != 0) result = save_system_failure(errno, s.system_status, cause, cause_size);
  }
  if (result != STATUS_OK) unlink(s.temp);
  signal_cleanup_clear();
  if (s.stats) s.stats->clipped = s.resolved.bits != SAVE_BITS_FLOAT && s.stats->overs > 0;
  mem_free_aligned(s.block);
  mem_free_aligned(s.words);
  s.block = nullptr;
  s.words = nullptr;
  return result;
}

void save_session_abort(SaveSession& s) {
  if (!s.open) return;
  s.open = false;
  (void)s.writer.close();
  unlink(s.temp);
  signal_cleanup_clear();
  mem_free_aligned(s.block);
  mem_free_aligned(s.words);
  s.block = nullptr;
  s.words = nullptr;
}

int64_t sample_save_file(const Sample& sample, String& path, int64_t first, int64_t count) {
  return save_file(sample, path, first, count, save_format_default(), nullptr, nullptr, 0, false);
}

int64_t sample_save_file(const Sample& sample, String& path, int64_t first, int64_t count, const SaveFormat& format,
                         SaveStats* stats, char* cause, size_t cause_size) {
  return save_file(sample, path, first, count, format, stats, cause, cause_size, true);
}

Status sample_load_file(Sample& sample, String& path, float seconds, char* cause, size_t cause_size) {
  const char* utf8 = string_to_utf8(&path);
  if (!utf8) {
    put_cause(cause, cause_size, std::strerror(ENOMEM));
    return STATUS_NO_MEMORY;
  }
  Status checked = sample_check_input(utf8, cause, cause_size);
  if (checked != STATUS_OK) return checked;
  return read_whole_file(sample, path, seconds, cause, cause_size);
}

Status sample_check_input(const char* utf8, char* cause, size_t cause_size) {
  // Ask the system first: libsndfile reports every failure of the file
  // system as one error, and keeps its text in process-wide state.
  // Without blocking: a FIFO would otherwise wait for a writer forever.
  int fd = open(utf8, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    put_cause(cause, cause_size, std::strerror(error));
    return status_from_errno(error);
  }
  struct stat st;
  bool known = fstat(fd, &st) == 0;
  ::close(fd);
  if (known && S_ISDIR(st.st_mode)) {
    put_cause(cause, cause_size, std::strerror(EISDIR));
    return STATUS_IS_DIRECTORY;
  }
  if (known && !S_ISREG(st.st_mode)) {
    // Pipes, sockets and devices have no length to read a whole file by.
    put_cause(cause, cause_size, "not a regular file");
    return STATUS_UNSUPPORTED;
  }
  return STATUS_OK;
}

Status sample_read_header(String& path, AudioFormat* format, char* cause, size_t cause_size) {
  const char* utf8 = string_to_utf8(&path);
  if (!utf8) {
    put_cause(cause, cause_size, std::strerror(ENOMEM));
    return STATUS_NO_MEMORY;
  }
  Status status = sample_check_input(utf8, cause, cause_size);
  if (status != STATUS_OK) return status;
  SndfileReader reader;
  status = reader.open(path);
  AudioFormat found{};
  if (status == STATUS_OK) status = reader.get_format(&found);
  if (status != STATUS_OK)
    put_cause(cause, cause_size, reader.open_error ? sf_error_number(reader.open_error) : std::strerror(ENOMEM));
  (void)reader.close();
  if (status == STATUS_OK) *format = found;
  return status;
}

namespace {

// Whether the magnitude of any of x[0 .. n-1] has a bit pattern above
// `limit_bits` (NaN and infinities lie above every finite value). Integer
// operations only, so that the compiler vectorises the loop.
bool any_above(const float* x, uint64_t n, uint32_t limit_bits) {
  uint32_t hits = 0;
  for (uint64_t i = 0; i < n; ++i) {
    uint32_t bits;
    std::memcpy(&bits, x + i, sizeof bits);
    hits |= (bits & 0x7fffffffu) > limit_bits ? 1u : 0u;
  }
  return hits != 0;
}

uint32_t magnitude_bits(float x) {
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits & 0x7fffffffu;
}

// The first sample in frame order (channel order within a frame) whose
// magnitude's bit pattern passes `limit_bits`.
bool find_above(const Sample& sample, uint32_t limit_bits, uint64_t* frame, uint64_t* channel) {
  // Blocks are checked with the vector test and only a block that holds a
  // bad sample is searched one by one.
  constexpr uint64_t kBlock = 4096;
  uint64_t best_frame = sample.length, best_channel = 0;
  for (uint64_t c = 0; c < sample.channels && sample.data; ++c) {
    const float* row = sample.data + c * sample.stride;
    // Only frames before the best so far can improve on it.
    for (uint64_t at = 0; at < best_frame; at += kBlock) {
      const uint64_t n = best_frame - at < kBlock ? best_frame - at : kBlock;
      if (!any_above(row + at, n, limit_bits)) continue;
      for (uint64_t t = at; t < at + n; ++t) {
        if (magnitude_bits(row[t]) > limit_bits) {
          best_frame = t;
          best_channel = c;
          break;
        }
      }
      break;
    }
  }
  if (best_frame == sample.length) return false;
  if (frame) *frame = best_frame;
  if (channel) *channel = best_channel;
  return true;
}

}  // namespace

Status sample_as_saved(const Sample& sample, const SaveFormat& format, const char* seed_text, Sample* out) {
  if (!out || sample.channels == 0 || (sample.length > 0 && !sample.data)) return STATUS_INVALID;
  Sample copy;
  sample_init(copy);
  Status st = sample_copy(copy, sample);
  if (st != STATUS_OK) return st;
  if (format.bits != SAVE_BITS_FLOAT && sample.length > 0) {
    const uint64_t channels = sample.channels;
    const uint64_t chunk_frames = std::min<uint64_t>(sample.length, AUDIO_CHUNK_FRAMES);
    float* block = alloc_block(chunk_frames, channels);
    int32_t* words =
        static_cast<int32_t*>(mem_alloc_aligned(size_t(chunk_frames * channels) * sizeof(int32_t), 16));
    if (!block || !words) {
      mem_free_aligned(block);
      mem_free_aligned(words);
      sample_destroy(copy);
      return STATUS_NO_MEMORY;
    }
    SaveQuantizer q;
    save_quantizer_init(q, format.bits, save_dither_active(format), format.dither_seed ? format.dither_seed : seed_text);
    const double unit = std::ldexp(1.0, -31);  // the top bits of a word, as a fraction of full scale
    for (uint64_t at = 0; at < sample.length; at += chunk_frames) {
      const uint64_t n = std::min(chunk_frames, sample.length - at);
      interleave(block, sample.data, sample.stride, channels, at, n);
      save_quantize(q, block, words, size_t(n * channels), nullptr);
      for (uint64_t i = 0; i < n * channels; ++i) block[i] = float(double(words[i]) * unit);
      deinterleave(copy.data, copy.stride, channels, at, block, n);
    }
    mem_free_aligned(block);
    mem_free_aligned(words);
  }
  sample_swap(copy, *out);
  sample_destroy(copy);
  return STATUS_OK;
}

bool sample_find_nonfinite(const Sample& sample, uint64_t* frame, uint64_t* channel) {
  return find_above(sample, magnitude_bits(FLT_MAX), frame, channel);
}

bool sample_find_unusable(const Sample& sample, uint64_t* frame, uint64_t* channel) {
  // The largest float not above the limit: 1e15 itself rounds down.
  return find_above(sample, magnitude_bits(static_cast<float>(SAMPLE_MAGNITUDE_LIMIT)), frame, channel);
}

bool sample_output_target(const char* path, char* out, size_t size) {
  char target[kPathBytes];
  if (!resolve_links(path, target)) return false;
  const size_t length = std::strlen(target);
  if (length >= size) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(out, target, length + 1);
  return true;
}
