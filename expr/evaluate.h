#pragma once

#include "expr/node.h"

// Evaluation functions of the expression nodes. Each has the ExprEvaluate
// shape: the first operand is evaluated into `result`, further operands into
// temporaries released before returning. Undef flows through most
// operations; after any failure the result is undef. Statuses: 5 memory,
// 6 an indexed variable the resolver does not know, 7 a leftover string in
// int/float/bool and the logical operators, 33 an operand of the wrong type;
// resolver statuses pass through.

// Leaves.
int eval_constant(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_variable(ExprValue* result, const ExprNode* node, Resolver* resolver);

// Numeric two-operand operators (int arithmetic wraps at 64 bits; a zero
// integer divisor gives undef; INT64_MIN by -1 gives INT64_MIN and remainder 0).
int eval_add(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_sub(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_mul(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_div(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_fmod(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_pow(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_iadd(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_isub(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_imul(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_idiv(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_mod(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_band(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_bor(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_bxor(ExprValue* result, const ExprNode* node, Resolver* resolver);

// Comparisons: cmp gives the three-way integer, the others a bool.
int eval_cmp(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_eq(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_ne(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_lt(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_gt(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_le(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_ge(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_icmp(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_ieq(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_ine(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_ilt(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_igt(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_ile(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_ige(ExprValue* result, const ExprNode* node, Resolver* resolver);

// Logical operators (or/and short-circuit) and the conditional.
int eval_or(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_and(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_xor(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_not(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_conditional(ExprValue* result, const ExprNode* node, Resolver* resolver);

// Other one-operand operators.
int eval_plus(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_negate(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_bnot(ExprValue* result, const ExprNode* node, Resolver* resolver);

// Functions.
int eval_slen(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_supr(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_slwr(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_srev(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_to_int(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_to_float(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_to_str(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_to_bool(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_ex(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_db(ExprValue* result, const ExprNode* node, Resolver* resolver);

// Text operators. scat evaluates a chain of scat nodes along their second
// operands iteratively (joined templates are such chains). srep results
// longer than EXPR_MAX_TEXT code points fail with 18.
constexpr uint64_t EXPR_MAX_TEXT = uint64_t(1) << 24;
int eval_scat(ExprValue* result, const ExprNode* node, Resolver* resolver);
int eval_srep(ExprValue* result, const ExprNode* node, Resolver* resolver);

// exp(x * ln 10 * 0.05): the linear factor of x decibels.
double db_to_linear(double x);
