#include "config/document_reader.h"

#include <cstring>

#include "runtime/alloc.h"
#include "runtime/char_reader.h"
#include "runtime/status.h"

namespace {

// One saved container context; 16 bytes so that the stack entries have the
// documented size.
struct SavedState {
  int32_t state;
  int32_t reserved;
  uint64_t flags;
};
static_assert(sizeof(SavedState) == 16, "stack entries are 16 bytes");

bool json5(const DocumentReader* r) { return r->level >= DOCUMENT_LEVEL_JSON5; }

int push_state(DocumentReader* r) {
  auto* e = static_cast<SavedState*>(dynarray_extend(&r->stack, 1));
  if (!e) return STATUS_NO_MEMORY;
  e->state = r->state;
  e->reserved = 0;
  e->flags = r->flags;
  return STATUS_OK;
}

int pop_state(DocumentReader* r) {
  auto* e = static_cast<SavedState*>(dynarray_pop(&r->stack, 1));
  if (!e) return STATUS_INVALID;
  r->state = e->state;
  r->flags = e->flags;
  return STATUS_OK;
}

// Next token with comments removed (level >= 5000) or refused (55 below; a
// block comment that never ends is 55 at any level). Returns 0 or a status,
// with the token's kind in *kind either way.
int next_token(DocumentReader* r, int32_t* kind) {
  for (;;) {
    int32_t k = document_tokenizer_next(r->tokenizer, true);
    *kind = k;
    if (k == DOC_TOKEN_LINE_COMMENT || k == DOC_TOKEN_BLOCK_COMMENT) {
      if (!json5(r) || r->tokenizer->reason == DOC_REASON_UNTERMINATED_COMMENT) return STATUS_SYNTAX;
      continue;
    }
    if (k == DOC_TOKEN_ERROR) return r->tokenizer->error;
    return STATUS_OK;
  }
}

int emit(DocumentReader* r, int32_t kind) {
  r->event_kind = kind;
  return STATUS_OK;
}

int emit_text(DocumentReader* r, int32_t kind) {
  if (!string_assign(&r->event_text, &r->tokenizer->text)) return STATUS_NO_MEMORY;
  return emit(r, kind);
}

// Scalar tokens that may stand as a value in an array or at the root:
// everything but identifiers, with single quotes and hexadecimal only in
// JSON5. Returns 0 after setting the event, or 55.
int emit_scalar(DocumentReader* r, int32_t k) {
  switch (k) {
    case DOC_TOKEN_SINGLE_STRING:
      if (!json5(r)) return STATUS_SYNTAX;
      return emit_text(r, STRING);
    case DOC_TOKEN_DOUBLE_STRING: return emit_text(r, STRING);
    case DOC_TOKEN_TRUE:
    case DOC_TOKEN_FALSE:
      r->event_value.integer = 0;
      r->event_value.boolean = k == DOC_TOKEN_TRUE ? 1 : 0;
      return emit(r, BOOLEAN);
    case DOC_TOKEN_NULL: return emit(r, NULL_VALUE);
    case DOC_TOKEN_HEXADECIMAL:
      if (!json5(r)) return STATUS_SYNTAX;
      [[fallthrough]];
    case DOC_TOKEN_DECIMAL:
      r->event_value.integer = r->tokenizer->value.integer;
      r->event_overflowed = r->tokenizer->overflowed;
      return emit(r, INTEGER);
    case DOC_TOKEN_FLOAT:
      r->event_value.real = r->tokenizer->value.real;
      return emit(r, FLOAT);
    default: return STATUS_SYNTAX;
  }
}

bool is_scalar_token(int32_t k) {
  return k == DOC_TOKEN_SINGLE_STRING || k == DOC_TOKEN_DOUBLE_STRING || k == DOC_TOKEN_TRUE ||
         k == DOC_TOKEN_FALSE || k == DOC_TOKEN_NULL || k == DOC_TOKEN_DECIMAL ||
         k == DOC_TOKEN_HEXADECIMAL || k == DOC_TOKEN_FLOAT;
}

// Begins a nested container: the caller has already set the flags that the
// enclosing context resumes with.
int begin_container(DocumentReader* r, int32_t k) {
  int st = push_state(r);
  if (st != STATUS_OK) return st;
  bool array = k == DOC_TOKEN_ARRAY_OPEN;
  r->state = array ? DOC_STATE_ARRAY : DOC_STATE_OBJECT;
  r->flags = 0;
  return emit(r, array ? ARRAY_BEGIN : OBJECT_BEGIN);
}

int end_container(DocumentReader* r, int32_t kind) {
  int st = pop_state(r);
  if (st != STATUS_OK) return st;
  return emit(r, kind);
}

int step_top(DocumentReader* r, int32_t k) {
  if (k == DOC_TOKEN_END) return STATUS_END_OF_STREAM;
  if (r->flags & DOC_TOP_ROOT_READ) return STATUS_SYNTAX;
  if (k == DOC_TOKEN_ARRAY_OPEN || k == DOC_TOKEN_OBJECT_OPEN) {
    r->flags |= DOC_TOP_ROOT_READ;
    r->root_object = k == DOC_TOKEN_OBJECT_OPEN;
    return begin_container(r, k);
  }
  if (!is_scalar_token(k)) return STATUS_SYNTAX;
  int st = emit_scalar(r, k);
  // A single-quoted or hexadecimal root counts as the root as well, so that
  // a second value after it is refused like after any other root.
  if (st == STATUS_OK) r->flags |= DOC_TOP_ROOT_READ;
  return st;
}

// Returns 0 with an event, -1 to read the next token (after a comma), or a
// status.
int step_array(DocumentReader* r, int32_t k) {
  bool may_value = r->flags == 0 || r->flags == (DOC_ARRAY_VALUE | DOC_ARRAY_COMMA);
  switch (k) {
    case DOC_TOKEN_END: return STATUS_CORRUPTED;
    case DOC_TOKEN_COMMA:
      if (r->flags != DOC_ARRAY_VALUE) return STATUS_SYNTAX;
      r->flags |= DOC_ARRAY_COMMA;
      return -1;
    case DOC_TOKEN_ARRAY_CLOSE:
      if (r->flags == (DOC_ARRAY_VALUE | DOC_ARRAY_COMMA) && !json5(r)) return STATUS_SYNTAX;
      return end_container(r, ARRAY_END);
    case DOC_TOKEN_ARRAY_OPEN:
    case DOC_TOKEN_OBJECT_OPEN:
      if (!may_value) return STATUS_SYNTAX;
      r->flags = DOC_ARRAY_VALUE;
      return begin_container(r, k);
    default:
      if (!may_value || !is_scalar_token(k)) return STATUS_SYNTAX;
      r->flags = DOC_ARRAY_VALUE;
      return emit_scalar(r, k);
  }
}

// A bare word that the tokenizer gives a kind of its own (a reserved word,
// true, false, null, an unsigned NaN or Infinity) is an identifier name all
// the same, and so a valid unquoted property name.
bool is_word_name(const DocumentReader* r, int32_t k) {
  if (!json5(r) || !r->tokenizer->word) return false;
  return k == DOC_TOKEN_RESERVED || k == DOC_TOKEN_TRUE || k == DOC_TOKEN_FALSE || k == DOC_TOKEN_NULL ||
         k == DOC_TOKEN_FLOAT;
}

int step_object(DocumentReader* r, int32_t k) {
  uint64_t f = r->flags;
  if ((f == DOC_OBJECT_START || f == DOC_OBJECT_COMMA) && is_word_name(r, k)) {
    r->flags = DOC_OBJECT_NAME;
    return emit_text(r, PROPERTY);
  }
  switch (k) {
    case DOC_TOKEN_END: return STATUS_CORRUPTED;
    case DOC_TOKEN_SINGLE_STRING:
    case DOC_TOKEN_DOUBLE_STRING:
    case DOC_TOKEN_IDENTIFIER: {
      bool name = f == DOC_OBJECT_START || f == DOC_OBJECT_COMMA;
      if (!name && f != DOC_OBJECT_COLON) return STATUS_INVALID;
      if (k != DOC_TOKEN_DOUBLE_STRING && !json5(r)) return STATUS_SYNTAX;
      r->flags = name ? DOC_OBJECT_NAME : DOC_OBJECT_VALUE;
      return emit_text(r, name ? PROPERTY : STRING);
    }
    case DOC_TOKEN_COLON:
      if (f != DOC_OBJECT_NAME) return STATUS_SYNTAX;
      r->flags = DOC_OBJECT_COLON;
      return -1;
    case DOC_TOKEN_COMMA:
      if (f != DOC_OBJECT_VALUE) return STATUS_SYNTAX;
      r->flags = DOC_OBJECT_COMMA;
      return -1;
    case DOC_TOKEN_ARRAY_OPEN:
    case DOC_TOKEN_OBJECT_OPEN:
      if (f != DOC_OBJECT_COLON) return STATUS_SYNTAX;
      r->flags = DOC_OBJECT_VALUE;
      return begin_container(r, k);
    case DOC_TOKEN_OBJECT_CLOSE:
      if (f == DOC_OBJECT_START || f == DOC_OBJECT_VALUE || (f == DOC_OBJECT_COMMA && json5(r)))
        return end_container(r, OBJECT_END);
      return STATUS_SYNTAX;
    default:
      if (f != DOC_OBJECT_COLON || !is_scalar_token(k)) return STATUS_SYNTAX;
      r->flags = DOC_OBJECT_VALUE;
      return emit_scalar(r, k);
  }
}

int copy_event(const DocumentReader* r, DocumentEvent* event) {
  if (r->event_kind == PROPERTY || r->event_kind == STRING) {
    if (!string_assign(&event->text, &r->event_text)) return STATUS_NO_MEMORY;
  }
  event->kind = r->event_kind;
  if (r->event_kind == INTEGER || r->event_kind == FLOAT || r->event_kind == BOOLEAN)
    event->value = r->event_value;
  event->overflowed = r->event_kind == INTEGER && r->event_overflowed;
  event->line = r->event_line;
  event->column = r->event_column;
  return STATUS_OK;
}

// ---- Describing a failure ------------------------------------------------------

constexpr const char* kPlainJson = "not allowed in plain JSON";

const char* reason_text(int32_t reason, int status) {
  switch (reason) {
    case DOC_REASON_UNTERMINATED_STRING: return "unterminated string";
    case DOC_REASON_LINE_BREAK: return "line break inside a string";
    case DOC_REASON_BAD_ESCAPE: return "invalid escape sequence";
    case DOC_REASON_BAD_UTF16: return "escapes are not valid UTF-16";
    case DOC_REASON_BAD_NUMBER: return "invalid number";
    case DOC_REASON_STRAY: return "unexpected character";
    case DOC_REASON_NO_MEMORY: return "out of memory";
    default: return status == STATUS_BAD_FORMAT ? "invalid character encoding" : "cannot read the input";
  }
}

const char* after_root_text(const DocumentReader* r) {
  return r->root_object ? "text after the root object" : "text after the root value";
}

// Forms that only the JSON5 extensions allow where a value may stand.
bool json5_value_form(int32_t k) { return k == DOC_TOKEN_SINGLE_STRING || k == DOC_TOKEN_HEXADECIMAL; }

// What was expected in `state` with `flags` (as they were before the
// token `k` arrived), for a token that is not an error of its own.
const char* expectation(const DocumentReader* r, int32_t state, uint64_t flags, int32_t k) {
  bool plain = !json5(r);
  if (state == DOC_STATE_TOP) {
    if (flags & DOC_TOP_ROOT_READ) return after_root_text(r);
    if (k == DOC_TOKEN_END) return "no value in the document";
    return plain && json5_value_form(k) ? kPlainJson : "expected a value";
  }
  if (k == DOC_TOKEN_END) return "unexpected end of input";
  if (state == DOC_STATE_ARRAY) {
    if (flags == DOC_ARRAY_VALUE) return "expected ',' or ']'";
    if (plain && (json5_value_form(k) || (k == DOC_TOKEN_ARRAY_CLOSE && flags != 0))) return kPlainJson;
    return "expected a value";
  }
  if (state != DOC_STATE_OBJECT) return "reader is not open";
  bool json5_name = k == DOC_TOKEN_SINGLE_STRING || k == DOC_TOKEN_IDENTIFIER;
  switch (flags) {
    case DOC_OBJECT_NAME: return "expected ':'";
    case DOC_OBJECT_VALUE: return "expected ',' or '}'";
    case DOC_OBJECT_COLON:
      if (plain && (json5_name || json5_value_form(k))) return kPlainJson;
      return k == DOC_TOKEN_RESERVED ? "reserved word as a value" : "expected a value";
    case DOC_OBJECT_COMMA:
      if (plain) return json5_name || k == DOC_TOKEN_OBJECT_CLOSE ? kPlainJson : "expected a property name";
      return "expected a property name or '}'";
    default:
      return plain && json5_name ? kPlainJson : "expected a property name or '}'";
  }
}

// Records the failure `st` of the token `k` met in `state` with `flags`
// and returns the status to report: an error inside a token after the root
// value is text after the root (55) like any other token there, since an
// unterminated string or comment after the root must not pass for the end.
int failed(DocumentReader* r, int st, int32_t state, uint64_t flags, int32_t k) {
  const DocumentTokenizer* t = r->tokenizer;
  bool after_root = state == DOC_STATE_TOP && (flags & DOC_TOP_ROOT_READ);
  const char* message;
  if (st == STATUS_NO_MEMORY) {
    message = "out of memory";
  } else if (k == DOC_TOKEN_ERROR) {
    bool input = t->reason == DOC_REASON_INPUT || t->reason == DOC_REASON_NO_MEMORY;
    if (after_root && !input) {
      st = STATUS_SYNTAX;
      message = after_root_text(r);
    } else {
      message = reason_text(t->reason, st);
    }
  } else if (k == DOC_TOKEN_LINE_COMMENT || k == DOC_TOKEN_BLOCK_COMMENT) {
    message = json5(r) ? "unterminated comment" : kPlainJson;
  } else if (k == DOC_TOKEN_INVALID && !after_root) {
    message = reason_text(t->reason, st);
  } else {
    message = expectation(r, state, flags, k);
  }
  r->error.status = st;
  r->error.line = t->token_line;
  r->error.column = t->token_column;
  r->error.message = message;
  return st;
}

int not_open(DocumentReader* r) {
  r->error.status = STATUS_INVALID;
  r->error.line = r->error.column = 0;
  r->error.message = "reader is not open";
  return STATUS_INVALID;
}

bool is_begin(int32_t kind) { return kind == OBJECT_BEGIN || kind == ARRAY_BEGIN; }
bool is_end(int32_t kind) { return kind == OBJECT_END || kind == ARRAY_END; }

}  // namespace

void document_event_init(DocumentEvent* event) {
  event->kind = -1;
  string_init(&event->text);
  event->value.integer = 0;
  event->overflowed = false;
  event->line = event->column = 0;
}

void document_event_release(DocumentEvent* event) {
  string_free(&event->text);
  event->kind = -1;
}

void document_reader_init(DocumentReader* reader) {
  std::memset(static_cast<void*>(reader), 0, sizeof(*reader));
  string_init(&reader->event_text);
  reader->event_kind = -1;
  reader->stack.elem_size = sizeof(SavedState);
}

void document_reader_release(DocumentReader* reader) {
  if (reader->tokenizer) (void)document_reader_close(reader);
  string_free(&reader->event_text);
  dynarray_release(&reader->stack);
}

int document_reader_open(DocumentReader* reader, CharReader* input, int32_t level, uint64_t ownership) {
  if (reader->tokenizer) return STATUS_INVALID;
  if (!input) return STATUS_BAD_ARGUMENT;
  auto* tok = static_cast<DocumentTokenizer*>(mem_alloc(sizeof(DocumentTokenizer)));
  if (!tok) return STATUS_NO_MEMORY;
  document_tokenizer_init(tok, input);
  reader->tokenizer = tok;
  reader->input = input;
  reader->ownership = ownership;
  reader->level = level;
  reader->state = DOC_STATE_TOP;
  reader->flags = 0;
  reader->event_kind = -1;
  reader->stack.elem_size = sizeof(SavedState);
  reader->stack.count = 0;
  reader->event_line = reader->event_column = 0;
  reader->root_object = false;
  reader->error = DocumentError{0, 0, 0, nullptr};
  return STATUS_OK;
}

int document_reader_next(DocumentReader* reader, DocumentEvent* event) {
  if (!reader->tokenizer) return not_open(reader);
  for (;;) {
    const int32_t state = reader->state;
    const uint64_t flags = reader->flags;
    int32_t k = 0;
    int st = next_token(reader, &k);
    if (st != STATUS_OK) return failed(reader, st, state, flags, k);
    switch (state) {
      case DOC_STATE_TOP: st = step_top(reader, k); break;
      case DOC_STATE_ARRAY: st = step_array(reader, k); break;
      case DOC_STATE_OBJECT: st = step_object(reader, k); break;
      default: st = STATUS_INVALID; break;
    }
    if (st == -1) continue;  // a separator: on to the next token
    if (st == STATUS_END_OF_STREAM && state == DOC_STATE_TOP && (flags & DOC_TOP_ROOT_READ)) return st;  // the normal end
    if (st != STATUS_OK) return failed(reader, st, state, flags, k);
    reader->event_line = reader->tokenizer->token_line;
    reader->event_column = reader->tokenizer->token_column;
    if (!event) return STATUS_OK;
    st = copy_event(reader, event);
    return st == STATUS_OK ? st : failed(reader, st, state, flags, k);
  }
}

bool document_reader_error(const DocumentReader* reader, DocumentError* out) {
  *out = reader->error;
  return reader->error.status != 0;
}

void document_reader_position(const DocumentReader* reader, uint32_t* line, uint32_t* column) {
  bool current = reader->event_kind != -1;
  *line = current ? reader->event_line : 0;
  *column = current ? reader->event_column : 0;
}

int document_reader_skip_value(DocumentReader* reader) {
  if (!reader->tokenizer) return not_open(reader);
  if (reader->event_kind == PROPERTY) {
    int st = document_reader_next(reader, nullptr);
    if (st != STATUS_OK) return st;
  }
  if (!is_begin(reader->event_kind)) return STATUS_OK;
  // The state machine already guarantees the shape of what is inside (in an
  // object only names and values in turn), so matching begins and ends by
  // a count is enough.
  uint64_t depth = 1;
  while (depth > 0) {
    int st = document_reader_next(reader, nullptr);
    if (st != STATUS_OK) return st;
    if (is_begin(reader->event_kind)) ++depth;
    else if (is_end(reader->event_kind)) --depth;
  }
  return STATUS_OK;
}

int document_reader_close(DocumentReader* reader) {
  int st = STATUS_OK;
  if (reader->tokenizer) {
    document_tokenizer_release(reader->tokenizer);
    mem_free(reader->tokenizer);
    reader->tokenizer = nullptr;
    if (reader->input && (reader->ownership & DOCUMENT_CLOSE_INPUT)) {
      st = reader->input->close();
      if (reader->ownership & DOCUMENT_DESTROY_INPUT) mem_delete(reader->input);
    }
  }
  reader->input = nullptr;
  reader->ownership = 0;
  reader->state = DOC_STATE_TOP;
  reader->flags = 0;
  reader->event_kind = -1;
  string_free(&reader->event_text);
  dynarray_release(&reader->stack);
  return st;
}
