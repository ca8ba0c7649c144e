// One configuration spread over several processes: shards, the group list,
// the merge of the shards' reports and reruns of a shard.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <set>
#include <sstream>

#include "config/document_reader.h"
#include "runtime/char_reader.h"
#include "runtime/string.h"
#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

constexpr int kGroups = 40;

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A JSON document as "path = value" lines, sorted within nothing: in
// document order. Keys whose path starts with one of `ignored` are left out.
std::vector<std::string> flatten(const std::string& json, const std::vector<std::string>& ignored) {
  StringReader reader;
  EXPECT_EQ(reader.set_text(json.c_str()), 0);
  DocumentReader doc;
  document_reader_init(&doc);
  EXPECT_EQ(document_reader_open(&doc, &reader, 0, 0), 0);
  DocumentEvent e;
  document_event_init(&e);
  std::vector<std::string> path, out;
  std::vector<int> index;  // -1 in objects, the next item's index in arrays
  auto here = [&] {
    std::string p;
    for (auto& s : path) p += "/" + s;
    return p;
  };
  auto value = [&](const std::string& v) {
    if (!index.empty() && index.back() >= 0) path.push_back(std::to_string(index.back()++));
    std::string p = here();
    bool skip = false;
    for (auto& i : ignored) skip = skip || p.rfind(i, 0) == 0;
    if (!skip) out.push_back(p + " = " + v);
    if (!path.empty()) path.pop_back();
  };
  while (document_reader_next(&doc, &e) == 0) {
    const char* t = e.kind == PROPERTY || e.kind == STRING ? string_to_utf8(&e.text) : "";
    switch (e.kind) {
      case PROPERTY: path.push_back(t); break;
      case OBJECT_BEGIN:
      case ARRAY_BEGIN:
        if (!index.empty() && index.back() >= 0) path.push_back(std::to_string(index.back()++));
        index.push_back(e.kind == ARRAY_BEGIN ? 0 : -1);
        break;
      case OBJECT_END:
      case ARRAY_END:
        index.pop_back();
        if (!path.empty()) path.pop_back();
        break;
      case STRING: value(std::string("\"") + t + "\""); break;
      case INTEGER: value(std::to_string(e.value.integer)); break;
      case FLOAT: {
        char b[64];
        std::snprintf(b, sizeof b, "%.9g", e.value.real);
        value(b);
        break;
      }
      case BOOLEAN: value(e.value.boolean ? "true" : "false"); break;
      default: value("null"); break;
    }
  }
  document_event_release(&e);
  document_reader_release(&doc);
  return out;
}

// Every file under dir/out but the report's, with its bytes' hash.
Snapshot outputs(const fs::path& dir) {
  Snapshot all = snapshot(dir / "out"), kept;
  for (auto& [name, what] : all)
    if (name.rfind("rep", 0) != 0) kept[name] = what;
  return without_records(kept);
}

// FNV-1a 64 as the README gives it.
uint64_t name_hash(const std::string& s) { return fnv1a(s.data(), s.size(), 14695981039346656037ull); }

class Shards : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    fs::create_directories(dir / "in");
    std::string groups;
    for (int g = 0; g < kGroups; ++g) {
      // The last name is not ASCII: the hash is over its UTF-8 bytes.
      const std::string name = std::string("g").append(std::to_string(g)).append(g == kGroups - 1 ? "-\xC3\xBC" : "");
      write("in/" + name + ".wav", noise(8000, 1, 800, 100 + g, 0.3));
      write("in/" + name + "-c.wav", noise(8000, 1, 800, 300 + g));
      groups += std::string(g ? ", '" : "'") + name + "': {master: '" + name + ".wav', files: ['" + name + "-c.wav']}";
    }
    write_text("cfg.json", "{src_path: '../in', dst_path: 'out', srate: 8000, fft_rank: 8, file: '${group}/${file_name}.wav',"
                           " ir: {file: '${group}/ir.wav', raw: '${group}/raw.wav', fr_master: '${group}/frm.wav',"
                           " fr_child: '${group}/frc.wav'}, groups: {" + groups + "}}");
  }

  // A fresh working directory beside the inputs with the configuration.
  fs::path place(const std::string& name) {
    fs::create_directories(dir / name);
    fs::copy_file(dir / "cfg.json", dir / name / "cfg.json");
    return dir / name;
  }

  ToolRun in(const fs::path& cwd, std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", "cfg.json"});
    return run_tool(args, cwd);
  }

  // The groups `--list-groups -` names, with the shard each line gives.
  std::map<std::string, long> listed(const ToolRun& r) {
    std::map<std::string, long> groups;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      auto flat = flatten(line, {"/children", "/outputs", "/master", "/position"});
      std::string name, shard;
      for (auto& f : flat) {
        if (f.rfind("/group = ", 0) == 0) name = f.substr(10, f.size() - 11);
        if (f.rfind("/shard = ", 0) == 0) shard = f.substr(9);
      }
      groups[name] = std::stol(shard);
    }
    return groups;
  }
};

// The union of the shards' outputs is the one run's outputs, byte for byte,
// and the merged report is the one run's report but for the command line
// and the shard's own members; shards run one after another, through GNU
// parallel, and as the Slurm and Kubernetes recipes in deploy/ run them
// (their commands and variables, without the schedulers).
TEST_F(Shards, ShardsTogetherMakeTheOneRun) {
  fs::path one = place("one"), four = place("four"), seven = place("seven"), slurm = place("slurm"),
           k8s = place("k8s");
  ToolRun r = in(one, {"-r", "report"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (int i = 0; i < 4; ++i) {
    r = in(four, {"-r", "rep", "-sh", std::to_string(i) + "/4"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(four / "out/rep" / ("shard-" + std::to_string(i) + "-of-4") / "report.json"));
  }
  r = run_tool({"--merge-reports", "out/rep"}, four);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "merged 4 of 4 shard reports (40 groups) into 'out/rep'\n");

  const std::string script = std::string(TIMBRAL_SOURCE_DIR) + "/deploy/parallel.sh";
  if (std::system("command -v parallel > /dev/null") == 0) {
    std::string cmd = "cd '" + seven.string() + "' && JOBS=2 TIMBRAL='" + tool_path() + "' '" + script +
                      "' 7 cfg.json out/rep > log 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << read_text(seven / "log");
  } else {
    ADD_FAILURE() << "GNU parallel is missing: scripts/deps.sh installs it";
  }

  // Slurm: an array 10-12, each task with the variables Slurm sets, then
  // the merge job (the report directory absolute, as the submission makes it).
  const std::string sbatch = std::string(TIMBRAL_SOURCE_DIR) + "/deploy/slurm-array.sbatch";
  for (int task = 10; task <= 13; ++task) {
    const std::string vars = task <= 12 ? "SLURM_ARRAY_TASK_ID=" + std::to_string(task) +
                                              " SLURM_ARRAY_TASK_MIN=10 SLURM_ARRAY_TASK_MAX=12 SLURM_ARRAY_TASK_COUNT=3"
                                        : std::string("SLURM_JOB_ID=99");
    std::string cmd = "cd '" + slurm.string() + "' && env " + vars + " TIMBRAL_CONFIG=cfg.json TIMBRAL_REPORT='" +
                      (slurm / "out/report").string() + "' TIMBRAL='" + tool_path() + "' '" + sbatch + "' > log 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << read_text(slurm / "log");
  }
  // Kubernetes: the Indexed Job's command and variables for every index,
  // /data being the working directory, then the merge Job.
  fs::copy_file(dir / "cfg.json", k8s / "timbral.json5");
  if (std::system("python3 -c 'import yaml' 2> /dev/null") == 0) {
    std::string cmd = "python3 '" + std::string(TIMBRAL_SOURCE_DIR) + "/tests/e2e/k8s_job_run.py' '" +
                      std::string(TIMBRAL_SOURCE_DIR) + "/deploy/k8s-indexed-job.yaml' '" + k8s.string() + "' '" +
                      tool_path() + "' > '" + (k8s / "log").string() + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << read_text(k8s / "log");
  } else {
    ADD_FAILURE() << "python3-yaml is missing: scripts/deps.sh installs it";
  }

  const Snapshot expected = outputs(one);
  EXPECT_EQ(expected.size(), 40u * 6u);  // per group: its directory, frm, frc, raw, ir and audio
  // The recipe adds --quiet and --skip-existing to the command line.
  const std::vector<std::string> ignored = {"/command_line", "/settings/shard", "/settings/report", "/shards",
                                            "/settings/quiet", "/settings/skip_existing", "/settings/jobs"};
  const auto report = flatten(read_text(one / "out/report/report.json"), ignored);
  for (const fs::path& run : {four, seven, slurm, k8s}) {
    SCOPED_TRACE(run.filename().string());
    const fs::path merged = run / (run == four || run == seven ? "out/rep" : "out/report");
    EXPECT_EQ(outputs(run), expected);
    EXPECT_EQ(flatten(read_text(merged / "report.json"), ignored), report);
    for (auto& f : list_files(one / "out/report")) {
      if (f.find(".svg") == std::string::npos) continue;
      EXPECT_EQ(read_text(merged / f), read_text(one / "out/report" / f)) << f;
    }
    // The page differs in its command line, and in the last shown digit
    // of a number where report.json's rounding meets the page's.
    auto page = [](const fs::path& p) {
      std::string t = read_text(p), kept;
      std::istringstream lines(t);
      for (std::string l; std::getline(lines, l);) {
        if (l.find("Command line:") != std::string::npos) continue;
        if (l.rfind("<tr><th>", 0) == 0)
          for (char& ch : l)
            if (ch >= '0' && ch <= '9') ch = '#';
        kept += l + "\n";
      }
      return kept;
    };
    EXPECT_EQ(page(merged / "index.html"), page(one / "out/report/index.html"));
  }
  const auto merged = flatten(read_text(four / "out/rep/report.json"), {});
  EXPECT_NE(std::find(merged.begin(), merged.end(), "/shards/count = 4"), merged.end());

  // A missing shard is a warning; two shards reporting one group are refused
  // before anything is written.
  fs::remove_all(four / "out/rep/shard-3-of-4");
  r = run_tool({"--merge-reports", "out/rep"}, four);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("warning: shard 3 of 4 has no report"), std::string::npos) << r.err;
  const auto partial = flatten(read_text(four / "out/rep/report.json"), {});
  EXPECT_NE(std::find(partial.begin(), partial.end(), "/shards/missing/0 = 3"), partial.end());
  std::string copied = read_text(four / "out/rep/shard-1-of-4/report.json");
  copied.replace(copied.find("\"index\": 1"), 10, "\"index\": 3");
  fs::create_directories(four / "out/rep/shard-3-of-4");
  write_text("four/out/rep/shard-3-of-4/report.json", copied);
  const Snapshot before = snapshot(four);
  r = run_tool({"--merge-reports", "out/rep"}, four);
  EXPECT_EQ(r.status, 17);
  EXPECT_NE(r.err.find("is in the reports of shards 1 and 3"), std::string::npos) << r.err;
  EXPECT_EQ(snapshot(four), before);
}

// The shard of a group is FNV-1a of its name mod n; --shard env takes the
// index and count from each scheduler; --list-groups reads no audio and
// tells which outputs exist.
TEST_F(Shards, SchedulersGroupListAndSelection) {
  fs::path w = place("w");
  ToolRun all = in(w, {"-lg", "-"});
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(listed(all).size(), 40u);
  std::set<std::string> seen;
  for (int i = 0; i < 3; ++i) {
    auto part = listed(in(w, {"-lg", "-", "-sh", std::to_string(i) + "/3"}));
    for (auto& [name, shard] : part) {
      EXPECT_EQ(shard, i);
      EXPECT_EQ(name_hash(name) % 3, static_cast<uint64_t>(i)) << name;
      EXPECT_TRUE(seen.insert(name).second) << name;
    }
  }
  EXPECT_EQ(seen.size(), 40u);

  struct Env {
    std::vector<std::pair<const char*, const char*>> vars;
    int status;
    long shard;        // expected index, of 3
    const char* line;  // expected in the message when refused
  } const cases[] = {
      {{{"SLURM_ARRAY_TASK_ID", "12"}, {"SLURM_ARRAY_TASK_MIN", "10"}, {"SLURM_ARRAY_TASK_COUNT", "3"}}, 0, 2, ""},
      {{{"SLURM_ARRAY_TASK_ID", "1"}, {"SLURM_ARRAY_TASK_MAX", "2"}}, 0, 1, ""},
      {{{"JOB_COMPLETION_INDEX", "0"}, {"TIMBRAL_SHARD_COUNT", "3"}}, 0, 0, ""},
      {{{"PARALLEL_SEQ", "3"}, {"TIMBRAL_SHARD_COUNT", "3"}}, 0, 2, ""},
      {{{"PARALLEL_SEQ", "0"}, {"TIMBRAL_SHARD_COUNT", "3"}}, 28, 0, "PARALLEL_SEQ"},
      {{{"JOB_COMPLETION_INDEX", "1"}}, 28, 0, "TIMBRAL_SHARD_COUNT is not"},
      {{{"SLURM_ARRAY_TASK_ID", "x"}, {"SLURM_ARRAY_TASK_COUNT", "3"}}, 28, 0, "SLURM_ARRAY_TASK_ID"},
      {{}, 28, 0, "JOB_COMPLETION_INDEX or PARALLEL_SEQ"},
  };
  const char* const names[] = {"SLURM_ARRAY_TASK_ID", "SLURM_ARRAY_TASK_MIN", "SLURM_ARRAY_TASK_MAX",
                               "SLURM_ARRAY_TASK_COUNT", "JOB_COMPLETION_INDEX", "PARALLEL_SEQ", "TIMBRAL_SHARD_COUNT"};
  for (const Env& c : cases) {
    for (const char* n : names) unsetenv(n);
    for (auto& [k, v] : c.vars) setenv(k, v, 1);
    ToolRun r = in(w, {"-lg", "-", "-sh", "env"});
    SCOPED_TRACE(c.vars.empty() ? "none" : c.vars[0].first);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.status == 0) {
      for (auto& [name, shard] : listed(r)) EXPECT_EQ(shard, c.shard) << name;
    } else {
      EXPECT_EQ(r.out, "");
      EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
    }
  }
  for (const char* n : names) unsetenv(n);

  // One group run by name; the list then shows its outputs as existing and
  // the others' not, and needs no audio (an input removed changes nothing).
  ToolRun r = in(w, {"-og", "g7", "-og", "g11"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(list_files(w / "out").size(), 10u);
  fs::remove(dir / "in/g3.wav");
  r = in(w, {"-lg", "groups.jsonl"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = read_text(w / "groups.jsonl");
  size_t done = 0, open = 0;
  for (size_t at = 0; (at = text.find("\"exists\": true", at)) != std::string::npos; ++at) ++done;
  for (size_t at = 0; (at = text.find("\"exists\": false", at)) != std::string::npos; ++at) ++open;
  EXPECT_EQ(done, 10u);
  EXPECT_EQ(open, 38u * 5u);
  EXPECT_NE(text.find("{\"group\": \"g7\", \"shard\": 0, \"position\": "), std::string::npos);
  r = in(w, {"-og", "g77"});
  EXPECT_EQ(r.status, 13);
  EXPECT_EQ(r.err, "Unknown group 'g77'\n  did you mean 'g7'?\n");
}

// A clash one process refuses is refused alike by every shard; a shard with
// no group succeeds with one line; a shard stopped part-way that runs again
// with --skip-existing ends with the tree of a run that was never
// interrupted (hidden files included).
TEST_F(Shards, ConflictsEmptyShardsAndReruns) {
  fs::path w = place("w");
  write_text("w/clash.json", "{src_path: '../in', dst_path: 'out', produce: ['audio'], file: 'same.wav',"
                             " groups: {a: {master: 'g0.wav', files: ['g0-c.wav']}, b: {master: 'g1.wav', files: ['g1-c.wav']}}}");
  std::string first;
  for (int i = 0; i < 4; ++i) {
    ToolRun r = run_tool({"-c", "clash.json", "-sh", std::to_string(i) + "/4"}, w);
    EXPECT_EQ(r.status, 17);
    if (i == 0) first = r.err;
    EXPECT_EQ(r.err, first);
  }
  EXPECT_FALSE(fs::exists(w / "out"));

  // "a" falls in shard (FNV-1a("a") mod 5); any other shard holds nothing.
  const uint64_t home = name_hash("a") % 5;
  write_text("w/one.json", "{src_path: '../in', dst_path: 'out', srate: 8000, fft_rank: 8,"
                           " groups: {a: {master: 'g0.wav', files: ['g0-c.wav']}}}");
  ToolRun r = run_tool({"-c", "one.json", "-sh", std::to_string((home + 1) % 5) + "/5"}, w);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "shard " + std::to_string((home + 1) % 5) + "/5 holds no group: nothing to do\n");
  EXPECT_FALSE(fs::exists(w / "out"));

  fs::path whole = place("whole");
  ASSERT_EQ(in(whole, {}).status, 0);
  // Shard 1 of 4 is stopped as a scheduler stops a task (SIGTERM) once it
  // has written its first file: finished files stay, no temporary does.
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(w.c_str()) != 0) _exit(127);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execl(tool_path().c_str(), tool_path().c_str(), "-c", "cfg.json", "-sh", "1/4", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  int st = 0;
  bool ended = false;
  while (!ended && list_files(w / "out").empty()) {
    ended = waitpid(pid, &st, WNOHANG) == pid;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (!ended) {
    kill(pid, SIGTERM);
    waitpid(pid, &st, 0);
  }
  ASSERT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM) << "the shard ended before it could be stopped";
  const size_t made = list_files(w / "out").size();
  EXPECT_LT(made, outputs(whole).size());
  r = in(w, {"-sh", "1/4", "-se", "true"});
  ASSERT_EQ(r.status, 0) << r.err;
  if (made >= 1) {
    EXPECT_NE(r.out.find("kept existing file"), std::string::npos) << r.out;
  }
  for (int i : {0, 2, 3}) ASSERT_EQ(in(w, {"-sh", std::to_string(i) + "/4", "-se", "true"}).status, 0);
  EXPECT_EQ(outputs(w), outputs(whole));
}

}  // namespace
}  // namespace e2e
