#pragma once

// Helpers of the end-to-end tests: a scratch directory per test, WAV files
// written and read with libsndfile, and runs of the real binary with its
// standard output, standard error and exit status captured.

#include <sndfile.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace e2e {

struct Audio {
  int rate = 0;
  int channels = 0;
  int format = 0;                  // libsndfile format of a file read back
  std::vector<std::vector<float>> data;  // one vector per channel
  size_t frames() const { return data.empty() ? 0 : data[0].size(); }
};

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Path of the program under test.
std::string tool_path();

// Runs the tool with `args` in directory `cwd`.
ToolRun run_tool(const std::vector<std::string>& args, const std::filesystem::path& cwd);

// Writes `audio` as a 16-bit (pcm16) or 32-bit float WAV.
void write_wav(const std::filesystem::path& path, const Audio& audio, bool pcm16 = false);

// Reads a file; ADD_FAILURE when it cannot be opened.
Audio read_wav(const std::filesystem::path& path);

// Test signals.
Audio noise(int rate, int channels, size_t frames, unsigned seed, double lowpass = 0.0);
Audio sine(int rate, int channels, size_t frames, double freq, double amp);

// All regular files under `dir`, relative, sorted.
std::vector<std::string> list_files(const std::filesystem::path& dir);

class E2ETest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path dir;  // fresh scratch directory, the runs' working directory
  ToolRun run(const std::vector<std::string>& args) { return run_tool(args, dir); }
  void write(const std::string& name, const Audio& a, bool pcm16 = false) { write_wav(dir / name, a, pcm16); }
  void write_text(const std::string& name, const std::string& text);
};

}  // namespace e2e
