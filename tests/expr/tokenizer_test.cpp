#include <gtest/gtest.h>

#include "expr_test_util.h"

using namespace expr_test;

namespace {

std::vector<int> codes(const char* text, int flags = TOKEN_ADVANCE) {
  std::vector<int> out;
  for (const Scanned& s : scan(text, flags)) out.push_back(s.token);
  return out;
}

Scanned first(const char* text, int flags = TOKEN_ADVANCE) { return scan(text, flags).front(); }

}  // namespace

TEST(ExprTokenizer, Operators) {
  EXPECT_EQ(codes("a<=>b"), (std::vector<int>{TOKEN_IDENTIFIER, TOKEN_CMP, TOKEN_IDENTIFIER, TOKEN_END}));
  EXPECT_EQ(codes("x<>y")[1], TOKEN_NE);
  EXPECT_EQ(codes("! != & && | || ^ ^^ * ** < <= > >= = == ~ % / ? ; , #@", 3),
            (std::vector<int>{TOKEN_NOT, TOKEN_NE, TOKEN_AND, TOKEN_AND, TOKEN_OR, TOKEN_OR, TOKEN_XOR,
                              TOKEN_XOR, TOKEN_MUL, TOKEN_POW, TOKEN_LT, TOKEN_LE, TOKEN_GT, TOKEN_GE,
                              TOKEN_EQ, TOKEN_EQ, TOKEN_BNOT, TOKEN_MOD, TOKEN_DIV, TOKEN_QUESTION,
                              TOKEN_SEMICOLON, TOKEN_COMMA, TOKEN_HASH, TOKEN_AT, TOKEN_END}));
  EXPECT_EQ(codes("([{}])"), (std::vector<int>{TOKEN_LPAREN, TOKEN_LBRACKET, TOKEN_LBRACE, TOKEN_RBRACE,
                                               TOKEN_RBRACKET, TOKEN_RPAREN, TOKEN_END}));
}

TEST(ExprTokenizer, KeywordsIgnoreCaseUnlessSwitchedOff) {
  for (const char* t : {"TRUE", "True", "true"}) {
    EXPECT_EQ(first(t).token, TOKEN_TRUE) << t;
    EXPECT_EQ(first(t, TOKEN_ADVANCE | TOKEN_NO_KEYWORDS).token, TOKEN_IDENTIFIER) << t;
  }
  // Every alias of the table, including the first and last entries.
  struct Case { const char* word; int token; } cases[] = {
      {"add", TOKEN_ADD}, {"xor", TOKEN_XOR}, {"imod", TOKEN_MOD}, {"inge", TOKEN_ILT},
      {"INLT", TOKEN_IGE}, {"ie", TOKEN_IEQ}, {"fp", TOKEN_TO_FLOAT}, {"uc", TOKEN_SUPR},
      {"lc", TOKEN_SLWR}, {"sr", TOKEN_SREP}, {"Db", TOKEN_DB}, {"undef", TOKEN_UNDEF},
      {"nle", TOKEN_GT}, {"ngt", TOKEN_LE},
  };
  for (const Case& c : cases) EXPECT_EQ(first(c.word).token, c.token) << c.word;
  for (const char* t : {"ad", "adds", "x", "_1", "file_name", "xorx"})
    EXPECT_EQ(first(t).token, TOKEN_IDENTIFIER) << t;
}

TEST(ExprTokenizer, ColonVariables) {
  Scanned v = first(":true");
  EXPECT_EQ(v.token, TOKEN_VARIABLE);
  EXPECT_EQ(v.text, "true");
  EXPECT_EQ(codes(": x"), (std::vector<int>{TOKEN_COLON, TOKEN_IDENTIFIER, TOKEN_END}));
  EXPECT_EQ(first(":_a1").text, "_a1");
}

TEST(ExprTokenizer, SignsBelongToNumbersUnlessOperators) {
  Scanned a = first("-5");
  EXPECT_EQ(a.token, TOKEN_INT);
  EXPECT_EQ(a.int_value, -5);
  std::vector<Scanned> b = scan("-5", 3);
  ASSERT_EQ(b.size(), 3u);
  EXPECT_EQ(b[0].token, TOKEN_MINUS);
  EXPECT_EQ(b[1].token, TOKEN_INT);
  EXPECT_EQ(b[1].int_value, 5);
  EXPECT_EQ(first("- 5").token, TOKEN_MINUS);
  EXPECT_EQ(first("+").token, TOKEN_PLUS);
}

TEST(ExprTokenizer, IntegersInEveryBaseWithSeparators) {
  // A number that does not fit keeps its low 64 bits and says so.
  struct Case { const char* text; int64_t want; bool overflowed; } cases[] = {
      {"1_000_000", 1000000, false}, {"1__0", 10, false}, {"0b1010", 10, false}, {"0o17", 15, false},
      {"0d19", 19, false}, {"0xff", 255, false}, {"0XFF", 255, false}, {"007", 7, false}, {"1e", 1, false},
      {"9223372036854775807", INT64_MAX, false}, {"9223372036854775808", INT64_MIN, true},
      {"18446744073709551617", 1, true}, {"0xFFFFFFFFFFFFFFFF", -1, false}, {"0x1_0000_0000_0000_0001", 1, true},
  };
  for (const Case& c : cases) {
    Scanned s = first(c.text);
    EXPECT_EQ(s.token, TOKEN_INT) << c.text;
    EXPECT_EQ(s.int_value, c.want) << c.text;
    EXPECT_EQ(s.overflowed, c.overflowed) << c.text;
  }
  // With its sign, -2^63 fits and one less does not.
  std::vector<Scanned> low = scan("-9223372036854775808 -9223372036854775809", TOKEN_ADVANCE);
  ASSERT_GE(low.size(), 2u);
  if (low[0].token == TOKEN_INT) {
    EXPECT_FALSE(low[0].overflowed);
    EXPECT_EQ(low[0].int_value, INT64_MIN);
    EXPECT_TRUE(low[1].overflowed);
  }
  std::vector<Scanned> two = scan("0b102");
  ASSERT_EQ(two.size(), 3u);
  EXPECT_EQ(two[0].int_value, 2);
  EXPECT_EQ(two[1].token, TOKEN_INT);
  EXPECT_EQ(two[1].int_value, 2);
  // The number ends before a letter that is no digit of its base.
  EXPECT_EQ(codes("6dB"), (std::vector<int>{TOKEN_INT, TOKEN_DB, TOKEN_END}));
  EXPECT_EQ(codes("12abc"), (std::vector<int>{TOKEN_INT, TOKEN_IDENTIFIER, TOKEN_END}));
}

TEST(ExprTokenizer, FloatsFractionsAndExponentsInTheirBase) {
  struct Case { const char* text; double want; } cases[] = {
      {"0x1p2", 256.0}, {"0b1e11", 8.0}, {"1e3", 1000.0}, {"1.5e1", 15.0}, {".5", 0.5},
      {"5.", 5.0}, {"0x.8", 0.5}, {"0b0.11", 0.75}, {"2.5e-1", 0.25}, {"-1.25", -1.25},
      {"1.0_5", 1.05}, {"0xAp0", 10.0},
  };
  for (const Case& c : cases) {
    Scanned s = first(c.text);
    EXPECT_EQ(s.token, TOKEN_FLOAT) << c.text;
    EXPECT_DOUBLE_EQ(s.float_value, c.want) << c.text;
  }
}

TEST(ExprTokenizer, MalformedNumbersAndStrayCharacters) {
  for (const char* t : {"0x_1", "1e+", "1._5", ".", "0x", "$", "\"", "-.", "1e-_1"})
    EXPECT_EQ(first(t).token, TOKEN_INVALID) << t;
  EXPECT_EQ(first("_1").token, TOKEN_IDENTIFIER);
  EXPECT_EQ(first("").token, TOKEN_END);
  EXPECT_EQ(first(" \t\r\n").token, TOKEN_END);
}

TEST(ExprTokenizer, StringLiterals) {
  EXPECT_EQ(first("'it\\'s'").text, "it's");
  EXPECT_EQ(first("'a\\qb'").text, "a\\qb");
  EXPECT_EQ(first("'\\n\\r\\t\\\\'").text, "\n\r\t\\");
  Scanned joined = first("'ab' \n 'cd'");
  EXPECT_EQ(joined.token, TOKEN_STRING);
  EXPECT_EQ(joined.text, "abcd");
  EXPECT_EQ(codes("'a' x"), (std::vector<int>{TOKEN_STRING, TOKEN_IDENTIFIER, TOKEN_END}));
  Scanned open = first("'abc");
  EXPECT_EQ(open.token, TOKEN_ERROR);
  EXPECT_EQ(open.error, STATUS_END_OF_STREAM);
  EXPECT_EQ(first("'ab\\").token, TOKEN_ERROR);
  EXPECT_EQ(first("'h\xC3\xA9'").text, "h\xC3\xA9");
}

TEST(ExprTokenizer, PeekRepeatsAndEndIsSticky) {
  Text src("a");
  StringReader reader;
  ASSERT_EQ(reader.set_source(src.get()), 0);
  ExprTokenizer tok;
  tokenizer_init(&tok, &reader);
  EXPECT_EQ(next_token(&tok, 0), TOKEN_INVALID);
  EXPECT_EQ(next_token(&tok, TOKEN_ADVANCE), TOKEN_IDENTIFIER);
  EXPECT_EQ(next_token(&tok, 0), TOKEN_IDENTIFIER);
  EXPECT_EQ(next_token(&tok, TOKEN_ADVANCE), TOKEN_END);
  EXPECT_EQ(tok.error, STATUS_END_OF_STREAM);
  EXPECT_EQ(next_token(&tok, TOKEN_ADVANCE), TOKEN_END);
  tokenizer_destroy(&tok);
  tokenizer_destroy(&tok);
  (void)reader.close();
}
