#include "tests/audio/test_files.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace audio_test {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/timbral_audio_XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back(0);
  if (!mkdtemp(buf.data())) ADD_FAILURE() << "mkdtemp failed";
  dir_ = buf.data();
}

TempDir::~TempDir() {
  for (const std::string& e : entries()) unlink(path(e).c_str());
  rmdir(dir_.c_str());
}

std::vector<std::string> TempDir::entries() const {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir_.c_str())) {
    while (dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void write_file(const std::string& path, int format, int rate, int channels, const std::vector<double>& interleaved) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  sf_count_t frames = sf_count_t(interleaved.size() / size_t(channels));
  EXPECT_EQ(sf_writef_double(f, interleaved.data(), frames), frames);
  EXPECT_EQ(sf_close(f), 0);
}

FileInfo read_file(const std::string& path) {
  FileInfo r{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &r.info);
  r.opened = f != nullptr;
  if (!f) return r;
  r.frames.resize(size_t(r.info.frames) * size_t(r.info.channels));
  EXPECT_EQ(sf_readf_float(f, r.frames.data(), r.info.frames), r.info.frames);
  sf_close(f);
  return r;
}

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

PathString::PathString(const std::string& text) {
  string_init(&s);
  EXPECT_TRUE(string_from_utf8(&s, text.data(), text.size()));
}

PathString::~PathString() { string_free(&s); }

float pattern_value(uint64_t channel, uint64_t frame) {
  return float(int64_t((frame * 37 + channel * 11) % 2001) - 1000) / 1024.0f;
}

OwnedSample::OwnedSample(uint64_t channels, uint64_t length, uint64_t rate) {
  sample_init(s);
  EXPECT_TRUE(sample_allocate(s, channels, length, length));
  s.sample_rate = rate;
  for (uint64_t c = 0; c < channels; ++c)
    for (uint64_t t = 0; t < length; ++t) s.data[c * s.stride + t] = pattern_value(c, t);
}

}  // namespace audio_test
