// The run report as a user opens it: report.json parsed by the test's own
// strict JSON reader and checked against the files the run wrote (the
// applied curve against the written raw IR, the latency against the
// trimmed IR), the plots and the overview page with links that lead to
// existing files, and a report of a run that failed.

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <algorithm>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;
using e2e::Audio;
using e2e::E2ETest;
using testing::HasSubstr;

namespace {

// A JSON value. Numbers stay numbers: a number written as text in the
// report reads as a string here and fails the checks that want numbers.
struct Json {
  enum Type { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } type = NUL;
  bool b = false;
  double num = 0;
  std::string str;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  // The member `key`, or a null value when there is none.
  const Json& operator[](const std::string& key) const {
    static const Json none;
    for (const auto& m : members)
      if (m.first == key) return m.second;
    return none;
  }
  const Json& operator[](size_t i) const {
    static const Json none;
    return i < items.size() ? items[i] : none;
  }
  bool has(const std::string& key) const {
    for (const auto& m : members)
      if (m.first == key) return true;
    return false;
  }
};

// Strict JSON (RFC 8259): no comments, no trailing commas, nothing after
// the value but whitespace. `ok` is false on any error.
class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}
  Json read(bool* ok) {
    Json v = value();
    space();
    *ok = ok_ && i_ == s_.size();
    return v;
  }

 private:
  void space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
  }
  bool eat(char c) {
    space();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool word(const char* w) {
    size_t n = std::char_traits<char>::length(w);
    if (s_.compare(i_, n, w) != 0) return false;
    i_ += n;
    return true;
  }
  std::string string() {
    std::string out;
    if (!eat('"')) return ok_ = false, out;
    while (i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (static_cast<unsigned char>(c) < 0x20) return ok_ = false, out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) return ok_ = false, out;
      char e = s_[i_++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (i_ + 4 > s_.size()) return ok_ = false, out;
          unsigned cp = std::stoul(s_.substr(i_, 4), nullptr, 16);
          i_ += 4;
          if (cp < 0x80) {
            out += static_cast<char>(cp);
          } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
          }
          break;
        }
        default: return ok_ = false, out;
      }
    }
    if (i_ >= s_.size()) return ok_ = false, out;
    ++i_;
    return out;
  }
  Json value() {
    Json v;
    space();
    if (++depth_ > 200 || i_ >= s_.size()) return ok_ = false, v;
    char c = s_[i_];
    if (c == '{') {
      v.type = Json::OBJECT;
      ++i_;
      if (!eat('}')) {
        do {
          std::string key = string();
          if (!eat(':')) return ok_ = false, v;
          v.members.emplace_back(key, value());
        } while (ok_ && eat(','));
        if (!eat('}')) ok_ = false;
      }
    } else if (c == '[') {
      v.type = Json::ARRAY;
      ++i_;
      if (!eat(']')) {
        do v.items.push_back(value());
        while (ok_ && eat(','));
        if (!eat(']')) ok_ = false;
      }
    } else if (c == '"') {
      v.type = Json::STRING;
      v.str = string();
    } else if (word("true")) {
      v.type = Json::BOOL;
      v.b = true;
    } else if (word("false")) {
      v.type = Json::BOOL;
    } else if (word("null")) {
      v.type = Json::NUL;
    } else {
      static const std::regex number("-?(0|[1-9][0-9]*)(\\.[0-9]+)?([eE][+-]?[0-9]+)?");
      std::smatch m;
      std::string rest = s_.substr(i_, 64);
      if (!std::regex_search(rest, m, number, std::regex_constants::match_continuous)) return ok_ = false, v;
      v.type = Json::NUMBER;
      v.num = std::strtod(m.str().c_str(), nullptr);
      i_ += m.length();
    }
    --depth_;
    return v;
  }

  const std::string& s_;
  size_t i_ = 0;
  int depth_ = 0;
  bool ok_ = true;
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Percent-decoding of a link.
std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Every href and src of a page.
std::vector<std::string> links(const std::string& html) {
  std::vector<std::string> out;
  static const std::regex attr("(href|src)\\s*=\\s*\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), attr); it != std::sregex_iterator(); ++it)
    out.push_back((*it)[2].str());
  return out;
}

class Report : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    // A smooth correction: the master and the same noise through an EQ.
    master = e2e::noise(48000, 2, 24000, 51);
    write("m.wav", master);
    write("eq.wav", e2e::filtered(e2e::filtered(master, e2e::Biquad::peaking(48000, 800, 1.0, 9)),
                                  e2e::Biquad::high_shelf(48000, 5000, -6)));
    write("dark.wav", e2e::filtered(master, e2e::Biquad::high_shelf(48000, 2000, -10)));
  }

  Json read_report(const fs::path& path) {
    bool ok = false;
    std::string text = slurp(path);
    Json j = JsonReader(text).read(&ok);
    EXPECT_TRUE(ok) << path << " is not JSON";
    return j;
  }

  Audio master;
};

TEST_F(Report, HoldsTheRunAndAgreesWithTheWrittenFiles) {
  std::vector<std::string> args = {"-mf", "m.wav", "-cf", "eq.wav", "-cf", "dark.wav", "-p", "all", "-d", "out", "-r", "rep"};
  auto r = run(args);
  ASSERT_EQ(r.status, 0) << r.err;
  fs::path rep = dir / "out/rep";  // resolved against the destination
  std::vector<std::string> in_rep = e2e::list_files(rep);
  ASSERT_EQ(in_rep.size(), 4u) << testing::PrintToString(in_rep);
  EXPECT_TRUE(fs::exists(rep / "report.json"));
  EXPECT_TRUE(fs::exists(rep / "index.html"));
  Json j = read_report(rep / "report.json");
  ASSERT_EQ(j.type, Json::OBJECT);

  EXPECT_EQ(j["version"].str, "0.2.0");
  ASSERT_EQ(j["command_line"].type, Json::ARRAY);
  ASSERT_EQ(j["command_line"].items.size(), args.size() + 1);
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(j["command_line"][i + 1].str, args[i]);
  EXPECT_EQ(j["status"].type, Json::NUMBER);
  EXPECT_EQ(j["status"].num, 0);

  // Every effective setting, numbers as numbers and keywords as text.
  const Json& set = j["settings"];
  ASSERT_EQ(set.type, Json::OBJECT);
  EXPECT_EQ(set["srate"].type, Json::NUMBER);
  EXPECT_EQ(set["srate"].num, 48000);
  EXPECT_EQ(set["fft_rank"].num, 12);
  EXPECT_EQ(set["dry"].num, -1000);
  EXPECT_EQ(set["gain_range"].num, 48);
  EXPECT_EQ(set["mastering"].type, Json::BOOL);
  EXPECT_EQ(set["normalize"].str, "none");
  EXPECT_EQ(set["report"].str, "rep");
  for (const char* key : {"ir.amount", "ir.smoothing", "ir.head_cut", "norm_gain", "wet"})
    EXPECT_EQ(set[key].type, Json::NUMBER) << key;
  EXPECT_EQ(set["ir.phase"].str, "linear");
  for (const char* key : {"loudness", "ir.max_boost", "ir.max_cut"}) EXPECT_EQ(set[key].type, Json::NUL) << key;  // off

  ASSERT_EQ(j["groups"].items.size(), 1u);
  const Json& g = j["groups"][0];
  EXPECT_EQ(g["name"].str, "default");
  EXPECT_EQ(g["master"]["path"].str, "m.wav");
  EXPECT_EQ(g["master"]["sample_rate"].num, 48000);
  EXPECT_EQ(g["master"]["channels"].num, 2);
  EXPECT_EQ(g["master"]["frames"].num, 24000);
  EXPECT_NEAR(g["master"]["duration_s"].num, 0.5, 1e-9);
  EXPECT_EQ(g["master"]["sample_peak_dbfs"].type, Json::NUMBER);
  ASSERT_EQ(g["children"].items.size(), 2u);

  const char* names[] = {"eq", "dark"};
  for (size_t ci = 0; ci < 2; ++ci) {
    const Json& c = g["children"][ci];
    SCOPED_TRACE(names[ci]);
    EXPECT_EQ(c["input"]["path"].str, std::string(names[ci]) + ".wav");
    EXPECT_EQ(c["output"]["frames"].num, 24000 + 4096);
    // Every file written, relative to the report, exists.
    ASSERT_EQ(c["files"].items.size(), 4u);
    for (const Json& f : c["files"].items) EXPECT_TRUE(fs::exists(rep / f["path"].str)) << f["path"].str;
    ASSERT_EQ(c["plot"].type, Json::STRING);
    EXPECT_TRUE(fs::exists(rep / c["plot"].str));

    // The latency is where the trimmed IR has its peak (the middle).
    Audio ir = e2e::read_wav(dir / "out/m" / (std::string(names[ci]) + " - IR.wav"));
    size_t peak_at = 0;
    for (size_t t = 0; t < ir.frames(); ++t)
      if (std::fabs(ir.data[0][t]) > std::fabs(ir.data[0][peak_at])) peak_at = t;
    EXPECT_EQ(c["latency"]["samples"].num, 2048);
    EXPECT_EQ(peak_at, 2048u);
    EXPECT_NEAR(c["latency"]["ms"].num, 2048.0 / 48, 1e-3);

    // The applied curve, per channel on its grid, is the response of the
    // written raw IR (read at the grid frequency from a finely padded
    // transform) within 0.5 dB from 50 Hz to 16 kHz.
    const Json& grid = c["grid_hz"];
    ASSERT_GT(grid.items.size(), 200u);
    EXPECT_NEAR(grid[0].num, 20.0, 1e-6);
    EXPECT_NEAR(grid[24].num, 40.0, 0.01);  // 1/24 octave apart
    Audio raw = e2e::read_wav(dir / "out/m" / (std::string(names[ci]) + " - Raw IR.wav"));
    ASSERT_EQ(c["applied_db"].items.size(), 2u);
    ASSERT_EQ(c["computed_db"].items.size(), 2u);
    for (int ch = 0; ch < 2; ++ch) {
      const size_t n = 65536;
      auto db = e2e::response_db(raw.data[ch], n);
      const Json& applied = c["applied_db"][ch];
      ASSERT_EQ(applied.items.size(), grid.items.size());
      int compared = 0;
      for (size_t k = 0; k < grid.items.size(); ++k) {
        double f = grid[k].num;
        if (f < 50 || f > 16000) continue;
        double pos = f / 48000 * n, w = pos - std::floor(pos);
        size_t b = static_cast<size_t>(pos);
        double actual = db[b] * (1 - w) + db[b + 1] * w;
        EXPECT_NEAR(applied[k].num, actual, 0.5) << "channel " << ch << " at " << f << " Hz";
        // No shaping: what was applied is what was computed.
        EXPECT_EQ(applied[k].num, c["computed_db"][ch][k].num);
        ++compared;
      }
      EXPECT_GE(compared, 199);  // 24 points an octave over 8.3 octaves
    }
  }
  // The EQ'd child is boosted around 800 Hz, the dark one cut at the top.
  EXPECT_GT(g["children"][0]["max_boost"]["db"].num, 7.0);
  EXPECT_LT(g["children"][1]["max_cut"]["db"].num, -8.0);

  // The plots are SVG documents, one per child.
  for (size_t ci = 0; ci < 2; ++ci) {
    std::string svg = slurp(rep / g["children"][ci]["plot"].str);
    EXPECT_THAT(svg, HasSubstr("<svg"));
    EXPECT_THAT(svg, testing::EndsWith("</svg>\n"));
    EXPECT_THAT(svg, HasSubstr(std::string(names[ci]) + ".wav"));
  }
}

TEST_F(Report, ShapedCurveIsReportedAsApplied) {
  auto r = run({"-mf", "m.wav", "-cf", "eq.wav", "-p", "raw", "-iw", "raw.wav", "-r", "rep", "-mb", "4", "-mc", "3",
                "-sm", "0.25"});
  ASSERT_EQ(r.status, 0) << r.err;
  Json j = read_report(dir / "rep/report.json");
  EXPECT_EQ(j["settings"]["ir.max_boost"].num, 4);
  EXPECT_EQ(j["settings"]["ir.smoothing"].num, 0.25);
  const Json& c = j["groups"][0]["children"][0];
  // The limits clamp around each channel's level; the gain range clamps
  // nothing here.
  EXPECT_GT(c["clamped_by_limits"].num, 0);
  EXPECT_EQ(c["clamped_by_range"].num, 0);
  EXPECT_EQ(c["clamped_bins"].num, c["clamped_by_limits"].num);
  ASSERT_EQ(c["curve_level_db"].items.size(), 2u);
  double level[2] = {c["curve_level_db"][0].num, c["curve_level_db"][1].num};
  EXPECT_NEAR(c["max_boost"]["db"].num, std::max(level[0], level[1]) + 4.0, 0.01);
  EXPECT_NEAR(c["max_cut"]["db"].num, std::min(level[0], level[1]) - 3.0, 0.01);
  // The profiles' own curve goes beyond the limits; the applied one does
  // not, and it is what the written filter does.
  Audio raw = e2e::read_wav(dir / "raw.wav");
  const Json& grid = c["grid_hz"];
  for (int ch = 0; ch < 2; ++ch) {
    double computed_max = -1e9, applied_max = -1e9;
    auto db = e2e::response_db(raw.data[ch], 65536);
    for (size_t k = 0; k < grid.items.size(); ++k) {
      computed_max = std::max(computed_max, c["computed_db"][ch][k].num - level[ch]);
      applied_max = std::max(applied_max, c["applied_db"][ch][k].num - level[ch]);
      double f = grid[k].num;
      if (f < 50 || f > 16000) continue;
      double pos = f / 48000 * 65536, w = pos - std::floor(pos);
      size_t b = static_cast<size_t>(pos);
      EXPECT_NEAR(c["applied_db"][ch][k].num, db[b] * (1 - w) + db[b + 1] * w, 0.5) << ch << " at " << f << " Hz";
    }
    EXPECT_GT(computed_max, 8.0);
    EXPECT_LE(applied_max, 4.0 + 1e-3);
  }
  // The plot draws the curve relative to its level and names it.
  std::string svg = slurp(dir / "rep" / c["plot"].str);
  char legend[64];
  std::snprintf(legend, sizeof legend, "correction, channel 1 - level %+.2f dB", level[0]);
  EXPECT_THAT(svg, HasSubstr(legend));
  EXPECT_THAT(svg, HasSubstr("(gain range 0, limits "));
}

TEST_F(Report, LatencyFollowsTheTrimmingAndThePhase) {
  struct Case {
    std::vector<std::string> args;
    int latency;
  } cases[] = {
      {{}, 2048},
      {{"-ihc", "25"}, 1024},  // a quarter of 4096 taps cut from the start
      {{"-itc", "25"}, 2048},
      {{"-ph", "minimum"}, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-mf", "m.wav", "-cf", "eq.wav", "-p", "ir", "-ir", "ir.wav", "-r", "rep"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    Json j = read_report(dir / "rep/report.json");
    const Json& child = j["groups"][0]["children"][0];
    EXPECT_EQ(child["latency"]["samples"].num, c.latency) << testing::PrintToString(c.args);
    // The written IR peaks at the latency.
    Audio ir = e2e::read_wav(dir / "ir.wav");
    size_t peak_at = 0;
    for (size_t t = 0; t < ir.frames(); ++t)
      if (std::fabs(ir.data[0][t]) > std::fabs(ir.data[0][peak_at])) peak_at = t;
    EXPECT_LE(std::labs(static_cast<long>(peak_at) - c.latency), 2) << testing::PrintToString(c.args);
  }
}

TEST_F(Report, PageLinksOnlyToFilesThatExist) {
  fs::create_directories(dir / "sub dir");
  auto r = run({"-mf", "m.wav", "-cf", "eq.wav", "-cf", "dark.wav", "-p", "audio,frm", "-f", "sub dir/${file_name} & co.wav",
                "-r", "rep"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string html = slurp(dir / "rep/index.html");
  EXPECT_THAT(html, HasSubstr("<html"));
  auto found = links(html);
  EXPECT_GE(found.size(), 5u);  // the report, two plots, two outputs, the master's response
  for (const std::string& link : found) {
    EXPECT_EQ(link.find("://"), std::string::npos) << link;  // nothing from the network
    // '&' is written as an entity inside an attribute.
    std::string target = unescape(std::regex_replace(link, std::regex("&amp;"), "&"));
    EXPECT_TRUE(fs::exists(dir / "rep" / target)) << link;
  }
  // No script is needed to read it.
  EXPECT_THAT(html, testing::Not(HasSubstr("<script")));
}

TEST_F(Report, SkippedChildrenAndLostGroupsAreReported) {
  auto r = run({"-mf", "m.wav", "-cf", "eq.wav", "-d", "out"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = run({"-mf", "m.wav", "-cf", "eq.wav", "-cf", "dark.wav", "-d", "out", "-se", "true", "-r", "rep"});
  ASSERT_EQ(r.status, 0) << r.err;
  Json j = read_report(dir / "out/rep/report.json");
  const Json& children = j["groups"][0]["children"];
  ASSERT_EQ(children.items.size(), 2u);
  EXPECT_EQ(children[0]["outcome"].str, "skipped");
  EXPECT_EQ(children[0]["status"].num, 0);
  EXPECT_EQ(children[0]["message"].str, "all outputs exist");
  EXPECT_EQ(children[1]["outcome"].str, "done");

  write_text("run.json5", "{produce: ['audio'], file: '${group}.wav',"
                          " groups: {lost: {master: 'gone.wav', files: ['eq.wav']}, kept: {master: 'm.wav', files: ['dark.wav']}}}");
  r = run({"-c", "run.json5", "-k", "true", "-r", "rep2"});
  EXPECT_EQ(r.status, 6);
  j = read_report(dir / "rep2/report.json");
  EXPECT_EQ(j["status"].num, 6);
  ASSERT_EQ(j["groups"].items.size(), 2u);
  int seen = 0;
  for (const Json& g : j["groups"].items) {
    if (g["name"].str == "lost") {
      EXPECT_EQ(g["outcome"].str, "failed");
      EXPECT_EQ(g["status"].num, 6);
      EXPECT_EQ(g["message"].type, Json::STRING);
      ++seen;
    } else {
      EXPECT_EQ(g["name"].str, "kept");
      EXPECT_EQ(g["outcome"].str, "done");
      EXPECT_EQ(g["children"][0]["files"][0]["path"].str, "../kept.wav");
      ++seen;
    }
  }
  EXPECT_EQ(seen, 2);
}

// Whether two values are equal in every member but those named in `skip`
// (at any depth).
bool same_except(const Json& a, const Json& b, const std::vector<std::string>& skip) {
  if (a.type != b.type || a.b != b.b || a.str != b.str || a.items.size() != b.items.size() ||
      a.members.size() != b.members.size())
    return false;
  if (a.type == Json::NUMBER && a.num != b.num) return false;
  for (size_t i = 0; i < a.items.size(); ++i)
    if (!same_except(a.items[i], b.items[i], skip)) return false;
  for (size_t i = 0; i < a.members.size(); ++i) {
    if (a.members[i].first != b.members[i].first) return false;
    if (std::find(skip.begin(), skip.end(), a.members[i].first) != skip.end()) continue;
    if (!same_except(a.members[i].second, b.members[i].second, skip)) return false;
  }
  return true;
}

TEST_F(Report, ResumedRunKeepsTheRecordsOfUpToDateChildren) {
  // One run after the other in the same directories; each row says what
  // changed before it and what each child's record must be then:
  // 'f' the record the replaced report had (skipped), 'p' the same without
  // its plot, 'n' a new record (done), 'e' an empty skipped card.
  struct Step {
    const char* what;
    std::vector<std::string> extra;
    std::function<void()> before;
    std::string expect;  // per child: eq.wav, dark.wav
    const char* warning;
  };
  const std::vector<std::string> base = {"-mf", "m.wav", "-cf", "eq.wav", "-cf", "dark.wav", "-d", "out",
                                         "-lu", "-20", "-tl", "-1", "-se", "true", "-r", "rep"};
  const fs::path rep = dir / "out/rep";
  Json before;                                   // the report the step's run replaces
  std::map<std::string, std::string> old_plots;  // its plots: name -> contents
  const std::vector<Step> steps = {
      {"first run", {}, [] {}, "nn", nullptr},
      {"nothing changed", {}, [] {}, "ff", nullptr},
      {"again, from a resumed report, in parallel", {"-j", "2"}, [] {}, "ff", nullptr},
      {"a child re-recorded",
       {},
       [&] { write("dark.wav", e2e::filtered(e2e::noise(48000, 2, 20000, 52), e2e::Biquad::high_shelf(48000, 2000, -4))); },
       "fn", nullptr},
      {"the earlier plot gone", {}, [&] { fs::remove(rep / "plot-1-1-eq.svg"); }, "pf", nullptr},
      {"fewer outputs than the earlier record lists", {"-p", "audio"}, [] {}, "ee", nullptr},
      // The children run again for the new output and list it with the
      // outputs they keep; the next run keeps those records.
      {"an output added", {"-p", "audio,raw,ir"}, [] {}, "nn", nullptr},
      {"nothing changed after it", {"-p", "audio,raw,ir"}, [] {}, "ff", nullptr},
      {"an earlier report that is not one",
       {},
       [&] { write_text("out/rep/report.json", "{\"report_format\": 1, \"groups\": ["); },
       "ee", "[WRN] earlier report 'out/rep/report.json' is not used: "},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.before();
    std::vector<std::string> args = base;
    args.insert(args.end(), step.extra.begin(), step.extra.end());
    if (std::find(args.begin(), args.end(), "-p") == args.end()) args.insert(args.end(), {"-p", "audio,raw"});
    auto r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    if (step.warning) EXPECT_THAT(r.err, HasSubstr(step.warning));
    else EXPECT_EQ(r.err, "");
    const size_t skipped = step.expect.size() - std::count(step.expect.begin(), step.expect.end(), 'n');
    EXPECT_THAT(r.out, HasSubstr(std::to_string(skipped) + " children skipped"));
    Json j = read_report(rep / "report.json");
    const Json& children = j["groups"][0]["children"];
    ASSERT_EQ(children.items.size(), 2u);
    std::string html = slurp(rep / "index.html");
    for (size_t i = 0; i < 2; ++i) {
      const Json& c = children[i];
      const Json& was = before["groups"][0]["children"][i];
      SCOPED_TRACE(c["input"]["path"].str);
      EXPECT_EQ(c["status"].num, 0);
      EXPECT_EQ(c["outcome"].str, step.expect[i] == 'n' ? "done" : "skipped");
      if (step.expect[i] != 'n') {
        EXPECT_EQ(c["message"].str, "all outputs exist");
      }
      if (step.expect[i] == 'f') {
        // Measurements, curves, limiter, delivery, files and plot as the
        // run that made the outputs wrote them; the plot file is its own.
        EXPECT_TRUE(same_except(c, was, {"outcome", "message"}));
        EXPECT_EQ(slurp(rep / c["plot"].str), old_plots[was["plot"].str]);
        const std::vector<std::string> linked = links(html);
        EXPECT_NE(std::find(linked.begin(), linked.end(), c["plot"].str), linked.end());
      } else if (step.expect[i] == 'p') {
        // No plot to keep: none is drawn from the record, none is linked.
        EXPECT_TRUE(same_except(c, was, {"outcome", "message", "plot"}));
        EXPECT_EQ(c["plot"].type, Json::NUL);
      } else if (step.expect[i] == 'e') {
        EXPECT_EQ(c["output"]["path"].type, Json::NUL);
        EXPECT_EQ(c["files"].items.size(), 0u);
        EXPECT_EQ(c["plot"].type, Json::NUL);
        EXPECT_EQ(c["spectrum_db"].type, Json::NUL);
      } else {
        // Made now: a record of its own, with its curves, listing every
        // output asked for, written or kept as up to date.
        const std::string& produce = *(std::find(args.begin(), args.end(), "-p") + 1);
        EXPECT_EQ(c["files"].items.size(), 1u + std::count(produce.begin(), produce.end(), ','));
        EXPECT_EQ(c["applied_db"].items.size(), 2u);
        EXPECT_EQ(c["delivery"]["loudness_lufs"].type, c["output"]["path"].type == Json::NUL ? Json::NUL : Json::NUMBER);
        if (&step != &steps[0]) {
          EXPECT_FALSE(same_except(c, was, {"outcome", "message"}));
        }
      }
    }
    // The page links only files that exist.
    for (const std::string& link : links(html)) EXPECT_TRUE(fs::exists(rep / unescape(link))) << link;
    before = j;
    old_plots.clear();
    for (const Json& c : children.items)
      if (c["plot"].type == Json::STRING) old_plots[c["plot"].str] = slurp(rep / c["plot"].str);
  }
}

TEST_F(Report, ReportFilesAreCheckedWithTheOutputs) {
  // The report's own files are outputs of the run: processed audio named
  // like one of them would be lost under the report.
  e2e::Snapshot before = e2e::snapshot(dir);
  auto r = run({"-mf", "m.wav", "-cf", "eq.wav", "-f", "report.json", "-r", "."});
  EXPECT_EQ(r.status, 17);
  EXPECT_THAT(r.err, HasSubstr("report.json'"));
  EXPECT_THAT(r.out, testing::Not(HasSubstr("loaded file")));
  EXPECT_EQ(e2e::snapshot(dir), before);

  // So are its plots: an input or an output named like one is found before
  // any work, and nothing is touched.
  fs::create_directories(dir / "rep");
  fs::copy_file(dir / "m.wav", dir / "rep" / "plot-1-2-dark.svg");
  struct Case {
    std::vector<std::string> args;
    const char* line;
  } cases[] = {
      {{"-mf", "rep/plot-1-2-dark.svg", "-cf", "eq.wav", "-cf", "dark.wav", "-r", "rep"},
       "  output 'rep/plot-1-2-dark.svg' would overwrite input 'rep/plot-1-2-dark.svg'\n"},
      {{"-mf", "m.wav", "-cf", "eq.wav", "-f", "rep/plot-1-1-eq.svg", "-r", "rep"},
       "  outputs of 'eq.wav' (audio) and 'the run' (report) both resolve to 'rep/plot-1-1-eq.svg'\n"},
  };
  // A report directory whose way passes a file, a link to nothing, or an
  // output the run writes: found before any work as well.
  fs::create_symlink("nowhere/at/all", dir / "dangling");
  const Case ways[] = {
      {{"-mf", "m.wav", "-cf", "eq.wav", "-r", "m.wav/rep"},
       "report directory 'm.wav/rep' cannot be made: 'm.wav' is not a directory\n"},
      {{"-mf", "m.wav", "-cf", "eq.wav", "-r", "dangling/rep"},
       "report directory 'dangling/rep' cannot be made: 'dangling' is a symbolic link to nothing\n"},
      {{"-mf", "m.wav", "-cf", "eq.wav", "-f", "o", "-r", "o/rep"},
       "report directory 'o/rep' cannot be made: output 'o' is written there\n"},
  };
  for (const Case& c : ways) {
    before = e2e::snapshot(dir);
    r = run(c.args);
    EXPECT_EQ(r.status, 17) << c.line;
    EXPECT_EQ(r.err, c.line);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(e2e::snapshot(dir), before);
  }
  fs::remove(dir / "dangling");

  for (const Case& c : cases) {
    before = e2e::snapshot(dir);
    r = run(c.args);
    EXPECT_EQ(r.status, 17) << c.line;
    EXPECT_EQ(r.err, c.line);
    EXPECT_THAT(r.out, testing::Not(HasSubstr("loaded file")));
    EXPECT_EQ(e2e::snapshot(dir), before);
  }

  // A report directory that is a file is found before any work.
  for (const char* f : {"report.json", "index.html", "plot-1-1-eq.svg"}) fs::remove(dir / f);
  before = e2e::snapshot(dir);
  r = run({"-mf", "m.wav", "-cf", "eq.wav", "-r", "m.wav"});
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.out, testing::Not(HasSubstr("loaded file")));
  EXPECT_EQ(e2e::snapshot(dir), before);
}

TEST_F(Report, FailedRunStillWritesItsReport) {
  // Going on past a missing child: the report says which child failed and
  // why, next to the one that was done.
  auto r = run({"-k", "true", "-mf", "m.wav", "-cf", "eq.wav", "-cf", "missing.wav", "-r", "rep"});
  EXPECT_EQ(r.status, 6);
  Json j = read_report(dir / "rep/report.json");
  EXPECT_EQ(j["status"].num, 6);
  const Json& children = j["groups"][0]["children"];
  ASSERT_EQ(children.items.size(), 2u);
  EXPECT_EQ(children[0]["status"].num, 0);
  EXPECT_EQ(children[1]["input"]["path"].str, "missing.wav");
  EXPECT_EQ(children[1]["status"].type, Json::NUMBER);
  EXPECT_EQ(children[1]["status"].num, 6);
  EXPECT_EQ(children[1]["outcome"].str, "failed");
  EXPECT_THAT(children[1]["message"].str, HasSubstr("no such file"));
  EXPECT_TRUE(children[1]["files"].items.empty());
  std::string html = slurp(dir / "rep/index.html");
  EXPECT_THAT(html, HasSubstr("missing.wav"));

  // Without -k the run ends at the failure (a child that opens but holds
  // a NaN: a missing one would end the run before any work); the report
  // holds what was done.
  fs::remove_all(dir / "rep");
  e2e::Audio nan = e2e::noise(48000, 2, 4800, 77);
  nan.data[0][10] = NAN;
  write("nan.wav", nan);
  r = run({"-mf", "m.wav", "-cf", "eq.wav", "-cf", "nan.wav", "-cf", "dark.wav", "-r", "rep"});
  EXPECT_EQ(r.status, 9);
  j = read_report(dir / "rep/report.json");
  EXPECT_EQ(j["status"].num, 9);
  EXPECT_EQ(j["groups"][0]["children"][0]["status"].num, 0);
  EXPECT_TRUE(fs::exists(dir / "rep/index.html"));
  for (const std::string& link : links(slurp(dir / "rep/index.html")))
    EXPECT_TRUE(fs::exists(dir / "rep" / unescape(link))) << link;
}

}  // namespace
