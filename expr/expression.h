#pragma once

#include <cstdint>

#include "expr/node.h"
#include "runtime/dynarray.h"

class Resolver;
struct String;

// Parse modes (bit set).
enum : int {
  EXPR_MULTIPLE = 1,  // several statements separated by ";"
  EXPR_TEMPLATE = 2,  // literal text with embedded ${...} expressions
};

// One statement: its tree (owned, or null) and its last value.
struct ExprStatement {
  ExprNode* root;
  ExprValue value;
};

// A parsed program. Parse once, set `resolver`, evaluate as often as needed.
class Expression {
 public:
  Expression();
  virtual ~Expression();

  Resolver* resolver;  // not owned; null until the caller sets it
  DynArray statements; // ExprStatement
  DynArray names;      // String: every referenced variable name, once, in order of first use
};

// Empty statements and names, no resolver.
void expression_init(Expression* e);
// Parses `text` and appends its statements. Statuses: 5 memory, 18 nested
// too deeply, 25 the text ended inside "${", after a lone "$" or where an
// operand was expected, 55 a syntax error, 34 a corrupted tree, or a reader
// status. After a failure the expression holds no statements.
[[nodiscard]] int expression_parse(Expression* e, String* text, int mode);
// Evaluates every statement; `result` (may be null) receives a copy of the
// first statement's value. 15 without statements, else the first failure.
[[nodiscard]] int expression_evaluate(Expression* e, ExprValue* result);
// Frees every tree, statement value and name; the resolver stays set.
void expression_clear(Expression* e);
// Clears, drops the resolver and frees the arrays. Idempotent.
void expression_destroy(Expression* e);
