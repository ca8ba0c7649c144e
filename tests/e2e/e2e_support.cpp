#include "tests/e2e/e2e_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace e2e {

std::string tool_path() {
  const char* bin = std::getenv("TIMBRAL_BIN");
  if (bin && *bin) return bin;
  return TIMBRAL_BIN_PATH;
}

namespace {
std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
}  // namespace

ToolRun run_tool(const std::vector<std::string>& args, const fs::path& cwd) {
  ToolRun r;
  fs::path out = cwd / ".stdout", err = cwd / ".stderr";
  std::string prog = tool_path();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(127);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(prog.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(prog.c_str(), argv.data());
    _exit(127);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = slurp(out);
  r.err = slurp(err);
  fs::remove(out);
  fs::remove(err);
  return r;
}

void write_wav(const fs::path& path, const Audio& a, bool pcm16) {
  SF_INFO info{};
  info.samplerate = a.rate;
  info.channels = a.channels;
  info.format = SF_FORMAT_WAV | (pcm16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << path;
  size_t n = a.frames();
  std::vector<float> inter(n * a.channels);
  for (size_t t = 0; t < n; ++t)
    for (int c = 0; c < a.channels; ++c) inter[t * a.channels + c] = a.data[c][t];
  sf_writef_float(f, inter.data(), static_cast<sf_count_t>(n));
  sf_close(f);
}

Audio read_wav(const fs::path& path) {
  Audio a;
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) {
    ADD_FAILURE() << "cannot open " << path;
    return a;
  }
  a.rate = info.samplerate;
  a.channels = info.channels;
  a.format = info.format;
  std::vector<float> inter(static_cast<size_t>(info.frames) * info.channels);
  sf_readf_float(f, inter.data(), info.frames);
  sf_close(f);
  a.data.assign(a.channels, std::vector<float>(static_cast<size_t>(info.frames)));
  for (sf_count_t t = 0; t < info.frames; ++t)
    for (int c = 0; c < a.channels; ++c) a.data[c][t] = inter[t * a.channels + c];
  return a;
}

Audio noise(int rate, int channels, size_t frames, unsigned seed, double lowpass) {
  Audio a;
  a.rate = rate;
  a.channels = channels;
  a.data.assign(channels, std::vector<float>(frames));
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-0.4, 0.4);
  for (int c = 0; c < channels; ++c) {
    double y = 0;
    for (size_t t = 0; t < frames; ++t) {
      double x = u(gen);
      y = lowpass > 0 ? y + (1 - lowpass) * (x - y) : x;
      a.data[c][t] = static_cast<float>(y);
    }
  }
  return a;
}

Audio sine(int rate, int channels, size_t frames, double freq, double amp) {
  Audio a;
  a.rate = rate;
  a.channels = channels;
  a.data.assign(channels, std::vector<float>(frames));
  for (int c = 0; c < channels; ++c)
    for (size_t t = 0; t < frames; ++t)
      a.data[c][t] = static_cast<float>(amp * std::sin(2 * M_PI * freq * t / rate));
  return a;
}

std::vector<std::string> list_files(const fs::path& dir) {
  std::vector<std::string> names;
  if (!fs::exists(dir)) return names;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) names.push_back(fs::relative(e.path(), dir).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void E2ETest::SetUp() {
  char templ[] = "/tmp/timbral-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(templ), nullptr);
  dir = templ;
}

void E2ETest::TearDown() {
  std::error_code ec;
  fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(dir, ec);
}

void E2ETest::write_text(const std::string& name, const std::string& text) {
  fs::create_directories((dir / name).parent_path());
  std::ofstream(dir / name, std::ios::binary) << text;
}

}  // namespace e2e
