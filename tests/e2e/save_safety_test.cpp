// Saves through the real program: an interrupted save, the longest legal
// name, a symbolic link as output, and a read-only output replaced by an
// ordinary user. Every test compares the whole scratch directory before
// and after, so nothing on disk changes that should not.

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;
using e2e::E2ETest;

namespace {

std::string contents(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Every entry under `dir`: regular files by their contents, links by their
// target, directories by name.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> m;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    std::string rel = fs::relative(e.path(), dir).string();
    if (e.is_symlink())
      m[rel] = "link -> " + fs::read_symlink(e.path()).string();
    else if (e.is_directory())
      m[rel] = "dir";
    else
      m[rel] = contents(e.path());
  }
  return m;
}

class SaveSafety : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    write("m.wav", e2e::noise(48000, 2, 48000, 1));
    write("c.wav", e2e::noise(48000, 2, 24000, 2, 0.5));
  }
};

// SIGTERM while the output is being written: the program dies of the
// signal, its temporary is gone and the previous output is intact. The
// kill is sent the moment the temporary appears (inotify), while a 46 MB
// output is still being written.
TEST_F(SaveSafety, InterruptedSaveLeavesNoTemporary) {
  write("long.wav", e2e::noise(48000, 2, 48000 * 120, 3));
  fs::create_directories(dir / "out/long");
  write_text("out/long/c - processed.wav", "previous output");
  const auto before = snapshot(dir);

  int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, (dir / "out/long").c_str(), IN_CREATE), 0);
  std::string prog = e2e::tool_path();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execl(prog.c_str(), prog.c_str(), "-mf", "long.wav", "-cf", "c.wav", "-d", "out", static_cast<char*>(nullptr));
    _exit(127);
  }
  bool seen = false;
  alignas(struct inotify_event) char buf[4096];
  while (!seen) {
    ssize_t n = read(watch, buf, sizeof buf);
    if (n <= 0) break;
    for (char* p = buf; p < buf + n;) {
      auto* ev = reinterpret_cast<struct inotify_event*>(p);
      if (ev->len > 0 && std::string(ev->name).rfind(".tb", 0) == 0) seen = true;
      p += sizeof(struct inotify_event) + ev->len;
    }
  }
  if (seen) kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(watch);
  ASSERT_TRUE(seen) << "no temporary file appeared";
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(snapshot(dir), before);
}

TEST_F(SaveSafety, LongestLegalNameIsWritten) {
  std::string name = std::string(251, 'n') + ".wav";
  auto before = snapshot(dir);
  auto r = run({"-mf", "m.wav", "-cf", "c.wav", "-f", name});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  auto after = snapshot(dir);
  ASSERT_EQ(after.count(name), 1u);
  EXPECT_EQ(e2e::read_wav(dir / name).frames(), 48000u + 4096u);
  after.erase(name);
  EXPECT_EQ(after, before);

  // One byte more, in the file's name or in a folder's, is refused before
  // any audio is read, and nothing is made.
  for (const std::string& longer : {std::string(252, 'n') + ".wav", std::string(256, 'd') + "/x.wav"}) {
    before = snapshot(dir);
    r = run({"-mf", "m.wav", "-cf", "c.wav", "-f", longer});
    EXPECT_EQ(r.status, 18);
    EXPECT_EQ(r.err, "  could not write file '" + longer + "', error code: 18\n  File name too long\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(snapshot(dir), before);
  }
}

// The output name is a link into another directory: the file there is
// replaced and the link stays a link.
TEST_F(SaveSafety, SymbolicLinkOutputWritesItsTarget) {
  fs::create_directories(dir / "takes");
  write_text("takes/final.wav", "old take");
  fs::create_symlink("takes/final.wav", dir / "out.wav");
  auto before = snapshot(dir);
  auto r = run({"-mf", "m.wav", "-cf", "c.wav", "-f", "out.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(dir / "out.wav"));
  EXPECT_EQ(fs::read_symlink(dir / "out.wav"), "takes/final.wav");
  e2e::Audio a = e2e::read_wav(dir / "takes/final.wav");
  EXPECT_EQ(a.channels, 2);
  EXPECT_EQ(a.frames(), 48000u + 4096u);
  auto after = snapshot(dir);
  after["takes/final.wav"] = before["takes/final.wav"];
  EXPECT_EQ(after, before);
}

// Signals at any moment of a parallel run that writes many files and a
// report: whatever was being written, no temporary is left behind.
TEST_F(SaveSafety, SignalsDuringParallelRunLeaveNoTemporary) {
  std::vector<std::string> args = {"-mf", "m.wav", "-d", "out", "-p", "all", "-r", "rep", "-j", "4", "-fr", "10"};
  for (int i = 0; i < 8; ++i) {
    const std::string name = "c" + std::to_string(i) + ".wav";
    write(name, e2e::noise(48000, 2, 12000 + 3000 * i, 10 + i, 0.4));
    args.push_back("-cf");
    args.push_back(name);
  }
  const std::string prog = e2e::tool_path();
  auto start = [&] {
    pid_t child = fork();
    if (child == 0) {
      if (chdir(dir.c_str()) != 0) _exit(127);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      std::vector<char*> argv = {const_cast<char*>(prog.c_str())};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(prog.c_str(), argv.data());
      _exit(127);
    }
    return child;
  };
  // One whole run tells how long a run takes here; the signals then fall
  // at spread moments of it.
  const auto t0 = std::chrono::steady_clock::now();
  pid_t child = start();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const auto whole = std::chrono::steady_clock::now() - t0;
  constexpr int kRuns = 24;
  for (int run = 0; run < kRuns; ++run) {
    fs::remove_all(dir / "out");
    fs::remove_all(dir / "rep");
    child = start();
    std::this_thread::sleep_for(whole * run / kRuns);
    kill(child, run % 2 ? SIGINT : SIGTERM);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
      const std::string leaf = e.path().filename().string();
      EXPECT_FALSE(leaf.rfind(".tb", 0) == 0 || leaf.find(".tmp") != std::string::npos)
          << e.path() << " left by the signal in run " << run;
    }
  }
}

// A dangling link at one output's name that points at another output's
// name: the save would write through it, so the two outputs are one file
// and the run is refused before any work, for relative and absolute links.
TEST_F(SaveSafety, DanglingLinkJoiningTwoOutputsIsRefused) {
  write("c2.wav", e2e::noise(48000, 2, 24000, 3, 0.3));
  fs::create_directories(dir / "d/m");
  for (const fs::path& target : {fs::path("c2 - processed.wav"), dir / "d/m/c2 - processed.wav"}) {
    fs::remove(dir / "d/m/c - processed.wav");
    fs::create_symlink(target, dir / "d/m/c - processed.wav");
    auto before = snapshot(dir);
    auto r = run({"-mf", "m.wav", "-cf", "c.wav", "-cf", "c2.wav", "-d", "d"});
    EXPECT_EQ(r.status, 17) << target;
    EXPECT_EQ(r.err, "  outputs of 'c.wav' (audio) and 'c2.wav' (audio) both resolve to 'd/m/c2 - processed.wav'\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(snapshot(dir), before);
  }
}

// An ordinary user replaces their own read-only output in a directory
// they may write: the new file keeps the read-only mode. Run as root, the
// program runs as "nobody" in a child, since root writes anything anyway.
TEST_F(SaveSafety, ReadOnlyOutputIsReplacedByItsOwner) {
  write_text("out.wav", "old output");
  fs::permissions(dir / "out.wav", fs::perms::owner_read | fs::perms::group_read);
  const bool root = geteuid() == 0;
  const uid_t nobody = 65534;
  if (root) {
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    for (const char* n : {"", "m.wav", "c.wav", "out.wav"})
      ASSERT_EQ(chown((dir / n).c_str(), nobody, nobody), 0) << n;
  }
  auto before = snapshot(dir);
  std::string prog = e2e::tool_path();
  // The build may sit where "nobody" cannot reach it (a home directory of
  // mode 0700, a private temporary directory): the ordinary user runs a
  // copy from a directory of its own.
  fs::path copy_dir;
  if (root) {
    char templ[] = "/tmp/timbral-bin-XXXXXX";
    std::error_code ec;
    if (!mkdtemp(templ)) GTEST_SKIP() << "no directory for a copy of the program that nobody can reach";
    copy_dir = templ;
    fs::copy_file(prog, copy_dir / "timbral", ec);
    fs::permissions(copy_dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec, ec);
    fs::permissions(copy_dir / "timbral", fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec,
                    ec);
    if (ec) {
      fs::remove_all(copy_dir);
      GTEST_SKIP() << "could not copy the program where nobody can run it: " << ec.message();
    }
    prog = (copy_dir / "timbral").string();
  }
  struct RemoveCopy {
    fs::path dir;
    ~RemoveCopy() {
      std::error_code ec;
      if (!dir.empty()) fs::remove_all(dir, ec);
    }
  } remove_copy{copy_dir};
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (root && (setgid(nobody) != 0 || setuid(nobody) != 0)) _exit(100);
    if (chdir(dir.c_str()) != 0) _exit(101);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execl(prog.c_str(), prog.c_str(), "-mf", "m.wav", "-cf", "c.wav", "-f", "out.wav", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 127) << "the program could not be started as an ordinary user";
  ASSERT_NE(WEXITSTATUS(status), 100);
  if (WEXITSTATUS(status) == 22) {  // refused: the old file must be intact
    EXPECT_EQ(snapshot(dir), before);
    return;
  }
  ASSERT_EQ(WEXITSTATUS(status), 0);
  struct stat st;
  ASSERT_EQ(stat((dir / "out.wav").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0440u);
  EXPECT_EQ(e2e::read_wav(dir / "out.wav").frames(), 48000u + 4096u);
  auto after = snapshot(dir);
  after["out.wav"] = before["out.wav"];
  EXPECT_EQ(after, before);
}

}  // namespace
