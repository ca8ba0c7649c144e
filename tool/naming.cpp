#include "tool/naming.h"

#include <cstdio>

#include "analysis/resample.h"
#include "analysis/sample.h"
#include "audio/sample_file.h"
#include "expr/expression.h"
#include "expr/value.h"
#include "expr/variables.h"
#include "runtime/file_system.h"
#include "runtime/path.h"
#include "runtime/status.h"
#include "tool/tool_config.h"

namespace {

// Text of a String for a message, in the locale's character set.
const char* text_of(String* s) {
  const char* t = string_to_locale(s);
  return t ? t : "";
}

// A path from user text: '\' becomes '/', and a relative name is placed
// under `dir` (unchanged when `dir` is empty).
int make_path(String* out, const String* dir, const String* name) {
  String path;
  string_init(&path);
  int st = path_set(&path, name);
  if (st == 0 && !path_is_absolute(&path)) {
    String resolved;
    string_init(&resolved);
    st = path_resolve(&resolved, dir, &path);
    if (st == 0) string_swap(&resolved, &path);
    string_free(&resolved);
  }
  if (st == 0) string_swap(&path, out);
  string_free(&path);
  return st;
}

// Sets `prefix` + "", "_ext" and "_name" from the file part of `name`.
int set_name_parts(Variables* vars, const char* var_file, const char* var_ext, const char* var_name,
                   const String* name) {
  String path, part, ext, stem;
  string_init(&path);
  string_init(&part);
  string_init(&ext);
  string_init(&stem);
  int st = path_set(&path, name);
  if (st == 0) st = path_file_part(&path, &part);
  if (st == 0) st = path_extension(&path, &ext);
  if (st == 0) st = path_stem(&path, &stem);
  if (st == 0) st = variables_set_string(vars, var_file, &part);
  if (st == 0) st = variables_set_string(vars, var_ext, &ext);
  if (st == 0) st = variables_set_string(vars, var_name, &stem);
  string_free(&path);
  string_free(&part);
  string_free(&ext);
  string_free(&stem);
  return st;
}

void print_file_line(const char* what, String* path, const Sample* s, uint64_t rate) {
  char duration[32];
  format_duration(duration, s->length, rate);
  std::printf("  %s: '%s', channels: %d, samples: %d, sample rate: %d, duration: %s\n", what,
              text_of(path), static_cast<int>(s->channels), static_cast<int>(s->length),
              static_cast<int>(rate), duration);
}

}  // namespace

void format_duration(char* out, uint64_t frames, uint64_t rate) {
  uint64_t ms = rate ? frames * 1000 / rate : 0;
  std::snprintf(out, 32, "%02d:%02d:%02d.%03d", static_cast<int>(ms / 3600000),
                static_cast<int>((ms / 60000) % 60), static_cast<int>((ms / 1000) % 60),
                static_cast<int>(ms % 1000));
}

int load_input_file(Sample* target, uint64_t rate, const ToolConfig* cfg, const String* name) {
  String path;
  string_init(&path);
  int st = make_path(&path, &cfg->src_path, name);
  if (st != 0) {
    String copy;
    string_init(&copy);
    if (!string_assign(&copy, name)) string_clear(&copy);
    std::fprintf(stderr, "  could not read file '%s', error code: %d\n", text_of(&copy), st);
    string_free(&copy);
    string_free(&path);
    return st;
  }
  st = sample_load_file(*target, path, -1.0f);
  if (st != 0) {
    std::fprintf(stderr, "  could not read file '%s', error code: %d\n", text_of(&path), st);
    string_free(&path);
    return st;
  }
  print_file_line("loaded file", &path, target, target->sample_rate);
  st = resample(*target, rate);
  if (st != 0) {
    std::fprintf(stderr, "  could not resample file '%s' to sample rate %d, error code: %d\n",
                 text_of(&path), static_cast<int>(rate), st);
  }
  string_free(&path);
  return st;
}

int build_pattern_variables(Variables* vars, const ToolConfig* cfg, const Group* group,
                            const String* master, const String* current) {
  if (!vars || !cfg || !group || !master || !current) return STATUS_BAD_ARGUMENT;
  variables_clear(vars);
  int st = variables_set_int(vars, "srate", static_cast<int64_t>(cfg->srate));
  if (st == 0) st = variables_set_string(vars, "group", &group->name);
  if (st == 0) st = set_name_parts(vars, "master", "master_ext", "master_name", master);
  if (st == 0) st = set_name_parts(vars, "file", "file_ext", "file_name", current);
  return st;
}

int save_output_file(const Sample* buffer, const String* dst_path, const String* templ,
                     Variables* vars) {
  String templ_text;
  string_init(&templ_text);
  if (!string_assign(&templ_text, templ)) string_clear(&templ_text);

  Expression expr;
  expression_init(&expr);
  int st = expression_parse(&expr, const_cast<String*>(templ), EXPR_TEMPLATE);
  if (st != 0) {
    std::fprintf(stderr, "  invalid expression: '%s'\n", text_of(&templ_text));
    expression_destroy(&expr);
    string_free(&templ_text);
    return STATUS_BAD_FORMAT;
  }
  expr.resolver = vars;
  ExprValue value;
  value_init(&value);
  st = expression_evaluate(&expr, &value);
  if (st == 0) st = value_to_string(&value);
  expression_destroy(&expr);
  // A template that is one embedded expression can evaluate to undef or
  // null, which has no text to name a file with.
  if (st != 0 || value.type != VALUE_STRING || !value.string_value) {
    std::fprintf(stderr, "  could not evaluate expression: '%s'\n", text_of(&templ_text));
    value_clear(&value);
    string_free(&templ_text);
    return STATUS_BAD_FORMAT;
  }
  string_free(&templ_text);

  String path, parent;
  string_init(&path);
  string_init(&parent);
  st = make_path(&path, dst_path, value.string_value);
  if (st != 0) {
    std::fprintf(stderr, "  could not write file '%s', error code: %d\n", text_of(value.string_value), st);
  } else {
    int pst = path_parent(&path, &parent);
    if (pst != 0 && pst != STATUS_NOT_FOUND) {
      std::fprintf(stderr, "  could not obtain parent directory for file '%s', error code: %d\n",
                   text_of(value.string_value), pst);
      st = pst;
    } else if (pst == 0 && parent.length > 0) {
      st = make_directories(&parent, true);
      if (st != 0) {
        std::fprintf(stderr, "  could not create directory '%s', error code: %d\n", text_of(&parent),
                     st);
      }
    }
    if (st == 0) {
      int64_t n = sample_save_file(*buffer, path, 0, static_cast<int64_t>(buffer->length));
      if (n < 0) {
        st = static_cast<int>(-n);
        std::fprintf(stderr, "  could not write file '%s', error code: %d\n", text_of(&path), st);
      } else {
        print_file_line("saved file", &path, buffer, buffer->sample_rate);
      }
    }
  }
  string_free(&parent);
  string_free(&path);
  value_clear(&value);
  return st;
}
