#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/string.h"
#include "tool/keywords.h"

struct ToolConfig;

// The table of settings: one row per setting of a run, read by the command
// line (collecting, applying and the help), by the configuration file (its
// keys and their conversions), by the manual page and by the tests. Adding a
// setting is one row here and a field in ToolConfig.

enum SettingKind : uint8_t {
  SETTING_ACTION,    // no value: prints something and ends the run (--help, --version)
  SETTING_CONFIG,    // the configuration file to load (command line only)
  SETTING_CHILD,     // a child of the command-line group; repeatable
  SETTING_GROUP,     // name or master of the command-line group (command line only)
  SETTING_TEXT,      // String, stored as given
  SETTING_TEMPLATE,  // String; in command-line group mode the option also requests `produce_bit`
  SETTING_FLOAT,     // float; the configuration file refuses NaN (and infinities, see flags)
  SETTING_INTEGER,   // int64_t
  SETTING_RATE,      // uint64_t Hz in [min, max], or the keyword "source" (ToolConfig::srate_source)
  SETTING_BOOLEAN,   // bool
  SETTING_KEYWORD,   // uint64_t, one of `keywords`
  SETTING_PRODUCE,   // uint64_t ProduceFlags from a list of keywords
  SETTING_LEVEL,     // OptionalLevel: a number in [min, max], or "off"
  SETTING_NAMES,     // PtrList of heap Strings; repeatable, command line only
};

enum SettingFlag : uint16_t {
  SETTING_IN_IR = 1,          // the configuration key lives in the "ir" object
  SETTING_ORIGINAL = 2,       // one of the original 26 options, printed first in the help
  SETTING_NEG_INFINITY = 4,   // the configuration file accepts -Infinity (a silent gain)
  SETTING_FINITE = 8,         // NaN and infinities are refused on the command line too
  SETTING_NUMERIC_WORDS = 16, // keywords that are numbers ("16") may be given as numbers
  SETTING_ZERO_OFF = 32,      // SETTING_LEVEL: the number 0 switches the setting off, as "off" does
  SETTING_ZERO_TOO = 64,      // 0 is accepted besides the range (a number meaning "automatic")
  SETTING_ZERO_WAS_OFF = 128, // a level whose 0 once meant "off": the configuration file warns about it
};

struct SettingRow {
  const char* short_name;  // "-sm"; "" for an option with no short form
  const char* long_name;   // "--smoothing"
  const char* key;         // configuration key, null when the setting is command line only
  SettingKind kind;
  uint16_t flags;          // SettingFlag bits
  uint8_t apply_order;     // order of application of command-line values; 0 for non-values
  uint64_t produce_bit;    // SETTING_TEMPLATE: the output the option requests in group mode
  const char* label;       // name in "Bad '<label>' value"
  const char* value_name;  // what the value is, for the manual ("dB", "percent", "path")
  const char* default_text;
  const KeywordEntry* keywords;  // SETTING_KEYWORD, SETTING_PRODUCE
  uint32_t keyword_count;
  double min, max;         // accepted range of a number (inclusive); not checked when min > max
  size_t offset;           // offset of the field in ToolConfig; SIZE_MAX for none
  const char* help;        // the help line
};

extern const SettingRow SETTINGS[];
extern const size_t SETTINGS_COUNT;

// Keyword tables of the settings added to the original ones.
extern const KeywordEntry PHASE_KEYWORDS[2];
extern const KeywordEntry FORMAT_KEYWORDS[9];
extern const KeywordEntry BITS_KEYWORDS[4];
extern const KeywordEntry DITHER_KEYWORDS[2];
extern const KeywordEntry RESAMPLE_KEYWORDS[2];

// The row whose short or long option name is `name`, or null.
const SettingRow* setting_by_option(const char* name);

// The row whose configuration key is `key` in the root object (in_ir false)
// or in the "ir" object (in_ir true), or null.
const SettingRow* setting_by_key(const String* key, bool in_ir);

// The field of `row` inside `cfg`. The caller knows the type from the kind.
template <typename T>
T* setting_field(ToolConfig* cfg, const SettingRow* row) {
  return reinterpret_cast<T*>(reinterpret_cast<char*>(cfg) + row->offset);
}
template <typename T>
const T* setting_field(const ToolConfig* cfg, const SettingRow* row) {
  return reinterpret_cast<const T*>(reinterpret_cast<const char*>(cfg) + row->offset);
}

// Whether the command line or the configuration file gave the row's
// value, and the record of it (setting a value through the table does it).
bool setting_given(const ToolConfig* cfg, const SettingRow* row);
void setting_mark_given(ToolConfig* cfg, const SettingRow* row);

// True when `value` lies in the row's accepted range (always when the row
// has none). NaN is never in range.
bool setting_in_range(const SettingRow* row, double value);

// What the row accepts, in words, into `out` (always terminated): "true or
// false", "-70..0 LUFS or off", "0..10 octaves", "one of wav, rf64, ...",
// "an integer 0..1024", "a number in dB", "a path". Empty for the rows
// that take no value.
void setting_describe_values(const SettingRow* row, char* out, size_t size);

// The keyword of `value` in the row's table, or null.
const char* setting_keyword_text(const SettingRow* row, uint64_t value);

// The version of the program, "0.2.0".
extern const char* const TIMBRAL_VERSION;
