#include "config/document_tokenizer.h"

#include <cmath>
#include <cstring>
#include <cwctype>

#include "runtime/alloc.h"
#include "runtime/char_reader.h"
#include "runtime/status.h"

namespace {

// Sorted in code-point order for the binary search below.
const char* const kReservedWords[64] = {
    "Infinity",   "abstract",  "arguments", "await",        "boolean",   "break",
    "byte",       "case",      "catch",     "char",         "class",     "const",
    "continue",   "debugger",  "default",   "delete",       "do",        "double",
    "else",       "enum",      "eval",      "export",       "extends",   "false",
    "final",      "finally",   "float",     "for",          "function",  "goto",
    "if",         "implements", "import",   "in",           "instanceof", "int",
    "interface",  "let",       "long",      "native",       "new",       "null",
    "package",    "private",   "protected", "public",       "return",    "short",
    "static",     "super",     "switch",    "synchronized", "this",      "throw",
    "transient",  "true",      "try",       "typeof",       "var",       "void",
    "volatile",   "while",     "with",      "yield",
};

constexpr int32_t kEnd = -STATUS_END_OF_STREAM;

// Next character: the held lookahead first, then the input.
int32_t take(DocumentTokenizer* tok) {
  if (tok->lookahead != -1) {
    int32_t c = tok->lookahead;
    tok->lookahead = -1;
    return c;
  }
  if (!tok->input) return -STATUS_NOT_OPEN;
  return tok->input->read_char();
}

void hold(DocumentTokenizer* tok, int32_t c) { tok->lookahead = c; }

bool is_letter(int32_t c) {
  return c >= 0 && (std::iswupper(static_cast<wint_t>(c)) || std::iswlower(static_cast<wint_t>(c)));
}

bool is_space(int32_t c) {
  return c >= 0 && (std::iswspace(static_cast<wint_t>(c)) || std::iswblank(static_cast<wint_t>(c)));
}

bool is_digit(int32_t c) { return c >= 0 && std::iswdigit(static_cast<wint_t>(c)); }

bool starts_identifier(int32_t c) { return is_letter(c) || c == '$' || c == '_' || c == '\\'; }

// Value of c as a digit below `base` (10 or 16), or -1.
int digit_value(int32_t c, int base) {
  int d = -1;
  if (c >= '0' && c <= '9') d = c - '0';
  else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
  return d < base ? d : -1;
}

int32_t fail(DocumentTokenizer* tok, int status) {
  tok->error = status;
  return tok->kind = DOC_TOKEN_ERROR;
}

// A negative character as an error token: the input's status (25 at the end).
int32_t fail_input(DocumentTokenizer* tok, int32_t c) { return fail(tok, -c); }

int32_t finish(DocumentTokenizer* tok, int32_t kind) { return tok->kind = kind; }

bool append(DocumentTokenizer* tok, int32_t c) {
  return string_append_char(&tok->text, static_cast<uint32_t>(c));
}

// Reads `count` hexadecimal digits into *unit. Returns 0, 55 for a character
// that is not a hexadecimal digit (left unconsumed), or the input's status.
int read_hex_unit(DocumentTokenizer* tok, int count, uint32_t* unit) {
  uint32_t v = 0;
  for (int i = 0; i < count; ++i) {
    int32_t c = take(tok);
    if (c < 0) return -c;
    int d = digit_value(c, 16);
    if (d < 0) {
      hold(tok, c);
      return STATUS_SYNTAX;
    }
    v = v * 16 + static_cast<uint32_t>(d);
  }
  *unit = v;
  return STATUS_OK;
}

bool push_unit(DocumentTokenizer* tok, uint16_t unit) {
  if (tok->escape_count == tok->escape_capacity) {
    size_t cap = tok->escape_capacity ? tok->escape_capacity * 2 : 16;
    void* p = mem_realloc(tok->escape_units, cap * sizeof(uint16_t));
    if (!p) return false;
    tok->escape_units = static_cast<uint16_t*>(p);
    tok->escape_capacity = cap;
  }
  tok->escape_units[tok->escape_count++] = unit;
  return true;
}

// Converts the collected escape units into code points of the token text.
// Only well-formed UTF-16 converts: a high surrogate must be followed by a
// low one, and a low surrogate never stands alone (status 7).
int flush_units(DocumentTokenizer* tok) {
  size_t n = tok->escape_count;
  const uint16_t* u = tok->escape_units;
  tok->escape_count = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = u[i];
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (cp > 0xDBFF || i + 1 >= n || u[i + 1] < 0xDC00 || u[i + 1] > 0xDFFF)
        return STATUS_BAD_FORMAT;
      cp = 0x10000 + (((cp & 0x3FF) << 10) | (u[i + 1] & 0x3FFu));
      ++i;
    }
    if (!string_append_char(&tok->text, cp)) return STATUS_NO_MEMORY;
  }
  return STATUS_OK;
}

int32_t read_string(DocumentTokenizer* tok, int32_t quote) {
  tok->escape_count = 0;
  for (;;) {
    int32_t c = take(tok);
    if (c < 0) return fail_input(tok, c);
    if (c == '\\') {
      int32_t e = take(tok);
      if (e < 0) return fail_input(tok, e);
      if (e == 'x' || e == 'X' || e == 'u' || e == 'U') {
        uint32_t unit = 0;
        int st = read_hex_unit(tok, (e == 'x' || e == 'X') ? 2 : 4, &unit);
        if (st != STATUS_OK) return fail(tok, st);
        if (!push_unit(tok, static_cast<uint16_t>(unit))) return fail(tok, STATUS_NO_MEMORY);
        continue;
      }
      // Any other escape ends a run of code units.
      int st = flush_units(tok);
      if (st != STATUS_OK) return fail(tok, st);
      int32_t out;
      switch (e) {
        case '0': out = 0x00; break;
        case 'b': out = 0x08; break;
        case 'f': out = 0x0C; break;
        case 'n': out = 0x0A; break;
        case 'r': out = 0x0D; break;
        case 't': out = 0x09; break;
        case 'v': out = 0x0B; break;
        case '\n':
        case '\r': {
          // Line continuation: CR LF and LF CR count as one terminator.
          int32_t next = take(tok);
          int32_t pair = e == '\n' ? '\r' : '\n';
          if (next != pair) hold(tok, next);
          continue;
        }
        case 0x2028:
        case 0x2029: continue;
        default: out = e; break;
      }
      if (!append(tok, out)) return fail(tok, STATUS_NO_MEMORY);
      continue;
    }
    int st = flush_units(tok);
    if (st != STATUS_OK) return fail(tok, st);
    if (c == quote) return finish(tok, quote == '"' ? DOC_TOKEN_DOUBLE_STRING : DOC_TOKEN_SINGLE_STRING);
    if (c == '\n') return fail(tok, STATUS_SYNTAX);
    if (!append(tok, c)) return fail(tok, STATUS_NO_MEMORY);
  }
}

// Reads an identifier starting with `first` into the text. Returns 0, 5, 55
// for a backslash that does not begin a \u escape, or the input's status.
int read_word(DocumentTokenizer* tok, int32_t first) {
  int32_t c = first;
  for (;;) {
    if (c == '\\') {
      int32_t u = take(tok);
      if (u != 'u') {
        if (u < 0 && u != kEnd) return -u;
        hold(tok, u);
        return STATUS_SYNTAX;
      }
      uint32_t unit = 0;
      int st = read_hex_unit(tok, 4, &unit);
      if (st != STATUS_OK) return st;
      if (!string_append_char(&tok->text, unit)) return STATUS_NO_MEMORY;
    } else if (is_letter(c) || is_digit(c) || c == '$' || c == '_') {
      if (!append(tok, c)) return STATUS_NO_MEMORY;
    } else {
      hold(tok, c);
      return STATUS_OK;
    }
    c = take(tok);
  }
}

int32_t read_identifier(DocumentTokenizer* tok, int32_t first) {
  int st = read_word(tok, first);
  if (st == STATUS_SYNTAX) return finish(tok, DOC_TOKEN_INVALID);
  if (st != STATUS_OK) return fail(tok, st);
  const String* w = &tok->text;
  if (string_compare_cstr(w, "true") == 0) return finish(tok, DOC_TOKEN_TRUE);
  if (string_compare_cstr(w, "false") == 0) return finish(tok, DOC_TOKEN_FALSE);
  if (string_compare_cstr(w, "null") == 0) return finish(tok, DOC_TOKEN_NULL);
  if (string_compare_cstr(w, "NaN") == 0) {
    tok->value.real = std::nan("");
    return finish(tok, DOC_TOKEN_FLOAT);
  }
  if (string_compare_cstr(w, "Infinity") == 0) {
    tok->value.real = HUGE_VAL;
    return finish(tok, DOC_TOKEN_FLOAT);
  }
  if (document_is_reserved_word(w)) return finish(tok, DOC_TOKEN_RESERVED);
  return finish(tok, DOC_TOKEN_IDENTIFIER);
}

int32_t read_number(DocumentTokenizer* tok, int32_t c) {
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = take(tok);
    if (c == 'N' || c == 'I') {
      int st = read_word(tok, c);
      if (st == STATUS_SYNTAX) return finish(tok, DOC_TOKEN_INVALID);
      if (st != STATUS_OK) return fail(tok, st);
      double v;
      if (string_compare_cstr(&tok->text, "NaN") == 0) v = std::nan("");
      else if (string_compare_cstr(&tok->text, "Infinity") == 0) v = HUGE_VAL;
      else return finish(tok, DOC_TOKEN_INVALID);
      tok->value.real = negative ? -v : v;
      return finish(tok, DOC_TOKEN_FLOAT);
    }
  }

  int base = 10;
  uint64_t mantissa = 0;
  uint64_t int_digits = 0;
  if (c == '0') {
    int32_t next = take(tok);
    if (next == 'x' || next == 'X') {
      base = 16;
      c = take(tok);
    } else {
      ++int_digits;
      c = next;
    }
  }
  for (int d; (d = digit_value(c, base)) >= 0; c = take(tok)) {
    mantissa = mantissa * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);  // wraps
    ++int_digits;
  }

  if (base == 16) {
    hold(tok, c);
    if (int_digits == 0) return finish(tok, DOC_TOKEN_INVALID);
    tok->value.integer = static_cast<int64_t>(negative ? 0 - mantissa : mantissa);
    return finish(tok, DOC_TOKEN_HEXADECIMAL);
  }

  bool is_float = false;
  double fraction = 0.0;
  uint64_t frac_digits = 0;
  if (c == '.') {
    is_float = true;
    double scale = 1.0;
    for (c = take(tok); c >= '0' && c <= '9'; c = take(tok)) {
      scale *= 0.1;
      fraction += (c - '0') * scale;
      ++frac_digits;
    }
  }
  if (int_digits == 0 && frac_digits == 0) {
    hold(tok, c);
    return finish(tok, DOC_TOKEN_INVALID);
  }

  double exponent = 0.0;
  if (c == 'e' || c == 'E') {
    c = take(tok);
    bool exp_negative = false;
    bool signed_exp = false;
    if (c == '+' || c == '-') {
      exp_negative = c == '-';
      signed_exp = true;
      c = take(tok);
    }
    uint64_t exp_digits = 0;
    // Accumulated in double: an absurdly long exponent saturates to
    // infinity instead of wrapping into an arbitrary power.
    for (; c >= '0' && c <= '9'; c = take(tok)) {
      exponent = exponent * 10.0 + (c - '0');
      ++exp_digits;
    }
    if (signed_exp && exp_digits == 0) {
      hold(tok, c);
      return finish(tok, DOC_TOKEN_INVALID);
    }
    if (exp_digits) is_float = true;
    if (exp_negative) exponent = -exponent;
  }

  hold(tok, c);
  if (starts_identifier(c)) return fail(tok, STATUS_BAD_FORMAT);

  if (!is_float) {
    tok->value.integer = static_cast<int64_t>(negative ? 0 - mantissa : mantissa);
    return finish(tok, DOC_TOKEN_DECIMAL);
  }
  double v = std::pow(10.0, exponent) * (fraction + static_cast<double>(static_cast<int64_t>(mantissa)));
  tok->value.real = negative ? -v : v;
  return finish(tok, DOC_TOKEN_FLOAT);
}

// Comment text up to (not including) the terminator. A block comment that
// reaches the end of input ends there, like a line comment; the end (or an
// input error) is then the next token.
int32_t read_comment(DocumentTokenizer* tok, bool block) {
  for (;;) {
    int32_t c = take(tok);
    if (c < 0) {
      hold(tok, c);
      break;
    }
    if (!block && c == '\n') break;
    if (block && c == '*') {
      int32_t next = take(tok);
      if (next == '/') break;
      hold(tok, next);
    }
    if (!append(tok, c)) return fail(tok, STATUS_NO_MEMORY);
  }
  return finish(tok, block ? DOC_TOKEN_BLOCK_COMMENT : DOC_TOKEN_LINE_COMMENT);
}

int32_t read_token(DocumentTokenizer* tok) {
  int32_t c = take(tok);
  while (is_space(c)) c = take(tok);
  if (c < 0) {
    // Keep the end (or the error) so that asking again gives the same answer.
    hold(tok, c);
    if (c == kEnd) return finish(tok, DOC_TOKEN_END);
    return fail_input(tok, c);
  }
  string_clear(&tok->text);
  switch (c) {
    case '"':
    case '\'': return read_string(tok, c);
    case ',': return finish(tok, DOC_TOKEN_COMMA);
    case ':': return finish(tok, DOC_TOKEN_COLON);
    case '[': return finish(tok, DOC_TOKEN_ARRAY_OPEN);
    case ']': return finish(tok, DOC_TOKEN_ARRAY_CLOSE);
    case '{': return finish(tok, DOC_TOKEN_OBJECT_OPEN);
    case '}': return finish(tok, DOC_TOKEN_OBJECT_CLOSE);
    case '/': {
      int32_t next = take(tok);
      if (next == '*') return read_comment(tok, true);
      if (next == '/') return read_comment(tok, false);
      hold(tok, next);
      return finish(tok, DOC_TOKEN_INVALID);
    }
    default: break;
  }
  if (starts_identifier(c)) return read_identifier(tok, c);
  return read_number(tok, c);
}

}  // namespace

void document_tokenizer_init(DocumentTokenizer* tok, CharReader* input) {
  std::memset(static_cast<void*>(tok), 0, sizeof(*tok));
  string_init(&tok->text);
  tok->input = input;
  tok->lookahead = -1;
  tok->kind = DOC_TOKEN_INVALID;
}

void document_tokenizer_release(DocumentTokenizer* tok) {
  string_free(&tok->text);
  mem_free(tok->escape_units);
  tok->escape_units = nullptr;
  tok->escape_count = tok->escape_capacity = 0;
  tok->input = nullptr;
  tok->lookahead = -1;
}

int32_t document_tokenizer_next(DocumentTokenizer* tok, bool advance) {
  if (!advance) return tok->kind;
  if (tok->pushback > 0) {
    --tok->pushback;
    return tok->kind;
  }
  return read_token(tok);
}

bool document_is_reserved_word(const String* word) {
  size_t lo = 0, hi = sizeof(kReservedWords) / sizeof(kReservedWords[0]);
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    int cmp = string_compare_cstr(word, kReservedWords[mid]);
    if (cmp == 0) return true;
    if (cmp < 0) hi = mid;
    else lo = mid + 1;
  }
  return false;
}
