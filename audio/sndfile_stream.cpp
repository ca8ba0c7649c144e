#include "audio/sndfile_stream.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include <sndfile.h>
#include <sys/stat.h>

namespace {

SNDFILE* as_sndfile(void* handle) { return static_cast<SNDFILE*>(handle); }

// libsndfile keeps the error of a failed open in one process-wide place:
// opens that run in parallel take turns, so that each reads its own.
SNDFILE* open_file(const char* utf8, int mode, SF_INFO* info, int* error, int* system_error = nullptr) {
  static std::mutex opening;
  std::lock_guard<std::mutex> hold(opening);
  errno = 0;
  SNDFILE* file = sf_open(utf8, mode, info);
  if (system_error) *system_error = file ? 0 : errno;
  *error = file ? SF_ERR_NO_ERROR : sf_error(nullptr);
  return file;
}

// The delivery (reading) or accepted (writing) type for a request.
SampleType sndfile_native_type(SampleType requested) {
  if (!sample_type_valid(requested)) return SAMPLE_F32;
  switch (sample_type_kind(requested)) {
    case SAMPLE_KIND_U8:
    case SAMPLE_KIND_S8:
    case SAMPLE_KIND_U16:
    case SAMPLE_KIND_S16: return SAMPLE_S16;
    case SAMPLE_KIND_U24:
    case SAMPLE_KIND_S24:
    case SAMPLE_KIND_U32:
    case SAMPLE_KIND_S32: return SAMPLE_S32;
    case SAMPLE_KIND_F64: return SAMPLE_F64;
    default: return SAMPLE_F32;
  }
}

// A transfer that moved nothing: the end of the file when libsndfile
// reports no error, else its error.
int64_t transfer_failure(SNDFILE* file) {
  Status s = audio_status_from_sndfile(sf_error(file));
  return -int64_t(s == STATUS_OK ? STATUS_END_OF_STREAM : s);
}

// Bits one sample takes at least in the file: the width of uncompressed
// encodings, and one bit for compressed containers and encodings (no codec of libsndfile packs
// a frame of every channel tighter than that except for long stretches of
// digital silence, which are then read by growing instead).
uint64_t min_bits_per_sample(int format) {
  switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_FLAC:
    case SF_FORMAT_OGG:
    case SF_FORMAT_MPEG: return 1;
    default: break;
  }
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW: return 8;
    case SF_FORMAT_PCM_16: return 16;
    case SF_FORMAT_PCM_24: return 24;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT: return 32;
    case SF_FORMAT_DOUBLE: return 64;
    default: return 1;
  }
}

// The frame count a reader can rely on for sizing, or AUDIO_FRAMES_UNKNOWN.
uint64_t trusted_frames(const char* path, const SF_INFO& info) {
  if (info.frames < 0 || info.frames == SF_COUNT_MAX) return AUDIO_FRAMES_UNKNOWN;
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return AUDIO_FRAMES_UNKNOWN;
  uint64_t bits_per_frame = min_bits_per_sample(info.format) * uint64_t(info.channels);
  uint64_t file_bits = uint64_t(st.st_size) * 8;
  if (bits_per_frame == 0 || uint64_t(info.frames) > file_bits / bits_per_frame) return AUDIO_FRAMES_UNKNOWN;
  return uint64_t(info.frames);
}

// Converts a NUL-terminated UTF-8 path into a String for the String forms.
template <class Open>
Status open_utf8(const char* utf8_path, Open&& open) {
  if (!utf8_path) return STATUS_BAD_ARGUMENT;
  String path;
  string_init(&path);
  Status s = string_from_utf8(&path, utf8_path, std::strlen(utf8_path)) ? open(&path) : STATUS_NO_MEMORY;
  string_free(&path);
  return s;
}

}  // namespace

Status audio_status_from_sndfile(int error) {
  switch (error) {
    case SF_ERR_NO_ERROR: return STATUS_OK;
    case SF_ERR_UNRECOGNISED_FORMAT:
    case SF_ERR_UNSUPPORTED_ENCODING: return STATUS_BAD_FORMAT;
    case SF_ERR_SYSTEM: return STATUS_SYSTEM;
    case SF_ERR_MALFORMED_FILE: return STATUS_MALFORMED;
    default: return STATUS_SYSTEM;
  }
}

// ---------------------------------------------------------------------------
// SndfileReader

SndfileReader::SndfileReader() : handle(nullptr), seekable(false), open_error(0) {}

SndfileReader::~SndfileReader() { (void)SndfileReader::close(); }

SampleType SndfileReader::native_type(SampleType requested) { return sndfile_native_type(requested); }

int64_t SndfileReader::read_native(void* dst, int64_t frames, SampleType type) {
  if (!handle) return fail(STATUS_NOT_OPEN);
  SNDFILE* file = as_sndfile(handle);
  sf_count_t got;
  if (type >= 16 && type <= 19)
    got = sf_readf_short(file, static_cast<short*>(dst), frames);
  else if (type >= 32 && type <= 35)
    got = sf_readf_int(file, static_cast<int*>(dst), frames);
  else if (type >= 40 && type <= 43)
    got = sf_readf_double(file, static_cast<double*>(dst), frames);
  else
    got = sf_readf_float(file, static_cast<float*>(dst), frames);
  return got > 0 ? got : transfer_failure(file);
}

Status SndfileReader::close() {
  release_scratch();
  int rc = handle ? sf_close(as_sndfile(handle)) : 0;
  handle = nullptr;
  position = -1;
  status = rc != 0 ? STATUS_IO_ERROR : STATUS_OK;
  return status;
}

int64_t SndfileReader::skip(int64_t frames) {
  if (position < 0) return fail(STATUS_NOT_OPEN);
  if (!seekable) return AudioReader::skip(frames);
  if (sf_seek(as_sndfile(handle), frames, SEEK_CUR) < 0) {
    Status s = audio_status_from_sndfile(sf_error(as_sndfile(handle)));
    return fail(s == STATUS_OK ? STATUS_SYSTEM : s);
  }
  position += frames;
  status = STATUS_OK;
  return frames;
}

int64_t SndfileReader::seek(int64_t target) {
  if (position < 0) return fail(STATUS_NOT_OPEN);
  if (!seekable) return AudioReader::seek(target);
  if (sf_seek(as_sndfile(handle), target, SEEK_SET) < 0) {
    Status s = audio_status_from_sndfile(sf_error(as_sndfile(handle)));
    return fail(s == STATUS_OK ? STATUS_SYSTEM : s);
  }
  position = target;
  status = STATUS_OK;
  return position;
}

Status SndfileReader::open(const char* utf8_path) {
  if (position >= 0) return status = STATUS_ALREADY_OPEN;
  return status = open_utf8(utf8_path, [this](String* p) { return open(p); });
}

Status SndfileReader::open(String& path) { return open(&path); }

Status SndfileReader::open(String* path) {
  if (position >= 0) return status = STATUS_ALREADY_OPEN;
  if (!path) return status = STATUS_BAD_ARGUMENT;
  const char* utf8 = string_to_utf8(path);
  if (!utf8) return status = STATUS_NO_MEMORY;
  SF_INFO info;
  std::memset(&info, 0, sizeof info);
  int error = SF_ERR_NO_ERROR;
  SNDFILE* file = open_file(utf8, SFM_READ, &info, &error);
  if (!file) {
    open_error = error;
    return status = audio_status_from_sndfile(open_error);
  }
  handle = file;
  format.sample_rate = uint64_t(info.samplerate);
  format.channels = uint64_t(info.channels);
  format.frames = trusted_frames(utf8, info);
  format.type = sample_type_from_sndfile(info.format);
  position = 0;
  seekable = info.seekable != 0;
  return status = STATUS_OK;
}

// ---------------------------------------------------------------------------
// SndfileWriter

SndfileWriter::SndfileWriter() : handle(nullptr), seekable(false), open_error(0), system_error(0) {}

SndfileWriter::~SndfileWriter() { (void)SndfileWriter::close(); }

SampleType SndfileWriter::native_type(SampleType requested) { return sndfile_native_type(requested); }

int64_t SndfileWriter::write_native(const void* src, int64_t frames, SampleType type) {
  if (!handle) return fail(STATUS_NOT_OPEN);
  SNDFILE* file = as_sndfile(handle);
  sf_count_t put;
  errno = 0;
  if (type >= 16 && type <= 19)
    put = sf_writef_short(file, static_cast<const short*>(src), frames);
  else if (type >= 32 && type <= 35)
    put = sf_writef_int(file, static_cast<const int*>(src), frames);
  else if (type >= 40 && type <= 43)
    put = sf_writef_double(file, static_cast<const double*>(src), frames);
  else
    put = sf_writef_float(file, static_cast<const float*>(src), frames);
  if (put < frames && errno != 0) system_error = errno;
  return put > 0 ? put : transfer_failure(file);
}

int64_t SndfileWriter::flush() {
  if (position < 0) return fail(STATUS_NOT_OPEN);
  sf_write_sync(as_sndfile(handle));
  status = STATUS_OK;
  return 0;
}

Status SndfileWriter::close() {
  release_scratch();
  errno = 0;
  int rc = handle ? sf_close(as_sndfile(handle)) : 0;
  if (rc != 0 && errno != 0) system_error = errno;
  handle = nullptr;
  position = -1;
  status = rc != 0 ? STATUS_IO_ERROR : STATUS_OK;
  return status;
}

int64_t SndfileWriter::seek(int64_t target) {
  if (position < 0) return fail(STATUS_NOT_OPEN);
  sf_count_t at = sf_seek(as_sndfile(handle), target, SEEK_SET);
  if (at < 0) {
    Status s = audio_status_from_sndfile(sf_error(as_sndfile(handle)));
    return fail(s == STATUS_OK ? STATUS_SYSTEM : s);
  }
  position = at;
  status = STATUS_OK;
  return position;
}

Status SndfileWriter::open(const char* utf8_path, const AudioFormat* request, AudioFileFormat file_format) {
  if (position >= 0) return status = STATUS_ALREADY_OPEN;
  return status = open_utf8(utf8_path, [&](String* p) { return open(p, request, file_format); });
}

Status SndfileWriter::open(String& path, const AudioFormat* request, AudioFileFormat file_format) {
  return open(&path, request, file_format);
}

Status SndfileWriter::open(String* path, const AudioFormat* request, AudioFileFormat file_format) {
  if (position >= 0) return status = STATUS_ALREADY_OPEN;
  if (!request || !path) return status = STATUS_BAD_ARGUMENT;
  int sf_format = 0;
  if (audio_file_format_to_sndfile(file_format, SampleType(request->type), &sf_format) != STATUS_OK)
    return status = STATUS_UNSUPPORTED;
  return open_word(path, request, sf_format);
}

Status SndfileWriter::open_sndfile_format(const char* utf8_path, const AudioFormat* request, int sf_format) {
  if (position >= 0) return status = STATUS_ALREADY_OPEN;
  if (!request) return status = STATUS_BAD_ARGUMENT;
  return status = open_utf8(utf8_path, [&](String* p) { return open_word(p, request, sf_format); });
}

Status SndfileWriter::open_word(String* path, const AudioFormat* request, int sf_format) {
  const char* utf8 = string_to_utf8(path);
  if (!utf8) return status = STATUS_NO_MEMORY;
  SF_INFO info;
  std::memset(&info, 0, sizeof info);
  info.frames = sf_count_t(request->frames);
  info.samplerate = int(request->sample_rate);
  info.channels = int(request->channels);
  info.format = sf_format;
  int error = SF_ERR_NO_ERROR;
  SNDFILE* file = open_file(utf8, SFM_WRITE, &info, &error, &system_error);
  if (!file) {
    open_error = error;
    return status = audio_status_from_sndfile(open_error);
  }
  // libsndfile would otherwise scan every float written for a PEAK chunk,
  // a full extra pass over the audio that nothing here reads back.
  sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
  handle = file;
  format = *request;
  position = 0;
  seekable = info.seekable != 0;
  return status = STATUS_OK;
}
