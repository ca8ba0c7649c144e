// Batch runs over many files: going on past a failing child or group,
// resuming a batch whose outputs partly exist, the dry run, quiet runs and
// the order of a combined log, and the checks that keep a batch from
// writing one output over another or over an input.

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <set>
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

using Files = std::vector<std::string>;

// Short mono inputs at 44100 Hz (a tenth of a second: one analysis frame), processed at that rate so nothing is
// resampled: a master, three good children and a text file posing as audio.
class Batch : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    fs::create_directories(dir / "in");
    write("in/kit.wav", e2e::noise(44100, 1, 4410, 21));
    write("in/a.wav", e2e::noise(44100, 1, 4410, 22, 0.5));
    write("in/b.wav", e2e::noise(44100, 1, 4410, 23, 0.7));
    write("in/c.wav", e2e::noise(44100, 1, 4410, 24, 0.3));
    write_text("in/junk.wav", "not audio, only text\n");
  }

  // The command-line group of in/kit.wav with `children` (names under in/)
  // and extra options.
  e2e::ToolRun run_group(const Files& children, const Files& extra, bool merged = false) {
    Files args = {"-sr", "44100", "-s", "in", "-mf", "kit.wav"};
    for (const auto& c : children) {
      args.push_back("-cf");
      args.push_back(c);
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return merged ? run_merged(args) : run(args);
  }
};

const std::string kMissing = "  could not read file 'in/missing.wav', error code: 6\n  No such file or directory\n";

TEST_F(Batch, KeepGoingProcessesEveryOtherChild) {
  e2e::Snapshot inputs = e2e::snapshot(dir / "in");
  // A missing child in the middle, a broken one after it: every good child
  // is written, and the status is that of the first failure. A skipped
  // child is named as the group gives it, after the line with its path.
  auto r = run_group({"a.wav", "missing.wav", "b.wav", "junk.wav", "c.wav"}, {"-k", "true", "-d", "out"});
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.err, kMissing + "  skipping child 'missing.wav' after error 6\n"
                   "  could not read file 'in/junk.wav', error code: 7\n  Format not recognised.\n"
                   "  skipping child 'junk.wav' after error 7\n");
  EXPECT_EQ(e2e::list_files(dir / "out"),
            (Files{"kit/a - processed.wav", "kit/b - processed.wav", "kit/c - processed.wav"}));
  EXPECT_EQ(e2e::read_wav(dir / "out/kit/b - processed.wav").frames(), 4410u + 4096u);
  EXPECT_THAT(r.out, testing::EndsWith("\nsummary: 3 files written, 2 children failed, 0 children skipped\n"));
  EXPECT_EQ(e2e::snapshot(dir / "in"), inputs);

  // Without -k the missing child ends the run before any work, with the
  // lines the load gives, and standard output keeps its old form: no
  // summary.
  fs::remove_all(dir / "out");
  r = run_group({"a.wav", "missing.wav", "b.wav"}, {"-d", "out"});
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.err, kMissing);
  EXPECT_FALSE(fs::exists(dir / "out"));
  EXPECT_EQ(r.out, "");
}

TEST_F(Batch, KeepGoingPastAFailedSave) {
  // A file stands where a's output directory would be made.
  write_text("out/a", "in the way");
  auto r = run_group({"a.wav", "c.wav"}, {"-k", "true", "-d", "out", "-f", "${file_name}/x.wav"});
  EXPECT_EQ(r.status, 17);
  EXPECT_EQ(r.err, "  could not create directory 'out/a', error code: 17\n  an entry of that name is in the way\n  skipping child 'a.wav' after error 17\n");
  EXPECT_EQ(e2e::list_files(dir / "out"), (Files{"a", "c/x.wav"}));
  EXPECT_THAT(r.out, testing::EndsWith("\nsummary: 1 files written, 1 children failed, 0 children skipped\n"));
}

TEST_F(Batch, KeepGoingSkipsAGroupWithoutItsMaster) {
  // Groups run in hash order, so the good group is checked whichever
  // comes first.
  write_text("run.json5", R"({ srate: 44100, src_path: 'in', dst_path: 'out', produce: ['audio', 'frm'],
    file: '${group}/${file_name}.wav', ir: { fr_master: '${group}/master.wav' },
    groups: { lost: { master: 'gone.wav', files: ['a.wav', 'b.wav'] }, kept: { master: 'kit.wav', files: ['c.wav'] } } })");
  auto r = run({"-c", "run.json5", "-k", "true"});
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.err,
            "  could not read file 'in/gone.wav', error code: 6\n  No such file or directory\n"
            "  skipping group 'lost' after error 6\n");
  EXPECT_EQ(e2e::list_files(dir / "out"), (Files{"kept/c.wav", "kept/master.wav"}));
  // Neither child of the lost group was loaded.
  EXPECT_THAT(r.out, Not(HasSubstr("in/a.wav")));
  EXPECT_THAT(r.out, Not(HasSubstr("in/b.wav")));
  EXPECT_THAT(r.out, HasSubstr("processing group 'lost'...\n"));
  EXPECT_THAT(r.out, testing::EndsWith("\nsummary: 2 files written, 2 children failed, 0 children skipped\n"));
}

TEST_F(Batch, ChannelMismatchFailsOnlyThatChild) {
  write("in/st.wav", e2e::noise(44100, 2, 4410, 29));
  write("in/st2.wav", e2e::noise(44100, 2, 4410, 30, 0.5));
  const std::string notice = "  number of channels mimatch: 2 (master) vs 1 (child), leaving\n";
  auto r = run({"-sr", "44100", "-s", "in", "-mf", "st.wav", "-cf", "a.wav", "-cf", "st2.wav", "-d", "out"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, notice);
  EXPECT_FALSE(fs::exists(dir / "out"));  // the group ends there
  // With -k the group goes on to the next child.
  r = run({"-sr", "44100", "-s", "in", "-mf", "st.wav", "-cf", "a.wav", "-cf", "st2.wav", "-d", "out", "-k", "true"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, notice);
  EXPECT_EQ(e2e::list_files(dir / "out"), Files{"st/st2 - processed.wav"});
  EXPECT_THAT(r.out, testing::EndsWith("\nsummary: 1 files written, 1 children failed, 0 children skipped\n"));
}

TEST_F(Batch, SkipExistingKeepsOutputsAndDoesNotLoadFinishedChildren) {
  // An earlier, partial run: a's processed audio exists, and everything of
  // junk.wav exists (so junk.wav, which cannot be read, is never opened).
  write_text("out/kit/a - processed.wav", "earlier result of a");
  write_text("out/kit/junk - processed.wav", "earlier result of junk");
  write_text("out/kit/junk - Raw IR.wav", "earlier raw IR of junk");
  e2e::Snapshot before = e2e::snapshot(dir);
  auto r = run_group({"a.wav", "junk.wav"}, {"-se", "true", "-d", "out", "-p", "audio,raw"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_THAT(r.out, HasSubstr("  loaded file: 'in/a.wav'"));
  EXPECT_THAT(r.out, HasSubstr("  saved file: 'out/kit/a - Raw IR.wav', channels: 1, samples: 4096"));
  EXPECT_THAT(r.out, HasSubstr("  kept existing file: 'out/kit/a - processed.wav'\n"));
  EXPECT_THAT(r.out, HasSubstr("  skipping child 'junk.wav': all its outputs exist\n"));
  EXPECT_THAT(r.out, testing::EndsWith("\nsummary: 1 files written, 0 children failed, 1 children skipped\n"));
  // Only the missing raw IR is new; the existing files are untouched.
  e2e::Snapshot after = e2e::snapshot(dir);
  EXPECT_EQ(after.erase("out/kit/a - Raw IR.wav"), 1u);
  EXPECT_EQ(after.erase("out/kit/.a - Raw IR.wav.timbral-record"), 1u);  // what made it
  EXPECT_EQ(after, before);

  // Run again: every output now exists, nothing is loaded but the master.
  before = e2e::snapshot(dir);
  r = run_group({"a.wav", "junk.wav"}, {"-se", "true", "-d", "out", "-p", "audio,raw"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, Not(HasSubstr("loaded file: 'in/a.wav'")));
  EXPECT_THAT(r.out, HasSubstr("  skipping child 'a.wav': all its outputs exist\n"));
  EXPECT_THAT(r.out, testing::EndsWith("\nsummary: 0 files written, 0 children failed, 2 children skipped\n"));
  EXPECT_EQ(e2e::snapshot(dir), before);
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The paths whose entry differs between two snapshots (added, removed or changed).
std::set<std::string> changed(const e2e::Snapshot& before, const e2e::Snapshot& after) {
  std::set<std::string> out;
  for (const auto& [path, what] : before)
    if (!after.count(path) || after.at(path) != what) out.insert(path);
  for (const auto& [path, what] : after)
    if (!before.count(path)) out.insert(path);
  return out;
}

// An output is kept only while it is up to date: a take recorded again
// (new bytes, or only a new time) and a changed setting that shapes the
// output make it again; settings that only steer the run do not. An output
// without a record is kept when newer than its inputs. Nothing but the
// outputs made again and their records changes on disk.
TEST_F(Batch, SkipExistingRemakesWhatIsOutOfDate) {
  // Half a second: long enough to measure loudness.
  write("in/kit.wav", e2e::noise(44100, 1, 22050, 21));
  write("in/a.wav", e2e::noise(44100, 1, 22050, 22, 0.5));
  write("in/b.wav", e2e::noise(44100, 1, 22050, 23, 0.7));
  const std::string a = "out/kit/a - processed.wav", b = "out/kit/b - processed.wav";
  const std::string ra = "out/kit/.a - processed.wav.timbral-record", rb = "out/kit/.b - processed.wav.timbral-record";
  const std::string kept_a = "  skipping child 'a.wav': all its outputs exist\n";
  const std::string kept_b = "  skipping child 'b.wav': all its outputs exist\n";
  struct Step {
    const char* what;
    std::function<void()> change;  // done to the tree before the run
    Files extra;                   // options besides -se true -d out -p audio
    std::set<std::string> remade;  // entries that change
    std::vector<std::string> lines;  // in the output
  };
  const std::vector<Step> steps = {
      {"first run", [] {}, {"-lu", "-23"}, {"out", "out/kit", a, b, ra, rb}, {}},
      {"nothing changed; jobs and quiet do not shape outputs", [] {}, {"-lu", "-23", "-j", "2", "-q", "false"}, {},
       {kept_a, kept_b}},
      {"b recorded again", [&] { write("in/b.wav", e2e::noise(44100, 1, 22050, 99, 0.7)); }, {"-lu", "-23"},
       {b, rb}, {kept_a, "  saved file: '" + b}},
      {"a touched only", [&] { fs::last_write_time(dir / "in/a.wav", fs::file_time_type::clock::now()); }, {"-lu", "-23"}, {ra}, {kept_b, "  saved file: '" + a}},
      {"another loudness target", [] {}, {"-lu", "-20"}, {a, b, ra, rb}, {"  saved file: '" + a, "  saved file: '" + b}},
      {"a's record lost: newer than its inputs, kept", [&] { fs::remove(dir / ra); }, {"-lu", "-20"}, {},
       {kept_a, kept_b}},
      {"a without record and older than its master: made again", [&] {
         fs::last_write_time(dir / a, fs::last_write_time(dir / "in/kit.wav") - std::chrono::seconds(10));
       },
       {"-lu", "-20"}, {ra}, {kept_b, "  saved file: '" + a}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    const e2e::Snapshot before = e2e::snapshot(dir);
    Files extra = {"-se", "true", "-d", "out", "-p", "audio"};
    extra.insert(extra.end(), step.extra.begin(), step.extra.end());
    auto r = run_group({"a.wav", "b.wav"}, extra);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const auto& line : step.lines) EXPECT_THAT(r.out, HasSubstr(line));
    // A file made again from the same take has the same bytes: only its
    // record differs, and the "saved file" line tells it was made.
    EXPECT_EQ(changed(before, e2e::snapshot(dir)), step.remade);
  }
  // Every record names what made its output.
  const std::string record = read_text(dir / rb);
  EXPECT_THAT(record, HasSubstr("/in/b.wav\n"));
  EXPECT_THAT(record, HasSubstr("/in/kit.wav\n"));
  EXPECT_THAT(record, Not(HasSubstr("/in/a.wav")));

  // Records are planned: an output named as another's record is refused
  // before any work.
  const e2e::Snapshot before = e2e::snapshot(dir);
  auto r = run_group({"a.wav"}, {"-se", "true", "-d", "out", "-p", "audio,raw", "-iw", "kit/.a - processed.wav.timbral-record"});
  EXPECT_EQ(r.status, 17);
  EXPECT_EQ(r.err, "  outputs of 'in/a.wav' (raw) and 'in/a.wav' (record) both resolve to '" + ra + "'\n");
  EXPECT_EQ(e2e::snapshot(dir), before);
}

// Shards writing into one folder each write the records of their own
// outputs: one record per output, and a rerun of every shard keeps all.
TEST_F(Batch, ShardsSharingADestinationKeepOneRecordPerOutput) {
  write_text("run.json5", R"({ srate: 44100, src_path: 'in', dst_path: 'out', produce: ['audio'],
    file: 'mix/${file_name}.wav',
    groups: { g1: { master: 'kit.wav', files: ['a.wav'] }, g2: { master: 'kit.wav', files: ['b.wav'] },
              g3: { master: 'kit.wav', files: ['c.wav'] } } })");
  for (const char* shard : {"0/2", "1/2"}) ASSERT_EQ(run({"-c", "run.json5", "-se", "true", "-sh", shard}).status, 0);
  const Files outputs = e2e::list_files(dir / "out/mix");
  EXPECT_EQ(outputs, (Files{".a.wav.timbral-record", ".b.wav.timbral-record", ".c.wav.timbral-record", "a.wav",
                            "b.wav", "c.wav"}));
  for (const std::string child : {"a.wav", "b.wav", "c.wav"}) {
    const std::string record = read_text(dir / "out/mix" / outputs[0].substr(0, 1).append(child).append(".timbral-record"));
    EXPECT_THAT(record, HasSubstr("/in/" + child + "\n")) << child;
  }
  const e2e::Snapshot before = e2e::snapshot(dir);
  for (const char* shard : {"1/2", "0/2"}) {
    auto r = run({"-c", "run.json5", "-se", "true", "-sh", shard});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, Not(HasSubstr("saved file")));
  }
  EXPECT_EQ(e2e::snapshot(dir), before);
}

// Only a regular file at an output's name is an output made before: a
// directory or a FIFO there fails the save with -se as it does without.
TEST_F(Batch, SkipExistingKeepsOnlyRegularFiles) {
  fs::create_directories(dir / "out/kit/b - processed.wav");
  ASSERT_EQ(mkfifo((dir / "out/kit/a - processed.wav").c_str(), 0644), 0);
  for (const char* child : {"a.wav", "b.wav"}) {
    const Files args = {"-sr", "44100", "-s", "in", "-mf", "kit.wav", "-cf", child, "-d", "out"};
    Files with_skip = args;
    with_skip.insert(with_skip.end(), {"-se", "true"});
    auto skipping = e2e::run_tool_within(with_skip, dir, 20);
    EXPECT_THAT(skipping.out, Not(HasSubstr("skipping child"))) << child;
    EXPECT_THAT(skipping.out, Not(HasSubstr("kept existing"))) << child;
    if (std::string(child) == "a.wav") {
      // The FIFO is replaced by the output, as a save replaces any entry.
      EXPECT_EQ(skipping.status, 0) << skipping.err;
      EXPECT_TRUE(fs::is_regular_file(dir / "out/kit/a - processed.wav"));
    } else {
      auto plain = e2e::run_tool_within(args, dir, 20);
      EXPECT_EQ(plain.status, 42);
      EXPECT_EQ(skipping.status, plain.status);
      EXPECT_EQ(skipping.err, plain.err);
    }
  }
}

// Control characters in file names reach the terminal escaped, in progress
// and error lines alike; the files keep their real names.
TEST_F(Batch, ControlCharactersInNamesAreEscapedInLines) {
  const std::string odd = "e\x1b[2Jx\ny.wav";
  fs::copy_file(dir / "in/a.wav", dir / "in" / odd);
  auto r = run_group({odd, "gone\x07.wav"}, {"-d", "out", "-k", "true"});
  EXPECT_EQ(r.status, 6);
  EXPECT_THAT(r.out, HasSubstr("  loaded file: 'in/e\\x1B[2Jx\\x0Ay.wav', channels: 1"));
  EXPECT_THAT(r.out, HasSubstr("  saved file: 'out/kit/e\\x1B[2Jx\\x0Ay - processed.wav'"));
  EXPECT_THAT(r.err, HasSubstr("  could not read file 'in/gone\\x07.wav', error code: 6\n"));
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(r.err.find('\x07'), std::string::npos);
  EXPECT_TRUE(fs::exists(dir / "out/kit/e\x1b[2Jx\ny - processed.wav"));
}

// A FIFO as master with the group's rate taken from it: asking its rate
// must not wait for a writer, in a dry run or a real one, and both refuse
// it alike.
TEST_F(Batch, FifoMasterNeverBlocks) {
  ASSERT_EQ(mkfifo((dir / "in/pipe.wav").c_str(), 0644), 0);
  const Files args = {"-s", "in", "-mf", "pipe.wav", "-cf", "a.wav", "-sr", "source", "-d", "out"};
  Files dry = args;
  dry.insert(dry.end(), {"-dr", "true"});
  for (const Files& a : {dry, args}) {
    auto r = e2e::run_tool_within(a, dir, 20);
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "  could not read file 'in/pipe.wav', error code: 8\n  not a regular file\n");
    EXPECT_FALSE(fs::exists(dir / "out"));
  }
}

TEST_F(Batch, DryRunListsThePlanAndReadsNoAudio) {
  // Only the inputs' headers are read: a missing child and one that is not
  // audio are found, and with -k they are reported as the run would skip
  // them, the status being the run's. Not even the report is written; its
  // files are listed with the other planned outputs.
  e2e::Snapshot before = e2e::snapshot(dir);
  auto r = run_group({"a.wav", "missing.wav", "junk.wav"},
                     {"-dr", "true", "-k", "true", "-d", "out", "-p", "all", "-r", "rep"});
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.err, kMissing + "  skipping child 'missing.wav' after error 6\n"
                   "  could not read file 'in/junk.wav', error code: 7\n  Format not recognised.\n"
                   "  skipping child 'junk.wav' after error 7\n");
  EXPECT_EQ(r.out,
            "out/kit/kit - FR Master.wav\n"
            "out/kit/a - FR Child.wav\nout/kit/a - Raw IR.wav\nout/kit/a - IR.wav\nout/kit/a - processed.wav\n"
            "out/kit/missing - FR Child.wav\nout/kit/missing - Raw IR.wav\nout/kit/missing - IR.wav\n"
            "out/kit/missing - processed.wav\n"
            "out/kit/junk - FR Child.wav\nout/kit/junk - Raw IR.wav\nout/kit/junk - IR.wav\nout/kit/junk - processed.wav\n"
            "out/rep/plot-1-1-a.svg\nout/rep/plot-1-2-missing.svg\nout/rep/plot-1-3-junk.svg\n"
            "out/rep/report.json\nout/rep/index.html\n");
  EXPECT_EQ(e2e::snapshot(dir), before);
}

TEST_F(Batch, QuietRunStillWarns) {
  auto r = run_group({"a.wav", "missing.wav", "c.wav"}, {"-q", "true", "-k", "true", "-d", "out"});
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kMissing + "  skipping child 'missing.wav' after error 6\n");
  EXPECT_EQ(e2e::list_files(dir / "out"), (Files{"kit/a - processed.wav", "kit/c - processed.wav"}));
}

TEST_F(Batch, CombinedLogKeepsItsOrder) {
  // With both streams in one file (>log 2>&1) each error line follows the
  // progress line it belongs to.
  auto r = run_group({"a.wav", "missing.wav", "c.wav"}, {"-k", "true", "-d", "out"}, true);
  EXPECT_EQ(r.status, 6);
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(r.out.substr(at, nl - at));
  ASSERT_EQ(lines.size(), 10u) << r.out;
  EXPECT_EQ(lines[0], "processing group 'default'...");
  EXPECT_THAT(lines[1], testing::StartsWith("  loaded file: 'in/kit.wav'"));
  EXPECT_THAT(lines[2], testing::StartsWith("  loaded file: 'in/a.wav'"));
  EXPECT_THAT(lines[3], testing::StartsWith("  saved file: 'out/kit/a - processed.wav'"));
  EXPECT_EQ(lines[4], "  could not read file 'in/missing.wav', error code: 6");
  EXPECT_EQ(lines[5], "  No such file or directory");
  EXPECT_EQ(lines[6], "  skipping child 'missing.wav' after error 6");
  EXPECT_THAT(lines[7], testing::StartsWith("  loaded file: 'in/c.wav'"));
  EXPECT_THAT(lines[8], testing::StartsWith("  saved file: 'out/kit/c - processed.wav'"));
  EXPECT_EQ(lines[9], "summary: 2 files written, 1 children failed, 0 children skipped");
}

TEST_F(Batch, SameNamedChildrenMustBeToldApart) {
  fs::create_directories(dir / "in/take1");
  fs::create_directories(dir / "in/take2");
  write("in/take1/snare.wav", e2e::noise(44100, 1, 4410, 25, 0.2));
  write("in/take2/snare.wav", e2e::noise(44100, 1, 4410, 26, 0.9));
  // Going on past failures does not let one result replace the other.
  e2e::Snapshot before = e2e::snapshot(dir);
  auto r = run_group({"take1/snare.wav", "take2/snare.wav"}, {"-k", "true", "-se", "true"});
  EXPECT_EQ(r.status, 17);
  EXPECT_EQ(r.err, "  outputs of 'in/take1/snare.wav' (audio) and 'in/take2/snare.wav' (audio) both resolve to "
                   "'kit/snare - processed.wav'\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(e2e::snapshot(dir), before);

  r = run_group({"take1/snare.wav", "take2/snare.wav"}, {"-f", "${file_dir}/${file_name}.wav", "-d", "out"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::list_files(dir / "out"), (Files{"take1/snare.wav", "take2/snare.wav"}));
  EXPECT_NE(e2e::read_wav(dir / "out/take1/snare.wav").data, e2e::read_wav(dir / "out/take2/snare.wav").data);
  r = run_group({"take1/snare.wav", "take2/snare.wav"}, {"-f", "${file_index}-${file_name}.wav", "-d", "idx"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::list_files(dir / "idx"), (Files{"1-snare.wav", "2-snare.wav"}));
}

TEST_F(Batch, OutputOverAnInputIsRefused) {
  // Inputs in the working directory, named as they would be written.
  write("kit.wav", e2e::noise(44100, 1, 4410, 27));
  write("a.wav", e2e::noise(44100, 1, 4410, 28, 0.4));
  e2e::Snapshot before = e2e::snapshot(dir);
  auto r = run({"-sr", "44100", "-mf", "kit.wav", "-cf", "a.wav", "-f", "${file}", "-k", "true"});
  EXPECT_EQ(r.status, 17);
  EXPECT_EQ(r.err, "  output 'a.wav' would overwrite input 'a.wav'\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(e2e::snapshot(dir), before);

  // A hard link and a symbolic link to an input are that input.
  fs::create_directories(dir / "links");
  fs::create_hard_link(dir / "a.wav", dir / "links/hard.wav");
  fs::create_symlink("../a.wav", dir / "links/soft.wav");
  before = e2e::snapshot(dir);
  for (const char* out : {"links/hard.wav", "links/soft.wav"}) {
    r = run({"-sr", "44100", "-mf", "kit.wav", "-cf", "a.wav", "-f", out, "-k", "true"});
    EXPECT_EQ(r.status, 17) << out;
    EXPECT_EQ(r.err, std::string("  output '") + out + "' would overwrite input 'a.wav'\n");
    EXPECT_EQ(e2e::snapshot(dir), before) << out;
  }

  r = run({"-sr", "44100", "-s", "in", "-d", "in", "-mf", "kit.wav", "-cf", "a.wav", "-cf", "b.wav", "-f", "${master}",
           "-se", "true"});
  EXPECT_EQ(r.status, 17);
  EXPECT_THAT(r.err, HasSubstr("  output 'in/kit.wav' would overwrite input 'in/kit.wav'\n"));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(e2e::snapshot(dir), before);
}

}  // namespace
