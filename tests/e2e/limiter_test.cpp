// The true-peak limiter and the delivered-file ceiling, measured on the
// written files with libebur128: float, 24-bit and 16-bit output (dithered)
// meet the ceiling, reach the loudness target, and the loudness line gives
// the written file's values.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <ebur128.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "analysis/loudness.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/mirrored_peak.h"

using e2e::Audio;
using testing::ContainsRegex;
using testing::HasSubstr;
using testing::Not;

namespace {


// Dense material: low-passed noise with a drum-like pulse twice a second,
// 10 ms of a loud sine at a quarter of the rate at the start (where meters
// that mirror the signal before it read peaks far above the samples), and
// later 10 ms of full-scale white noise (true peaks well above its samples).
Audio dense(size_t frames) {
  Audio a = e2e::noise(48000, 2, frames, 11, 0.3);
  for (size_t t = 0; t < frames; ++t) {
    const double u = double(t % 24000) / 48000.0;
    const float kick = float(0.6 * std::exp(-u * 30.0) * std::sin(2.0 * M_PI * 55.0 * u));
    for (auto& ch : a.data) ch[t] = ch[t] + kick;
  }
  Audio burst = e2e::noise(48000, 2, 480, 12);
  for (size_t c = 0; c < 2; ++c) {
    for (size_t t = 0; t < 480; ++t) {
      a.data[c][t] = float(0.99 * std::sin(2.0 * M_PI * 0.2501 * double(t)));
      a.data[c][40000 + t] = burst.data[c][t] > 0 ? 0.99f : -0.99f;
    }
  }
  return a;
}

// Pink noise (stationary: its short-term loudness barely moves) with a
// drum-like pulse at 120 BPM, as dense music is.
Audio pink_pulses(size_t frames, unsigned seed) {
  Audio a;
  a.rate = 48000;
  a.channels = 2;
  a.data.assign(2, std::vector<float>(frames));
  std::mt19937 gen(seed);
  std::normal_distribution<double> white(0.0, 1.0);
  for (auto& ch : a.data) {
    double b0 = 0.0, b1 = 0.0, b2 = 0.0;
    for (size_t t = 0; t < frames; ++t) {
      const double x = white(gen);
      b0 = 0.99765 * b0 + 0.0990460 * x;
      b1 = 0.96300 * b1 + 0.2965164 * x;
      b2 = 0.57000 * b2 + 1.0526913 * x;
      const double u = double(t % 24000) / 48000.0;
      ch[t] = float(0.035 * (b0 + b1 + b2 + 0.1848 * x) + 0.56 * std::exp(-u * 30.0) * std::sin(2.0 * M_PI * 55.0 * u));
    }
  }
  return a;
}

// The values of the loudness line.
bool line_values(const std::string& out, double* lufs, double* tp) {
  const size_t at = out.find("  loudness: ");
  return at != std::string::npos &&
         std::sscanf(out.c_str() + at, "  loudness: %lf LUFS, true peak: %lf dBTP", lufs, tp) == 2;
}

// The standard deviation of the short-term loudness (3 s windows, every
// 100 ms, from 3 s on), LU.
double shortterm_sd(const Audio& a) {
  ebur128_state* m = ebur128_init(unsigned(a.data.size()), unsigned(a.rate), EBUR128_MODE_S);
  if (!m) return NAN;
  const size_t hop = size_t(a.rate) / 10;
  std::vector<float> chunk(hop * a.data.size());
  double sum = 0.0, squares = 0.0;
  size_t count = 0;
  for (size_t at = 0; at + hop <= a.frames(); at += hop) {
    for (size_t t = 0; t < hop; ++t)
      for (size_t c = 0; c < a.data.size(); ++c) chunk[t * a.data.size() + c] = a.data[c][at + t];
    ebur128_add_frames_float(m, chunk.data(), hop);
    double s = 0.0;
    if (at + hop >= 3 * size_t(a.rate) && ebur128_loudness_shortterm(m, &s) == EBUR128_SUCCESS && s > -70.0) {
      sum += s;
      squares += s * s;
      ++count;
    }
  }
  ebur128_destroy(&m);
  const double mean = sum / double(count);
  return std::sqrt(std::max(0.0, squares / double(count) - mean * mean));
}

class Limiter : public e2e::E2ETest {};

// Dense material driven 7 dB into the limiter: the gain comes back between
// its peaks, so that it does not wander with the largest of them and move
// the short-term loudness (pumping).
TEST_F(Limiter, DenseMaterialDoesNotPump) {
  const Audio in = pink_pulses(48000 * 20, 7);
  write("dense.wav", in);
  auto r = run({"-mf", "dense.wav", "-cf", "dense.wav", "-lc", "true", "-ml", "true", "-f", "out.wav", "-lu", "-9",
                "-tl", "-1"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Audio out = e2e::read_wav(dir / "out.wav");
  EXPECT_NEAR(e2e::measure_file(out).integrated_lufs, -9.0, 0.1);
  // A release that follows the largest peaks for 400 ms adds 0.045 here.
  EXPECT_LE(shortterm_sd(out) - shortterm_sd(in), 0.02) << shortterm_sd(out) << " against " << shortterm_sd(in);
}

TEST_F(Limiter, WrittenFilesMeetTheCeilingAndTheTarget) {
  write("dense.wav", dense(96000));
  write_text("c.json5", "{ true_peak_limiter: -2, limiter_lookahead: 3, limiter_release: 100, loudness: -10, bits: 16 }");
  struct Case {
    std::vector<std::string> args;
    double ceiling, target;
    bool limiter;
  };
  const std::vector<Case> cases = {
      {{"-lu", "-9", "-tl", "-1"}, -1.0, -9.0, true},
      {{"-lu", "-9", "-tl", "-1", "-b", "24"}, -1.0, -9.0, true},
      {{"-lu", "-9", "-tl", "-0.1", "-b", "16", "-tla", "0.5"}, -0.1, -9.0, true},
      {{"-lu", "-11", "-tl", "-1", "-tp", "-1.5", "-b", "16", "-tlr", "1000"}, -1.5, -11.0, true},
      {{"-c", "c.json5", "-mf", "dense.wav", "-cf", "dense.wav"}, -2.0, -10.0, true},
      // The whole-file ceiling alone, on 16-bit dithered output.
      {{"-tp", "-0.5", "-b", "16"}, -0.5, NAN, false},
  };
  for (const Case& k : cases) {
    std::string what;
    for (const auto& a : k.args) what += a + " ";
    SCOPED_TRACE(what);
    std::vector<std::string> args = k.args;
    if (args[0] != "-c") args.insert(args.begin(), {"-mf", "dense.wav", "-cf", "dense.wav"});
    args.insert(args.end(), {"-lc", "true", "-ml", "true", "-f", "out.wav"});
    auto r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    Audio out = e2e::read_wav(dir / "out.wav");
    ASSERT_EQ(out.frames(), 96000u);
    const LoudnessMeasure m = e2e::measure_file(out);
    EXPECT_LE(m.true_peak_db, k.ceiling);
    EXPECT_GT(m.true_peak_db, k.ceiling - 1.0);
    if (!std::isnan(k.target)) {
      EXPECT_NEAR(m.integrated_lufs, k.target, 0.1) << r.err;
    }
    double lufs = 0, tp = 0;
    ASSERT_TRUE(line_values(r.out, &lufs, &tp)) << r.out;
    EXPECT_NEAR(lufs, m.integrated_lufs, 0.006);
    EXPECT_NEAR(tp, m.true_peak_db, 0.006);
    if (k.limiter) {
      EXPECT_THAT(r.out, ContainsRegex("limiter: [0-9.]+ dB max, [0-9.]+ dB mean, [0-9.]+% of the time\n"));
      // The start as a meter that mirrors the signal before it reads it.
      EXPECT_LE(test_support::mirrored_start_peak_db(out.data, 64), k.ceiling + 0.05);
    }
    EXPECT_THAT(r.err, Not(HasSubstr("[WRN]")));
  }
}

TEST_F(Limiter, TargetBeyondTwelveDecibelsOfReductionIsTold) {
  write("dense.wav", dense(48000));
  auto r = run({"-mf", "dense.wav", "-cf", "dense.wav", "-lc", "true", "-ml", "true", "-f", "out.wav", "-lu", "0",
                "-tl", "-1", "-r", "rep"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, ContainsRegex("  \\[WRN\\] 'out.wav': true-peak limiter at -1.0 dBTP: loudness target missed by [0-9.]+ LU; "
                                   "reaching it needs [0-9.]+ dB of gain reduction \\(at most 12 dB\\)\n"));
  EXPECT_THAT(r.out, ContainsRegex("limiter: 12.0[0-9] dB max.*, target missed by [0-9.]+ LU \\(needs [0-9.]+ dB of reduction\\)\n"));
  Audio out = e2e::read_wav(dir / "out.wav");
  EXPECT_LE(e2e::measure_file(out).true_peak_db, -1.0);
  std::string report;
  {
    std::ifstream in(dir / "rep/report.json");
    std::stringstream ss;
    ss << in.rdbuf();
    report = ss.str();
  }
  EXPECT_THAT(report, ContainsRegex("\"limiter\": \\{\"ceiling_dbtp\": -1, \"reduction_max_db\": 12[,.]"));
  EXPECT_THAT(report, ContainsRegex("\"gain_step_s\": 0\\.0025, \"gain_db\": \\[-?[0-9]"));
  std::string svg;
  {
    std::ifstream in(dir / "rep/plot-1-1-dense.svg");
    std::stringstream ss;
    ss << in.rdbuf();
    svg = ss.str();
  }
  EXPECT_THAT(svg, HasSubstr("<path id=\"limiter-gain\""));
  // A ceiling in the dither's noise cannot be promised: the run fails.
  r = run({"-mf", "dense.wav", "-cf", "dense.wav", "-f", "low.wav", "-tp", "-100", "-b", "16"});
  EXPECT_EQ(r.status, 8);
  EXPECT_THAT(r.err, HasSubstr("  true-peak ceiling of -100.00 dBTP cannot be met by the written samples"));
  EXPECT_FALSE(std::filesystem::exists(dir / "low.wav"));
  // Bad values say what is wrong.
  r = run({"-mf", "dense.wav", "-cf", "dense.wav", "-tl", "-1", "-tlr", "5"});
  EXPECT_EQ(r.status, 28);
  EXPECT_THAT(r.err, HasSubstr("Bad 'limiter release' value"));
  write_text("bad.json5", "{ limiter_release: 5 }");
  r = run({"-c", "bad.json5", "-mf", "dense.wav", "-cf", "dense.wav"});
  EXPECT_EQ(r.status, 7);
  EXPECT_THAT(r.err, HasSubstr("'limiter_release' must be 0 or lie between 10 and 1000"));
}

}  // namespace
