#pragma once

#include <cstdint>

struct String;

// Type tags of ExprValue. A tag above VALUE_BOOL is invalid and every
// conversion reports STATUS_TYPE_MISMATCH for it.
enum ExprValueType : int32_t {
  VALUE_UNDEF = 0,   // no value (missing variable, operation on undef, non-number text)
  VALUE_NULL = 1,    // the literal null, or a string variable set from an absent String
  VALUE_INT = 2,     // int_value
  VALUE_FLOAT = 3,   // float_value
  VALUE_STRING = 4,  // string_value: heap String owned by the value
  VALUE_BOOL = 5,    // bool_value: 0 or 1
};

// The dynamically typed value of the expression language (16 bytes). A
// VALUE_STRING value owns its String: copies copy it, release frees it.
struct ExprValue {
  int32_t type;
  union {
    int64_t int_value;
    double float_value;
    String* string_value;
    uint8_t bool_value;
    uint64_t payload;  // the whole 8 bytes, kept 0 for undef and null
  };
};

// Tag VALUE_UNDEF, payload 0.
void value_init(ExprValue* v);
// Frees an owned String; the value becomes undef. Idempotent.
void value_clear(ExprValue* v);
// Copies src into dst (a string is copied deeply). A null src makes dst null.
// 5 when the copy cannot be allocated; dst is then untouched. dst == src ok.
[[nodiscard]] int value_assign(ExprValue* dst, const ExprValue* src);

// Setters; each releases the old content of v first.
void value_set_null(ExprValue* v);
void value_set_int(ExprValue* v, int64_t x);
void value_set_float(ExprValue* v, double x);
void value_set_bool(ExprValue* v, bool x);
// Takes ownership of the heap String s (must not be null).
void value_take_string(ExprValue* v, String* s);

// In-place conversions. Undef and null stay as they are. A string is read
// with the expression tokenizer: a number or true/false converts, anything
// that is not a scalar becomes undef (status 0), a scalar followed by more
// text gives 7 and leaves the string. 5 when memory runs out (value
// unchanged), 33 for an invalid tag.
[[nodiscard]] int value_to_int(ExprValue* v);
[[nodiscard]] int value_to_float(ExprValue* v);
// int and float stay; bool and string give an int or a float.
[[nodiscard]] int value_to_number(ExprValue* v);
[[nodiscard]] int value_to_bool(ExprValue* v);
// int as "%ld", float as "%f", bool as true/false; undef, null and strings
// stay. 5 when the text cannot be allocated (value unchanged).
[[nodiscard]] int value_to_string(ExprValue* v);
// value_to_string, and undef/null become the texts "undef"/"null".
[[nodiscard]] int value_to_text(ExprValue* v);

// Truncation toward zero of a double as the processor's conversion does it:
// NaN and values outside the 64-bit range give INT64_MIN.
int64_t float_to_int(double x);
