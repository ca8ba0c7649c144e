#pragma once

#include <cstdint>

// String: the one text type of the system, a growable array of 32-bit code
// points with a cached hash and a cache of its last encoded form.
//
// Storage contract:
// - length <= capacity; `chars` is null while nothing was ever allocated.
// - Every change of the code points resets `hash` to 0; operations that
//   replace the whole content (clear, truncate, assign, from_*, format) also
//   free the conversion cache.
// - Code points are stored as decoded; nothing validates them.
// - Capacities are multiples of 32 code points (except heap clones and
//   fitted strings, whose capacity equals their length):
//     one code point into a full string: grow by capacity / 2 (+1 below 2),
//       rounded up to 32: 0 -> 32 -> 64 -> 96 -> 160 -> 256 -> 384 ...
//     a run of n that does not fit: grow by max(n, capacity / 2), rounded up;
//     assign: at least the new length rounded up to 32, never shrinks.
// - Positions and ranges accept negative values counted from the end
//   (-1 is the last code point; a range end of -1 stops before the last).
//   A position outside 0..length after adjustment makes the operation fail
//   with no change.
// - Every allocation failure leaves the String exactly as it was.
//
// Release: string_free accepts a zeroed String and may be called twice.

// Scratch buffer of the last encoded form (UTF-8 or locale bytes).
struct StringCache {
  uint64_t used;       // bytes of the last encoded text, terminator included
  uint64_t allocated;  // bytes allocated at `data`
  char* data;          // mem_alloc'd, owned
};

struct String {
  uint64_t length;     // code points in use
  uint64_t capacity;   // code points allocated
  uint32_t* chars;     // mem_alloc'd, owned; null until first growth
  uint64_t hash;       // cached hash, 0 = not computed
  StringCache* cache;  // owned conversion cache, or null
};

// ---- Construction and storage -------------------------------------------

void string_init(String* s);
// Frees code points and cache; all fields become 0.
void string_free(String* s);
// Length 0, keeps the allocation, frees the cache.
void string_clear(String* s);
// When n < length, length becomes n (cache freed, hash reset).
void string_truncate(String* s, uint64_t n);
// Exchanges length, capacity, code points and hash; each keeps its cache.
void string_swap(String* a, String* b);
// dst frees its content and takes over src's; src is left empty.
void string_move(String* dst, String* src);
// New heap String with a copy of src (capacity = length); null on failure.
[[nodiscard]] String* string_clone(const String* src);
// New heap String that takes src's content (src left empty); null on failure
// (src unchanged).
[[nodiscard]] String* string_take(String* src);
// Frees a heap String from string_clone/string_take and its content; null ok.
void string_delete(String* s);
// Makes the capacity equal to the length (none for the empty string), for
// a text that is kept and no longer grown, such as a name of a large
// configuration. When memory runs out the string stays as it was.
void string_fit(String* s);

// Copies src into dst (dst == src allowed). False only when memory runs out.
[[nodiscard]] bool string_assign(String* dst, const String* src);
// Copies src[start, end) / src[start, length) into dst. False (dst unchanged)
// for an index outside src or when memory runs out. dst may equal src.
[[nodiscard]] bool string_assign_range(String* dst, const String* src, int64_t start, int64_t end);
[[nodiscard]] bool string_assign_range(String* dst, const String* src, int64_t start);
// Sets dst to `count` code points from `chars` (not aliasing dst).
[[nodiscard]] bool string_assign_chars(String* dst, const uint32_t* chars, uint64_t count);

// ---- Access and search (0 / -1 stand for none) ----------------------------

// Code point at i (negative from the end); 0 outside the string.
uint32_t string_at(const String* s, int64_t i);
uint32_t string_first(const String* s);  // 0 when empty
uint32_t string_last(const String* s);   // 0 when empty
// First index >= from (negative allowed) holding c, or -1.
int64_t string_find(const String* s, int64_t from, uint32_t c);
// Last index of c, or -1.
int64_t string_find_last(const String* s, uint32_t c);
bool string_ends_with(const String* s, uint32_t c);
// True when s holds U+0000 anywhere. Such a text cannot name a file: the
// system would read it only up to the NUL. Null is false.
bool string_has_nul(const String* s);

// ---- Modification ---------------------------------------------------------

[[nodiscard]] bool string_append_char(String* s, uint32_t c);
// Appends all code points of other (other == s allowed).
[[nodiscard]] bool string_append(String* s, const String* other);
// Appends a run of n code points (run growth rule); chars may not point into s.
[[nodiscard]] bool string_append_chars(String* s, const uint32_t* chars, uint64_t n);
// Appends the bytes of a NUL-terminated text, each as the code point of the
// same value (no UTF-8 decoding; meant for ASCII literals).
[[nodiscard]] bool string_append_ascii(String* s, const char* text);
// Removes the last code point; false when empty.
bool string_pop(String* s);
// Replaces every `from` by `to`; returns how many were replaced.
uint64_t string_replace_char(String* s, uint32_t from, uint32_t to);
void string_reverse(String* s);
// Map every code point through towlower / towupper of the current LC_CTYPE.
void string_to_lower(String* s);
void string_to_upper(String* s);

// ---- Comparison and hashing ----------------------------------------------

// Code point by code point as signed 32-bit values: the difference of the
// first pair that differs; when one is a prefix of the other, the next code
// point of the longer one (negated when b is the longer); 0 when equal.
// Computed in 64 bits, so it never overflows.
int64_t string_compare(const String* a, const String* b);
int64_t string_compare_chars(const String* a, const uint32_t* chars, uint64_t count);
// Against a NUL-terminated byte string, every byte taken as a code point
// (unsigned byte value); when a ends first, minus the next byte.
int64_t string_compare_cstr(const String* a, const char* text);
// The same after towlower on both sides.
int64_t string_compare_cstr_nocase(const String* a, const char* text);
bool string_equals(const String* a, const uint32_t* chars, uint64_t count);
// h = 0; h = (h * 65557) ^ c for every code point (wrapping); cached in s.
uint64_t string_hash(String* s);

// ---- Decoding into a String (replace the content; false = unchanged) -----

// Lenient UTF-8: fails only when memory runs out.
[[nodiscard]] bool string_from_utf8(String* s, const char* bytes, uint64_t count);
// Lenient UTF-16 (native-endian units).
[[nodiscard]] bool string_from_utf16(String* s, const uint16_t* units, uint64_t count);
// Every byte becomes the code point of the same value.
[[nodiscard]] bool string_from_latin1(String* s, const char* bytes, uint64_t count);
// UTF-8 in which every byte that is not part of a valid sequence is kept
// as the code point STRING_BYTE_BASE + byte (U+DC80..U+DCFF, which valid
// UTF-8 never yields), so that a name of any bytes (a file name from the
// command line) comes back unchanged from string_to_utf8 and shows escaped
// from string_to_locale. Fails only when memory runs out.
[[nodiscard]] bool string_from_name_bytes(String* s, const char* bytes, uint64_t count);
constexpr uint32_t STRING_BYTE_BASE = 0xDC00;
// Converts from `charset` (null: the locale's character set) through iconv;
// if no converter opens, the built-in lenient UTF-8 decoder is used.
// Fails (false, unchanged) for null bytes, when memory runs out, and when the
// character set rejects the input (invalid or incomplete sequence).
// A count of 0 gives the empty string.
[[nodiscard]] bool string_from_locale(String* s, const char* bytes, uint64_t count, const char* charset);

// ---- Encoding from a String -------------------------------------------------
// The result lives in s's conversion cache and stays valid until s is next
// encoded, changed or destroyed. Null on failure (bad range, no memory).

// UTF-8 of [start, end) (negative indexes allowed), NUL-terminated; a
// kept byte (U+DC80..U+DCFF, see string_from_name_bytes) is written as
// that byte.
const char* string_to_utf8(String* s, int64_t start, int64_t end);
// UTF-8 of the whole string.
const char* string_to_utf8(String* s);
// [start, end) in `charset` (null: the locale's); UTF-8 when no converter
// opens. Ended by four zero bytes. Null also when the character set cannot
// represent a code point. A kept byte (see string_from_name_bytes) is
// written as the four characters \xHH.
const char* string_to_locale(String* s, int64_t start, int64_t end, const char* charset);
// The whole string in the locale's character set.
const char* string_to_locale(String* s);
// The whole string for a line on a terminal: as string_to_locale, with
// every control character escaped too (C0 and DEL as \xHH, C1 as \u00HH),
// so that a name cannot move the cursor, clear the screen or end a line.
const char* string_to_message(String* s);

// ---- Formatted text ----------------------------------------------------------

// Formats with vasprintf and sets s to the result, every byte becoming the
// code point of the same value. Returns the number of code points, or -5
// when formatting or allocation fails (s unchanged).
[[nodiscard]] int64_t string_format(String* s, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// The same text appended; returns the number of code points appended or -5.
[[nodiscard]] int64_t string_append_format(String* s, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// ---- Codecs of one character -------------------------------------------------

// Results of the one-character decoders besides a code point (>= 0).
constexpr int64_t UTF_DECODE_END = -1;   // no input left
constexpr int64_t UTF_DECODE_MORE = -2;  // strict mode: sequence incomplete, nothing consumed
constexpr uint32_t UTF_REPLACEMENT = 0xFFFD;

// Decodes one UTF-8 character at *cursor with *left bytes remaining and
// advances both. Invalid input gives U+FFFD. Lenient mode drops a truncated
// sequence at the end (U+FFFD, *left becomes 0); strict mode returns
// UTF_DECODE_MORE for it without consuming. A zero byte gives U+0000 and only
// decrements *left (the cursor stays on it).
int64_t decode_utf8_char(const uint8_t** cursor, uint64_t* left, bool lenient);
// Writes 1 to 4 bytes of c to out (room for 4 required); values above
// 0x1FFFFF are written as EF BF BD. Returns the byte count.
unsigned encode_utf8_char(uint32_t c, uint8_t* out);
// Decodes one UTF-16 character; a reversed surrogate pair is combined too;
// an unpaired surrogate gives U+FFFD and consumes one unit; a surrogate in the
// last unit gives U+FFFD (lenient) or UTF_DECODE_MORE (strict).
int64_t decode_utf16_char(const uint16_t** cursor, uint64_t* left, bool lenient);
