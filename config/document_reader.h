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

// One event as handed to the caller. The record owns its text.
struct DocumentEvent {
  int32_t kind;
  String text;
  DocumentValue value;
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
  DynArray stack;                // 16-byte entries of (state, flags)
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
// (text for PROPERTY and STRING, value for INTEGER, FLOAT and BOOLEAN).
// Returns 0; 25 at the end of the document; 34 at the end of input inside a
// container; 55 for a syntax error; 15 when closed, for a string or name
// where none may stand, or a damaged state; 5, 7 or the input's status.
[[nodiscard]] int document_reader_next(DocumentReader* reader, DocumentEvent* event);

// Consumes the rest of the value begun by the current event (for PROPERTY,
// its whole value), however deeply nested, without recursion. Returns 0 or
// the first error status.
[[nodiscard]] int document_reader_skip_value(DocumentReader* reader);

// Destroys the tokenizer, closes and destroys the input as the ownership
// says, empties the stack and the event text. Returns the input's close
// status (0 when it was not asked to close it, or the reader was closed).
[[nodiscard]] int document_reader_close(DocumentReader* reader);
