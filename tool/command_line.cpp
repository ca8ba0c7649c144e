#include "tool/command_line.h"

#include <cstdio>
#include <cstring>

#include "expr/tokenizer.h"
#include "runtime/char_reader.h"
#include "runtime/hash_map.h"
#include "runtime/ptrlist.h"
#include "runtime/status.h"
#include "runtime/string.h"
#include "tool/config_file.h"
#include "tool/keywords.h"
#include "tool/tool_config.h"

const OptionRow OPTION_TABLE[27] = {
    {"-c", "--config", "Configuration file name (required if no -mf option is set)"},
    {"-cf", "--child", "The name of the child file (multiple options allowed)"},
    {"-d", "--dst-path", "Destination path to store audio files"},
    {"-dg", "--dry", "The amount (in dB) of unprocessed signal in output file"},
    {"-f", "--file", "Format of the output file name"},
    {"-fr", "--fft-rank", "The FFT rank (resolution) used for profiling"},
    {"-frc", "--fr-child", "The name of the frequency response file for the child file"},
    {"-frm", "--fr-master", "The name of the frequency response file for the master file"},
    {"-g", "--group", "The group name for -cf (--child) option, \"default\" if not set"},
    {"-h", "--help", "Output this help message"},
    {"-ir", "--ir-file", "Format of the processed impulse response file name"},
    {"-iw", "--ir-raw", "Format of the raw impulse response file name"},
    {"-ifi", "--ir-fade-in", "The amount (in %) of fade-in for the IR file"},
    {"-ifo", "--ir-fade-out", "The amount (in %) of fade-out for the IR file"},
    {"-ihc", "--ir-head-cut", "The amount (in %) of head cut for the IR file"},
    {"-itc", "--ir-tail-cut", "The amount (in %) of tail cut for the IR file"},
    {"-lc", "--latency-compensation", "Enable or disable latency compensation of the processed audio"},
    {"-m", "--mastering", "Work as auto-mastering tool instead of timbral correction"},
    {"-mf", "--master", "The name of the master file"},
    {"-ml", "--match-length", "Match the length of the output file to the input file"},
    {"-n", "--normalize", "Set normalization mode"},
    {"-ng", "--norm-gain", "Set normalization peak gain (in dB)"},
    {"-p", "--produce", "Comma-separated list of produced output files (ir,frm,frc,raw,audio,all)"},
    {"-s", "--src-path", "Source path to take files from"},
    {"-sr", "--srate", "Sample rate of output files"},
    {"-wg", "--wet", "The amount (in dB) of processed signal in output file"},
    {nullptr, nullptr, nullptr},
};

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
  bool ok = false;
  {
    TokenSource src(&s);
    out->token = src.next(TOKEN_ADVANCE);
    if (out->token == TOKEN_INT) {
      out->int_value = src.tokenizer.number.int_value;
      ok = true;
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
  return ok ? 0 : bad_value(label, STATUS_BAD_VALUE);
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
  String s;
  string_init(&s);
  if (!text_from_utf8(&s, text)) {
    std::fprintf(stderr, "Out of memory\n");
    return STATUS_NO_MEMORY;
  }
  int st = 0;
  uint64_t mode = 0;
  {
    TokenSource src(&s);
    if (src.next(TOKEN_ADVANCE | TOKEN_NO_KEYWORDS) != TOKEN_IDENTIFIER ||
        !normalize_keyword_find(&src.tokenizer.text, &mode)) {
      st = bad_value("normalize", STATUS_BAD_FORMAT);
    } else if (src.next(TOKEN_ADVANCE) != TOKEN_END) {
      st = bad_value("normalize", STATUS_BAD_VALUE);
    }
  }
  string_free(&s);
  if (st == 0) *out = mode;
  return st;
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
  int width = 0;
  for (const OptionRow* row = OPTION_TABLE; row->long_name; ++row) {
    int len = static_cast<int>(std::strlen(row->short_name) + 2 + std::strlen(row->long_name));
    if (len > width) width = len;
  }
  char format[32];
  std::snprintf(format, sizeof format, "  %%-%ds    %%s\n", width);
  std::printf("usage: %s [arguments]\n", program);
  std::printf("available arguments:\n");
  for (const OptionRow* row = OPTION_TABLE; row->long_name; ++row) {
    char names[64];
    std::snprintf(names, sizeof names, "%s, %s", row->short_name, row->long_name);
    std::printf(format, names, row->description);
  }
  return STATUS_HELP_SHOWN;
}

namespace {

// Collected options: long name -> value argument (pointing into argv).
struct Collected {
  HashMap options;
  PtrList children;

  Collected() {
    hashmap_init_cstr(&options);
    ptrlist_init(&children);
  }
  ~Collected() {
    hashmap_clear(&options);
    ptrlist_release(&children);
  }
  const char* get(const char* name) const {
    return static_cast<const char*>(hashmap_get(&options, name, nullptr));
  }
};

bool is_known_long(const char* name) {
  for (const OptionRow* row = OPTION_TABLE; row->long_name; ++row) {
    if (std::strcmp(row->long_name, name) == 0) return true;
  }
  return false;
}

int collect(Collected* c, int argc, char** argv) {
  int j = 1;
  while (j < argc) {
    const char* arg = argv[j];
    for (const OptionRow* row = OPTION_TABLE; row->long_name; ++row) {
      if (std::strcmp(row->short_name, arg) == 0) {
        arg = row->long_name;
        break;
      }
    }
    if (std::strcmp(arg, "--help") == 0) return print_help(argv[0]);
    if (std::strncmp(arg, "--", 2) != 0) {
      std::fprintf(stderr, "Invalid argument: %s\n", arg);
      return STATUS_BAD_ARGUMENT;
    }
    if (std::strcmp(arg, "--child") == 0) {
      if (j + 1 >= argc) {
        std::fprintf(stderr, "Not defined value for option: %s\n", arg);
        return STATUS_BAD_ARGUMENT;
      }
      if (!ptrlist_push(&c->children, argv[j + 1])) {
        std::fprintf(stderr, "Not enough memory\n");
        return STATUS_NO_MEMORY;
      }
      j += 2;
      continue;
    }
    if (!is_known_long(arg)) {
      std::fprintf(stderr, "Invalid option: %s\n", arg);
      return STATUS_BAD_ARGUMENT;
    }
    if (j + 1 >= argc) {
      std::fprintf(stderr, "Not defined value for option: %s\n", arg);
      return STATUS_BAD_ARGUMENT;
    }
    if (hashmap_find(&c->options, arg)) {
      std::fprintf(stderr, "Duplicate option: %s\n", arg);
      return STATUS_BAD_ARGUMENT;
    }
    if (!hashmap_add(&c->options, arg, argv[j + 1])) {
      std::fprintf(stderr, "Not enough memory\n");
      return STATUS_NO_MEMORY;
    }
    j += 2;
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
  if (st == 0) {
    st = text_from_utf8(&text, c.get("--master")) ? group_set_master(group, &text) : STATUS_NO_MEMORY;
  }
  for (uint64_t i = 0; st == 0 && i < c.children.count; ++i) {
    const char* child = static_cast<const char*>(c.children.items[i]);
    st = text_from_utf8(&text, child) ? group_add_file(group, &text) : STATUS_NO_MEMORY;
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
  if (!text_from_utf8(&s, value)) {
    std::fprintf(stderr, "Not enough memory\n");
    return STATUS_NO_MEMORY;
  }
  string_swap(&s, target);
  string_free(&s);
  return 0;
}

// Applies the value options in their fixed order; `group_mode` is true when
// the command line defines a group (templates then also request outputs).
int apply_values(ToolConfig* cfg, const Collected& c, bool group_mode) {
  const char* v;
  int st = 0;
  if ((v = c.get("--file")) && (st = set_text_option(&cfg->file, v))) return st;
  if ((v = c.get("--ir-file"))) {
    if ((st = set_text_option(&cfg->ir.file, v))) return st;
    if (group_mode) cfg->produce |= PRODUCE_IR;
  }
  if ((v = c.get("--ir-raw"))) {
    if ((st = set_text_option(&cfg->ir.raw, v))) return st;
    if (group_mode) cfg->produce |= PRODUCE_RAW;
  }
  if ((v = c.get("--ir-fade-in")) && (st = parse_float_option(v, "IR fade in", &cfg->ir.trim.fade_in)))
    return st;
  if ((v = c.get("--ir-fade-out")) &&
      (st = parse_float_option(v, "IR fade out", &cfg->ir.trim.fade_out)))
    return st;
  if ((v = c.get("--ir-head-cut")) &&
      (st = parse_float_option(v, "IR head cut", &cfg->ir.trim.head_cut)))
    return st;
  if ((v = c.get("--ir-tail-cut")) &&
      (st = parse_float_option(v, "IR tail cut", &cfg->ir.trim.tail_cut)))
    return st;
  if ((v = c.get("--dst-path")) && (st = set_text_option(&cfg->dst_path, v))) return st;
  if ((v = c.get("--src-path")) && (st = set_text_option(&cfg->src_path, v))) return st;
  if ((v = c.get("--srate"))) {
    int64_t rate = 0;
    if ((st = parse_integer_option(v, "sample rate", &rate))) return st;
    cfg->srate = static_cast<uint64_t>(rate);
  }
  if ((v = c.get("--fft-rank")) && (st = parse_integer_option(v, "FFT rank", &cfg->fft_rank)))
    return st;
  if ((v = c.get("--dry")) && (st = parse_float_option(v, "dry", &cfg->dry))) return st;
  if ((v = c.get("--wet")) && (st = parse_float_option(v, "wet", &cfg->wet))) return st;
  if ((v = c.get("--mastering")) && (st = parse_boolean_option(v, "mastering", &cfg->mastering)))
    return st;
  if ((v = c.get("--norm-gain")) && (st = parse_float_option(v, "norm-gain", &cfg->norm_gain)))
    return st;
  if ((v = c.get("--normalize")) && (st = parse_normalize_option(v, &cfg->normalize))) return st;
  if ((v = c.get("--produce")) && (st = parse_produce_option(v, &cfg->produce))) return st;
  if ((v = c.get("--latency-compensation")) &&
      (st = parse_boolean_option(v, "latency compensation", &cfg->latency_compensation)))
    return st;
  if ((v = c.get("--match-length")) &&
      (st = parse_boolean_option(v, "match length", &cfg->match_length)))
    return st;
  if ((v = c.get("--fr-master"))) {
    if ((st = set_text_option(&cfg->ir.fr_master, v))) return st;
    if (group_mode) cfg->produce |= PRODUCE_FRM;
  }
  if ((v = c.get("--fr-child"))) {
    if ((st = set_text_option(&cfg->ir.fr_child, v))) return st;
    if (group_mode) cfg->produce |= PRODUCE_FRC;
  }
  return 0;
}

}  // namespace

int parse_command_line(ToolConfig* cfg, int argc, char** argv) {
  Collected c;
  int st = collect(&c, argc, argv);
  if (st != 0) return st;
  const char* config = c.get("--config");
  const char* master = c.get("--master");
  if (config) {
    st = load_config_file(cfg, config);
    if (st != 0) {
      std::fprintf(stderr, "Error parsing configuration file: code=%d\n", st);
      return st;
    }
  }
  if (!config && !master) {
    std::fprintf(stderr, "Not defined configuration file name\n");
    return STATUS_BAD_ARGUMENT;
  }
  if (master && (st = setup_command_line_group(cfg, c))) return st;
  return apply_values(cfg, c, master != nullptr);
}
