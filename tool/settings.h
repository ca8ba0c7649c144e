#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

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
  SETTING_TEMPLATE,  // String; in command-line group mode the option also requests its output
  SETTING_FLOAT,     // float; the configuration file refuses NaN (and infinities, see flags)
  SETTING_INTEGER,   // int64_t
  SETTING_RATE,      // uint64_t Hz in [min, max], or the keyword "source" (ToolConfig::srate_source)
  SETTING_BOOLEAN,   // bool
  SETTING_KEYWORD,   // uint64_t, one of `keywords`
  SETTING_PRODUCE,   // uint64_t ProduceFlags from a list of keywords
  SETTING_LEVEL,     // OptionalLevel: a number in [min, max], or "off"
  SETTING_NAMES,     // PtrList of heap Strings; repeatable, command line only
  SETTING_LIMIT,     // a level kept as a float of the curve: kNoLimit when off
  SETTING_CHOICE,    // one of two keywords, kept as a bool (the second is true)
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
  uint8_t help_order;      // place of the row in the help, the manual and the report
  const char* label;       // name in "Bad '<label>' value"
  const char* value_name;  // what the value is, for the manual ("dB", "percent", "path")
  const char* default_text;  // the default in words, for the manual and the README
  double default_value;    // the typed default of a number, boolean, keyword, rate or
                           // produce set; kSettingOff for a level that is off (text
                           // kinds start as default_text)
  const KeywordEntry* keywords;  // SETTING_KEYWORD, SETTING_CHOICE, SETTING_PRODUCE
  uint32_t keyword_count;
  double min, max;         // accepted range of a number (inclusive); not checked when min > max
  size_t offset;           // offset of the field in ToolConfig; SIZE_MAX for none
  const char* help;        // the help line
};

// The typed default of a level that is off.
constexpr double kSettingOff = __builtin_nan("");

// The table's order is the order in which the command line applies its
// values (a template requests its output before -p replaces the set, and
// the later rows after); `help_order` keeps the order of the help.
extern const SettingRow SETTINGS[];
extern const size_t SETTINGS_COUNT;

// Keyword tables of the settings added to the original ones.
extern const KeywordEntry PHASE_KEYWORDS[2];
extern const KeywordEntry FORMAT_KEYWORDS[9];
extern const KeywordEntry BITS_KEYWORDS[4];
extern const KeywordEntry DITHER_KEYWORDS[2];
extern const KeywordEntry RESAMPLE_KEYWORDS[2];

// The row printed at place `i` (0-based) of the help.
const SettingRow* setting_in_help_order(size_t i);

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

// The keyword of `value` in the row's table, or null.
const char* setting_keyword_text(const SettingRow* row, uint64_t value);

struct DocumentReader;
struct DocumentEvent;
struct RunReport;

// The configuration reader at a setting's value (its property read): a
// codec reads the value's events and, on a mistake of the value, returns
// its status with the reason in `why` ("'srate' must be an integer ...").
struct SettingInput {
  DocumentReader* reader;
  DocumentEvent* event;
  char why[160];
};

// What one kind of value does, so that every consumer of the table reads
// one rule per kind. A null member: the kind has no such step.
struct SettingCodec {
  // The field at its typed default; false when memory ran out (the field
  // is then valid and empty).
  bool (*set_default)(ToolConfig* cfg, const SettingRow* row);
  // A command-line argument into the field: 0, or a status after "Bad
  // '<label>' value" (and what else the value needs said). `group_mode`:
  // the command line defines its group, so a template requests its output.
  int (*from_argument)(ToolConfig* cfg, const SettingRow* row, const char* text, bool group_mode);
  // A configuration-file value into the field.
  int (*from_document)(ToolConfig* cfg, const SettingRow* row, SettingInput* in);
  // The field into the report's settings under `key`.
  void (*to_report)(RunReport* r, const char* key, const ToolConfig* cfg, const SettingRow* row);
  // What the row accepts, in words ("true or false", "-70..0 LUFS or off"),
  // after a bad value or a missing one.
  void (*describe)(const SettingRow* row, char* out, size_t size);
  // The same as a sentence of the manual, in roff.
  void (*manual)(FILE* out, const SettingRow* row);
  // Adds the field to the hash of the settings recorded beside an output
  // (FNV-1a over `settings_hash_bytes`); null for the kinds that never
  // change an output's bytes.
  void (*hash)(uint64_t* h, const ToolConfig* cfg, const SettingRow* row);
};

// The codec of the row's kind.
const SettingCodec* setting_codec(const SettingRow* row);

// FNV-1a, 64 bits, over `size` bytes.
void settings_hash_bytes(uint64_t* h, const void* data, size_t size);

// Writes `text` with the characters roff would take as requests or
// escapes made literal.
void roff_text(FILE* out, const char* text);

// The version of the program, "0.2.0".
extern const char* const TIMBRAL_VERSION;
