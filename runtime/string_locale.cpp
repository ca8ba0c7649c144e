// Conversions between String and the character set of the locale (or a
// named one) through iconv.
#include <cerrno>
#include <cstring>

#include "runtime/alloc.h"
#include "runtime/charset.h"
#include "runtime/string.h"
#include "runtime/string_internal.h"

using namespace string_detail;

bool string_from_locale(String* s, const char* bytes, uint64_t count, const char* charset) {
  if (!bytes) return false;
  if (count == 0) {
    string_clear(s);
    return true;
  }
  iconv_t cd;
  if (charset_open_decoder(charset, &cd) != 0) return string_from_utf8(s, bytes, count);

  // The code points are gathered in a fresh String so that any failure
  // leaves `s` untouched.
  String fresh;
  string_init(&fresh);
  char buffer[512];
  size_t pending = 0;  // bytes of a partial unit kept at the front of buffer
  char* in = const_cast<char*>(bytes);
  size_t in_left = count;
  bool ok = true;
  bool flushing = false;  // the last call (null input) emits any shift state
  for (;;) {
    char* out = buffer + pending;
    size_t out_left = sizeof(buffer) - pending;
    size_t r = flushing ? iconv(cd, nullptr, nullptr, &out, &out_left) : iconv(cd, &in, &in_left, &out, &out_left);
    int err = r == static_cast<size_t>(-1) ? errno : 0;
    size_t filled = static_cast<size_t>(out - buffer);
    size_t units = filled / 4;
    if (units) {
      uint32_t cps[128];
      std::memcpy(cps, buffer, units * 4);
      if (!string_append_chars(&fresh, cps, units)) {
        ok = false;
        break;
      }
    }
    pending = filled - units * 4;
    std::memmove(buffer, buffer + units * 4, pending);
    if (err && err != E2BIG) {
      ok = false;
      break;
    }
    if (err == E2BIG) continue;
    if (flushing) break;
    if (in_left == 0) flushing = true;
  }
  charset_close(cd);
  if (!ok) {
    string_free(&fresh);
    return false;
  }
  mem_free(s->chars);
  s->chars = fresh.chars;
  s->length = fresh.length;
  s->capacity = fresh.capacity;
  s->hash = 0;
  free_cache(s);
  return true;
}

namespace {

bool is_kept_byte(uint32_t c) { return c >= STRING_BYTE_BASE + 0x80 && c <= STRING_BYTE_BASE + 0xFF; }

// The range with every kept byte spelled \xHH, encoded through a copy and
// placed in s's cache.
const char* to_locale_escaped(String* s, int64_t start, int64_t end, const char* charset) {
  String t;
  string_init(&t);
  static const char kHex[] = "0123456789ABCDEF";
  bool ok = true;
  for (int64_t i = start; ok && i < end; ++i) {
    const uint32_t c = s->chars[i];
    if (is_kept_byte(c)) {
      const uint32_t b = c - STRING_BYTE_BASE;
      const uint32_t escaped[4] = {'\\', 'x', uint32_t(kHex[b >> 4]), uint32_t(kHex[b & 15])};
      ok = string_append_chars(&t, escaped, 4);
    } else {
      ok = string_append_chars(&t, &c, 1);
    }
  }
  const char* text = ok ? string_to_locale(&t, 0, static_cast<int64_t>(t.length), charset) : nullptr;
  const char* result = nullptr;
  if (text && ensure_cache(s) && cache_reserve(s->cache, t.cache->used, 0)) {
    std::memcpy(s->cache->data, text, t.cache->used);
    s->cache->used = t.cache->used;
    result = s->cache->data;
  }
  string_free(&t);
  return result;
}

}  // namespace

const char* string_to_locale(String* s, int64_t start, int64_t end, const char* charset) {
  if (!resolve_range(s, &start, &end)) return nullptr;
  for (int64_t i = start; i < end; ++i) {
    if (is_kept_byte(s->chars[i])) return to_locale_escaped(s, start, end, charset);
  }
  iconv_t cd;
  if (charset_open_encoder(charset, &cd) != 0) return string_to_utf8(s, start, end);
  if (!ensure_cache(s)) {
    charset_close(cd);
    return nullptr;
  }
  StringCache* c = s->cache;
  c->used = 0;
  // The code points are native 32-bit values, which on this little-endian
  // target are UTF-32LE (and WCHAR_T) bytes already.
  char* in = reinterpret_cast<char*>(s->chars + start);
  size_t in_left = static_cast<size_t>(end - start) * 4;
  bool flushing = false;
  for (;;) {
    if (c->allocated - c->used < 16 && !cache_reserve(c, c->allocated + 512, 0)) {
      charset_close(cd);
      return nullptr;
    }
    char* out = c->data + c->used;
    size_t out_left = c->allocated - c->used;
    size_t r = flushing ? iconv(cd, nullptr, nullptr, &out, &out_left)
                        : iconv(cd, in_left ? &in : nullptr, &in_left, &out, &out_left);
    int err = r == static_cast<size_t>(-1) ? errno : 0;
    c->used = static_cast<uint64_t>(out - c->data);
    if (err == E2BIG) continue;
    if (err) {
      charset_close(cd);
      return nullptr;
    }
    if (flushing) break;
    if (in_left == 0) flushing = true;
  }
  charset_close(cd);
  if (!cache_reserve(c, c->used + 4, 0)) return nullptr;
  std::memset(c->data + c->used, 0, 4);
  c->used += 4;
  return c->data;
}

const char* string_to_locale(String* s) { return string_to_locale(s, 0, static_cast<int64_t>(s->length), nullptr); }
