#include "runtime/file_system.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/status.h"
#include "runtime/string.h"

namespace {

// A fresh directory under the system's temporary area, removed afterwards.
class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/timbral-fs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::permissions(root_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(root_, ec);
  }
  std::string at(const std::string& rel) const { return root_ + "/" + rel; }
  void touch(const std::string& rel) const {
    FILE* f = fopen(at(rel).c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("data", f);
    fclose(f);
  }
  std::string root_;
};

struct Path {
  String s;
  explicit Path(const std::string& text) {
    string_init(&s);
    EXPECT_TRUE(string_from_utf8(&s, text.data(), text.size()));
  }
  ~Path() { string_free(&s); }
};

bool is_dir(const std::string& p) { return std::filesystem::is_directory(p); }

}  // namespace

using FileSystem = TempDir;

TEST_F(FileSystem, StatReportsKindSizeAndErrors) {
  touch("f");
  FileInfo info{};
  Path file(at("f")), dir(root_), missing(at("nope")), through(at("f/x")), link(at("l"));
  ASSERT_EQ(stat_path(&file.s, &info), 0);
  EXPECT_EQ(info.type, FILE_TYPE_REGULAR);
  EXPECT_EQ(info.size, 4);
  EXPECT_GT(info.modification_time, 1000000000000LL);  // milliseconds, not seconds
  ASSERT_EQ(stat_path(&dir.s, &info), 0);
  EXPECT_EQ(info.type, FILE_TYPE_DIRECTORY);
  EXPECT_EQ(stat_path(&missing.s, &info), STATUS_NOT_FOUND);
  EXPECT_EQ(stat_path(&through.s, &info), STATUS_IO_ERROR);  // ENOTDIR
  ASSERT_EQ(symlink("f", at("l").c_str()), 0);
  ASSERT_EQ(lstat_path(&link.s, &info), 0);
  EXPECT_EQ(info.type, FILE_TYPE_SYMLINK);
  ASSERT_EQ(stat_path(&link.s, &info), 0);
  EXPECT_EQ(info.type, FILE_TYPE_REGULAR);
  EXPECT_EQ(stat_descriptor(-1, &info), STATUS_BAD_VALUE);  // EBADF
  int fd = open(at("f").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(stat_descriptor(fd, &info), 0);
  EXPECT_EQ(info.size, 4);
  close(fd);
}

TEST_F(FileSystem, MakeDirectoryMapsErrno) {
  touch("f");
  Path fresh(at("d")), file(at("f")), under_file(at("f/x")), no_parent(at("a/b"));
  EXPECT_EQ(make_directory(&fresh.s), 0);
  EXPECT_TRUE(is_dir(at("d")));
  EXPECT_EQ(make_directory(&fresh.s), 0);                       // EEXIST, a directory
  EXPECT_EQ(make_directory(&file.s), STATUS_EXISTS);            // EEXIST, a file
  EXPECT_EQ(make_directory(&under_file.s), STATUS_NOT_DIRECTORY);  // ENOTDIR
  EXPECT_EQ(make_directory(&no_parent.s), STATUS_NOT_FOUND);    // ENOENT
  EXPECT_EQ(make_directories(&no_parent.s, false), STATUS_NOT_FOUND);
}

TEST_F(FileSystem, MakeDirectoryWithoutPermission) {
  if (geteuid() == 0) GTEST_SKIP() << "running as root: permissions are not enforced";
  ASSERT_EQ(mkdir(at("locked").c_str(), 0555), 0);
  Path inside(at("locked/x"));
  EXPECT_EQ(make_directory(&inside.s), STATUS_ACCESS_DENIED);
  EXPECT_EQ(make_directories(&inside.s, true), STATUS_ACCESS_DENIED);
}

TEST_F(FileSystem, MakeDirectoriesOverPartialTree) {
  ASSERT_EQ(mkdir(at("out").c_str(), 0755), 0);
  Path deep(at("out/a/b"));
  ASSERT_EQ(make_directories(&deep.s, true), 0);
  EXPECT_TRUE(is_dir(at("out/a")));
  EXPECT_TRUE(is_dir(at("out/a/b")));
  EXPECT_EQ(make_directories(&deep.s, true), 0);  // all there already

  Path messy(at("out//c/./d/"));
  ASSERT_EQ(make_directories(&messy.s, true), 0);
  EXPECT_TRUE(is_dir(at("out/c/d")));

  touch("out/file");
  Path blocked(at("out/file/b/c"));
  EXPECT_EQ(make_directories(&blocked.s, true), STATUS_EXISTS);
  EXPECT_FALSE(std::filesystem::exists(at("out/file/b")));

  // A failing path without any '/' after normalisation is refused.
  Path bare("");
  EXPECT_EQ(make_directories(&bare.s, true), STATUS_BAD_VALUE);
}

TEST_F(FileSystem, BackslashesReachTheSystemAsSlashes) {
  ASSERT_EQ(mkdir(at("top").c_str(), 0755), 0);
  Path mixed(at("top\\sub"));
  ASSERT_EQ(make_directory(&mixed.s), 0);
  EXPECT_TRUE(is_dir(at("top/sub")));
  FileInfo info;
  ASSERT_EQ(stat_path(&mixed.s, &info), 0);
  EXPECT_EQ(info.type, FILE_TYPE_DIRECTORY);
}

TEST_F(FileSystem, MakeDirectoriesRelativePath) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(root_.c_str()), 0);
  Path rel("x/y/z");
  int st = make_directories(&rel.s, true);
  bool made = is_dir(root_ + "/x/y/z");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(st, 0);
  EXPECT_TRUE(made);
}

// Runs `body` with the working directory at `dir`, restoring it afterwards.
template <class F>
void in_directory(const std::string& dir, F body) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  body();
  ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(FileSystem, MakeDirectoriesKeepsDotDotAsGiven) {
  ASSERT_EQ(mkdir(at("work").c_str(), 0755), 0);
  int up = -1, mid = -1, slashes = -1;
  in_directory(at("work"), [&] {
    Path p("../newout/kit"), q("sub/../made/x"), r("..\\win//deep/");
    up = make_directories(&p.s, true);
    mid = make_directories(&q.s, true);
    slashes = make_directories(&r.s, true);
  });
  EXPECT_EQ(up, 0);
  EXPECT_TRUE(is_dir(at("newout/kit")));
  EXPECT_FALSE(std::filesystem::exists(at("work/newout")));  // no stray copy below
  // Every component is made as written, so "sub" exists before ".." leaves it.
  EXPECT_EQ(mid, 0);
  EXPECT_TRUE(is_dir(at("work/sub")));
  EXPECT_TRUE(is_dir(at("work/made/x")));
  EXPECT_EQ(slashes, 0);
  EXPECT_TRUE(is_dir(at("win/deep")));
}

TEST_F(FileSystem, MakeDirectoriesStopsAtTheFirstFailure) {
  touch("plain");
  Path beyond(at("plain/../x/y"));  // "plain" is a file: the walk ends there
  EXPECT_EQ(make_directories(&beyond.s, true), STATUS_EXISTS);
  EXPECT_FALSE(std::filesystem::exists(at("x")));
  Path top("/timbral-no-such-root-dir-\x01/a");
  if (geteuid() != 0) {
    EXPECT_EQ(make_directories(&top.s, true), STATUS_ACCESS_DENIED);
    Path lone("/timbral-no-such-root-dir-\x01");
    EXPECT_EQ(make_directories(&lone.s, true), STATUS_ACCESS_DENIED);
  }
}

// The probe's status and cause for one path.
struct Probe {
  int status;
  std::string cause;
};

Probe probe(const std::string& p) {
  Path path(p);
  char cause[128];
  std::memset(cause, 'x', sizeof cause);
  int st = path_probe_readable(&path.s, cause, sizeof cause);
  return Probe{st, cause};
}

TEST_F(FileSystem, ProbeNamesTheSystemsReasonForEachPath) {
  touch("f");
  ASSERT_EQ(mkdir(at("d").c_str(), 0755), 0);
  ASSERT_EQ(symlink("loop_b", at("loop_a").c_str()), 0);
  ASSERT_EQ(symlink("loop_a", at("loop_b").c_str()), 0);
  ASSERT_EQ(symlink("gone", at("dangling").c_str()), 0);
  ASSERT_EQ(symlink("d", at("to_dir").c_str()), 0);
  ASSERT_EQ(mkfifo(at("fifo").c_str(), 0644), 0);

  Probe ok = probe(at("f"));
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.cause, "");
  Probe fifo = probe(at("fifo"));  // must not wait for a writer
  EXPECT_EQ(fifo.status, 0);

  const struct { const char* rel; int status; int error; } cases[] = {
      {"missing.wav", STATUS_NOT_FOUND, ENOENT},
      {"no/such/dir.wav", STATUS_NOT_FOUND, ENOENT},
      {"dangling", STATUS_NOT_FOUND, ENOENT},
      {"d", STATUS_IS_DIRECTORY, EISDIR},
      {"to_dir", STATUS_IS_DIRECTORY, EISDIR},
      {"f/inside.wav", STATUS_PATH_COMPONENT, ENOTDIR},
      {"loop_a", STATUS_IO_ERROR, ELOOP},
  };
  for (const auto& c : cases) {
    Probe p = probe(at(c.rel));
    EXPECT_EQ(p.status, c.status) << c.rel;
    EXPECT_EQ(p.cause, std::strerror(c.error)) << c.rel;
  }
  Probe too_long = probe(at(std::string(5000, 'n')));
  EXPECT_EQ(too_long.status, STATUS_LIMIT);
  EXPECT_EQ(too_long.cause, std::strerror(ENAMETOOLONG));
}

TEST_F(FileSystem, ProbeWithoutPermission) {
  if (geteuid() == 0) GTEST_SKIP() << "running as root: every file is readable, nothing to refuse";
  touch("secret");
  ASSERT_EQ(chmod(at("secret").c_str(), 0), 0);
  Probe p = probe(at("secret"));
  EXPECT_EQ(p.status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(p.cause, std::strerror(EACCES));
}

TEST_F(FileSystem, ProbeCauseBufferIsBoundedAndOptional) {
  Path missing(at("nope"));
  char small[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(path_probe_readable(&missing.s, small, sizeof small), STATUS_NOT_FOUND);
  EXPECT_EQ(std::string(small), std::string(std::strerror(ENOENT)).substr(0, 3));
  EXPECT_EQ(path_probe_readable(&missing.s, nullptr, 0), STATUS_NOT_FOUND);
  char untouched = 'u';
  EXPECT_EQ(path_probe_readable(&missing.s, &untouched, 0), STATUS_NOT_FOUND);
  EXPECT_EQ(untouched, 'u');
  EXPECT_EQ(path_probe_readable(nullptr, small, sizeof small), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(small[0], 0);
}

// Two threads probing different failures at once each get their own cause:
// nothing is kept in process-wide state.
TEST_F(FileSystem, ProbeCausesDoNotCrossThreads) {
  ASSERT_EQ(mkdir(at("d").c_str(), 0755), 0);
  std::atomic<int> wrong{0};
  auto worker = [&](const std::string& p, int status, int error) {
    for (int i = 0; i < 2000; ++i) {
      Probe r = probe(p);
      if (r.status != status || r.cause != std::strerror(error)) ++wrong;
    }
  };
  std::thread a(worker, at("missing"), STATUS_NOT_FOUND, ENOENT);
  std::thread b(worker, at("d"), STATUS_IS_DIRECTORY, EISDIR);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}
