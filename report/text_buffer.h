#pragma once

#include <cstdint>

// Growable byte buffer the report writers build their documents in. Every
// append returns false when memory runs out; the buffer then keeps what it
// held before the call, and a sticky `failed` flag lets a writer append a
// whole document and check once at the end.
struct TextBuffer {
  char* data;       // mem_alloc'd, owned; NUL-terminated once anything was appended
  uint64_t length;  // bytes in use, terminator excluded
  uint64_t capacity;
  bool failed;      // some append ran out of memory
};

void text_init(TextBuffer* b);
// Frees the storage; accepts a zeroed buffer and may be called twice.
void text_release(TextBuffer* b);

bool text_append(TextBuffer* b, const char* bytes, uint64_t count);
bool text_append(TextBuffer* b, const char* text);
bool text_append_char(TextBuffer* b, char c);
bool text_appendf(TextBuffer* b, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A number in the shortest "%.*g" form with `digits` significant digits,
// always with '.' as decimal point whatever the locale. Non-finite values
// are written as `non_finite` (e.g. "null" in JSON).
bool text_append_number(TextBuffer* b, double value, int digits, const char* non_finite);

// The shortest "%.*g" form (1 to 17 digits) that reads back as exactly
// `value`: 0.1 is written "0.1", not "0.10000000000000001".
bool text_append_shortest(TextBuffer* b, double value, const char* non_finite);

// A number with a fixed count of decimals ("%.*f"), '.' as decimal point.
bool text_append_fixed(TextBuffer* b, double value, int decimals, const char* non_finite);

// UTF-8 text between double quotes with JSON escapes: '"', '\\' and control
// characters are escaped; invalid UTF-8 becomes U+FFFD, so the output is
// always valid UTF-8. Null text is written as JSON null.
bool text_append_json_string(TextBuffer* b, const char* utf8);
// UTF-8 text escaped for XML/HTML text and attribute values (& < > " ');
// control characters other than tab and newline and invalid UTF-8 become
// U+FFFD, which keeps the document well-formed XML.
bool text_append_xml_text(TextBuffer* b, const char* utf8);
// A relative path as a URL path: every byte outside A-Z a-z 0-9 - . _ ~ /
// is percent-encoded, so the result is also safe inside an attribute.
bool text_append_url_path(TextBuffer* b, const char* utf8);
