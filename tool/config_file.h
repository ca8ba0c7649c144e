#pragma once

#include "tool/tool_config.h"

class CharReader;

// Where and why a configuration file could not be used: a 1-based line and
// column (0 when unknown) and a short text in English, empty when the
// load succeeded or the cause is unknown.
struct ConfigError {
  int64_t line;
  int64_t column;
  char text[256];
};

// Loads the configuration file `path_utf8` (a UTF-8 byte string, used as
// given) into `cfg`. The file's bytes are decoded from the locale's
// character set and read as one document with the JSON5 extensions.
// Returns 0; the status of opening the file or of setting up the marking
// input; 7 for any error in the document (whatever the underlying cause:
// syntax, a value of the wrong kind, a duplicate, memory); or the status of
// closing the inputs when all else succeeded. Settings stored before a
// failure stay in `cfg`.
[[nodiscard]] int load_config_file(ToolConfig* cfg, const char* path_utf8);
// The same, telling where and why the file could not be used in `*error`.
[[nodiscard]] int load_config_file(ToolConfig* cfg, const char* path_utf8, ConfigError* error);

// Maps one configuration document read from `input` (borrowed; only its
// read_char is used) into `cfg`. Returns the mapping's own code: 0; 33 a
// value of the wrong kind; 7 a structure not as required, a duplicate group,
// "master" or "files", an unknown normalize mode; 5 memory; or the document
// reader's status (55, 34, 15, 25, 7, the input's). load_config_file turns
// every non-zero code into 7.
[[nodiscard]] int config_map_document(ToolConfig* cfg, CharReader* input);
[[nodiscard]] int config_map_document(ToolConfig* cfg, CharReader* input, ConfigError* error);
