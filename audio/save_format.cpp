#include "audio/save_format.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// libsndfile's major formats as container codes of AudioFileFormat.
AudioFileFormat file_format_code(int container) {
  switch (container) {
    case SAVE_CONTAINER_WAV: return 0x010001;
    case SAVE_CONTAINER_AIFF: return 0x020001;
    case SAVE_CONTAINER_W64: return 0x0B0001;
    case SAVE_CONTAINER_FLAC: return 0x170001;
    case SAVE_CONTAINER_RF64: return 0x220001;
    default: return 0;
  }
}

bool bits_known(int bits) {
  return bits == SAVE_BITS_FLOAT || bits == SAVE_BITS_16 || bits == SAVE_BITS_24 || bits == SAVE_BITS_32;
}

bool fields_known(const SaveFormat& f) {
  return f.container >= SAVE_CONTAINER_WAV && f.container <= SAVE_CONTAINER_AUTO && bits_known(f.bits) &&
         f.dither >= SAVE_DITHER_DEFAULT && f.dither <= SAVE_DITHER_NONE;
}

// The request's sample type for a width; byte order left to the container.
SampleType request_type(int bits) {
  switch (bits) {
    case SAVE_BITS_16: return sample_type_make(SAMPLE_KIND_S16, SAMPLE_ORDER_ANY);
    case SAVE_BITS_24: return sample_type_make(SAMPLE_KIND_S24, SAMPLE_ORDER_ANY);
    case SAVE_BITS_32: return sample_type_make(SAMPLE_KIND_S32, SAMPLE_ORDER_ANY);
    default: return SAMPLE_F32_ANY_ORDER;
  }
}

bool equals_ignoring_case(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    char x = *a >= 'A' && *a <= 'Z' ? char(*a + 32) : *a;
    if (x != *b) return false;
  }
  return *a == *b;
}

void put_message(char* message, size_t size, const char* text) {
  if (message && size > 0) std::snprintf(message, size, "%s", text);
}

// splitmix64: a small generator whose every seed, zero included, gives a
// full-period, well-mixed sequence.
uint64_t next_random(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// A TPDF value in [-1, 1) LSB: the sum of two independent uniform values
// in [-0.5, 0.5), taken from the two 32-bit halves of one draw.
double tpdf(uint64_t& state) {
  const uint64_t r = next_random(state);
  return (double(uint32_t(r)) + double(uint32_t(r >> 32))) * 0x1.0p-32 - 1.0;
}

}  // namespace

SaveFormat save_format_default() { return SaveFormat{SAVE_CONTAINER_WAV, SAVE_BITS_FLOAT, SAVE_DITHER_DEFAULT}; }

const char* save_path_extension(const char* utf8) {
  if (!utf8) return nullptr;
  const char* slash = std::strrchr(utf8, '/');
  const char* name = slash ? slash + 1 : utf8;
  const char* dot = std::strrchr(name, '.');
  return dot && dot[1] ? dot + 1 : nullptr;
}

int save_container_from_extension(const char* ext) {
  if (equals_ignoring_case(ext, "wav")) return SAVE_CONTAINER_WAV;
  if (equals_ignoring_case(ext, "rf64")) return SAVE_CONTAINER_RF64;
  if (equals_ignoring_case(ext, "w64")) return SAVE_CONTAINER_W64;
  if (equals_ignoring_case(ext, "aif") || equals_ignoring_case(ext, "aiff")) return SAVE_CONTAINER_AIFF;
  if (equals_ignoring_case(ext, "flac")) return SAVE_CONTAINER_FLAC;
  return -1;
}

int save_container_from_name(String& path) {
  const char* ext = save_path_extension(string_to_utf8(&path));
  const int container = ext ? save_container_from_extension(ext) : -1;
  return container < 0 ? SAVE_CONTAINER_WAV : container;
}

int save_container_resolve(const SaveFormat& format, String& path) {
  return format.container == SAVE_CONTAINER_AUTO ? save_container_from_name(path) : format.container;
}

uint64_t save_data_bytes(int bits, uint64_t channels, uint64_t frames) {
  const uint64_t width = bits == SAVE_BITS_FLOAT ? 4 : uint64_t(bits) / 8;
  if (channels == 0 || frames == 0) return 0;
  if (channels > UINT64_MAX / width || frames > UINT64_MAX / (channels * width)) return UINT64_MAX;
  return frames * channels * width;
}

int save_container_for_size(int container, uint64_t data_bytes) {
  const bool large = data_bytes >= SAVE_SIZE_LIMIT - SAVE_HEADER_ALLOWANCE;
  return container == SAVE_CONTAINER_WAV && large ? SAVE_CONTAINER_RF64 : container;
}

bool save_dither_active(const SaveFormat& format) {
  if (format.bits == SAVE_BITS_FLOAT || format.dither == SAVE_DITHER_NONE) return false;
  if (format.dither == SAVE_DITHER_TPDF) return true;
  return format.bits == SAVE_BITS_16 || format.bits == SAVE_BITS_24;
}

Status save_format_check(const SaveFormat& format, String& path, uint64_t channels, uint64_t rate, uint64_t frames,
                         char* message, size_t message_size) {
  if (!fields_known(format)) {
    put_message(message, message_size, "unknown output format, sample width or dither");
    return STATUS_BAD_ARGUMENT;
  }
  const int container = save_container_resolve(format, path);
  char text[160];
  if (format.container == SAVE_CONTAINER_AUTO) {
    // A name that asks for a format none of the containers is (mp3, ogg,
    // caf) is not written as WAV behind its back.
    const char* ext = save_path_extension(string_to_utf8(&path));
    if (ext && save_container_from_extension(ext) < 0) {
      std::snprintf(text, sizeof text, "no format it can write has the extension '.%.40s' (.wav .rf64 .w64 .aif .aiff .flac)",
                    ext);
      put_message(message, message_size, text);
      return STATUS_UNSUPPORTED;
    }
  }
  if (container == SAVE_CONTAINER_FLAC) {
    if (format.bits == SAVE_BITS_FLOAT || format.bits == SAVE_BITS_32) {
      std::snprintf(text, sizeof text, "FLAC cannot hold %s samples (use 16 or 24 bits)",
                    format.bits == SAVE_BITS_FLOAT ? "float" : "32-bit");
      put_message(message, message_size, text);
      return STATUS_UNSUPPORTED;
    }
    if (channels > 8) {
      std::snprintf(text, sizeof text, "FLAC cannot hold %" PRIu64 " channels (at most 8)", channels);
      put_message(message, message_size, text);
      return STATUS_UNSUPPORTED;
    }
    if (rate > 655350) {
      std::snprintf(text, sizeof text, "FLAC cannot hold a sample rate of %" PRIu64 " Hz (at most 655350)", rate);
      put_message(message, message_size, text);
      return STATUS_UNSUPPORTED;
    }
    // A frame header holds a rate in Hz up to 65535 and in tens of Hz
    // above that; the encoder refuses any other rate.
    if (rate > 65535 && rate % 10 != 0) {
      std::snprintf(text, sizeof text, "FLAC cannot hold a sample rate of %" PRIu64
                    " Hz (above 65535 Hz only multiples of 10)", rate);
      put_message(message, message_size, text);
      return STATUS_UNSUPPORTED;
    }
  }
  if (container == SAVE_CONTAINER_AIFF &&
      save_data_bytes(format.bits, channels, frames) >= SAVE_SIZE_LIMIT - SAVE_HEADER_ALLOWANCE) {
    std::snprintf(text, sizeof text, "AIFF cannot hold %" PRIu64 " frames of %" PRIu64
                  " channels: the file would pass 4 GiB (use WAV, RF64 or W64)", frames, channels);
    put_message(message, message_size, text);
    return STATUS_UNSUPPORTED;
  }
  return STATUS_OK;
}

Status save_open_writer(SndfileWriter& writer, const char* utf8_path, const SaveFormat& format, uint64_t rate,
                        uint64_t channels, uint64_t frames, int* written_container) {
  if (!fields_known(format)) return STATUS_BAD_ARGUMENT;
  if (format.container == SAVE_CONTAINER_AUTO) return STATUS_UNSUPPORTED;
  const uint64_t bytes = save_data_bytes(format.bits, channels, frames);
  const int container = save_container_for_size(format.container, bytes);
  if (container == SAVE_CONTAINER_AIFF && bytes >= SAVE_SIZE_LIMIT - SAVE_HEADER_ALLOWANCE) return STATUS_UNSUPPORTED;
  AudioFormat request = {rate, channels, frames, request_type(format.bits)};
  Status s = writer.open(utf8_path, &request, file_format_code(container));
  if (s == STATUS_OK && written_container) *written_container = container;
  return s;
}

void save_quantizer_init(SaveQuantizer& q, int bits, bool dither, const char* seed_text) {
  q.bits = bits;
  q.dither = dither;
  // FNV-1a over the text's bytes.
  uint64_t h = 0xCBF29CE484222325ull;
  for (const char* p = seed_text ? seed_text : ""; *p; ++p) h = (h ^ uint8_t(*p)) * 0x100000001B3ull;
  q.state = h;
}

void save_quantize(SaveQuantizer& q, const float* in, int32_t* out, size_t count, uint64_t* clipped) {
  const double scale = std::ldexp(1.0, q.bits - 1);
  const double top = scale - 1.0, bottom = -scale;
  const int shift = 32 - q.bits;
  uint64_t clips = 0;
  for (size_t i = 0; i < count; ++i) {
    double v = double(in[i]) * scale;
    if (q.dither) v += tpdf(q.state);
    if (v != v) v = 0.0;  // NaN
    // Rounds to nearest (the FPU's mode), in range or not; then clips.
    int64_t k = std::lrint(v > 0x1.0p40 ? 0x1.0p40 : (v < -0x1.0p40 ? -0x1.0p40 : v));
    if (k > int64_t(top)) {
      k = int64_t(top);
      ++clips;
    } else if (k < int64_t(bottom)) {
      k = int64_t(bottom);
      ++clips;
    }
    // The shift happens on the unsigned word: a negative value's top bits
    // are its two's complement pattern.
    out[i] = int32_t(uint32_t(k) << shift);
  }
  if (clipped) *clipped += clips;
}
