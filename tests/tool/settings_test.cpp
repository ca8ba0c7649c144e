#include "tool/settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "report/run_report.h"
#include "runtime/char_reader.h"
#include "tool/config_file.h"
#include "tool/report_fill.h"
#include "tool/tool_config.h"

namespace {

// The report's entry of `key` for `cfg`, as text ("?" when absent).
std::string reported(const ToolConfig* cfg, const std::string& key) {
  RunReport r;
  report_init(&r);
  report_fill_run(&r, cfg, 0, nullptr);
  std::string out = "?";
  for (uint64_t i = 0; i < r.settings.count; ++i) {
    const ReportSetting* s = static_cast<const ReportSetting*>(r.settings.data) + i;
    if (key != s->key) continue;
    char number[32];
    std::snprintf(number, sizeof number, "%.9g", s->number);
    out = s->type == REPORT_VALUE_NULL     ? "null"
          : s->type == REPORT_VALUE_NUMBER ? number
          : s->type == REPORT_VALUE_BOOL   ? (s->flag ? "true" : "false")
          : s->type == REPORT_VALUE_TEXT   ? std::string(s->text).insert(0, "text ")
                                           : "list";
    for (uint64_t k = 0; k < s->item_count; ++k) out += std::string(" ") + s->items[k];
  }
  report_release(&r);
  return out;
}

std::string key_of(const SettingRow* row) { return std::string(row->flags & SETTING_IN_IR ? "ir." : "") + row->key; }

struct Config {
  ToolConfig cfg;
  Config() { EXPECT_EQ(toolconfig_init(&cfg), 0); }
  ~Config() { toolconfig_release(&cfg); }
};

// The help order is a permutation that puts the original options first;
// the table's own order is that of application.
TEST(Settings, HelpOrderKeepsTheOriginalOptionsFirst) {
  std::set<size_t> places;
  for (size_t i = 0; i < SETTINGS_COUNT; ++i) {
    const SettingRow& row = SETTINGS[i];
    EXPECT_TRUE(places.insert(row.help_order).second) << row.long_name;
    EXPECT_EQ(row.help_order < 26, (row.flags & SETTING_ORIGINAL) != 0) << row.long_name;
    EXPECT_EQ(setting_in_help_order(row.help_order), &row);
  }
  EXPECT_EQ(*places.rbegin(), SETTINGS_COUNT - 1);
  // A template requests its output before -p replaces the set, and the
  // frequency responses after it.
  auto at = [](const char* name) { return setting_by_option(name) - SETTINGS; };
  EXPECT_LT(at("-ir"), at("-p"));
  EXPECT_GT(at("-frm"), at("-p"));
}

// Each row's default in words, given as its value, leaves the setting as
// the typed default made it (a default told in words because it depends on
// other settings, such as the dither's, is reported as "default").
TEST(Settings, TypedDefaultsAgreeWithTheirText) {
  Config defaults;
  for (size_t i = 0; i < SETTINGS_COUNT; ++i) {
    const SettingRow* row = &SETTINGS[i];
    if (!row->key || !row->default_text[0]) continue;
    const std::string before = reported(&defaults.cfg, key_of(row));
    if (before == "text default") continue;
    std::string word = row->default_text;
    word = word.substr(0, word.find(" ("));
    Config given;
    ASSERT_EQ(setting_codec(row)->from_argument(&given.cfg, row, word.c_str(), false), 0) << row->long_name;
    EXPECT_EQ(reported(&given.cfg, key_of(row)), before) << row->long_name << " '" << word << "'";
  }
}

// The same value given on the command line and in the configuration file
// is taken alike, or refused by both.
TEST(Settings, CommandLineAndFileAgree) {
  struct Case {
    const char* option;
    const char* argument;
    const char* json;
    bool taken;
  };
  const Case cases[] = {
      {"-dg", "-6", "-6", true},
      {"-dg", "-1e39", "-1e39", true},  // a silent dry signal
      {"-dg", "1e39", "1e39", false},
      {"-ng", "1e39", "1e39", false},
      {"-ifi", "-1e39", "-1e39", false},
      {"-tla", "0.4999999999", "0.4999999999", false},
      {"-tla", "10", "10", true},
      {"-tlr", "0", "0", true},
      {"-lu", "-70.0000001", "-70.0000001", false},
      {"-lu", "-16", "-16", true},
      {"-lu", "OFF", "'OFF'", true},
      {"-gt", "0", "0", true},
      {"-mb", "0", "0", true},
      {"-b", "16", "16", true},
      {"-b", "24", "'24'", true},
      {"-b", "12", "12", false},
      {"-sr", "Source", "'Source'", true},
      {"-sr", "0x5622", "0x5622", true},
      {"-sr", "999", "999", false},
      {"-sr", "44100.0", "44100.0", false},
      {"-fr", "12.5", "12.5", false},
      {"-j", "99999999999999999999", "99999999999999999999", false},
      {"-br", "5", "5", false},
      {"-n", "ABOVE", "'ABOVE'", true},
      {"-m", "1", "1", true},
      {"-m", "0.4", "0.4", true},
      {"-ph", "Minimum", "'Minimum'", true},
      {"-ps", "speech-match", "'speech-match'", true},
      {"-p", "ir,frm", "['ir', 'frm']", true},
      {"-sm", "1/3", "'1/3'", false},
  };
  for (const Case& c : cases) {
    const SettingRow* row = setting_by_option(c.option);
    ASSERT_NE(row, nullptr) << c.option;
    Config line, file;
    ::testing::internal::CaptureStderr();
    const int line_st = setting_codec(row)->from_argument(&line.cfg, row, c.argument, false);
    const std::string text = row->flags & SETTING_IN_IR ? std::string("{ir: {") + row->key + ": " + c.json + "}}"
                                                        : std::string("{") + row->key + ": " + c.json + "}";
    StringReader reader;
    ASSERT_EQ(reader.set_text(text.data(), text.size()), 0);
    const int file_st = config_map_document(&file.cfg, &reader);
    (void)reader.close();
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(line_st == 0, c.taken) << c.option << " " << c.argument;
    EXPECT_EQ(file_st == 0, c.taken) << text;
    if (c.taken) {
      EXPECT_EQ(reported(&line.cfg, key_of(row)), reported(&file.cfg, key_of(row))) << text;
    }
  }
}

}  // namespace
