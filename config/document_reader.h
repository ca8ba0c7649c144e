#pragma once

#include <cstdint>

#include "config/document_tokenizer.h"
#include "runtime/dynarray.h"
#include "runtime/string.h"

class CharReader;

// Syntax level at and above which the JSON5 extensions are on (single
// quotes, unquoted names, hexadecimal numbers, comments, trailing commas).
constexpr int32_t DOCUMENT_LEVEL_JSON5 = 5000;

// Ownership of the input handed to document_reader_open.
constexpr uint64_t DOCUMENT_CLOSE_INPUT = 1;    // close it when the reader is closed
constexpr uint64_t DOCUMENT_DESTROY_INPUT = 2;  // and then destroy it

enum DocumentEventKind : int32_t {
  OBJECT_BEGIN = 0,
  OBJECT_END = 1,
  ARRAY_BEGIN = 2,
  ARRAY_END = 3,
  PROPERTY = 4,    // text: the property name
  STRING = 5,      // text
  INTEGER = 6,     // value.integer
  FLOAT = 7,       // value.real
  BOOLEAN = 8,     // value.boolean
  NULL_VALUE = 9,
};

union DocumentValue {
  int64_t integer;
  double real;
  uint8_t boolean;  // 1 for true
};

// One event as handed to the caller. The record owns its text. `line` and
// `column` (1-based, in characters) are where the event's token begins: the
// name of a PROPERTY, the first character of a value, the bracket of a
// begin or end.
struct DocumentEvent {
  int32_t kind;
  String text;
  DocumentValue value;
  bool overflowed;  // INTEGER: the number does not fit int64_t (value holds its low 64 bits)
  uint32_t line;
  uint32_t column;
};

// What went wrong, for a message such as
//   at line 4, column 12: expected ',' or '}'
// `message` is a static English phrase (never freed); `line` and `column`
// (1-based, in characters) are where the offending token begins, or where
// the input ended.
struct DocumentError {
  int32_t status;
  uint32_t line;
  uint32_t column;
  const char* message;
};

void document_event_init(DocumentEvent* event);
void document_event_release(DocumentEvent* event);

// Reader states and the progress flags within them.
enum DocumentState : int32_t {
  DOC_STATE_TOP = 0,
  DOC_STATE_ARRAY = 1,
  DOC_STATE_OBJECT = 2,
};
constexpr uint64_t DOC_TOP_ROOT_READ = 8;
constexpr uint64_t DOC_ARRAY_VALUE = 8;
constexpr uint64_t DOC_ARRAY_COMMA = 1;
constexpr uint64_t DOC_OBJECT_START = 0;
constexpr uint64_t DOC_OBJECT_NAME = 4;
constexpr uint64_t DOC_OBJECT_COLON = 6;
constexpr uint64_t DOC_OBJECT_VALUE = 14;
constexpr uint64_t DOC_OBJECT_COMMA = 15;

// Pull reader of one document. Nesting is bounded only by memory: the
// states of the enclosing containers are kept in `stack`, never on the
// machine stack.
struct DocumentReader {
  DocumentTokenizer* tokenizer;  // owned; non-null exactly while open
  CharReader* input;
  uint64_t ownership;            // DOCUMENT_CLOSE_INPUT | DOCUMENT_DESTROY_INPUT
  int32_t level;
  int32_t state;                 // DocumentState
  uint64_t flags;
  int32_t event_kind;            // -1 when there is no current event
  String event_text;
  DocumentValue event_value;
  bool event_overflowed;         // INTEGER whose number does not fit
  DynArray stack;                // 16-byte entries of (state, flags)
  uint32_t event_line;           // where the current event's token begins
  uint32_t event_column;
  bool root_object;              // the root value is an object (for messages)
  DocumentError error;           // the last failure; status 0 when none
};

// A closed reader. Cannot fail.
void document_reader_init(DocumentReader* reader);

// Closes the reader if it is open (ignoring the input's close status).
// Accepts a zeroed record and may be called twice.
void document_reader_release(DocumentReader* reader);

// Opens the reader over `input` at syntax `level`. Returns 15 when it is
// already open, 13 without an input, 5 when the tokenizer cannot be made.
[[nodiscard]] int document_reader_open(DocumentReader* reader, CharReader* input, int32_t level,
                                       uint64_t ownership);

// Advances by one event and, when `event` is given, copies the event into it
// (text for PROPERTY and STRING, value for INTEGER, FLOAT and BOOLEAN; line
// and column always). Returns 0; 25 at the end of the document; 34 at the
// end of input inside a container; 55 for a syntax error, including any
// text after the root value but whitespace and complete comments (an
// unterminated string or block comment there as well); 15 when closed, for a
// string or name where none may stand, or a damaged state; 5, 7 or the
// input's status. Every failure but the normal end is recorded for
// document_reader_error.
[[nodiscard]] int document_reader_next(DocumentReader* reader, DocumentEvent* event);

// Consumes the rest of the value begun by the current event (for PROPERTY,
// its whole value), however deeply nested, without recursion. Returns 0 or
// the first error status.
[[nodiscard]] int document_reader_skip_value(DocumentReader* reader);

// Destroys the tokenizer, closes and destroys the input as the ownership
// says, empties the stack and the event text. Returns the input's close
// status (0 when it was not asked to close it, or the reader was closed).
// The record of the last failure is kept until the next open.
[[nodiscard]] int document_reader_close(DocumentReader* reader);

// The last failure of next-event or skip-value since open: true and *out
// filled when there was one, false (and *out zeroed: status 0, no message)
// when the document is fine so far or ended normally. Also valid after
// close. An empty document is a failure (status 25, "no value in the
// document"); the end after the root value is not. The messages:
//   "expected a value"                     "expected ',' or ']'"
//   "expected ',' or '}'"                  "expected ':'"
//   "expected a property name or '}'"      "expected a property name"
//   "unexpected end of input"              "no value in the document"
//   "text after the root object"           "text after the root value"
//   "unterminated string"                  "unterminated comment"
//   "line break inside a string"           "invalid escape sequence"
//   "escapes are not valid UTF-16"         "invalid number"
//   "unexpected character"                 "reserved word as a value"
//   "not allowed in plain JSON"            "invalid character encoding"
//   "cannot read the input"                "out of memory"
//   "reader is not open"
bool document_reader_error(const DocumentReader* reader, DocumentError* out);

// Line and column (1-based, in characters) where the current event's token
// begins; 0 and 0 when there is no current event.
void document_reader_position(const DocumentReader* reader, uint32_t* line, uint32_t* column);
