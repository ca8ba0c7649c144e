// Saving over symbolic links, read-only files and long names; the cause
// of a failed load or save; interrupted saves; non-finite samples.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

#include "audio/sample_file.h"
#include "runtime/signal_cleanup.h"
#include "tests/audio/test_files.h"

using namespace audio_test;

namespace {

mode_t mode_of(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// A name of 255 bytes, the longest a directory entry can have, is written
// (the temporary name does not grow with it), by both entry points.
TEST(SafeSave, LongestLegalNameIsWritten) {
  TempDir dir;
  OwnedSample s(1, 500, 8000);
  std::string name = std::string(251, 'n') + ".wav";
  ASSERT_EQ(name.size(), 255u);
  PathString p(dir.path(name));
  ASSERT_EQ(sample_save_file(s.s, p.s, 0, -1), 500);
  ASSERT_EQ(sample_save_file(s.s, p.s, 0, -1, SaveFormat{SAVE_CONTAINER_AUTO, 16, 0}, nullptr, nullptr, 0), 500);
  EXPECT_EQ(read_file(dir.path(name)).info.frames, 500);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{name});
}

// Saving to a link replaces the file at its end and keeps the link, for
// relative and absolute links, chains of them, and a link whose target
// does not exist yet.
TEST(SafeSave, SymbolicLinksKeepPointingAtTheNewFile) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.path("real").c_str(), 0755), 0);
  write_bytes(dir.path("real/take.wav"), "old");
  ASSERT_EQ(symlink("real/take.wav", dir.path("rel.wav").c_str()), 0);
  ASSERT_EQ(symlink(dir.path("rel.wav").c_str(), dir.path("chain.wav").c_str()), 0);
  ASSERT_EQ(symlink("real/new.wav", dir.path("dangling.wav").c_str()), 0);
  OwnedSample s(2, 300, 8000);
  for (const char* link : {"rel.wav", "chain.wav"}) {
    PathString p(dir.path(link));
    write_bytes(dir.path("real/take.wav"), "old");
    ASSERT_EQ(sample_save_file(s.s, p.s, 0, -1), 300) << link;
    struct stat st;
    ASSERT_EQ(lstat(dir.path(link).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << link;
    EXPECT_EQ(read_file(dir.path("real/take.wav")).info.frames, 300) << link;
  }
  PathString d(dir.path("dangling.wav"));
  ASSERT_EQ(sample_save_file(s.s, d.s, 0, -1, SaveFormat{0, 24, 0}, nullptr, nullptr, 0), 300);
  EXPECT_EQ(read_file(dir.path("real/new.wav")).info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"chain.wav", "dangling.wav", "real", "rel.wav"}));

  ASSERT_EQ(symlink("loop.wav", dir.path("loop.wav").c_str()), 0);
  PathString loop(dir.path("loop.wav"));
  char cause[256] = "";
  EXPECT_EQ(sample_save_file(s.s, loop.s, 0, -1, save_format_default(), nullptr, cause, sizeof cause),
            -int64_t(STATUS_IO_ERROR));
  EXPECT_STREQ(cause, std::strerror(ELOOP));
}

// The replaced file's permission bits carry over, read-only ones included
// (they are set only after libsndfile has written the file); a new file
// gets 0666 less the umask.
TEST(SafeSave, PermissionBitsOfTheReplacedFileAreKept) {
  TempDir dir;
  OwnedSample s(1, 100, 8000);
  write_bytes(dir.path("ro.wav"), "old");
  ASSERT_EQ(chmod(dir.path("ro.wav").c_str(), 0440), 0);
  PathString ro(dir.path("ro.wav"));
  ASSERT_EQ(sample_save_file(s.s, ro.s, 0, -1), 100);
  EXPECT_EQ(mode_of(dir.path("ro.wav")), 0440u);
  EXPECT_EQ(read_file(dir.path("ro.wav")).info.frames, 100);
  mode_t mask = umask(027);
  PathString fresh(dir.path("fresh.flac"));
  int64_t r = sample_save_file(s.s, fresh.s, 0, -1, SaveFormat{SAVE_CONTAINER_AUTO, 16, 0}, nullptr, nullptr, 0);
  umask(mask);
  ASSERT_EQ(r, 100);
  EXPECT_EQ(mode_of(dir.path("fresh.flac")), 0640u);
}

// The original entry reports a failed temporary as 4 like it always did;
// the format entry reports the system's own answer and its words.
TEST(SafeSave, FailuresNameTheirCause) {
  TempDir dir;
  OwnedSample s(1, 100, 8000);
  PathString nodir(dir.path("no/such.wav"));
  EXPECT_EQ(sample_save_file(s.s, nodir.s, 0, -1), -int64_t(STATUS_SYSTEM));
  char cause[256] = "";
  EXPECT_EQ(sample_save_file(s.s, nodir.s, 0, -1, save_format_default(), nullptr, cause, sizeof cause),
            -int64_t(STATUS_NOT_FOUND));
  EXPECT_STREQ(cause, std::strerror(ENOENT));
  write_bytes(dir.path("file"), "x");
  PathString under_file(dir.path("file/x.wav"));
  EXPECT_EQ(sample_save_file(s.s, under_file.s, 0, -1, save_format_default(), nullptr, cause, sizeof cause),
            -int64_t(STATUS_PATH_COMPONENT));
  EXPECT_STREQ(cause, std::strerror(ENOTDIR));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"file"});
}

TEST(LoadCause, SystemFailuresGetTheirOwnStatusAndText) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.path("d").c_str(), 0755), 0);
  write_bytes(dir.path("plain"), "x");
  write_bytes(dir.path("junk.wav"), std::string(4000, 'j'));
  struct Case {
    std::string name;
    Status status;
    const char* text;
  };
  const Case cases[] = {
      {"missing.wav", STATUS_NOT_FOUND, std::strerror(ENOENT)},
      {"d", STATUS_IS_DIRECTORY, std::strerror(EISDIR)},
      {"plain/x.wav", STATUS_PATH_COMPONENT, std::strerror(ENOTDIR)},
      {std::string(300, 'x') + ".wav", STATUS_LIMIT, std::strerror(ENAMETOOLONG)},
  };
  OwnedSample s(1, 3, 1000);
  float* before = s.s.data;
  for (const Case& c : cases) {
    PathString p(dir.path(c.name));
    char cause[256] = "";
    EXPECT_EQ(sample_load_file(s.s, p.s, -1, cause, sizeof cause), c.status) << c.name;
    EXPECT_STREQ(cause, c.text) << c.name;
  }
  // libsndfile's own refusal keeps its status and gives its text.
  PathString junk(dir.path("junk.wav"));
  char cause[256] = "";
  EXPECT_EQ(sample_load_file(s.s, junk.s, -1, cause, sizeof cause), STATUS_BAD_FORMAT);
  EXPECT_STRNE(cause, "");
  // The original entry still says 4 for a missing file.
  PathString missing(dir.path("missing.wav"));
  EXPECT_EQ(sample_load_file(s.s, missing.s, -1), STATUS_SYSTEM);
  EXPECT_EQ(s.s.data, before);

  if (geteuid() != 0) {
    write_file(dir.path("locked.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, {0.5, 0.25});
    ASSERT_EQ(chmod(dir.path("locked.wav").c_str(), 0), 0);
    PathString locked(dir.path("locked.wav"));
    EXPECT_EQ(sample_load_file(s.s, locked.s, -1, cause, sizeof cause), STATUS_ACCESS_DENIED);
    EXPECT_STREQ(cause, std::strerror(EACCES));
  }
  write_file(dir.path("ok.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, {0.5, 0.25});
  PathString ok(dir.path("ok.wav"));
  EXPECT_EQ(sample_load_file(s.s, ok.s, -1, cause, sizeof cause), STATUS_OK);
  EXPECT_EQ(s.s.length, 2u);
}

// A process interrupted while a temporary is registered removes it and
// still dies of the signal; an unregistered file is left alone.
TEST(SignalCleanup, InterruptedSaveLeavesNoTemporary) {
  TempDir dir;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    write_bytes(dir.path("tmp"), "partial");
    write_bytes(dir.path("keep"), "keep");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (!signal_cleanup_install() || !signal_cleanup_register(dir.path("tmp").c_str())) _exit(3);
      raise(sig);
      _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep"}) << sig;
  }
  std::string too_long(5000, 'x');
  EXPECT_FALSE(signal_cleanup_register(too_long.c_str()));
}

TEST(NonFinite, FirstBadSampleInFrameOrder) {
  OwnedSample s(3, 1000, 8000);
  uint64_t frame = 99, channel = 99;
  EXPECT_FALSE(sample_find_nonfinite(s.s, &frame, &channel));
  EXPECT_EQ(frame, 99u);
  s.s.data[2 * s.s.stride + 500] = INFINITY;
  s.s.data[1 * s.s.stride + 700] = NAN;
  EXPECT_TRUE(sample_find_nonfinite(s.s, &frame, &channel));
  EXPECT_EQ(frame, 500u);
  EXPECT_EQ(channel, 2u);
  s.s.data[1 * s.s.stride + 500] = -INFINITY;  // same frame, lower channel
  EXPECT_TRUE(sample_find_nonfinite(s.s, &frame, &channel));
  EXPECT_EQ(channel, 1u);
  s.s.data[999] = NAN;
  s.s.data[1000] = NAN;  // past the length, in the padding: not a sample
  EXPECT_TRUE(sample_find_nonfinite(s.s, nullptr, &channel));
  EXPECT_EQ(channel, 1u);
}

TEST(NonFinite, FoundAcrossBlocksAndAtTheirEdges) {
  // Long rows are tested block by block: a bad sample on either side of a
  // block edge, in the last frame, or earlier in a later channel.
  OwnedSample s(2, 10001, 48000);
  uint64_t frame = 0, channel = 0;
  for (uint64_t at : {4095u, 4096u, 8191u, 8192u, 10000u}) {
    s.s.data[at] = NAN;
    EXPECT_TRUE(sample_find_nonfinite(s.s, &frame, &channel)) << at;
    EXPECT_EQ(frame, at);
    EXPECT_EQ(channel, 0u);
    s.s.data[at] = 0.0f;
  }
  s.s.data[9000] = INFINITY;
  s.s.data[s.s.stride + 5000] = -INFINITY;
  EXPECT_TRUE(sample_find_nonfinite(s.s, &frame, &channel));
  EXPECT_EQ(frame, 5000u);
  EXPECT_EQ(channel, 1u);
  s.s.data[9000] = 0.0f;
  s.s.data[s.s.stride + 5000] = 3.4e38f;  // large but finite
  EXPECT_FALSE(sample_find_nonfinite(s.s, &frame, &channel));
}

}  // namespace
