#pragma once

#include "expr/node.h"

class ExprTokenizer;

// Nesting limit of parsed expressions: parentheses, prefix operators, index
// brackets, conditional branches and the right operand of every two-operand
// operator each count one level. A deeper text fails with STATUS_LIMIT (18),
// which keeps parsing, evaluation and release within a bounded stack.
constexpr int EXPR_MAX_DEPTH = 256;

// parse_variable flag: accept the current token whatever its code (a bare
// identifier in a template).
constexpr int PARSE_ANY_NAME = 4;

// Parses one conditional expression. With advance 1 a new token is read
// first; with 0 parsing starts at the current token. On success the tree is
// stored in *out and the current token is the first one after the
// expression. Statuses: 5 memory, 18 nested too deeply, 25 the text ended
// where an operand was expected, 55 any other unexpected token. On failure
// nothing stays allocated and *out is untouched.
[[nodiscard]] int parse_expression(ExprNode** out, ExprTokenizer* tok, int advance);

// Parses a variable reference at the current token (TOKEN_VARIABLE, or any
// token with PARSE_ANY_NAME), with its bracketed indexes. Statuses as above;
// 55 for a current token that is not a variable without the flag.
[[nodiscard]] int parse_variable(ExprNode** out, ExprTokenizer* tok, int flags);
