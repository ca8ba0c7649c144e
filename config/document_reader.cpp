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

// Next token with comments removed (level >= 5000) or refused (55 below).
// Returns 0 and the kind in *kind, or a status.
int next_token(DocumentReader* r, int32_t* kind) {
  for (;;) {
    int32_t k = document_tokenizer_next(r->tokenizer, true);
    if (k == DOC_TOKEN_LINE_COMMENT || k == DOC_TOKEN_BLOCK_COMMENT) {
      if (!json5(r)) return STATUS_SYNTAX;
      continue;
    }
    if (k == DOC_TOKEN_ERROR) return r->tokenizer->error;
    *kind = k;
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

int step_object(DocumentReader* r, int32_t k) {
  uint64_t f = r->flags;
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
  return STATUS_OK;
}

bool is_begin(int32_t kind) { return kind == OBJECT_BEGIN || kind == ARRAY_BEGIN; }
bool is_end(int32_t kind) { return kind == OBJECT_END || kind == ARRAY_END; }

}  // namespace

void document_event_init(DocumentEvent* event) {
  event->kind = -1;
  string_init(&event->text);
  event->value.integer = 0;
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
  return STATUS_OK;
}

int document_reader_next(DocumentReader* reader, DocumentEvent* event) {
  if (!reader->tokenizer) return STATUS_INVALID;
  for (;;) {
    int32_t k = 0;
    int st = next_token(reader, &k);
    if (st != STATUS_OK) return st;
    switch (reader->state) {
      case DOC_STATE_TOP: st = step_top(reader, k); break;
      case DOC_STATE_ARRAY: st = step_array(reader, k); break;
      case DOC_STATE_OBJECT: st = step_object(reader, k); break;
      default: return STATUS_INVALID;
    }
    if (st == -1) continue;  // a separator: on to the next token
    if (st != STATUS_OK) return st;
    return event ? copy_event(reader, event) : STATUS_OK;
  }
}

int document_reader_skip_value(DocumentReader* reader) {
  if (!reader->tokenizer) return STATUS_INVALID;
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
