#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sndfile.h>

#include "analysis/sample.h"
#include "runtime/string.h"

// Files for the audio tests: a fresh directory per test, WAVs written
// directly with libsndfile, and a String holding a path.
namespace audio_test {

// A new empty directory under the system's temporary directory, removed
// with everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  // Names of the entries in the directory, sorted.
  std::vector<std::string> entries() const;

 private:
  std::string dir_;
};

// Writes interleaved frames with libsndfile in `format` (SF_FORMAT_*).
void write_file(const std::string& path, int format, int rate, int channels, const std::vector<double>& interleaved);

struct FileInfo {
  bool opened;
  SF_INFO info;
  std::vector<float> frames;  // interleaved, libsndfile's own float reading
};
FileInfo read_file(const std::string& path);

std::string read_bytes(const std::string& path);
void write_bytes(const std::string& path, const std::string& bytes);

// A String for a path; frees itself.
struct PathString {
  explicit PathString(const std::string& text);
  ~PathString();
  String s;
};

// A Sample filled with a deterministic pattern: value of channel c at frame
// t is a small distinct number; frees itself.
struct OwnedSample {
  OwnedSample(uint64_t channels, uint64_t length, uint64_t rate);
  OwnedSample() { sample_init(s); }
  ~OwnedSample() { sample_destroy(s); }
  Sample s;
};
float pattern_value(uint64_t channel, uint64_t frame);

}  // namespace audio_test
