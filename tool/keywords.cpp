#include "tool/keywords.h"

#include <cstddef>

#include "tool/tool_config.h"

const KeywordEntry PRODUCE_KEYWORDS[6] = {
    {"ir", PRODUCE_IR},   {"raw", PRODUCE_RAW}, {"audio", PRODUCE_AUDIO},
    {"all", PRODUCE_ALL}, {"frm", PRODUCE_FRM}, {"frc", PRODUCE_FRC},
};

const KeywordEntry NORMALIZE_KEYWORDS[4] = {
    {"none", NORMALIZE_NONE},
    {"above", NORMALIZE_ABOVE},
    {"below", NORMALIZE_BELOW},
    {"always", NORMALIZE_ALWAYS},
};

namespace {

template <std::size_t N>
bool find(const KeywordEntry (&table)[N], const String* word, uint64_t* value) {
  for (const KeywordEntry& e : table) {
    if (string_compare_cstr_nocase(word, e.word) == 0) {
      *value = e.value;
      return true;
    }
  }
  return false;
}

}  // namespace

bool produce_keyword_find(const String* word, uint64_t* bits) {
  return find(PRODUCE_KEYWORDS, word, bits);
}

bool normalize_keyword_find(const String* word, uint64_t* mode) {
  return find(NORMALIZE_KEYWORDS, word, mode);
}
