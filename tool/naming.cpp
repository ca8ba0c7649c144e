#include "tool/naming.h"

#include <cmath>
#include <cstdio>
#include <new>

#include "analysis/resample.h"
#include "analysis/resample_stream.h"
#include "analysis/sample.h"
#include "audio/sample_file.h"
#include "audio/sndfile_stream.h"
#include "expr/expression.h"
#include "expr/value.h"
#include "expr/variables.h"
#include "runtime/alloc.h"
#include "runtime/output.h"
#include "runtime/file_system.h"
#include "runtime/path.h"
#include "runtime/status.h"
#include "runtime/status_text.h"
#include "tool/delivery.h"
#include "tool/pipeline.h"
#include "tool/tool_config.h"

namespace {

// Text of a String for a message, in the locale's character set.
const char* text_of(String* s) {
  const char* t = string_to_message(s);
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

// Sets the variables `var_file`, `var_ext`, `var_name` and `var_dir` from
// the file part, extension, stem and directory part of `name`.
int set_name_parts(Variables* vars, const char* var_file, const char* var_ext, const char* var_name,
                   const char* var_dir, const String* name) {
  String path, part, ext, stem, dir;
  string_init(&path);
  string_init(&part);
  string_init(&ext);
  string_init(&stem);
  string_init(&dir);
  int st = path_set(&path, name);
  if (st == 0) st = path_file_part(&path, &part);
  if (st == 0) st = path_extension(&path, &ext);
  if (st == 0) st = path_stem(&path, &stem);
  if (st == 0) {
    // A name without '/' has no directory part: '' rather than an error.
    st = path_parent(&path, &dir);
    if (st == STATUS_NOT_FOUND) {
      string_clear(&dir);
      st = 0;
    }
  }
  if (st == 0) st = variables_set_string(vars, var_file, &part);
  if (st == 0) st = variables_set_string(vars, var_ext, &ext);
  if (st == 0) st = variables_set_string(vars, var_name, &stem);
  if (st == 0) st = variables_set_string(vars, var_dir, &dir);
  string_free(&path);
  string_free(&part);
  string_free(&ext);
  string_free(&stem);
  string_free(&dir);
  return st;
}

}  // namespace

void print_read_error(String* shown, int st) {
  err_printf("  could not read file '%s', error code: %d\n", text_of(shown), st);
}

namespace {

void print_file_line(const char* what, String* path, const Sample* s, uint64_t rate) {
  char duration[32];
  format_duration(duration, s->length, rate);
  out_printf("  %s: '%s', channels: %d, samples: %d, sample rate: %d, duration: %s\n", what,
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

bool name_for_message(String* out, const String* s) {
  String text;
  string_init(&text);
  bool ok = true;
  for (uint64_t i = 0; ok && s && i < s->length; ++i) {
    ok = s->chars[i] == 0 ? string_append_ascii(&text, "\\u0000") : string_append_char(&text, s->chars[i]);
  }
  if (ok) string_swap(&text, out);
  string_free(&text);
  return ok;
}

int resolve_input_path(String* out, const ToolConfig* cfg, const String* name) {
  if (!out || !cfg || !name) return STATUS_BAD_ARGUMENT;
  return make_path(out, &cfg->src_path, name);
}

int resolve_output_path(String* out, const String* dst_path, const String* name) {
  if (!out || !dst_path || !name) return STATUS_BAD_ARGUMENT;
  return make_path(out, dst_path, name);
}

int input_path_of(String* path, const ToolConfig* cfg, const String* name) {
  int st = make_path(path, &cfg->src_path, name);
  if (st == 0 && string_has_nul(path)) st = STATUS_BAD_FORMAT;
  if (st != 0) {
    String copy;
    string_init(&copy);
    if (!name_for_message(&copy, name)) string_clear(&copy);
    print_read_error(&copy, st);
    if (st == STATUS_BAD_FORMAT) err_printf("  the name contains a NUL character\n");
    string_free(&copy);
  }
  return st;
}

int check_input_rate(String* path, uint64_t file_rate, uint64_t rate) {
  // Refused before resampling: a tiny header rate would make the resampled
  // buffer enormous, a huge one the filter work endless.
  if (file_rate < kMinInputRate) {
    print_read_error(path, STATUS_UNSUPPORTED);
    err_printf("  file '%s' has the sample rate %llu Hz, below the lowest supported rate of %llu Hz\n",
               text_of(path), static_cast<unsigned long long>(file_rate),
               static_cast<unsigned long long>(kMinInputRate));
    return STATUS_UNSUPPORTED;
  }
  if (rate != 0 && (file_rate > rate * kMaxRateRatio || file_rate * kMaxRateRatio < rate)) {
    print_read_error(path, STATUS_UNSUPPORTED);
    err_printf(
        "  file '%s' has the sample rate %llu Hz, more than a factor of %llu from the run's "
        "sample rate of %llu Hz\n",
        text_of(path), static_cast<unsigned long long>(file_rate), static_cast<unsigned long long>(kMaxRateRatio),
        static_cast<unsigned long long>(rate));
    return STATUS_UNSUPPORTED;
  }
  return 0;
}

void print_unusable_sample(String* path, uint64_t frame, bool finite) {
  print_read_error(path, STATUS_MALFORMED);
  if (finite) {
    err_printf("  file '%s' holds a sample out of range at frame %llu: its magnitude passes %g\n", text_of(path),
               static_cast<unsigned long long>(frame), SAMPLE_MAGNITUDE_LIMIT);
  } else {
    err_printf("  file '%s' holds a NaN or infinite sample at frame %llu\n", text_of(path),
               static_cast<unsigned long long>(frame));
  }
}

void print_shape_line(const char* what, String* path, uint64_t channels, uint64_t frames, uint64_t rate) {
  Sample shape;
  sample_init(shape);
  shape.channels = channels;
  shape.length = frames;
  print_file_line(what, path, &shape, rate);
}

int load_input_file(Sample* target, uint64_t rate, const ToolConfig* cfg, const String* name) {
  String path;
  string_init(&path);
  int st = input_path_of(&path, cfg, name);
  if (st != 0) {
    string_free(&path);
    return st;
  }
  char cause[256] = "";
  st = sample_load_file(*target, path, -1.0f, cause, sizeof cause);
  if (st != 0) {
    print_read_error(&path, st);
    if (cause[0]) err_printf("  %s\n", cause);
    string_free(&path);
    return st;
  }
  const uint64_t file_rate = target->sample_rate;
  if ((st = check_input_rate(&path, file_rate, rate)) != 0) {
    string_free(&path);
    return st;
  }
  uint64_t bad_frame = 0, bad_channel = 0;
  if (sample_find_unusable(*target, &bad_frame, &bad_channel)) {
    print_unusable_sample(&path, bad_frame, std::isfinite(target->data[bad_channel * target->stride + bad_frame]));
    string_free(&path);
    return STATUS_MALFORMED;
  }
  print_file_line("loaded file", &path, target, target->sample_rate);
  // A rate of 0 keeps the file's own.
  if (rate != 0) st = resample_in_blocks(*target, rate, cfg->resample_quality == RESAMPLE_HIGH);
  if (st != 0) {
    err_printf("  could not resample file '%s' to sample rate %d, error code: %d\n",
                 text_of(&path), static_cast<int>(rate), st);
  }
  // Its profile would rest on one zero-padded frame.
  const uint64_t frame = uint64_t{1} << effective_fft_rank(cfg->fft_rank);
  if (st == 0 && target->length < frame) {
    err_printf("  [WRN] file '%s' is shorter than one analysis frame: %llu samples, the frame has %llu\n",
               text_of(&path), static_cast<unsigned long long>(target->length),
               static_cast<unsigned long long>(frame));
  }
  string_free(&path);
  return st;
}

int build_pattern_variables(Variables* vars, const ToolConfig* cfg, const Group* group,
                            const String* master, const String* current, uint64_t index) {
  if (!vars || !cfg || !group || !master || !current) return STATUS_BAD_ARGUMENT;
  variables_clear(vars);
  // A run that follows its masters' rates names each group's outputs with
  // the group's own rate.
  const uint64_t rate = (cfg->srate_source || cfg->srate_child) && group->rate ? group->rate : cfg->srate;
  int st = variables_set_int(vars, "srate", static_cast<int64_t>(rate));
  if (st == 0) st = variables_set_string(vars, "group", &group->name);
  if (st == 0) st = set_name_parts(vars, "master", "master_ext", "master_name", "master_dir", master);
  if (st == 0) st = set_name_parts(vars, "file", "file_ext", "file_name", "file_dir", current);
  if (st == 0) st = variables_set_int(vars, "file_index", static_cast<int64_t>(index));
  if (st == 0) st = variables_set_int(vars, "master_count", static_cast<int64_t>(group_master_count(group)));
  return st;
}

int build_pattern_variables(Variables* vars, const ToolConfig* cfg, const Group* group,
                            const String* master, const String* current) {
  return build_pattern_variables(vars, cfg, group, master, current, 0);
}

namespace {

// The template as a message shows it (a NUL as \u0000).
void say_template(const char* what, const String* templ) {
  String shown;
  string_init(&shown);
  if (!name_for_message(&shown, templ)) string_clear(&shown);
  err_printf(what, text_of(&shown));
  string_free(&shown);
}

// The name `expr` (parsed from `templ`) gives with `vars`, with its lines.
int evaluate_parsed(String* name, Expression* expr, const String* templ, Variables* vars) {
  expr->resolver = vars;
  ExprValue value;
  value_init(&value);
  int st = expression_evaluate(expr, &value);
  if (st == 0) st = value_to_string(&value);
  // A template that is one embedded expression can evaluate to undef or
  // null, which has no text to name a file with.
  if (st != 0 || value.type != VALUE_STRING || !value.string_value) {
    say_template("  could not evaluate expression: '%s'\n", templ);
    st = STATUS_BAD_FORMAT;
  } else if (string_has_nul(value.string_value)) {
    say_template("  expression gives a name with a NUL character: '%s'\n", templ);
    st = STATUS_BAD_FORMAT;
  } else {
    string_swap(value.string_value, name);
  }
  value_clear(&value);
  return st;
}

// evaluate_output_name without a cache.
int evaluate_name(String* name, const String* templ, Variables* vars) {
  Expression expr;
  expression_init(&expr);
  int st = expression_parse(&expr, const_cast<String*>(templ), EXPR_TEMPLATE);
  if (st != 0) {
    say_template("  invalid expression: '%s'\n", templ);
    st = STATUS_BAD_FORMAT;
  } else {
    st = evaluate_parsed(name, &expr, templ, vars);
  }
  expression_destroy(&expr);
  return st;
}

}  // namespace

struct TemplateCache {
  static constexpr int kSlots = 8;
  const String* templ[kSlots];
  Expression* expr[kSlots];  // null where the template did not parse
  int used;
};

TemplateCache* template_cache_new() {
  TemplateCache* c = static_cast<TemplateCache*>(mem_calloc(1, sizeof(TemplateCache)));
  return c;
}

void template_cache_free(TemplateCache* c) {
  if (!c) return;
  for (int i = 0; i < c->used; ++i) {
    if (!c->expr[i]) continue;
    expression_destroy(c->expr[i]);
    c->expr[i]->~Expression();
    mem_free(c->expr[i]);
  }
  mem_free(c);
}

int evaluate_output_name(String* name, const String* templ, Variables* vars, TemplateCache* cache) {
  if (!name || !templ || !vars) return STATUS_BAD_ARGUMENT;
  if (!cache) return evaluate_name(name, templ, vars);
  int at = 0;
  while (at < cache->used && cache->templ[at] != templ) ++at;
  if (at == cache->used) {
    if (at == TemplateCache::kSlots) return evaluate_name(name, templ, vars);
    void* place = mem_alloc(sizeof(Expression));
    if (!place) return STATUS_NO_MEMORY;
    Expression* expr = new (place) Expression();
    expression_init(expr);
    if (expression_parse(expr, const_cast<String*>(templ), EXPR_TEMPLATE) != 0) {
      expression_destroy(expr);
      expr->~Expression();
      mem_free(place);
      expr = nullptr;
    }
    cache->templ[at] = templ;
    cache->expr[at] = expr;
    cache->used = at + 1;
  }
  if (!cache->expr[at]) {
    say_template("  invalid expression: '%s'\n", templ);
    return STATUS_BAD_FORMAT;
  }
  return evaluate_parsed(name, cache->expr[at], templ, vars);
}

int prepare_output_directory(const String* path) {
  String parent;
  string_init(&parent);
  int st = path_parent(path, &parent);
  if (st == STATUS_NOT_FOUND) {
    st = 0;
  } else if (st != 0) {
    err_printf("  could not obtain parent directory for file '%s', error code: %d\n",
               text_of(const_cast<String*>(path)), st);
  } else if (parent.length > 0) {
    st = make_directories(&parent, true);
    if (st != 0) {
      err_printf("  could not create directory '%s', error code: %d\n", text_of(&parent), st);
      err_printf("  %s\n", status_text(st));
    }
  }
  string_free(&parent);
  return st;
}

int save_output_to(const Sample* buffer, const String* path) {
  int st = prepare_output_directory(path);
  if (st != 0) return st;
  // The save converts the path in a copy: the planned one is read only.
  String copy;
  string_init(&copy);
  if (!string_assign(&copy, path)) {
    string_free(&copy);
    return STATUS_NO_MEMORY;
  }
  char cause[256] = "";
  const int64_t n = sample_save_file(*buffer, copy, 0, static_cast<int64_t>(buffer->length), save_format_default(),
                                     nullptr, cause, sizeof cause);
  if (n < 0) {
    st = static_cast<int>(-n);
    err_printf("  could not write file '%s', error code: %d\n", text_of(&copy), st);
    if (cause[0]) err_printf("  %s\n", cause);
  } else {
    print_file_line("saved file", &copy, buffer, buffer->sample_rate);
  }
  string_free(&copy);
  return st;
}

bool probe_input_file(const ToolConfig* cfg, const String* name, uint64_t* rate, uint64_t* channels,
                      uint64_t* frames) {
  String path;
  string_init(&path);
  bool ok = false;
  const char* utf8 = nullptr;
  if (resolve_input_path(&path, cfg, name) == 0 && (utf8 = string_to_utf8(&path)) &&
      sample_check_input(utf8, nullptr, 0) == STATUS_OK) {
    SndfileReader reader;
    AudioFormat format{};
    if (reader.open(path) == STATUS_OK && reader.get_format(&format) == STATUS_OK && format.sample_rate > 0) {
      *rate = format.sample_rate;
      *channels = format.channels;
      *frames = format.frames;
      ok = true;
    }
    (void)reader.close();
  }
  string_free(&path);
  return ok;
}

const String* group_reference_name(const ToolConfig* cfg, const Group* group) {
  if (group->master.length == 0 && cfg->target_curve.length > 0) return &cfg->target_curve;
  return &group->master;
}
