// Parsing and evaluation of statements.

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "expr/parser.h"
#include "runtime/alloc.h"
#include "expr_test_util.h"

using namespace expr_test;

namespace {

// Evaluates a statement; fails the test on a non-zero status.
Value eval_ok(const char* text, Resolver* r = nullptr) {
  Value v;
  EXPECT_EQ(run(text, v.p(), 0, r), 0) << text;
  return v;
}

void expect_int(const char* text, int64_t want, Resolver* r = nullptr) {
  Value v = eval_ok(text, r);
  ASSERT_EQ(v.v.type, VALUE_INT) << text;
  EXPECT_EQ(v.v.int_value, want) << text;
}

void expect_float(const char* text, double want) {
  Value v = eval_ok(text);
  ASSERT_EQ(v.v.type, VALUE_FLOAT) << text;
  EXPECT_NEAR(v.v.float_value, want, 1e-9 * std::fabs(want)) << text;
}

void expect_bool(const char* text, bool want, Resolver* r = nullptr) {
  Value v = eval_ok(text, r);
  ASSERT_EQ(v.v.type, VALUE_BOOL) << text;
  EXPECT_EQ(v.v.bool_value, want ? 1 : 0) << text;
}

void expect_undef(const char* text, Resolver* r = nullptr) {
  Value v = eval_ok(text, r);
  EXPECT_EQ(v.v.type, VALUE_UNDEF) << text;
}

void expect_text(const char* text, const char* want, Resolver* r = nullptr) {
  Value v = eval_ok(text, r);
  EXPECT_EQ(v.text(), want) << text;
}

int status_of(const char* text, Resolver* r = nullptr) {
  Value v;
  int status = run(text, v.p(), 0, r);
  EXPECT_EQ(v.v.type, VALUE_UNDEF) << text;
  return status;
}

}  // namespace

TEST(ExprParser, PrecedenceAndRightGrouping) {
  expect_int("10 - 3 - 2", 9);
  expect_int("8 / 4 / 2", 4);
  expect_float("2 ** 3 ** 2", 512.0);
  expect_int("1 + 2 * 3", 7);
  expect_int("(1 + 2) * 3", 9);
  expect_int("true ? 1 : false ? 2 : 3", 1);
  expect_int("false ? 1 : false ? 2 : 3", 3);
  expect_int("- - 5", 5);
  expect_bool("not not true", true);
  expect_int("-slen 'abc'", -3);
  expect_bool("1 + 1 = 2 and 3 < 4", true);
  expect_int("7 band 3 bor 8", 11);
}

TEST(ExprParser, DecibelFoldingAndFunctionForm) {
  for (const char* t : {"6 db", "6dB", "db 6"}) expect_float(t, 1.9952623149688795);
  expect_float("db 20", 10.0);
  expect_undef("db 'abc'");
}

TEST(ExprParser, RepetitionDoesNotChain) {
  Text src("'a' srep 2 srep 3");
  StringReader reader;
  ASSERT_EQ(reader.set_source(src.get()), 0);
  ExprTokenizer tok;
  tokenizer_init(&tok, &reader);
  ExprNode* tree = nullptr;
  ASSERT_EQ(parse_expression(&tree, &tok, 1), 0);
  EXPECT_EQ(next_token(&tok, 0), TOKEN_SREP);
  node_free(tree);
  tokenizer_destroy(&tok);
}

TEST(ExprParser, VariableIndexes) {
  Text src(":v[1][ 2 ] + 1");
  StringReader reader;
  ASSERT_EQ(reader.set_source(src.get()), 0);
  ExprTokenizer tok;
  tokenizer_init(&tok, &reader);
  ExprNode* tree = nullptr;
  ASSERT_EQ(parse_expression(&tree, &tok, 1), 0);
  ASSERT_EQ(tree->kind, NODE_OPERATOR);
  ExprNode* var = tree->op.first;
  ASSERT_EQ(var->kind, NODE_VARIABLE);
  EXPECT_EQ(var->var.count, 2u);
  EXPECT_EQ(utf8(var->var.name), "v");
  node_free(tree);
  tokenizer_destroy(&tok);
  EXPECT_EQ(status_of(":v[i + 1]"), STATUS_SYNTAX);
}

TEST(ExprParser, SyntaxErrors) {
  EXPECT_EQ(status_of(""), STATUS_END_OF_STREAM);
  EXPECT_EQ(status_of("1 +"), STATUS_END_OF_STREAM);
  EXPECT_EQ(status_of("abc"), STATUS_SYNTAX);
  EXPECT_EQ(status_of(":x ? 1"), STATUS_SYNTAX);
  EXPECT_EQ(status_of("(1"), STATUS_SYNTAX);
  EXPECT_EQ(status_of(":v[1"), STATUS_SYNTAX);
  EXPECT_EQ(status_of("'open"), STATUS_SYNTAX);
  Value one;
  EXPECT_EQ(run("1; x", one.p()), 0);  // a single statement ignores what follows ";"
  EXPECT_EQ(run("1 x", one.p()), 0);
}

TEST(ExprParser, NestingDepthIsBounded) {
  auto nested = [](int n, const char* open, const char* core, const char* close) {
    std::string s;
    for (int i = 0; i < n; ++i) s += open;
    s += core;
    for (int i = 0; i < n && close; ++i) s += close;
    return s;
  };
  uint64_t live = alloc_live();
  // Within the limit every form still works.
  expect_int(nested(EXPR_MAX_DEPTH - 1, "(", "1", ")").c_str(), 1);
  expect_int(nested(EXPR_MAX_DEPTH - 1, "- ", "1", nullptr).c_str(), -1);
  // Deeper texts fail with 18, whatever nests.
  const std::string deep[] = {
      nested(100000, "(", "1", ")"),
      nested(100000, "(", "", nullptr),
      nested(100000, "not ", "true", nullptr),
      nested(100000, "1 + ", "1", nullptr),
      nested(100000, "true ? 1 : ", "2", nullptr),
      nested(100000, ":v[", "1", "]"),
      nested(100000, "slen ", "'x'", nullptr),
  };
  for (const std::string& t : deep) EXPECT_EQ(status_of(t.c_str()), STATUS_LIMIT) << t.substr(0, 12);
  EXPECT_EQ(alloc_live(), live);
}

TEST(ExprEvaluate, Arithmetic) {
  expect_int("7 / 2", 3);
  expect_float("7 / 2.0", 3.5);
  expect_undef("7 / 0");
  Value inf = eval_ok("7.0 / 0");
  EXPECT_TRUE(std::isinf(inf.v.float_value) && inf.v.float_value > 0);
  expect_undef("7 idiv 0");
  expect_undef("7 % 0");
  expect_int("-7 % 3", -1);
  expect_int("7.9 idiv 2", 3);
  expect_float("2.5 + 1", 3.5);
  expect_int("'2' + 3", 5);
  expect_float("2 ** 10", 1024.0);
  expect_float("7 fmod 4", 3.0);
  expect_int("9223372036854775807 + 1", INT64_MIN);
  expect_int("~0", -1);
  expect_float("~2.5", -3.0);
  expect_undef("'abc' + 3");
  EXPECT_EQ(status_of("'12abc' + 3"), STATUS_TYPE_MISMATCH);
  EXPECT_EQ(status_of("-'1 2'"), STATUS_TYPE_MISMATCH);
}

TEST(ExprEvaluate, MostNegativeIntegerByMinusOne) {
  const char* min = "(-9223372036854775807 - 1)";
  for (const char* op : {" / -1", " idiv -1"}) {
    std::string t = std::string(min) + op;
    expect_int(t.c_str(), INT64_MIN);
  }
  expect_int((std::string(min) + " % -1").c_str(), 0);
  expect_int((std::string(min) + " mod -1").c_str(), 0);
  expect_int("-(-9223372036854775807 - 1)", INT64_MIN);
}

TEST(ExprEvaluate, UndefAndNullFlow) {
  expect_int("5 + undef", 5);
  expect_undef("undef + 5");
  expect_undef("5 + null");
  expect_undef("null * 2");
  expect_undef("2 ** undef");
  expect_undef("2 ** null");
  expect_undef("-undef");
  expect_undef("~null");
  expect_undef("not undef");
  expect_bool("not 0", true);
  expect_bool("undef or true", true);
  expect_undef("undef and true");
  expect_undef("undef xor true");
  expect_bool("true xor undef", true);
  expect_undef("(undef ? 1 : 2)");
  expect_text("(1 ? 'y' : 'n')", "y");
  expect_text("(0.4 ? 'y' : 'n')", "n");
  expect_undef("slen null");
  expect_bool("ex :missing", false);
  expect_bool("ex null", true);
  EXPECT_EQ(status_of("'1 x' or true"), STATUS_BAD_FORMAT);
  EXPECT_EQ(status_of("int '1 x'"), STATUS_BAD_FORMAT);
}

TEST(ExprEvaluate, ShortCircuitSkipsTheRightOperand) {
  // The right operand would fail with 6 (an indexed variable that is missing).
  Variables vars;
  variables_init(&vars);
  expect_bool("true or :v[1]", true, &vars);
  expect_bool("false and :v[1]", false, &vars);
  expect_undef("undef + :v[1]", &vars);
  variables_destroy(&vars);
}

TEST(ExprEvaluate, Comparisons) {
  expect_bool("1 = 1.0", true);
  expect_bool("'a' < 'b'", true);
  expect_bool("10 < '9'", true);  // compared as text
  expect_bool("true = false", false);
  expect_bool("false < true", true);
  expect_bool("1 = true", true);
  expect_bool("0 < false", false);
  expect_bool("undef < null", true);
  expect_bool("null = null", true);
  expect_bool(":missing = undef", true);
  expect_bool("'1.000000' = 1.0", true);
  expect_int("'b' <=> 'a'", 1);
  expect_int("'ab' <=> 'abc'", -'c');
  expect_int("2 <=> 1", 1);
  expect_bool("'abc' ieq 'abd'", true);
  expect_bool("2.9 ieq 2", true);
  expect_int("3 icmp 5", -1);
  expect_bool("(0.0 / 0.0) = 1", true);  // NaN compares equal
  EXPECT_EQ(status_of("'1x' ilt 2"), STATUS_TYPE_MISMATCH);
}

// A bool meets a number as 0 or 1, whatever the number's type and side:
// every relation of true/false against 1.0/0.5/0.0 (and the ints 1/0) in
// both operand orders agrees with comparing 1/0 against the number.
TEST(ExprEvaluate, BoolAgainstFloatComparesAsZeroOrOne) {
  const struct { const char* op; int (*holds)(double, double); } ops[] = {
      {"=", [](double a, double b) { return int(a == b); }},  {"!=", [](double a, double b) { return int(a != b); }},
      {"<", [](double a, double b) { return int(a < b); }},   {">", [](double a, double b) { return int(a > b); }},
      {"<=", [](double a, double b) { return int(a <= b); }}, {">=", [](double a, double b) { return int(a >= b); }},
  };
  const struct { const char* text; double value; } bools[] = {{"true", 1.0}, {"false", 0.0}};
  const struct { const char* text; double value; } numbers[] = {
      {"1.0", 1.0}, {"0.5", 0.5}, {"0.0", 0.0}, {"-0.25", -0.25}, {"1", 1.0}, {"0", 0.0}, {"2", 2.0}};
  for (const auto& o : ops) {
    for (const auto& b : bools) {
      for (const auto& n : numbers) {
        std::string left = std::string(b.text) + " " + o.op + " " + n.text;
        std::string right = std::string(n.text) + " " + o.op + " " + b.text;
        SCOPED_TRACE(left + "  /  " + right);
        expect_bool(left.c_str(), o.holds(b.value, n.value) != 0);
        expect_bool(right.c_str(), o.holds(n.value, b.value) != 0);
      }
    }
  }
  expect_int("true <=> 0.5", 1);
  expect_int("0.5 <=> true", -1);
  expect_int("false <=> 0.0", 0);
  expect_int("1.5 <=> true", 1);
  expect_bool("true = 1.0", true);
  expect_bool("true > 0.5", true);
}

TEST(ExprEvaluate, FunctionsAndText) {
  expect_int("slen 'h\xC3\xA9llo'", 5);
  expect_int("slen 123", 3);
  expect_int("slen true", 4);
  expect_int("slen 1.5", 8);
  expect_text("supr 'abc'", "ABC");
  expect_text("lc 'ABC'", "abc");
  expect_text("srev 'abc'", "cba");
  expect_text("str 2", "2");
  expect_undef("str undef");
  expect_bool("bool '0.6'", true);
  expect_text("'a' scat :missing", "aundef");
  expect_text("'a' sc 1 sc null", "a1null");
  expect_text("'ab' srep 0", "ab");
  expect_text("'ab' srep 2", "ababab");
  expect_text("'ab' srep 3", "abababab");
  expect_undef("'x' srep -1");
  expect_undef("'x' srep undef");
  expect_text("1 srep 2", "111");
}

TEST(ExprEvaluate, RepetitionCounts) {
  // Doubling must give exactly count + 1 copies for every bit pattern.
  for (int n = 0; n <= 40; ++n) {
    std::string t = "slen ('xy' srep " + std::to_string(n) + ")";
    expect_int(t.c_str(), 2 * (n + 1));
  }
  EXPECT_EQ(status_of("'ab' srep 9223372036854775807"), STATUS_LIMIT);
  expect_int("slen ('' srep 9223372036854775807)", 0);
}

TEST(ExprEvaluate, StatementsAndTheFirstResult) {
  Value v;
  EXPECT_EQ(run("1; 2", v.p(), EXPR_MULTIPLE), 0);
  EXPECT_EQ(v.v.int_value, 1);
  EXPECT_EQ(run("1;", v.p(), EXPR_MULTIPLE), STATUS_END_OF_STREAM);
  Expression e;
  expression_init(&e);
  EXPECT_EQ(expression_evaluate(&e, v.p()), STATUS_INVALID);
  Text bad("1 +");
  EXPECT_EQ(expression_parse(&e, bad.get(), 0), STATUS_END_OF_STREAM);
  EXPECT_EQ(expression_evaluate(&e, v.p()), STATUS_INVALID);
  Text names(":b + :a * :b[:c] ? :d : :e");
  ASSERT_EQ(expression_parse(&e, names.get(), 0), 0);
  std::string got;
  for (uint64_t i = 0; i < e.names.count; ++i) got += utf8(static_cast<String*>(e.names.data) + i);
  // Operator nodes visit first, second, third: the branches before the condition.
  EXPECT_EQ(got, "debac");
  expression_destroy(&e);
}
