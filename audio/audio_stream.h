#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/sample_type.h"
#include "runtime/status.h"

// Frame streams. A frame holds one sample per channel, channel 0 first, and
// frames are interleaved. Counts and positions are signed 64-bit frame
// numbers; operations that return a count return a failure as the negated
// status code, and record every outcome in `status`.
//
// A stream is closed (position -1) or open (position >= 0). Every operation
// except open, close and get_format fails with 26 (STATUS_NOT_OPEN) on a
// closed stream. The stream owns its scratch buffer, which only grows, in
// multiples of 512 bytes, and is released by close and the destructor.
// Streams are not copyable.
//
// The virtual operations are declared in their fixed slot order.

// Frames moved per step by the converting reads and writes.
constexpr int64_t AUDIO_CHUNK_FRAMES = 4096;

// The state every stream keeps: the position of the next frame (-1 while
// closed), the status of the last operation, the scratch buffer used for
// conversions and the format of the open stream.
struct AudioStreamState {
  AudioStreamState();
  ~AudioStreamState();
  AudioStreamState(const AudioStreamState&) = delete;
  AudioStreamState& operator=(const AudioStreamState&) = delete;

  // Makes the scratch buffer hold at least `bytes` (rounded up to 512); the
  // contents are not kept. False when out of memory, the old buffer intact.
  [[nodiscard]] bool grow_scratch(size_t bytes);
  void release_scratch();
  // Records a failure and returns it negated.
  int64_t fail(Status s) {
    status = s;
    return -int64_t(s);
  }
  // Copies the stream's format; 0, or 13 (STATUS_BAD_ARGUMENT) for null.
  [[nodiscard]] Status get_format(AudioFormat* out) const;

  int64_t position;
  Status status;
  void* scratch;
  size_t scratch_size;  // bytes
  AudioFormat format;
};

class AudioReader : public AudioStreamState {
 public:
  AudioReader();

  // Reads up to `frames` frames in the delivery type `type` (one that
  // native_type returned). Frames read (> 0) or a negated status; the base
  // class has no source and returns -16.
  [[nodiscard]] virtual int64_t read_native(void* dst, int64_t frames, SampleType type);
  // The type read_native delivers for a request of `requested`; 0 when none.
  virtual SampleType native_type(SampleType requested);
  // Reads up to `frames` frames converted to `type`, in chunks of at most
  // AUDIO_CHUNK_FRAMES. Returns the frames read, which is short only at the
  // end of the stream or when a later chunk fails; -26 not open, -7 invalid
  // type or no channels, -8 no usable delivery type, -5 scratch growth,
  // -25 at the end of the stream, or the negated failure of read_native.
  [[nodiscard]] virtual int64_t read(void* dst, int64_t frames, SampleType type);
  virtual ~AudioReader();
  // Releases the scratch buffer and closes; 0 or 23 (STATUS_IO_ERROR).
  virtual Status close();
  // Moves forward by reading and discarding; frames skipped or a negated
  // status (-13 for a negative count, -8 no delivery type, -5 scratch).
  [[nodiscard]] virtual int64_t skip(int64_t frames);
  // The position, or -26 when not open.
  virtual int64_t tell();
  // Moves forward to the absolute frame `position` by skipping; a position
  // behind the current one gives -27. The new position or a negated status.
  [[nodiscard]] virtual int64_t seek(int64_t position);
  [[nodiscard]] virtual int64_t read_u8(void* dst, int64_t frames);
  [[nodiscard]] virtual int64_t read_s8(void* dst, int64_t frames);
  [[nodiscard]] virtual int64_t read_u16(void* dst, int64_t frames);
  [[nodiscard]] virtual int64_t read_s16(void* dst, int64_t frames);
  [[nodiscard]] virtual int64_t read_u32(void* dst, int64_t frames);
  [[nodiscard]] virtual int64_t read_s32(void* dst, int64_t frames);
  [[nodiscard]] virtual int64_t read_f32(void* dst, int64_t frames);
  [[nodiscard]] virtual int64_t read_f64(void* dst, int64_t frames);
};

class AudioWriter : public AudioStreamState {
 public:
  AudioWriter();

  // Writes `frames` frames of the accepted type `type`; frames written
  // (> 0) or a negated status; the base class returns -16.
  [[nodiscard]] virtual int64_t write_native(const void* src, int64_t frames, SampleType type);
  // Writes `frames` frames given in `type`, converted to the accepted type,
  // in chunks of at most AUDIO_CHUNK_FRAMES. Frames written (short when a
  // later chunk fails; the failure is then left in `status` of that call
  // only if nothing was written) or -26, -7, -8, -5 as for reading, or the
  // negated failure of write_native.
  [[nodiscard]] virtual int64_t write(const void* src, int64_t frames, SampleType type);
  virtual SampleType native_type(SampleType requested);
  virtual ~AudioWriter();
  // 0, or -26 when not open.
  [[nodiscard]] virtual int64_t flush();
  // Releases the scratch buffer and closes; 0 or 23 (STATUS_IO_ERROR).
  virtual Status close();
  virtual int64_t tell();
  // The base writer cannot seek: -27.
  [[nodiscard]] virtual int64_t seek(int64_t position);
  [[nodiscard]] virtual int64_t write_u8(const void* src, int64_t frames);
  [[nodiscard]] virtual int64_t write_s8(const void* src, int64_t frames);
  [[nodiscard]] virtual int64_t write_u16(const void* src, int64_t frames);
  [[nodiscard]] virtual int64_t write_s16(const void* src, int64_t frames);
  [[nodiscard]] virtual int64_t write_u32(const void* src, int64_t frames);
  [[nodiscard]] virtual int64_t write_s32(const void* src, int64_t frames);
  [[nodiscard]] virtual int64_t write_f32(const void* src, int64_t frames);
  [[nodiscard]] virtual int64_t write_f64(const void* src, int64_t frames);
};
