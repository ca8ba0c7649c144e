// String storage, access, modification and comparison. The codecs and the
// conversions live in string_codec.cpp and string_locale.cpp.
#include "runtime/string.h"

#include <cstring>
#include <cwctype>

#include "runtime/alloc.h"
#include "runtime/string_internal.h"

namespace string_detail {

uint64_t round32(uint64_t n) { return (n + 31) & ~uint64_t(31); }

// Largest capacity we ever ask for; keeps capacity * 4 and the rounding
// far away from wrapping.
static const uint64_t kMaxCapacity = (uint64_t(1) << 60);

bool reallocate(String* s, uint64_t capacity) {
  if (capacity <= s->capacity) return true;
  if (capacity > kMaxCapacity) return false;
  uint32_t* p = static_cast<uint32_t*>(mem_realloc(s->chars, capacity * sizeof(uint32_t)));
  if (!p) return false;
  s->chars = p;
  s->capacity = capacity;
  return true;
}

bool reserve_for_assign(String* s, uint64_t length) {
  uint64_t want = round32(length);
  if (want < length) return false;
  return reallocate(s, want);
}

bool reallocate_run(String* s, uint64_t n) {
  if (s->length + n <= s->capacity) return true;
  if (n > kMaxCapacity) return false;
  uint64_t grow = n > s->capacity / 2 ? n : s->capacity / 2;
  return reallocate(s, round32(s->capacity + grow));
}

void free_cache(String* s) {
  if (!s->cache) return;
  mem_free(s->cache->data);
  mem_free(s->cache);
  s->cache = nullptr;
}

// Adjusts a possibly negative position; false when it falls outside
// 0..length.
bool resolve(const String* s, int64_t* pos) {
  int64_t p = *pos;
  if (p < 0) p += static_cast<int64_t>(s->length);
  if (p < 0 || static_cast<uint64_t>(p) > s->length) return false;
  *pos = p;
  return true;
}

bool resolve_range(const String* s, int64_t* start, int64_t* end) {
  return resolve(s, start) && resolve(s, end) && *start <= *end;
}

}  // namespace string_detail

using namespace string_detail;

void string_init(String* s) { std::memset(s, 0, sizeof(*s)); }

void string_free(String* s) {
  mem_free(s->chars);
  free_cache(s);
  string_init(s);
}

void string_clear(String* s) {
  s->length = 0;
  s->hash = 0;
  free_cache(s);
}

void string_truncate(String* s, uint64_t n) {
  if (n >= s->length) return;
  s->length = n;
  s->hash = 0;
  free_cache(s);
}

void string_swap(String* a, String* b) {
  String t = *a;
  a->length = b->length;
  a->capacity = b->capacity;
  a->chars = b->chars;
  a->hash = b->hash;
  b->length = t.length;
  b->capacity = t.capacity;
  b->chars = t.chars;
  b->hash = t.hash;
}

void string_move(String* dst, String* src) {
  if (dst == src) return;
  string_free(dst);
  *dst = *src;
  string_init(src);
}

void string_fit(String* s) {
  if (s->capacity == s->length) return;
  if (s->length == 0) {
    mem_free(s->chars);
    s->chars = nullptr;
    s->capacity = 0;
    return;
  }
  uint32_t* p = static_cast<uint32_t*>(mem_realloc(s->chars, s->length * sizeof(uint32_t)));
  if (!p) return;
  s->chars = p;
  s->capacity = s->length;
}

String* string_clone(const String* src) {
  String* c = static_cast<String*>(mem_alloc(sizeof(String)));
  if (!c) return nullptr;
  string_init(c);
  if (src->length) {
    c->chars = static_cast<uint32_t*>(mem_alloc(src->length * sizeof(uint32_t)));
    if (!c->chars) {
      mem_free(c);
      return nullptr;
    }
    std::memcpy(c->chars, src->chars, src->length * sizeof(uint32_t));
    c->length = c->capacity = src->length;
    c->hash = src->hash;
  }
  return c;
}

String* string_take(String* src) {
  String* c = static_cast<String*>(mem_alloc(sizeof(String)));
  if (!c) return nullptr;
  *c = *src;
  string_init(src);
  return c;
}

void string_delete(String* s) {
  if (!s) return;
  string_free(s);
  mem_free(s);
}

bool string_assign_chars(String* dst, const uint32_t* chars, uint64_t count) {
  if (!reserve_for_assign(dst, count)) return false;
  if (count) std::memmove(dst->chars, chars, count * sizeof(uint32_t));
  dst->length = count;
  dst->hash = 0;
  free_cache(dst);
  return true;
}

bool string_assign(String* dst, const String* src) {
  if (dst == src) return true;
  uint64_t hash = src->hash;
  if (!string_assign_chars(dst, src->chars, src->length)) return false;
  dst->hash = hash;
  return true;
}

bool string_assign_range(String* dst, const String* src, int64_t start, int64_t end) {
  if (!resolve_range(src, &start, &end)) return false;
  // When dst == src the new length is not above the old one, so the storage
  // is not reallocated and the memmove inside stays valid.
  return string_assign_chars(dst, src->chars + start, static_cast<uint64_t>(end - start));
}

bool string_assign_range(String* dst, const String* src, int64_t start) {
  return string_assign_range(dst, src, start, static_cast<int64_t>(src->length));
}

uint32_t string_at(const String* s, int64_t i) {
  if (i < 0) i += static_cast<int64_t>(s->length);
  if (i < 0 || static_cast<uint64_t>(i) >= s->length) return 0;
  return s->chars[i];
}

uint32_t string_first(const String* s) { return s->length ? s->chars[0] : 0; }
uint32_t string_last(const String* s) { return s->length ? s->chars[s->length - 1] : 0; }

int64_t string_find(const String* s, int64_t from, uint32_t c) {
  if (!resolve(s, &from)) return -1;
  for (uint64_t i = static_cast<uint64_t>(from); i < s->length; ++i)
    if (s->chars[i] == c) return static_cast<int64_t>(i);
  return -1;
}

int64_t string_find_last(const String* s, uint32_t c) {
  for (uint64_t i = s->length; i-- > 0;)
    if (s->chars[i] == c) return static_cast<int64_t>(i);
  return -1;
}

bool string_ends_with(const String* s, uint32_t c) { return s->length && s->chars[s->length - 1] == c; }

bool string_has_nul(const String* s) {
  if (!s) return false;
  for (uint64_t i = 0; i < s->length; ++i)
    if (s->chars[i] == 0) return true;
  return false;
}

bool string_append_char(String* s, uint32_t c) {
  if (s->length == s->capacity) {
    uint64_t grow = s->capacity < 2 ? s->capacity / 2 + 1 : s->capacity / 2;
    if (!reallocate(s, round32(s->capacity + grow))) return false;
  }
  s->chars[s->length++] = c;
  s->hash = 0;
  return true;
}

bool string_append_chars(String* s, const uint32_t* chars, uint64_t n) {
  if (n == 0) return true;
  // Appending a piece of the string itself: remember the offset, since the
  // storage may move.
  bool inside = s->chars && chars >= s->chars && chars < s->chars + s->capacity;
  uint64_t offset = inside ? static_cast<uint64_t>(chars - s->chars) : 0;
  if (!reallocate_run(s, n)) return false;
  if (inside) chars = s->chars + offset;
  std::memmove(s->chars + s->length, chars, n * sizeof(uint32_t));
  s->length += n;
  s->hash = 0;
  return true;
}

bool string_append(String* s, const String* other) { return string_append_chars(s, other->chars, other->length); }

bool string_append_ascii(String* s, const char* text) {
  uint64_t n = std::strlen(text);
  if (n == 0) return true;
  if (!reallocate_run(s, n)) return false;
  for (uint64_t i = 0; i < n; ++i) s->chars[s->length + i] = static_cast<unsigned char>(text[i]);
  s->length += n;
  s->hash = 0;
  return true;
}

bool string_pop(String* s) {
  if (!s->length) return false;
  --s->length;
  s->hash = 0;
  return true;
}

uint64_t string_replace_char(String* s, uint32_t from, uint32_t to) {
  uint64_t n = 0;
  for (uint64_t i = 0; i < s->length; ++i) {
    if (s->chars[i] == from) {
      s->chars[i] = to;
      ++n;
    }
  }
  if (n) s->hash = 0;
  return n;
}

void string_reverse(String* s) {
  if (s->length < 2) return;
  for (uint64_t i = 0, j = s->length - 1; i < j; ++i, --j) {
    uint32_t t = s->chars[i];
    s->chars[i] = s->chars[j];
    s->chars[j] = t;
  }
  s->hash = 0;
}

void string_to_lower(String* s) {
  for (uint64_t i = 0; i < s->length; ++i) s->chars[i] = static_cast<uint32_t>(towlower(static_cast<wint_t>(s->chars[i])));
  s->hash = 0;
}

void string_to_upper(String* s) {
  for (uint64_t i = 0; i < s->length; ++i) s->chars[i] = static_cast<uint32_t>(towupper(static_cast<wint_t>(s->chars[i])));
  s->hash = 0;
}

int64_t string_compare_chars(const String* a, const uint32_t* chars, uint64_t count) {
  uint64_t n = a->length < count ? a->length : count;
  for (uint64_t i = 0; i < n; ++i) {
    int64_t x = static_cast<int32_t>(a->chars[i]);
    int64_t y = static_cast<int32_t>(chars[i]);
    if (x != y) return x - y;
  }
  if (a->length > n) return static_cast<int32_t>(a->chars[n]);
  if (count > n) return -static_cast<int64_t>(static_cast<int32_t>(chars[n]));
  return 0;
}

int64_t string_compare(const String* a, const String* b) { return string_compare_chars(a, b->chars, b->length); }

static int64_t compare_cstr(const String* a, const char* text, bool fold) {
  const unsigned char* t = reinterpret_cast<const unsigned char*>(text);
  uint64_t i = 0;
  for (;; ++i) {
    bool a_end = i >= a->length;
    bool t_end = t[i] == 0;
    if (a_end || t_end) {
      if (a_end && t_end) return 0;
      if (a_end) {
        int64_t y = fold ? static_cast<int64_t>(towlower(t[i])) : t[i];
        return -y;
      }
      uint32_t c = a->chars[i];
      if (fold) c = static_cast<uint32_t>(towlower(static_cast<wint_t>(c)));
      return static_cast<int32_t>(c);
    }
    uint32_t c = a->chars[i];
    uint32_t d = t[i];
    if (fold) {
      c = static_cast<uint32_t>(towlower(static_cast<wint_t>(c)));
      d = static_cast<uint32_t>(towlower(static_cast<wint_t>(d)));
    }
    int64_t x = static_cast<int32_t>(c);
    int64_t y = static_cast<int32_t>(d);
    if (x != y) return x - y;
  }
}

int64_t string_compare_cstr(const String* a, const char* text) { return compare_cstr(a, text, false); }
int64_t string_compare_cstr_nocase(const String* a, const char* text) { return compare_cstr(a, text, true); }

bool string_equals(const String* a, const uint32_t* chars, uint64_t count) {
  if (a->length != count) return false;
  return count == 0 || std::memcmp(a->chars, chars, count * sizeof(uint32_t)) == 0;
}

uint64_t string_hash(String* s) {
  if (s->hash) return s->hash;
  uint64_t h = 0;
  for (uint64_t i = 0; i < s->length; ++i) h = (h * 65557u) ^ s->chars[i];
  s->hash = h;
  return h;
}
