#pragma once

#include <cstdint>

#include "audio/audio_stream.h"
#include "runtime/string.h"

// Frame streams over libsndfile. Paths are passed to libsndfile as UTF-8.
// Both classes own their libsndfile handle: close and the destructor
// release it.

// libsndfile's error number (sf_error) as a status: 1 and 4 (unrecognised
// format, unsupported encoding) give 7, 2 (system error) 4, 3 (malformed
// file) 9, and every larger number 4; 0 gives 0.
Status audio_status_from_sndfile(int error);

class SndfileReader : public AudioReader {
 public:
  SndfileReader();
  ~SndfileReader() override;

  // Delivers s16 for the 8- and 16-bit kinds, s32 for the 24- and 32-bit
  // kinds, f64 for f64 and f32 otherwise (invalid requests included);
  // libsndfile scales integers to floats with its default normalisation.
  int64_t read_native(void* dst, int64_t frames, SampleType type) override;
  SampleType native_type(SampleType requested) override;
  Status close() override;
  // Seekable files move with sf_seek; others read and discard forwards.
  int64_t skip(int64_t frames) override;
  int64_t seek(int64_t position) override;

  // Opens for reading, the format taken from the file's header. Returns 0,
  // 32 when already open, 13 for a null path, 5 when the text cannot be
  // converted, or the mapped libsndfile error (7, 4, 9).
  //
  // The frame count is reported as AUDIO_FRAMES_UNKNOWN when libsndfile
  // does not know it, when the source is not a regular file, or when it is
  // larger than the file can hold (more than one bit per sample of a
  // compressed encoding, or more than the file's bytes at the sample width
  // of an uncompressed one), so that readers do not trust it for sizing.
  [[nodiscard]] virtual Status open(const char* utf8_path);
  [[nodiscard]] virtual Status open(String& path);
  [[nodiscard]] virtual Status open(String* path);

  void* handle;  // SNDFILE*, null while closed
  bool seekable;
  // libsndfile's error number of the last failed sf_open (0 otherwise),
  // taken the moment it failed: libsndfile keeps it in process-wide state,
  // which the next failing open anywhere in the process replaces.
  int open_error;
};

class SndfileWriter : public AudioWriter {
 public:
  SndfileWriter();
  ~SndfileWriter() override;

  int64_t write_native(const void* src, int64_t frames, SampleType type) override;
  SampleType native_type(SampleType requested) override;
  // sf_write_sync; 0 or -26.
  int64_t flush() override;
  Status close() override;
  int64_t seek(int64_t position) override;

  // Creates (or truncates) the file at the path with the request's rate,
  // channels and frame count in the container and encoding of `file_format`
  // (with encoding selector 1 the request's sample type picks the PCM width
  // or float). Returns 0, 32 when already open, 13 for a null request or
  // path, 5 when the text cannot be converted, 8 when the format cannot be
  // translated, or the mapped libsndfile error.
  [[nodiscard]] virtual Status open(const char* utf8_path, const AudioFormat* request, AudioFileFormat file_format);
  [[nodiscard]] virtual Status open(String& path, const AudioFormat* request, AudioFileFormat file_format);
  [[nodiscard]] virtual Status open(String* path, const AudioFormat* request, AudioFileFormat file_format);
  // As open, with libsndfile's own format word (container | encoding),
  // for the encodings the file format codes do not name (MPEG layer III,
  // Ogg Opus). The request's sample type is not used.
  [[nodiscard]] Status open_sndfile_format(const char* utf8_path, const AudioFormat* request, int sf_format);

  void* handle;  // SNDFILE*, null while closed
  bool seekable;
  // libsndfile's error number of the last failed sf_open (0 otherwise),
  // taken the moment it failed: libsndfile keeps it in process-wide state,
  // which the next failing open anywhere in the process replaces.
  int open_error;
  // The system's errno behind the last failed open, write or close (0 when
  // none failed or the system gave no reason): libsndfile reports every
  // failure of the system as one "System error", a full disk included.
  int system_error;

 private:
  Status open_word(String* path, const AudioFormat* request, int sf_format);
};
