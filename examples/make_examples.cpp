// Writes the input files of the bundled example: a few seconds of synthetic
// signals with clearly different timbres, at 44100 and 48000 Hz, mono and
// stereo. Usage: make_examples <directory>
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// Small deterministic noise source, so the files are the same on every run.
struct Noise {
  uint32_t state = 0x12345678u;
  double next() {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) * (2.0 / 16777216.0) - 1.0;
  }
};

// One-pole filter; `coeff` near 1 is dark, near 0 bright.
struct OnePole {
  double coeff, y = 0;
  double low(double x) { return y += (1 - coeff) * (x - y); }
};

// Harmonic tone: a chord of three notes whose harmonics fall off by `tilt`
// per harmonic, plus filtered noise bursts on every beat.
std::vector<float> render(int rate, int channels, double seconds, double tilt, double noise_coeff,
                          bool highpass, uint32_t seed) {
  const int frames = static_cast<int>(seconds * rate);
  std::vector<float> out(static_cast<size_t>(frames) * channels);
  const double notes[] = {110.0, 164.81, 220.0};
  Noise noise;
  noise.state = seed;
  OnePole lp{noise_coeff};
  for (int t = 0; t < frames; ++t) {
    double time = static_cast<double>(t) / rate;
    double tone = 0;
    for (double f : notes) {
      double amp = 1.0;
      for (int h = 1; h <= 24 && f * h < rate / 2.2; ++h, amp *= tilt) {
        tone += amp * std::sin(2 * kPi * f * h * time) / 3.0;
      }
    }
    double beat = std::fmod(time, 0.5);
    double env = std::exp(-beat * 18.0);
    double n = noise.next();
    double low = lp.low(n);
    double burst = (highpass ? n - low : low) * env;
    double v = 0.18 * tone + 0.5 * burst;
    for (int c = 0; c < channels; ++c) {
      double pan = channels == 1 ? 1.0 : (c == 0 ? 0.9 : 1.1);
      out[static_cast<size_t>(t) * channels + c] = static_cast<float>(0.5 * v * pan);
    }
  }
  return out;
}

bool write(const std::string& path, int rate, int channels, const std::vector<float>& data) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) {
    std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
    return false;
  }
  sf_count_t frames = static_cast<sf_count_t>(data.size() / channels);
  bool ok = sf_writef_float(f, data.data(), frames) == frames;
  sf_close(f);
  std::printf("wrote %s (%d Hz, %d channel%s, %lld frames)\n", path.c_str(), rate, channels,
              channels == 1 ? "" : "s", static_cast<long long>(frames));
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  bool ok = true;
  // Group "band": a stereo master at 44100 Hz and two stereo children.
  ok &= write(dir + "/band_master.wav", 44100, 2, render(44100, 2, 4.0, 0.80, 0.90, false, 1));
  ok &= write(dir + "/band_bright.wav", 48000, 2, render(48000, 2, 3.0, 0.95, 0.30, true, 2));
  ok &= write(dir + "/band_dark.wav", 44100, 2, render(44100, 2, 3.5, 0.45, 0.98, false, 3));
  // Group "voice": a mono master at 48000 Hz and one mono child at 44100 Hz.
  ok &= write(dir + "/voice_master.wav", 48000, 1, render(48000, 1, 3.0, 0.70, 0.95, false, 4));
  ok &= write(dir + "/voice_nasal.wav", 44100, 1, render(44100, 1, 3.0, 0.90, 0.60, true, 5));
  return ok ? 0 : 1;
}
