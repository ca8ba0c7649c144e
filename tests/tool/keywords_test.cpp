#include "tool/keywords.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

bool produce(const char* word, uint64_t* bits) {
  String s;
  string_init(&s);
  bool ok = string_from_utf8(&s, word, std::strlen(word)) && produce_keyword_find(&s, bits);
  string_free(&s);
  return ok;
}

bool normalize(const char* word, uint64_t* mode) {
  String s;
  string_init(&s);
  bool ok = string_from_utf8(&s, word, std::strlen(word)) && normalize_keyword_find(&s, mode);
  string_free(&s);
  return ok;
}

TEST(Keywords, ProduceWordsInAnyCase) {
  const struct {
    const char* word;
    uint64_t bits;
  } cases[] = {{"ir", 1}, {"RAW", 2}, {"Audio", 4}, {"frm", 8}, {"FrC", 16}, {"ALL", 31}};
  for (const auto& c : cases) {
    uint64_t bits = 99;
    EXPECT_TRUE(produce(c.word, &bits)) << c.word;
    EXPECT_EQ(bits, c.bits) << c.word;
  }
  uint64_t bits = 99;
  for (const char* bad : {"", "i", "irr", "audio ", "none"}) EXPECT_FALSE(produce(bad, &bits)) << bad;
  EXPECT_EQ(bits, 99u);
}

TEST(Keywords, NormalizeWordsInAnyCase) {
  const struct {
    const char* word;
    uint64_t mode;
  } cases[] = {{"none", 0}, {"Above", 1}, {"BELOW", 2}, {"always", 3}};
  for (const auto& c : cases) {
    uint64_t mode = 99;
    EXPECT_TRUE(normalize(c.word, &mode)) << c.word;
    EXPECT_EQ(mode, c.mode) << c.word;
  }
  uint64_t mode = 99;
  for (const char* bad : {"", "1", "abov", "all"}) EXPECT_FALSE(normalize(bad, &mode)) << bad;
  EXPECT_EQ(mode, 99u);
}

}  // namespace
