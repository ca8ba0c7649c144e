#include "report/report_writer.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "report/report_json.h"
#include "runtime/status.h"
#include "tests/report/doc_check.h"
#include "tests/report/sample_report.h"
#include "tests/support/alloc_fail.h"

namespace {

std::set<std::string> list_dir(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

void touch(const std::string& path, const char* content) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fputs(content, f);
  fclose(f);
}

// A scratch tree: <root>/out/drums holds the "written" audio the sample
// record lists (except missing.wav); the report goes to <root>/report.
class ReportWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/report_test_XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    root_ = templ;
    ASSERT_EQ(system(("mkdir -p '" + root_ + "/out/drums'").c_str()), 0);
    touch(root_ + "/out/drums/snare - processed.wav", "RIFF");
    touch(root_ + "/out/drums/snare - IR.wav", "RIFF");
    touch(root_ + "/out/drums/kit - FR Master.wav", "RIFF");
    report_init(&report_);
    ASSERT_EQ(sample::fill(&report_), STATUS_OK);
    dir_ = root_ + "/report";
  }
  void TearDown() override {
    report_release(&report_);
    ASSERT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0);
  }

  JsonValue load_json() {
    JsonValue doc;
    std::string error;
    EXPECT_TRUE(json_parse(read_file(dir_ + "/report.json"), &doc, &error)) << error;
    return doc;
  }

  std::string root_, dir_;
  RunReport report_;
};

TEST_F(ReportWriterTest, JsonHoldsRunSettingsAndGroups) {
  ASSERT_EQ(report_write(&report_, dir_.c_str()), STATUS_OK);
  JsonValue doc = load_json();
  EXPECT_EQ(doc["version"].text, "0.2.0");
  const JsonValue& argv = doc["command_line"];
  ASSERT_EQ(argv.kind, JsonValue::ARRAY);
  ASSERT_EQ(argv.items.size(), 9u);
  EXPECT_EQ(argv[6].text, sample::kOddName);
  EXPECT_EQ(argv[8].text, "report");

  // Settings keep their order and their JSON types.
  const JsonValue& settings = doc["settings"];
  ASSERT_EQ(settings.members.size(), 7u);
  EXPECT_EQ(settings.members[0].first, "srate");
  EXPECT_EQ(settings["srate"].kind, JsonValue::NUMBER);
  EXPECT_EQ(settings["srate"].number, 48000);
  EXPECT_EQ(settings["dry"].number, -1000);
  EXPECT_EQ(settings["norm_gain"].number, -0.5);
  EXPECT_EQ(settings["file"].text, "${master_name}/${file_name} - processed.wav");
  EXPECT_EQ(settings["mastering"].kind, JsonValue::BOOL);
  EXPECT_FALSE(settings["mastering"].flag);
  ASSERT_EQ(settings["produce"].items.size(), 2u);
  EXPECT_EQ(settings["produce"][1].text, "ir");
  EXPECT_EQ(settings["gain_range"].kind, JsonValue::NUL);
  EXPECT_TRUE(settings.has("gain_range"));

  EXPECT_EQ(doc["status"].number, 6);
  EXPECT_EQ(doc["message"].text, "cannot open 'in/lead.wav'");

  const JsonValue& groups = doc["groups"];
  ASSERT_EQ(groups.items.size(), 2u);
  const JsonValue& drums = groups[0];
  EXPECT_EQ(drums["name"].text, "drums");
  EXPECT_EQ(drums["outcome"].text, "done");
  const JsonValue& master = drums["master"];
  EXPECT_EQ(master["path"].text, "in/kit.wav");
  EXPECT_EQ(master["sample_rate"].kind, JsonValue::NUMBER);
  EXPECT_EQ(master["sample_rate"].number, 48000);
  EXPECT_EQ(master["channels"].number, 2);
  EXPECT_DOUBLE_EQ(master["duration_s"].number, 10.0);
  EXPECT_DOUBLE_EQ(master["sample_peak_dbfs"].number, -1.5);
  EXPECT_EQ(master["integrated_loudness_lufs"].kind, JsonValue::NUL);
  EXPECT_EQ(master["true_peak_dbtp"].kind, JsonValue::NUL);
  ASSERT_EQ(drums["files"].items.size(), 1u);
  EXPECT_EQ(drums["files"][0]["kind"].text, "frm");

  const JsonValue& vocals = groups[1];
  EXPECT_EQ(vocals["outcome"].text, "failed");
  EXPECT_EQ(vocals["status"].number, 6);
  EXPECT_EQ(vocals["master"]["sample_rate"].kind, JsonValue::NUL);
  EXPECT_EQ(vocals["master"]["duration_s"].kind, JsonValue::NUL);
  EXPECT_EQ(vocals["children"].items.size(), 0u);
}

TEST_F(ReportWriterTest, JsonChildHoldsInfoCurvesAndFiles) {
  ASSERT_EQ(report_write(&report_, dir_.c_str()), STATUS_OK);
  JsonValue doc = load_json();
  const JsonValue& c = doc["groups"][0]["children"][0];
  EXPECT_EQ(c["outcome"].text, "done");
  EXPECT_EQ(c["input"]["path"].text, "in/snare.wav");
  EXPECT_EQ(c["input"]["sample_rate"].number, 44100);
  EXPECT_DOUBLE_EQ(c["input"]["duration_s"].number, 10.0);
  EXPECT_DOUBLE_EQ(c["input"]["integrated_loudness_lufs"].number, -18.25);
  EXPECT_DOUBLE_EQ(c["input"]["true_peak_dbtp"].number, -5.5);
  EXPECT_EQ(c["output"]["frames"].number, 484096);
  EXPECT_DOUBLE_EQ(c["output"]["sample_peak_dbfs"].number, -0.75);
  EXPECT_EQ(c["clamped_bins"].number, 3);
  EXPECT_EQ(c["latency"]["samples"].number, 2048);
  EXPECT_NEAR(c["latency"]["ms"].number, 2048 / 48.0, 1e-4);

  // The grid: 20 Hz up in 1/24 octaves, the last point at or below Nyquist.
  const JsonValue& grid = c["grid_hz"];
  ASSERT_GT(grid.items.size(), 200u);
  EXPECT_DOUBLE_EQ(grid[0].number, 20.0);
  for (size_t k = 1; k < grid.items.size(); ++k)
    ASSERT_NEAR(grid[k].number / grid[k - 1].number, std::exp2(1.0 / 24), 1e-4) << k;
  EXPECT_LE(grid.items.back().number, 24000.0);
  EXPECT_GT(grid.items.back().number * std::exp2(1.0 / 24), 24000.0);

  // Curves per channel, on the grid, agreeing with the known functions.
  const JsonValue& applied = c["applied_db"];
  const JsonValue& computed = c["computed_db"];
  ASSERT_EQ(applied.items.size(), 2u);
  ASSERT_EQ(computed.items.size(), 2u);
  for (uint64_t ch = 0; ch < 2; ++ch) {
    ASSERT_EQ(applied[ch].items.size(), grid.items.size());
    ASSERT_EQ(computed[ch].items.size(), grid.items.size());
    for (size_t k = 0; k < grid.items.size(); ++k) {
      double hz = grid[k].number;
      // Linear reading between 11.7 Hz bins errs by at most h^2/8 |f''|,
      // under 0.1 dB (0.15 dB for the 1.5x computed curve) from 50 Hz up.
      if (hz < 50) continue;
      ASSERT_EQ(applied[ch][k].kind, JsonValue::NUMBER);
      ASSERT_NEAR(applied[ch][k].number, sample::applied_db(ch, hz), 0.1) << ch << " " << hz;
      ASSERT_NEAR(computed[ch][k].number, sample::computed_db(ch, hz), 0.15) << ch << " " << hz;
    }
  }
  const JsonValue& spectrum = c["spectrum_db"];
  const JsonValue& master = c["master_spectrum_db"];
  ASSERT_EQ(spectrum.items.size(), grid.items.size());
  for (size_t k = 0; k < grid.items.size(); ++k) {
    double hz = grid[k].number;
    if (hz < 50) continue;
    ASSERT_NEAR(master[k].number, sample::master_db(hz), 0.1) << hz;
    ASSERT_NEAR(spectrum[k].number, sample::master_db(hz) + sample::applied_db(0, hz), 0.2) << hz;
  }

  // Extremes: +-6 dB waves reach their peaks somewhere in 20 Hz..24 kHz.
  EXPECT_NEAR(c["max_boost"]["db"].number, 6.0, 0.01);
  EXPECT_NEAR(c["max_cut"]["db"].number, -6.0, 0.01);
  double boost_hz = c["max_boost"]["hz"].number;
  EXPECT_GE(boost_hz, 20.0);
  double best = std::max(sample::applied_db(0, boost_hz), sample::applied_db(1, boost_hz));
  EXPECT_NEAR(best, 6.0, 0.01);

  const JsonValue& files = c["files"];
  ASSERT_EQ(files.items.size(), 3u);
  EXPECT_EQ(files[0]["kind"].text, "audio");
  EXPECT_EQ(files[0]["path"].text, "../out/drums/snare - processed.wav");
  EXPECT_EQ(files[1]["kind"].text, "ir");
  EXPECT_EQ(files[2]["kind"].text, "raw");

  ASSERT_EQ(c["plot"].kind, JsonValue::STRING);
  EXPECT_TRUE(file_exists(dir_ + "/" + c["plot"].text)) << c["plot"].text;
}

TEST_F(ReportWriterTest, FailedChildAndOddNamesSurviveEscaping) {
  ASSERT_EQ(report_write(&report_, dir_.c_str()), STATUS_OK);
  JsonValue doc = load_json();
  const JsonValue& odd = doc["groups"][0]["children"][1];
  EXPECT_EQ(odd["input"]["path"].text, sample::kOddName);
  EXPECT_EQ(odd["outcome"].text, "failed");
  EXPECT_EQ(odd["status"].number, 7);
  // The control character comes back exactly; the stray byte as U+FFFD.
  EXPECT_EQ(odd["message"].text, "bad format <x> & \"y\"\x01 \xEF\xBF\xBD");
  EXPECT_EQ(odd["plot"].kind, JsonValue::NUL);
  EXPECT_EQ(odd["applied_db"].kind, JsonValue::NUL);
  EXPECT_EQ(odd["max_boost"].kind, JsonValue::NUL);
  EXPECT_EQ(odd["latency"]["samples"].kind, JsonValue::NUL);
  EXPECT_EQ(odd["clamped_bins"].kind, JsonValue::NUL);

  std::string html = read_file(dir_ + "/index.html");
  EXPECT_NE(html.find("tom &quot;take&quot; &lt;2&gt; &amp; \xC3\xA9t\xC3\xA9&#39;s.wav"), std::string::npos);
  EXPECT_NE(html.find("Failed (status 7): bad format &lt;x&gt; &amp; &quot;y&quot;\xEF\xBF\xBD \xEF\xBF\xBD"),
            std::string::npos);
  EXPECT_NE(html.find("Failed (status 6): cannot open &#39;in/lead.wav&#39;"), std::string::npos);
  EXPECT_EQ(html.find("<2>"), std::string::npos);
}

TEST_F(ReportWriterTest, SvgIsWellFormedWithEverySeries) {
  ASSERT_EQ(report_write(&report_, dir_.c_str()), STATUS_OK);
  JsonValue doc = load_json();
  std::string plot = doc["groups"][0]["children"][0]["plot"].text;
  EXPECT_EQ(plot, "plot-1-1-snare.svg");
  std::vector<XmlElement> elements;
  std::string error;
  ASSERT_TRUE(xml_check(read_file(dir_ + "/" + plot), &elements, &error)) << error;
  ASSERT_FALSE(elements.empty());
  EXPECT_EQ(elements[0].name, "svg");
  EXPECT_EQ(elements[0].attributes["xmlns"], "http://www.w3.org/2000/svg");

  std::set<std::string> ids, texts;
  for (const XmlElement& e : elements) {
    if (e.attributes.count("id")) ids.insert(e.attributes.at("id"));
    if (e.name == "text") texts.insert(e.text);
    if (e.name == "path") {
      // Every series spans the axis: one point per 1/48 octave.
      size_t points = std::count(e.attributes.at("d").begin(), e.attributes.at("d").end(), 'L');
      EXPECT_GT(points, 400u) << e.attributes.at("id");
    }
  }
  for (const char* id : {"spectrum-master", "spectrum-child", "correction-applied-1",
                         "correction-applied-2", "legend", "grid"})
    EXPECT_TRUE(ids.count(id)) << id;
  // Octave labels up to 16 kHz (Nyquist 24 kHz), 10 dB steps, the legend
  // and the key numbers in the caption.
  for (const char* t : {"31.5", "1k", "16k", "-20", "-30", "+6", "-6", "master spectrum (1/6 oct)",
                        "child spectrum (1/6 oct)", "correction, channel 2"})
    EXPECT_TRUE(texts.count(t)) << t;
  EXPECT_FALSE(texts.count("32k"));
  bool caption = false;
  for (const std::string& t : texts)
    caption |= t.find("Largest boost +6.00 dB at") == 0 && t.find("Clamped bins: 3") != std::string::npos;
  EXPECT_TRUE(caption);
  EXPECT_TRUE(texts.count("Latency: 2048 samples (42.67 ms) \xC2\xB7 Output peak: -0.75 dBFS"));
  EXPECT_TRUE(texts.count("Master: in/kit.wav \xC2\xB7 Child: in/snare.wav"));
}

// The smoothing must not bend a flat spectrum: its series is one horizontal
// line, and a spectrum with a notch gets the 1/6-octave average.
TEST_F(ReportWriterTest, FlatSpectrumPlotsAsStraightLine) {
  ReportGroup* g = static_cast<ReportGroup**>(report_.groups.data)[0];
  std::vector<double> flat(sample::kBins, -30.0);
  ASSERT_EQ(report_set_spectrum(&g->spectrum, flat.data(), sample::kBins, sample::kBinHz), STATUS_OK);
  ASSERT_EQ(report_write(&report_, dir_.c_str()), STATUS_OK);
  std::vector<XmlElement> elements;
  std::string error;
  ASSERT_TRUE(xml_check(read_file(dir_ + "/plot-1-1-snare.svg"), &elements, &error)) << error;
  bool found = false;
  for (const XmlElement& e : elements) {
    if (e.name != "path" || e.attributes.at("id") != "spectrum-master") continue;
    found = true;
    std::regex point("[ML]([0-9.]+) ([0-9.]+)");
    std::string d = e.attributes.at("d");
    std::set<std::string> ys;
    for (auto it = std::sregex_iterator(d.begin(), d.end(), point); it != std::sregex_iterator(); ++it)
      ys.insert((*it)[2]);
    EXPECT_EQ(ys.size(), 1u) << d.substr(0, 200);
  }
  EXPECT_TRUE(found);
}

// A curve with a hole (values unknown between 1 and 2 kHz) is drawn as two
// pieces, never bridged; a mono curve has one legend entry.
TEST_F(ReportWriterTest, CurveGapsAreNotBridged) {
  ReportGroup* g = static_cast<ReportGroup**>(report_.groups.data)[0];
  ReportChild* c = static_cast<ReportChild**>(g->children.data)[0];
  std::vector<double> db(sample::kBins, 3.0);
  for (uint64_t k = 0; k < sample::kBins; ++k) {
    double hz = static_cast<double>(k) * sample::kBinHz;
    if (hz > 1000 && hz < 2000) db[k] = NAN;
  }
  ASSERT_EQ(report_child_set_applied(c, db.data(), 1, sample::kBins, sample::kBinHz), STATUS_OK);
  ASSERT_EQ(report_write(&report_, dir_.c_str()), STATUS_OK);
  std::vector<XmlElement> elements;
  std::string error;
  ASSERT_TRUE(xml_check(read_file(dir_ + "/plot-1-1-snare.svg"), &elements, &error)) << error;
  int curves = 0, entries = 0;
  for (const XmlElement& e : elements) {
    if (e.name == "text" && e.text == "applied correction") ++entries;
    if (e.name != "path" || e.attributes.at("id").rfind("correction-applied-", 0) != 0) continue;
    ++curves;
    const std::string& d = e.attributes.at("d");
    EXPECT_EQ(std::count(d.begin(), d.end(), 'M'), 2) << d.substr(0, 100);
  }
  EXPECT_EQ(curves, 1);
  EXPECT_EQ(entries, 1);
}

TEST_F(ReportWriterTest, HtmlReferencesOnlyExistingFiles) {
  ASSERT_EQ(report_write(&report_, dir_.c_str()), STATUS_OK);
  std::string html = read_file(dir_ + "/index.html");
  std::regex ref("(src|href)=\"([^\"]*)\"");
  int images = 0, links = 0;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), ref); it != std::sregex_iterator(); ++it) {
    std::string url = (*it)[2];
    ASSERT_EQ(url.find(':'), std::string::npos) << "not a relative reference: " << url;
    std::string path;
    for (size_t i = 0; i < url.size(); ++i) {
      if (url[i] == '%' && i + 2 < url.size()) {
        path += static_cast<char>(strtol(url.substr(i + 1, 2).c_str(), nullptr, 16));
        i += 2;
      } else {
        path += url[i];
      }
    }
    EXPECT_TRUE(file_exists(dir_ + "/" + path)) << url;
    if ((*it)[1] == "src") ++images; else ++links;
  }
  EXPECT_EQ(images, 1);
  EXPECT_EQ(links, 5);  // report.json, the plot, frm, audio, ir
  EXPECT_NE(html.find("href=\"../out/drums/snare%20-%20processed.wav\""), std::string::npos);
  EXPECT_NE(html.find("../out/drums/missing.wav (not written)"), std::string::npos);
  // Self-contained: no scripts, nothing from the network.
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("http"), std::string::npos);
  EXPECT_NE(html.find("<meta name=\"viewport\""), std::string::npos);
}

TEST_F(ReportWriterTest, WritesOnlyItsFilesAndReplacesThem) {
  ASSERT_EQ(report_write(&report_, (dir_ + "/nested/deeper").c_str()), STATUS_OK);
  EXPECT_EQ(list_dir(dir_ + "/nested/deeper"),
            (std::set<std::string>{"index.html", "plot-1-1-snare.svg", "report.json"}));
  // A second run over the same directory replaces the files in place.
  ASSERT_EQ(report_set_version(&report_, "9.9.9"), STATUS_OK);
  ASSERT_EQ(report_write(&report_, (dir_ + "/nested/deeper").c_str()), STATUS_OK);
  EXPECT_EQ(list_dir(dir_ + "/nested/deeper").size(), 3u);
  EXPECT_NE(read_file(dir_ + "/nested/deeper/report.json").find("\"9.9.9\""), std::string::npos);
}

// A run that stopped early: whatever the record holds is still a report.
TEST_F(ReportWriterTest, PartialRecordStillWritesValidDocuments) {
  RunReport partial;
  report_init(&partial);
  ReportGroup* g = nullptr;
  ASSERT_EQ(report_add_group(&partial, "g", &g), STATUS_OK);
  ReportChild* c = nullptr;
  ASSERT_EQ(report_add_child(g, "a.wav", &c), STATUS_OK);
  ASSERT_EQ(report_add_child(g, nullptr, &c), STATUS_OK);
  ASSERT_EQ(report_write(&partial, dir_.c_str()), STATUS_OK);
  report_release(&partial);

  JsonValue doc;
  std::string error;
  ASSERT_TRUE(json_parse(read_file(dir_ + "/report.json"), &doc, &error)) << error;
  EXPECT_EQ(doc["version"].kind, JsonValue::NUL);
  EXPECT_EQ(doc["status"].kind, JsonValue::NUL);
  EXPECT_EQ(doc["command_line"].items.size(), 0u);
  const JsonValue& children = doc["groups"][0]["children"];
  ASSERT_EQ(children.items.size(), 2u);
  EXPECT_EQ(children[1]["input"]["path"].kind, JsonValue::NUL);
  EXPECT_EQ(children[0]["grid_hz"].items.size(), 0u);
  EXPECT_EQ(list_dir(dir_), (std::set<std::string>{"index.html", "report.json"}));
  EXPECT_NE(read_file(dir_ + "/index.html").find("run did not finish"), std::string::npos);
}

TEST_F(ReportWriterTest, UnwritableDirectoryFailsCleanly) {
  touch(root_ + "/plain", "x");
  // make_directories meets the file where a directory should be.
  EXPECT_EQ(report_write(&report_, (root_ + "/plain/report").c_str()), STATUS_EXISTS);
  EXPECT_EQ(report_write(&report_, ""), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(report_write_file((root_ + "/absent").c_str(), "x.json", "{}", 2), STATUS_NOT_FOUND);
  // A directory where the file should go: the temporary is removed.
  ASSERT_EQ(system(("mkdir -p '" + dir_ + "/report.json'").c_str()), 0);
  EXPECT_NE(report_write(&report_, dir_.c_str()), STATUS_OK);
  for (const std::string& name : list_dir(dir_)) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
  // The plot it made before failing is gone again: no new plot stands
  // beside an older report.json.
  EXPECT_EQ(list_dir(dir_), (std::set<std::string>{"report.json"}));
}

// Each run starts from a missing directory. A run may still succeed after an
// injected failure (creating the directory retries component by component);
// then its documents must be complete.
TEST_F(ReportWriterTest, AllocationFailuresLeaveNoLeakAndNoTemporary) {
  std::string dir = dir_;
  const RunReport* r = &report_;
  int runs = 0;
  for_each_alloc_failure([&] {
    alloc_fail_off();
    ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
    uint64_t k = ++runs;
    testing_support::g_failures_at_start = alloc_failures();
    alloc_fail_after(k, false);
    int status = report_write(r, dir.c_str());
    alloc_fail_off();
    EXPECT_TRUE(status == STATUS_OK || status == STATUS_NO_MEMORY) << status;
    if (status == STATUS_NO_MEMORY) {
      EXPECT_TRUE(alloc_failure_hit());
    }
    for (const std::string& name : list_dir(dir)) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    if (status == STATUS_OK) {
      JsonValue doc;
      std::string error;
      EXPECT_TRUE(json_parse(read_file(dir + "/report.json"), &doc, &error)) << error;
      EXPECT_EQ(doc["groups"].items.size(), 2u);
      std::string html = read_file(dir + "/index.html");
      EXPECT_NE(html.find("plot-1-1-snare.svg"), std::string::npos);
      EXPECT_EQ(html.substr(html.size() - 8), "</html>\n");
    }
  });
  EXPECT_GT(runs, 20);
}

// Not a check: writes the sample report into $TIMBRAL_REPORT_SAMPLE_DIR (with
// the audio files it links to beside it) for scripts/render_report.sh.
TEST(ReportSample, WriteForRendering) {
  const char* root = getenv("TIMBRAL_REPORT_SAMPLE_DIR");
  if (!root || !*root) GTEST_SKIP() << "TIMBRAL_REPORT_SAMPLE_DIR not set";
  std::string base = root;
  ASSERT_EQ(system(("mkdir -p '" + base + "/out/drums'").c_str()), 0);
  touch(base + "/out/drums/snare - processed.wav", "RIFF");
  touch(base + "/out/drums/snare - IR.wav", "RIFF");
  touch(base + "/out/drums/kit - FR Master.wav", "RIFF");
  RunReport r;
  report_init(&r);
  ASSERT_EQ(sample::fill(&r), STATUS_OK);
  EXPECT_EQ(report_write(&r, (base + "/report").c_str()), STATUS_OK);
  report_release(&r);
}

}  // namespace
