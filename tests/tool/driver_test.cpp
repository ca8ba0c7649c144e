// Arithmetic and value parsing of the driver that the end-to-end runs can
// only see indirectly.

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "analysis/sample.h"
#include "audio/sample_file.h"
#include "expr/variables.h"
#include "runtime/status.h"
#include "tool/command_line.h"
#include "tool/naming.h"
#include "tool/pipeline.h"
#include "tool/tool_config.h"

TEST(DriverArithmetic, DecibelGains) {
  EXPECT_EQ(mix_gain(-150.0f), 0.0f);
  EXPECT_EQ(mix_gain(-1000.0f), 0.0f);
  EXPECT_GT(mix_gain(-149.9f), 0.0f);
  EXPECT_NEAR(mix_gain(-149.9f), 3.2e-8f, 1e-9f);
  EXPECT_EQ(mix_gain(200.0f), mix_gain(150.0f));
  EXPECT_NEAR(mix_gain(150.0f), std::pow(10.0, 7.5), std::pow(10.0, 7.5) * 1e-6);
  EXPECT_NEAR(decibels_to_gain(-6.0f), 0.501187f, 1e-6f);
  EXPECT_EQ(decibels_to_gain(0.0f), 1.0f);
  // The peak gain has no clamp.
  EXPECT_EQ(decibels_to_gain(-1000.0f), 0.0f);
  EXPECT_TRUE(std::isinf(decibels_to_gain(1000.0f)));
}

TEST(DriverArithmetic, FftRankClamp) {
  EXPECT_EQ(effective_fft_rank(-3), 8u);
  EXPECT_EQ(effective_fft_rank(0), 8u);
  EXPECT_EQ(effective_fft_rank(5), 8u);
  EXPECT_EQ(effective_fft_rank(9), 9u);
  EXPECT_EQ(effective_fft_rank(16), 16u);
  EXPECT_EQ(effective_fft_rank(20), 16u);
}

TEST(DriverArithmetic, Durations) {
  char text[32];
  format_duration(text, 96000, 48000);
  EXPECT_STREQ(text, "00:00:02.000");
  format_duration(text, 3723456, 1000);
  EXPECT_STREQ(text, "01:02:03.456");
  format_duration(text, 100ull * 3600 * 1000, 1000);  // hours are not reduced modulo 24
  EXPECT_STREQ(text, "100:00:00.000");
  format_duration(text, 5, 0);
  EXPECT_STREQ(text, "00:00:00.000");
}

TEST(ValueParsers, Numbers) {
  float f = 1.0f;
  EXPECT_EQ(parse_float_option("-6", "dry", &f), 0);
  EXPECT_EQ(f, -6.0f);
  EXPECT_EQ(parse_float_option(" 2.5e1 ", "dry", &f), 0);
  EXPECT_EQ(f, 25.0f);
  EXPECT_EQ(parse_float_option("1 2", "dry", &f), 28);
  EXPECT_EQ(parse_float_option("", "dry", &f), 28);
  EXPECT_EQ(f, 25.0f);
  int64_t i = 7;
  EXPECT_EQ(parse_integer_option("0x5622", "sample rate", &i), 0);
  EXPECT_EQ(i, 22050);
  EXPECT_EQ(parse_integer_option("44100.0", "sample rate", &i), 28);
  EXPECT_EQ(parse_integer_option("true", "sample rate", &i), 28);
  EXPECT_EQ(i, 22050);
}

TEST(ValueParsers, Booleans) {
  bool b = true;
  EXPECT_EQ(parse_boolean_option("0.4", "mastering", &b), 0);
  EXPECT_FALSE(b);
  EXPECT_EQ(parse_boolean_option("0.5", "mastering", &b), 0);
  EXPECT_TRUE(b);
  EXPECT_EQ(parse_boolean_option("FaLsE", "mastering", &b), 0);
  EXPECT_FALSE(b);
  EXPECT_EQ(parse_boolean_option("-1", "mastering", &b), 0);
  EXPECT_TRUE(b);
  EXPECT_EQ(parse_boolean_option("yes", "mastering", &b), 28);
  EXPECT_TRUE(b);
}

TEST(ValueParsers, Keywords) {
  uint64_t v = 99;
  EXPECT_EQ(parse_normalize_option("Above", &v), 0);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(parse_normalize_option("ALWAYS", &v), 0);
  EXPECT_EQ(v, 3u);
  EXPECT_EQ(parse_normalize_option("1", &v), 7);
  EXPECT_EQ(parse_normalize_option("none x", &v), 28);
  EXPECT_EQ(v, 3u);
  EXPECT_EQ(parse_produce_option("", &v), 0);
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(parse_produce_option("IR,Audio", &v), 0);
  EXPECT_EQ(v, 5u);
  EXPECT_EQ(parse_produce_option(" frm , frc ", &v), 0);
  EXPECT_EQ(v, 24u);
  EXPECT_EQ(parse_produce_option("all", &v), 0);
  EXPECT_EQ(v, 31u);
  EXPECT_EQ(parse_produce_option("ir,,raw", &v), 7);
  EXPECT_EQ(parse_produce_option("ir,", &v), 7);
  EXPECT_EQ(parse_produce_option("ir,bogus", &v), 7);
  EXPECT_EQ(parse_produce_option("ir 1", &v), 7);
  EXPECT_EQ(v, 31u);
}

namespace {

namespace fs = std::filesystem;

bool set_text(String* s, const std::string& text) { return string_from_utf8(s, text.data(), text.size()); }

// Evaluates `templ` with `vars`; the name, or "<status N>".
std::string evaluate(Variables* vars, const std::string& templ) {
  String t, name;
  string_init(&t);
  string_init(&name);
  std::string result;
  EXPECT_TRUE(set_text(&t, templ));
  testing::internal::CaptureStderr();
  int st = evaluate_output_name(&name, &t, vars);
  testing::internal::GetCapturedStderr();
  if (st == 0) {
    const char* u = string_to_utf8(&name);
    result = u ? u : "";
  } else {
    result = "<status " + std::to_string(st) + ">";
  }
  string_free(&t);
  string_free(&name);
  return result;
}

TEST(PatternVariables, DirectoriesAndIndex) {
  ToolConfig cfg;
  ASSERT_EQ(toolconfig_init(&cfg), 0);
  String gname, master, child;
  string_init(&gname);
  string_init(&master);
  string_init(&child);
  ASSERT_TRUE(set_text(&gname, "drums"));
  Group* g = nullptr;
  ASSERT_EQ(group_create(&cfg, &gname, &g), 0);
  ASSERT_TRUE(set_text(&master, "dir\\sub\\kit.wav"));
  ASSERT_TRUE(set_text(&child, "take2/snare.take2.wav"));
  Variables vars;
  ASSERT_EQ(build_pattern_variables(&vars, &cfg, g, &master, &child, 3), 0);
  EXPECT_EQ(evaluate(&vars, "${master_dir}|${file_dir}|${file_index}|${master}|${file_name}|${srate}"),
            "dir/sub|take2|3|kit.wav|snare.take2|48000");
  // file_index is an integer: arithmetic works on it.
  EXPECT_EQ(evaluate(&vars, "${:file_index + 1}"), "4");
  // A name without a directory gives ''; an absolute one in the root too.
  ASSERT_TRUE(set_text(&child, "tom.wav"));
  ASSERT_TRUE(set_text(&master, "/kit.wav"));
  ASSERT_EQ(build_pattern_variables(&vars, &cfg, g, &master, &child), 0);
  EXPECT_EQ(evaluate(&vars, "[${master_dir}][${file_dir}][${file_index}]"), "[][][0]");
  ASSERT_TRUE(set_text(&child, "/abs/dir/x.wav"));
  ASSERT_EQ(build_pattern_variables(&vars, &cfg, g, &master, &child, 1), 0);
  EXPECT_EQ(evaluate(&vars, "${file_dir}"), "/abs/dir");
  EXPECT_EQ(build_pattern_variables(&vars, &cfg, nullptr, &master, &child, 1), STATUS_BAD_ARGUMENT);
  string_free(&gname);
  string_free(&master);
  string_free(&child);
  toolconfig_release(&cfg);
}

// load_input_file over files written by the test, in a scratch directory
// that serves as the source path.
class LoadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/timbral-load-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir = templ;
    ASSERT_EQ(toolconfig_init(&cfg), 0);
    ASSERT_TRUE(set_text(&cfg.src_path, dir.string()));
    sample_init(sample);
  }
  void TearDown() override {
    sample_destroy(sample);
    toolconfig_release(&cfg);
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir, ec);
  }

  // A float WAV of `channels` x `frames` quiet noise at `rate`, with
  // `bad` written at (channel, frame) pairs. Written through libsndfile:
  // the tool's own save refuses NaN and infinities.
  void write(const std::string& name, uint64_t rate, uint64_t channels, uint64_t frames,
             std::initializer_list<std::pair<uint64_t, uint64_t>> bad = {}, float bad_value = 0.0f) {
    std::vector<float> x(channels * frames);
    for (uint64_t c = 0; c < channels; ++c)
      for (uint64_t t = 0; t < frames; ++t) x[t * channels + c] = 0.01f * static_cast<float>((t * 7 + c) % 13);
    for (auto [c, t] : bad) x[t * channels + c] = bad_value;
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = static_cast<int>(channels);
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open((dir / name).c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(sf_writef_float(f, x.data(), static_cast<sf_count_t>(frames)), static_cast<sf_count_t>(frames));
    sf_close(f);
  }

  // Loads `name` at `rate`; the status, and what went to each stream.
  int load(const std::string& name, uint64_t rate) {
    String n;
    string_init(&n);
    EXPECT_TRUE(set_text(&n, name));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int st = load_input_file(&sample, rate, &cfg, &n);
    std::fflush(stdout);
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    string_free(&n);
    return st;
  }

  std::string p(const std::string& rel) { return (dir / rel).string(); }
  std::string read_error(const std::string& rel, int st) {
    return "  could not read file '" + p(rel) + "', error code: " + std::to_string(st) + "\n";
  }

  fs::path dir;
  ToolConfig cfg;
  Sample sample;
  std::string out, err;
};

TEST_F(LoadInput, FileSystemCausesGiveTheSystemsStatus) {
  write("a.wav", 48000, 1, 100);
  EXPECT_EQ(load("missing.wav", 48000), STATUS_NOT_FOUND);
  EXPECT_EQ(err, read_error("missing.wav", 6) + "  No such file or directory\n");
  EXPECT_EQ(out, "");
  fs::create_directory(dir / "folder.wav");
  EXPECT_EQ(load("folder.wav", 48000), STATUS_IS_DIRECTORY);
  EXPECT_EQ(err, read_error("folder.wav", 42) + "  Is a directory\n");
  EXPECT_EQ(load("a.wav/x.wav", 48000), STATUS_PATH_COMPONENT);
  EXPECT_EQ(err, read_error("a.wav/x.wav", 43) + "  Not a directory\n");
  // A readable file that is not audio keeps the audio library's status,
  // and its text as the cause.
  std::ofstream(dir / "text.wav") << "not audio at all, just some text";
  EXPECT_EQ(load("text.wav", 48000), STATUS_BAD_FORMAT);
  ASSERT_EQ(err.rfind(read_error("text.wav", 7) + "  ", 0), 0u) << err;
  EXPECT_GT(err.size(), read_error("text.wav", 7).size() + 3);
  EXPECT_EQ(err.back(), '\n');
  fs::permissions(dir / "a.wav", fs::perms::none);
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  if (geteuid() != 0) {
    EXPECT_EQ(load("a.wav", 48000), STATUS_ACCESS_DENIED);
    EXPECT_EQ(err, read_error("a.wav", 22) + "  Permission denied\n");
    return;
  }
  // Root reads any file: load as the unprivileged user "nobody" in a child.
  String n;
  string_init(&n);
  ASSERT_TRUE(set_text(&n, "a.wav"));
  testing::internal::CaptureStderr();
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    _exit(load_input_file(&sample, 48000, &cfg, &n));
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  err = testing::internal::GetCapturedStderr();
  string_free(&n);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), STATUS_ACCESS_DENIED);
  EXPECT_EQ(err, read_error("a.wav", 22) + "  Permission denied\n");
}

TEST_F(LoadInput, SampleRatesOutsideTheBoundsAreRefusedBeforeResampling) {
  // 3 Hz to 48 kHz would need a buffer 16000 times the file.
  write("three.wav", 3, 2, 1000);
  EXPECT_EQ(load("three.wav", 48000), STATUS_UNSUPPORTED);
  EXPECT_EQ(err, read_error("three.wav", 8) + "  file '" + p("three.wav") +
                     "' has the sample rate 3 Hz, below the lowest supported rate of 1000 Hz\n");
  EXPECT_EQ(out, "");
  write("low.wav", 999, 1, 100);
  EXPECT_EQ(load("low.wav", 48000), STATUS_UNSUPPORTED);
  // The factor 256 in both directions, inclusive.
  write("k1.wav", 1000, 1, 100);
  EXPECT_EQ(load("k1.wav", 256000), 0) << err;
  EXPECT_EQ(sample.sample_rate, 256000u);
  EXPECT_EQ(load("k1.wav", 256001), STATUS_UNSUPPORTED);
  EXPECT_EQ(err, read_error("k1.wav", 8) + "  file '" + p("k1.wav") +
                     "' has the sample rate 1000 Hz, more than a factor of 256 from the run's sample rate of "
                     "256001 Hz\n");
  write("high.wav", 1000 * 256 + 1, 1, 100);
  EXPECT_EQ(load("high.wav", 1000), STATUS_UNSUPPORTED);
  EXPECT_EQ(load("high.wav", 1001), 0) << err;
}

TEST_F(LoadInput, NonFiniteSamplesNameTheFirstBadFrame) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  write("nan.wav", 48000, 2, 300, {{1, 17}, {0, 250}}, nan);
  EXPECT_EQ(load("nan.wav", 48000), STATUS_MALFORMED);
  EXPECT_EQ(err, read_error("nan.wav", 9) + "  file '" + p("nan.wav") +
                     "' holds a NaN or infinite sample at frame 17\n");
  EXPECT_EQ(out, "");
  write("inf.wav", 48000, 1, 300, {{0, 0}}, -inf);
  EXPECT_EQ(load("inf.wav", 48000), STATUS_MALFORMED);
  EXPECT_EQ(err, read_error("inf.wav", 9) + "  file '" + p("inf.wav") +
                     "' holds a NaN or infinite sample at frame 0\n");
  write("last.wav", 48000, 3, 300, {{2, 299}}, inf);
  EXPECT_EQ(load("last.wav", 48000), STATUS_MALFORMED);
  EXPECT_NE(err.find("at frame 299\n"), std::string::npos) << err;
  // Finite values pass up to the bound of 1e15, and are out of range past it
  // (the files are shorter than one analysis frame, which is said).
  write("edge.wav", 48000, 1, 300, {{0, 5}}, 1e15f);
  EXPECT_EQ(load("edge.wav", 48000), 0) << err;
  EXPECT_EQ(err, "  [WRN] file '" + p("edge.wav") + "' is shorter than one analysis frame: 300 samples, the frame has 4096\n");
  write("big.wav", 48000, 1, 300, {{0, 5}}, -std::numeric_limits<float>::max());
  EXPECT_EQ(load("big.wav", 48000), STATUS_MALFORMED);
  EXPECT_EQ(err, read_error("big.wav", 9) + "  file '" + p("big.wav") +
                     "' holds a sample out of range at frame 5: its magnitude passes 1e+15\n");
}

TEST_F(LoadInput, NulInTheNameIsRefused) {
  write("a.wav", 48000, 1, 100);
  String n;
  string_init(&n);
  const uint32_t chars[] = {'a', '.', 'w', 'a', 'v', 0, 'x'};
  ASSERT_TRUE(string_assign_chars(&n, chars, 7));
  testing::internal::CaptureStderr();
  EXPECT_EQ(load_input_file(&sample, 48000, &cfg, &n), STATUS_BAD_FORMAT);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "  could not read file 'a.wav\\u0000x', error code: 7\n  the name contains a NUL character\n");
  string_free(&n);
}

}  // namespace
