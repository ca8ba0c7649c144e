// Parses arbitrary bytes (decoded leniently from UTF-8) as an output-name
// template and evaluates it against the pattern variables, then checks the
// result for NUL as the tool does before using it as a file name.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "expr/expression.h"
#include "expr/value.h"
#include "expr/variables.h"
#include "runtime/string.h"

namespace {

void set_text(Variables* vars, const char* name, const char* value) {
  String s;
  string_init(&s);
  if (string_from_utf8(&s, value, std::strlen(value))) (void)variables_set_string(vars, name, &s);
  string_free(&s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Variables vars;
  variables_init(&vars);
  (void)variables_set_int(&vars, "srate", 48000);
  set_text(&vars, "group", "drums");
  set_text(&vars, "master", "kit/overhead.wav");
  set_text(&vars, "master_ext", "wav");
  set_text(&vars, "master_name", "overhead");
  set_text(&vars, "file", "kit/snare top.flac");
  set_text(&vars, "file_ext", "flac");
  set_text(&vars, "file_name", "snare top");
  set_text(&vars, "master_dir", "kit");
  set_text(&vars, "file_dir", "takes/2");
  (void)variables_set_int(&vars, "file_index", 3);

  String text;
  string_init(&text);
  if (string_from_utf8(&text, reinterpret_cast<const char*>(data), size)) {
    Expression e;
    expression_init(&e);
    if (expression_parse(&e, &text, EXPR_TEMPLATE) == 0) {
      e.resolver = &vars;
      ExprValue out;
      value_init(&out);
      if (expression_evaluate(&e, &out) == 0 && value_to_string(&out) == 0 && out.type == VALUE_STRING)
        (void)string_has_nul(out.string_value);
      value_clear(&out);
    }
    expression_destroy(&e);
  }
  string_free(&text);
  variables_destroy(&vars);
  return 0;
}
