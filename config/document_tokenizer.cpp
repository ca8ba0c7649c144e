#include "config/document_tokenizer.h"

#include <cmath>
#include <cstdint>
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

// Next character: the held lookahead first, then the input. Records where
// the character stood.
int32_t take(DocumentTokenizer* tok) {
  if (tok->lookahead != -1) {
    int32_t c = tok->lookahead;
    tok->lookahead = -1;
    tok->last_line = tok->held_line;
    tok->last_column = tok->held_column;
    return c;
  }
  tok->last_line = tok->line;
  tok->last_column = tok->column;
  if (!tok->input) return -STATUS_NOT_OPEN;
  int32_t c = tok->input->read_char();
  if (c == '\n' && tok->after_cr) {
    tok->after_cr = false;  // the LF of CR LF: the line was already counted
  } else if (c == '\n' || c == '\r') {
    ++tok->line;
    tok->column = 1;
    tok->after_cr = c == '\r';
  } else if (c >= 0) {
    ++tok->column;
    tok->after_cr = false;
  }
  return c;
}

// Gives back the character taken last (every caller holds exactly that one).
void hold(DocumentTokenizer* tok, int32_t c) {
  tok->lookahead = c;
  tok->held_line = tok->last_line;
  tok->held_column = tok->last_column;
}

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

int32_t fail(DocumentTokenizer* tok, int status, int32_t reason) {
  tok->error = status;
  tok->reason = status == STATUS_NO_MEMORY ? DOC_REASON_NO_MEMORY : reason;
  return tok->kind = DOC_TOKEN_ERROR;
}

// A negative character as an error token: the input's status (25 at the end,
// which inside a token means that the token never ended).
int32_t fail_input(DocumentTokenizer* tok, int32_t c, int32_t reason_at_end) {
  return fail(tok, -c, c == kEnd ? reason_at_end : DOC_REASON_INPUT);
}

int32_t finish(DocumentTokenizer* tok, int32_t kind) { return tok->kind = kind; }

int32_t invalid(DocumentTokenizer* tok, int32_t reason) {
  tok->reason = reason;
  return tok->kind = DOC_TOKEN_INVALID;
}

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

// Reason for a failure of read_hex_unit inside a string.
int32_t hex_reason(int st) {
  if (st == STATUS_SYNTAX) return DOC_REASON_BAD_ESCAPE;
  return st == STATUS_END_OF_STREAM ? DOC_REASON_UNTERMINATED_STRING : DOC_REASON_INPUT;
}

int32_t read_string(DocumentTokenizer* tok, int32_t quote) {
  tok->escape_count = 0;
  for (;;) {
    int32_t c = take(tok);
    if (c < 0) return fail_input(tok, c, DOC_REASON_UNTERMINATED_STRING);
    if (c == '\\') {
      int32_t e = take(tok);
      if (e < 0) return fail_input(tok, e, DOC_REASON_UNTERMINATED_STRING);
      if (e == 'x' || e == 'X' || e == 'u' || e == 'U') {
        uint32_t unit = 0;
        int st = read_hex_unit(tok, (e == 'x' || e == 'X') ? 2 : 4, &unit);
        if (st != STATUS_OK) return fail(tok, st, hex_reason(st));
        if (!push_unit(tok, static_cast<uint16_t>(unit))) return fail(tok, STATUS_NO_MEMORY, DOC_REASON_NO_MEMORY);
        continue;
      }
      // Any other escape ends a run of code units.
      int st = flush_units(tok);
      if (st != STATUS_OK) return fail(tok, st, DOC_REASON_BAD_UTF16);
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
      if (!append(tok, out)) return fail(tok, STATUS_NO_MEMORY, DOC_REASON_NO_MEMORY);
      continue;
    }
    int st = flush_units(tok);
    if (st != STATUS_OK) return fail(tok, st, DOC_REASON_BAD_UTF16);
    if (c == quote) return finish(tok, quote == '"' ? DOC_TOKEN_DOUBLE_STRING : DOC_TOKEN_SINGLE_STRING);
    if (c == '\n') return fail(tok, STATUS_SYNTAX, DOC_REASON_LINE_BREAK);
    if (!append(tok, c)) return fail(tok, STATUS_NO_MEMORY, DOC_REASON_NO_MEMORY);
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

// Reason for a failure of read_word.
int32_t word_reason(int st) {
  if (st == STATUS_SYNTAX) return DOC_REASON_BAD_ESCAPE;
  return st == STATUS_END_OF_STREAM ? DOC_REASON_BAD_ESCAPE : DOC_REASON_INPUT;
}

int32_t read_identifier(DocumentTokenizer* tok, int32_t first) {
  int st = read_word(tok, first);
  if (st == STATUS_SYNTAX) return invalid(tok, DOC_REASON_BAD_ESCAPE);
  if (st != STATUS_OK) return fail(tok, st, word_reason(st));
  tok->word = true;
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
      if (st == STATUS_SYNTAX) return invalid(tok, DOC_REASON_BAD_NUMBER);
      if (st != STATUS_OK) return fail(tok, st, word_reason(st));
      double v;
      if (string_compare_cstr(&tok->text, "NaN") == 0) v = std::nan("");
      else if (string_compare_cstr(&tok->text, "Infinity") == 0) v = HUGE_VAL;
      else return invalid(tok, DOC_REASON_BAD_NUMBER);
      tok->value.real = negative ? -v : v;
      return finish(tok, DOC_TOKEN_FLOAT);
    }
  }

  int base = 10;
  uint64_t mantissa = 0;
  uint64_t int_digits = 0;
  bool wrapped = false;   // the digits passed 64 bits
  double mantissa_real = 0.0;  // the same digits, for a float whose integer part wrapped
  tok->overflowed = false;
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
    const uint64_t next = mantissa * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);  // wraps
    if (mantissa > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) wrapped = true;
    mantissa = next;
    mantissa_real = mantissa_real * base + d;
    ++int_digits;
  }

  if (base == 16) {
    hold(tok, c);
    if (int_digits == 0) return invalid(tok, DOC_REASON_BAD_NUMBER);
    tok->value.integer = static_cast<int64_t>(negative ? 0 - mantissa : mantissa);
    tok->overflowed = wrapped;
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
    return invalid(tok, DOC_REASON_BAD_NUMBER);
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
      return invalid(tok, DOC_REASON_BAD_NUMBER);
    }
    if (exp_digits) is_float = true;
    if (exp_negative) exponent = -exponent;
  }

  hold(tok, c);
  if (starts_identifier(c)) return fail(tok, STATUS_BAD_FORMAT, DOC_REASON_BAD_NUMBER);

  if (!is_float) {
    tok->value.integer = static_cast<int64_t>(negative ? 0 - mantissa : mantissa);
    // int64_t holds magnitudes up to 2^63 - 1, and 2^63 when negative.
    tok->overflowed = wrapped || mantissa > (negative ? (UINT64_MAX >> 1) + 1 : UINT64_MAX >> 1);
    return finish(tok, DOC_TOKEN_DECIMAL);
  }
  const double whole = wrapped ? mantissa_real : static_cast<double>(static_cast<int64_t>(mantissa));
  double v = std::pow(10.0, exponent) * (fraction + whole);
  tok->value.real = negative ? -v : v;
  return finish(tok, DOC_TOKEN_FLOAT);
}

// Comment text up to (not including) the terminator. A block comment that
// reaches the end of input ends there, like a line comment, with the reason
// DOC_REASON_UNTERMINATED_COMMENT for the reader to judge; the end (or an
// input error) is then the next token.
int32_t read_comment(DocumentTokenizer* tok, bool block) {
  for (;;) {
    int32_t c = take(tok);
    if (c < 0) {
      hold(tok, c);
      if (block) tok->reason = DOC_REASON_UNTERMINATED_COMMENT;
      break;
    }
    if (!block && c == '\n') break;
    if (block && c == '*') {
      int32_t next = take(tok);
      if (next == '/') break;
      hold(tok, next);
    }
    if (!append(tok, c)) return fail(tok, STATUS_NO_MEMORY, DOC_REASON_NO_MEMORY);
  }
  return finish(tok, block ? DOC_TOKEN_BLOCK_COMMENT : DOC_TOKEN_LINE_COMMENT);
}

int32_t read_token(DocumentTokenizer* tok) {
  int32_t c = take(tok);
  while (is_space(c)) c = take(tok);
  tok->token_line = tok->last_line;
  tok->token_column = tok->last_column;
  tok->reason = DOC_REASON_NONE;
  tok->word = false;
  if (c < 0) {
    // Keep the end (or the error) so that asking again gives the same answer.
    hold(tok, c);
    if (c == kEnd) return finish(tok, DOC_TOKEN_END);
    return fail_input(tok, c, DOC_REASON_INPUT);
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
      return invalid(tok, DOC_REASON_STRAY);
    }
    default: break;
  }
  if (starts_identifier(c)) return read_identifier(tok, c);
  int32_t kind = read_number(tok, c);
  bool numeric = c == '+' || c == '-' || c == '.' || (c >= '0' && c <= '9');
  if (kind == DOC_TOKEN_INVALID && !numeric) tok->reason = DOC_REASON_STRAY;
  return kind;
}

}  // namespace

void document_tokenizer_init(DocumentTokenizer* tok, CharReader* input) {
  std::memset(static_cast<void*>(tok), 0, sizeof(*tok));
  string_init(&tok->text);
  tok->input = input;
  tok->lookahead = -1;
  tok->kind = DOC_TOKEN_INVALID;
  tok->line = tok->column = 1;
  tok->last_line = tok->last_column = 1;
  tok->held_line = tok->held_column = 1;
  tok->token_line = tok->token_column = 1;
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
