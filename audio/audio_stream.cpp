#include "audio/audio_stream.h"

#include <algorithm>

#include "runtime/alloc.h"

// ---------------------------------------------------------------------------
// AudioStreamState

AudioStreamState::AudioStreamState()
    : position(-1),
      status(STATUS_NOT_OPEN),
      scratch(nullptr),
      scratch_size(0),
      format{0, 0, AUDIO_FRAMES_UNKNOWN, 0} {}

AudioStreamState::~AudioStreamState() { release_scratch(); }

bool AudioStreamState::grow_scratch(size_t bytes) {
  if (bytes <= scratch_size) return true;
  size_t rounded = (bytes + 511) & ~size_t(511);
  void* fresh = mem_alloc(rounded);
  if (!fresh) return false;
  mem_free(scratch);
  scratch = fresh;
  scratch_size = rounded;
  return true;
}

void AudioStreamState::release_scratch() {
  mem_free(scratch);
  scratch = nullptr;
  scratch_size = 0;
}

// ---------------------------------------------------------------------------
// AudioReader

AudioReader::AudioReader() = default;

AudioReader::~AudioReader() = default;

int64_t AudioReader::read_native(void*, int64_t, SampleType) { return fail(STATUS_NOT_IMPLEMENTED); }

SampleType AudioReader::native_type(SampleType) { return 0; }

int64_t AudioReader::read(void* dst, int64_t frames, SampleType type) {
  if (position < 0) return fail(STATUS_NOT_OPEN);
  size_t frame_bytes = sample_type_bytes(type) * format.channels;
  if (frame_bytes == 0) return fail(STATUS_BAD_FORMAT);
  SampleType delivery = native_type(type);
  size_t native_bytes = sample_type_bytes(delivery) * format.channels;
  if (native_bytes == 0) return fail(STATUS_UNSUPPORTED);

  uint8_t* out = static_cast<uint8_t*>(dst);
  int64_t done = 0;
  while (done < frames) {
    int64_t chunk = std::min(frames - done, AUDIO_CHUNK_FRAMES);
    uint8_t* chunk_dst = out + size_t(done) * frame_bytes;
    int64_t got;
    if (delivery == type) {
      got = read_native(chunk_dst, chunk, delivery);
    } else if (!grow_scratch(size_t(chunk) * native_bytes)) {
      got = -int64_t(STATUS_NO_MEMORY);
    } else {
      got = read_native(scratch, chunk, delivery);
      if (got > 0 && !convert_samples(chunk_dst, type, scratch, delivery, size_t(got) * format.channels))
        got = -int64_t(STATUS_UNSUPPORTED);
    }
    if (got == 0) got = -int64_t(STATUS_END_OF_STREAM);  // a source that stalls ends the read
    if (got < 0) {
      if (done > 0) break;
      return fail(Status(-got));
    }
    done += got;
  }
  status = STATUS_OK;
  position += done;
  return done;
}

Status AudioReader::close() {
  release_scratch();
  position = -1;
  status = STATUS_OK;
  return STATUS_OK;
}

int64_t AudioReader::skip(int64_t frames) {
  if (position < 0) return fail(STATUS_NOT_OPEN);
  if (frames < 0) return fail(STATUS_BAD_ARGUMENT);
  SampleType delivery = native_type(SampleType(format.type));
  size_t native_bytes = sample_type_bytes(delivery) * format.channels;
  if (native_bytes == 0) return fail(STATUS_UNSUPPORTED);
  int64_t done = 0;
  while (done < frames) {
    int64_t chunk = std::min(frames - done, AUDIO_CHUNK_FRAMES);
    int64_t got;
    if (!grow_scratch(size_t(chunk) * native_bytes))
      got = -int64_t(STATUS_NO_MEMORY);
    else
      got = read_native(scratch, chunk, delivery);
    if (got == 0) got = -int64_t(STATUS_END_OF_STREAM);
    if (got < 0) {
      if (done > 0) break;
      return fail(Status(-got));
    }
    done += got;
  }
  status = STATUS_OK;
  position += done;
  return done;
}

int64_t AudioReader::tell() { return position < 0 ? -int64_t(STATUS_NOT_OPEN) : position; }

int64_t AudioReader::seek(int64_t target) {
  if (position < 0) return fail(STATUS_NOT_OPEN);
  if (target < position) return fail(STATUS_NOT_SUPPORTED);
  int64_t got = skip(target - position);
  if (got < 0) return got;
  if (position != target) return fail(STATUS_END_OF_STREAM);
  return position;
}

int64_t AudioReader::read_u8(void* dst, int64_t frames) { return read(dst, frames, SAMPLE_U8); }
int64_t AudioReader::read_s8(void* dst, int64_t frames) { return read(dst, frames, SAMPLE_S8); }
int64_t AudioReader::read_u16(void* dst, int64_t frames) { return read(dst, frames, SAMPLE_U16); }
int64_t AudioReader::read_s16(void* dst, int64_t frames) { return read(dst, frames, SAMPLE_S16); }
int64_t AudioReader::read_u32(void* dst, int64_t frames) { return read(dst, frames, SAMPLE_U32); }
int64_t AudioReader::read_s32(void* dst, int64_t frames) { return read(dst, frames, SAMPLE_S32); }
int64_t AudioReader::read_f32(void* dst, int64_t frames) { return read(dst, frames, SAMPLE_F32); }
int64_t AudioReader::read_f64(void* dst, int64_t frames) { return read(dst, frames, SAMPLE_F64); }

Status AudioStreamState::get_format(AudioFormat* out) const {
  if (!out) return STATUS_BAD_ARGUMENT;
  *out = format;
  return STATUS_OK;
}

// ---------------------------------------------------------------------------
// AudioWriter

AudioWriter::AudioWriter() = default;

AudioWriter::~AudioWriter() = default;

int64_t AudioWriter::write_native(const void*, int64_t, SampleType) { return fail(STATUS_NOT_IMPLEMENTED); }

SampleType AudioWriter::native_type(SampleType) { return 0; }

int64_t AudioWriter::write(const void* src, int64_t frames, SampleType type) {
  if (position < 0) return fail(STATUS_NOT_OPEN);
  size_t frame_bytes = sample_type_bytes(type) * format.channels;
  if (frame_bytes == 0) return fail(STATUS_BAD_FORMAT);
  SampleType accepted = native_type(type);
  size_t native_bytes = sample_type_bytes(accepted) * format.channels;
  if (native_bytes == 0) return fail(STATUS_UNSUPPORTED);

  const uint8_t* in = static_cast<const uint8_t*>(src);
  int64_t done = 0;
  while (done < frames) {
    int64_t chunk = std::min(frames - done, AUDIO_CHUNK_FRAMES);
    const uint8_t* chunk_src = in + size_t(done) * frame_bytes;
    int64_t put;
    if (accepted == type) {
      put = write_native(chunk_src, chunk, accepted);
    } else if (!grow_scratch(size_t(chunk) * native_bytes)) {
      put = -int64_t(STATUS_NO_MEMORY);
    } else if (!convert_samples(scratch, accepted, chunk_src, type, size_t(chunk) * format.channels)) {
      put = -int64_t(STATUS_UNSUPPORTED);
    } else {
      put = write_native(scratch, chunk, accepted);
    }
    if (put == 0) put = -int64_t(STATUS_END_OF_STREAM);
    if (put < 0) {
      if (done > 0) break;
      return fail(Status(-put));
    }
    done += put;
  }
  status = STATUS_OK;
  position += done;
  return done;
}

int64_t AudioWriter::flush() {
  if (position < 0) return fail(STATUS_NOT_OPEN);
  status = STATUS_OK;
  return 0;
}

Status AudioWriter::close() {
  release_scratch();
  position = -1;
  status = STATUS_OK;
  return STATUS_OK;
}

int64_t AudioWriter::tell() { return position < 0 ? -int64_t(STATUS_NOT_OPEN) : position; }

int64_t AudioWriter::seek(int64_t) {
  if (position < 0) return fail(STATUS_NOT_OPEN);
  return fail(STATUS_NOT_SUPPORTED);
}

int64_t AudioWriter::write_u8(const void* src, int64_t frames) { return write(src, frames, SAMPLE_U8); }
int64_t AudioWriter::write_s8(const void* src, int64_t frames) { return write(src, frames, SAMPLE_S8); }
int64_t AudioWriter::write_u16(const void* src, int64_t frames) { return write(src, frames, SAMPLE_U16); }
int64_t AudioWriter::write_s16(const void* src, int64_t frames) { return write(src, frames, SAMPLE_S16); }
int64_t AudioWriter::write_u32(const void* src, int64_t frames) { return write(src, frames, SAMPLE_U32); }
int64_t AudioWriter::write_s32(const void* src, int64_t frames) { return write(src, frames, SAMPLE_S32); }
int64_t AudioWriter::write_f32(const void* src, int64_t frames) { return write(src, frames, SAMPLE_F32); }
int64_t AudioWriter::write_f64(const void* src, int64_t frames) { return write(src, frames, SAMPLE_F64); }

