#include <cmath>

#include <gtest/gtest.h>

#include "expr_test_util.h"
#include "tests/support/alloc_fail.h"

using namespace expr_test;

namespace {

// Converts the string `text` with `conv`; returns the status.
int convert_text(const char* text, int (*conv)(ExprValue*), Value& out) {
  set_string(out.p(), text);
  return conv(out.p());
}

}  // namespace

TEST(ExprValue, StringToIntReadsEveryNumberSyntax) {
  struct Case { const char* text; int64_t want; } cases[] = {
      {" 42 ", 42}, {"0x1F", 31}, {"-7", -7}, {"1_000", 1000}, {"2.9", 2}, {"-2.9", -2},
      {"TRUE", 1}, {"false", 0}, {"\t0b101\n", 5},
  };
  for (const Case& c : cases) {
    Value v;
    EXPECT_EQ(convert_text(c.text, value_to_int, v), 0) << c.text;
    ASSERT_EQ(v.v.type, VALUE_INT) << c.text;
    EXPECT_EQ(v.v.int_value, c.want) << c.text;
  }
}

TEST(ExprValue, NonScalarTextBecomesUndefButTrailingTextIsAnError) {
  for (const char* text : {"abc", "", "null", "undef", "+", "$"}) {
    Value v;
    EXPECT_EQ(convert_text(text, value_to_int, v), 0) << text;
    EXPECT_EQ(v.v.type, VALUE_UNDEF) << text;
  }
  for (const char* text : {"12abc", "1 2", "true x"}) {
    Value v;
    EXPECT_EQ(convert_text(text, value_to_int, v), STATUS_BAD_FORMAT) << text;
    EXPECT_EQ(v.v.type, VALUE_STRING) << text;
    EXPECT_EQ(v.text(), text);
  }
}

TEST(ExprValue, FloatAndNumberConversions) {
  Value a;
  EXPECT_EQ(convert_text("1e3", value_to_float, a), 0);
  ASSERT_EQ(a.v.type, VALUE_FLOAT);
  EXPECT_EQ(a.v.float_value, 1000.0);
  Value b;
  EXPECT_EQ(convert_text("6", value_to_float, b), 0);
  ASSERT_EQ(b.v.type, VALUE_FLOAT);
  EXPECT_EQ(b.v.float_value, 6.0);
  Value c;
  EXPECT_EQ(convert_text("3", value_to_number, c), 0);
  EXPECT_EQ(c.v.type, VALUE_INT);
  Value d;
  EXPECT_EQ(convert_text("3.0", value_to_number, d), 0);
  EXPECT_EQ(d.v.type, VALUE_FLOAT);
  Value e;
  EXPECT_EQ(convert_text("false", value_to_number, e), 0);
  ASSERT_EQ(e.v.type, VALUE_INT);
  EXPECT_EQ(e.v.int_value, 0);
  Value f;
  value_set_float(f.p(), -2.9);
  EXPECT_EQ(value_to_int(f.p()), 0);
  EXPECT_EQ(f.v.int_value, -2);
}

TEST(ExprValue, BoolRulesDifferAtOneHalf) {
  Value f;
  value_set_float(f.p(), 0.5);
  EXPECT_EQ(value_to_bool(f.p()), 0);
  EXPECT_EQ(f.v.type, VALUE_BOOL);
  EXPECT_EQ(f.v.bool_value, 1);
  struct Case { const char* text; int want; } cases[] = {{"0.5", 0}, {"0.6", 1}, {"-0.5", 1}, {"0", 0}, {"-3", 1}};
  for (const Case& c : cases) {
    Value v;
    EXPECT_EQ(convert_text(c.text, value_to_bool, v), 0);
    ASSERT_EQ(v.v.type, VALUE_BOOL) << c.text;
    EXPECT_EQ(v.v.bool_value, c.want) << c.text;
  }
  Value n;
  value_set_float(n.p(), NAN);
  EXPECT_EQ(value_to_bool(n.p()), 0);
  EXPECT_EQ(n.v.bool_value, 0);
  Value i;
  value_set_int(i.p(), -3);
  EXPECT_EQ(value_to_bool(i.p()), 0);
  EXPECT_EQ(i.v.bool_value, 1);
}

TEST(ExprValue, TextForms) {
  Value u;
  EXPECT_EQ(value_to_string(u.p()), 0);
  EXPECT_EQ(u.v.type, VALUE_UNDEF);
  EXPECT_EQ(value_to_text(u.p()), 0);
  EXPECT_EQ(u.text(), "undef");
  Value n;
  value_set_null(n.p());
  EXPECT_EQ(value_to_text(n.p()), 0);
  EXPECT_EQ(n.text(), "null");
  Value f;
  value_set_float(f.p(), 1.0);
  EXPECT_EQ(value_to_string(f.p()), 0);
  EXPECT_EQ(f.text(), "1.000000");
  Value g;
  value_set_float(g.p(), 0.5);
  EXPECT_EQ(value_to_text(g.p()), 0);
  EXPECT_EQ(g.text(), "0.500000");
  Value i;
  value_set_int(i.p(), -12);
  EXPECT_EQ(value_to_string(i.p()), 0);
  EXPECT_EQ(i.text(), "-12");
  Value b;
  value_set_bool(b.p(), false);
  EXPECT_EQ(value_to_text(b.p()), 0);
  EXPECT_EQ(b.text(), "false");
}

TEST(ExprValue, AssignCopiesDeeplyAndAbsentSourceGivesNull) {
  Value dst;
  set_string(dst.p(), "old");
  EXPECT_EQ(value_assign(dst.p(), nullptr), 0);
  EXPECT_EQ(dst.v.type, VALUE_NULL);
  {
    Value src;
    set_string(src.p(), "kept");
    EXPECT_EQ(value_assign(dst.p(), src.p()), 0);
  }
  EXPECT_EQ(dst.text(), "kept");
  Value bad;
  bad.v.type = 9;
  EXPECT_EQ(value_to_int(bad.p()), STATUS_TYPE_MISMATCH);
  EXPECT_EQ(value_to_text(bad.p()), STATUS_TYPE_MISMATCH);
  bad.v.type = VALUE_UNDEF;
}

TEST(ExprValue, OutOfRangeFloatsTruncateWithoutUndefinedBehaviour) {
  EXPECT_EQ(float_to_int(1e300), INT64_MIN);
  EXPECT_EQ(float_to_int(NAN), INT64_MIN);
  EXPECT_EQ(float_to_int(-9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(float_to_int(-7.5), -7);
}

TEST(ExprValue, AllocationFailureLeavesTheValueUnchanged) {
  for_each_alloc_failure([] {
    Value v;
    String s;
    string_init(&s);
    bool made = string_from_utf8(&s, "0x1F", 4);
    String* h = made ? string_take(&s) : nullptr;
    string_free(&s);
    if (!h) return;
    value_take_string(v.p(), h);
    int status = value_to_int(v.p());
    if (status == 0) {
      EXPECT_EQ(v.v.type, VALUE_INT);
      EXPECT_EQ(v.v.int_value, 31);
    } else {
      EXPECT_EQ(status, STATUS_NO_MEMORY);
      EXPECT_EQ(v.text(), "0x1F");
    }
  });
  for_each_alloc_failure([] {
    Value v;
    value_set_int(v.p(), 7);
    int status = value_to_text(v.p());
    if (status == 0) {
      EXPECT_EQ(v.text(), "7");
    } else {
      EXPECT_EQ(status, STATUS_NO_MEMORY);
      EXPECT_EQ(v.v.type, VALUE_INT);
    }
  });
}
