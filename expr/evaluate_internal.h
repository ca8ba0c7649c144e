#pragma once

// Helpers shared by the evaluator sources (not part of the interface).

#include "expr/evaluate.h"
#include "runtime/status.h"

namespace expr_detail {

// Evaluates `n` into `v`; a missing operand is a corrupted tree.
inline int run(const ExprNode* n, ExprValue* v, Resolver* r) {
  if (!n || !n->evaluate) {
    value_clear(v);
    return STATUS_CORRUPTED;
  }
  return n->evaluate(v, n, r);
}

// Clears the result and passes the status on.
inline int fail(ExprValue* result, int status) {
  value_clear(result);
  return status;
}

inline bool is_special(const ExprValue* v) { return v->type == VALUE_UNDEF || v->type == VALUE_NULL; }

// A conversion whose "leftover string" status (7) is left for the
// operator's own type check; memory and tag failures stay failures.
inline int convert_loose(int status) { return status == STATUS_BAD_FORMAT ? 0 : status; }

}  // namespace expr_detail
