#pragma once

// Helpers of the end-to-end tests: a scratch directory per test, WAV files
// written and read with libsndfile, and runs of the real binary with its
// standard output, standard error and exit status captured.

#include <sndfile.h>

#include <complex>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/loudness.h"

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

constexpr int kTimedOut = -2;
constexpr double kHangSeconds = 300;

// Runs the tool with `args` in directory `cwd`. A run that has not ended
// within kHangSeconds is killed and its status is kTimedOut, so that a hang
// fails its test instead of stalling the suite.
ToolRun run_tool(const std::vector<std::string>& args, const std::filesystem::path& cwd);

// Runs the tool as run_tool does, but kills it when it has not ended
// within `seconds`; the result's status is then kTimedOut.
ToolRun run_tool_within(const std::vector<std::string>& args, const std::filesystem::path& cwd, double seconds);

// Runs the tool with standard output and standard error into one file, as
// `>log 2>&1` does; the result's `out` holds both in the order written and
// `err` is empty.
ToolRun run_tool_merged(const std::vector<std::string>& args, const std::filesystem::path& cwd);

// libebur128's integrated loudness and true peak of audio read back from a
// written file.
LoudnessMeasure measure_file(const Audio& audio);

// Writes `audio` as a 16-bit (pcm16) or 32-bit float WAV.
void write_wav(const std::filesystem::path& path, const Audio& audio, bool pcm16 = false);

// Reads a file; ADD_FAILURE when it cannot be opened.
Audio read_wav(const std::filesystem::path& path);

// Test signals.
Audio noise(int rate, int channels, size_t frames, unsigned seed, double lowpass = 0.0);
Audio sine(int rate, int channels, size_t frames, double freq, double amp);

// All regular files under `dir`, relative, sorted.
std::vector<std::string> list_files(const std::filesystem::path& dir);

// Every entry under `dir` (relative path) with what it holds: the size and
// FNV-1a hash of a file's bytes, a symbolic link's target, "dir" for a
// directory. Two snapshots are equal when nothing on disk changed.
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const std::filesystem::path& dir);

// `s` without the records a run that keeps existing outputs writes beside
// each output (".<name>.timbral-record"): they hold modification times, so
// two runs that make the same outputs write different records.
Snapshot without_records(Snapshot s);
bool is_record(const std::string& path);

// FNV-1a over bytes, and over the bit patterns of every sample of `a`,
// channel by channel (independent of the container the samples came from).
uint64_t fnv1a(const void* data, size_t size, uint64_t h = 1469598103934665603ull);
uint64_t sample_hash(const Audio& a);

// Discrete Fourier transform of `x` zero-padded to `n` (a power of two).
std::vector<std::complex<double>> fft(const std::vector<double>& x, size_t n);

// Magnitude in dB of the DFT of one channel of `ir` (bins 0..n/2); a
// magnitude of zero reads as -300 dB.
std::vector<double> response_db(const std::vector<float>& ir, size_t n);

// A second-order section in direct form, run over every channel of `a` in
// double precision. The coefficients are normalised (a0 = 1).
struct Biquad {
  double b0, b1, b2, a1, a2;
  static Biquad peaking(double rate, double freq, double q, double gain_db);
  static Biquad high_shelf(double rate, double freq, double gain_db);
  // Magnitude in dB at `freq`.
  double gain_db(double rate, double freq) const;
};
Audio filtered(const Audio& a, const Biquad& f);

class E2ETest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path dir;  // fresh scratch directory, the runs' working directory
  ToolRun run(const std::vector<std::string>& args) { return run_tool(args, dir); }
  ToolRun run_merged(const std::vector<std::string>& args) { return run_tool_merged(args, dir); }
  void write(const std::string& name, const Audio& a, bool pcm16 = false) { write_wav(dir / name, a, pcm16); }
  void write_text(const std::string& name, const std::string& text);
};

}  // namespace e2e
