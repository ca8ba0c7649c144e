#pragma once

#include <cstdint>

#include "expr/value.h"

struct ExprNode;
class Resolver;
struct String;

// Evaluation function of a node: writes the node's value into `result`
// (releasing what it held) and returns a status; after a failure the result
// is undef. `resolver` may be null (variables are then undef).
using ExprEvaluate = int (*)(ExprValue* result, const ExprNode* node, Resolver* resolver);

enum ExprNodeKind : int32_t {
  NODE_OPERATOR = 0,
  NODE_VARIABLE = 1,
  NODE_CONSTANT = 2,
};

// Operands of an operator node, each owned or null. One-operand operators
// use `first`; two-operand ones `first` (left) and `second` (right); the
// conditional uses first (taken when true), second (when false) and third
// (the condition).
struct ExprOperands {
  ExprNode* first;
  ExprNode* second;
  ExprNode* third;
};

// A variable reference: owned heap name and `count` owned index trees
// (`indexes` is null when there are none).
struct ExprVariableRef {
  String* name;
  uint64_t count;
  ExprNode** indexes;
};

// One node of a parsed expression, allocated with mem_alloc and released by
// node_free.
struct ExprNode {
  ExprEvaluate evaluate;
  int32_t kind;
  union {
    ExprOperands op;
    ExprVariableRef var;
    ExprValue value;  // NODE_CONSTANT; a string constant owns its String
  };
};

// New operator node taking ownership of its operands; null when memory runs
// out (the operands are then NOT freed: the caller still owns them).
[[nodiscard]] ExprNode* node_new_operator(ExprEvaluate evaluate, ExprNode* first, ExprNode* second,
                                          ExprNode* third);
// New constant node holding a copy of `value`; null when memory runs out.
[[nodiscard]] ExprNode* node_new_constant(const ExprValue* value);
// New variable node taking ownership of `name` and of `indexes` (`count`
// trees); null when memory runs out (nothing taken).
[[nodiscard]] ExprNode* node_new_variable(String* name, uint64_t count, ExprNode** indexes);

// Frees a node with everything it owns; null is ignored. Chains through the
// second operand are released iteratively, so long joined templates do not
// deepen the stack.
void node_free(ExprNode* node);
