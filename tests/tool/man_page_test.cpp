#include "tool/man_page.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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
    const std::string names = row.short_name[0] ? roff(row.short_name) + "\\fR, \\fB" + roff(row.long_name)
                                                : roff(row.long_name);
    EXPECT_NE(text.find(".TP\n\\fB" + names + "\\fR"), std::string::npos)
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

// The README's option table and the settings table agree: the same
// options, and where the README gives a range "a..b" or a default, the
// row's. (The README's wording of a default may add a word: "0 (off)".)
TEST(ManPage, ReadmeOptionTableMatchesTheTable) {
  const char* src = std::getenv("TIMBRAL_SOURCE_DIR");
  ASSERT_NE(src, nullptr);
  std::ifstream in(std::string(src) + "/README.md", std::ios::binary);
  ASSERT_TRUE(in.good());
  struct Line {
    std::string value, fallback;
  };
  std::map<std::string, Line> readme;  // "-x --long" -> value and default cells
  for (std::string line; std::getline(in, line);) {
    // A row of an option without a short form starts with an empty cell.
    if (line.rfind("| `-", 0) != 0 && line.rfind("| | `--", 0) != 0) continue;
    std::vector<std::string> cells;
    for (size_t at = 1; at < line.size();) {
      size_t end = line.find(" |", at);
      if (end == std::string::npos) break;
      std::string cell = line.substr(at, end - at);
      while (!cell.empty() && cell.front() == ' ') cell.erase(0, 1);
      cells.push_back(cell);
      at = end + 2;
    }
    if (cells.size() < 4) continue;
    auto bare = [](std::string c) {
      c.erase(std::remove(c.begin(), c.end(), '`'), c.end());
      return c;
    };
    readme[bare(cells[0]) + " " + bare(cells[1])] = Line{cells[2], bare(cells[3])};
  }
  std::set<std::string> seen;
  for (size_t i = 0; i < SETTINGS_COUNT; ++i) {
    const SettingRow& row = SETTINGS[i];
    const std::string name = std::string(row.short_name) + " " + row.long_name;
    seen.insert(name);
    auto it = readme.find(name);
    if (it == readme.end()) {
      ADD_FAILURE() << name << " is not in the README's option table";
      continue;
    }
    if (row.default_text && *row.default_text && !it->second.fallback.empty()) {
      EXPECT_EQ(it->second.fallback.rfind(row.default_text, 0), 0u)
          << name << ": README default '" << it->second.fallback << "', table '" << row.default_text << "'";
    }
    const std::string& value = it->second.value;
    const size_t dots = value.find("..");
    if (dots != std::string::npos && row.min <= row.max) {
      size_t from = value.find_last_of(" ", dots);
      from = from == std::string::npos ? 0 : from + 1;
      const double low = std::strtod(value.c_str() + from, nullptr);
      const double high = std::strtod(value.c_str() + dots + 2, nullptr);
      EXPECT_EQ(low, row.min) << name << ": README range '" << value << "'";
      EXPECT_EQ(high, row.max) << name << ": README range '" << value << "'";
    }
  }
  for (const auto& [name, line] : readme) EXPECT_TRUE(seen.count(name)) << name << " is in the README only";
}

}  // namespace
