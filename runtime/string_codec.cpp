// The built-in UTF-8 and UTF-16 codecs, decoding into a String, UTF-8
// encoding through the conversion cache, and formatted text.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/alloc.h"
#include "runtime/string.h"
#include "runtime/string_internal.h"

using namespace string_detail;

int64_t decode_utf8_char(const uint8_t** cursor, uint64_t* left, bool lenient) {
  if (*left == 0) return UTF_DECODE_END;
  const uint8_t* p = *cursor;
  uint8_t lead = p[0];
  if (lead < 0x80) {
    // A zero byte is not stepped over: only the count goes down.
    if (lead != 0) ++*cursor;
    --*left;
    return lead;
  }
  uint64_t more;
  uint32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF7) {
    more = 3;
    value = lead & 0x07;
  } else {
    ++*cursor;
    --*left;
    return UTF_REPLACEMENT;
  }
  if (*left < more + 1) {
    if (!lenient) return UTF_DECODE_MORE;
    *cursor += *left;
    *left = 0;
    return UTF_REPLACEMENT;
  }
  for (uint64_t i = 1; i <= more; ++i) {
    uint8_t b = p[i];
    if (b < 0x80 || b > 0xBF) {
      // Resume at the offending byte, except that a zero byte there is
      // skipped as well.
      uint64_t used = b == 0 ? i + 1 : i;
      *cursor += used;
      *left -= used;
      return UTF_REPLACEMENT;
    }
    value = (value << 6) | (b & 0x3F);
  }
  *cursor += more + 1;
  *left -= more + 1;
  if (more == 2 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF))) return UTF_REPLACEMENT;
  if (more == 3 && value < 0x10000) return UTF_REPLACEMENT;
  return value;
}

unsigned encode_utf8_char(uint32_t c, uint8_t* out) {
  if (c < 0x80) {
    out[0] = static_cast<uint8_t>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
    out[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c <= 0xFFFF) {
    out[0] = static_cast<uint8_t>(0xE0 | (c >> 12));
    out[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    return 3;
  }
  if (c <= 0x1FFFFF) {
    out[0] = static_cast<uint8_t>(0xF0 | (c >> 18));
    out[1] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    return 4;
  }
  out[0] = 0xEF;
  out[1] = 0xBF;
  out[2] = 0xBD;
  return 3;
}

static bool is_high(uint16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
static bool is_low(uint16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

int64_t decode_utf16_char(const uint16_t** cursor, uint64_t* left, bool lenient) {
  if (*left == 0) return UTF_DECODE_END;
  const uint16_t* p = *cursor;
  uint16_t u = p[0];
  if (u < 0xD800 || u > 0xDFFF) {
    ++*cursor;
    --*left;
    return u;
  }
  if (*left < 2) {
    if (!lenient) return UTF_DECODE_MORE;
    ++*cursor;
    --*left;
    return UTF_REPLACEMENT;
  }
  uint16_t v = p[1];
  uint16_t high, low;
  if (is_high(u) && is_low(v)) {
    high = u;
    low = v;
  } else if (is_low(u) && is_high(v)) {
    high = v;
    low = u;
  } else {
    ++*cursor;
    --*left;
    return UTF_REPLACEMENT;
  }
  *cursor += 2;
  *left -= 2;
  return 0x10000 + ((static_cast<uint32_t>(high & 0x3FF) << 10) | (low & 0x3FF));
}

// Decoding into a String runs the decoder twice: once to count the code
// points, so that the storage is sized (and can fail) before the content
// is touched, and once to store them.
template <class Unit, class Decode>
static bool decode_into(String* s, const Unit* units, uint64_t count, Decode decode) {
  uint64_t n = 0;
  {
    const Unit* p = units;
    uint64_t left = count;
    while (decode(&p, &left) >= 0) ++n;
  }
  if (!reserve_for_assign(s, n)) return false;
  const Unit* p = units;
  uint64_t left = count;
  uint64_t i = 0;
  for (int64_t c; (c = decode(&p, &left)) >= 0;) s->chars[i++] = static_cast<uint32_t>(c);
  s->length = n;
  s->hash = 0;
  free_cache(s);
  return true;
}

bool string_from_utf8(String* s, const char* bytes, uint64_t count) {
  return decode_into(s, reinterpret_cast<const uint8_t*>(bytes), count,
                     [](const uint8_t** p, uint64_t* left) { return decode_utf8_char(p, left, true); });
}

bool string_from_name_bytes(String* s, const char* bytes, uint64_t count) {
  return decode_into(s, reinterpret_cast<const uint8_t*>(bytes), count, [](const uint8_t** p, uint64_t* left) {
    const uint8_t* start = *p;
    const uint64_t before = *left;
    int64_t c = decode_utf8_char(p, left, true);
    if (c != UTF_REPLACEMENT) return c;
    // U+FFFD written out is a character like any other.
    if (before >= 3 && start[0] == 0xEF && start[1] == 0xBF && start[2] == 0xBD) return c;
    // Any other replacement stands for a byte outside a valid sequence
    // (never below 0x80): keep that one byte and go on after it.
    *p = start + 1;
    *left = before - 1;
    return static_cast<int64_t>(STRING_BYTE_BASE + start[0]);
  });
}

bool string_from_utf16(String* s, const uint16_t* units, uint64_t count) {
  return decode_into(s, units, count, [](const uint16_t** p, uint64_t* left) { return decode_utf16_char(p, left, true); });
}

bool string_from_latin1(String* s, const char* bytes, uint64_t count) {
  if (!reserve_for_assign(s, count)) return false;
  for (uint64_t i = 0; i < count; ++i) s->chars[i] = static_cast<unsigned char>(bytes[i]);
  s->length = count;
  s->hash = 0;
  free_cache(s);
  return true;
}

namespace string_detail {

bool ensure_cache(String* s) {
  if (s->cache) return true;
  s->cache = static_cast<StringCache*>(mem_calloc(1, sizeof(StringCache)));
  return s->cache != nullptr;
}

bool cache_reserve(StringCache* c, uint64_t bytes, uint64_t extra) {
  if (bytes <= c->allocated) return true;
  uint64_t size = bytes + extra;
  char* p = static_cast<char*>(mem_realloc(c->data, size));
  if (!p) return false;
  c->data = p;
  c->allocated = size;
  return true;
}

}  // namespace string_detail

// Appends `n` bytes to the cache, growing it to the needed size plus half of
// the bytes added.
static bool cache_append(StringCache* c, const uint8_t* bytes, uint64_t n) {
  if (!cache_reserve(c, c->used + n, n / 2)) return false;
  std::memcpy(c->data + c->used, bytes, n);
  c->used += n;
  return true;
}

const char* string_to_utf8(String* s, int64_t start, int64_t end) {
  if (!resolve_range(s, &start, &end)) return nullptr;
  if (!ensure_cache(s)) return nullptr;
  StringCache* c = s->cache;
  c->used = 0;
  uint8_t buffer[512];
  uint64_t fill = 0;
  for (int64_t i = start; i < end; ++i) {
    if (sizeof(buffer) - fill < 4) {
      if (!cache_append(c, buffer, fill)) return nullptr;
      fill = 0;
    }
    const uint32_t c = s->chars[i];
    if (c >= STRING_BYTE_BASE + 0x80 && c <= STRING_BYTE_BASE + 0xFF)
      buffer[fill++] = static_cast<uint8_t>(c - STRING_BYTE_BASE);
    else
      fill += encode_utf8_char(c, buffer + fill);
  }
  if (fill == sizeof(buffer)) {
    if (!cache_append(c, buffer, fill)) return nullptr;
    fill = 0;
  }
  buffer[fill++] = 0;
  if (!cache_append(c, buffer, fill)) return nullptr;
  return c->data;
}

const char* string_to_utf8(String* s) { return string_to_utf8(s, 0, static_cast<int64_t>(s->length)); }

// Appends n bytes, each as the code point of the same value (run rule).
static bool append_latin1(String* s, const char* bytes, uint64_t n) {
  if (n == 0) return true;
  if (!reallocate_run(s, n)) return false;
  for (uint64_t i = 0; i < n; ++i) s->chars[s->length + i] = static_cast<unsigned char>(bytes[i]);
  s->length += n;
  s->hash = 0;
  return true;
}

// Formats into a malloc'd text of the C library (not a project allocation),
// then assigns or appends it; -5 when vasprintf or the String fails.
static int64_t format_with(String* s, bool append, const char* format, va_list args) {
  char* text = nullptr;
  int n = vasprintf(&text, format, args);
  if (n < 0) return -5;
  bool ok = append ? append_latin1(s, text, static_cast<uint64_t>(n))
                   : string_from_latin1(s, text, static_cast<uint64_t>(n));
  free(text);
  return ok ? n : -5;
}

int64_t string_format(String* s, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int64_t r = format_with(s, false, format, args);
  va_end(args);
  return r;
}

int64_t string_append_format(String* s, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int64_t r = format_with(s, true, format, args);
  va_end(args);
  return r;
}
