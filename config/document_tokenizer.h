#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/string.h"

class CharReader;

// Kinds of the tokens of the configuration syntax (JSON with the JSON5
// extensions). The numbers are stable: the document reader's transition
// tables are written against them.
enum DocumentTokenKind : int32_t {
  DOC_TOKEN_INVALID = 0,        // malformed number, '/' not starting a comment, stray '\'
  DOC_TOKEN_ERROR = 1,          // the tokenizer's `error` holds the status
  DOC_TOKEN_END = 2,            // end of input
  DOC_TOKEN_ARRAY_OPEN = 3,     // '['
  DOC_TOKEN_ARRAY_CLOSE = 4,    // ']'
  DOC_TOKEN_OBJECT_OPEN = 5,    // '{'
  DOC_TOKEN_OBJECT_CLOSE = 6,   // '}'
  DOC_TOKEN_COLON = 7,          // ':'
  DOC_TOKEN_COMMA = 8,          // ','
  DOC_TOKEN_SINGLE_STRING = 9,  // '...'
  DOC_TOKEN_DOUBLE_STRING = 10, // "..."
  DOC_TOKEN_IDENTIFIER = 11,
  DOC_TOKEN_TRUE = 12,
  DOC_TOKEN_FALSE = 13,
  DOC_TOKEN_NULL = 14,
  DOC_TOKEN_RESERVED = 15,      // a word of the reserved-word table
  DOC_TOKEN_LINE_COMMENT = 16,
  DOC_TOKEN_BLOCK_COMMENT = 17,
  DOC_TOKEN_DECIMAL = 18,       // value.integer
  DOC_TOKEN_HEXADECIMAL = 19,   // value.integer
  DOC_TOKEN_FLOAT = 20,         // value.real (also NaN and Infinity)
};

// Why the last token is an error, an invalid token, or a comment that ran
// into the end of input; DOC_REASON_NONE for every other token.
enum DocumentTokenReason : int32_t {
  DOC_REASON_NONE = 0,
  DOC_REASON_UNTERMINATED_STRING = 1,  // end of input inside a string
  DOC_REASON_LINE_BREAK = 2,           // a raw line feed inside a string
  DOC_REASON_BAD_ESCAPE = 3,           // \x or \u without its hexadecimal digits, '\' in a name
  DOC_REASON_BAD_UTF16 = 4,            // \u escapes that are not valid UTF-16
  DOC_REASON_BAD_NUMBER = 5,           // malformed number, or one run into a letter
  DOC_REASON_STRAY = 6,                // a character that starts no token ('/' alone, ...)
  DOC_REASON_UNTERMINATED_COMMENT = 7, // a block comment without its "*/" (kind stays 17)
  DOC_REASON_INPUT = 8,                // the input reported an error (its status in `error`)
  DOC_REASON_NO_MEMORY = 9,
};

// Lexer over a character input. The input is borrowed: the tokenizer only
// calls its read_char. One character of lookahead is kept between tokens.
struct DocumentTokenizer {
  CharReader* input;
  int32_t lookahead;   // character read but not consumed; -1 when none
  int32_t kind;        // DocumentTokenKind of the last token
  String text;         // string contents after escapes, identifier or comment text
  union {
    int64_t integer;   // DOC_TOKEN_DECIMAL, DOC_TOKEN_HEXADECIMAL
    double real;       // DOC_TOKEN_FLOAT
  } value;
  // DOC_TOKEN_DECIMAL and DOC_TOKEN_HEXADECIMAL: the number does not fit
  // (a decimal outside the range of int64_t, a hexadecimal of more than 64
  // bits). The value is then the number's low 64 bits, as ever; whoever
  // maps it onto a setting refuses it.
  bool overflowed;
  int32_t error;       // status explaining the last DOC_TOKEN_ERROR
  uint64_t pushback;   // times the last token is to be delivered again
  // UTF-16 code units of a run of consecutive \x and \u escapes, converted
  // together when the run ends so that surrogate pairs form one character.
  uint16_t* escape_units;
  size_t escape_count;
  size_t escape_capacity;
  // Positions, 1-based, counted in characters; a line ends at LF, CR or
  // CR LF. `line`/`column` is where the next character from the input
  // stands, `last_*` where the last character taken stood, `held_*` where
  // the lookahead stood, `token_*` where the last token began (for the end
  // of input: where the input ended).
  uint32_t line, column;
  uint32_t last_line, last_column;
  uint32_t held_line, held_column;
  uint32_t token_line, token_column;
  bool after_cr;       // the last character from the input was CR
  bool word;           // the last token was read as a bare word (name, true, NaN, a reserved word...)
  int32_t reason;      // DocumentTokenReason of the last token
};

// Sets up a tokenizer over `input` (may be null; then every token is an
// error with status 26). Cannot fail.
void document_tokenizer_init(DocumentTokenizer* tok, CharReader* input);

// Frees the token text and the escape buffer. Accepts a zeroed record and
// may be called twice.
void document_tokenizer_release(DocumentTokenizer* tok);

// With `advance` false returns the kind of the current token again. With it
// set, first serves pushbacks (decrementing the count), otherwise reads the
// next token. Statuses are carried in DOC_TOKEN_ERROR tokens: 5 memory,
// 7 a decimal number run into a letter or escapes that are not valid UTF-16,
// 55 a raw line feed in a string or a bad hexadecimal escape digit, 25 end
// of input inside a string, or the status reported by the input.
int32_t document_tokenizer_next(DocumentTokenizer* tok, bool advance);

// True when `word` (case-sensitive) is one of the 64 reserved words.
bool document_is_reserved_word(const String* word);
