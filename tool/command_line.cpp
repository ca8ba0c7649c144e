#include "tool/command_line.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "runtime/hash_map.h"
#include "runtime/ptrlist.h"
#include "runtime/status.h"
#include "runtime/string.h"
#include "tool/config_file.h"
#include "tool/delivery.h"
#include "tool/presets.h"
#include "tool/settings.h"
#include "tool/tool_config.h"

namespace {

bool text_from_utf8(String* out, const char* text) { return string_from_utf8(out, text, std::strlen(text)); }

// File names keep bytes that are not valid UTF-8, so that the file is
// opened by the very bytes given.
bool name_from_bytes(String* out, const char* text) { return string_from_name_bytes(out, text, std::strlen(text)); }

}  // namespace

int print_help(const char* program) {
  // The column width comes from the original rows alone, so that their
  // lines stay as they have always been; later rows share the layout. The
  // original rows come first in the help order.
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
  for (size_t i = 0; i < SETTINGS_COUNT; ++i) {
    const SettingRow& row = *setting_in_help_order(i);
    char names[64];
    if (row.short_name[0]) std::snprintf(names, sizeof names, "%s, %s", row.short_name, row.long_name);
    else std::snprintf(names, sizeof names, "    %s", row.long_name);
    std::printf(format, names, row.help);
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
  setting_codec(row)->describe(row, allowed, sizeof allowed);
  std::fprintf(stderr, "  %s needs a value: %s\n", typed, allowed);
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

// The line after "Bad '<label>' value": what was received and what the
// setting accepts, "  '16': loudness is -70..0 LUFS or off".
void explain_value(const SettingRow* row, const char* text) {
  char allowed[160];
  setting_codec(row)->describe(row, allowed, sizeof allowed);
  std::fprintf(stderr, "  '%s': %s is %s\n", text, row->label, allowed);
}

// Applies the value options in their order of application; `group_mode`
// is true when the command line defines a group (templates then also
// request outputs).
int apply_values(ToolConfig* cfg, const Collected& c, bool group_mode) {
  for (uint64_t i = 0; i + 1 < c.repeated.count; i += 2) {
    const SettingRow* row = static_cast<const SettingRow*>(c.repeated.items[i]);
    int st = setting_codec(row)->from_argument(cfg, row, static_cast<const char*>(c.repeated.items[i + 1]), group_mode);
    if (st != 0) return st;
  }
  for (size_t ri = 0; ri < SETTINGS_COUNT; ++ri) {
    const SettingRow& row = SETTINGS[ri];
    const SettingCodec* codec = setting_codec(&row);
    const char* v = c.get(row.long_name);
    if (!v || !codec->from_argument) continue;
    int st = codec->from_argument(cfg, &row, v, group_mode);
    if (st != 0) {
      if ((st == STATUS_BAD_VALUE || st == STATUS_BAD_FORMAT) && codec->describe) explain_value(&row, v);
      return st;
    }
    setting_mark_given(cfg, &row);
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
    int st = setting_codec(row)->from_argument(cfg, row, values[i].value, false);
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
  const CurveSettings& curve = cfg->ir.curve;
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
