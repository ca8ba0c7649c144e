#include "tool/keywords.h"

#include <gtest/gtest.h>

#include <cstring>

#include "report/run_report.h"
#include "tool/output_kinds.h"
#include "tool/settings.h"

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
  bool ok = string_from_utf8(&s, word, std::strlen(word)) && keyword_find(NORMALIZE_KEYWORDS, 4, &s, mode);
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

// The table of output kinds agrees with every reader of it: each kind has
// one row; a produce keyword gives the row's bit; the report lists a kind
// under its keyword; a row's template is the settings row of that field,
// asking for the same output in group mode; the master's row comes first.
TEST(OutputKinds, EveryRowAgreesWithParsersSettingsAndReport) {
  uint64_t bits = 0;
  for (uint32_t kind = OUTPUT_FR_MASTER; kind <= OUTPUT_RECORD; ++kind) {
    int rows = 0;
    for (size_t k = 0; k < OUTPUT_KIND_COUNT; ++k) rows += OUTPUT_KINDS[k].kind == kind;
    EXPECT_EQ(rows, 1) << kind;
    EXPECT_EQ(output_kind_row(static_cast<OutputKind>(kind)).kind, kind);
  }
  EXPECT_EQ(OUTPUT_KINDS[0].owner, OUTPUT_OF_MASTER);
  for (size_t k = 0; k < OUTPUT_KIND_COUNT; ++k) {
    const OutputKindRow& row = OUTPUT_KINDS[k];
    SCOPED_TRACE(row.keyword);
    if (row.produce) {
      uint64_t found = 0;
      EXPECT_TRUE(produce(row.keyword, &found));
      EXPECT_EQ(found, row.produce);
      EXPECT_EQ(bits & row.produce, 0u);
      bits |= row.produce;
    }
    if (row.report_kind >= 0) {
      EXPECT_STREQ(report_file_kind_name(static_cast<ReportFileKind>(row.report_kind)), row.keyword);
    }
    EXPECT_EQ(row.owner == OUTPUT_OF_RUN, row.templ == SIZE_MAX);
    if (row.templ == SIZE_MAX) continue;
    const SettingRow* setting = nullptr;
    for (size_t i = 0; i < SETTINGS_COUNT; ++i)
      if (SETTINGS[i].offset == row.templ) setting = &SETTINGS[i];
    ASSERT_NE(setting, nullptr);
    EXPECT_EQ(setting->kind, SETTING_TEMPLATE);
  }
  uint64_t all = 0;
  EXPECT_TRUE(produce("all", &all));
  EXPECT_EQ(all, bits);
}

}  // namespace
