#include "expr/tokenizer.h"

#include <cmath>
#include <cstdint>

#include "runtime/char_reader.h"
#include "runtime/status.h"

namespace {

struct Keyword {
  const char* name;
  int32_t token;
};

// Sorted by name without regard to case; searched by bisection.
constexpr Keyword kKeywords[] = {
    {"add", TOKEN_ADD},     {"and", TOKEN_AND},      {"band", TOKEN_BAND},   {"bnot", TOKEN_BNOT},
    {"bool", TOKEN_TO_BOOL}, {"bor", TOKEN_BOR},     {"bxor", TOKEN_BXOR},   {"cmp", TOKEN_CMP},
    {"db", TOKEN_DB},       {"div", TOKEN_DIV},      {"eq", TOKEN_EQ},       {"ex", TOKEN_EX},
    {"false", TOKEN_FALSE}, {"float", TOKEN_TO_FLOAT}, {"fmod", TOKEN_FMOD}, {"fp", TOKEN_TO_FLOAT},
    {"ge", TOKEN_GE},       {"gt", TOKEN_GT},        {"iadd", TOKEN_IADD},   {"icmp", TOKEN_ICMP},
    {"idiv", TOKEN_IDIV},   {"ie", TOKEN_IEQ},       {"ieq", TOKEN_IEQ},     {"ige", TOKEN_IGE},
    {"igt", TOKEN_IGT},     {"ile", TOKEN_ILE},      {"ilt", TOKEN_ILT},     {"imod", TOKEN_MOD},
    {"imul", TOKEN_IMUL},   {"ine", TOKEN_INE},      {"inge", TOKEN_ILT},    {"ingt", TOKEN_ILE},
    {"inle", TOKEN_IGT},    {"inlt", TOKEN_IGE},     {"int", TOKEN_TO_INT},  {"isub", TOKEN_ISUB},
    {"lc", TOKEN_SLWR},     {"le", TOKEN_LE},        {"lt", TOKEN_LT},       {"mod", TOKEN_MOD},
    {"mul", TOKEN_MUL},     {"ne", TOKEN_NE},        {"nge", TOKEN_LT},      {"ngt", TOKEN_LE},
    {"nle", TOKEN_GT},      {"nlt", TOKEN_GE},       {"not", TOKEN_NOT},     {"null", TOKEN_NULL},
    {"or", TOKEN_OR},       {"pow", TOKEN_POW},      {"sc", TOKEN_SCAT},     {"scat", TOKEN_SCAT},
    {"sl", TOKEN_SLEN},     {"slen", TOKEN_SLEN},    {"slwr", TOKEN_SLWR},   {"sr", TOKEN_SREP},
    {"srep", TOKEN_SREP},   {"srev", TOKEN_SREV},    {"str", TOKEN_TO_STR},  {"sub", TOKEN_SUB},
    {"supr", TOKEN_SUPR},   {"true", TOKEN_TRUE},    {"uc", TOKEN_SUPR},     {"undef", TOKEN_UNDEF},
    {"xor", TOKEN_XOR},
};
static_assert(sizeof(kKeywords) / sizeof(kKeywords[0]) == 65);

uint32_t ascii_lower(uint32_t c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

bool is_blank(int32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_letter(int32_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_ident_start(int32_t c) { return is_letter(c) || c == '_'; }
bool is_ident_char(int32_t c) { return is_ident_start(c) || (c >= '0' && c <= '9'); }

// Value of c as a digit (0-15), or 16 when it is none.
int digit_value(int32_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 16;
}

// Identifier text against a keyword name, case-insensitively (identifiers
// are ASCII by construction).
int compare_keyword(const String* id, const char* name) {
  uint64_t i = 0;
  for (;; ++i) {
    uint32_t a = i < id->length ? ascii_lower(id->chars[i]) : 0;
    uint32_t b = static_cast<unsigned char>(name[i]);
    if (a != b || b == 0) return a < b ? -1 : (a > b ? 1 : 0);
  }
}

// Single-character tokens that never look further.
int single_token(int32_t c) {
  switch (c) {
    case '#': return TOKEN_HASH;
    case '%': return TOKEN_MOD;
    case '(': return TOKEN_LPAREN;
    case ')': return TOKEN_RPAREN;
    case ',': return TOKEN_COMMA;
    case '/': return TOKEN_DIV;
    case ';': return TOKEN_SEMICOLON;
    case '?': return TOKEN_QUESTION;
    case '@': return TOKEN_AT;
    case '[': return TOKEN_LBRACKET;
    case ']': return TOKEN_RBRACKET;
    case '{': return TOKEN_LBRACE;
    case '}': return TOKEN_RBRACE;
    case '~': return TOKEN_BNOT;
    default: return -1;
  }
}

// Scanner state over one token: `c` is the current, not yet consumed code
// point (or a negated status once the reader reported one).
struct Scan {
  ExprTokenizer* t;
  int32_t c;
  bool oom;

  int32_t read() { return static_cast<int32_t>(t->reader->read_char()); }
  // Appends the current code point to the text and reads the next.
  void take() {
    if (!string_append_char(&t->text, static_cast<uint32_t>(c))) oom = true;
    c = read();
  }
  // Consumes the current code point without storing it.
  void skip() { c = read(); }
};

int finish(ExprTokenizer* t, Scan& s, int token) {
  t->lookahead = s.c;
  if (s.oom) {
    t->error = STATUS_NO_MEMORY;
    token = TOKEN_ERROR;
  }
  t->token = token;
  return token;
}

int scan_identifier(ExprTokenizer* t, Scan& s, bool keywords) {
  while (is_ident_char(s.c)) s.take();
  if (s.oom) return finish(t, s, TOKEN_ERROR);
  return finish(t, s, keywords ? keyword_token(&t->text) : TOKEN_IDENTIFIER);
}

int scan_string(ExprTokenizer* t, Scan& s) {
  s.skip();  // the opening quote
  for (;;) {
    if (s.c < 0) {
      t->error = s.c == -1 ? STATUS_END_OF_STREAM : -s.c;
      t->lookahead = s.c;
      t->token = TOKEN_ERROR;
      return TOKEN_ERROR;
    }
    if (s.c == '\'') {
      s.skip();
      while (is_blank(s.c)) s.skip();
      if (s.c != '\'') break;
      s.skip();  // an adjacent literal continues the same text
      continue;
    }
    if (s.c == '\\') {
      s.skip();
      if (s.c < 0) continue;  // reported as an unterminated literal above
      int32_t e;
      switch (s.c) {
        case '\'': e = '\''; break;
        case '\\': e = '\\'; break;
        case 'n': e = '\n'; break;
        case 'r': e = '\r'; break;
        case 't': e = '\t'; break;
        default: e = -1; break;
      }
      if (e < 0) {
        if (!string_append_char(&t->text, '\\')) s.oom = true;
        s.take();
      } else {
        if (!string_append_char(&t->text, static_cast<uint32_t>(e))) s.oom = true;
        s.skip();
      }
      continue;
    }
    s.take();
  }
  return finish(t, s, TOKEN_STRING);
}

// Exponent digits saturate here: pow() of anything larger is 0 or infinite.
constexpr int64_t kExponentCap = 1000000;

int scan_number(ExprTokenizer* t, Scan& s) {
  int base = 10;
  uint64_t part = 0;
  double fraction = 0.0;
  int64_t exponent = 0;
  bool wrapped = false;    // the integer digits passed 64 bits
  double part_real = 0.0;  // the same digits, for a float whose integer part wrapped
  t->overflowed = false;
  bool negative = false, has_sign = false, int_digits = false, point = false;
  bool frac_digits = false, exp_digits = false, prefix = false;

  if (s.c == '+' || s.c == '-') {
    has_sign = true;
    negative = s.c == '-';
    s.take();
  }
  if (s.c == '0') {
    s.take();
    int32_t p = s.c;
    int b = (p == 'b' || p == 'B') ? 2 : (p == 'o' || p == 'O') ? 8 : (p == 'd' || p == 'D') ? 10
          : (p == 'x' || p == 'X') ? 16 : 0;
    if (b) {
      base = b;
      prefix = true;
      s.take();
    } else {
      int_digits = true;  // an ordinary digit 0
    }
  }
  for (;;) {
    int d = digit_value(s.c);
    if (d < base) {
      if (part > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) wrapped = true;
      part = part * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
      part_real = part_real * base + d;
      int_digits = true;
      s.take();
    } else if (s.c == '_') {
      if (!int_digits) {
        s.take();
        return finish(t, s, TOKEN_INVALID);
      }
      s.take();
    } else {
      break;
    }
  }
  if (s.c == '.') {
    point = true;
    s.take();
    double inv = 1.0 / base, step = inv;
    for (;;) {
      int d = digit_value(s.c);
      if (d < base) {
        if (frac_digits) step *= inv;
        fraction += d * step;
        frac_digits = true;
        s.take();
      } else if (s.c == '_') {
        if (!frac_digits) {
          s.take();
          return finish(t, s, TOKEN_INVALID);
        }
        s.take();
      } else {
        break;
      }
    }
  }
  bool marker = s.c == 'p' || s.c == 'P' || (base != 16 && (s.c == 'e' || s.c == 'E'));
  if ((int_digits || frac_digits) && marker) {
    s.take();
    bool exp_negative = false, exp_sign = false;
    if (s.c == '+' || s.c == '-') {
      exp_sign = true;
      exp_negative = s.c == '-';
      s.take();
    }
    for (;;) {
      int d = digit_value(s.c);
      if (d < base) {
        exponent = exponent * base + d;
        if (exponent > kExponentCap) exponent = kExponentCap;
        exp_digits = true;
        s.take();
      } else if (s.c == '_') {
        if (!exp_digits) {
          s.take();
          return finish(t, s, TOKEN_INVALID);
        }
        s.take();
      } else {
        break;
      }
    }
    if (exp_sign && !exp_digits) return finish(t, s, TOKEN_INVALID);
    if (exp_negative) exponent = -exponent;
  }
  if (!int_digits && !frac_digits) {
    if (has_sign && !point && !prefix) return finish(t, s, negative ? TOKEN_MINUS : TOKEN_PLUS);
    return finish(t, s, TOKEN_INVALID);
  }
  if (!point && !frac_digits && !exp_digits) {
    t->number.int_value = static_cast<int64_t>(negative ? 0 - part : part);
    // int64_t holds magnitudes up to 2^63 - 1, and 2^63 when negative.
    t->overflowed = wrapped || (base == 10 && part > (negative ? (UINT64_MAX >> 1) + 1 : UINT64_MAX >> 1));
    return finish(t, s, TOKEN_INT);
  }
  double x = std::pow(static_cast<double>(base), static_cast<double>(exponent)) *
             ((wrapped ? part_real : static_cast<double>(part)) + fraction);
  t->number.float_value = negative ? -x : x;
  return finish(t, s, TOKEN_FLOAT);
}

}  // namespace

ExprTokenizer::ExprTokenizer() : reader(nullptr), lookahead(-1), token(TOKEN_INVALID), overflowed(false), error(0) {
  string_init(&text);
  number.int_value = 0;
}

ExprTokenizer::~ExprTokenizer() { tokenizer_destroy(this); }

void tokenizer_init(ExprTokenizer* t, CharReader* reader) {
  string_free(&t->text);
  t->reader = reader;
  t->lookahead = -1;
  t->token = TOKEN_INVALID;
  t->number.int_value = 0;
  t->overflowed = false;
  t->error = 0;
}

void tokenizer_destroy(ExprTokenizer* t) { string_free(&t->text); }

int keyword_token(const String* identifier) {
  int lo = 0, hi = static_cast<int>(sizeof(kKeywords) / sizeof(kKeywords[0])) - 1;
  while (lo <= hi) {
    int mid = (lo + hi) / 2;
    int r = compare_keyword(identifier, kKeywords[mid].name);
    if (r == 0) return kKeywords[mid].token;
    if (r < 0) hi = mid - 1; else lo = mid + 1;
  }
  return TOKEN_IDENTIFIER;
}

int next_token(ExprTokenizer* t, int flags) {
  if (!(flags & TOKEN_ADVANCE)) return t->token;
  Scan s{t, t->lookahead, false};
  t->lookahead = -1;
  if (s.c == -1) s.c = s.read();
  while (is_blank(s.c)) s.c = s.read();
  t->error = 0;
  string_clear(&t->text);
  if (s.c < 0) {
    // The end (or a failure) stays in the lookahead, so asking again gives
    // the same answer without reading.
    t->lookahead = s.c;
    if (s.c == -STATUS_END_OF_STREAM) {
      t->error = STATUS_END_OF_STREAM;
      t->token = TOKEN_END;
    } else {
      t->error = s.c == -1 ? STATUS_IO_ERROR : -s.c;
      t->token = TOKEN_ERROR;
    }
    return t->token;
  }
  int32_t first = s.c;
  int single = single_token(first);
  if (single >= 0) {
    // Complete by itself: nothing further is read.
    if (!string_append_char(&t->text, static_cast<uint32_t>(first))) s.oom = true;
    s.c = -1;
    return finish(t, s, single);
  }
  switch (first) {
    case '!':
      s.take();
      if (s.c == '=') { s.take(); return finish(t, s, TOKEN_NE); }
      return finish(t, s, TOKEN_NOT);
    case '&': case '|': case '^': {
      int tok = first == '&' ? TOKEN_AND : first == '|' ? TOKEN_OR : TOKEN_XOR;
      s.take();
      if (s.c == first) s.take();
      return finish(t, s, tok);
    }
    case '*':
      s.take();
      if (s.c == '*') { s.take(); return finish(t, s, TOKEN_POW); }
      return finish(t, s, TOKEN_MUL);
    case '<':
      s.take();
      if (s.c == '>') { s.take(); return finish(t, s, TOKEN_NE); }
      if (s.c == '=') {
        s.take();
        if (s.c == '>') { s.take(); return finish(t, s, TOKEN_CMP); }
        return finish(t, s, TOKEN_LE);
      }
      return finish(t, s, TOKEN_LT);
    case '=':
      s.take();
      if (s.c == '=') s.take();
      return finish(t, s, TOKEN_EQ);
    case '>':
      s.take();
      if (s.c == '=') { s.take(); return finish(t, s, TOKEN_GE); }
      return finish(t, s, TOKEN_GT);
    case ':':
      s.take();
      if (is_ident_start(s.c)) {
        string_clear(&t->text);  // the variable's text is the identifier alone
        while (is_ident_char(s.c)) s.take();
        return finish(t, s, TOKEN_VARIABLE);
      }
      return finish(t, s, TOKEN_COLON);
    case '\'':
      return scan_string(t, s);
    default:
      break;
  }
  if ((first == '+' || first == '-') && (flags & TOKEN_SIGN_OPERATORS)) {
    s.take();
    return finish(t, s, first == '+' ? TOKEN_PLUS : TOKEN_MINUS);
  }
  if (is_ident_start(first)) return scan_identifier(t, s, !(flags & TOKEN_NO_KEYWORDS));
  return scan_number(t, s);
}
