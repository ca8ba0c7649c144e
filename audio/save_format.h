#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/sndfile_stream.h"
#include "runtime/status.h"
#include "runtime/string.h"

// The file format of saved audio: container, sample width and dither.
// The default record (save_format_default) is today's output, a WAV file of
// 32-bit floats, which becomes RF64 when the file would reach 4 GiB.

enum SaveContainer : int {
  SAVE_CONTAINER_WAV = 0,
  SAVE_CONTAINER_RF64 = 1,
  SAVE_CONTAINER_W64 = 2,
  SAVE_CONTAINER_AIFF = 3,
  SAVE_CONTAINER_FLAC = 4,
  SAVE_CONTAINER_AUTO = 5,  // from the name's extension; WAV when unknown
  // Lossy encodings, written from float samples (bits stay SAVE_BITS_FLOAT).
  SAVE_CONTAINER_MP3 = 6,     // MPEG-1/2/2.5 layer III, constant bitrate
  SAVE_CONTAINER_OPUS = 7,    // Ogg Opus, constant bitrate
  SAVE_CONTAINER_VORBIS = 8,  // Ogg Vorbis at a quality
};

// Whether `container` is one of the lossy encodings.
bool save_container_lossy(int container);

// Sample widths: 0 is 32-bit float, else integer PCM of that many bits.
enum SaveBits : int {
  SAVE_BITS_FLOAT = 0,
  SAVE_BITS_16 = 16,
  SAVE_BITS_24 = 24,
  SAVE_BITS_32 = 32,
};

enum SaveDither : int {
  SAVE_DITHER_DEFAULT = 0,  // TPDF for 16 and 24 bits, none for float and 32 bits
  SAVE_DITHER_TPDF = 1,     // TPDF for every integer width (float output is never dithered)
  SAVE_DITHER_NONE = 2,
};

struct SaveFormat {
  int container;  // SaveContainer
  int bits;       // SaveBits
  int dither;     // SaveDither
  // The text the dither's noise is seeded from, so that an output's bits
  // do not depend on how its path was spelled; null: the path as given.
  const char* dither_seed = nullptr;
  // Lossy encodings: the constant bitrate in kbit/s (all channels
  // together); 0 takes the encoding's default (MP3 192 or the highest its
  // rate allows below that, Opus 128; Vorbis is always written at quality
  // 0.6 and takes no bitrate).
  int bitrate = 0;
  // Title and artist tags (UTF-8) written into every container that
  // carries them (all but W64); null or empty: none.
  const char* title = nullptr;
  const char* artist = nullptr;
};

// What a save found in the audio it wrote: the largest magnitude (linear,
// 1.0 = full scale), the number of samples (channels counted apart) above
// full scale, and whether an integer output clipped them. `container` is
// the container actually written (AUTO and the RF64 switch resolved).
struct SaveStats {
  float peak;
  uint64_t overs;
  bool clipped;
  int container;
};

SaveFormat save_format_default();

// Bytes from which a WAV file becomes RF64 and an AIFF file is refused:
// 4 GiB, counting the sample data and a 256-byte allowance for the header.
constexpr uint64_t SAVE_SIZE_LIMIT = uint64_t(1) << 32;
constexpr uint64_t SAVE_HEADER_ALLOWANCE = 256;

// The container an extension names (.wav .rf64 .w64 .aif .aiff .flac,
// any case); WAV for any other or no extension.
int save_container_from_name(String& path);

// The extension of the file part of the UTF-8 path `utf8` (the text after
// its last '.', without the dot), or null when the file part has none (or
// ends in the dot).
const char* save_path_extension(const char* utf8);

// The container the extension `ext` (without the dot, any case) names, or
// -1 when it names none of them.
int save_container_from_extension(const char* ext);

// The concrete container for `format` and the output `path`: AUTO resolved
// from the name; any other value unchanged.
int save_container_resolve(const SaveFormat& format, String& path);

// Bytes of sample data of `frames` frames of `channels` channels at `bits`.
// Saturates at UINT64_MAX.
uint64_t save_data_bytes(int bits, uint64_t channels, uint64_t frames);

// The container written for `container` (already resolved) and that much
// sample data: WAV becomes RF64 once data plus header allowance reach
// SAVE_SIZE_LIMIT, everything else stays.
int save_container_for_size(int container, uint64_t data_bytes);

// Whether integer output is dithered for this format.
bool save_dither_active(const SaveFormat& format);

// The lossy encoding the extension `ext` names (mp3; opus; ogg, oga), or
// -1. -of auto writes none of them.
int save_lossy_from_extension(const char* ext);

// The bitrate (kbit/s) a lossy container is written at for `rate` and
// `channels` when format.bitrate is 0; 0 for Vorbis and the PCM containers.
int save_default_bitrate(int container, uint64_t rate, uint64_t channels);

// Checks, before any work, that `format` can hold the output: known values
// of container, bits and dither (else 13, STATUS_BAD_ARGUMENT), FLAC only
// with 16 or 24 bits, at most 8 channels and 655350 Hz (above 65535 Hz a
// multiple of 10), AIFF output below 4 GiB, and for AUTO a name without
// extension or with one of the containers' (all else 8,
// STATUS_UNSUPPORTED). The lossy encodings take float samples only, MP3
// one or two channels at 8000, 11025, 12000, 16000, 22050, 24000, 32000,
// 44100 or 48000 Hz and the bitrates of its MPEG version, Opus 8000,
// 12000, 16000, 24000 or 48000 Hz, up to 255 channels and 6..256 kbit/s
// per channel, Vorbis up to 255 channels at 1..200000 Hz and no bitrate
// (all else 8); libsndfile must also accept the format (sf_format_check). Channels, rate and frames
// of 0 mean "not known yet" and are not checked, so the check can run
// once before loading and again before the save. On failure a line of text
// without the path and without a newline is written to `message` (when not
// null), e.g. "FLAC cannot hold float samples (use 16 or 24 bits)".
[[nodiscard]] Status save_format_check(const SaveFormat& format, String& path, uint64_t channels, uint64_t rate,
                                       uint64_t frames, char* message, size_t message_size);

// Opens `writer` on `utf8_path` for `frames` frames of `channels` channels
// at `rate` in `format` (its container already resolved, not AUTO), with
// the container switch by size applied. *written_container (when not null)
// receives the container used. Returns what SndfileWriter::open returns,
// or 8 for AUTO or an AIFF file that would pass 4 GiB, 13 for unknown
// fields. Lossy encodings get their bitrate (or quality) and every
// container that carries them its tags before any sample is written.
// Float data is written with write_f32, integer data as s32 words
// holding the sample in their top bits (see SaveQuantizer).
[[nodiscard]] Status save_open_writer(SndfileWriter& writer, const char* utf8_path, const SaveFormat& format,
                                      uint64_t rate, uint64_t channels, uint64_t frames, int* written_container);

// Float to integer conversion for `bits` of 16, 24 or 32: the sample times
// 2^(bits-1) plus, when dithering, a TPDF value of +-1 LSB peak (the sum of
// two independent uniform values in [-0.5, 0.5) LSB), rounded to nearest
// and clipped to the integer range, then shifted into the top bits of an
// int32 (libsndfile's layout for integer writes). NaN becomes 0. The
// generator is seeded from the bytes of the output's path, so the same
// name gets the same dither in every run, whatever else the run does.
struct SaveQuantizer {
  int bits;
  bool dither;
  uint64_t state;
};
void save_quantizer_init(SaveQuantizer& q, int bits, bool dither, const char* seed_text);
// Converts `count` interleaved samples; counts clipped ones into *clipped.
void save_quantize(SaveQuantizer& q, const float* in, int32_t* out, size_t count, uint64_t* clipped);
