#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/status.h"

// In-memory sample encodings of the audio stream layer.
//
// A SampleType is kind * 4 + byte order, valid in 4..43 with a byte order of
// 0, 1 or 2. Byte order 0 means "no preference": in a request for writing it
// leaves the order to the file format; everywhere else it is taken as the
// host order. 1 is little-endian (the host order), 2 is big-endian.
//
// 24-bit samples use one layout throughout: a 4-byte integer in the stated
// byte order whose low 24 bits hold the value (sign-extended for s24).
using SampleType = uint32_t;

enum SampleKind : uint32_t {
  SAMPLE_KIND_U8 = 1,
  SAMPLE_KIND_S8 = 2,
  SAMPLE_KIND_U16 = 3,
  SAMPLE_KIND_S16 = 4,
  SAMPLE_KIND_U24 = 5,
  SAMPLE_KIND_S24 = 6,
  SAMPLE_KIND_U32 = 7,
  SAMPLE_KIND_S32 = 8,
  SAMPLE_KIND_F32 = 9,
  SAMPLE_KIND_F64 = 10,
};

enum SampleOrder : uint32_t {
  SAMPLE_ORDER_ANY = 0,
  SAMPLE_ORDER_LITTLE = 1,
  SAMPLE_ORDER_BIG = 2,
};

constexpr SampleType sample_type_make(uint32_t kind, uint32_t order) { return kind * 4 + order; }

// The little-endian types of the typed stream operations, and the
// float without a byte order of the output format request.
constexpr SampleType SAMPLE_U8 = sample_type_make(SAMPLE_KIND_U8, SAMPLE_ORDER_LITTLE);    // 5
constexpr SampleType SAMPLE_S8 = sample_type_make(SAMPLE_KIND_S8, SAMPLE_ORDER_LITTLE);    // 9
constexpr SampleType SAMPLE_U16 = sample_type_make(SAMPLE_KIND_U16, SAMPLE_ORDER_LITTLE);  // 13
constexpr SampleType SAMPLE_S16 = sample_type_make(SAMPLE_KIND_S16, SAMPLE_ORDER_LITTLE);  // 17
constexpr SampleType SAMPLE_U24 = sample_type_make(SAMPLE_KIND_U24, SAMPLE_ORDER_LITTLE);  // 21
constexpr SampleType SAMPLE_S24 = sample_type_make(SAMPLE_KIND_S24, SAMPLE_ORDER_LITTLE);  // 25
constexpr SampleType SAMPLE_U32 = sample_type_make(SAMPLE_KIND_U32, SAMPLE_ORDER_LITTLE);  // 29
constexpr SampleType SAMPLE_S32 = sample_type_make(SAMPLE_KIND_S32, SAMPLE_ORDER_LITTLE);  // 33
constexpr SampleType SAMPLE_F32 = sample_type_make(SAMPLE_KIND_F32, SAMPLE_ORDER_LITTLE);  // 37
constexpr SampleType SAMPLE_F64 = sample_type_make(SAMPLE_KIND_F64, SAMPLE_ORDER_LITTLE);  // 41
constexpr SampleType SAMPLE_F32_ANY_ORDER = sample_type_make(SAMPLE_KIND_F32, SAMPLE_ORDER_ANY);  // 36

constexpr uint32_t sample_type_kind(SampleType t) { return t >> 2; }
constexpr uint32_t sample_type_order(SampleType t) { return t & 3; }
constexpr bool sample_type_valid(SampleType t) { return t >= 4 && t <= 43 && (t & 3) != 3; }

// Bytes one sample of the type takes in a buffer (24-bit kinds count 4);
// 0 for an invalid type.
size_t sample_type_bytes(SampleType t);

// Converts `count` samples of type `src_type` at `src` into `dst_type` at
// `dst` (the buffers must not overlap). Integer to float uses the
// single-precision factors 1/127, 1/32767, 1/8388607 and 2^-31 after
// removing the offset of unsigned kinds; f64 to f32 rounds to nearest.
// Towards integers the value is scaled by the same full scale, rounded to
// nearest and clipped. Returns false (nothing written) when either type is
// invalid.
[[nodiscard]] bool convert_samples(void* dst, SampleType dst_type, const void* src, SampleType src_type,
                                   size_t count);

// A stream's description: rate in Hz, channels, length in frames
// (AUDIO_FRAMES_UNKNOWN while unknown) and the sample type.
struct AudioFormat {
  uint64_t sample_rate;
  uint64_t channels;
  uint64_t frames;
  uint64_t type;
};

constexpr uint64_t AUDIO_FRAMES_UNKNOWN = ~uint64_t(0);

// File format code for writing: the high 16 bits choose the container
// (libsndfile's major format h * 0x10000), the low 16 bits the encoding
// (1 = PCM of the request's sample type, 2.. = the compressed encodings).
using AudioFileFormat = uint32_t;

constexpr AudioFileFormat AUDIO_FILE_WAV = 0x10001;  // WAV, PCM chosen by sample type

// Translates a file format code and the request's sample type into
// libsndfile's format word (container | subtype | endianness). Returns 0 with
// *out set, or 8 (STATUS_UNSUPPORTED) when the container, the encoding, the
// sample type or its byte order cannot be translated.
[[nodiscard]] Status audio_file_format_to_sndfile(AudioFileFormat code, SampleType type, int* out);

// The SampleType a reader reports for a libsndfile subtype (the low 16 bits
// of its format word): the PCM widths and the two floats keep their own,
// every other (compressed) encoding is delivered as f32.
SampleType sample_type_from_sndfile(int format);
