#include "audio/sample_type.h"

#include <cmath>
#include <cstring>

#include <sndfile.h>

namespace {

// Full scale of each integer kind: the divisor of the to-float direction
// (as a single-precision factor) and the multiplier of the other one.
struct KindInfo {
  uint32_t bytes;
  int64_t offset;     // subtracted from unsigned values before scaling
  double full_scale;  // 127, 32767, 8388607 or 2^31
  int64_t min, max;   // clipping range after scaling, before the offset
};

const KindInfo kKinds[11] = {
    {0, 0, 0, 0, 0},
    {1, 128, 127.0, -128, 127},                                   // u8
    {1, 0, 127.0, -128, 127},                                     // s8
    {2, 32768, 32767.0, -32768, 32767},                           // u16
    {2, 0, 32767.0, -32768, 32767},                               // s16
    {4, 8388608, 8388607.0, -8388608, 8388607},                   // u24
    {4, 0, 8388607.0, -8388608, 8388607},                         // s24
    {4, 2147483648LL, 2147483648.0, -2147483648LL, 2147483647},   // u32
    {4, 0, 2147483648.0, -2147483648LL, 2147483647},              // s32
    {4, 0, 1.0, 0, 0},                                            // f32
    {8, 0, 1.0, 0, 0},                                            // f64
};

// The single-precision factors of the integer-to-float direction.
float to_f32_factor(uint32_t kind) {
  switch (kind) {
    case SAMPLE_KIND_U8:
    case SAMPLE_KIND_S8: return 1.0f / 127.0f;
    case SAMPLE_KIND_U16:
    case SAMPLE_KIND_S16: return 1.0f / 32767.0f;
    case SAMPLE_KIND_U24:
    case SAMPLE_KIND_S24: return 1.0f / 8388607.0f;
    default: return 1.0f / 2147483648.0f;
  }
}

uint64_t load_bits(const uint8_t* p, uint32_t bytes, bool big) {
  uint64_t v = 0;
  if (big) {
    for (uint32_t i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  } else {
    for (uint32_t i = bytes; i-- > 0;) v = (v << 8) | p[i];
  }
  return v;
}

void store_bits(uint8_t* p, uint32_t bytes, bool big, uint64_t v) {
  if (big) {
    for (uint32_t i = bytes; i-- > 0;) { p[i] = uint8_t(v); v >>= 8; }
  } else {
    for (uint32_t i = 0; i < bytes; ++i) { p[i] = uint8_t(v); v >>= 8; }
  }
}

// The integer value of one sample of an integer kind with the unsigned
// offset removed, so that 0 is silence.
int64_t load_centered(const uint8_t* p, uint32_t kind, bool big) {
  const KindInfo& k = kKinds[kind];
  uint64_t bits = load_bits(p, k.bytes, big);
  switch (kind) {
    case SAMPLE_KIND_S8: return int8_t(bits);
    case SAMPLE_KIND_S16: return int16_t(bits);
    case SAMPLE_KIND_U24: return int64_t(bits & 0xFFFFFF) - k.offset;
    case SAMPLE_KIND_S24: return int64_t(int32_t(uint32_t(bits) << 8) >> 8);
    case SAMPLE_KIND_S32: return int32_t(bits);
    default: return int64_t(bits) - k.offset;  // u8, u16, u32
  }
}

float load_f32(const uint8_t* p, uint32_t kind, bool big) {
  if (kind == SAMPLE_KIND_F32) {
    uint32_t bits = uint32_t(load_bits(p, 4, big));
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
  }
  if (kind == SAMPLE_KIND_F64) {
    uint64_t bits = load_bits(p, 8, big);
    double d;
    std::memcpy(&d, &bits, 8);
    return float(d);
  }
  return float(load_centered(p, kind, big)) * to_f32_factor(kind);
}

double load_f64(const uint8_t* p, uint32_t kind, bool big) {
  if (kind == SAMPLE_KIND_F32) return load_f32(p, kind, big);
  if (kind == SAMPLE_KIND_F64) {
    uint64_t bits = load_bits(p, 8, big);
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
  }
  return double(load_centered(p, kind, big)) / kKinds[kind].full_scale;
}

void store_value(uint8_t* p, uint32_t kind, bool big, double v) {
  const KindInfo& k = kKinds[kind];
  if (kind == SAMPLE_KIND_F32) {
    float f = float(v);
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    store_bits(p, 4, big, bits);
    return;
  }
  if (kind == SAMPLE_KIND_F64) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    store_bits(p, 8, big, bits);
    return;
  }
  double scaled = std::nearbyint(v * k.full_scale);
  int64_t x;
  if (!(scaled > double(k.min)))  // also catches NaN
    x = std::isnan(scaled) ? 0 : k.min;
  else if (scaled >= double(k.max))
    x = k.max;
  else
    x = int64_t(scaled);
  store_bits(p, k.bytes, big, uint64_t(x + k.offset));
}

}  // namespace

size_t sample_type_bytes(SampleType t) {
  return sample_type_valid(t) ? kKinds[sample_type_kind(t)].bytes : 0;
}

bool convert_samples(void* dst, SampleType dst_type, const void* src, SampleType src_type, size_t count) {
  if (!sample_type_valid(dst_type) || !sample_type_valid(src_type)) return false;
  uint32_t dk = sample_type_kind(dst_type), sk = sample_type_kind(src_type);
  bool dbig = sample_type_order(dst_type) == SAMPLE_ORDER_BIG;
  bool sbig = sample_type_order(src_type) == SAMPLE_ORDER_BIG;
  uint32_t db = kKinds[dk].bytes, sb = kKinds[sk].bytes;
  uint8_t* d = static_cast<uint8_t*>(dst);
  const uint8_t* s = static_cast<const uint8_t*>(src);
  if (dk == sk && dbig == sbig) {
    std::memcpy(d, s, count * db);
    return true;
  }
  if (dk == SAMPLE_KIND_F32) {
    for (size_t i = 0; i < count; ++i) {
      float f = load_f32(s + i * sb, sk, sbig);
      uint32_t bits;
      std::memcpy(&bits, &f, 4);
      store_bits(d + i * 4, 4, dbig, bits);
    }
    return true;
  }
  for (size_t i = 0; i < count; ++i) store_value(d + i * db, dk, dbig, load_f64(s + i * sb, sk, sbig));
  return true;
}

Status audio_file_format_to_sndfile(AudioFileFormat code, SampleType type, int* out) {
  uint32_t major = code >> 16;
  uint32_t selector = code & 0xFFFF;
  bool major_ok = (major >= 0x01 && major <= 0x08) || (major >= 0x0A && major <= 0x13) ||
                  (major >= 0x16 && major <= 0x19) || (major >= 0x20 && major <= 0x22);
  if (!major_ok) return STATUS_UNSUPPORTED;
  if (!sample_type_valid(type)) return STATUS_UNSUPPORTED;
  int subtype;
  switch (selector) {
    case 1:
      switch (sample_type_kind(type)) {
        case SAMPLE_KIND_U8: subtype = SF_FORMAT_PCM_U8; break;
        case SAMPLE_KIND_S8: subtype = SF_FORMAT_PCM_S8; break;
        case SAMPLE_KIND_U16:
        case SAMPLE_KIND_S16: subtype = SF_FORMAT_PCM_16; break;
        case SAMPLE_KIND_U24:
        case SAMPLE_KIND_S24: subtype = SF_FORMAT_PCM_24; break;
        case SAMPLE_KIND_U32:
        case SAMPLE_KIND_S32: subtype = SF_FORMAT_PCM_32; break;
        case SAMPLE_KIND_F32: subtype = SF_FORMAT_FLOAT; break;
        default: subtype = SF_FORMAT_DOUBLE; break;
      }
      break;
    case 2: subtype = SF_FORMAT_ULAW; break;
    case 3: subtype = SF_FORMAT_ALAW; break;
    case 4: subtype = SF_FORMAT_IMA_ADPCM; break;
    case 5: subtype = SF_FORMAT_MS_ADPCM; break;
    case 6: subtype = SF_FORMAT_GSM610; break;
    case 7: subtype = SF_FORMAT_VOX_ADPCM; break;
    case 8: subtype = SF_FORMAT_G721_32; break;
    case 9: subtype = SF_FORMAT_G723_24; break;
    case 10: subtype = SF_FORMAT_G723_40; break;
    case 11: subtype = SF_FORMAT_DWVW_12; break;
    case 12: subtype = SF_FORMAT_DWVW_16; break;
    case 13: subtype = SF_FORMAT_DWVW_24; break;
    case 14: subtype = SF_FORMAT_DWVW_N; break;
    case 15: subtype = SF_FORMAT_DPCM_8; break;
    case 16: subtype = SF_FORMAT_DPCM_16; break;
    case 17: subtype = SF_FORMAT_VORBIS; break;
    default: return STATUS_UNSUPPORTED;
  }
  int endian = 0;
  switch (sample_type_order(type)) {
    case SAMPLE_ORDER_LITTLE: endian = SF_ENDIAN_LITTLE; break;
    case SAMPLE_ORDER_BIG: endian = SF_ENDIAN_BIG; break;
    default: break;
  }
  *out = int(major << 16) | subtype | endian;
  return STATUS_OK;
}

SampleType sample_type_from_sndfile(int format) {
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8: return SAMPLE_S8;
    case SF_FORMAT_PCM_16: return SAMPLE_S16;
    case SF_FORMAT_PCM_24: return SAMPLE_S24;
    case SF_FORMAT_PCM_32: return SAMPLE_S32;
    case SF_FORMAT_PCM_U8: return SAMPLE_U8;
    case SF_FORMAT_DOUBLE: return SAMPLE_F64;
    default: return SAMPLE_F32;
  }
}
