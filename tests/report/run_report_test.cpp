#include "report/run_report.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "runtime/alloc.h"
#include "runtime/status.h"
#include "tests/report/sample_report.h"
#include "tests/support/alloc_fail.h"

namespace {

std::string relative(const char* from, const char* to) {
  char* out = nullptr;
  int status = report_relative_path(from, to, &out);
  std::string s = status == STATUS_OK ? out : "status " + std::to_string(status);
  mem_free(out);
  return s;
}

TEST(RunReport, RelativePaths) {
  EXPECT_EQ(relative("/out/report", "/out/kit/a.wav"), "../kit/a.wav");
  EXPECT_EQ(relative("/a/b", "/a/b/c.wav"), "c.wav");
  EXPECT_EQ(relative("/a/./b/", "/a/x/../b//c"), "c");
  EXPECT_EQ(relative("/", "/x"), "x");
  EXPECT_EQ(relative("/a/b/c", "/d"), "../../../d");
  EXPECT_EQ(relative("/a/b", "/a/b"), ".");
  EXPECT_EQ(relative("/a/bc", "/a/b/x"), "../b/x");  // a shared prefix is no shared component
  // Relative paths are taken against the working directory.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(relative("rep", (std::string(cwd) + "/x.wav").c_str()), "../x.wav");
  EXPECT_EQ(relative("out/report", "out/kit/a.wav"), "../kit/a.wav");
  char* out = nullptr;
  EXPECT_EQ(report_relative_path(nullptr, "/x", &out), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(out, nullptr);
}

TEST(RunReport, ExtremesComeFromTheAudibleRange) {
  ReportChild* c = nullptr;
  RunReport r;
  report_init(&r);
  ReportGroup* g = nullptr;
  ASSERT_EQ(report_add_group(&r, "g", &g), STATUS_OK);
  ASSERT_EQ(report_add_child(g, "c.wav", &c), STATUS_OK);
  // Two channels, 10 Hz bins: DC and 10 Hz hold the largest values but lie
  // below 20 Hz; the audible extremes are in the second channel.
  std::vector<double> db(2 * 100, 0.0);
  db[0] = 40, db[1] = -40;
  db[100 + 30] = 7.5;   // 300 Hz
  db[100 + 55] = -4;    // 550 Hz
  db[57] = NAN;
  ASSERT_EQ(report_child_set_applied(c, db.data(), 2, 100, 10), STATUS_OK);
  EXPECT_DOUBLE_EQ(c->max_boost_db, 7.5);
  EXPECT_DOUBLE_EQ(c->max_boost_hz, 300);
  EXPECT_DOUBLE_EQ(c->max_cut_db, -4);
  EXPECT_DOUBLE_EQ(c->max_cut_hz, 550);
  // Given extremes win over the curve's.
  report_child_set_extremes(c, 1, 2, -3, 4);
  ASSERT_EQ(report_child_set_applied(c, db.data(), 2, 100, 10), STATUS_OK);
  EXPECT_DOUBLE_EQ(c->max_boost_db, 1);
  EXPECT_DOUBLE_EQ(c->max_cut_hz, 4);
  report_child_set_latency(c, 480, 48000);
  EXPECT_DOUBLE_EQ(c->latency_ms, 10);
  report_child_set_latency(c, 480, 0);
  EXPECT_TRUE(std::isnan(c->latency_ms));
  report_release(&r);
  report_release(&r);
}

TEST(RunReport, AudioInfoAndPeaks) {
  ReportAudioInfo a{};
  ASSERT_EQ(report_set_audio(&a, "x.wav", 44100, 2, 88200, -3), STATUS_OK);
  EXPECT_DOUBLE_EQ(a.duration_s, 2.0);
  EXPECT_STREQ(a.path, "x.wav");
  // A null path keeps the one there.
  ASSERT_EQ(report_set_audio(&a, nullptr, 0, 2, 88200, -3), STATUS_OK);
  EXPECT_STREQ(a.path, "x.wav");
  EXPECT_TRUE(std::isnan(a.duration_s));
  mem_free(a.path);
  float samples[] = {0.25f, -0.5f, 0.125f};
  EXPECT_NEAR(report_peak_dbfs(samples, 3), -6.0206, 1e-4);
  float silence[] = {0, 0};
  EXPECT_EQ(report_peak_dbfs(silence, 2), -INFINITY);
  ReportSpectrum s{};
  float mags[] = {1.0f, 0.1f, 0.0f};
  ASSERT_EQ(report_set_spectrum_magnitude(&s, mags, 3, 10), STATUS_OK);
  EXPECT_DOUBLE_EQ(s.db[0], 0);
  EXPECT_NEAR(s.db[1], -20, 1e-5);
  EXPECT_EQ(s.db[2], -INFINITY);
  mem_free(s.db);
}

TEST(RunReport, SettingAddedTwiceKeepsItsPlaceAndTakesTheNewValue) {
  RunReport r;
  report_init(&r);
  ASSERT_EQ(report_add_setting_text(&r, "a", "first"), STATUS_OK);
  ASSERT_EQ(report_add_setting_number(&r, "b", 1), STATUS_OK);
  const char* items[] = {"x", "y"};
  ASSERT_EQ(report_add_setting_list(&r, "a", items, 2), STATUS_OK);
  ASSERT_EQ(r.settings.count, 2u);
  const ReportSetting* s = static_cast<const ReportSetting*>(r.settings.data);
  EXPECT_STREQ(s[0].key, "a");
  EXPECT_EQ(s[0].type, REPORT_VALUE_LIST);
  EXPECT_EQ(s[0].text, nullptr);
  ASSERT_EQ(s[0].item_count, 2u);
  EXPECT_STREQ(s[0].items[1], "y");
  EXPECT_EQ(report_add_setting_null(&r, nullptr), STATUS_BAD_ARGUMENT);
  // A float setting keeps the digits the user wrote, not the float's error.
  ASSERT_EQ(report_add_setting_float(&r, "f", 0.1f), STATUS_OK);
  ASSERT_EQ(report_add_setting_float(&r, "g", -20.5f), STATUS_OK);
  s = static_cast<const ReportSetting*>(r.settings.data);
  EXPECT_EQ(s[2].number, 0.1);
  EXPECT_EQ(s[3].number, -20.5);
  report_release(&r);
}

// Filling the record: every allocation failure is a clean 5, and what was
// added before it stays intact.
TEST(RunReport, FillingSurvivesAllocationFailures) {
  for_each_alloc_failure([] {
    RunReport r;
    report_init(&r);
    int status = sample::fill(&r);
    EXPECT_EQ(status == STATUS_NO_MEMORY, alloc_failure_hit());
    if (status == STATUS_OK) {
      EXPECT_EQ(r.groups.count, 2u);
      EXPECT_EQ(r.settings.count, 7u);
    }
    report_release(&r);
  });
}

}  // namespace
