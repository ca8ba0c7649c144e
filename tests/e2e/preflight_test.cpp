// The check of every input before any work: a missing or unreadable input
// is found by the dry run as by the real run, with the same lines and
// status and nothing written; going on past it skips what the run skips;
// and what the run will refuse or end a group at later (channels, rates)
// is said in the dry run's plan.

#include <algorithm>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;
using e2e::E2ETest;
using testing::HasSubstr;

namespace {

using Files = std::vector<std::string>;

class Preflight : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    fs::create_directories(dir / "in/folder.wav");
    write("in/kit.wav", e2e::noise(44100, 1, 4410, 31));
    write("in/a.wav", e2e::noise(44100, 1, 4410, 32, 0.4));
    write("in/b.wav", e2e::noise(44100, 1, 4410, 33, 0.6));
    write("in/st.wav", e2e::noise(44100, 2, 4410, 34));
    write("in/st2.wav", e2e::noise(44100, 2, 4410, 35, 0.5));
    write("in/slow.wav", e2e::noise(500, 1, 100, 36));
    write_text("in/junk.wav", "text, not audio\n");
  }

  // A configuration of a good group and one with `bad_master` as master
  // and `bad_child` among its children (each empty for a good one).
  void configure(const std::string& bad_master, const std::string& bad_child) {
    write_text("run.json5", "{ srate: 44100, src_path: 'in', dst_path: 'out', produce: ['audio'],\n"
                            "  file: '${group}/${file_name}.wav',\n"
                            "  groups: { good: { master: 'kit.wav', files: ['a.wav', 'b.wav'] },\n"
                            "            odd: { master: '" + (bad_master.empty() ? "kit.wav" : bad_master) +
                            "', files: ['b.wav', '" + (bad_child.empty() ? "a.wav" : bad_child) + "'] } } }");
  }
};

TEST_F(Preflight, AnInputThatCannotBeOpenedIsFoundBeforeAnyWork) {
  const std::string missing = "  could not read file 'in/kitt.wav', error code: 6\n  No such file or directory\n";
  const std::string folder = "  could not read file 'in/folder.wav', error code: 42\n  Is a directory\n";
  const std::string junk = "  could not read file 'in/junk.wav', error code: 7\n  Format not recognised.\n";
  const Files good = {"good/a.wav", "good/b.wav"};
  struct Case {
    std::string master, child;  // of the group "odd"
    Files args;
    int status;
    std::string err;
    Files written;               // under out/; none for a run refused before work
  } const cases[] = {
      // A mistyped master stops the dry run as it stops the real one, in
      // either order of the groups and with any number of jobs.
      {"kitt.wav", "", {"-dr", "true"}, 6, missing, {}},
      {"kitt.wav", "", {}, 6, missing, {}},
      {"kitt.wav", "", {"-j", "2"}, 6, missing, {}},
      {"", "folder.wav", {"-dr", "true"}, 42, folder, {}},
      {"", "junk.wav", {}, 7, junk, {}},
      // Going on: the group (or child) is skipped where the run meets it,
      // the other work is done, and the status is the first failure's.
      {"kitt.wav", "", {"-k", "true"}, 6, missing + "  skipping group 'odd' after error 6\n", good},
      {"", "junk.wav", {"-k", "true", "-j", "2"}, 7, junk + "  skipping child 'junk.wav' after error 7\n",
       {"good/a.wav", "good/b.wav", "odd/b.wav"}},
      // The dry run says the same, lists the plan and writes nothing.
      {"kitt.wav", "junk.wav", {"-dr", "true", "-k", "true"}, 6, missing + "  skipping group 'odd' after error 6\n", {}},
      {"", "junk.wav", {"-dr", "true", "-k", "true"}, 7, junk + "  skipping child 'junk.wav' after error 7\n", {}},
      // Only the inputs that will be loaded are checked: of the groups
      // named, or of this shard ("good" falls in shard 1 of 3, "odd" in 2).
      {"kitt.wav", "", {"-og", "good"}, 0, "", good},
      {"kitt.wav", "", {"-og", "good", "-dr", "true"}, 0, "", {}},
      {"kitt.wav", "", {"-sh", "1/3"}, 0, "", good},
      {"kitt.wav", "", {"-sh", "2/3", "-dr", "true"}, 6, missing, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.master + " " + c.child + " " + testing::PrintToString(c.args));
    configure(c.master, c.child);
    fs::remove_all(dir / "out");
    const e2e::Snapshot before = e2e::snapshot(dir);
    Files args = {"-c", "run.json5"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = run(args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    const auto given = [&](const char* option) { return std::find(c.args.begin(), c.args.end(), option) != c.args.end(); };
    if (c.written.empty()) {
      EXPECT_EQ(e2e::snapshot(dir), before);
    } else {
      EXPECT_EQ(e2e::list_files(dir / "out"), c.written);
    }
    // Refused before any work: not a line of progress.
    if (c.status != 0 && !given("-k")) {
      EXPECT_EQ(r.out, "");
    }
    if (given("-dr") && given("-k")) {
      // The listing is the whole plan: what the run would write and skip.
      for (const char* out : {"out/good/a.wav\n", "out/good/b.wav\n", "out/odd/b.wav\n"})
        EXPECT_THAT(r.out, HasSubstr(out));
    }
  }
}

TEST_F(Preflight, MismatchesAndRefusedRatesAreInTheDryRunsPlan) {
  const std::string slow = "[WRN] file 'in/slow.wav' has the sample rate 500 Hz, below the lowest supported rate of "
                           "1000 Hz; the run refuses it (8)\n";
  const std::string differ = "[WRN] channels differ: 'in/a.wav' has 1, its master 'in/st.wav' has 2; ";
  const Files children = {"-cf", "a.wav", "-cf", "st2.wav", "-cf", "slow.wav", "-cf", "b.wav"};
  struct Case {
    Files args;
    std::string err;
  } const cases[] = {
      // The group ends at the first mismatch: what follows is not reached.
      {{}, differ + "the run leaves the group at this child\n"},
      {{"-k", "true"}, differ + "the run skips this child\n" + slow +
       "[WRN] channels differ: 'in/b.wav' has 1, its master 'in/st.wav' has 2; the run skips this child\n"},
      // A mastering run gives a mono child the stereo master's timbre.
      {{"-m", "true"}, slow},
      {{"-m", "true", "-ms", "true"},
       "[WRN] mid/side needs two channels: 'in/a.wav' has 1; the run leaves the group at this child\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Files args = {"-sr", "44100", "-s", "in", "-mf", "st.wav", "-d", "out", "-dr", "true"};
    args.insert(args.end(), children.begin(), children.end());
    args.insert(args.end(), c.args.begin(), c.args.end());
    const e2e::Snapshot before = e2e::snapshot(dir);
    auto r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "out/st/a - processed.wav\nout/st/st2 - processed.wav\nout/st/slow - processed.wav\n"
                     "out/st/b - processed.wav\n");
    EXPECT_EQ(e2e::snapshot(dir), before);
  }
  // The group listing names the files and opens none: no word of them, and
  // a missing child is no failure of it.
  Files args = {"-sr", "44100", "-s", "in", "-mf", "st.wav", "-d", "out", "-cf", "gone.wav", "-lg", "-"};
  args.insert(args.end(), children.begin(), children.end());
  auto r = run(args);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_THAT(r.out, HasSubstr("{\"input\": \"in/gone.wav\", \"outputs\""));
  EXPECT_THAT(r.out, HasSubstr("{\"input\": \"in/a.wav\", \"outputs\""));
  // The run itself meets them as it always did: the group ends at the
  // first child, with status 0 and its usual line.
  args = {"-sr", "44100", "-s", "in", "-mf", "st.wav", "-d", "out"};
  args.insert(args.end(), children.begin(), children.end());
  r = run(args);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "  number of channels mimatch: 2 (master) vs 1 (child), leaving\n");
  EXPECT_FALSE(fs::exists(dir / "out"));
}

}  // namespace
