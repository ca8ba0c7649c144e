#include "expr/expression.h"

#include <cstring>

#include "expr/evaluate.h"
#include "expr/parser.h"
#include "expr/tokenizer.h"
#include "runtime/char_reader.h"
#include "runtime/status.h"
#include "runtime/string.h"

namespace {

ExprStatement* statement_at(Expression* e, uint64_t i) {
  return static_cast<ExprStatement*>(e->statements.data) + i;
}

String* name_at(Expression* e, uint64_t i) { return static_cast<String*>(e->names.data) + i; }

// Builds the joined template tree: scat(p1, scat(p2, scat(p3, ...))), which
// eval_scat walks as a flat chain. `tail` is the last scat node.
struct Joiner {
  ExprNode* tree = nullptr;
  ExprNode* tail = nullptr;

  // Takes `part` in every case.
  int join(ExprNode* part) {
    if (!tree) {
      tree = part;
      return 0;
    }
    ExprNode** slot = tail ? &tail->op.second : &tree;
    ExprNode* n = node_new_operator(eval_scat, *slot, part, nullptr);
    if (!n) {
      node_free(part);
      return STATUS_NO_MEMORY;
    }
    *slot = n;
    tail = n;
    return 0;
  }

  // Joins a string constant holding `text`, which is emptied.
  int join_text(String* text) {
    ExprValue v;
    value_init(&v);
    v.type = VALUE_STRING;
    v.string_value = text;  // lent: the constant node copies it
    ExprNode* n = node_new_constant(&v);
    string_clear(text);
    if (!n) return STATUS_NO_MEMORY;
    return join(n);
  }
};

int add_statement(Expression* e, ExprStatement** out) {
  ExprStatement* s = static_cast<ExprStatement*>(dynarray_extend(&e->statements, 1));
  if (!s) return STATUS_NO_MEMORY;
  s->root = nullptr;
  value_init(&s->value);
  *out = s;
  return 0;
}

int scan_template(Expression* e, CharReader* reader) {
  ExprTokenizer tok;
  tokenizer_init(&tok, reader);
  String buffer;
  string_init(&buffer);
  Joiner j;
  int status = 0;
  for (;;) {
    int32_t c = static_cast<int32_t>(reader->read_char());
    if (c == -STATUS_END_OF_STREAM) break;
    if (c < 0) {
      status = -c;
      break;
    }
    if (c != '$') {
      if (!string_append_char(&buffer, static_cast<uint32_t>(c))) status = STATUS_NO_MEMORY;
      if (status != 0) break;
      continue;
    }
    c = static_cast<int32_t>(reader->read_char());
    if (c < 0) {
      status = -c;
      break;
    }
    if (c != '{') {
      bool ok = c == '$' ? string_append_char(&buffer, '$')
                         : string_append_char(&buffer, '$') && string_append_char(&buffer, static_cast<uint32_t>(c));
      if (!ok) {
        status = STATUS_NO_MEMORY;
        break;
      }
      continue;
    }
    if (buffer.length > 0 && (status = j.join_text(&buffer)) != 0) break;
    ExprNode* part = nullptr;
    if (next_token(&tok, TOKEN_ADVANCE) == TOKEN_IDENTIFIER)
      status = parse_variable(&part, &tok, PARSE_ANY_NAME);
    else
      status = parse_expression(&part, &tok, 0);
    if (status != 0) break;
    int token = next_token(&tok, 0);
    if (token != TOKEN_RBRACE) {
      node_free(part);
      status = token == TOKEN_END ? STATUS_END_OF_STREAM
               : (token == TOKEN_ERROR && tok.error == STATUS_NO_MEMORY) ? STATUS_NO_MEMORY
                                                                         : STATUS_SYNTAX;
      break;
    }
    if ((status = j.join(part)) != 0) break;
  }
  if (status == 0 && (!j.tree || buffer.length > 0)) status = j.join_text(&buffer);
  ExprStatement* s = nullptr;
  if (status == 0) status = add_statement(e, &s);
  if (status == 0) s->root = j.tree;
  else node_free(j.tree);
  string_free(&buffer);
  tokenizer_destroy(&tok);
  return status;
}

int scan_statements(Expression* e, CharReader* reader, int mode) {
  ExprTokenizer tok;
  tokenizer_init(&tok, reader);
  int status = 0;
  for (;;) {
    ExprStatement* s = nullptr;
    if ((status = add_statement(e, &s)) != 0) break;
    ExprNode* root = nullptr;
    if ((status = parse_expression(&root, &tok, 1)) != 0) break;
    statement_at(e, e->statements.count - 1)->root = root;
    int token = next_token(&tok, 0);
    if (token == TOKEN_SEMICOLON && (mode & EXPR_MULTIPLE)) continue;
    if (token != TOKEN_SEMICOLON && token != TOKEN_END) status = tok.token == TOKEN_ERROR ? tok.error : 0;
    break;
  }
  tokenizer_destroy(&tok);
  return status;
}

int add_name(Expression* e, const String* name) {
  for (uint64_t i = 0; i < e->names.count; ++i)
    if (string_equals(name_at(e, i), name->chars, name->length)) return 0;
  String copy;
  string_init(&copy);
  if (!string_assign(&copy, name)) return STATUS_NO_MEMORY;
  if (!dynarray_append(&e->names, 1, &copy)) {
    string_free(&copy);
    return STATUS_NO_MEMORY;
  }
  return 0;
}

// Collects variable names; the second operand is followed in a loop, as in
// node_free, so a long joined template does not deepen the stack.
int collect_names(Expression* e, const ExprNode* n) {
  while (n) {
    switch (n->kind) {
      case NODE_OPERATOR: {
        int status = collect_names(e, n->op.first);
        if (status == 0 && n->op.third) {
          status = collect_names(e, n->op.second);
          if (status == 0) status = collect_names(e, n->op.third);
          return status;
        }
        if (status != 0) return status;
        n = n->op.second;
        break;
      }
      case NODE_VARIABLE: {
        int status = add_name(e, n->var.name);
        for (uint64_t i = 0; status == 0 && i < n->var.count; ++i)
          status = collect_names(e, n->var.indexes[i]);
        return status;
      }
      case NODE_CONSTANT:
        return 0;
      default:
        return STATUS_CORRUPTED;
    }
  }
  return 0;
}

int evaluate_statements(Expression* e);

}  // namespace

Expression::Expression() : resolver(nullptr) {
  std::memset(&statements, 0, sizeof(statements));
  std::memset(&names, 0, sizeof(names));
  statements.elem_size = sizeof(ExprStatement);
  names.elem_size = sizeof(String);
}

Expression::~Expression() { expression_destroy(this); }

void expression_init(Expression* e) {
  expression_destroy(e);
}

int expression_parse(Expression* e, String* text, int mode) {
  StringReader reader;
  (void)reader.set_source(text);
  int status = (mode & EXPR_TEMPLATE) ? scan_template(e, &reader) : scan_statements(e, &reader, mode);
  for (uint64_t i = 0; status == 0 && i < e->statements.count; ++i)
    status = collect_names(e, statement_at(e, i)->root);
  int closed = reader.close();
  if (status != 0) {
    expression_clear(e);
    return status;
  }
  return closed;
}

int expression_evaluate(Expression* e, ExprValue* result) {
  int status = evaluate_statements(e);
  if (status == 0 && result) status = value_assign(result, &statement_at(e, 0)->value);
  // A failed evaluation never leaves a stale result behind.
  if (status != 0 && result) value_clear(result);
  return status;
}

namespace {

int evaluate_statements(Expression* e) {
  if (e->statements.count == 0) return STATUS_INVALID;
  for (uint64_t i = 0; i < e->statements.count; ++i) {
    ExprStatement* s = statement_at(e, i);
    if (!s->root) {
      value_clear(&s->value);
      continue;
    }
    int status = s->root->evaluate(&s->value, s->root, e->resolver);
    if (status != 0) return status;
  }
  return 0;
}

}  // namespace

void expression_clear(Expression* e) {
  for (uint64_t i = 0; i < e->statements.count; ++i) {
    ExprStatement* s = statement_at(e, i);
    node_free(s->root);
    value_clear(&s->value);
  }
  e->statements.count = 0;
  for (uint64_t i = 0; i < e->names.count; ++i) string_free(name_at(e, i));
  e->names.count = 0;
}

void expression_destroy(Expression* e) {
  expression_clear(e);
  dynarray_release(&e->statements);
  dynarray_release(&e->names);
  e->resolver = nullptr;
}
