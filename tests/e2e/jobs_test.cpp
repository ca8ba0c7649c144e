// Parallel runs (-j): a run over many groups with N workers must print the
// same lines in the same order, write the same files with the same bytes,
// fill the same report and end with the same status as one job, whatever
// fails on the way and whichever of going on, skipping finished work or
// the report is asked for.

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;
using e2e::E2ETest;
using testing::HasSubstr;

namespace {

using Files = std::vector<std::string>;

// Five groups over short mono inputs at 44100 Hz: good ones, one with a
// missing and an unreadable child, one without its master, one with a
// stereo child among mono ones (a channel mismatch ends that group
// without -k). Each run works in its own directory beside the inputs, so
// that the paths in the lines are the same for every run. A missing or
// unreadable input ends a run that does not go on before any work, so
// such runs take inputs whose headers are sound and whose audio is not
// (fail_while_loading).
class Jobs : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    fs::create_directories(dir / "in");
    const char* names[] = {"m1", "m2", "m3", "m4", "a", "b", "c", "d", "e"};
    unsigned seed = 40;
    for (const char* n : names) write(std::string("in/") + n + ".wav", e2e::noise(44100, 1, 2500 + seed * 7, seed, 0.2 + (seed % 5) * 0.15)), ++seed;
    write("in/st.wav", e2e::noise(44100, 2, 2600, 60));
    write_text("in/junk.wav", "text, not audio\n");
    e2e::Audio nan = e2e::noise(44100, 1, 2650, 61), huge = e2e::noise(44100, 1, 2700, 62);
    nan.data[0][100] = NAN;
    huge.data[0][200] = 1e20f;
    write("in/nan.wav", nan);
    write("in/huge.wav", huge);
    write_text("run.json5", R"({ srate: 44100, src_path: '../in', dst_path: 'out', produce: ['all'],
      file: '${group}/${file_name}.wav',
      ir: { file: '${group}/${file_name} ir.wav', raw: '${group}/${file_name} raw.wav',
            fr_master: '${group}/master fr.wav', fr_child: '${group}/${file_name} fr.wav' },
      groups: {
        one: { master: 'm1.wav', files: ['a.wav', 'b.wav', 'c.wav'] },
        two: { master: 'm2.wav', files: ['d.wav', 'missing.wav', 'e.wav', 'junk.wav', 'a.wav'] },
        lost: { master: 'gone.wav', files: ['a.wav', 'b.wav'] },
        mixed: { master: 'm3.wav', files: ['c.wav', 'st.wav', 'd.wav'] },
        last: { master: 'm4.wav', files: ['e.wav', 'b.wav'] },
      } })");
  }

  e2e::ToolRun run_in(const std::string& where, const Files& extra) {
    fs::create_directories(dir / where);
    Files args = {"-c", "../run.json5"};
    args.insert(args.end(), extra.begin(), extra.end());
    return e2e::run_tool(args, dir / where);
  }

  // The report's JSON without the lines that name the command line and
  // the number of jobs, the only ones that differ between the runs.
  static std::string report_without_jobs(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    std::string text = whole.str(), kept, line;
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      line = text.substr(at, end - at);
      if (line.find("\"command_line\"") == std::string::npos && line.find("\"jobs\"") == std::string::npos)
        kept += line + "\n";
      at = end + 1;
    }
    return kept;
  }

  // Runs one job in "one" and `jobs` jobs in "many" with the same extra
  // options, both from the state `prepare` leaves, and compares them.
  // Without going on, workers may have finished children beyond the
  // failure that ended the run: then the files of one job must be among
  // the other's, with the same bytes.
  void expect_same(const Files& extra, const std::string& jobs, bool same_files) {
    SCOPED_TRACE("-j " + jobs);
    Files one_args = extra, many_args = extra;
    one_args.insert(one_args.end(), {"-j", "1"});
    many_args.insert(many_args.end(), {"-j", jobs});
    fs::remove_all(dir / "many");
    fs::copy(dir / "one", dir / "many", fs::copy_options::recursive);
    auto one = run_in("one", one_args);
    auto many = run_in("many", many_args);
    EXPECT_EQ(many.status, one.status);
    EXPECT_EQ(many.out, one.out);
    EXPECT_EQ(many.err, one.err);
    // Records hold the outputs' times, which differ between the two runs.
    e2e::Snapshot a = e2e::without_records(e2e::snapshot(dir / "one"));
    e2e::Snapshot b = e2e::without_records(e2e::snapshot(dir / "many"));
    const std::string report = "out/rep/report.json", html = "out/rep/index.html";
    if (a.count(report)) {
      EXPECT_EQ(report_without_jobs(dir / "many" / report), report_without_jobs(dir / "one" / report));
      a.erase(report), b.erase(report), a.erase(html), b.erase(html);
    }
    if (same_files) {
      EXPECT_EQ(b, a);
    } else {
      for (const auto& [path, what] : a) EXPECT_EQ(b[path], what) << path;
    }
    // The next comparison starts again from the state before this one.
    fs::remove_all(dir / "one");
    fs::copy(dir / "many_start", dir / "one", fs::copy_options::recursive);
  }

  // The same groups, failing at the same places once their audio is read.
  void fail_while_loading() {
    std::ifstream in(dir / "run.json5", std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    std::string text = whole.str();
    for (auto [from, to] : {std::pair<std::string, std::string>{"'missing.wav'", "'nan.wav'"},
                            {"'junk.wav'", "'huge.wav'"}, {"'gone.wav'", "'nan.wav'"}}) {
      for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
    }
    write_text("run.json5", text);
  }

  void start_from_nothing() {
    fs::remove_all(dir / "one");
    fs::remove_all(dir / "many_start");
    fs::create_directories(dir / "one");
    fs::create_directories(dir / "many_start");
  }
};

TEST_F(Jobs, KeepGoingMatchesOneJob) {
  start_from_nothing();
  for (const char* jobs : {"2", "3", "0"}) expect_same({"-k", "true"}, jobs, true);
  // The run itself, once: every good child of every group is written.
  auto r = run_in("one", {"-k", "true", "-j", "2"});
  EXPECT_EQ(r.status, 6);
  EXPECT_THAT(r.out, testing::EndsWith("\nsummary: 44 files written, 5 children failed, 0 children skipped\n"));
  EXPECT_THAT(r.err, HasSubstr("  skipping group 'lost' after error 6\n"));
}

TEST_F(Jobs, ReportAndMasteringMatchOneJob) {
  start_from_nothing();
  expect_same({"-k", "true", "-r", "rep", "-m", "true"}, "2", true);
  fail_while_loading();
  expect_same({"-r", "rep"}, "3", false);
}

TEST_F(Jobs, MasterResponseThatCannotBeSavedIsReportedAsWithOneJob) {
  // The last group's master loads, so workers run its children ahead, but
  // its response cannot be saved (a directory holds its name): the report
  // says so for every child of it and keeps nothing they made.
  start_from_nothing();
  fs::create_directories(dir / "one/out/last/master fr.wav");
  fs::create_directories(dir / "many_start/out/last/master fr.wav");
  for (const char* jobs : {"2", "4"}) expect_same({"-k", "true", "-r", "rep"}, jobs, false);
  auto r = run_in("one", {"-k", "true", "-r", "rep", "-j", "4"});
  const std::string report = report_without_jobs(dir / "one/out/rep/report.json");
  EXPECT_THAT(report, HasSubstr("the master's frequency response could not be saved"));
  EXPECT_THAT(report, testing::Not(HasSubstr("plot-5-")));
}

TEST_F(Jobs, FirstFailureEndsTheRunAsWithOneJob) {
  // Without -k the run ends at the first failure in the run's order, here
  // the unreadable child of the first group: the next group, prepared
  // ahead, leaves neither lines nor a record in the report.
  fail_while_loading();
  start_from_nothing();
  for (const char* jobs : {"2", "4"}) expect_same({"-r", "rep"}, jobs, false);
  auto r = run_in("one", {"-j", "2"});
  EXPECT_EQ(r.status, 9);
  EXPECT_THAT(r.out, testing::EndsWith("processing group 'two'...\n"
                                       "  loaded file: '../in/m2.wav', channels: 1, samples: 2787, sample rate: "
                                       "44100, duration: 00:00:00.063\n"
                                       "  saved file: 'out/two/master fr.wav', channels: 1, samples: 4096, sample "
                                       "rate: 44100, duration: 00:00:00.092\n"
                                       "  loaded file: '../in/d.wav', channels: 1, samples: 2829, sample rate: "
                                       "44100, duration: 00:00:00.064\n"
                                       "  saved file: 'out/two/d fr.wav', channels: 1, samples: 4096, sample rate: "
                                       "44100, duration: 00:00:00.092\n"
                                       "  saved file: 'out/two/d raw.wav', channels: 1, samples: 4096, sample rate: "
                                       "44100, duration: 00:00:00.092\n"
                                       "  saved file: 'out/two/d ir.wav', channels: 1, samples: 4096, sample rate: "
                                       "44100, duration: 00:00:00.092\n"
                                       "  saved file: 'out/two/d.wav', channels: 1, samples: 6883, sample rate: "
                                       "44100, duration: 00:00:00.156\n"));
  // The inputs are shorter than one analysis frame, which is said of each.
  auto short_file = [](const char* name, int samples) {
    return std::string("  [WRN] file '../in/") + name + "' is shorter than one analysis frame: " +
           std::to_string(samples) + " samples, the frame has 4096\n";
  };
  EXPECT_EQ(r.err, short_file("m2.wav", 2787) + short_file("d.wav", 2829) +
                       "  could not read file '../in/nan.wav', error code: 9\n"
                       "  file '../in/nan.wav' holds a NaN or infinite sample at frame 100\n");

  // A channel mismatch ends only its group; the run goes on to the next
  // groups and ends at the failure in the last one.
  write_text("run.json5", R"({ srate: 44100, src_path: '../in', dst_path: 'out', produce: ['audio', 'frm'],
      file: '${group}/${file_name}.wav', ir: { fr_master: '${group}/master fr.wav' },
      groups: {
        one: { master: 'm1.wav', files: ['a.wav', 'b.wav'] },
        mixed: { master: 'm3.wav', files: ['c.wav', 'st.wav', 'd.wav', 'e.wav'] },
        last: { master: 'm4.wav', files: ['e.wav'] },
        broken: { master: 'm2.wav', files: ['d.wav', 'huge.wav', 'e.wav', 'a.wav'] },
      } })");
  start_from_nothing();
  for (const char* jobs : {"2", "3"}) {
    expect_same({"-r", "rep"}, jobs, false);
    // The inputs' headers tell where the group ends: no worker starts the
    // children after the mismatch.
    for (const char* never : {"out/mixed/d.wav", "out/mixed/e.wav"}) EXPECT_FALSE(fs::exists(dir / "many" / never)) << never;
  }
  r = run_in("one", {"-j", "3"});
  EXPECT_EQ(r.status, 9);
  EXPECT_EQ(r.err, short_file("m1.wav", 2780) + short_file("a.wav", 2808) + short_file("b.wav", 2815) +
                       short_file("m3.wav", 2794) + short_file("c.wav", 2822) + short_file("st.wav", 2600) +
                       "  number of channels mimatch: 1 (master) vs 2 (child), leaving\n" +
                       short_file("m4.wav", 2801) + short_file("e.wav", 2836) + short_file("m2.wav", 2787) +
                       short_file("d.wav", 2829) +
                       "  could not read file '../in/huge.wav', error code: 9\n"
                       "  file '../in/huge.wav' holds a sample out of range at frame 200: its magnitude passes 1e+15\n");
  EXPECT_THAT(r.out, HasSubstr("processing group 'last'...\n"));
  EXPECT_THAT(r.out, testing::Not(HasSubstr("'out/mixed/d.wav'")));
}

TEST_F(Jobs, SkipExistingMatchesOneJob) {
  // A first run leaves every output; some are removed again, so that the
  // second run writes some children, keeps files of others and skips
  // children that are complete.
  start_from_nothing();
  auto r = run_in("one", {"-k", "true"});
  ASSERT_EQ(r.status, 6) << r.err;
  for (const char* gone : {"out/one/b.wav", "out/two/e ir.wav", "out/last/master fr.wav", "out/mixed/d fr.wav"})
    ASSERT_TRUE(fs::remove(dir / "one" / gone)) << gone;
  fs::remove_all(dir / "many_start");
  fs::copy(dir / "one", dir / "many_start", fs::copy_options::recursive);
  expect_same({"-k", "true", "-se", "true"}, "2", true);
  fail_while_loading();
  expect_same({"-se", "true"}, "3", false);
}

// A worker that loaded a child waits for its master, which an earlier job
// holds and which waits for nothing; the calling thread takes the results
// in order. Runs of several
// groups with long and short masters, at every number of jobs, must end
// (under a timeout) with the files of one job.
TEST_F(E2ETest, ManyGroupsNeverHangAtAnyJobCount) {
  fs::create_directories(dir / "in");
  std::string groups3, groups7;
  for (int g = 0; g < 7; ++g) {
    char m[32], line[64];
    std::snprintf(m, sizeof m, "m%d.wav", g);
    const size_t master_frames = g % 2 == 0 ? 88200 : 2205;
    write(std::string("in/") + m, e2e::noise(44100, 1, master_frames, 100 + g));
    std::snprintf(line, sizeof line, "g%d: { master: '%s', files: [", g, m);
    std::string group = line;
    for (int c = 0; c < 1 + g % 3; ++c) {
      char name[32];
      std::snprintf(name, sizeof name, "g%dc%d.wav", g, c);
      write(std::string("in/") + name, e2e::noise(44100, 1, 2205 + 1500 * c, 200 + g * 3 + c));
      group.append(c ? ", '" : "'").append(name).append("'");
    }
    group += "] },\n";
    if (g < 3) groups3 += group;
    groups7 += group;
  }
  for (const std::string* groups : {&groups3, &groups7}) {
    write_text("run.json5", "{ srate: 44100, src_path: 'in', fft_rank: 8, file: '${group}/${file_name}.wav',\n"
                            "  groups: {\n" + *groups + "} }");
    fs::remove_all(dir / "out");
    auto one = e2e::run_tool_within({"-c", "run.json5", "-d", "out", "-j", "1"}, dir, 60);
    ASSERT_EQ(one.status, 0) << one.err;
    const auto expected = e2e::snapshot(dir / "out");
    for (const char* jobs : {"2", "3", "4", "5", "8", "16", "64"}) {
      for (int rep = 0; rep < 3; ++rep) {
        fs::remove_all(dir / "out");
        auto r = e2e::run_tool_within({"-c", "run.json5", "-d", "out", "-j", jobs}, dir, 30);
        ASSERT_NE(r.status, e2e::kTimedOut) << "-j " << jobs << " hung";
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, one.out);
        EXPECT_TRUE(e2e::snapshot(dir / "out") == expected) << "-j " << jobs;
      }
    }
  }
}

// A process that may start no more threads (its user's limit reached)
// still runs: the jobs, and the threads of loudness delivery and the
// limiter, run in the calling thread, and write the bytes of any run.
// (The leak checker needs a thread of its own at exit: it is off there.)
TEST_F(E2ETest, RefusedThreadsLeaveTheWorkToTheCallingThread) {
  if (geteuid() != 0 || std::system("command -v setpriv prlimit >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "needs root, setpriv and prlimit to run as a user with a limit of processes";
  for (const char* name : {"m.wav", "a.wav", "b.wav"})
    write(name, e2e::noise(48000, 2, 72000, static_cast<unsigned>(name[0]), 0.3));
  fs::copy_file(e2e::tool_path(), dir / "timbral");
  fs::permissions(dir, fs::perms::all);
  const std::string args = " -mf m.wav -cf a.wav -cf b.wav -j 4 -lu -12 -tl -1 -q true -d ";
  auto one = run({"-mf", "m.wav", "-cf", "a.wav", "-cf", "b.wav", "-j", "4", "-lu", "-12", "-tl", "-1", "-d", "one"});
  ASSERT_EQ(one.status, 0) << one.err;
  const std::string limited = "cd '" + dir.string() +
                              "' && ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" setpriv --reuid=65534 --regid=65534 "
                              "--clear-groups prlimit --nproc=1:1 ./timbral" +
                              args + "many 2>err.txt";
  ASSERT_EQ(std::system(limited.c_str()), 0);
  EXPECT_EQ(e2e::snapshot(dir / "many"), e2e::snapshot(dir / "one"));
  std::ifstream err(dir / "err.txt");
  std::stringstream text;
  text << err.rdbuf();
  EXPECT_EQ(text.str(), "");
}

}  // namespace
