// The command line of the program: messages, exit statuses, help and the
// value parsers, observed through the files a run writes.

#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;
using e2e::E2ETest;
using testing::HasSubstr;

namespace {

class CommandLine : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    write("m.wav", e2e::noise(48000, 1, 6000, 1));
    write("c.wav", e2e::noise(48000, 1, 9000, 2, 0.6));
  }
  // A run of the command-line group m.wav / c.wav with extra options.
  e2e::ToolRun run_group(std::vector<std::string> extra) {
    std::vector<std::string> args = {"-mf", "m.wav", "-cf", "c.wav"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args);
  }
};

TEST_F(CommandLine, NoArguments) {
  auto r = run({});
  EXPECT_EQ(r.status, 13);
  EXPECT_EQ(r.err, "Not defined configuration file name\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(CommandLine, HelpListsEveryOptionInAColumn) {
  auto r = run({"-dg", "-6", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_THAT(r.out, testing::StartsWith("usage: " + e2e::tool_path() + " [arguments]\navailable arguments:\n"));
  // The widest joined name is "-lc, --latency-compensation" (27 characters).
  EXPECT_THAT(r.out, HasSubstr("\n  -lc, --latency-compensation    "));
  EXPECT_THAT(r.out, HasSubstr("\n  -c, --config                   Configuration file name (required if no -mf option is set)\n"));
  EXPECT_THAT(r.out, HasSubstr("\n  -wg, --wet                     The amount (in dB) of processed signal in output file\n"));
  EXPECT_THAT(r.out, HasSubstr("\"default\" if not set\n"));
  // The original 26 option lines come first, exactly as they always read;
  // the options added since follow in the same layout, then the manual.
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_GT(lines.size(), 29u);
  EXPECT_EQ(lines[2], "  -c, --config                   Configuration file name (required if no -mf option is set)");
  EXPECT_EQ(lines[27], "  -wg, --wet                     The amount (in dB) of processed signal in output file");
  EXPECT_EQ(lines[28], "  -V, --version                  Output the version and exit");
  EXPECT_THAT(lines.back(), HasSubstr("man timbral"));
  for (size_t i = 2; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(lines[i].substr(0, 2), "  ") << lines[i];
    EXPECT_EQ(lines[i][31], ' ') << lines[i];
    EXPECT_NE(lines[i][33], ' ') << lines[i];
  }
  EXPECT_TRUE(e2e::list_files(dir).size() == 2);  // nothing written
}

TEST_F(CommandLine, VersionAndQuiet) {
  auto r = run({"-V"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "timbral 0.2.0\n");
  EXPECT_EQ(r.err, "");
  r = run({"--version", "--bogus"});
  EXPECT_EQ(r.out, "timbral 0.2.0\n");
  EXPECT_EQ(r.status, 0);
  // -V takes no value; -q takes one, like every other option.
  r = run({"-q"});
  EXPECT_EQ(r.status, 13);
  EXPECT_EQ(r.err, "Not defined value for option: --quiet\n  -q needs a value: true or false\n");
  r = run({"-q", "yes", "-mf", "m.wav"});
  EXPECT_EQ(r.status, 28);
  EXPECT_THAT(r.err, testing::StartsWith("Bad 'quiet' value\n"));
}

TEST_F(CommandLine, UsageErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"x.wav"}, "Invalid argument: x.wav\n"},
      {{"-x", "1"}, "Invalid argument: -x\n"},
      {{"--bogus", "1"}, "Invalid option: --bogus\n"},
      {{"-mf"}, "Not defined value for option: --master\n"},
      {{"-mf", "m.wav", "-cf"}, "Not defined value for option: --child\n"},
      {{"-s", "a", "--src-path", "b", "-mf", "m.wav"}, "Duplicate option: --src-path\n"},
      {{"-mf", "m.wav", "-d", "a", "-d", "b"}, "Duplicate option: --dst-path\n"},
      {{"-x", "--help"}, "Invalid argument: -x\n"},
  };
  for (const auto& c : cases) {
    auto r = run(c.args);
    EXPECT_EQ(r.status, 13) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  auto r = run({"--help", "-x"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST_F(CommandLine, ChildAsLastOptionAndGroupOrder) {
  auto r = run({"-mf", "m.wav", "-d", "out", "-cf", "c.wav"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, testing::StartsWith("processing group 'default'...\n"));
  // Only the processed audio with a command-line group.
  EXPECT_EQ(e2e::list_files(dir / "out"), std::vector<std::string>{"m/c - processed.wav"});
}

TEST_F(CommandLine, BadNumbers) {
  auto r = run_group({"--srate", "44100.0"});
  EXPECT_EQ(r.status, 28);
  EXPECT_THAT(r.err, testing::StartsWith("Bad 'sample rate' value\n"));
  r = run_group({"-fr", "abc"});
  EXPECT_EQ(r.status, 28);
  EXPECT_THAT(r.err, testing::StartsWith("Bad 'FFT rank' value\n"));
  r = run_group({"-dg", "-6 dB"});
  EXPECT_EQ(r.status, 28);
  EXPECT_THAT(r.err, testing::StartsWith("Bad 'dry' value\n"));
  r = run_group({"-m", "yes"});
  EXPECT_EQ(r.status, 28);
  EXPECT_THAT(r.err, testing::StartsWith("Bad 'mastering' value\n"));
  r = run_group({"-ml", "on"});
  EXPECT_EQ(r.status, 28);
  EXPECT_THAT(r.err, testing::StartsWith("Bad 'match length' value\n"));
  // A number is read as the configuration file reads it: finite as kept
  // (minus infinity is a silent dry signal) and in range as written.
  r = run_group({"-dg", "1e39"});
  EXPECT_EQ(r.status, 28);
  EXPECT_EQ(r.err, "Bad 'dry' value\n  '1e39': dry is a number in dB\n");
  r = run_group({"-tla", "0.4999999999"});
  EXPECT_EQ(r.status, 28);
  EXPECT_EQ(r.err, "Bad 'limiter lookahead' value\n  '0.4999999999': limiter lookahead is 0.5..10 ms\n");
  EXPECT_TRUE(e2e::list_files(dir).size() == 2);
}

TEST_F(CommandLine, HexadecimalSampleRate) {
  auto r = run_group({"-sr", "0x5622"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto out = e2e::read_wav(dir / "m/c - processed.wav");
  EXPECT_EQ(out.rate, 22050);
}

TEST_F(CommandLine, MasteringBooleans) {
  // The processed length follows the convolved input: the master (6000
  // frames) normally, the child (9000) in mastering mode.
  struct Case {
    const char* value;
    bool mastering;
  } cases[] = {{"0.4", false}, {"0.5", true}, {"TRUE", true}, {"false", false}, {"2", true}};
  for (const auto& c : cases) {
    auto r = run_group({"-m", c.value, "-ml", "1"});
    ASSERT_EQ(r.status, 0) << c.value << r.err;
    auto out = e2e::read_wav(dir / "m/c - processed.wav");
    EXPECT_EQ(out.frames(), c.mastering ? 9000u : 6000u) << c.value;
  }
}

TEST_F(CommandLine, ProduceLists) {
  auto r = run_group({"-p", ""});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "processing group 'default'...\n");
  EXPECT_EQ(e2e::list_files(dir).size(), 2u);

  for (const char* bad : {"ir,,raw", "ir,", ",ir", "ir raw"}) {
    r = run_group({"-p", bad});
    EXPECT_EQ(r.status, 7) << bad;
    EXPECT_EQ(r.err, "Argument 'produce': invalid syntax\n") << bad;
  }
  r = run_group({"-p", "ir,bogus"});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.err, "Argument 'produce': unknown value 'bogus'\n");

  r = run_group({"-p", "IR,Audio"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::list_files(dir / "m"), (std::vector<std::string>{"c - IR.wav", "c - processed.wav"}));
}

TEST_F(CommandLine, TemplatesAddOutputsInGroupMode) {
  // --produce is applied after --ir-file but before --fr-master.
  auto r = run_group({"-p", "audio", "-ir", "x.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(dir / "x.wav"));
  EXPECT_TRUE(fs::exists(dir / "m/c - processed.wav"));
  fs::remove_all(dir / "m");
  r = run_group({"-p", "audio", "-frm", "fm.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir / "fm.wav"));
  EXPECT_TRUE(fs::exists(dir / "m/c - processed.wav"));
  r = run_group({"-iw", "raw ${file_name}.wav", "-frc", "frc.wav", "-d", "o"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::list_files(dir / "o"),
            (std::vector<std::string>{"frc.wav", "m/c - processed.wav", "raw c.wav"}));
}

TEST_F(CommandLine, NormalizeKeywords) {
  auto r = run_group({"-n", "Above", "-ng", "-40"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = run_group({"-n", "1"});
  EXPECT_EQ(r.status, 7);
  EXPECT_THAT(r.err, testing::StartsWith("Bad 'normalize' value\n"));
  r = run_group({"-n", "above below"});
  EXPECT_EQ(r.status, 28);
  EXPECT_THAT(r.err, testing::StartsWith("Bad 'normalize' value\n"));
  r = run_group({"-n", "sometimes"});
  EXPECT_EQ(r.status, 7);
}

}  // namespace
