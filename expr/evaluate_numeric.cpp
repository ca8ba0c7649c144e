// Numeric operators and comparisons.

#include <cmath>

#include "expr/evaluate_internal.h"
#include "runtime/string.h"

using namespace expr_detail;

namespace {

enum Conversion { TO_NUMBER, TO_INT, TO_FLOAT };

enum NumericOp { OP_ADD, OP_SUB, OP_MUL, OP_DIV, OP_FMOD, OP_POW, OP_IDIV, OP_MOD, OP_BAND, OP_BOR, OP_BXOR };

int convert(ExprValue* v, Conversion c) {
  switch (c) {
    case TO_NUMBER: return convert_loose(value_to_number(v));
    case TO_INT: return convert_loose(value_to_int(v));
    default: return convert_loose(value_to_float(v));
  }
}

bool is_number(const ExprValue* v) { return v->type == VALUE_INT || v->type == VALUE_FLOAT; }
// An int, float or bool as a double; a bool counts as 0 or 1 (its union
// member must never be read as a float).
double as_double(const ExprValue* v) {
  switch (v->type) {
    case VALUE_INT: return static_cast<double>(v->int_value);
    case VALUE_BOOL: return v->bool_value ? 1.0 : 0.0;
    default: return v->float_value;
  }
}

// Wrapping 64-bit arithmetic through unsigned values.
int64_t wrap_add(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b)); }
int64_t wrap_sub(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b)); }
int64_t wrap_mul(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b)); }

// Both operands are numbers here. Integer division by zero gives undef; the
// quotient of INT64_MIN by -1 wraps to INT64_MIN and its remainder is 0.
void compute(ExprValue* result, NumericOp op, const ExprValue* a, const ExprValue* b) {
  bool ints = a->type == VALUE_INT && b->type == VALUE_INT;
  if (ints) {
    int64_t x = a->int_value, y = b->int_value;
    switch (op) {
      case OP_ADD: value_set_int(result, wrap_add(x, y)); return;
      case OP_SUB: value_set_int(result, wrap_sub(x, y)); return;
      case OP_MUL: value_set_int(result, wrap_mul(x, y)); return;
      case OP_DIV: case OP_IDIV:
        if (y == 0) value_clear(result);
        else if (y == -1) value_set_int(result, wrap_sub(0, x));
        else value_set_int(result, x / y);
        return;
      case OP_MOD:
        if (y == 0) value_clear(result);
        else if (y == -1) value_set_int(result, 0);
        else value_set_int(result, x % y);
        return;
      case OP_BAND: value_set_int(result, x & y); return;
      case OP_BOR: value_set_int(result, x | y); return;
      case OP_BXOR: value_set_int(result, x ^ y); return;
      default: break;  // fmod and pow convert to float first
    }
  }
  double x = as_double(a), y = as_double(b);
  switch (op) {
    case OP_ADD: value_set_float(result, x + y); return;
    case OP_SUB: value_set_float(result, x - y); return;
    case OP_MUL: value_set_float(result, x * y); return;
    case OP_DIV: value_set_float(result, x / y); return;
    case OP_FMOD: value_set_float(result, std::fmod(x, y)); return;
    case OP_POW: value_set_float(result, std::pow(x, y)); return;
    default: value_clear(result); return;  // integer operators never see floats
  }
}

int numeric(ExprValue* result, const ExprNode* node, Resolver* r, Conversion c, NumericOp op) {
  int status = run(node->op.first, result, r);
  if (status == 0) status = convert(result, c);
  if (status != 0) return fail(result, status);
  if (is_special(result)) {
    value_clear(result);
    return 0;
  }
  ExprValue right;
  value_init(&right);
  status = run(node->op.second, &right, r);
  if (status == 0) status = convert(&right, c);
  if (status != 0) {
    value_clear(&right);
    return fail(result, status);
  }
  if (right.type == VALUE_UNDEF && op != OP_POW) return 0;
  if (is_special(&right)) {
    value_clear(result);
    return 0;
  }
  bool ok = is_number(result) && is_number(&right);
  if (op == OP_POW) ok = result->type == VALUE_FLOAT && right.type == VALUE_FLOAT;
  if (!ok) {
    value_clear(&right);
    return fail(result, STATUS_TYPE_MISMATCH);
  }
  compute(result, op, result, &right);
  return 0;
}

// Order of undef and null before everything else; returns true when it
// decides, with the result in *order.
bool special_order(const ExprValue* a, const ExprValue* b, int64_t* order) {
  if (a->type == VALUE_UNDEF) { *order = b->type == VALUE_UNDEF ? 0 : -1; return true; }
  if (b->type == VALUE_UNDEF) { *order = 1; return true; }
  if (a->type == VALUE_NULL) { *order = b->type == VALUE_NULL ? 0 : -1; return true; }
  if (b->type == VALUE_NULL) { *order = 1; return true; }
  return false;
}

template <class T>
int64_t three_way(T x, T y) { return x < y ? -1 : (y < x ? 1 : 0); }

bool is_scalar(const ExprValue* v) { return is_number(v) || v->type == VALUE_BOOL; }

// Three-way comparison of the two operands; `result` holds garbage of the
// left operand afterwards (the caller stores the outcome).
int compare_operands(ExprValue* result, const ExprNode* node, Resolver* r, int64_t* order) {
  int status = run(node->op.first, result, r);
  if (status != 0) return status;
  ExprValue right;
  value_init(&right);
  status = run(node->op.second, &right, r);
  if (status == 0 && !special_order(result, &right, order)) {
    if (is_scalar(result) && is_scalar(&right)) {
      if (result->type == VALUE_FLOAT || right.type == VALUE_FLOAT) {
        *order = three_way(as_double(result), as_double(&right));  // NaN: 0
      } else {
        int64_t x = result->type == VALUE_BOOL ? result->bool_value : result->int_value;
        int64_t y = right.type == VALUE_BOOL ? right.bool_value : right.int_value;
        *order = three_way(x, y);
      }
    } else if (result->type == VALUE_STRING || right.type == VALUE_STRING) {
      status = value_to_string(result);
      if (status == 0) status = value_to_string(&right);
      if (status == 0 && result->type == VALUE_STRING && right.type == VALUE_STRING)
        *order = string_compare(result->string_value, right.string_value);
      else if (status == 0)
        status = STATUS_TYPE_MISMATCH;
    } else {
      status = STATUS_TYPE_MISMATCH;
    }
  }
  value_clear(&right);
  return status;
}

// The integer comparisons convert both sides to int first.
int compare_ints(ExprValue* result, const ExprNode* node, Resolver* r, int64_t* order) {
  int status = run(node->op.first, result, r);
  if (status == 0) status = convert_loose(value_to_int(result));
  if (status != 0) return status;
  ExprValue right;
  value_init(&right);
  status = run(node->op.second, &right, r);
  if (status == 0) status = convert_loose(value_to_int(&right));
  if (status == 0 && !special_order(result, &right, order)) {
    if (result->type == VALUE_INT && right.type == VALUE_INT)
      *order = three_way(result->int_value, right.int_value);
    else
      status = STATUS_TYPE_MISMATCH;
  }
  value_clear(&right);
  return status;
}

enum Relation { REL_EQ, REL_NE, REL_LT, REL_GT, REL_LE, REL_GE };

int relation(ExprValue* result, const ExprNode* node, Resolver* r, bool ints, Relation rel) {
  int64_t order = 0;
  int status = ints ? compare_ints(result, node, r, &order) : compare_operands(result, node, r, &order);
  if (status != 0) return fail(result, status);
  bool b = false;
  switch (rel) {
    case REL_EQ: b = order == 0; break;
    case REL_NE: b = order != 0; break;
    case REL_LT: b = order < 0; break;
    case REL_GT: b = order > 0; break;
    case REL_LE: b = order <= 0; break;
    case REL_GE: b = order >= 0; break;
  }
  value_set_bool(result, b);
  return 0;
}

}  // namespace

int eval_add(ExprValue* v, const ExprNode* n, Resolver* r) { return numeric(v, n, r, TO_NUMBER, OP_ADD); }
int eval_sub(ExprValue* v, const ExprNode* n, Resolver* r) { return numeric(v, n, r, TO_NUMBER, OP_SUB); }
int eval_mul(ExprValue* v, const ExprNode* n, Resolver* r) { return numeric(v, n, r, TO_NUMBER, OP_MUL); }
int eval_div(ExprValue* v, const ExprNode* n, Resolver* r) { return numeric(v, n, r, TO_NUMBER, OP_DIV); }
int eval_fmod(ExprValue* v, const ExprNode* n, Resolver* r) { return numeric(v, n, r, TO_FLOAT, OP_FMOD); }
int eval_pow(ExprValue* v, const ExprNode* n, Resolver* r) { return numeric(v, n, r, TO_FLOAT, OP_POW); }
int eval_iadd(ExprValue* v, const ExprNode* n, Resolver* r) { return numeric(v, n, r, TO_INT, OP_ADD); }
int eval_isub(ExprValue* v, const ExprNode* n, Resolver* r) { return numeric(v, n, r, TO_INT, OP_SUB); }
int eval_imul(ExprValue* v, const ExprNode* n, Resolver* r) { return numeric(v, n, r, TO_INT, OP_MUL); }
int eval_idiv(ExprValue* v, const ExprNode* n, Resolver* r) { return numeric(v, n, r, TO_INT, OP_IDIV); }
int eval_mod(ExprValue* v, const ExprNode* n, Resolver* r) { return numeric(v, n, r, TO_INT, OP_MOD); }
int eval_band(ExprValue* v, const ExprNode* n, Resolver* r) { return numeric(v, n, r, TO_INT, OP_BAND); }
int eval_bor(ExprValue* v, const ExprNode* n, Resolver* r) { return numeric(v, n, r, TO_INT, OP_BOR); }
int eval_bxor(ExprValue* v, const ExprNode* n, Resolver* r) { return numeric(v, n, r, TO_INT, OP_BXOR); }

int eval_cmp(ExprValue* v, const ExprNode* n, Resolver* r) {
  int64_t order = 0;
  int status = compare_operands(v, n, r, &order);
  if (status != 0) return fail(v, status);
  value_set_int(v, order);
  return 0;
}

int eval_icmp(ExprValue* v, const ExprNode* n, Resolver* r) {
  int64_t order = 0;
  int status = compare_ints(v, n, r, &order);
  if (status != 0) return fail(v, status);
  value_set_int(v, order);
  return 0;
}

int eval_eq(ExprValue* v, const ExprNode* n, Resolver* r) { return relation(v, n, r, false, REL_EQ); }
int eval_ne(ExprValue* v, const ExprNode* n, Resolver* r) { return relation(v, n, r, false, REL_NE); }
int eval_lt(ExprValue* v, const ExprNode* n, Resolver* r) { return relation(v, n, r, false, REL_LT); }
int eval_gt(ExprValue* v, const ExprNode* n, Resolver* r) { return relation(v, n, r, false, REL_GT); }
int eval_le(ExprValue* v, const ExprNode* n, Resolver* r) { return relation(v, n, r, false, REL_LE); }
int eval_ge(ExprValue* v, const ExprNode* n, Resolver* r) { return relation(v, n, r, false, REL_GE); }
int eval_ieq(ExprValue* v, const ExprNode* n, Resolver* r) { return relation(v, n, r, true, REL_EQ); }
int eval_ine(ExprValue* v, const ExprNode* n, Resolver* r) { return relation(v, n, r, true, REL_NE); }
int eval_ilt(ExprValue* v, const ExprNode* n, Resolver* r) { return relation(v, n, r, true, REL_LT); }
int eval_igt(ExprValue* v, const ExprNode* n, Resolver* r) { return relation(v, n, r, true, REL_GT); }
int eval_ile(ExprValue* v, const ExprNode* n, Resolver* r) { return relation(v, n, r, true, REL_LE); }
int eval_ige(ExprValue* v, const ExprNode* n, Resolver* r) { return relation(v, n, r, true, REL_GE); }
