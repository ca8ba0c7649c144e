#include "tool/man_page.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tool/settings.h"

namespace {

std::string man_text() {
  char* buf = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&buf, &size);
  write_man_page(f);
  std::fclose(f);
  std::string text(buf, size);
  std::free(buf);
  return text;
}

// roff spelling of an option name.
std::string roff(const char* name) {
  std::string out;
  for (const char* p = name; *p; ++p) out += *p == '-' ? std::string("\\-") : std::string(1, *p);
  return out;
}

TEST(ManPage, EverySettingWithItsKeyAndDefault) {
  std::string text = man_text();
  for (size_t i = 0; i < SETTINGS_COUNT; ++i) {
    const SettingRow& row = SETTINGS[i];
    EXPECT_NE(text.find("\\fB" + roff(row.short_name) + "\\fR, \\fB" + roff(row.long_name) + "\\fR"),
              std::string::npos)
        << row.long_name;
    if (row.key) {
      std::string key = std::string(row.flags & SETTING_IN_IR ? "ir." : "") + row.key;
      EXPECT_NE(text.find("Configuration key: \\fB" + key + "\\fR"), std::string::npos) << key;
    }
  }
  EXPECT_NE(text.find(".SH EXIT STATUS"), std::string::npos);
  EXPECT_NE(text.find(".SH TEMPLATES"), std::string::npos);
}

// The page in the source tree is the one the build writes from the table.
TEST(ManPage, CommittedPageMatchesTheTable) {
  const char* src = std::getenv("TIMBRAL_SOURCE_DIR");
  ASSERT_NE(src, nullptr);
  std::ifstream in(std::string(src) + "/doc/timbral.1", std::ios::binary);
  ASSERT_TRUE(in.good());
  std::stringstream committed;
  committed << in.rdbuf();
  EXPECT_EQ(committed.str(), man_text()) << "regenerate doc/timbral.1 with build/.../timbral_gen_man";
}

}  // namespace
