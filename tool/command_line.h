#pragma once

#include <cstdint>

struct ToolConfig;

// Fills `cfg` from the arguments: collects every option, loads the
// configuration file when one is named, sets up the command-line group when
// --master is given, then applies the value options over the file's
// settings. Returns 0, 39 when the help was printed, or the status of the
// first error (13 usage, 28 bad value, 7 bad keyword, 5 memory, or the
// configuration file's status), after printing its message on standard
// error. A failure may leave `cfg` partly updated.
[[nodiscard]] int parse_command_line(ToolConfig* cfg, int argc, char** argv);

// Prints the help on standard output and returns 39: the original options
// as they have always read, then the options added since, then where the
// manual is.
int print_help(const char* program);

// Prints "timbral <version>" on standard output and returns 39.
int print_version();

// Value parsers of the settings' codecs (tool/setting_codecs.cpp): each
// reads its text with the expression tokenizer and stores into `out` only
// on success. `label` names the option in messages.
[[nodiscard]] int parse_float_option(const char* text, const char* label, float* out);
[[nodiscard]] int parse_integer_option(const char* text, const char* label, int64_t* out);
[[nodiscard]] int parse_boolean_option(const char* text, const char* label, bool* out);
[[nodiscard]] int parse_normalize_option(const char* text, uint64_t* out);
[[nodiscard]] int parse_produce_option(const char* text, uint64_t* out);
