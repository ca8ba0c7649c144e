// The codecs of the settings table: for each kind of value, how it is
// defaulted, read from the command line and from the configuration file,
// written to the report, described and hashed.

#include <strings.h>

#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "config/document_reader.h"
#include "expr/tokenizer.h"
#include "report/run_report.h"
#include "runtime/char_reader.h"
#include "runtime/log.h"
#include "runtime/ptrlist.h"
#include "runtime/status.h"
#include "tool/command_line.h"
#include "tool/output_kinds.h"
#include "analysis/curve_shape.h"
#include "tool/settings.h"
#include "tool/tool_config.h"

namespace {

// A tokenizer over a String that it reads from; the String outlives it.
struct TokenSource {
  StringReader reader;
  ExprTokenizer tokenizer;

  explicit TokenSource(String* text) {
    (void)reader.set_source(text);
    tokenizer_init(&tokenizer, &reader);
  }
  ~TokenSource() { tokenizer_destroy(&tokenizer); }
  int next(int flags) { return next_token(&tokenizer, flags); }
};

bool text_from_utf8(String* out, const char* text) { return string_from_utf8(out, text, std::strlen(text)); }

// The line after "Bad '<label>' value" for an integer that does not fit.
const char* const kTooLarge = "  the number is too large for a 64-bit integer\n";

int bad_value(const char* label, int status) {
  std::fprintf(stderr, "Bad '%s' value\n", label);
  return status;
}
int bad_value(const SettingRow* row, int status) { return bad_value(row->label, status); }

// One scalar option value: an integer, a float or a truth keyword.
struct Scalar {
  int token;
  int64_t int_value;
  double float_value;
  bool truth;
};

// Reads `text` as one scalar token followed by the end. Returns 0 with
// *out filled; 5 when the text cannot be converted ("Out of memory" unless
// `quiet_memory`); 28 after "Bad '<label>' value" when the text is anything
// else than one accepted token.
int read_scalar(const char* text, const char* label, bool allow_float, bool allow_keywords, bool quiet_memory,
                Scalar* out) {
  String s;
  string_init(&s);
  if (!text_from_utf8(&s, text)) {
    if (!quiet_memory) std::fprintf(stderr, "Out of memory\n");
    return STATUS_NO_MEMORY;
  }
  bool ok = false, too_large = false;
  {
    TokenSource src(&s);
    out->token = src.next(TOKEN_ADVANCE);
    if (out->token == TOKEN_INT) {
      // A number too large for 64 bits is refused, never wrapped.
      out->int_value = src.tokenizer.number.int_value;
      too_large = src.tokenizer.overflowed;
      ok = !too_large;
    } else if (out->token == TOKEN_FLOAT && allow_float) {
      out->float_value = src.tokenizer.number.float_value;
      ok = true;
    } else if ((out->token == TOKEN_TRUE || out->token == TOKEN_FALSE) && allow_keywords) {
      out->truth = out->token == TOKEN_TRUE;
      ok = true;
    }
    ok = ok && src.next(TOKEN_ADVANCE) == TOKEN_END;
  }
  string_free(&s);
  if (ok) return 0;
  int st = bad_value(label, STATUS_BAD_VALUE);
  if (too_large) std::fprintf(stderr, "%s", kTooLarge);
  return st;
}

// The float a number is kept as; beyond the float's range an infinity
// (a conversion the language leaves undefined).
float as_float(double v) {
  if (std::fabs(v) > FLT_MAX && !std::isnan(v)) return v < 0 ? -HUGE_VALF : HUGE_VALF;
  return static_cast<float>(v);
}

// An integer or a float, as written.
int parse_number(const char* text, const char* label, double* out) {
  Scalar v;
  int st = read_scalar(text, label, true, false, false, &v);
  if (st == 0) *out = v.token == TOKEN_INT ? static_cast<double>(v.int_value) : v.float_value;
  return st;
}

// Reads `text` as one identifier (or, for rows with numeric words, one
// integer) followed by the end. Returns 0 with *word filled, 5, 7 when the
// first token is not a word, 28 when text follows it.
int read_word(const char* text, const char* label, bool numbers, char* word, size_t size) {
  String s;
  string_init(&s);
  if (!text_from_utf8(&s, text)) {
    std::fprintf(stderr, "Out of memory\n");
    return STATUS_NO_MEMORY;
  }
  int st = 0;
  {
    TokenSource src(&s);
    int tok = src.next(TOKEN_ADVANCE | TOKEN_NO_KEYWORDS);
    if (tok == TOKEN_IDENTIFIER) {
      const char* utf8 = string_to_utf8(&src.tokenizer.text);
      std::snprintf(word, size, "%s", utf8 ? utf8 : "");
    } else if (tok == TOKEN_INT && numbers && src.tokenizer.overflowed) {
      st = bad_value(label, STATUS_BAD_VALUE);
      std::fprintf(stderr, "%s", kTooLarge);
    } else if (tok == TOKEN_INT && numbers) {
      std::snprintf(word, size, "%lld", static_cast<long long>(src.tokenizer.number.int_value));
    } else {
      st = bad_value(label, STATUS_BAD_FORMAT);
    }
    if (st == 0 && src.next(TOKEN_ADVANCE) != TOKEN_END) st = bad_value(label, STATUS_BAD_VALUE);
  }
  string_free(&s);
  return st;
}

// True when `text` is the single identifier `word` (any case).
bool text_is_word(const char* text, const char* word) {
  String s;
  string_init(&s);
  bool yes = false;
  if (text_from_utf8(&s, text)) {
    TokenSource src(&s);
    yes = src.next(TOKEN_ADVANCE | TOKEN_NO_KEYWORDS) == TOKEN_IDENTIFIER &&
          string_compare_cstr_nocase(&src.tokenizer.text, word) == 0 && src.next(TOKEN_ADVANCE) == TOKEN_END;
  }
  string_free(&s);
  return yes;
}

// One keyword of the row (any case; for rows with numeric words also an
// integer such as 16): 7 for another word, 28 when text follows it.
int parse_keyword(const char* text, const SettingRow* row, uint64_t* out) {
  auto find = [row, out](const char* word) {
    for (uint32_t i = 0; i < row->keyword_count; ++i)
      if (strcasecmp(word, row->keywords[i].word) == 0) return *out = row->keywords[i].value, true;
    return false;
  };
  // A keyword that is no single token ("speech-match") is taken as written.
  if (find(text)) return 0;
  char word[64];
  int st = read_word(text, row->label, (row->flags & SETTING_NUMERIC_WORDS) != 0, word, sizeof word);
  return st != 0 ? st : find(word) ? 0 : bad_value(row->label, STATUS_BAD_FORMAT);
}

}  // namespace

int parse_float_option(const char* text, const char* label, float* out) {
  double v = 0.0;
  int st = parse_number(text, label, &v);
  if (st == 0) *out = as_float(v);
  return st;
}

int parse_integer_option(const char* text, const char* label, int64_t* out) {
  Scalar v;
  int st = read_scalar(text, label, false, false, true, &v);
  if (st != 0) return st;
  *out = v.int_value;
  return 0;
}

int parse_boolean_option(const char* text, const char* label, bool* out) {
  Scalar v;
  int st = read_scalar(text, label, true, true, false, &v);
  if (st != 0) return st;
  *out = v.token == TOKEN_INT ? v.int_value != 0 : v.token == TOKEN_FLOAT ? v.float_value >= 0.5 : v.truth;
  return 0;
}

int parse_normalize_option(const char* text, uint64_t* out) {
  return parse_keyword(text, setting_by_option("--normalize"), out);
}

int parse_produce_option(const char* text, uint64_t* out) {
  StringReader reader;
  int st = reader.set_text(text);
  if (st != 0) {
    std::fprintf(stderr, "Error parsing argument '%s', error code: %d\n", "produce", st);
    return st;
  }
  ExprTokenizer tokenizer;
  tokenizer_init(&tokenizer, &reader);
  const int flags = TOKEN_ADVANCE | TOKEN_NO_KEYWORDS;
  uint64_t bits = 0;
  // Known words, each but the last followed by a comma.
  int tok = next_token(&tokenizer, flags);
  while (st == 0 && tok != TOKEN_END) {
    uint64_t word = 0;
    const bool known = tok == TOKEN_IDENTIFIER && produce_keyword_find(&tokenizer.text, &word);
    if (tok == TOKEN_IDENTIFIER && !known) {
      const char* name = string_to_locale(&tokenizer.text);
      std::fprintf(stderr, "Argument '%s': unknown value '%s'\n", "produce", name ? name : "");
      st = STATUS_BAD_FORMAT;
      break;
    }
    bits |= word;
    if (known) tok = next_token(&tokenizer, flags);
    const bool comma = known && tok == TOKEN_COMMA;
    if (comma) tok = next_token(&tokenizer, flags);
    if (!known || (comma ? tok == TOKEN_END : tok != TOKEN_END)) {
      std::fprintf(stderr, "Argument '%s': invalid syntax\n", "produce");
      st = STATUS_BAD_FORMAT;
    }
  }
  tokenizer_destroy(&tokenizer);
  (void)reader.close();
  if (st == 0) *out = bits;
  return st;
}

namespace {

bool ranged(const SettingRow* row) { return row->min <= row->max; }

// A reason for the line after "Error parsing configuration file".
int refuse(SettingInput* in, int status, const char* format, ...) __attribute__((format(printf, 3, 4)));
int refuse(SettingInput* in, int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(in->why, sizeof in->why, format, args);
  va_end(args);
  return status;
}

// Reads the event of a single value; an integer beyond 64 bits is refused.
int next_scalar(SettingInput* in, const SettingRow* row) {
  int st = document_reader_next(in->reader, in->event);
  if (st != STATUS_OK) return st;
  if (in->event->kind == INTEGER && in->event->overflowed) {
    return refuse(in, STATUS_BAD_FORMAT, "'%s' is an integer too large to be read (beyond the 64-bit range)", row->key);
  }
  return STATUS_OK;
}

// Text of the current event for a message, in the locale's character set.
const char* event_text(SettingInput* in) {
  const char* text = string_to_locale(&in->event->text);
  if (!text) text = string_to_utf8(&in->event->text);
  return text ? text : "";
}

const char* utf8_of(const String* s) {
  const char* t = string_to_utf8(const_cast<String*>(s));
  return t ? t : "";
}

// A number of a float or level row as written: finite (a silent gain may
// be minus infinity where the row allows it), in the row's range, and
// finite still as the float it is kept as. 0 with *out set, 1 when not
// finite, 2 when out of range.
int check_number(const SettingRow* row, double v, float* out) {
  const float f = as_float(v);
  const bool silent = (row->flags & SETTING_NEG_INFINITY) && std::isinf(f) && f < 0;
  if (!silent && !std::isfinite(v)) return 1;
  if (!silent && !setting_in_range(row, v)) return 2;
  if (!silent && !std::isfinite(f)) return 1;
  *out = f;
  return 0;
}

int number_from_document(SettingInput* in, const SettingRow* row, float* dst) {
  const DocumentEvent& e = *in->event;
  double v = 0.0;
  if (e.kind == FLOAT) v = e.value.real;
  else if (e.kind == INTEGER) v = static_cast<double>(e.value.integer);
  else return refuse(in, STATUS_TYPE_MISMATCH, "'%s' must be a number", row->key);
  const int why = check_number(row, v, dst);
  if (why == 1) return refuse(in, STATUS_TYPE_MISMATCH, "'%s' must be a finite number", row->key);
  if (why == 2) {
    return refuse(in, STATUS_TYPE_MISMATCH, "'%s' must %slie between %.10g and %.10g", row->key,
                  (row->flags & SETTING_ZERO_TOO) ? "be 0 or " : "", row->min, row->max);
  }
  return STATUS_OK;
}

void describe_number(const SettingRow* row, char* out, size_t size) {
  if (ranged(row)) std::snprintf(out, size, "%.10g..%.10g %s", row->min, row->max, row->value_name);
  else std::snprintf(out, size, "a number in %s", row->value_name);
}

void manual_range(FILE* out, const SettingRow* row) {
  if (ranged(row) && (row->flags & SETTING_ZERO_TOO))
    std::fprintf(out, "0, or from %.10g to %.10g. ", row->min, row->max);
  else if (ranged(row)) std::fprintf(out, "From %.10g to %.10g. ", row->min, row->max);
}

void manual_words(FILE* out, const SettingRow* row, const char* end) {
  std::fputs("One of: ", out);
  for (uint32_t i = 0; i < row->keyword_count; ++i) {
    if (i) std::fputs(", ", out);
    roff_text(out, row->keywords[i].word);
  }
  std::fputs(end, out);
}

// A number, boolean or keyword value at the row's typed default, and its
// bytes in the hash.
template <typename T>
bool number_default(ToolConfig* cfg, const SettingRow* row) {
  *setting_field<T>(cfg, row) = static_cast<T>(row->default_value);
  return true;
}
template <typename T>
void number_hash(uint64_t* h, const ToolConfig* cfg, const SettingRow* row) {
  settings_hash_bytes(h, setting_field<T>(cfg, row), sizeof(T));
}

// Text and templates: file names keep bytes that are not valid UTF-8, so
// that a file is opened by the very bytes given.

bool text_default(ToolConfig* cfg, const SettingRow* row) {
  String* s = setting_field<String>(cfg, row);
  string_init(s);
  return !row->default_text[0] || string_from_latin1(s, row->default_text, std::strlen(row->default_text));
}

int text_from_argument(ToolConfig* cfg, const SettingRow* row, const char* text, bool group_mode) {
  String s;
  string_init(&s);
  if (!string_from_name_bytes(&s, text, std::strlen(text))) {
    std::fprintf(stderr, "Not enough memory\n");
    return STATUS_NO_MEMORY;
  }
  string_swap(&s, setting_field<String>(cfg, row));
  string_free(&s);
  // A group of the command line makes the outputs whose names it is given.
  for (size_t k = 0; group_mode && k < OUTPUT_KIND_COUNT; ++k)
    if (OUTPUT_KINDS[k].templ == row->offset) cfg->produce |= OUTPUT_KINDS[k].produce;
  return 0;
}

int text_from_document(ToolConfig* cfg, const SettingRow* row, SettingInput* in) {
  int st = next_scalar(in, row);
  if (st != STATUS_OK) return st;
  if (in->event->kind != STRING) return refuse(in, STATUS_TYPE_MISMATCH, "'%s' must be a string", row->key);
  // A path is handed to the system, which would cut it at a NUL.
  if (row->kind == SETTING_TEXT && string_has_nul(&in->event->text)) {
    return refuse(in, STATUS_BAD_FORMAT, "'%s' contains a NUL character", row->key);
  }
  return string_assign(setting_field<String>(cfg, row), &in->event->text) ? STATUS_OK : STATUS_NO_MEMORY;
}

void text_to_report(RunReport* r, const char* key, const ToolConfig* cfg, const SettingRow* row) {
  (void)report_add_setting_text(r, key, utf8_of(setting_field<String>(cfg, row)));
}

void text_hash(uint64_t* h, const ToolConfig* cfg, const SettingRow* row) {
  const String* text = setting_field<String>(cfg, row);
  for (uint64_t k = 0; k < text->length; ++k) {
    uint32_t c = string_at(text, static_cast<int64_t>(k));
    settings_hash_bytes(h, &c, sizeof c);
  }
}

// Floats.

int float_from_argument(ToolConfig* cfg, const SettingRow* row, const char* text, bool) {
  double v = 0.0;
  int st = parse_number(text, row->label, &v);
  if (st != 0) return st;
  return check_number(row, v, setting_field<float>(cfg, row)) != 0 ? bad_value(row, STATUS_BAD_VALUE) : 0;
}

int float_from_document(ToolConfig* cfg, const SettingRow* row, SettingInput* in) {
  int st = next_scalar(in, row);
  return st != STATUS_OK ? st : number_from_document(in, row, setting_field<float>(cfg, row));
}

void float_to_report(RunReport* r, const char* key, const ToolConfig* cfg, const SettingRow* row) {
  (void)report_add_setting_float(r, key, *setting_field<float>(cfg, row));
}

// Integers.

int integer_from_argument(ToolConfig* cfg, const SettingRow* row, const char* text, bool) {
  int64_t i = 0;
  int st = parse_integer_option(text, row->label, &i);
  if (st != 0) return st;
  if (!setting_in_range(row, static_cast<double>(i))) return bad_value(row, STATUS_BAD_VALUE);
  *setting_field<int64_t>(cfg, row) = i;
  return 0;
}

int integer_from_document(ToolConfig* cfg, const SettingRow* row, SettingInput* in) {
  int st = next_scalar(in, row);
  if (st != STATUS_OK) return st;
  const DocumentEvent& e = *in->event;
  if (e.kind != INTEGER) return refuse(in, STATUS_TYPE_MISMATCH, "'%s' must be an integer", row->key);
  if (!setting_in_range(row, static_cast<double>(e.value.integer))) {
    return refuse(in, STATUS_TYPE_MISMATCH, "'%s' must lie between %.10g and %.10g", row->key, row->min, row->max);
  }
  *setting_field<int64_t>(cfg, row) = e.value.integer;
  return STATUS_OK;
}

void integer_to_report(RunReport* r, const char* key, const ToolConfig* cfg, const SettingRow* row) {
  (void)report_add_setting_number(r, key, static_cast<double>(*setting_field<int64_t>(cfg, row)));
}

void integer_describe(const SettingRow* row, char* out, size_t size) {
  if (ranged(row)) std::snprintf(out, size, "an integer %.10g..%.10g", row->min, row->max);
  else std::snprintf(out, size, "an integer");
}

// The sample rate: Hz, or "source" or "child" (ToolConfig's srate_source
// and srate_child).

int rate_from_argument(ToolConfig* cfg, const SettingRow* row, const char* text, bool) {
  const bool source = text_is_word(text, "source");
  const bool child = !source && text_is_word(text, "child");
  if (!source && !child) {
    int64_t rate = 0;
    int st = parse_integer_option(text, row->label, &rate);
    if (st != 0) return st;
    if (!setting_in_range(row, static_cast<double>(rate))) return bad_value(row, STATUS_BAD_VALUE);
    *setting_field<uint64_t>(cfg, row) = static_cast<uint64_t>(rate);
  }
  cfg->srate_source = source;
  cfg->srate_child = child;
  return 0;
}

int rate_from_document(ToolConfig* cfg, const SettingRow* row, SettingInput* in) {
  int st = next_scalar(in, row);
  if (st != STATUS_OK) return st;
  const DocumentEvent& e = *in->event;
  const bool source = e.kind == STRING && string_compare_cstr_nocase(&e.text, "source") == 0;
  const bool child = e.kind == STRING && string_compare_cstr_nocase(&e.text, "child") == 0;
  if (!source && !child && (e.kind != INTEGER || !setting_in_range(row, static_cast<double>(e.value.integer)))) {
    return refuse(in, STATUS_TYPE_MISMATCH, "'%s' must be an integer from %.10g to %.10g, 'source' or 'child'",
                  row->key, row->min, row->max);
  }
  if (!source && !child) *setting_field<uint64_t>(cfg, row) = static_cast<uint64_t>(e.value.integer);
  cfg->srate_source = source;
  cfg->srate_child = child;
  return STATUS_OK;
}

void rate_to_report(RunReport* r, const char* key, const ToolConfig* cfg, const SettingRow* row) {
  if (cfg->srate_source) (void)report_add_setting_text(r, key, "source");
  else if (cfg->srate_child) (void)report_add_setting_text(r, key, "child");
  else (void)report_add_setting_number(r, key, static_cast<double>(*setting_field<uint64_t>(cfg, row)));
}

void rate_describe(const SettingRow* row, char* out, size_t size) {
  std::snprintf(out, size, "an integer %.10g..%.10g (Hz), source or child", row->min, row->max);
}

void rate_manual(FILE* out, const SettingRow* row) {
  std::fprintf(out,
               "An integer from %.10g to %.10g, source (each group at its master's rate) or child (mastering "
               "only: every output at its child's rate). ",
               row->min, row->max);
}

void rate_hash(uint64_t* h, const ToolConfig* cfg, const SettingRow* row) {
  settings_hash_bytes(h, setting_field<uint64_t>(cfg, row), sizeof(uint64_t));
  const unsigned char modes[2] = {cfg->srate_source, cfg->srate_child};
  settings_hash_bytes(h, modes, sizeof modes);
}

// Booleans.

int boolean_from_argument(ToolConfig* cfg, const SettingRow* row, const char* text, bool) {
  return parse_boolean_option(text, row->label, setting_field<bool>(cfg, row));
}

// A number counts as true when non-zero, a float above 0.5.
int boolean_from_document(ToolConfig* cfg, const SettingRow* row, SettingInput* in) {
  int st = next_scalar(in, row);
  if (st != STATUS_OK) return st;
  const DocumentEvent& e = *in->event;
  bool* dst = setting_field<bool>(cfg, row);
  if (e.kind == BOOLEAN) *dst = e.value.boolean != 0;
  else if (e.kind == FLOAT) *dst = e.value.real > 0.5;
  else if (e.kind == INTEGER) *dst = e.value.integer != 0;
  else return refuse(in, STATUS_TYPE_MISMATCH, "'%s' must be true or false", row->key);
  return STATUS_OK;
}

void boolean_to_report(RunReport* r, const char* key, const ToolConfig* cfg, const SettingRow* row) {
  (void)report_add_setting_bool(r, key, *setting_field<bool>(cfg, row));
}

void boolean_describe(const SettingRow*, char* out, size_t size) { std::snprintf(out, size, "true or false"); }

void boolean_manual(FILE* out, const SettingRow*) { std::fputs("true or false (or a number). ", out); }

// Keywords: one word of the row's table (and, for rows whose words are
// numbers, the number itself), kept as a uint64_t, or as a bool for a
// choice of two words (the second true).

void keyword_describe(const SettingRow* row, char* out, size_t size) {
  size_t used = static_cast<size_t>(std::snprintf(out, size, "one of "));
  for (uint32_t i = 0; i < row->keyword_count && used < size; ++i)
    used += static_cast<size_t>(std::snprintf(out + used, size - used, "%s%s", i ? ", " : "", row->keywords[i].word));
}

template <typename T>
int keyword_from_argument(ToolConfig* cfg, const SettingRow* row, const char* text, bool) {
  uint64_t found_value = 0;
  int st = parse_keyword(text, row, &found_value);
  if (st == 0) *setting_field<T>(cfg, row) = static_cast<T>(found_value);
  return st;
}

template <typename T>
int keyword_from_document(ToolConfig* cfg, const SettingRow* row, SettingInput* in) {
  int st = next_scalar(in, row);
  if (st != STATUS_OK) return st;
  const DocumentEvent& e = *in->event;
  uint64_t found_value = 0;
  bool found = false;
  if (e.kind == STRING) {
    found = keyword_find(row->keywords, row->keyword_count, &e.text, &found_value);
  } else if (e.kind == INTEGER && (row->flags & SETTING_NUMERIC_WORDS)) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(e.value.integer));
    for (uint32_t i = 0; i < row->keyword_count; ++i) {
      if (std::strcmp(digits, row->keywords[i].word) == 0) {
        found_value = row->keywords[i].value;
        found = true;
      }
    }
  } else {
    return refuse(in, STATUS_TYPE_MISMATCH, "'%s' must be a string", row->key);
  }
  if (!found) {
    if (e.kind == STRING) {
      std::fprintf(stderr, "Error: unknown flag '%s'\n", event_text(in));
      std::fflush(stderr);
    }
    char words[128];
    keyword_describe(row, words, sizeof words);
    return refuse(in, STATUS_BAD_FORMAT, "'%s' must be %s", row->key, words);
  }
  *setting_field<T>(cfg, row) = static_cast<T>(found_value);
  return STATUS_OK;
}

template <typename T>
void keyword_to_report(RunReport* r, const char* key, const ToolConfig* cfg, const SettingRow* row) {
  const char* word = setting_keyword_text(row, static_cast<uint64_t>(*setting_field<T>(cfg, row)));
  (void)report_add_setting_text(r, key, word ? word : "default");
}

void keyword_manual(FILE* out, const SettingRow* row) { manual_words(out, row, ". "); }

template <typename T>
void keyword_hash(uint64_t* h, const ToolConfig* cfg, const SettingRow* row) {
  const uint64_t v = *setting_field<T>(cfg, row);
  settings_hash_bytes(h, &v, sizeof v);
}

// The produce set: a list of output keywords. Its parsers say themselves
// what is wrong with a list.

int produce_from_argument(ToolConfig* cfg, const SettingRow* row, const char* text, bool) {
  return parse_produce_option(text, setting_field<uint64_t>(cfg, row));
}

// An array of keywords OR-ed together; unknown ones are reported and
// ignored. The set is replaced only once the array is complete.
int produce_from_document(ToolConfig* cfg, const SettingRow* row, SettingInput* in) {
  int st = document_reader_next(in->reader, in->event);
  if (st != STATUS_OK) return st;
  if (in->event->kind != ARRAY_BEGIN) return refuse(in, STATUS_TYPE_MISMATCH, "'produce' must be a list of outputs");
  uint64_t acc = 0;
  for (;;) {
    st = document_reader_next(in->reader, in->event);
    if (st != STATUS_OK) return st;
    if (in->event->kind == ARRAY_END) break;
    if (in->event->kind != STRING) return refuse(in, STATUS_TYPE_MISMATCH, "'produce' must be a list of outputs");
    uint64_t bits = 0;
    if (produce_keyword_find(&in->event->text, &bits)) {
      acc |= bits;
    } else {
      std::fprintf(stderr, "Warning: unknown flag '%s'\n", event_text(in));
      std::fflush(stderr);
    }
  }
  *setting_field<uint64_t>(cfg, row) = acc;
  return STATUS_OK;
}

void produce_to_report(RunReport* r, const char* key, const ToolConfig* cfg, const SettingRow* row) {
  // Each output by its own word, "all" never.
  const char* items[8];
  uint64_t n = 0;
  for (uint32_t i = 0; i < row->keyword_count && n < 8; ++i) {
    const uint64_t bit = row->keywords[i].value;
    if ((bit & (bit - 1)) == 0 && (*setting_field<uint64_t>(cfg, row) & bit)) items[n++] = row->keywords[i].word;
  }
  (void)report_add_setting_list(r, key, items, n);
}

void produce_manual(FILE* out, const SettingRow* row) {
  manual_words(out, row, " (a comma-separated list; empty for none). ");
}

// Levels: a number in the row's range, or off; kept as an OptionalLevel,
// or as a float that is kNoLimit when off (a limit of the curve).

OptionalLevel get_level(const OptionalLevel* level) { return *level; }
OptionalLevel get_level(const float* limit) { return OptionalLevel{*limit < 0.0f ? 0.0f : *limit, *limit >= 0.0f}; }
void set_level(OptionalLevel* level, OptionalLevel to) { *level = to; }
void set_level(float* limit, OptionalLevel to) { *limit = to.on ? to.value : kNoLimit; }

template <typename T>
bool level_default(ToolConfig* cfg, const SettingRow* row) {
  const bool on = !std::isnan(row->default_value);
  set_level(setting_field<T>(cfg, row), OptionalLevel{on ? static_cast<float>(row->default_value) : 0.0f, on});
  return true;
}

template <typename T>
int level_from_argument(ToolConfig* cfg, const SettingRow* row, const char* text, bool) {
  OptionalLevel level = get_level(setting_field<T>(cfg, row));
  level.on = false;
  if (!text_is_word(text, "off")) {
    double v = 0.0;
    int st = parse_number(text, row->label, &v);
    if (st != 0) return st;
    if (check_number(row, v, &level.value) != 0) return bad_value(row, STATUS_BAD_VALUE);
    level.on = !(level.value == 0.0f && (row->flags & SETTING_ZERO_OFF));
  }
  set_level(setting_field<T>(cfg, row), level);
  return 0;
}

template <typename T>
int level_from_document(ToolConfig* cfg, const SettingRow* row, SettingInput* in) {
  int st = next_scalar(in, row);
  if (st != STATUS_OK) return st;
  const DocumentEvent& e = *in->event;
  OptionalLevel level = get_level(setting_field<T>(cfg, row));
  level.on = false;
  if (e.kind != NULL_VALUE && !(e.kind == STRING && string_compare_cstr_nocase(&e.text, "off") == 0)) {
    if (e.kind != FLOAT && e.kind != INTEGER)
      return refuse(in, STATUS_TYPE_MISMATCH, "'%s' must be a number or 'off'", row->key);
    st = number_from_document(in, row, &level.value);
    if (st != STATUS_OK) return st;
    level.on = !(level.value == 0.0f && (row->flags & SETTING_ZERO_OFF));
    if ((row->flags & SETTING_ZERO_WAS_OFF) && level.value == 0.0f) {
      // Files written when 0 switched the limit off would now forbid it.
      const char* what = std::strncmp(row->key, "max_", 4) == 0 ? row->key + 4 : row->key;
      log_line("[WRN] '%s' of 0 now means no %s at all; 'off' means no limit\n", row->key, what);
    }
  }
  set_level(setting_field<T>(cfg, row), level);
  return STATUS_OK;
}

template <typename T>
void level_to_report(RunReport* r, const char* key, const ToolConfig* cfg, const SettingRow* row) {
  const OptionalLevel level = get_level(setting_field<T>(cfg, row));
  if (level.on) (void)report_add_setting_number(r, key, level.value);
  else (void)report_add_setting_null(r, key);
}

void level_manual(FILE* out, const SettingRow* row) {
  std::fprintf(out, "A number from %.10g to %.10g, or off%s. ", row->min, row->max,
               (row->flags & SETTING_ZERO_OFF) ? " (0 is off too)" : "");
}

template <typename T>
void level_hash(uint64_t* h, const ToolConfig* cfg, const SettingRow* row) {
  const OptionalLevel level = get_level(setting_field<T>(cfg, row));
  const unsigned char on = level.on ? 1 : 0;
  const float v = level.on ? level.value : 0.0f;
  settings_hash_bytes(h, &on, 1);
  settings_hash_bytes(h, &v, sizeof v);
}

// Names given by a repeated option (-og): each a heap String of the list.

bool names_default(ToolConfig* cfg, const SettingRow* row) {
  ptrlist_init(setting_field<PtrList>(cfg, row));
  return true;
}

int names_from_argument(ToolConfig* cfg, const SettingRow* row, const char* text, bool) {
  String s;
  string_init(&s);
  String* copy = string_from_utf8(&s, text, std::strlen(text)) ? string_take(&s) : nullptr;
  string_free(&s);
  if (!copy || !ptrlist_push(setting_field<PtrList>(cfg, row), copy)) {
    string_delete(copy);
    std::fprintf(stderr, "Not enough memory\n");
    return STATUS_NO_MEMORY;
  }
  return 0;
}

// Indexed by SettingKind.
const SettingCodec CODECS[] = {
    /* ACTION */ {},
    /* CONFIG */ {},
    /* CHILD */ {},
    /* GROUP */ {},
    /* TEXT */ {text_default, text_from_argument, text_from_document, text_to_report, nullptr, nullptr, text_hash},
    /* TEMPLATE */ {text_default, text_from_argument, text_from_document, text_to_report, nullptr, nullptr, nullptr},
    /* FLOAT */
    {number_default<float>, float_from_argument, float_from_document, float_to_report, describe_number, manual_range,
     number_hash<float>},
    /* INTEGER */
    {number_default<int64_t>, integer_from_argument, integer_from_document, integer_to_report, integer_describe,
     manual_range, number_hash<int64_t>},
    /* RATE */
    {number_default<uint64_t>, rate_from_argument, rate_from_document, rate_to_report, rate_describe, rate_manual,
     rate_hash},
    /* BOOLEAN */
    {number_default<bool>, boolean_from_argument, boolean_from_document, boolean_to_report, boolean_describe,
     boolean_manual, number_hash<bool>},
    /* KEYWORD */
    {number_default<uint64_t>, keyword_from_argument<uint64_t>, keyword_from_document<uint64_t>,
     keyword_to_report<uint64_t>, keyword_describe, keyword_manual, keyword_hash<uint64_t>},
    /* PRODUCE */
    {number_default<uint64_t>, produce_from_argument, produce_from_document, produce_to_report, nullptr, produce_manual,
     nullptr},
    /* LEVEL */
    {level_default<OptionalLevel>, level_from_argument<OptionalLevel>, level_from_document<OptionalLevel>,
     level_to_report<OptionalLevel>, describe_number, level_manual, level_hash<OptionalLevel>},
    /* NAMES */ {names_default, names_from_argument, nullptr, nullptr, nullptr, nullptr, nullptr},
    /* LIMIT */
    {level_default<float>, level_from_argument<float>, level_from_document<float>, level_to_report<float>,
     describe_number, level_manual, level_hash<float>},
    /* CHOICE */
    {number_default<bool>, keyword_from_argument<bool>, keyword_from_document<bool>, keyword_to_report<bool>,
     keyword_describe, keyword_manual, keyword_hash<bool>},
};
static_assert(sizeof(CODECS) / sizeof(CODECS[0]) == SETTING_CHOICE + 1, "a codec per kind of setting");

}  // namespace

const SettingCodec* setting_codec(const SettingRow* row) { return &CODECS[row->kind]; }

void settings_hash_bytes(uint64_t* h, const void* data, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    *h ^= p[i];
    *h *= 1099511628211ull;
  }
}

void roff_text(FILE* out, const char* text) {
  for (const char* p = text; *p; ++p) {
    if (*p == '\\') std::fputs("\\e", out);
    else if (*p == '-') std::fputs("\\-", out);
    else if ((*p == '.' || *p == '\'') && (p == text || p[-1] == '\n')) std::fputs("\\&", out), std::fputc(*p, out);
    else std::fputc(*p, out);
  }
}
