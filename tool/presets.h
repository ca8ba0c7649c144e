#pragma once

#include <cstddef>
#include <cstdint>

#include "tool/keywords.h"

// Presets: defaults for a kind of work, set as option values. A preset
// fills only the settings that neither the command line nor the
// configuration file gave, so anything given explicitly wins.

enum PresetKind : uint64_t {
  PRESET_NONE = 0,
  PRESET_MASTERING = 1,
  PRESET_PODCAST = 2,
  PRESET_SPEECH_MATCH = 3,
  PRESET_LIST = 4,  // prints the presets and ends the run (status 0)
};

// "none", "mastering", "podcast", "speech-match", "list".
extern const KeywordEntry PRESET_KEYWORDS[5];

// One value a preset sets: `value` for the option `option` (short form),
// unless one of the `unless` options (short forms, or null) was given
// explicitly, since the two could not be combined.
struct PresetValue {
  const char* option;
  const char* value;
  const char* unless[2];
};

// The values of `preset` in order of application; *count receives their
// number (0 for none and list).
const PresetValue* preset_values(uint64_t preset, size_t* count);

// Prints every preset with what it sets on standard output.
void print_presets();
