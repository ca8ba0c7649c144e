#pragma once

// Helpers shared by the expression tests.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expr/expression.h"
#include "expr/tokenizer.h"
#include "expr/value.h"
#include "expr/variables.h"
#include "runtime/char_reader.h"
#include "runtime/status.h"
#include "runtime/string.h"

namespace expr_test {

// A String holding UTF-8 text; released with the object.
struct Text {
  String s;
  explicit Text(const char* utf8) {
    string_init(&s);
    EXPECT_TRUE(string_from_utf8(&s, utf8, std::strlen(utf8)));
  }
  ~Text() { string_free(&s); }
  String* get() { return &s; }
};

// UTF-8 of a String, built without project allocations (so that it does not
// disturb the allocation-failure sweeps).
inline std::string utf8(const String* s) {
  std::string out;
  for (uint64_t i = 0; i < s->length; ++i) {
    uint8_t buf[4];
    unsigned n = encode_utf8_char(s->chars[i], buf);
    out.append(reinterpret_cast<char*>(buf), n);
  }
  return out;
}

// An ExprValue released with the object.
struct Value {
  ExprValue v;
  Value() { value_init(&v); }
  ~Value() { value_clear(&v); }
  ExprValue* p() { return &v; }
  std::string text() { return v.type == VALUE_STRING ? utf8(v.string_value) : std::string("<not a string>"); }
};

inline void set_string(ExprValue* v, const char* utf8_text) {
  String s;
  string_init(&s);
  ASSERT_TRUE(string_from_utf8(&s, utf8_text, std::strlen(utf8_text)));
  String* h = string_take(&s);
  string_free(&s);
  ASSERT_NE(h, nullptr);
  value_take_string(v, h);
}

// Tokens of a whole text (up to and including END, ERROR or INVALID).
struct Scanned {
  int token;
  std::string text;
  int64_t int_value;
  double float_value;
  int error;
  bool overflowed;
};

inline std::vector<Scanned> scan(const char* text, int flags = TOKEN_ADVANCE) {
  Text src(text);
  StringReader reader;
  EXPECT_EQ(reader.set_source(src.get()), 0);
  ExprTokenizer tok;
  tokenizer_init(&tok, &reader);
  std::vector<Scanned> out;
  for (int i = 0; i < 64; ++i) {
    int t = next_token(&tok, flags);
    out.push_back({t, utf8(&tok.text), tok.number.int_value, tok.number.float_value, tok.error, tok.overflowed});
    if (t == TOKEN_END || t == TOKEN_ERROR || t == TOKEN_INVALID) break;
  }
  tokenizer_destroy(&tok);
  (void)reader.close();
  return out;
}

// Parses `text` in `mode` and evaluates it against `resolver` into `out`.
// Returns the parse status if it fails, else the evaluation status.
inline int run(const char* text, ExprValue* out, int mode = 0, Resolver* resolver = nullptr) {
  Text src(text);
  Expression e;
  expression_init(&e);
  int status = expression_parse(&e, src.get(), mode);
  if (status == 0) {
    e.resolver = resolver;
    status = expression_evaluate(&e, out);
  }
  expression_destroy(&e);
  return status;
}

}  // namespace expr_test
