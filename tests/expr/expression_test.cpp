// Templates, Variables and allocation failure across parse and evaluation.

#include <string>

#include <gtest/gtest.h>

#include "expr_test_util.h"
#include "tests/support/alloc_fail.h"

using namespace expr_test;

namespace {

// The pattern variables of one output. `ok` is false when memory ran out
// while filling them (the allocation-failure sweep checks that first).
struct Table {
  Variables vars;
  bool ok = true;
  Table() {
    variables_init(&vars);
    ok = variables_set_int(&vars, "srate", 44100) == 0;
    set("master_name", "m");
    set("file_name", "f");
    set("file", "take.wav");
  }
  ~Table() { variables_destroy(&vars); }
  void set(const char* name, const char* value) {
    String t;
    string_init(&t);
    ok = ok && string_from_utf8(&t, value, std::strlen(value)) &&
         variables_set_string(&vars, name, &t) == 0;
    string_free(&t);
  }
};

std::string tmpl(const char* text, Resolver* r, int* status_out = nullptr) {
  Value v;
  int status = run(text, v.p(), EXPR_TEMPLATE, r);
  if (status_out) *status_out = status;
  if (status != 0) return "<status " + std::to_string(status) + ">";
  if (v.v.type == VALUE_UNDEF) return "<undef>";
  if (v.v.type == VALUE_INT) return "<int " + std::to_string(v.v.int_value) + ">";
  if (v.v.type == VALUE_BOOL) return v.v.bool_value ? "<true>" : "<false>";
  return v.text();
}

}  // namespace

TEST(ExprTemplate, JoinsTextAndExpressions) {
  Table t;
  ASSERT_TRUE(t.ok);
  EXPECT_EQ(tmpl("${master_name}/${file_name} - IR.wav", &t.vars), "m/f - IR.wav");
  EXPECT_EQ(tmpl("${srate}", &t.vars), "<int 44100>");
  EXPECT_EQ(tmpl("${srate}Hz", &t.vars), "44100Hz");
  EXPECT_EQ(tmpl("${missing}.wav", &t.vars), "undef.wav");
  EXPECT_EQ(tmpl("${missing}", &t.vars), "<undef>");
  EXPECT_EQ(tmpl("", &t.vars), "");
  EXPECT_EQ(tmpl("Price $$5", &t.vars), "Price $5");
  EXPECT_EQ(tmpl("a$b", &t.vars), "a$b");
  EXPECT_EQ(tmpl("${ file_name }", &t.vars), "f");
  EXPECT_EQ(tmpl("${FILE_NAME}", &t.vars), "<undef>");
  EXPECT_EQ(tmpl("${true}", &t.vars), "<true>");
  EXPECT_EQ(tmpl("x${true}", &t.vars), "xtrue");
  EXPECT_EQ(tmpl("${:file_name scat '.bak'}", &t.vars), "f.bak");
  EXPECT_EQ(tmpl("${supr :file_name}", &t.vars), "F");
  EXPECT_EQ(tmpl("${(1 + 2)}-${'x'}${srate}", &t.vars), "3-x44100");
  EXPECT_EQ(tmpl("${'a' sc 'b'}${'c' sc 'd'}", &t.vars), "abcd");
}

TEST(ExprTemplate, Failures) {
  Table t;
  int status = 0;
  tmpl("ends in $", &t.vars, &status);
  EXPECT_EQ(status, STATUS_END_OF_STREAM);
  tmpl("a${x", &t.vars, &status);
  EXPECT_EQ(status, STATUS_END_OF_STREAM);
  tmpl("${x y}", &t.vars, &status);
  EXPECT_EQ(status, STATUS_SYNTAX);
  tmpl("${a + 1}", &t.vars, &status);
  EXPECT_EQ(status, STATUS_SYNTAX);
  tmpl("${file[2]}", &t.vars, &status);
  EXPECT_EQ(status, STATUS_NOT_FOUND);
  t.set("file_2", "second");
  EXPECT_EQ(tmpl("${file[2]}", &t.vars), "second");
  EXPECT_EQ(tmpl("${file[i + 1]}", &t.vars, &status), "<status 55>");
  EXPECT_EQ(tmpl("${supr file_name}", &t.vars, &status), "<status 55>");
  EXPECT_EQ(tmpl("${:file[1 + 1]}", &t.vars), "second");
}

TEST(ExprTemplate, ManyPartsDoNotDeepenTheStack) {
  Table t;
  std::string text, want;
  for (int i = 0; i < 50000; ++i) {
    text += "${file_name}-";
    want += "f-";
  }
  EXPECT_EQ(tmpl(text.c_str(), &t.vars), want);
}

TEST(ExprVariables, SetLookupAndEffectiveNames) {
  Variables v;
  variables_init(&v);
  EXPECT_EQ(variables_set_int(&v, "x", 1), 0);
  EXPECT_EQ(variables_set_int(&v, "x", 2), 0);
  EXPECT_EQ(v.entries.count, 1u);
  EXPECT_EQ(variables_set_string(&v, "n", nullptr), 0);
  EXPECT_EQ(variables_set_int(&v, nullptr, 1), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(variables_set_int(&v, "x_1_2", 12), 0);
  EXPECT_EQ(variables_set_int(&v, "x_-1", -1), 0);
  Value r;
  EXPECT_EQ(v.lookup_cstr(r.p(), "x", 0, nullptr), 0);
  EXPECT_EQ(r.v.int_value, 2);
  EXPECT_EQ(v.lookup_cstr(r.p(), "n", 0, nullptr), 0);
  EXPECT_EQ(r.v.type, VALUE_NULL);
  int64_t idx[] = {1, 2};
  EXPECT_EQ(v.lookup_cstr(r.p(), "x", 2, idx), 0);
  EXPECT_EQ(r.v.int_value, 12);
  int64_t neg[] = {-1};
  EXPECT_EQ(v.lookup_cstr(r.p(), "x", 1, neg), 0);
  EXPECT_EQ(r.v.int_value, -1);
  EXPECT_EQ(v.lookup_cstr(r.p(), "X", 0, nullptr), STATUS_NOT_FOUND);
  variables_destroy(&v);
  variables_destroy(&v);
}

TEST(ExprVariables, ParentAnswersAreCached) {
  Variables parent, child;
  variables_init(&parent);
  variables_init(&child);
  child.parent = &parent;
  EXPECT_EQ(variables_set_int(&parent, "v_3", 7), 0);
  Value r;
  int64_t three[] = {3};
  EXPECT_EQ(child.lookup_cstr(r.p(), "v", 1, three), 0);
  EXPECT_EQ(r.v.int_value, 7);
  ASSERT_EQ(child.entries.count, 1u);
  VariableEntry* e = static_cast<VariableEntry*>(child.entries.data);
  EXPECT_EQ(utf8(&e->name), "v_3");
  variables_clear(&parent);  // the cached copy answers from now on
  EXPECT_EQ(child.lookup_cstr(r.p(), "v", 1, three), 0);
  EXPECT_EQ(r.v.int_value, 7);
  EXPECT_EQ(child.lookup_cstr(r.p(), "w", 0, nullptr), STATUS_NOT_FOUND);
  // The base resolver answers every name with null.
  Resolver base;
  child.parent = &base;
  EXPECT_EQ(child.lookup_cstr(r.p(), "anything", 0, nullptr), 0);
  EXPECT_EQ(r.v.type, VALUE_NULL);
  variables_destroy(&child);
  variables_destroy(&parent);
}

TEST(ExprAllocation, EveryAllocationOfParseAndEvaluateCanFail) {
  const char* templates[] = {
      "${master_name}/${file_name} - IR.wav",
      "${srate}",
      "x${file[1]}y$$",
      "${:file_name scat '.bak' srep 2}${supr :file_name}",
      "${(:srate > 1 ? 'hi' : 'lo') sc str 1.5 sc (1 <=> '2')}",
  };
  for (const char* text : templates) {
    for_each_alloc_failure([text] {
      Table t;
      t.set("file_1", "one");
      String src;
      string_init(&src);
      bool made = t.ok && string_from_utf8(&src, text, std::strlen(text));
      Value out;
      value_set_int(out.p(), 99);
      if (!made) {  // the fixture itself ran out
        string_free(&src);
        return;
      }
      Expression e;
      expression_init(&e);
      int status = expression_parse(&e, &src, EXPR_TEMPLATE);
      bool parsed = status == 0;
      if (parsed) {
        e.resolver = &t.vars;
        status = expression_evaluate(&e, out.p());
      } else {
        EXPECT_EQ(e.statements.count, 0u);  // nothing of a failed parse stays
        value_clear(out.p());
      }
      if (status != 0) {
        EXPECT_EQ(status, STATUS_NO_MEMORY) << text;
        EXPECT_TRUE(alloc_failure_hit());
        EXPECT_EQ(out.v.type, VALUE_UNDEF) << text;
      } else {
        EXPECT_NE(out.v.type, VALUE_UNDEF) << text;
      }
      expression_destroy(&e);
      string_free(&src);
    });
  }
}
