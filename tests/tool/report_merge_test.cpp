#include "tool/report_merge.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "runtime/status.h"
#include "runtime/string.h"
#include "tests/support/alloc_fail.h"
#include "tool/tool_config.h"

namespace fs = std::filesystem;

namespace {

// Two shards of a run of groups "late" (second in the run, shard 0) and
// "early" (first, shard 1), each with a plot and files listed from its own
// directory.
std::string shard_report(int index, const char* name, int position, const char* child) {
  std::ostringstream s;
  s << "{\"report_format\": 1, \"version\": \"0.2.0\", \"command_line\": [\"timbral\", \"-sh\", \"" << index
    << "/2\"], \"settings\": {\"shard\": \"" << index << "/2\"}, \"status\": 0, \"message\": null, \"shard\": {\"index\": "
    << index << ", \"count\": 2}, \"grid_points_per_octave\": 24, \"groups\": [{\"name\": \"" << name
    << "\", \"position\": " << position
    << ", \"outcome\": \"done\", \"status\": 0, \"message\": null, \"master\": {\"path\": \"m.wav\", \"sample_rate\": 8000,"
       " \"channels\": 1, \"frames\": 800, \"duration_s\": 0.1, \"sample_peak_dbfs\": -8.5},"
       " \"files\": [{\"kind\": \"frm\", \"path\": \"../../"
    << name << "/frm.wav\"}], \"children\": [{\"outcome\": \"done\", \"status\": 0, \"message\": null, \"input\": {\"path\": \""
    << child << ".wav\"}, \"max_boost\": {\"db\": 6.5, \"hz\": 1000}, \"latency\": {\"samples\": 128, \"ms\": 16},"
       " \"files\": [{\"kind\": \"audio\", \"path\": \"../../"
    << name << "/" << child << ".wav\"}], \"plot\": \"plot-1-1-" << child << ".svg\", \"grid_hz\": [20, 20.5835],"
    << " \"applied_db\": [[1.25, -0.5]]}]}]}\n";
  return s.str();
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void put(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

class ReportMergeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/timbral-merge-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    put(dir / "shard-0-of-2/report.json", shard_report(0, "late", 2, "snare"));
    put(dir / "shard-0-of-2/plot-1-1-snare.svg", "<svg>snare</svg>");
    put(dir / "shard-1-of-2/report.json", shard_report(1, "early", 1, "kick"));
    put(dir / "shard-1-of-2/plot-1-1-kick.svg", "<svg>kick</svg>");
  }
  void TearDown() override { fs::remove_all(dir); }

  int merge() {
    ToolConfig cfg;
    int st = toolconfig_init(&cfg);
    const std::string d = dir.string();
    if (st == 0) st = string_from_utf8(&cfg.merge_reports, d.c_str(), d.size()) ? 0 : STATUS_NO_MEMORY;
    if (st == 0) st = merge_reports(&cfg);
    toolconfig_release(&cfg);
    return st;
  }

  fs::path dir;
};

// The groups come in the run's order whichever shard ran them, paths are
// relative to the merge directory, plots are named by their place in the
// merged report; and when an allocation fails the merge ends with 5, leaks
// nothing and leaves no temporary.
TEST_F(ReportMergeTest, OrderPathsPlotsAndAllocationFailures) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  std::string failures;  // gtest's lines are captured with the merge's
  for_each_alloc_failure([&] {
    fs::remove(dir / "report.json");
    fs::remove(dir / "index.html");
    const int st = merge();
    // A failure may also be worked around (a list that frees without
    // growing): then the result must be whole.
    if (st == STATUS_NO_MEMORY && !alloc_failure_hit()) failures += "5 without a failed allocation\n";
    if (st != 0 && st != STATUS_NO_MEMORY) failures += "status " + std::to_string(st) + "\n";
    if (st == 0) {
      const std::string json = slurp(dir / "report.json");
      const size_t early = json.find("\"name\": \"early\""), late = json.find("\"name\": \"late\"");
      if (early == std::string::npos || late == std::string::npos || early > late || !fs::exists(dir / "index.html"))
        failures += "an incomplete merge succeeded\n";
    }
    for (auto& e : fs::directory_iterator(dir))
      if (e.path().filename().string().find(".tmp") != std::string::npos) failures += "temporary left\n";
  });
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(failures, "");

  const std::string json = slurp(dir / "report.json");
  const size_t early = json.find("\"name\": \"early\""), late = json.find("\"name\": \"late\"");
  ASSERT_NE(early, std::string::npos);
  EXPECT_LT(early, late);
  EXPECT_EQ(json.find("\"position\""), std::string::npos);
  EXPECT_EQ(json.find("\n  \"shard\": {"), std::string::npos);
  EXPECT_NE(json.find("\"shards\": {\n    \"count\": 2,\n    \"missing\": [],\n    \"failed\": []\n  }"), std::string::npos)
      << json;
  EXPECT_NE(json.find("\"path\": \"../early/kick.wav\""), std::string::npos);
  EXPECT_NE(json.find("\"path\": \"../late/frm.wav\""), std::string::npos);
  EXPECT_NE(json.find("\"plot\": \"plot-1-1-kick.svg\""), std::string::npos);
  EXPECT_NE(json.find("\"plot\": \"plot-2-1-snare.svg\""), std::string::npos);
  EXPECT_NE(json.find("\"applied_db\": [[1.25, -0.5]]"), std::string::npos);
  EXPECT_EQ(slurp(dir / "plot-1-1-kick.svg"), "<svg>kick</svg>");
  EXPECT_EQ(slurp(dir / "plot-2-1-snare.svg"), "<svg>snare</svg>");
  const std::string html = slurp(dir / "index.html");
  EXPECT_NE(html.find("<img src=\"plot-2-1-snare.svg\""), std::string::npos);
  EXPECT_LT(html.find("Group early"), html.find("Group late"));
}

// Reports that are not what a shard writes are refused with a line saying
// why, before anything is written.
TEST_F(ReportMergeTest, DamagedReportsAreRefused) {
  struct Case {
    const char* text;
    int status;
    const char* why;
  } const cases[] = {
      {"{\"groups\": [", STATUS_SYNTAX, "unexpected end of input"},
      {"[1, 2]", STATUS_SYNTAX, "is not the report of that shard"},
      {"{\"shard\": {\"index\": 1, \"count\": 2}, \"groups\": []}", STATUS_SYNTAX, "is not the report of that shard"},
      {"{\"shard\": {\"index\": 0, \"count\": 2}, \"groups\": [{\"name\": \"x\"}]}", STATUS_SYNTAX, "no position"},
      {"{\"shard\": {\"index\": 0, \"count\": 2}, \"groups\": [{\"name\": \"early\", \"position\": 1}]}", STATUS_EXISTS,
       "group 'early' is in the reports of shards 0 and 1"},
  };
  for (const Case& c : cases) {
    put(dir / "shard-0-of-2/report.json", c.text);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(merge(), c.status) << c.text;
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(c.why), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "report.json")) << c.text;
  }
  // A directory of another count is another run's.
  fs::create_directories(dir / "shard-0-of-3");
  testing::internal::CaptureStderr();
  EXPECT_EQ(merge(), STATUS_BAD_VALUE);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("shard reports of different runs"), std::string::npos);
}

}  // namespace
