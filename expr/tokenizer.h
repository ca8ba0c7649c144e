#pragma once

#include <cstdint>

#include "runtime/string.h"

class CharReader;

// Token codes of the expression language (code 5 is never produced).
enum ExprToken : int32_t {
  TOKEN_VARIABLE = 0,    // ":" directly followed by an identifier; text is the identifier
  TOKEN_IDENTIFIER = 1,
  TOKEN_INT = 2,
  TOKEN_FLOAT = 3,
  TOKEN_STRING = 4,      // text is the decoded content
  TOKEN_LPAREN = 6,
  TOKEN_RPAREN = 7,
  TOKEN_LBRACKET = 8,
  TOKEN_RBRACKET = 9,
  TOKEN_LBRACE = 10,
  TOKEN_RBRACE = 11,
  TOKEN_HASH = 12,
  TOKEN_AT = 13,
  TOKEN_TRUE = 14,
  TOKEN_FALSE = 15,
  TOKEN_NULL = 16,
  TOKEN_UNDEF = 17,
  TOKEN_AND = 18,
  TOKEN_OR = 19,
  TOKEN_NOT = 20,
  TOKEN_XOR = 21,
  TOKEN_BAND = 22,
  TOKEN_BOR = 23,
  TOKEN_BNOT = 24,
  TOKEN_BXOR = 25,
  TOKEN_PLUS = 26,
  TOKEN_MINUS = 27,
  TOKEN_ADD = 28,
  TOKEN_SUB = 29,
  TOKEN_MUL = 30,
  TOKEN_POW = 31,
  TOKEN_DIV = 32,
  TOKEN_FMOD = 33,
  TOKEN_IADD = 34,
  TOKEN_ISUB = 35,
  TOKEN_IMUL = 36,
  TOKEN_IDIV = 37,
  TOKEN_MOD = 38,
  TOKEN_LT = 39,
  TOKEN_GT = 40,
  TOKEN_LE = 41,
  TOKEN_GE = 42,
  TOKEN_NE = 43,
  TOKEN_EQ = 44,
  TOKEN_CMP = 45,
  TOKEN_ILT = 46,
  TOKEN_IGT = 47,
  TOKEN_ILE = 48,
  TOKEN_IGE = 49,
  TOKEN_INE = 50,
  TOKEN_IEQ = 51,
  TOKEN_ICMP = 52,
  TOKEN_SCAT = 53,
  TOKEN_SREP = 54,
  TOKEN_SLEN = 55,
  TOKEN_SREV = 56,
  TOKEN_SUPR = 57,
  TOKEN_SLWR = 58,
  TOKEN_TO_INT = 59,
  TOKEN_TO_FLOAT = 60,
  TOKEN_TO_STR = 61,
  TOKEN_TO_BOOL = 62,
  TOKEN_EX = 63,
  TOKEN_DB = 64,
  TOKEN_QUESTION = 65,
  TOKEN_COLON = 66,      // ":" not followed by an identifier
  TOKEN_SEMICOLON = 67,
  TOKEN_COMMA = 68,
  TOKEN_INVALID = 69,    // malformed number, or a character that starts no token
  TOKEN_END = 70,
  TOKEN_ERROR = 71,      // read or allocation failure; see `error`
};

// Flags of next_token.
enum : int {
  TOKEN_ADVANCE = 1,          // read a new token (without it: peek the current one)
  TOKEN_SIGN_OPERATORS = 2,   // "+" and "-" are operators, never a number's sign
  TOKEN_NO_KEYWORDS = 8,      // identifiers are not looked up as keywords
};

// Turns code points from a CharReader into expression tokens. The reader is
// borrowed and must outlive the tokenizer. One code point of lookahead is
// kept between tokens; single-character tokens such as "}" read nothing
// beyond themselves, so a caller may continue reading the same reader after
// them.
class ExprTokenizer {
 public:
  ExprTokenizer();
  virtual ~ExprTokenizer();

  CharReader* reader;  // not owned
  int32_t lookahead;   // code point (or negated status) read but not consumed; -1 none
  int32_t token;       // current token code
  String text;         // characters of the current token, owned
  union {
    int64_t int_value;   // TOKEN_INT
    double float_value;  // TOKEN_FLOAT
  } number;
  // TOKEN_INT whose number does not fit: a decimal outside the range of
  // int64_t, or more than 64 bits in another base. int_value then holds the
  // low 64 bits.
  bool overflowed;
  int32_t error;       // status behind TOKEN_ERROR (25 after TOKEN_END)
};

// No lookahead, empty text, error 0, token TOKEN_INVALID.
void tokenizer_init(ExprTokenizer* t, CharReader* reader);
// Releases the text; the reader is not touched. Idempotent.
void tokenizer_destroy(ExprTokenizer* t);
// Returns the current token after reading a new one when `flags` has
// TOKEN_ADVANCE. Token code, text and number are left in the fields.
int next_token(ExprTokenizer* t, int flags);

// Looks an identifier up in the 65-entry keyword table without regard to
// case; returns the keyword's token code or TOKEN_IDENTIFIER.
int keyword_token(const String* identifier);
