#include "expr/value.h"

#include <cmath>

#include "expr/tokenizer.h"
#include "runtime/char_reader.h"
#include "runtime/status.h"
#include "runtime/string.h"

namespace {

// What a string reads as when taken as a scalar.
struct Scalar {
  int token;  // TOKEN_INT, TOKEN_FLOAT, TOKEN_TRUE, TOKEN_FALSE, or TOKEN_INVALID
  int64_t int_value;
  double float_value;
};

// Reads the text of `s` with the expression tokenizer. Returns 0 (scalar
// decided, or not a scalar at all: token TOKEN_INVALID), 7 when a scalar is
// followed by more text, 5 when the tokenizer could not store its text.
int read_scalar(String* s, Scalar* out) {
  StringReader reader;
  (void)reader.set_source(s);
  ExprTokenizer tok;
  tokenizer_init(&tok, &reader);
  int status = 0;
  int first = next_token(&tok, TOKEN_ADVANCE);
  out->token = TOKEN_INVALID;
  if (first == TOKEN_ERROR && tok.error == STATUS_NO_MEMORY) {
    status = STATUS_NO_MEMORY;
  } else if (first == TOKEN_INT || first == TOKEN_FLOAT || first == TOKEN_TRUE ||
             first == TOKEN_FALSE) {
    out->int_value = tok.number.int_value;
    out->float_value = tok.number.float_value;
    int second = next_token(&tok, TOKEN_ADVANCE);
    if (second == TOKEN_END) {
      out->token = first;
    } else if (second == TOKEN_ERROR && tok.error == STATUS_NO_MEMORY) {
      status = STATUS_NO_MEMORY;
    } else {
      status = STATUS_BAD_FORMAT;
    }
  }
  tokenizer_destroy(&tok);
  (void)reader.close();
  return status;
}

// Shared first step of the numeric conversions for a string value: on 0 the
// string has been replaced (by undef when it is no scalar) unless `*sc`
// holds a scalar for the caller to store.
int string_scalar(ExprValue* v, Scalar* sc) {
  if (!v->string_value) {  // a string tag without text reads as the empty text
    value_clear(v);
    return 0;
  }
  int status = read_scalar(v->string_value, sc);
  if (status != 0) return status;
  if (sc->token == TOKEN_INVALID) value_clear(v);
  return 0;
}

// Formats into a new heap String; null when memory runs out.
String* formatted_int(int64_t x) {
  String s;
  string_init(&s);
  if (string_format(&s, "%ld", static_cast<long>(x)) < 0) return nullptr;
  String* h = string_take(&s);
  string_free(&s);
  return h;
}

String* formatted_float(double x) {
  String s;
  string_init(&s);
  if (string_format(&s, "%f", x) < 0) return nullptr;
  String* h = string_take(&s);
  string_free(&s);
  return h;
}

String* ascii_string(const char* text) {
  String s;
  string_init(&s);
  if (!string_append_ascii(&s, text)) {
    string_free(&s);
    return nullptr;
  }
  String* h = string_take(&s);
  string_free(&s);
  return h;
}

}  // namespace

int64_t float_to_int(double x) {
  // 2^63 is exact as a double; everything in [-2^63, 2^63) converts.
  if (!(x >= -9223372036854775808.0 && x < 9223372036854775808.0)) return INT64_MIN;
  return static_cast<int64_t>(x);
}

void value_init(ExprValue* v) {
  v->type = VALUE_UNDEF;
  v->payload = 0;
}

void value_clear(ExprValue* v) {
  if (v->type == VALUE_STRING) string_delete(v->string_value);
  v->type = VALUE_UNDEF;
  v->payload = 0;
}

int value_assign(ExprValue* dst, const ExprValue* src) {
  if (dst == src) return 0;
  if (!src) {
    value_set_null(dst);
    return 0;
  }
  if (src->type == VALUE_STRING && src->string_value) {
    String* copy = string_clone(src->string_value);
    if (!copy) return STATUS_NO_MEMORY;
    value_take_string(dst, copy);
    return 0;
  }
  value_clear(dst);
  dst->type = src->type;
  dst->payload = src->payload;
  return 0;
}

void value_set_null(ExprValue* v) {
  value_clear(v);
  v->type = VALUE_NULL;
}

void value_set_int(ExprValue* v, int64_t x) {
  value_clear(v);
  v->type = VALUE_INT;
  v->int_value = x;
}

void value_set_float(ExprValue* v, double x) {
  value_clear(v);
  v->type = VALUE_FLOAT;
  v->float_value = x;
}

void value_set_bool(ExprValue* v, bool x) {
  value_clear(v);
  v->type = VALUE_BOOL;
  v->bool_value = x ? 1 : 0;
}

void value_take_string(ExprValue* v, String* s) {
  value_clear(v);
  v->type = VALUE_STRING;
  v->string_value = s;
}

int value_to_int(ExprValue* v) {
  switch (v->type) {
    case VALUE_UNDEF: case VALUE_NULL: case VALUE_INT: return 0;
    case VALUE_FLOAT: value_set_int(v, float_to_int(v->float_value)); return 0;
    case VALUE_BOOL: value_set_int(v, v->bool_value); return 0;
    case VALUE_STRING: {
      Scalar sc;
      int status = string_scalar(v, &sc);
      if (status != 0 || v->type != VALUE_STRING) return status;
      if (sc.token == TOKEN_INT) value_set_int(v, sc.int_value);
      else if (sc.token == TOKEN_FLOAT) value_set_int(v, float_to_int(sc.float_value));
      else value_set_int(v, sc.token == TOKEN_TRUE);
      return 0;
    }
    default: return STATUS_TYPE_MISMATCH;
  }
}

int value_to_float(ExprValue* v) {
  switch (v->type) {
    case VALUE_UNDEF: case VALUE_NULL: case VALUE_FLOAT: return 0;
    case VALUE_INT: value_set_float(v, static_cast<double>(v->int_value)); return 0;
    case VALUE_BOOL: value_set_float(v, v->bool_value ? 1.0 : 0.0); return 0;
    case VALUE_STRING: {
      Scalar sc;
      int status = string_scalar(v, &sc);
      if (status != 0 || v->type != VALUE_STRING) return status;
      if (sc.token == TOKEN_INT) value_set_float(v, static_cast<double>(sc.int_value));
      else if (sc.token == TOKEN_FLOAT) value_set_float(v, sc.float_value);
      else value_set_float(v, sc.token == TOKEN_TRUE ? 1.0 : 0.0);
      return 0;
    }
    default: return STATUS_TYPE_MISMATCH;
  }
}

int value_to_number(ExprValue* v) {
  switch (v->type) {
    case VALUE_UNDEF: case VALUE_NULL: case VALUE_INT: case VALUE_FLOAT: return 0;
    case VALUE_BOOL: value_set_int(v, v->bool_value); return 0;
    case VALUE_STRING: {
      Scalar sc;
      int status = string_scalar(v, &sc);
      if (status != 0 || v->type != VALUE_STRING) return status;
      if (sc.token == TOKEN_INT) value_set_int(v, sc.int_value);
      else if (sc.token == TOKEN_FLOAT) value_set_float(v, sc.float_value);
      else value_set_int(v, sc.token == TOKEN_TRUE);
      return 0;
    }
    default: return STATUS_TYPE_MISMATCH;
  }
}

int value_to_bool(ExprValue* v) {
  switch (v->type) {
    case VALUE_UNDEF: case VALUE_NULL: case VALUE_BOOL: return 0;
    case VALUE_INT: value_set_bool(v, v->int_value != 0); return 0;
    case VALUE_FLOAT: value_set_bool(v, std::fabs(v->float_value) >= 0.5); return 0;
    case VALUE_STRING: {
      Scalar sc;
      int status = string_scalar(v, &sc);
      if (status != 0 || v->type != VALUE_STRING) return status;
      if (sc.token == TOKEN_INT) value_set_bool(v, sc.int_value != 0);
      else if (sc.token == TOKEN_FLOAT) value_set_bool(v, sc.float_value > 0.5 || !(sc.float_value > -0.5));
      else value_set_bool(v, sc.token == TOKEN_TRUE);
      return 0;
    }
    default: return STATUS_TYPE_MISMATCH;
  }
}

int value_to_string(ExprValue* v) {
  String* s = nullptr;
  switch (v->type) {
    case VALUE_UNDEF: case VALUE_NULL: case VALUE_STRING: return 0;
    case VALUE_INT: s = formatted_int(v->int_value); break;
    case VALUE_FLOAT: s = formatted_float(v->float_value); break;
    case VALUE_BOOL: s = ascii_string(v->bool_value ? "true" : "false"); break;
    default: return STATUS_TYPE_MISMATCH;
  }
  if (!s) return STATUS_NO_MEMORY;
  value_take_string(v, s);
  return 0;
}

int value_to_text(ExprValue* v) {
  if (v->type == VALUE_UNDEF || v->type == VALUE_NULL) {
    String* s = ascii_string(v->type == VALUE_UNDEF ? "undef" : "null");
    if (!s) return STATUS_NO_MEMORY;
    value_take_string(v, s);
    return 0;
  }
  return value_to_string(v);
}
