// Leaves, logical and one-operand operators, functions and text operators.

#include <cmath>

#include "expr/evaluate_internal.h"
#include "expr/variables.h"
#include "runtime/alloc.h"
#include "runtime/string.h"

using namespace expr_detail;

namespace {

constexpr double kLn10 = 2.302585092994046;

bool is_true(const ExprValue* v) { return v->type == VALUE_BOOL && v->bool_value; }

// Evaluates the only operand and converts it with value_to_string, for the
// string functions; 0 leaves undef/null or a string in `result`.
int string_operand(ExprValue* result, const ExprNode* node, Resolver* r) {
  int status = run(node->op.first, result, r);
  if (status == 0) status = value_to_string(result);
  if (status != 0) return fail(result, status);
  if (is_special(result)) {
    value_clear(result);
    return 0;
  }
  if (result->type != VALUE_STRING || !result->string_value) return fail(result, STATUS_TYPE_MISMATCH);
  return 0;
}

enum StringMap { MAP_UPPER, MAP_LOWER, MAP_REVERSE };

int map_string(ExprValue* result, const ExprNode* node, Resolver* r, StringMap m) {
  int status = string_operand(result, node, r);
  if (status != 0 || result->type != VALUE_STRING) return status;
  String* s = result->string_value;
  if (m == MAP_UPPER) string_to_upper(s);
  else if (m == MAP_LOWER) string_to_lower(s);
  else string_reverse(s);
  return 0;
}

// Function operators that are a plain conversion of their operand; a
// failing conversion is the result's status.
int converted(ExprValue* result, const ExprNode* node, Resolver* r, int (*conv)(ExprValue*)) {
  int status = run(node->op.first, result, r);
  if (status == 0) status = conv(result);
  if (status != 0) return fail(result, status);
  return 0;
}

// Evaluates `n` into `v` and converts it with value_to_bool.
int bool_operand(const ExprNode* n, ExprValue* v, Resolver* r) {
  int status = run(n, v, r);
  if (status == 0) status = value_to_bool(v);
  return status;
}

// Appends the text of `text` (a string value) to the string in `result`.
int append_text(ExprValue* result, const ExprValue* text) {
  if (!string_append(result->string_value, text->string_value)) return STATUS_NO_MEMORY;
  return 0;
}

}  // namespace

double db_to_linear(double x) { return std::exp(x * kLn10 * 0.05); }

int eval_constant(ExprValue* result, const ExprNode* node, Resolver*) {
  int status = value_assign(result, &node->value);
  if (status != 0) return fail(result, status);
  return 0;
}

int eval_variable(ExprValue* result, const ExprNode* node, Resolver* r) {
  if (!r) {
    value_clear(result);
    return 0;
  }
  const ExprVariableRef& var = node->var;
  if (var.count == 0) {
    int status = r->lookup(result, var.name, 0, nullptr);
    if (status == STATUS_NOT_FOUND) {
      value_clear(result);
      return 0;
    }
    if (status != 0) return fail(result, status);
    return 0;
  }
  int64_t* indexes = static_cast<int64_t*>(mem_alloc(var.count * sizeof(int64_t)));
  if (!indexes) return fail(result, STATUS_NO_MEMORY);
  int status = 0;
  ExprValue tmp;
  value_init(&tmp);
  for (uint64_t i = 0; i < var.count && status == 0; ++i) {
    status = run(var.indexes[i], &tmp, r);
    if (status == 0) status = value_to_int(&tmp);
    if (status == 0) {
      if (tmp.type == VALUE_INT) indexes[i] = tmp.int_value;
      else if (is_special(&tmp)) indexes[i] = 0;
      else status = STATUS_TYPE_MISMATCH;
    }
    value_clear(&tmp);
  }
  if (status == 0) status = r->lookup(result, var.name, var.count, indexes);
  mem_free(indexes);
  if (status != 0) return fail(result, status);
  return 0;
}

int eval_or(ExprValue* result, const ExprNode* node, Resolver* r) {
  int status = bool_operand(node->op.first, result, r);
  if (status != 0) return fail(result, status);
  if (is_true(result)) return 0;
  status = bool_operand(node->op.second, result, r);
  if (status != 0) return fail(result, status);
  return 0;
}

int eval_and(ExprValue* result, const ExprNode* node, Resolver* r) {
  int status = bool_operand(node->op.first, result, r);
  if (status != 0) return fail(result, status);
  if (!is_true(result)) return 0;
  status = bool_operand(node->op.second, result, r);
  if (status != 0) return fail(result, status);
  return 0;
}

int eval_xor(ExprValue* result, const ExprNode* node, Resolver* r) {
  int status = bool_operand(node->op.first, result, r);
  if (status != 0) return fail(result, status);
  ExprValue right;
  value_init(&right);
  status = bool_operand(node->op.second, &right, r);
  bool rt = is_true(&right);
  value_clear(&right);
  if (status != 0) return fail(result, status);
  if (is_special(result)) return 0;
  if (result->type != VALUE_BOOL) return fail(result, STATUS_TYPE_MISMATCH);
  value_set_bool(result, is_true(result) != rt);
  return 0;
}

int eval_not(ExprValue* result, const ExprNode* node, Resolver* r) {
  int status = run(node->op.first, result, r);
  if (status == 0) status = convert_loose(value_to_bool(result));
  if (status != 0) return fail(result, status);
  if (is_special(result)) {
    value_clear(result);
    return 0;
  }
  if (result->type != VALUE_BOOL) return fail(result, STATUS_TYPE_MISMATCH);
  value_set_bool(result, !result->bool_value);
  return 0;
}

int eval_conditional(ExprValue* result, const ExprNode* node, Resolver* r) {
  int status = run(node->op.third, result, r);
  if (status == 0) status = convert_loose(value_to_bool(result));
  if (status != 0) return fail(result, status);
  if (result->type != VALUE_BOOL) {
    value_clear(result);
    return 0;
  }
  const ExprNode* branch = result->bool_value ? node->op.first : node->op.second;
  status = run(branch, result, r);
  if (status != 0) return fail(result, status);
  return 0;
}

int eval_plus(ExprValue* result, const ExprNode* node, Resolver* r) {
  int status = run(node->op.first, result, r);
  if (status != 0) return fail(result, status);
  return 0;
}

int eval_negate(ExprValue* result, const ExprNode* node, Resolver* r) {
  int status = run(node->op.first, result, r);
  if (status == 0) status = convert_loose(value_to_number(result));
  if (status != 0) return fail(result, status);
  switch (result->type) {
    case VALUE_UNDEF: case VALUE_NULL: value_clear(result); return 0;
    case VALUE_INT:
      value_set_int(result, static_cast<int64_t>(0 - static_cast<uint64_t>(result->int_value)));
      return 0;
    case VALUE_FLOAT: value_set_float(result, -result->float_value); return 0;
    default: return fail(result, STATUS_TYPE_MISMATCH);
  }
}

int eval_bnot(ExprValue* result, const ExprNode* node, Resolver* r) {
  int status = run(node->op.first, result, r);
  if (status == 0 && result->type == VALUE_STRING) status = convert_loose(value_to_number(result));
  if (status != 0) return fail(result, status);
  switch (result->type) {
    case VALUE_UNDEF: case VALUE_NULL: value_clear(result); return 0;
    case VALUE_INT: value_set_int(result, ~result->int_value); return 0;
    case VALUE_FLOAT:
      value_set_float(result, static_cast<double>(~float_to_int(result->float_value)));
      return 0;
    case VALUE_BOOL: value_set_bool(result, !result->bool_value); return 0;
    default: return fail(result, STATUS_TYPE_MISMATCH);
  }
}

int eval_slen(ExprValue* result, const ExprNode* node, Resolver* r) {
  int status = string_operand(result, node, r);
  if (status != 0 || result->type != VALUE_STRING) return status;
  value_set_int(result, static_cast<int64_t>(result->string_value->length));
  return 0;
}

int eval_supr(ExprValue* v, const ExprNode* n, Resolver* r) { return map_string(v, n, r, MAP_UPPER); }
int eval_slwr(ExprValue* v, const ExprNode* n, Resolver* r) { return map_string(v, n, r, MAP_LOWER); }
int eval_srev(ExprValue* v, const ExprNode* n, Resolver* r) { return map_string(v, n, r, MAP_REVERSE); }
int eval_to_int(ExprValue* v, const ExprNode* n, Resolver* r) { return converted(v, n, r, value_to_int); }
int eval_to_float(ExprValue* v, const ExprNode* n, Resolver* r) { return converted(v, n, r, value_to_float); }
int eval_to_str(ExprValue* v, const ExprNode* n, Resolver* r) { return converted(v, n, r, value_to_string); }
int eval_to_bool(ExprValue* v, const ExprNode* n, Resolver* r) { return converted(v, n, r, value_to_bool); }

int eval_ex(ExprValue* result, const ExprNode* node, Resolver* r) {
  int status = run(node->op.first, result, r);
  if (status != 0) return fail(result, status);
  value_set_bool(result, result->type != VALUE_UNDEF);
  return 0;
}

int eval_db(ExprValue* result, const ExprNode* node, Resolver* r) {
  int status = run(node->op.first, result, r);
  if (status == 0) status = convert_loose(value_to_float(result));
  if (status != 0) return fail(result, status);
  if (is_special(result)) {
    value_clear(result);
    return 0;
  }
  if (result->type != VALUE_FLOAT) return fail(result, STATUS_TYPE_MISMATCH);
  value_set_float(result, db_to_linear(result->float_value));
  return 0;
}

int eval_scat(ExprValue* result, const ExprNode* node, Resolver* r) {
  int status = run(node->op.first, result, r);
  if (status == 0) status = value_to_text(result);
  if (status != 0) return fail(result, status);
  ExprValue part;
  value_init(&part);
  // A chain a scat (b scat (c ...)) joins the same text as appending a, b,
  // c ... one after the other; walking it in a loop keeps the stack flat.
  const ExprNode* n = node->op.second;
  while (status == 0) {
    bool chained = n && n->kind == NODE_OPERATOR && n->evaluate == eval_scat;
    status = run(chained ? n->op.first : n, &part, r);
    if (status == 0) status = value_to_text(&part);
    if (status == 0) status = append_text(result, &part);
    value_clear(&part);
    if (!chained) break;
    n = n->op.second;
  }
  if (status != 0) return fail(result, status);
  return 0;
}

int eval_srep(ExprValue* result, const ExprNode* node, Resolver* r) {
  int status = run(node->op.first, result, r);
  if (status == 0) status = value_to_text(result);
  if (status != 0) return fail(result, status);
  ExprValue count;
  value_init(&count);
  status = run(node->op.second, &count, r);
  if (status == 0) status = convert_loose(value_to_int(&count));
  if (status != 0) {
    value_clear(&count);
    return fail(result, status);
  }
  if (is_special(&count) || (count.type == VALUE_INT && count.int_value < 0)) {
    value_clear(&count);
    value_clear(result);
    return 0;
  }
  if (count.type != VALUE_INT) {
    value_clear(&count);
    return fail(result, STATUS_TYPE_MISMATCH);
  }
  uint64_t n = static_cast<uint64_t>(count.int_value);
  String* s = result->string_value;
  if (s->length != 0 && n >= EXPR_MAX_TEXT / s->length) return fail(result, STATUS_LIMIT);
  if (n == 0) return 0;
  // count + 1 copies in all, appended by doubling a second string.
  String* twice = string_clone(s);
  if (!twice) return fail(result, STATUS_NO_MEMORY);
  while (n != 0 && status == 0) {
    if ((n & 1) && !string_append(s, twice)) status = STATUS_NO_MEMORY;
    if (status == 0 && n != 1 && !string_append(twice, twice)) status = STATUS_NO_MEMORY;
    n >>= 1;
  }
  string_delete(twice);
  if (status != 0) return fail(result, status);
  return 0;
}
