#include "tool/config_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "runtime/char_reader.h"
#include "runtime/log.h"
#include "runtime/status.h"
#include "tests/support/alloc_fail.h"

namespace {

std::string utf8(String* s) {
  const char* t = string_to_utf8(s);
  return t ? t : "<null>";
}

std::string group_master(ToolConfig* cfg, const char* name) {
  String n;
  string_init(&n);
  std::string out = "<none>";
  if (string_from_utf8(&n, name, std::char_traits<char>::length(name))) {
    if (Group* g = toolconfig_find_group(cfg, &n)) out = utf8(&g->master);
  }
  string_free(&n);
  return out;
}

std::string group_files(ToolConfig* cfg, const char* name) {
  String n;
  string_init(&n);
  std::string out = "<none>";
  if (string_from_utf8(&n, name, std::char_traits<char>::length(name))) {
    if (Group* g = toolconfig_find_group(cfg, &n)) {
      out.clear();
      for (uint64_t i = 0; i < g->files.count; ++i) out += utf8(static_cast<String*>(g->files.items[i])) + ";";
    }
  }
  string_free(&n);
  return out;
}

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/cfgtest.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(toolconfig_init(&cfg_), 0);
  }
  void TearDown() override {
    toolconfig_release(&cfg_);
    std::remove(path().c_str());
    rmdir(dir_.c_str());
  }
  std::string path() const { return dir_ + "/config.json5"; }

  // Writes `text` as the file, loads it and returns the status; the
  // standard-error output of the load is kept in err_.
  int load(const std::string& text) {
    std::ofstream(path(), std::ios::binary) << text;
    ::testing::internal::CaptureStderr();
    int st = load_config_file(&cfg_, path().c_str());
    err_ = ::testing::internal::GetCapturedStderr();
    return st;
  }

  // The mapping's own code for `text`, before the loader turns it into 7.
  int map(const std::string& text) {
    ToolConfig cfg;
    EXPECT_EQ(toolconfig_init(&cfg), 0);
    StringReader sr;
    EXPECT_EQ(sr.set_text(text.data(), text.size()), 0);
    ::testing::internal::CaptureStderr();
    int st = config_map_document(&cfg, &sr);
    err_ = ::testing::internal::GetCapturedStderr();
    (void)sr.close();
    toolconfig_release(&cfg);
    return st;
  }

  std::string dir_;
  std::string err_;
  ToolConfig cfg_;
};

TEST_F(ConfigFileTest, EveryKeyOfTheThreeTables) {
  ASSERT_EQ(load(R"({
    srate: 44100, fft_rank: 13, produce: ['ir', 'AUDIO'], gain_range: 30.5,
    dry: -120, wet: -0.1, normalize: 'Below', norm_gain: -1,
    mastering: true, latency_compensation: 1, match_length: 0.75,
    src_path: "in/dir", dst_path: 'out', file: '${file_name}.wav',
    ir: { head_cut: 1, tail_cut: 50.25, fade_in: 2, fade_out: 10,
          file: 'ir.wav', raw: 'raw.wav', fr_master: 'frm.wav', fr_child: 'frc.wav' },
    groups: { drums: { master: 'kit.wav', files: ['snare.wav', 'tom.wav'] },
              bass: { files: ['b1.wav'], master: 'di.wav' } },
  })"),
            0)
      << err_;
  EXPECT_EQ(err_, "");
  EXPECT_EQ(cfg_.srate, 44100u);
  EXPECT_EQ(cfg_.fft_rank, 13);
  EXPECT_EQ(cfg_.produce, 5u);
  EXPECT_EQ(cfg_.gain_range, 30.5f);
  EXPECT_EQ(cfg_.dry, -120.0f);
  EXPECT_EQ(cfg_.wet, static_cast<float>(-0.1));
  EXPECT_EQ(cfg_.normalize, 2u);
  EXPECT_EQ(cfg_.norm_gain, -1.0f);
  EXPECT_TRUE(cfg_.mastering);
  EXPECT_TRUE(cfg_.latency_compensation);
  EXPECT_TRUE(cfg_.match_length);
  EXPECT_EQ(utf8(&cfg_.src_path), "in/dir");
  EXPECT_EQ(utf8(&cfg_.dst_path), "out");
  EXPECT_EQ(utf8(&cfg_.file), "${file_name}.wav");
  EXPECT_EQ(cfg_.ir.trim.head_cut, 1.0f);
  EXPECT_EQ(cfg_.ir.trim.tail_cut, 50.25f);
  EXPECT_EQ(cfg_.ir.trim.fade_in, 2.0f);
  EXPECT_EQ(cfg_.ir.trim.fade_out, 10.0f);
  EXPECT_EQ(utf8(&cfg_.ir.file), "ir.wav");
  EXPECT_EQ(utf8(&cfg_.ir.raw), "raw.wav");
  EXPECT_EQ(utf8(&cfg_.ir.fr_master), "frm.wav");
  EXPECT_EQ(utf8(&cfg_.ir.fr_child), "frc.wav");
  EXPECT_EQ(cfg_.groups.count, 2u);
  EXPECT_EQ(group_master(&cfg_, "drums"), "kit.wav");
  EXPECT_EQ(group_files(&cfg_, "drums"), "snare.wav;tom.wav;");
  EXPECT_EQ(group_master(&cfg_, "bass"), "di.wav");
  EXPECT_EQ(group_files(&cfg_, "bass"), "b1.wav;");
}

TEST_F(ConfigFileTest, ConversionsAndLaterKeysWin) {
  ASSERT_EQ(load("{dry: -6, wet: -6.0, srate: 1000, srate: 22050, mastering: 0.5, match_length: 0.51,"
                 " latency_compensation: 0, gain_range: 0.1, produce: [], fft_rank: -3, ir: {}}"),
            0);
  EXPECT_EQ(cfg_.dry, -6.0f);
  EXPECT_EQ(cfg_.wet, -6.0f);
  EXPECT_EQ(cfg_.srate, 22050u);
  EXPECT_FALSE(cfg_.mastering);
  EXPECT_TRUE(cfg_.match_length);
  EXPECT_FALSE(cfg_.latency_compensation);
  EXPECT_EQ(cfg_.gain_range, 0.1f);
  EXPECT_EQ(cfg_.produce, 0u);
  EXPECT_EQ(cfg_.fft_rank, -3);
  // Defaults of keys the file does not name stay.
  EXPECT_EQ(cfg_.normalize, 0u);
  EXPECT_EQ(utf8(&cfg_.ir.file), "${master_name}/${file_name} - IR.wav");
}

TEST_F(ConfigFileTest, WrongKindsAreTypeMismatchesReportedAsSeven) {
  const char* cases[] = {
      "{srate: 44100.0}",       "{fft_rank: '12'}",       "{src_path: 1}",
      "{dst_path: null}",       "{file: []}",             "{gain_range: true}",
      "{dry: 'x'}",             "{wet: {}}",              "{mastering: 'yes'}",
      "{norm_gain: null}",      "{latency_compensation: 's'}", "{match_length: []}",
      "{normalize: 1}",         "{produce: 'ir'}",        "{produce: ['ir', 4]}",
      "{ir: 1}",                "{ir: {head_cut: 's'}}",  "{ir: {tail_cut: null}}",
      "{ir: {fade_in: []}}",    "{ir: {fade_out: true}}", "{ir: {file: 1}}",
      "{ir: {raw: 1}}",         "{ir: {fr_master: 1}}",   "{ir: {fr_child: 1}}",
      "{groups: []}",           "{groups: {g: 1}}",       "{groups: {g: {files: 'a'}}}",
      "[]",                     "1",
  };
  for (const char* text : cases) {
    EXPECT_EQ(map(text), STATUS_TYPE_MISMATCH) << text;
    EXPECT_EQ(load(text), STATUS_BAD_FORMAT) << text;
  }
}

TEST_F(ConfigFileTest, StructureErrorsAreSeven) {
  struct Case {
    const char* text;
    int mapped;
  } cases[] = {
      {"{groups: {g: {master: 1}}}", STATUS_BAD_FORMAT},
      {"{groups: {g: {files: [1]}}}", STATUS_BAD_FORMAT},
      {"{} x", STATUS_SYNTAX},
      {"{} {}", STATUS_SYNTAX},
      {"{a: 1", STATUS_CORRUPTED},
      {"", STATUS_END_OF_STREAM},
      {"{normalize: 'sideways'}", STATUS_BAD_FORMAT},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(map(c.text), c.mapped) << c.text;
    EXPECT_EQ(load(c.text), STATUS_BAD_FORMAT) << c.text;
  }
  EXPECT_EQ(load("{normalize: 'sideways'}"), STATUS_BAD_FORMAT);
  EXPECT_EQ(err_, "Error: unknown flag 'sideways'\n");
  EXPECT_EQ(load("{normalize: 'ALWAYS'}"), 0);
  EXPECT_EQ(cfg_.normalize, 3u);
}

TEST_F(ConfigFileTest, ProduceWarnsAboutUnknownFlagsAndKeepsTheRest) {
  ASSERT_EQ(load("{produce: ['IR', 'bogus', 'frc']}"), 0);
  EXPECT_EQ(err_, "Warning: unknown flag 'bogus'\n");
  EXPECT_EQ(cfg_.produce, 17u);
  ASSERT_EQ(load("{produce: ['All']}"), 0);
  EXPECT_EQ(cfg_.produce, 31u);
  // Setting a template leaves produce alone.
  ASSERT_EQ(load("{produce: ['raw'], ir: {file: 'x'}}"), 0);
  EXPECT_EQ(cfg_.produce, 2u);
}

TEST_F(ConfigFileTest, DuplicatesInGroups) {
  EXPECT_EQ(load("{groups: {g: {master: 'a.wav'}, h: {}, g: {master: 'b.wav'}}}"), STATUS_BAD_FORMAT);
  EXPECT_EQ(err_, "[ERR] Duplicate group name: g\n");
  EXPECT_EQ(group_master(&cfg_, "g"), "a.wav");
  EXPECT_EQ(group_master(&cfg_, "h"), "");

  toolconfig_release(&cfg_);
  ASSERT_EQ(toolconfig_init(&cfg_), 0);
  EXPECT_EQ(load("{groups: {k: {master: 'a', files: ['x'], master: 'b'}}}"), STATUS_BAD_FORMAT);
  EXPECT_EQ(err_, "[ERR] Duplicate 'master' property\n");
  // A group that fails part-way keeps what it had received.
  EXPECT_EQ(group_master(&cfg_, "k"), "a");
  EXPECT_EQ(group_files(&cfg_, "k"), "x;");

  EXPECT_EQ(load("{groups: {f: {files: ['x'], files: []}}}"), STATUS_BAD_FORMAT);
  EXPECT_EQ(err_, "[ERR] Duplicate 'files' property\n");

  // The messages go through the log sink.
  FILE* sink = std::tmpfile();
  ASSERT_NE(sink, nullptr);
  FILE* old = log_set_sink(sink);
  EXPECT_EQ(load("{groups: {f: {files: ['y']}}}"), STATUS_BAD_FORMAT);
  log_set_sink(old);
  EXPECT_EQ(err_, "");
  std::rewind(sink);
  char buf[128] = {};
  ASSERT_NE(std::fgets(buf, sizeof buf, sink), nullptr);
  EXPECT_STREQ(buf, "[ERR] Duplicate group name: f\n");
  std::fclose(sink);
}

TEST_F(ConfigFileTest, UnknownKeysAreSkippedWithTheirValues) {
  const size_t depth = 200000;
  std::string deep = "{future: {x: " + std::string(depth, '[') + std::string(depth, ']') +
                     "}, srate: 96000, groups: {g: {comment: [{a: [1]}], master: 'm'}}, ir: {v: {w: 1}, raw: 'r'}}";
  ASSERT_EQ(load(deep), 0);
  // Each unknown key is named in a warning, with the closest known key
  // when one is near.
  EXPECT_EQ(err_,
            "[WRN] Unknown key 'future' skipped\n"
            "[WRN] Unknown key 'comment' skipped\n"
            "[WRN] Unknown key 'v' skipped\n");
  EXPECT_EQ(cfg_.srate, 96000u);
  EXPECT_EQ(group_master(&cfg_, "g"), "m");
  EXPECT_EQ(utf8(&cfg_.ir.raw), "r");
  // Keys match with regard to case.
  ASSERT_EQ(load("{SRATE: 1, Srate: 2, mastring: true}"), 0);
  EXPECT_EQ(cfg_.srate, 96000u);
  EXPECT_FALSE(cfg_.mastering);
  EXPECT_THAT(err_, ::testing::HasSubstr("[WRN] Unknown key 'SRATE' skipped"));
  EXPECT_THAT(err_, ::testing::HasSubstr("[WRN] Unknown key 'mastring' skipped"));
}

TEST_F(ConfigFileTest, MasterMayBeAListOfReferences) {
  ASSERT_EQ(load("{groups: {g: {master: ['a.wav', 'b.wav', 'c.wav'], files: ['x.wav']}, h: {master: 'm.wav'}}}"), 0)
      << err_;
  String name;
  string_init(&name);
  ASSERT_TRUE(string_from_utf8(&name, "g", 1));
  const Group* g = toolconfig_find_group(&cfg_, &name);
  string_free(&name);
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(group_master_count(g), 3u);
  EXPECT_EQ(utf8(const_cast<String*>(group_master_at(g, 0))), "a.wav");
  EXPECT_EQ(utf8(const_cast<String*>(group_master_at(g, 2))), "c.wav");
  EXPECT_EQ(group_master(&cfg_, "h"), "m.wav");
  EXPECT_EQ(load("{groups: {g: {master: []}}}"), STATUS_BAD_FORMAT);
  EXPECT_EQ(load("{groups: {g: {master: ['a.wav', 3]}}}"), STATUS_BAD_FORMAT);
}

TEST_F(ConfigFileTest, MissingFileGivesTheOpenStatus) {
  ::testing::internal::CaptureStderr();
  int st = load_config_file(&cfg_, (dir_ + "/absent.json").c_str());
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(st, STATUS_NOT_FOUND);
}

// Sets the environment's LC_CTYPE for the duration of one test; the
// character set of the file is learnt from the environment.
class LocaleEnvironment {
 public:
  explicit LocaleEnvironment(const char* name) {
    save("LC_ALL", &all_, &had_all_);
    save("LC_CTYPE", &ctype_, &had_ctype_);
    unsetenv("LC_ALL");
    setenv("LC_CTYPE", name, 1);
  }
  ~LocaleEnvironment() {
    restore("LC_ALL", all_, had_all_);
    restore("LC_CTYPE", ctype_, had_ctype_);
  }

 private:
  static void save(const char* var, std::string* out, bool* had) {
    const char* v = std::getenv(var);
    *had = v != nullptr;
    if (v) *out = v;
  }
  static void restore(const char* var, const std::string& value, bool had) {
    if (had) setenv(var, value.c_str(), 1);
    else unsetenv(var);
  }
  std::string all_, ctype_;
  bool had_all_ = false, had_ctype_ = false;
};

TEST_F(ConfigFileTest, FileInTheLocaleCharacterSet) {
  const char* name = "en_US.ISO-8859-1";
  locale_t probe = newlocale(LC_CTYPE_MASK, name, nullptr);
  if (!probe) GTEST_SKIP() << "locale " << name << " is not installed (scripts/test.sh generates it)";
  freelocale(probe);
  const std::string latin1 = "{src_path: 'caf\xE9', groups: {'gr\xFC\xDF': {master: '\xA9.wav'}}}";
  {
    LocaleEnvironment env(name);
    ASSERT_EQ(load(latin1), 0) << err_;
  }
  EXPECT_EQ(utf8(&cfg_.src_path), "caf\xC3\xA9");
  EXPECT_EQ(group_master(&cfg_, "gr\xC3\xBC\xC3\x9F"), "\xC2\xA9.wav");
  // The same bytes are not valid UTF-8.
  LocaleEnvironment env("C.UTF-8");
  EXPECT_EQ(load(latin1), STATUS_BAD_FORMAT);
}

TEST_F(ConfigFileTest, AllocationFailuresLeaveNoLeak) {
  std::ofstream(path(), std::ios::binary)
      << "{srate: 44100, produce: ['ir'], src_path: 'a', ir: {file: 'b'},"
         " groups: {g: {master: 'm', files: ['c', 'd']}}, extra: [[{}]]}";
  std::string file = path();
  for_each_alloc_failure([&] {
    ToolConfig cfg;
    if (toolconfig_init(&cfg) == 0) {
      int st = load_config_file(&cfg, file.c_str());
      bool hit = alloc_failure_hit();
      // An allocation that may fail without harm (a fallback exists) can
      // still give 0; then the whole document must have arrived.
      if (!hit) {
        EXPECT_EQ(st, 0);
      }
      if (st == 0) {
        EXPECT_EQ(cfg.srate, 44100u);
        EXPECT_EQ(cfg.groups.count, 1u);
      }
    }
    toolconfig_release(&cfg);
  });
}

}  // namespace

TEST_F(ConfigFileTest, SettingsAddedToTheOriginalOnes) {
  ASSERT_EQ(load(R"({
    srate: 'source', gain_range: 24, quiet: true, dry_run: 1, keep_going: true, skip_existing: true,
    jobs: 0, report: 'rep', gate: 40, loudness: -16, true_peak: -1, format: 'FLAC', bits: 24, dither: 'none',
    true_peak_limiter: -1.5, limiter_lookahead: 3, limiter_release: 50,
    target_curve: 'house.csv', export_curve: '${file_name}.csv',
    ir: { channel_link: 100, smoothing: 0.333, low_freq: 30, high_freq: 16000, amount: 50,
          max_boost: 12, max_cut: 6, phase: 'Minimum' },
  })"),
            0)
      << err_;
  EXPECT_EQ(err_, "");
  EXPECT_TRUE(cfg_.srate_source);
  EXPECT_EQ(cfg_.gain_range, 24.0f);
  EXPECT_TRUE(cfg_.quiet && cfg_.dry_run && cfg_.keep_going && cfg_.skip_existing);
  EXPECT_EQ(cfg_.jobs, 0);
  EXPECT_EQ(utf8(&cfg_.report), "rep");
  EXPECT_EQ(utf8(&cfg_.target_curve), "house.csv");
  EXPECT_EQ(utf8(&cfg_.export_curve), "${file_name}.csv");
  EXPECT_TRUE(cfg_.gate.on && cfg_.loudness.on && cfg_.true_peak.on);
  EXPECT_EQ(cfg_.gate.value, 40.0f);
  EXPECT_EQ(cfg_.loudness.value, -16.0f);
  EXPECT_EQ(cfg_.true_peak.value, -1.0f);
  EXPECT_EQ(cfg_.format, FORMAT_FLAC);
  EXPECT_EQ(cfg_.bits, BITS_24);
  EXPECT_EQ(cfg_.dither, DITHER_NONE);
  EXPECT_TRUE(cfg_.limiter.on);
  EXPECT_EQ(cfg_.limiter.value, -1.5f);
  EXPECT_EQ(cfg_.limiter_lookahead, 3.0f);
  EXPECT_EQ(cfg_.limiter_release, 50.0f);
  EXPECT_EQ(cfg_.ir.curve.channel_link, 100.0f);
  EXPECT_EQ(cfg_.ir.curve.smoothing, 0.333f);
  EXPECT_EQ(cfg_.ir.curve.low_freq, 30.0f);
  EXPECT_EQ(cfg_.ir.curve.high_freq, 16000.0f);
  EXPECT_EQ(cfg_.ir.curve.amount, 50.0f);
  EXPECT_EQ(cfg_.ir.curve.max_boost, 12.0f);
  EXPECT_EQ(cfg_.ir.curve.max_cut, 6.0f);
  EXPECT_TRUE(cfg_.ir.curve.minimum_phase);
  // Levels switch off again with null or 'off'; a later rate replaces 'source'.
  ASSERT_EQ(load("{gate: null, loudness: 'OFF', srate: 44100, bits: 'float'}"), 0) << err_;
  EXPECT_FALSE(cfg_.gate.on);
  EXPECT_FALSE(cfg_.loudness.on);
  EXPECT_TRUE(cfg_.true_peak.on);
  EXPECT_FALSE(cfg_.srate_source);
  EXPECT_EQ(cfg_.srate, 44100u);
  EXPECT_EQ(cfg_.bits, BITS_FLOAT);
  // A limit of 0 once switched the limit off and now forbids any boost (or
  // cut): a file that gives it is told so, once per key.
  ASSERT_EQ(load("{ir: {max_boost: 0, max_cut: 'off'}}"), 0) << err_;
  EXPECT_EQ(err_, "[WRN] 'max_boost' of 0 now means no boost at all; 'off' means no limit\n");
  EXPECT_EQ(cfg_.ir.curve.max_boost, 0.0f);
  EXPECT_EQ(cfg_.ir.curve.max_cut, kNoLimit);
  ASSERT_EQ(load("{ir: {max_cut: 0.0}}"), 0) << err_;
  EXPECT_EQ(err_, "[WRN] 'max_cut' of 0 now means no cut at all; 'off' means no limit\n");
}

TEST_F(ConfigFileTest, BadValuesNameTheirKey) {
  struct Case {
    const char* text;
    const char* why;
  } cases[] = {
      {"{dry: NaN}", "'dry' must be a finite number"},
      {"{wet: Infinity}", "'wet' must be a finite number"},
      {"{norm_gain: -Infinity}", "'norm_gain' must be a finite number"},
      {"{gain_range: -1}", "'gain_range' must lie between 0 and 600"},
      {"{gain_range: NaN}", "'gain_range' must be a finite number"},
      {"{ir: {head_cut: NaN}}", "'head_cut' must be a finite number"},
      {"{srate: 999}", "'srate' must be an integer from 1000 to 1536000, 'source' or 'child'"},
      {"{srate: 4294967296}", "'srate' must be an integer from 1000 to 1536000, 'source' or 'child'"},
      {"{srate: 'sauce'}", "'srate' must be an integer from 1000 to 1536000, 'source' or 'child'"},
      {"{jobs: -1}", "'jobs' must lie between 0 and 1024"},
      {"{quiet: 'yes'}", "'quiet' must be true or false"},
      {"{ir: {phase: 'minimal'}}", "'phase' must be one of linear, minimum"},
      {"{bits: 20}", "'bits' must be one of float, 16, 24, 32"},
      {"{loudness: 5}", "'loudness' must lie between -70 and 0"},
      {"{true_peak: true}", "'true_peak' must be a number or 'off'"},
      {"{true_peak_limiter: 0.5}", "'true_peak_limiter' must lie between -20 and 0"},
      {"{limiter_lookahead: 0.4}", "'limiter_lookahead' must lie between 0.5 and 10"},
      {"{limiter_release: 9}", "'limiter_release' must be 0 or lie between 10 and 1000"},
      {"{report: 'a\\u0000b'}", "'report' contains a NUL character"},
      {"{groups: {g: {master: 'a\\u0000b.wav'}}}", "'master' contains a NUL character"},
      {"{groups: {g: {files: ['a\\u0000b.wav']}}}", "a file name contains a NUL character"},
  };
  for (const Case& c : cases) {
    ToolConfig cfg;
    ASSERT_EQ(toolconfig_init(&cfg), 0);
    std::ofstream(path(), std::ios::binary) << c.text;
    ConfigError error;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(load_config_file(&cfg, path().c_str(), &error), STATUS_BAD_FORMAT) << c.text;
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_STREQ(error.text, c.why) << c.text;
    toolconfig_release(&cfg);
  }
  // -Infinity is a silent dry or wet signal.
  ASSERT_EQ(load("{dry: -Infinity, wet: -Infinity}"), 0) << err_;
  EXPECT_TRUE(std::isinf(cfg_.dry) && cfg_.dry < 0);
}
