#pragma once

#include <cstdint>

#include "runtime/string.h"

// The keyword tables shared by the command line and the configuration
// file. Words match without regard to case (towlower of the current
// LC_CTYPE on both sides).

struct KeywordEntry {
  const char* word;
  uint64_t value;
};

// "ir" 1, "raw" 2, "audio" 4, "all" 31, "frm" 8, "frc" 16, in this order;
// made from the table of output kinds (tool/output_kinds.cpp).
extern const KeywordEntry PRODUCE_KEYWORDS[6];
// "none" 0, "above" 1, "below" 2, "always" 3.
extern const KeywordEntry NORMALIZE_KEYWORDS[4];

// True with *value set when `word` is one of the `count` words of `table`;
// false (value untouched) otherwise.
bool keyword_find(const KeywordEntry* table, uint32_t count, const String* word, uint64_t* value);

// True with *bits set when `word` is a produce keyword; false (bits
// untouched) otherwise.
bool produce_keyword_find(const String* word, uint64_t* bits);
