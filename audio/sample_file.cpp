#include "audio/sample_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio/sndfile_stream.h"
#include "dsp/dsp.h"
#include "runtime/alloc.h"

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

void deinterleave(float* planes, uint64_t stride, uint64_t channels, uint64_t at, const float* block, uint64_t frames) {
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
// what a newly created file would get.
mode_t saved_file_mode(const char* path) {
  struct stat st;
  if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

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
    int64_t got = reader.read_f32(block, int64_t(chunk));
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

Status sample_load_file(Sample& sample, String& path, float seconds) {
  SndfileReader reader;
  Status status = reader.open(path);
  if (status != STATUS_OK) {
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
  Status closed = reader.close();
  return status != STATUS_OK ? status : closed;
}

int64_t sample_save_file(const Sample& sample, String& path, int64_t first, int64_t count) {
  if (sample.sample_rate == 0) return -int64_t(STATUS_INVALID);
  if (first < 0) return -int64_t(STATUS_BAD_ARGUMENT);
  uint64_t n = frames_to_save(sample, first, count);

  const char* target = string_to_utf8(&path);
  if (!target) return -int64_t(STATUS_NO_MEMORY);
  static const char kSuffix[] = ".tmpXXXXXX";
  size_t target_length = std::strlen(target);
  char* temp = static_cast<char*>(mem_alloc(target_length + sizeof kSuffix));
  if (!temp) return -int64_t(STATUS_NO_MEMORY);
  std::memcpy(temp, target, target_length);
  std::memcpy(temp + target_length, kSuffix, sizeof kSuffix);
  // The temporary lives in the target's directory so that the final rename
  // stays within one file system and replaces the target atomically.
  int fd = mkstemp(temp);
  if (fd < 0) {
    mem_free(temp);
    return -int64_t(STATUS_SYSTEM);
  }
  (void)fchmod(fd, saved_file_mode(target));
  ::close(fd);

  AudioFormat request = {sample.sample_rate, sample.channels, n, SAMPLE_F32_ANY_ORDER};
  int64_t result;
  SndfileWriter writer;
  Status status = writer.open(temp, &request, AUDIO_FILE_WAV);
  if (status != STATUS_OK) {
    (void)writer.close();
    result = -int64_t(status);
  } else {
    result = sample_write_frames(sample, writer, first, int64_t(n));
    // A write that stopped short failed, whatever it managed before.
    if (result >= 0 && uint64_t(result) < n)
      result = -int64_t(writer.status != STATUS_OK ? writer.status : STATUS_IO_ERROR);
    Status closed = writer.close();
    if (result >= 0 && closed != STATUS_OK) result = -int64_t(STATUS_IO_ERROR);
  }
  // `target` still lives in the path's conversion cache: the writer
  // converted its own copy of the temporary name.
  if (result >= 0 && rename(temp, target) != 0) result = -int64_t(STATUS_SYSTEM);
  if (result < 0) unlink(temp);
  mem_free(temp);
  return result;
}
