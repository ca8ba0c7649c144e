#include "tests/e2e/e2e_support.h"

#include "analysis/sample.h"
#include "runtime/status.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>
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

namespace {
ToolRun run_program(const std::vector<std::string>& args, const fs::path& cwd, bool merged, double limit = 0) {
  ToolRun r;
  fs::path out = cwd / ".stdout", err = cwd / ".stderr";
  std::string prog = tool_path();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(127);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = merged ? o : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
  if (limit > 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit);
    while (waitpid(pid, &st, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        r.status = kTimedOut;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  } else {
    waitpid(pid, &st, 0);
  }
  if (r.status != kTimedOut) r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = slurp(out);
  if (!merged) r.err = slurp(err);
  fs::remove(out);
  fs::remove(err);
  return r;
}
}  // namespace

ToolRun run_tool(const std::vector<std::string>& args, const fs::path& cwd) {
  return run_program(args, cwd, false, kHangSeconds);
}

ToolRun run_tool_within(const std::vector<std::string>& args, const fs::path& cwd, double seconds) {
  return run_program(args, cwd, false, seconds);
}

ToolRun run_tool_merged(const std::vector<std::string>& args, const fs::path& cwd) {
  return run_program(args, cwd, true, kHangSeconds);
}

LoudnessMeasure measure_file(const Audio& a) {
  Sample s;
  sample_init(s);
  EXPECT_TRUE(sample_allocate(s, a.channels, a.frames(), a.frames()));
  s.sample_rate = a.rate;
  for (size_t c = 0; c < a.data.size(); ++c)
    for (size_t t = 0; t < a.frames(); ++t) s.data[c * s.stride + t] = a.data[c][t];
  LoudnessMeasure m{};
  EXPECT_EQ(measure_loudness(s, &m), STATUS_OK);
  sample_destroy(s);
  return m;
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

uint64_t fnv1a(const void* data, size_t size, uint64_t h) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

uint64_t sample_hash(const Audio& a) {
  uint64_t h = 1469598103934665603ull;
  for (const auto& ch : a.data) h = fnv1a(ch.data(), ch.size() * sizeof(float), h);
  return h;
}

bool is_record(const std::string& path) {
  const std::string suffix = ".timbral-record";
  const std::string name = fs::path(path).filename().string();
  return name.size() > suffix.size() && name[0] == '.' &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

Snapshot without_records(Snapshot s) {
  std::erase_if(s, [](const auto& entry) { return is_record(entry.first); });
  return s;
}

Snapshot snapshot(const fs::path& dir) {
  Snapshot s;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = it->path().lexically_relative(dir).string();
    if (it->is_symlink()) {
      s[rel] = "link:" + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      s[rel] = "dir";
    } else {
      std::string bytes = slurp(it->path());
      s[rel] = std::to_string(bytes.size()) + ":" + std::to_string(fnv1a(bytes.data(), bytes.size()));
    }
  }
  return s;
}

std::vector<std::complex<double>> fft(const std::vector<double>& x, size_t n) {
  std::vector<std::complex<double>> a(n);
  for (size_t i = 0; i < x.size() && i < n; ++i) a[i] = x[i];
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    std::complex<double> w = std::polar(1.0, -2 * M_PI / static_cast<double>(len));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> wk = 1;
      for (size_t k = 0; k < len / 2; ++k, wk *= w) {
        std::complex<double> u = a[i + k], v = a[i + k + len / 2] * wk;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
      }
    }
  }
  return a;
}

std::vector<double> response_db(const std::vector<float>& ir, size_t n) {
  auto bins = fft(std::vector<double>(ir.begin(), ir.end()), n);
  std::vector<double> db(n / 2 + 1);
  for (size_t k = 0; k <= n / 2; ++k) {
    double m = std::abs(bins[k]);
    db[k] = m > 0 ? 20 * std::log10(m) : -300.0;
  }
  return db;
}

// Robert Bristow-Johnson's cookbook forms.
Biquad Biquad::peaking(double rate, double freq, double q, double gain_db) {
  double A = std::pow(10.0, gain_db / 40), w = 2 * M_PI * freq / rate, alpha = std::sin(w) / (2 * q);
  double a0 = 1 + alpha / A;
  return {(1 + alpha * A) / a0, -2 * std::cos(w) / a0, (1 - alpha * A) / a0, -2 * std::cos(w) / a0,
          (1 - alpha / A) / a0};
}

Biquad Biquad::high_shelf(double rate, double freq, double gain_db) {
  double A = std::pow(10.0, gain_db / 40), w = 2 * M_PI * freq / rate, c = std::cos(w);
  double alpha = std::sin(w) / 2 * std::sqrt(2.0), s = 2 * std::sqrt(A) * alpha;
  double a0 = (A + 1) - (A - 1) * c + s;
  return {A * ((A + 1) + (A - 1) * c + s) / a0, -2 * A * ((A - 1) + (A + 1) * c) / a0,
          A * ((A + 1) + (A - 1) * c - s) / a0, 2 * ((A - 1) - (A + 1) * c) / a0, ((A + 1) - (A - 1) * c - s) / a0};
}

double Biquad::gain_db(double rate, double freq) const {
  std::complex<double> z1 = std::polar(1.0, -2 * M_PI * freq / rate), z2 = z1 * z1;
  return 20 * std::log10(std::abs((b0 + b1 * z1 + b2 * z2) / (1.0 + a1 * z1 + a2 * z2)));
}

Audio filtered(const Audio& a, const Biquad& f) {
  Audio out = a;
  for (auto& ch : out.data) {
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (float& v : ch) {
      double x = v, y = f.b0 * x + f.b1 * x1 + f.b2 * x2 - f.a1 * y1 - f.a2 * y2;
      x2 = x1;
      x1 = x;
      y2 = y1;
      y1 = y;
      v = static_cast<float>(y);
    }
  }
  return out;
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
