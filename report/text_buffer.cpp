#include "report/text_buffer.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/alloc.h"
#include "runtime/string.h"

void text_init(TextBuffer* b) { *b = TextBuffer{}; }

void text_release(TextBuffer* b) {
  mem_free(b->data);
  *b = TextBuffer{};
}

namespace {

bool reserve(TextBuffer* b, uint64_t extra) {
  if (b->failed) return false;
  uint64_t need = b->length + extra + 1;
  if (need <= b->capacity) return true;
  uint64_t cap = b->capacity < 256 ? 256 : b->capacity;
  while (cap < need) cap += cap / 2;
  char* p = static_cast<char*>(mem_realloc(b->data, cap));
  if (!p) {
    b->failed = true;
    return false;
  }
  b->data = p;
  b->capacity = cap;
  return true;
}

// Decodes the next code point of NUL-terminated UTF-8; invalid sequences
// give U+FFFD. Returns 0 at the end.
uint32_t next_char(const uint8_t** p) {
  const uint8_t* start = *p;
  uint64_t left = strnlen(reinterpret_cast<const char*>(start), 4);
  if (!left) return 0;
  uint64_t before = left;
  const uint8_t* cursor = start;
  int64_t c = decode_utf8_char(&cursor, &left, true);
  uint64_t used = before - left;
  *p = start + (used ? used : 1);  // never stall
  return c < 0 ? UTF_REPLACEMENT : static_cast<uint32_t>(c);
}

bool append_code_point(TextBuffer* b, uint32_t c) {
  uint8_t out[4];
  unsigned n = encode_utf8_char(c, out);
  return text_append(b, reinterpret_cast<const char*>(out), n);
}

}  // namespace

bool text_append(TextBuffer* b, const char* bytes, uint64_t count) {
  if (!reserve(b, count)) return false;
  if (count) memcpy(b->data + b->length, bytes, count);
  b->length += count;
  b->data[b->length] = 0;
  return true;
}

bool text_append(TextBuffer* b, const char* text) { return text_append(b, text, strlen(text)); }

bool text_append_char(TextBuffer* b, char c) { return text_append(b, &c, 1); }

bool text_appendf(TextBuffer* b, const char* format, ...) {
  if (b->failed) return false;
  char small[256];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) return false;
  if (static_cast<size_t>(n) < sizeof small) return text_append(b, small, static_cast<uint64_t>(n));
  if (!reserve(b, static_cast<uint64_t>(n))) return false;
  va_start(args, format);
  vsnprintf(b->data + b->length, static_cast<size_t>(n) + 1, format, args);
  va_end(args);
  b->length += static_cast<uint64_t>(n);
  return true;
}

namespace {

bool append_formatted_number(TextBuffer* b, const char* format, int precision, double value) {
  char tmp[400];
  int n = snprintf(tmp, sizeof tmp, format, precision, value);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof tmp) return false;
  // A locale may use ',' as decimal point; these formats write no other ','.
  for (int i = 0; i < n; ++i)
    if (tmp[i] == ',') tmp[i] = '.';
  return text_append(b, tmp, static_cast<uint64_t>(n));
}

}  // namespace

bool text_append_number(TextBuffer* b, double value, int digits, const char* non_finite) {
  if (!std::isfinite(value)) return text_append(b, non_finite);
  if (value == 0) value = 0;  // no "-0"
  return append_formatted_number(b, "%.*g", digits, value);
}

bool text_append_shortest(TextBuffer* b, double value, const char* non_finite) {
  if (!std::isfinite(value)) return text_append(b, non_finite);
  if (value == 0) value = 0;
  int digits = 1;
  for (; digits < 17; ++digits) {
    char tmp[40];
    snprintf(tmp, sizeof tmp, "%.*g", digits, value);
    // Read back in the same locale the text was written in.
    if (strtod(tmp, nullptr) == value) break;
  }
  // Whole numbers below 1e17 keep their digits instead of an exponent
  // (1000, not 1e+03).
  double magnitude = std::fabs(value);
  if (magnitude >= 10 && magnitude < 1e17) {
    int whole = static_cast<int>(std::floor(std::log10(magnitude))) + 1;
    if (whole > digits) digits = whole;
  }
  return append_formatted_number(b, "%.*g", digits, value);
}

bool text_append_fixed(TextBuffer* b, double value, int decimals, const char* non_finite) {
  if (!std::isfinite(value)) return text_append(b, non_finite);
  // Values that round to zero are written without a sign.
  if (std::fabs(value) < 0.5 * std::pow(10.0, -decimals)) value = 0;
  return append_formatted_number(b, "%.*f", decimals, value);
}

bool text_append_json_string(TextBuffer* b, const char* utf8) {
  if (!utf8) return text_append(b, "null");
  bool ok = text_append_char(b, '"');
  const uint8_t* p = reinterpret_cast<const uint8_t*>(utf8);
  while (ok) {
    uint32_t c = next_char(&p);
    if (!c) break;
    switch (c) {
      case '"': ok = text_append(b, "\\\""); break;
      case '\\': ok = text_append(b, "\\\\"); break;
      case '\n': ok = text_append(b, "\\n"); break;
      case '\r': ok = text_append(b, "\\r"); break;
      case '\t': ok = text_append(b, "\\t"); break;
      default:
        if (c < 0x20 || c == 0x7F)
          ok = text_appendf(b, "\\u%04x", c);
        else
          ok = append_code_point(b, c);
    }
  }
  return ok && text_append_char(b, '"');
}

bool text_append_xml_text(TextBuffer* b, const char* utf8) {
  if (!utf8) return true;
  bool ok = true;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(utf8);
  while (ok) {
    uint32_t c = next_char(&p);
    if (!c) break;
    switch (c) {
      case '&': ok = text_append(b, "&amp;"); break;
      case '<': ok = text_append(b, "&lt;"); break;
      case '>': ok = text_append(b, "&gt;"); break;
      case '"': ok = text_append(b, "&quot;"); break;
      case '\'': ok = text_append(b, "&#39;"); break;
      default:
        // XML 1.0 allows no other control characters, nor surrogates or
        // U+FFFE/U+FFFF.
        if ((c < 0x20 && c != '\t' && c != '\n') || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE ||
            c == 0xFFFF || c > 0x10FFFF)
          c = UTF_REPLACEMENT;
        ok = append_code_point(b, c);
    }
  }
  return ok;
}

bool text_append_url_path(TextBuffer* b, const char* utf8) {
  if (!utf8) return true;
  bool ok = true;
  for (const uint8_t* p = reinterpret_cast<const uint8_t*>(utf8); ok && *p; ++p) {
    uint8_t c = *p;
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    ok = plain ? text_append_char(b, static_cast<char>(c)) : text_appendf(b, "%%%02X", c);
  }
  return ok;
}
