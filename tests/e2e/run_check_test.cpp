// The whole run is checked before any file is touched: outputs that would
// replace an input or each other and broken templates refuse the run with
// nothing on disk changed; the new pattern variables tell same-named
// children apart; the dry run lists the outputs; inputs that cannot be used
// (file-system causes, sample rates, non-finite samples) explain why.

#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;
using e2e::E2ETest;
using testing::HasSubstr;
using testing::Not;

namespace {

// Every entry under a directory with a checksum of what it holds: file
// contents, symbolic link targets, and directories as such.
using Snapshot = std::map<std::string, std::string>;

std::string checksum(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string data = ss.str();
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : data) h = (h ^ c) * 1099511628211ull;
  return std::to_string(data.size()) + ":" + std::to_string(h);
}

Snapshot snapshot(const fs::path& dir) {
  Snapshot s;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = it->path().lexically_relative(dir).string();  // not through links
    if (it->is_symlink()) s[rel] = "link:" + fs::read_symlink(it->path()).string();
    else if (it->is_directory()) s[rel] = "dir";
    else s[rel] = checksum(it->path());
  }
  return s;
}

class RunCheck : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    write("kit.wav", e2e::noise(44100, 1, 4410, 1));
    write("c.wav", e2e::noise(44100, 1, 4410, 2, 0.5));
  }

  // Runs the tool and expects it to be refused with `status` and exactly
  // `err`, with nothing on disk changed and no progress on standard output.
  void expect_refused(const std::vector<std::string>& args, int status, const std::string& err) {
    Snapshot before = snapshot(dir);
    auto r = run(args);
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(r.err, err);
    EXPECT_THAT(r.out, Not(HasSubstr("loaded file")));
    EXPECT_THAT(r.out, Not(HasSubstr("saved file")));
    EXPECT_EQ(snapshot(dir), before);
  }
};

TEST_F(RunCheck, OutputNamedAfterItsOwnInputIsRefused) {
  expect_refused({"-sr", "44100", "-mf", "kit.wav", "-cf", "c.wav", "-f", "${file}"}, 17,
                 "  output 'c.wav' would overwrite input 'c.wav'\n");
  // The same with source and destination directories: the master is the
  // one that would be replaced.
  fs::create_directory(dir / "d");
  fs::rename(dir / "kit.wav", dir / "d/kit.wav");
  fs::rename(dir / "c.wav", dir / "d/c.wav");
  expect_refused({"-sr", "44100", "-s", "d", "-d", "d", "-mf", "kit.wav", "-cf", "c.wav", "-f", "${master}"}, 17,
                 "  output 'd/kit.wav' would overwrite input 'd/kit.wav'\n");
  // Through a symbolic link to the source directory, and through '..'.
  fs::create_directory_symlink("d", dir / "link");
  expect_refused({"-sr", "44100", "-s", "d", "-d", "link", "-mf", "kit.wav", "-cf", "c.wav", "-f", "${file}"}, 17,
                 "  output 'link/c.wav' would overwrite input 'd/c.wav'\n");
  expect_refused({"-sr", "44100", "-s", "d", "-d", "new/../d", "-mf", "kit.wav", "-cf", "c.wav", "-f", "${file}"},
                 17, "  output 'new/../d/c.wav' would overwrite input 'd/c.wav'\n");
}

TEST_F(RunCheck, ChildrenWithTheSameNameInDifferentFolders) {
  fs::create_directories(dir / "take1");
  fs::create_directories(dir / "take2");
  write("take1/snare.wav", e2e::noise(44100, 1, 4410, 3, 0.3));
  write("take2/snare.wav", e2e::noise(44100, 1, 4410, 4, 0.8));
  // A result of an earlier run stays as it was when the run is refused.
  write_text("kit/snare - processed.wav", "an earlier result");
  expect_refused({"-sr", "44100", "-mf", "kit.wav", "-cf", "take1/snare.wav", "-cf", "take2/snare.wav"}, 17,
                 "  outputs of 'take1/snare.wav' (audio) and 'take2/snare.wav' (audio) both resolve to "
                 "'kit/snare - processed.wav'\n");

  // The directory of the name tells them apart ...
  auto r = run({"-sr", "44100", "-mf", "kit.wav", "-cf", "take1/snare.wav", "-cf", "take2/snare.wav", "-f",
                "out/${file_dir}/${file_name}.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto a = e2e::read_wav(dir / "out/take1/snare.wav");
  auto b = e2e::read_wav(dir / "out/take2/snare.wav");
  ASSERT_EQ(a.frames(), b.frames());
  EXPECT_NE(a.data, b.data);  // each child's own timbre
  // ... and so does the position in the group.
  r = run({"-sr", "44100", "-mf", "kit.wav", "-cf", "take1/snare.wav", "-cf", "take2/snare.wav", "-f",
           "idx/${file_index} ${file_name}.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::list_files(dir / "idx"), (std::vector<std::string>{"1 snare.wav", "2 snare.wav"}));
}

TEST_F(RunCheck, TemplateErrorsComeBeforeAnyWork) {
  // The trimmed IR's template is broken; before, the master's and child's
  // responses and the raw IR were written first.
  expect_refused({"-sr", "44100", "-mf", "kit.wav", "-cf", "c.wav", "-p", "all", "-ir", "${x"}, 7,
                 "  invalid expression: '${x'\n");
  expect_refused({"-sr", "44100", "-mf", "kit.wav", "-cf", "c.wav", "-p", "all", "-f", "${nosuch}"}, 7,
                 "  could not evaluate expression: '${nosuch}'\n");
}

TEST_F(RunCheck, DryRunListsEveryOutputAndWritesNothing) {
  write("d.wav", e2e::noise(44100, 1, 4410, 5, 0.2));
  Snapshot before = snapshot(dir);
  auto r = run({"-sr", "44100", "-mf", "kit.wav", "-cf", "c.wav", "-cf", "d.wav", "-p", "frm,audio", "-d", "out",
                "-dr", "true"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "out/kit/kit - FR Master.wav\nout/kit/c - processed.wav\nout/kit/d - processed.wav\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(snapshot(dir), before);
  // A dry run does the whole check.
  expect_refused({"-sr", "44100", "-mf", "kit.wav", "-cf", "c.wav", "-f", "${file}", "-dr", "true"}, 17,
                 "  output 'c.wav' would overwrite input 'c.wav'\n");
}

TEST_F(RunCheck, InputsThatCannotBeReadSayWhy) {
  fs::create_directory(dir / "folder.wav");
  struct Case {
    std::string child;
    int status;
    std::string err;
  } cases[] = {
      {"missing.wav", 6, "  could not read file 'missing.wav', error code: 6\n  No such file or directory\n"},
      {"folder.wav", 42, "  could not read file 'folder.wav', error code: 42\n  Is a directory\n"},
      {"c.wav/x.wav", 43, "  could not read file 'c.wav/x.wav', error code: 43\n  Not a directory\n"},
  };
  for (const Case& c : cases) {
    Snapshot before = snapshot(dir);
    auto r = run({"-sr", "44100", "-mf", "kit.wav", "-cf", c.child, "-d", "out"});
    EXPECT_EQ(r.status, c.status) << c.child;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(snapshot(dir), before);
  }
}

TEST_F(RunCheck, SampleRatesAndNonFiniteSamplesAreRefused) {
  write("slow.wav", e2e::noise(500, 1, 300, 6));
  auto r = run({"-sr", "44100", "-mf", "slow.wav", "-cf", "c.wav", "-d", "out"});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(r.err, "  could not read file 'slow.wav', error code: 8\n"
                   "  file 'slow.wav' has the sample rate 500 Hz, below the lowest supported rate of 1000 Hz\n");
  EXPECT_FALSE(fs::exists(dir / "out"));

  write("k.wav", e2e::noise(1000, 1, 300, 7));
  r = run({"-sr", "384000", "-mf", "kit.wav", "-cf", "k.wav", "-d", "out"});
  EXPECT_EQ(r.status, 8);
  EXPECT_THAT(r.err, HasSubstr("  could not read file 'k.wav', error code: 8\n"
                               "  file 'k.wav' has the sample rate 1000 Hz, more than a factor of 256 from the "
                               "run's sample rate of 384000 Hz\n"));
  EXPECT_FALSE(fs::exists(dir / "out"));

  // A NaN and later an infinity in a child: refused, the first bad frame named.
  auto bad = e2e::noise(44100, 1, 4410, 8);
  bad.data[0][1234] = std::numeric_limits<float>::quiet_NaN();
  bad.data[0][2000] = std::numeric_limits<float>::infinity();
  write("bad.wav", bad);
  r = run({"-sr", "44100", "-mf", "kit.wav", "-cf", "bad.wav", "-d", "out"});
  EXPECT_EQ(r.status, 9);
  EXPECT_EQ(r.err, "  could not read file 'bad.wav', error code: 9\n"
                   "  file 'bad.wav' holds a NaN or infinite sample at frame 1234\n");
  EXPECT_FALSE(fs::exists(dir / "out"));
}

}  // namespace
