// Outputs made a block at a time: the files, lines and statuses are those
// of the whole-buffer path. The size held whole is lowered to nothing
// (TIMBRAL_WHOLE_LIMIT_MB=0) so that short test files take the block path.

#include <cstdlib>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;
using e2e::E2ETest;

namespace {

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
  return s;
}

class Stream : public E2ETest {};

}  // namespace

TEST_F(Stream, BlockPathWritesTheFilesOfTheWholeBufferPath) {
  // A dull master and a bright child, stereo; a mono pair for mastering.
  write("m.wav", e2e::noise(48000, 2, 3 * 48000 + 123, 1, 0.05));
  write("c.wav", e2e::noise(48000, 2, 2 * 48000 + 77, 2, 0.4));
  write("r.wav", e2e::noise(48000, 2, 48000 + 5, 3, 0.2));
  const std::vector<std::vector<std::string>> settings = {
      {},
      {"-b", "16"},
      {"-lu", "-16", "-tp", "-1", "-b", "24"},
      {"-lm", "true", "-tp", "-3"},
      {"-ms", "true", "-n", "always", "-ng", "-2"},
      {"-m", "true", "-dg", "-6", "-lc", "true", "-ml", "true"},
      {"-ph", "minimum", "-tp", "-20", "-b", "16", "-di", "none"},
      {"-tl", "-3", "-tla", "3", "-b", "16"},
      {"-mf", "r.wav", "-m", "true", "-lm", "true"},
  };
  for (const auto& extra : settings) {
    std::vector<std::string> args = {"-mf", "m.wav", "-cf", "c.wav"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string trace;
    for (const auto& a : extra) trace += a + " ";
    SCOPED_TRACE(trace);
    auto with = [&](const char* out) {
      std::vector<std::string> a = args;
      a.push_back("-d");
      a.push_back(out);
      return run(a);
    };
    fs::remove_all(dir / "whole");
    fs::remove_all(dir / "blocks");
    const e2e::ToolRun whole = with("whole");
    ::setenv("TIMBRAL_WHOLE_LIMIT_MB", "0", 1);
    const e2e::ToolRun blocks = with("blocks");
    ::unsetenv("TIMBRAL_WHOLE_LIMIT_MB");
    ASSERT_EQ(whole.status, 0) << whole.err;
    EXPECT_EQ(blocks.status, whole.status);
    EXPECT_EQ(replace_all(blocks.out, "blocks/", "whole/"), whole.out);
    EXPECT_EQ(replace_all(blocks.err, "blocks/", "whole/"), whole.err);
    const e2e::Snapshot a = e2e::snapshot(dir / "whole"), b = e2e::snapshot(dir / "blocks");
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a.size(), b.size());
    for (const auto& [name, bytes] : a) {
      auto it = b.find(name);
      ASSERT_NE(it, b.end()) << name;
      EXPECT_TRUE(it->second == bytes) << name << " differs";
    }
  }
}
