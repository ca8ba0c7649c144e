#include "tool/command_line.h"

#include <strings.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "expr/tokenizer.h"
#include "runtime/char_reader.h"
#include "runtime/hash_map.h"
#include "runtime/ptrlist.h"
#include "runtime/status.h"
#include "runtime/string.h"
#include "tool/config_file.h"
#include "tool/delivery.h"
#include "tool/keywords.h"
#include "tool/presets.h"
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

bool text_from_utf8(String* out, const char* text) {
  return string_from_utf8(out, text, std::strlen(text));
}

// File names, paths and templates keep bytes that are not valid UTF-8, so
// that the file is opened by the very bytes given.
bool name_from_bytes(String* out, const char* text) {
  return string_from_name_bytes(out, text, std::strlen(text));
}

// The line after "Bad '<label>' value" for an integer that does not fit.
const char* const kTooLarge = "  the number is too large for a 64-bit integer\n";

int bad_value(const char* label, int status) {
  std::fprintf(stderr, "Bad '%s' value\n", label);
  return status;
}

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
int read_scalar(const char* text, const char* label, bool allow_float, bool allow_keywords,
                bool quiet_memory, Scalar* out) {
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

}  // namespace

int parse_float_option(const char* text, const char* label, float* out) {
  Scalar v;
  int st = read_scalar(text, label, true, false, false, &v);
  if (st != 0) return st;
  *out = v.token == TOKEN_INT ? static_cast<float>(v.int_value) : static_cast<float>(v.float_value);
  return 0;
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
  if (v.token == TOKEN_INT) {
    *out = v.int_value != 0;
  } else if (v.token == TOKEN_FLOAT) {
    *out = v.float_value >= 0.5;
  } else {
    *out = v.truth;
  }
  return 0;
}

int parse_normalize_option(const char* text, uint64_t* out) {
  return parse_keyword_option(text, setting_by_option("--normalize"), out);
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

int parse_keyword_option(const char* text, const SettingRow* row, uint64_t* out) {
  // A keyword that is no single token ("speech-match") is taken as written.
  for (uint32_t i = 0; i < row->keyword_count; ++i) {
    if (strcasecmp(text, row->keywords[i].word) == 0) {
      *out = row->keywords[i].value;
      return 0;
    }
  }
  char word[64];
  int st = read_word(text, row->label, (row->flags & SETTING_NUMERIC_WORDS) != 0, word, sizeof word);
  if (st != 0) return st;
  for (uint32_t i = 0; i < row->keyword_count; ++i) {
    if (strcasecmp(word, row->keywords[i].word) == 0) {
      *out = row->keywords[i].value;
      return 0;
    }
  }
  return bad_value(row->label, STATUS_BAD_FORMAT);
}

namespace {

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

}  // namespace

int parse_level_option(const char* text, const SettingRow* row, OptionalLevel* out) {
  if (text_is_word(text, "off")) {
    out->on = false;
    return 0;
  }
  Scalar v;
  int st = read_scalar(text, row->label, true, false, false, &v);
  if (st != 0) return st;
  double value = v.token == TOKEN_INT ? static_cast<double>(v.int_value) : v.float_value;
  if (!setting_in_range(row, value)) return bad_value(row->label, STATUS_BAD_VALUE);
  out->value = static_cast<float>(value);
  out->on = !(value == 0.0 && (row->flags & SETTING_ZERO_OFF));
  return 0;
}

int parse_rate_option(const char* text, ToolConfig* cfg) {
  const SettingRow* row = setting_by_option("--srate");
  if (text_is_word(text, "source")) {
    cfg->srate_source = true;
    cfg->srate_child = false;
    return 0;
  }
  if (text_is_word(text, "child")) {
    cfg->srate_child = true;
    cfg->srate_source = false;
    return 0;
  }
  int64_t rate = 0;
  int st = parse_integer_option(text, row->label, &rate);
  if (st != 0) return st;
  if (!setting_in_range(row, static_cast<double>(rate))) return bad_value(row->label, STATUS_BAD_VALUE);
  cfg->srate = static_cast<uint64_t>(rate);
  cfg->srate_source = false;
  cfg->srate_child = false;
  return 0;
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
  int tok = next_token(&tokenizer, flags);
  while (st == 0 && tok != TOKEN_END) {
    if (tok != TOKEN_IDENTIFIER) {
      std::fprintf(stderr, "Argument '%s': invalid syntax\n", "produce");
      st = STATUS_BAD_FORMAT;
      break;
    }
    uint64_t word = 0;
    if (!produce_keyword_find(&tokenizer.text, &word)) {
      const char* name = string_to_locale(&tokenizer.text);
      std::fprintf(stderr, "Argument '%s': unknown value '%s'\n", "produce", name ? name : "");
      st = STATUS_BAD_FORMAT;
      break;
    }
    bits |= word;
    tok = next_token(&tokenizer, flags);
    if (tok == TOKEN_COMMA) {
      tok = next_token(&tokenizer, flags);
      if (tok == TOKEN_END) {
        std::fprintf(stderr, "Argument '%s': invalid syntax\n", "produce");
        st = STATUS_BAD_FORMAT;
      }
    } else if (tok != TOKEN_END) {
      std::fprintf(stderr, "Argument '%s': invalid syntax\n", "produce");
      st = STATUS_BAD_FORMAT;
    }
  }
  tokenizer_destroy(&tokenizer);
  (void)reader.close();
  if (st == 0) *out = bits;
  return st;
}

int print_help(const char* program) {
  // The column width comes from the original rows alone, so that their
  // lines stay as they have always been; later rows share the layout.
  int width = 0;
  for (size_t ri = 0; ri < SETTINGS_COUNT; ++ri) {
      const SettingRow& row = SETTINGS[ri];
    if (!(row.flags & SETTING_ORIGINAL)) continue;
    int len = static_cast<int>(std::strlen(row.short_name) + 2 + std::strlen(row.long_name));
    if (len > width) width = len;
  }
  char format[32];
  std::snprintf(format, sizeof format, "  %%-%ds    %%s\n", width);
  std::printf("usage: %s [arguments]\n", program);
  std::printf("available arguments:\n");
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t ri = 0; ri < SETTINGS_COUNT; ++ri) {
      const SettingRow& row = SETTINGS[ri];
      if (((row.flags & SETTING_ORIGINAL) != 0) != (pass == 0)) continue;
      char names[64];
      if (row.short_name[0]) std::snprintf(names, sizeof names, "%s, %s", row.short_name, row.long_name);
      else std::snprintf(names, sizeof names, "    %s", row.long_name);
      std::printf(format, names, row.help);
    }
  }
  std::printf("Defaults, allowed values and configuration keys: man timbral (doc/timbral.1)\n");
  return STATUS_HELP_SHOWN;
}

int print_version() {
  std::printf("timbral %s\n", TIMBRAL_VERSION);
  return STATUS_HELP_SHOWN;
}

namespace {

// Collected options: long name -> value argument (pointing into argv).
// Masters after the first (several references) are kept apart.
struct Collected {
  HashMap options;
  PtrList children;
  PtrList repeated;  // pairs of (const SettingRow*, value) of SETTING_NAMES options
  PtrList masters;

  Collected() {
    hashmap_init_cstr(&options);
    ptrlist_init(&children);
    ptrlist_init(&repeated);
    ptrlist_init(&masters);
  }
  ~Collected() {
    hashmap_clear(&options);
    ptrlist_release(&children);
    ptrlist_release(&repeated);
    ptrlist_release(&masters);
  }
  const char* get(const char* name) const {
    return static_cast<const char*>(hashmap_get(&options, name, nullptr));
  }
};

// "  -k needs a value: true or false" after "Not defined value for option".
void explain_missing(const SettingRow* row, const char* typed) {
  char allowed[160];
  setting_describe_values(row, allowed, sizeof allowed);
  if (allowed[0]) std::fprintf(stderr, "  %s needs a value: %s\n", typed, allowed);
}

int collect(Collected* c, int argc, char** argv) {
  int j = 1;
  while (j < argc) {
    const char* arg = argv[j];
    const char* typed = arg;
    const SettingRow* row = setting_by_option(arg);
    // "--name=value" gives a long option its value in the same argument.
    const char* attached = nullptr;
    if (!row && std::strncmp(arg, "--", 2) == 0 && std::strchr(arg, '=')) {
      const char* equals = std::strchr(arg, '=');
      char name[64];
      const size_t length = static_cast<size_t>(equals - arg);
      if (length < sizeof name) {
        std::memcpy(name, arg, length);
        name[length] = 0;
        const SettingRow* named = setting_by_option(name);
        if (named && std::strcmp(named->long_name, name) == 0 && named->kind != SETTING_ACTION) {
          row = named;
          attached = equals + 1;
        }
      }
    }
    if (row) arg = row->long_name;
    if (std::strcmp(arg, "--help") == 0) return print_help(argv[0]);
    if (std::strcmp(arg, "--version") == 0) return print_version();
    if (std::strncmp(arg, "--", 2) != 0) {
      std::fprintf(stderr, "Invalid argument: %s\n", arg);
      return STATUS_BAD_ARGUMENT;
    }
    // The value: attached after '=', or the next argument.
    const char* value = attached ? attached : (j + 1 < argc ? argv[j + 1] : nullptr);
    const int step = attached ? 1 : 2;
    if (std::strcmp(arg, "--child") == 0) {
      if (!value) {
        std::fprintf(stderr, "Not defined value for option: %s\n", arg);
        return STATUS_BAD_ARGUMENT;
      }
      if (!ptrlist_push(&c->children, const_cast<char*>(value))) {
        std::fprintf(stderr, "Not enough memory\n");
        return STATUS_NO_MEMORY;
      }
      j += step;
      continue;
    }
    if (!row) {
      std::fprintf(stderr, "Invalid option: %s\n", arg);
      return STATUS_BAD_ARGUMENT;
    }
    if (row->kind == SETTING_NAMES) {
      if (!value) {
        std::fprintf(stderr, "Not defined value for option: %s\n", arg);
        return STATUS_BAD_ARGUMENT;
      }
      if (!ptrlist_push(&c->repeated, const_cast<SettingRow*>(row)) || !ptrlist_push(&c->repeated, const_cast<char*>(value))) {
        std::fprintf(stderr, "Not enough memory\n");
        return STATUS_NO_MEMORY;
      }
      j += step;
      continue;
    }
    if (!value) {
      std::fprintf(stderr, "Not defined value for option: %s\n", arg);
      if (row->kind == SETTING_BOOLEAN) explain_missing(row, typed);
      return STATUS_BAD_ARGUMENT;
    }
    if (std::strcmp(arg, "--master") == 0 && hashmap_find(&c->options, arg)) {
      if (!ptrlist_push(&c->masters, argv[j + 1])) {
        std::fprintf(stderr, "Not enough memory\n");
        return STATUS_NO_MEMORY;
      }
      j += 2;
      continue;
    }
    if (hashmap_find(&c->options, arg)) {
      std::fprintf(stderr, "Duplicate option: %s\n", arg);
      return STATUS_BAD_ARGUMENT;
    }
    if (!hashmap_add(&c->options, arg, const_cast<char*>(value))) {
      std::fprintf(stderr, "Not enough memory\n");
      return STATUS_NO_MEMORY;
    }
    j += step;
  }
  return 0;
}

// Creates or joins the command-line group and gives it the master, the
// children and the "audio only" produce set.
int setup_command_line_group(ToolConfig* cfg, const Collected& c) {
  const char* group_arg = c.get("--group");
  String name, text;
  string_init(&name);
  string_init(&text);
  int st = 0;
  Group* group = nullptr;
  if (!text_from_utf8(&name, group_arg ? group_arg : "default")) {
    st = STATUS_NO_MEMORY;
  } else {
    st = group_create(cfg, &name, &group);
    if (st == STATUS_EXISTS) st = 0;
  }
  // Without a master the group is matched to the target curve alone.
  if (st == 0 && c.get("--master")) {
    st = name_from_bytes(&text, c.get("--master")) ? group_set_master(group, &text) : STATUS_NO_MEMORY;
  }
  for (uint64_t i = 0; st == 0 && i < c.masters.count; ++i) {
    const char* reference = static_cast<const char*>(c.masters.items[i]);
    st = name_from_bytes(&text, reference) ? group_add_reference(group, &text) : STATUS_NO_MEMORY;
  }
  for (uint64_t i = 0; st == 0 && i < c.children.count; ++i) {
    const char* child = static_cast<const char*>(c.children.items[i]);
    st = name_from_bytes(&text, child) ? group_add_file(group, &text) : STATUS_NO_MEMORY;
  }
  string_free(&name);
  string_free(&text);
  if (st != 0) {
    std::fprintf(stderr, "Not enough memory\n");
    return STATUS_NO_MEMORY;
  }
  cfg->produce = PRODUCE_AUDIO;
  return 0;
}

int set_text_option(String* target, const char* value) {
  String s;
  string_init(&s);
  if (!name_from_bytes(&s, value)) {
    std::fprintf(stderr, "Not enough memory\n");
    return STATUS_NO_MEMORY;
  }
  string_swap(&s, target);
  string_free(&s);
  return 0;
}

// Applies one value option of the table to the configuration.
int apply_value(ToolConfig* cfg, const SettingRow* row, const char* v, bool group_mode) {
  switch (row->kind) {
    case SETTING_TEXT:
      return set_text_option(setting_field<String>(cfg, row), v);
    case SETTING_TEMPLATE: {
      int st = set_text_option(setting_field<String>(cfg, row), v);
      if (st == 0 && group_mode) cfg->produce |= row->produce_bit;
      return st;
    }
    case SETTING_FLOAT: {
      float f = 0.0f;
      int st = parse_float_option(v, row->label, &f);
      if (st != 0) return st;
      if (((row->flags & SETTING_FINITE) && !std::isfinite(f)) || !setting_in_range(row, f)) {
        return bad_value(row->label, STATUS_BAD_VALUE);
      }
      *setting_field<float>(cfg, row) = f;
      return 0;
    }
    case SETTING_INTEGER: {
      int64_t i = 0;
      int st = parse_integer_option(v, row->label, &i);
      if (st != 0) return st;
      if (!setting_in_range(row, static_cast<double>(i))) return bad_value(row->label, STATUS_BAD_VALUE);
      *setting_field<int64_t>(cfg, row) = i;
      return 0;
    }
    case SETTING_RATE:
      return parse_rate_option(v, cfg);
    case SETTING_BOOLEAN:
      return parse_boolean_option(v, row->label, setting_field<bool>(cfg, row));
    case SETTING_KEYWORD:
      return parse_keyword_option(v, row, setting_field<uint64_t>(cfg, row));
    case SETTING_PRODUCE:
      return parse_produce_option(v, setting_field<uint64_t>(cfg, row));
    case SETTING_LEVEL:
      return parse_level_option(v, row, setting_field<OptionalLevel>(cfg, row));
    default:
      return 0;
  }
}

// The line after "Bad '<label>' value": what was received and what the
// setting accepts, "  '16': loudness is -70..0 LUFS or off".
void explain_value(const SettingRow* row, const char* text) {
  char allowed[160];
  setting_describe_values(row, allowed, sizeof allowed);
  std::fprintf(stderr, "  '%s': %s is %s\n", text, row->label, allowed);
}

// Applies the value options in their order of application; `group_mode`
// is true when the command line defines a group (templates then also
// request outputs).
int apply_values(ToolConfig* cfg, const Collected& c, bool group_mode) {
  for (uint64_t i = 0; i + 1 < c.repeated.count; i += 2) {
    const SettingRow* row = static_cast<const SettingRow*>(c.repeated.items[i]);
    String text;
    string_init(&text);
    String* copy = text_from_utf8(&text, static_cast<const char*>(c.repeated.items[i + 1])) ? string_take(&text) : nullptr;
    string_free(&text);
    if (!copy || !ptrlist_push(setting_field<PtrList>(cfg, row), copy)) {
      string_delete(copy);
      std::fprintf(stderr, "Not enough memory\n");
      return STATUS_NO_MEMORY;
    }
  }
  unsigned last = 0;
  for (size_t ri = 0; ri < SETTINGS_COUNT; ++ri)
    if (SETTINGS[ri].apply_order > last) last = SETTINGS[ri].apply_order;
  for (unsigned order = 1; order <= last; ++order) {
    for (size_t ri = 0; ri < SETTINGS_COUNT; ++ri) {
      const SettingRow& row = SETTINGS[ri];
      if (row.apply_order != order) continue;
      const char* v = c.get(row.long_name);
      if (!v) continue;
      int st = apply_value(cfg, &row, v, group_mode);
      if (st != 0) {
        if ((st == STATUS_BAD_VALUE || st == STATUS_BAD_FORMAT) && row.kind != SETTING_PRODUCE) explain_value(&row, v);
        return st;
      }
      setting_mark_given(cfg, &row);
    }
  }
  return 0;
}

// Fills the settings that neither the command line nor the configuration
// file gave from the chosen preset.
int apply_preset(ToolConfig* cfg) {
  size_t count = 0;
  const PresetValue* values = preset_values(cfg->preset, &count);
  for (size_t i = 0; i < count; ++i) {
    const SettingRow* row = setting_by_option(values[i].option);
    if (!row || setting_given(cfg, row)) continue;
    bool yields = false;
    for (const char* other : values[i].unless)
      if (other && setting_given(cfg, setting_by_option(other))) yields = true;
    if (yields) continue;
    int st = apply_value(cfg, row, values[i].value, false);
    if (st != 0) return st;
  }
  return 0;
}

// Settings that cannot hold together, wherever each was set.
int check_combinations(const ToolConfig* cfg) {
  const char* first = nullptr;
  const char* second = nullptr;
  if (cfg->loudness.on && cfg->match_loudness) {
    first = "loudness";
    second = "match_loudness";
  } else if ((cfg->loudness.on || cfg->match_loudness) && cfg->normalize != NORMALIZE_NONE) {
    first = cfg->loudness.on ? "loudness" : "match_loudness";
    second = "normalize";
  }
  if (first) {
    std::fprintf(stderr, "Settings '%s' and '%s' cannot be combined\n", first, second);
    return STATUS_BAD_ARGUMENT;
  }
  if (cfg->srate_child && !cfg->mastering) {
    std::fprintf(stderr, "Settings 'srate' and 'mastering' cannot be combined\n"
                         "  'child' keeps every output at its child's rate, which only mastering (-m true) does\n");
    return STATUS_BAD_ARGUMENT;
  }
  const CurveConfig& curve = cfg->ir.curve;
  if (curve.low_freq > 0.0f && curve.high_freq > 0.0f && curve.low_freq >= curve.high_freq) {
    std::fprintf(stderr, "Bad 'low freq' value\n  '%g': the lowest corrected frequency must lie below the highest (%g Hz)\n",
                 static_cast<double>(curve.low_freq), static_cast<double>(curve.high_freq));
    return STATUS_BAD_VALUE;
  }
  return 0;
}

}  // namespace

int parse_command_line(ToolConfig* cfg, int argc, char** argv) {
  Collected c;
  int st = collect(&c, argc, argv);
  if (st != 0) return st;
  const char* preset = c.get("--preset");
  if (preset && strcasecmp(preset, "list") == 0) {
    print_presets();
    return STATUS_HELP_SHOWN;
  }
  const char* config = c.get("--config");
  const char* master = c.get("--master");
  if (config) {
    if ((st = set_text_option(&cfg->config_file, config))) return st;
    ConfigError error;
    st = load_config_file(cfg, config, &error);
    if (st != 0) {
      std::fprintf(stderr, "Error parsing configuration file: code=%d\n", st);
      if (error.line > 0) {
        std::fprintf(stderr, "  at line %lld, column %lld: %s\n", static_cast<long long>(error.line),
                     static_cast<long long>(error.column), error.text);
      } else if (error.text[0]) {
        std::fprintf(stderr, "  %s: %s\n", config, error.text);
      }
      return st;
    }
  }
  // Children and a target curve make a group without a master.
  const bool group_mode = master || (c.get("--target-curve") && c.children.count > 0);
  if (!config && !group_mode && !c.get("--merge-reports")) {
    std::fprintf(stderr, "Not defined configuration file name\n");
    return STATUS_BAD_ARGUMENT;
  }
  if (group_mode && (st = setup_command_line_group(cfg, c))) return st;
  st = apply_values(cfg, c, group_mode);
  if (st != 0) return st;
  if (cfg->preset == PRESET_LIST) {
    print_presets();
    return STATUS_HELP_SHOWN;
  }
  if ((st = apply_preset(cfg)) != 0) return st;
  st = check_combinations(cfg);
  if (st == 0 && (st = adopt_format_extension(cfg)) != 0) std::fprintf(stderr, "Not enough memory\n");
  return st;
}
