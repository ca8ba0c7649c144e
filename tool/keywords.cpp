#include "tool/keywords.h"

#include <cstddef>

#include "tool/tool_config.h"

const KeywordEntry NORMALIZE_KEYWORDS[4] = {
    {"none", NORMALIZE_NONE},
    {"above", NORMALIZE_ABOVE},
    {"below", NORMALIZE_BELOW},
    {"always", NORMALIZE_ALWAYS},
};

bool keyword_find(const KeywordEntry* table, uint32_t count, const String* word, uint64_t* value) {
  for (uint32_t i = 0; i < count; ++i) {
    if (string_compare_cstr_nocase(word, table[i].word) == 0) {
      *value = table[i].value;
      return true;
    }
  }
  return false;
}

bool produce_keyword_find(const String* word, uint64_t* bits) {
  return keyword_find(PRODUCE_KEYWORDS, 6, word, bits);
}
