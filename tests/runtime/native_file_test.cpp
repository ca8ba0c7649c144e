#include "runtime/native_file.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "runtime/byte_stream.h"
#include "runtime/file_system.h"
#include "runtime/status.h"
#include "runtime/string.h"

namespace {

class NativeFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/timbral-nf-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    string_free(&path_);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  String* path(const std::string& rel) {
    string_free(&path_);
    std::string full = root_ + "/" + rel;
    EXPECT_TRUE(string_from_utf8(&path_, full.data(), full.size()));
    return &path_;
  }
  void write_file(const std::string& rel, const std::string& bytes) {
    FILE* f = fopen((root_ + "/" + rel).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  }
  std::string root_;
  String path_{};
};

}  // namespace

TEST(ByteStream, BaseProvidesNothing) {
  ByteStream s;
  char b[1];
  FileInfo info;
  EXPECT_EQ(s.read(b, 1), -STATUS_NOT_SUPPORTED);
  EXPECT_EQ(s.write_at(0, b, 1), -STATUS_NOT_SUPPORTED);
  EXPECT_EQ(s.tell(), -STATUS_NOT_SUPPORTED);
  EXPECT_EQ(s.last_status(), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(s.info(&info), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(s.sync(), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(s.close(), 0);
  EXPECT_EQ(s.last_status(), 0);
}

TEST_F(NativeFileTest, ShortReadThenEnd) {
  write_file("four", "abcd");
  NativeFile f;
  ASSERT_EQ(f.open(path("four"), NativeFile::OPEN_READ), 0);
  EXPECT_EQ(f.mode(), 5);
  EXPECT_EQ(f.open(path("four"), NativeFile::OPEN_READ), STATUS_INVALID);
  char buf[10];
  EXPECT_EQ(f.read(buf, 10), 4);
  EXPECT_EQ(f.read(buf, 10), -STATUS_END_OF_STREAM);
  EXPECT_EQ(f.last_status(), STATUS_END_OF_STREAM);
  EXPECT_EQ(f.read(buf, 0), 0);
  EXPECT_EQ(f.read_at(2, buf, 10), 2);
  EXPECT_EQ(buf[0], 'c');
  EXPECT_EQ(f.size(), 4);
  EXPECT_EQ(f.write(buf, 1), -STATUS_ACCESS_DENIED);
  EXPECT_EQ(f.truncate(0), STATUS_ACCESS_DENIED);
  EXPECT_EQ(f.flush(), STATUS_ACCESS_DENIED);
  EXPECT_EQ(f.seek(1, 0), 0);
  EXPECT_EQ(f.tell(), 1);
  EXPECT_EQ(f.seek(0, 3), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(f.close(), 0);
  EXPECT_EQ(f.descriptor(), -1);
  EXPECT_EQ(f.close(), 0);
  EXPECT_EQ(f.read(buf, 1), -STATUS_INVALID);
  EXPECT_EQ(f.tell(), -STATUS_INVALID);
  FileInfo info;
  EXPECT_EQ(f.info(&info), STATUS_INVALID);
}

TEST_F(NativeFileTest, WriteCreateTruncate) {
  NativeFile f;
  int flags = NativeFile::OPEN_WRITE | NativeFile::OPEN_CREATE | NativeFile::OPEN_TRUNCATE;
  ASSERT_EQ(f.open(path("new"), flags), 0);
  EXPECT_EQ(f.mode(), 6);
  EXPECT_EQ(f.write("hello", 5), 5);
  EXPECT_EQ(f.write_at(0, "J", 1), 1);
  EXPECT_EQ(f.flush(), 0);
  EXPECT_EQ(f.sync(), 0);
  EXPECT_EQ(f.truncate(4), 0);
  FileInfo info;
  ASSERT_EQ(f.info(&info), 0);
  EXPECT_EQ(info.type, FILE_TYPE_REGULAR);
  EXPECT_EQ(info.size, 4);
  char b[1];
  EXPECT_EQ(f.read(b, 1), -STATUS_ACCESS_DENIED);
  ASSERT_EQ(f.close(), 0);
  struct stat st;
  ASSERT_EQ(::stat((root_ + "/new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u & ~[] { mode_t m = umask(0); umask(m); return m; }());

  NativeFile rw;
  ASSERT_EQ(rw.open(path("new"), NativeFile::OPEN_READ | NativeFile::OPEN_WRITE), 0);
  EXPECT_EQ(rw.mode(), 7);
  char buf[8];
  ASSERT_EQ(rw.read(buf, 8), 4);
  EXPECT_EQ(std::string(buf, 4), "Jell");
}

TEST_F(NativeFileTest, OpenErrors) {
  NativeFile f;
  EXPECT_EQ(f.open(nullptr, NativeFile::OPEN_READ), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(f.open(path("x"), NativeFile::OPEN_CREATE), STATUS_BAD_VALUE);
  EXPECT_EQ(f.open(path("missing"), NativeFile::OPEN_READ), STATUS_NOT_FOUND);
  EXPECT_EQ(f.last_status(), STATUS_NOT_FOUND);
  ASSERT_EQ(mkdir((root_ + "/dir").c_str(), 0755), 0);
  EXPECT_EQ(f.open(path("dir"), NativeFile::OPEN_READ), STATUS_NOT_FOUND);
  EXPECT_EQ(f.open(path("dir"), NativeFile::OPEN_WRITE | NativeFile::OPEN_CREATE), STATUS_EXISTS);
  // Through a symbolic link the directory check does not see it: EISDIR.
  ASSERT_EQ(symlink("dir", (root_ + "/link").c_str()), 0);
  EXPECT_EQ(f.open(path("link"), NativeFile::OPEN_WRITE), STATUS_IS_DIRECTORY);
  write_file("file", "x");
  EXPECT_EQ(f.open(path("file/inner"), NativeFile::OPEN_READ), STATUS_PATH_COMPONENT);
  EXPECT_EQ(f.descriptor(), -1);
}

TEST_F(NativeFileTest, PermissionDenied) {
  if (geteuid() == 0) GTEST_SKIP() << "running as root: permissions are not enforced";
  write_file("secret", "x");
  ASSERT_EQ(chmod((root_ + "/secret").c_str(), 0), 0);
  NativeFile f;
  EXPECT_EQ(f.open(path("secret"), NativeFile::OPEN_READ), STATUS_ACCESS_DENIED);
}

TEST(NativeFile, PipeCannotSeek) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  NativeFile r, w;
  ASSERT_EQ(r.wrap(fds[0], NativeFile::MODE_READ | NativeFile::MODE_OWNS), 0);
  ASSERT_EQ(w.wrap(fds[1], NativeFile::MODE_WRITE | NativeFile::MODE_OWNS), 0);
  EXPECT_EQ(r.seek(0, 0), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(w.write("ab", 2), 2);
  ASSERT_EQ(w.close(), 0);
  char buf[4];
  EXPECT_EQ(r.read(buf, 4), 2);
  EXPECT_EQ(r.read(buf, 4), -STATUS_END_OF_STREAM);
}
