#include "expr/node.h"

#include <cstring>

#include "expr/evaluate.h"
#include "runtime/alloc.h"
#include "runtime/string.h"

namespace {

ExprNode* node_alloc(int32_t kind, ExprEvaluate evaluate) {
  ExprNode* n = static_cast<ExprNode*>(mem_alloc(sizeof(ExprNode)));
  if (!n) return nullptr;
  std::memset(n, 0, sizeof(*n));
  n->kind = kind;
  n->evaluate = evaluate;
  return n;
}

}  // namespace

ExprNode* node_new_operator(ExprEvaluate evaluate, ExprNode* first, ExprNode* second,
                            ExprNode* third) {
  ExprNode* n = node_alloc(NODE_OPERATOR, evaluate);
  if (!n) return nullptr;
  n->op.first = first;
  n->op.second = second;
  n->op.third = third;
  return n;
}

ExprNode* node_new_constant(const ExprValue* value) {
  ExprNode* n = node_alloc(NODE_CONSTANT, eval_constant);
  if (!n) return nullptr;
  value_init(&n->value);
  if (value_assign(&n->value, value) != 0) {
    mem_free(n);
    return nullptr;
  }
  return n;
}

ExprNode* node_new_variable(String* name, uint64_t count, ExprNode** indexes) {
  ExprNode* n = node_alloc(NODE_VARIABLE, eval_variable);
  if (!n) return nullptr;
  n->var.name = name;
  n->var.count = count;
  n->var.indexes = indexes;
  return n;
}

void node_free(ExprNode* node) {
  while (node) {
    ExprNode* next = nullptr;
    switch (node->kind) {
      case NODE_OPERATOR:
        node_free(node->op.first);
        node_free(node->op.third);
        next = node->op.second;
        break;
      case NODE_VARIABLE:
        for (uint64_t i = 0; i < node->var.count; ++i) node_free(node->var.indexes[i]);
        mem_free(node->var.indexes);
        string_delete(node->var.name);
        break;
      case NODE_CONSTANT:
        value_clear(&node->value);
        break;
      default:
        break;
    }
    mem_free(node);
    node = next;
  }
}
