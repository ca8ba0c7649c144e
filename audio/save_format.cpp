#include "audio/save_format.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <sndfile.h>

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
  return f.container >= SAVE_CONTAINER_WAV && f.container <= SAVE_CONTAINER_VORBIS && bits_known(f.bits) &&
         f.dither >= SAVE_DITHER_DEFAULT && f.dither <= SAVE_DITHER_NONE && f.bitrate >= 0;
}

// libsndfile's format word of a lossy container.
int lossy_format_word(int container) {
  switch (container) {
    case SAVE_CONTAINER_MP3: return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    case SAVE_CONTAINER_OPUS: return SF_FORMAT_OGG | SF_FORMAT_OPUS;
    case SAVE_CONTAINER_VORBIS: return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    default: return 0;
  }
}

const char* lossy_name(int container) {
  return container == SAVE_CONTAINER_MP3 ? "MP3" : container == SAVE_CONTAINER_OPUS ? "Opus" : "Vorbis";
}

// The constant bitrates (kbit/s) of MPEG layer III at a sample rate: MPEG-1
// from 32 kHz, MPEG-2 from 16 kHz, MPEG-2.5 below; and the range libsndfile
// spreads its compression level over for that version.
struct Mp3Rates {
  const int* list;
  int count;
  int lowest, highest;
};

Mp3Rates mp3_rates(uint64_t rate) {
  static const int kMpeg1[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  static const int kMpeg2[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
  static const int kMpeg25[] = {8, 16, 24, 32, 40, 48, 56, 64};
  if (rate >= 32000) return {kMpeg1, 14, 32, 320};
  if (rate >= 16000) return {kMpeg2, 14, 8, 160};
  return {kMpeg25, 8, 8, 64};
}

bool mp3_rate_known(uint64_t rate) {
  static const uint64_t kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
  for (uint64_t r : kRates)
    if (r == rate) return true;
  return false;
}

bool opus_rate_known(uint64_t rate) {
  return rate == 8000 || rate == 12000 || rate == 16000 || rate == 24000 || rate == 48000;
}

// Sets the bitrate (or Vorbis's quality) and the tags on a file just
// opened, before its first sample. libsndfile takes the bitrate as a
// compression level in 0..1 spread linearly over each encoder's range:
// MP3 from the highest bitrate of its MPEG version down to the lowest,
// Opus from 256 down to 6 kbit/s per channel; Vorbis's quality is one
// minus the level. The MP3 level is aimed a quarter kbit/s above the
// bitrate, so that the encoder's rounding lands on it.
bool configure_writer(SNDFILE* file, const SaveFormat& format, int container, uint64_t rate, uint64_t channels) {
  if (save_container_lossy(container)) {
    double level = 0.4;  // Vorbis: quality 0.6
    if (container != SAVE_CONTAINER_VORBIS) {
      // libsndfile 1.2 answers the setting with 0 either way: the mode is
      // asked back instead.
      int mode = SF_BITRATE_MODE_CONSTANT;
      (void)sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
      if (sf_command(file, SFC_GET_BITRATE_MODE, nullptr, 0) != SF_BITRATE_MODE_CONSTANT) return false;
      const int kbps = format.bitrate > 0 ? format.bitrate : save_default_bitrate(container, rate, channels);
      if (container == SAVE_CONTAINER_MP3) {
        const Mp3Rates r = mp3_rates(rate);
        level = (double(r.highest) - double(kbps) - 0.25) / double(r.highest - r.lowest);
      } else {
        const double per_channel = double(kbps) * 1000.0 / double(channels);
        level = 1.0 - (per_channel - 6000.0) / 250000.0;
      }
      level = level < 0.0 ? 0.0 : (level > 1.0 ? 1.0 : level);
    }
    if (!sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level)) return false;
  }
  if (container == SAVE_CONTAINER_W64) return true;
  if (format.title && *format.title && sf_set_string(file, SF_STR_TITLE, format.title) != 0) return false;
  if (format.artist && *format.artist && sf_set_string(file, SF_STR_ARTIST, format.artist) != 0) return false;
  return true;
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

bool save_container_lossy(int container) {
  return container == SAVE_CONTAINER_MP3 || container == SAVE_CONTAINER_OPUS || container == SAVE_CONTAINER_VORBIS;
}

int save_lossy_from_extension(const char* ext) {
  if (equals_ignoring_case(ext, "mp3")) return SAVE_CONTAINER_MP3;
  if (equals_ignoring_case(ext, "opus")) return SAVE_CONTAINER_OPUS;
  if (equals_ignoring_case(ext, "ogg") || equals_ignoring_case(ext, "oga")) return SAVE_CONTAINER_VORBIS;
  return -1;
}

int save_default_bitrate(int container, uint64_t rate, uint64_t channels) {
  (void)channels;
  if (container == SAVE_CONTAINER_OPUS) return 128;
  if (container != SAVE_CONTAINER_MP3) return 0;
  const Mp3Rates r = mp3_rates(rate);
  return r.highest < 192 ? r.highest : 192;
}

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

namespace {

// The lossy encoders' limits; 0 for channels or rate: not known yet.
Status check_lossy(const SaveFormat& format, int container, uint64_t channels, uint64_t rate, char* text,
                   size_t size) {
  const char* name = lossy_name(container);
  if (format.bits != SAVE_BITS_FLOAT) {
    std::snprintf(text, size, "%s is encoded from float samples: it takes no sample width (leave -b at float)", name);
    return STATUS_UNSUPPORTED;
  }
  const uint64_t most_channels = container == SAVE_CONTAINER_MP3 ? 2 : 255;
  if (channels > most_channels) {
    std::snprintf(text, size, "%s cannot hold %" PRIu64 " channels (at most %" PRIu64 ")", name, channels,
                  most_channels);
    return STATUS_UNSUPPORTED;
  }
  if (rate != 0) {
    const bool rate_ok = container == SAVE_CONTAINER_MP3    ? mp3_rate_known(rate)
                         : container == SAVE_CONTAINER_OPUS ? opus_rate_known(rate)
                                                            : rate <= 200000;
    if (!rate_ok) {
      std::snprintf(text, size, "%s cannot be written at %" PRIu64 " Hz (it takes %s)", name, rate,
                    container == SAVE_CONTAINER_MP3
                        ? "8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100 or 48000 Hz"
                    : container == SAVE_CONTAINER_OPUS ? "8000, 12000, 16000, 24000 or 48000 Hz"
                                                       : "at most 200000 Hz");
      return STATUS_UNSUPPORTED;
    }
  }
  if (container == SAVE_CONTAINER_MP3 && format.bitrate > 0 && rate != 0) {
    const Mp3Rates r = mp3_rates(rate);
    bool listed = false;
    for (int i = 0; i < r.count; ++i) listed = listed || r.list[i] == format.bitrate;
    if (!listed) {
      char list[96] = "";
      size_t used = 0;
      for (int i = 0; i < r.count && used < sizeof list; ++i)
        used += size_t(std::snprintf(list + used, sizeof list - used, "%s%d", i ? " " : "", r.list[i]));
      std::snprintf(text, size, "MP3 at %" PRIu64 " Hz has no constant bitrate of %d kbit/s (%s)", rate,
                    format.bitrate, list);
      return STATUS_UNSUPPORTED;
    }
  }
  if (container == SAVE_CONTAINER_OPUS && format.bitrate > 0) {
    const uint64_t c = channels ? channels : 1;
    if (uint64_t(format.bitrate) < 6 * c || uint64_t(format.bitrate) > 256 * (channels ? channels : 255)) {
      std::snprintf(text, size, "Opus cannot be written at %d kbit/s for %" PRIu64
                    " channels (6 to 256 kbit/s per channel)", format.bitrate, c);
      return STATUS_UNSUPPORTED;
    }
  }
  // libsndfile itself has to offer the encoder (it is built without it
  // on some systems).
  SF_INFO info;
  std::memset(&info, 0, sizeof info);
  info.samplerate = rate ? int(rate) : 48000;
  info.channels = channels ? int(channels) : 1;
  info.format = lossy_format_word(container);
  if (!sf_format_check(&info)) {
    std::snprintf(text, size, "this system's libsndfile cannot write %s", name);
    return STATUS_UNSUPPORTED;
  }
  return STATUS_OK;
}

}  // namespace

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
  if (format.bitrate > 0 && !(container == SAVE_CONTAINER_MP3 || container == SAVE_CONTAINER_OPUS)) {
    std::snprintf(text, sizeof text, "a bitrate applies to mp3 and opus output only%s",
                  container == SAVE_CONTAINER_VORBIS ? " (Vorbis is written at quality 0.6)" : "");
    put_message(message, message_size, text);
    return STATUS_UNSUPPORTED;
  }
  if (save_container_lossy(container)) {
    Status st = check_lossy(format, container, channels, rate, text, sizeof text);
    if (st != STATUS_OK) {
      put_message(message, message_size, text);
      return st;
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
  const bool lossy = save_container_lossy(container);
  if (lossy && format.bits != SAVE_BITS_FLOAT) return STATUS_UNSUPPORTED;
  Status s = lossy ? writer.open_sndfile_format(utf8_path, &request, lossy_format_word(container))
                   : writer.open(utf8_path, &request, file_format_code(container));
  if (s == STATUS_OK && !configure_writer(static_cast<SNDFILE*>(writer.handle), format, container, rate, channels)) {
    (void)writer.close();
    return STATUS_UNSUPPORTED;
  }
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
