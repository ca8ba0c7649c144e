#include "tool/report_merge.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "report/report_writer.h"
#include "report/run_report.h"
#include "runtime/alloc.h"
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

// A child record with every measure a run gives it, in a group with a
// master spectrum. 0 when every call succeeded.
int full_record(RunReport* r) {
  int s = 0;
  auto check = [&s](int st) {
    if (s == 0) s = st;
  };
  constexpr uint64_t kBins = 257;  // FFT of 512 at 8 kHz
  constexpr double kBinHz = 8000.0 / 512;
  double master[kBins], child[kBins], curve[2 * kBins], levels[2] = {-3.25, 1.5}, gains[5] = {0, -0.5, -1.25, 0, 0};
  for (uint64_t k = 0; k < kBins; ++k) {
    const double hz = static_cast<double>(k) * kBinHz;
    master[k] = -20 - 3 * std::log2(hz / 100 + 1);
    child[k] = k == 40 ? NAN : master[k] + std::sin(hz / 300);
    curve[k] = 4 * std::cos(hz / 500);
    curve[kBins + k] = -curve[k];
  }
  check(report_set_version(r, "0.2.0"));
  ReportGroup* g = nullptr;
  check(report_add_group(r, "kit", &g));
  if (!g) return s;
  check(report_set_spectrum(&g->spectrum, master, kBins, kBinHz));
  ReportChild* c = nullptr;
  check(report_add_child(g, "takes/snare.wav", &c));
  if (!c) return s;
  check(report_set_audio(&c->input, nullptr, 8000, 2, 4000, -6.02));
  check(report_set_audio(&c->output, "out/snare.wav", 8000, 2, 4128, -1.00001));
  report_set_loudness(&c->output, -16, -1.5);
  check(report_set_spectrum(&c->spectrum, child, kBins, kBinHz));
  check(report_set_curve(&c->computed, curve, 2, kBins, kBinHz));
  check(report_child_set_applied(c, curve, 2, kBins, kBinHz));
  check(report_child_set_levels(c, levels, 2));
  report_child_set_clamps(c, 2, 5);
  report_child_set_latency(c, 128, 8000);
  c->mid_side = true;
  c->limiter_ran = true;
  c->limiter_ceiling_dbtp = -1;
  c->limiter_reduction_max_db = 1.25;
  c->limiter_reduction_mean_db = 0.5;
  c->limiter_limited_share = 0.125;
  c->limiter_gain_step_s = 0.1;
  c->limiter_gain_db = static_cast<double*>(mem_alloc(sizeof gains));
  if (!c->limiter_gain_db) return STATUS_NO_MEMORY;
  std::memcpy(c->limiter_gain_db, gains, sizeof gains);
  c->limiter_gain_count = 5;
  c->delivery = ReportDelivery{true, -16, -1, 2.5, -16, -1.5, 0, true, NAN};
  check(report_child_add_file(c, REPORT_FILE_AUDIO, "../out/snare.wav"));
  check(report_child_add_file(c, REPORT_FILE_RAW, "../out/snare - raw.wav"));
  return s;
}

}  // namespace

// A report read back and its child's record copied into a new report (as a
// resumed run does) is written again byte for byte: measures, curves on the
// grid, limiter, delivery, files and the plot it keeps. With any allocation
// failing, the reading or the copy ends with 5 and leaks nothing.
TEST_F(ReportMergeTest, RecordReadBackIsWrittenAgainByteForByte) {
  RunReport first;
  report_init(&first);
  ASSERT_EQ(full_record(&first), 0);
  ASSERT_EQ(report_write(&first, (dir / "one").c_str()), 0);
  report_release(&first);
  const std::string json = slurp(dir / "one/report.json");
  const std::string plot = slurp(dir / "one/plot-1-1-snare.svg");
  ASSERT_NE(json.find("\"limiter\": {"), std::string::npos);
  ASSERT_NE(plot.find("<svg"), std::string::npos);

  std::string failures;
  for_each_alloc_failure([&] {
    RunReport back, again;
    report_init(&back);
    report_init(&again);
    const char* why = nullptr;
    int st = report_read((dir / "one/report.json").c_str(), &back, &why);
    ReportGroup* g = nullptr;
    ReportChild* c = nullptr;
    const ReportGroup* bg = st == 0 && back.groups.count == 1 ? static_cast<ReportGroup**>(back.groups.data)[0] : nullptr;
    if (st == 0 && (!bg || bg->children.count != 1)) failures += "the record read back lost its child\n";
    if (st == 0 && bg) st = report_set_version(&again, "0.2.0");
    if (st == 0 && bg) st = report_add_group(&again, "kit", &g);
    if (st == 0 && bg) st = report_add_child(g, "takes/snare.wav", &c);
    if (st == 0 && bg) st = report_child_copy(c, static_cast<ReportChild**>(bg->children.data)[0]);
    // The run gives the group its master's spectrum and the child its plot.
    ReportGroup* fg = nullptr;
    RunReport spectrum;
    report_init(&spectrum);
    if (st == 0 && bg) st = full_record(&spectrum);
    if (st == 0 && bg) fg = static_cast<ReportGroup**>(spectrum.groups.data)[0];
    if (st == 0 && fg) st = report_set_spectrum(&g->spectrum, fg->spectrum.db, fg->spectrum.bins, fg->spectrum.bin_hz);
    if (st == 0 && fg) st = (c->plot_svg = mem_strdup(plot.c_str())) ? 0 : STATUS_NO_MEMORY;
    if (st == 0 && fg) st = report_write(&again, (dir / "two").c_str());
    if (st != 0 && st != STATUS_NO_MEMORY) failures += "status " + std::to_string(st) + "\n";
    if (st == STATUS_NO_MEMORY && !alloc_failure_hit()) failures += "5 without a failed allocation\n";
    if (st == 0 && fg && !alloc_failure_hit()) {
      if (slurp(dir / "two/report.json") != json) failures += "report.json differs\n";
      if (slurp(dir / "two/plot-1-1-snare.svg") != plot) failures += "the plot differs\n";
    }
    report_release(&spectrum);
    report_release(&again);
    report_release(&back);
  });
  EXPECT_EQ(failures, "");
  EXPECT_EQ(slurp(dir / "two/report.json"), json);
}
