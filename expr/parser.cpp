#include "expr/parser.h"

#include "expr/evaluate.h"
#include "expr/tokenizer.h"
#include "runtime/alloc.h"
#include "runtime/status.h"
#include "runtime/string.h"

namespace {

struct Parser {
  ExprTokenizer* tok;
  int depth;  // nesting levels entered so far
};

int read(Parser* p, int advance) { return next_token(p->tok, advance ? TOKEN_ADVANCE : 0); }
int peek(Parser* p) { return next_token(p->tok, 0); }
// After an operand "+" and "-" are operators.
int advance_operand(Parser* p) { return next_token(p->tok, TOKEN_ADVANCE | TOKEN_SIGN_OPERATORS); }

int parse_level(Parser* p, int level, ExprNode** out, int advance);

// Status for a token that is not what the grammar wants here. A tokenizer
// that ran out of memory storing the token's text reports that instead.
int unexpected(Parser* p) {
  const ExprTokenizer* t = p->tok;
  return t->token == TOKEN_ERROR && t->error == STATUS_NO_MEMORY ? STATUS_NO_MEMORY : STATUS_SYNTAX;
}

// Parses a nested part at `level` one nesting level deeper.
int parse_nested(Parser* p, int level, ExprNode** out, int advance) {
  if (p->depth >= EXPR_MAX_DEPTH) return STATUS_LIMIT;
  ++p->depth;
  int status = parse_level(p, level, out, advance);
  --p->depth;
  return status;
}

struct OperatorEntry {
  int level;
  int token;
  ExprEvaluate evaluate;
};

// Two-operand operators by level (2..14) and the prefix operators (15..17).
constexpr OperatorEntry kOperators[] = {
    {2, TOKEN_OR, eval_or},       {3, TOKEN_XOR, eval_xor},     {4, TOKEN_AND, eval_and},
    {5, TOKEN_BOR, eval_bor},     {6, TOKEN_BXOR, eval_bxor},   {7, TOKEN_BAND, eval_band},
    {8, TOKEN_NE, eval_ne},       {8, TOKEN_EQ, eval_eq},       {8, TOKEN_CMP, eval_cmp},
    {8, TOKEN_INE, eval_ine},     {8, TOKEN_IEQ, eval_ieq},     {8, TOKEN_ICMP, eval_icmp},
    {9, TOKEN_LT, eval_lt},       {9, TOKEN_GT, eval_gt},       {9, TOKEN_LE, eval_le},
    {9, TOKEN_GE, eval_ge},       {9, TOKEN_ILT, eval_ilt},     {9, TOKEN_IGT, eval_igt},
    {9, TOKEN_ILE, eval_ile},     {9, TOKEN_IGE, eval_ige},     {10, TOKEN_SCAT, eval_scat},
    {11, TOKEN_SREP, eval_srep},  {12, TOKEN_PLUS, eval_add},   {12, TOKEN_MINUS, eval_sub},
    {12, TOKEN_ADD, eval_add},    {12, TOKEN_SUB, eval_sub},    {12, TOKEN_IADD, eval_iadd},
    {12, TOKEN_ISUB, eval_isub},  {13, TOKEN_MUL, eval_mul},    {13, TOKEN_DIV, eval_div},
    {13, TOKEN_FMOD, eval_fmod},  {13, TOKEN_IMUL, eval_imul},  {13, TOKEN_IDIV, eval_idiv},
    {13, TOKEN_MOD, eval_mod},    {14, TOKEN_POW, eval_pow},    {15, TOKEN_NOT, eval_not},
    {15, TOKEN_BNOT, eval_bnot},  {16, TOKEN_PLUS, eval_plus},  {16, TOKEN_MINUS, eval_negate},
    {17, TOKEN_SLEN, eval_slen},  {17, TOKEN_SREV, eval_srev},  {17, TOKEN_SUPR, eval_supr},
    {17, TOKEN_SLWR, eval_slwr},  {17, TOKEN_TO_INT, eval_to_int}, {17, TOKEN_TO_FLOAT, eval_to_float},
    {17, TOKEN_TO_STR, eval_to_str}, {17, TOKEN_TO_BOOL, eval_to_bool}, {17, TOKEN_EX, eval_ex},
    {17, TOKEN_DB, eval_db},
};

ExprEvaluate operator_at(int level, int token) {
  for (const OperatorEntry& e : kOperators)
    if (e.level == level && e.token == token) return e.evaluate;
  return nullptr;
}

// Wraps operands in a new operator node, freeing them when that fails.
int make_operator(ExprNode** out, ExprEvaluate evaluate, ExprNode* a, ExprNode* b, ExprNode* c) {
  ExprNode* n = node_new_operator(evaluate, a, b, c);
  if (!n) {
    node_free(a);
    node_free(b);
    node_free(c);
    return STATUS_NO_MEMORY;
  }
  *out = n;
  return 0;
}

int parse_conditional(Parser* p, ExprNode** out, int advance) {
  ExprNode* cond = nullptr;
  int status = parse_level(p, 2, &cond, advance);
  if (status != 0) return status;
  if (peek(p) != TOKEN_QUESTION) {
    *out = cond;
    return 0;
  }
  ExprNode* yes = nullptr;
  status = parse_nested(p, 1, &yes, 1);
  if (status == 0 && peek(p) != TOKEN_COLON) {
    node_free(yes);
    status = unexpected(p);
  }
  if (status != 0) {
    node_free(cond);
    return status;
  }
  ExprNode* no = nullptr;
  status = parse_nested(p, 1, &no, 1);
  if (status != 0) {
    node_free(yes);
    node_free(cond);
    return status;
  }
  return make_operator(out, eval_conditional, yes, no, cond);
}

// Levels 2..14. Right operands are parsed at the same level (at 12 for the
// repetition level, which therefore does not chain).
int parse_binary(Parser* p, int level, ExprNode** out, int advance) {
  ExprNode* left = nullptr;
  int status = parse_level(p, level == 11 ? 12 : level + 1, &left, advance);
  if (status != 0) return status;
  ExprEvaluate evaluate = operator_at(level, peek(p));
  if (!evaluate) {
    *out = left;
    return 0;
  }
  ExprNode* right = nullptr;
  status = parse_nested(p, level == 11 ? 12 : level, &right, 1);
  if (status != 0) {
    node_free(left);
    return status;
  }
  return make_operator(out, evaluate, left, right, nullptr);
}

// Levels 15..17: repeatable prefix operators.
int parse_prefix(Parser* p, int level, ExprNode** out, int advance) {
  ExprEvaluate evaluate = operator_at(level, read(p, advance));
  if (!evaluate) return parse_level(p, level + 1, out, 0);
  ExprNode* operand = nullptr;
  int status = parse_nested(p, level, &operand, 1);
  if (status != 0) return status;
  return make_operator(out, evaluate, operand, nullptr, nullptr);
}

int constant(ExprNode** out, const ExprValue* v) {
  ExprNode* n = node_new_constant(v);
  if (!n) return STATUS_NO_MEMORY;
  *out = n;
  return 0;
}

int parse_primary(Parser* p, ExprNode** out, int advance);

int parse_level(Parser* p, int level, ExprNode** out, int advance) {
  if (level == 1) return parse_conditional(p, out, advance);
  if (level <= 14) return parse_binary(p, level, out, advance);
  if (level <= 17) return parse_prefix(p, level, out, advance);
  return parse_primary(p, out, advance);
}

int parse_variable_at(Parser* p, ExprNode** out, int flags);

int parse_primary(Parser* p, ExprNode** out, int advance) {
  ExprTokenizer* t = p->tok;
  int token = read(p, advance);
  ExprValue v;
  value_init(&v);
  int status = 0;
  switch (token) {
    case TOKEN_VARIABLE:
      return parse_variable_at(p, out, 0);
    case TOKEN_INT:
    case TOKEN_FLOAT: {
      if (token == TOKEN_INT) value_set_int(&v, t->number.int_value);
      else value_set_float(&v, t->number.float_value);
      if (advance_operand(p) == TOKEN_DB) {
        double x = token == TOKEN_INT ? static_cast<double>(v.int_value) : v.float_value;
        value_set_float(&v, db_to_linear(x));
        advance_operand(p);
      }
      return constant(out, &v);
    }
    case TOKEN_STRING: {
      String* s = string_clone(&t->text);
      if (!s) return STATUS_NO_MEMORY;
      value_take_string(&v, s);
      status = constant(out, &v);
      value_clear(&v);
      break;
    }
    case TOKEN_TRUE: case TOKEN_FALSE:
      value_set_bool(&v, token == TOKEN_TRUE);
      status = constant(out, &v);
      break;
    case TOKEN_NULL:
      value_set_null(&v);
      status = constant(out, &v);
      break;
    case TOKEN_UNDEF:
      status = constant(out, &v);
      break;
    case TOKEN_LPAREN: {
      ExprNode* inner = nullptr;
      status = parse_nested(p, 1, &inner, 1);
      if (status != 0) return status;
      if (peek(p) != TOKEN_RPAREN) {
        node_free(inner);
        return unexpected(p);
      }
      *out = inner;
      break;
    }
    case TOKEN_END:
      return STATUS_END_OF_STREAM;
    default:
      return unexpected(p);
  }
  if (status != 0) return status;
  advance_operand(p);
  return 0;
}

void free_indexes(ExprNode** list, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) node_free(list[i]);
  mem_free(list);
}

int parse_variable_at(Parser* p, ExprNode** out, int flags) {
  ExprTokenizer* t = p->tok;
  if (!(flags & PARSE_ANY_NAME) && t->token != TOKEN_VARIABLE) return unexpected(p);
  String* name = string_clone(&t->text);
  if (!name) return STATUS_NO_MEMORY;
  ExprNode** list = nullptr;
  uint64_t count = 0;
  int status = 0;
  while (advance_operand(p) == TOKEN_LBRACKET) {
    ExprNode* index = nullptr;
    if (next_token(t, TOKEN_ADVANCE) == TOKEN_IDENTIFIER) {
      String* id = string_clone(&t->text);
      if (!id) { status = STATUS_NO_MEMORY; break; }
      index = node_new_variable(id, 0, nullptr);
      if (!index) { string_delete(id); status = STATUS_NO_MEMORY; break; }
      if (next_token(t, TOKEN_ADVANCE) != TOKEN_RBRACKET) status = unexpected(p);
    } else {
      status = parse_nested(p, 1, &index, 0);
      if (status == 0 && peek(p) != TOKEN_RBRACKET) status = unexpected(p);
    }
    if (status != 0) {
      node_free(index);
      break;
    }
    ExprNode** grown = static_cast<ExprNode**>(mem_realloc(list, (count + 1) * sizeof(ExprNode*)));
    if (!grown) {
      node_free(index);
      status = STATUS_NO_MEMORY;
      break;
    }
    list = grown;
    list[count++] = index;
  }
  if (status == 0) {
    ExprNode* n = node_new_variable(name, count, list);
    if (n) {
      *out = n;
      return 0;
    }
    status = STATUS_NO_MEMORY;
  }
  free_indexes(list, count);
  string_delete(name);
  return status;
}

}  // namespace

int parse_expression(ExprNode** out, ExprTokenizer* tok, int advance) {
  Parser p{tok, 0};
  return parse_level(&p, 1, out, advance);
}

int parse_variable(ExprNode** out, ExprTokenizer* tok, int flags) {
  Parser p{tok, 0};
  return parse_variable_at(&p, out, flags);
}
