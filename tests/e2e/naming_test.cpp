// Where inputs are read from and outputs are written to, and how bad input
// files are reported.

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;
using e2e::E2ETest;
using testing::HasSubstr;

namespace {

class Naming : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    fs::create_directories(dir / "in");
    write("in/a.wav", e2e::noise(48000, 1, 5000, 3));
    write("in/b.wav", e2e::noise(48000, 1, 5000, 4, 0.5));
  }
};

TEST_F(Naming, SourcePathWithAndWithoutSlash) {
  for (const char* src : {"in", "in/"}) {
    auto r = run({"-s", src, "-mf", "a.wav", "-cf", "b.wav", "-f", "out.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("  loaded file: 'in/a.wav', channels: 1, samples: 5000, sample rate: 48000, duration: 00:00:00.104\n"));
    EXPECT_THAT(r.out, HasSubstr("  loaded file: 'in/b.wav'"));
    // A template without '/' and no destination writes into the working directory.
    EXPECT_THAT(r.out, HasSubstr("  saved file: 'out.wav', channels: 1, samples: 9096, sample rate: 48000, duration: 00:00:00.189\n"));
    EXPECT_TRUE(fs::exists(dir / "out.wav"));
  }
}

TEST_F(Naming, AbsoluteNamesIgnoreTheDirectories) {
  std::string abs_b = (dir / "in/b.wav").string();
  std::string abs_out = (dir / "abs/x.wav").string();
  auto r = run({"-s", "nowhere", "-d", "elsewhere", "-mf", "in/../in/a.wav", "-cf", abs_b, "-f", abs_out});
  EXPECT_EQ(r.status, 6);  // the master is looked for under nowhere/
  EXPECT_EQ(r.err, "  could not read file 'nowhere/in/../in/a.wav', error code: 6\n  No such file or directory\n");
  EXPECT_FALSE(fs::exists(dir / "abs"));
  r = run({"-d", "elsewhere", "-mf", "in/a.wav", "-cf", abs_b, "-f", abs_out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("  loaded file: '" + abs_b + "'"));
  EXPECT_TRUE(fs::exists(abs_out));
  EXPECT_FALSE(fs::exists(dir / "elsewhere"));
}

TEST_F(Naming, TemplatesAndDirectories) {
  auto r = run({"-d", "out/deep", "-mf", "in/a.wav", "-cf", "in/b.wav", "-f", "${nosuch}.wav", "-ir",
                "x/y/z/${srate}Hz ${uc :file}.wav", "-iw", "dir\\${group}\\${master_ext}.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::list_files(dir / "out"),
            (std::vector<std::string>{"deep/dir/default/wav.wav", "deep/undef.wav", "deep/x/y/z/48000Hz B.WAV.wav"}));
  EXPECT_THAT(r.out, HasSubstr("  saved file: 'out/deep/undef.wav'"));
}

TEST_F(Naming, DestinationAboveTheWorkingDirectory) {
  // "-d ../newout" from a subdirectory makes newout beside it, and nothing
  // in the working directory.
  fs::create_directories(dir / "work");
  auto r = e2e::run_tool({"-mf", "../in/a.wav", "-cf", "../in/b.wav", "-d", "../newout"}, dir / "work");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("  saved file: '../newout/a/b - processed.wav'"));
  EXPECT_EQ(e2e::list_files(dir / "newout"), std::vector<std::string>{"a/b - processed.wav"});
  EXPECT_TRUE(fs::is_empty(dir / "work"));
}

TEST_F(Naming, OutputReplacesAnExistingFile) {
  write_text("out.wav", "old contents");
  auto r = run({"-mf", "in/a.wav", "-cf", "in/b.wav", "-f", "out.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto out = e2e::read_wav(dir / "out.wav");
  EXPECT_EQ(out.frames(), 9096u);
  EXPECT_EQ(out.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(e2e::list_files(dir), (std::vector<std::string>{"in/a.wav", "in/b.wav", "out.wav"}));
}

TEST_F(Naming, TemplateErrors) {
  auto r = run({"-mf", "in/a.wav", "-cf", "in/b.wav", "-f", "${x"});
  EXPECT_EQ(r.status, 7);
  EXPECT_THAT(r.err, HasSubstr("  invalid expression: '${x'\n"));
  // A template that is only an undefined variable has no text.
  r = run({"-mf", "in/a.wav", "-cf", "in/b.wav", "-f", "${nosuch}"});
  EXPECT_EQ(r.status, 7);
  EXPECT_THAT(r.err, HasSubstr("  could not evaluate expression: '${nosuch}'\n"));
  r = run({"-mf", "in/a.wav", "-cf", "in/b.wav", "-f", "${file[2]}.wav"});
  EXPECT_EQ(r.status, 7);
  EXPECT_THAT(r.err, HasSubstr("  could not evaluate expression: '${file[2]}.wav'\n"));
  // A number alone is text once converted.
  r = run({"-mf", "in/a.wav", "-cf", "in/b.wav", "-f", "${srate}"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir / "48000"));
}

TEST_F(Naming, DirectoryInTheWay) {
  write_text("blocker", "a file where a directory is wanted");
  auto r = run({"-mf", "in/a.wav", "-cf", "in/b.wav", "-f", "blocker/sub/out.wav"});
  EXPECT_EQ(r.status, 17);
  EXPECT_THAT(r.err, HasSubstr("  could not create directory 'blocker/sub', error code: 17\n"));
}

TEST_F(Naming, BadInputFiles) {
  write_text("in/text.wav", "this is not audio at all, just some text\n");

  struct Case {
    std::string master, child;
    int status;
    std::string err;
  } cases[] = {
      {"in/missing.wav", "in/b.wav", 6,
       "  could not read file 'in/missing.wav', error code: 6\n  No such file or directory\n"},
      {"in/text.wav", "in/b.wav", 7, "  could not read file 'in/text.wav', error code: 7\n  Format not recognised.\n"},
      {"in/a.wav", "in/text.wav", 7, "  could not read file 'in/text.wav', error code: 7\n  Format not recognised.\n"},
  };
  for (const auto& c : cases) {
    e2e::Snapshot inputs = e2e::snapshot(dir / "in");
    auto r = run({"-mf", c.master, "-cf", c.child, "-p", "all", "-d", "out"});
    EXPECT_EQ(e2e::snapshot(dir / "in"), inputs);
    EXPECT_EQ(r.status, c.status) << c.master << " " << c.child;
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(fs::exists(dir / "out" / "missing")) << c.master;
    EXPECT_FALSE(fs::exists(dir / "out" / "text"));
  }
  // Every input is opened before any work: not even the master's response
  // is written before the bad child.
  EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST_F(Naming, SampleRatesOutsideTheRangeAreRefused) {
  for (const char* rate : {"0", "999", "-1", "1536001", "2147483648", "4294967296", "44100.0"}) {
    auto r = run({"-mf", "in/a.wav", "-cf", "in/b.wav", "-sr", rate, "-p", "all"});
    EXPECT_EQ(r.status, 28) << rate;
    EXPECT_THAT(r.err, testing::StartsWith("Bad 'sample rate' value\n")) << rate;
    EXPECT_EQ(r.out, "") << rate;
  }
  EXPECT_EQ(e2e::list_files(dir), (std::vector<std::string>{"in/a.wav", "in/b.wav"}));
}

}  // namespace
