// Delivery of the processed audio, measured on the written files:
// loudness targets and matching against the test's own BS.1770 meter, the
// true-peak ceiling on 4x oversampled output, the overs warning, output
// containers and sample formats read back through libsndfile, dither, runs
// at the masters' own rates, and gated profiles.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;
using e2e::Audio;
using e2e::E2ETest;
using testing::HasSubstr;
using testing::Not;

namespace {

// Integrated loudness (ITU-R BS.1770-4) of a 48 kHz file, channels weighted
// 1: K-weighting, 400 ms blocks every 100 ms, the absolute gate at -70 LUFS
// and the relative gate 10 LU below the mean of the blocks above it.
// Returns NaN when no block passes the gates.
double integrated_lufs(const Audio& a) {
  EXPECT_EQ(a.rate, 48000);
  const e2e::Biquad shelf{1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241, 0.73248077421585};
  const e2e::Biquad highpass{1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621};
  Audio k = e2e::filtered(e2e::filtered(a, shelf), highpass);
  const size_t block = 19200, step = 4800;
  std::vector<double> power;  // per block, summed over channels
  for (size_t start = 0; start + block <= k.frames(); start += step) {
    double sum = 0;
    for (const auto& ch : k.data)
      for (size_t t = start; t < start + block; ++t) sum += static_cast<double>(ch[t]) * ch[t];
    power.push_back(sum / block);
  }
  auto lufs = [](double p) { return -0.691 + 10 * std::log10(p); };
  auto gated_mean = [&](double gate) {
    double sum = 0;
    size_t n = 0;
    for (double p : power)
      if (p > 0 && lufs(p) > gate) {
        sum += p;
        ++n;
      }
    return n ? sum / n : 0.0;
  };
  double abs_mean = gated_mean(-70.0);
  if (abs_mean <= 0) return std::nan("");
  double rel_mean = gated_mean(lufs(abs_mean) - 10.0);
  return lufs(rel_mean);
}

// The largest magnitude of the signal reconstructed at four times the
// rate (a Blackman-windowed sinc over 32 samples either side), in dB.
double true_peak_db(const Audio& a) {
  const int half = 32;
  double peak = 0;
  for (const auto& ch : a.data) {
    const long n = static_cast<long>(ch.size());
    for (long t = 0; t < n; ++t) {
      peak = std::max(peak, std::fabs(static_cast<double>(ch[t])));
      for (int q = 1; q < 4; ++q) {
        double frac = q / 4.0, v = 0;
        for (long k = -half + 1; k <= half; ++k) {
          long u = t + k;
          if (u < 0 || u >= n) continue;
          double x = k - frac, w = 0.42 + 0.5 * std::cos(M_PI * x / half) + 0.08 * std::cos(2 * M_PI * x / half);
          v += ch[u] * std::sin(M_PI * x) / (M_PI * x) * w;
        }
        peak = std::max(peak, std::fabs(v));
      }
    }
  }
  return 20 * std::log10(peak);
}

double sample_peak(const Audio& a) {
  double p = 0;
  for (const auto& ch : a.data)
    for (float v : ch) p = std::max(p, std::fabs(static_cast<double>(v)));
  return p;
}

// Noise shaped like speech: low-passed, in syllables of 200 ms at a
// varying level, with a pause after every third.
Audio speech_like(size_t frames, unsigned seed) {
  Audio a = e2e::noise(48000, 1, frames, seed, 0.7);
  for (size_t t = 0; t < frames; ++t) {
    size_t syllable = t / 9600;
    double phase = static_cast<double>(t % 9600) / 9600;
    double env = syllable % 4 == 3 ? 0.0 : std::sin(M_PI * phase) * (0.5 + 0.5 * ((syllable * 7) % 5) / 4.0);
    a.data[0][t] = static_cast<float>(a.data[0][t] * env);
  }
  return a;
}

class Delivery : public E2ETest {
 protected:
  // A run of master and child (names in the working directory) that
  // writes only the processed audio to `out`, as long as the master and
  // aligned with it.
  e2e::ToolRun run_pair(const std::string& master, const std::string& child, const std::string& out,
                        const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"-mf", master, "-cf", child, "-lc", "true", "-ml", "true", "-f", out};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args);
  }
};

TEST_F(Delivery, SineReadsItsReferenceLoudness) {
  // The same file as master and child leaves the audio as it is: the
  // written output is the input, and its loudness is that of the input.
  write("mono.wav", e2e::sine(48000, 1, 96000, 997, 0.1));
  write("stereo.wav", e2e::sine(48000, 2, 96000, 997, 0.1));
  auto r = run_pair("mono.wav", "mono.wav", "m.wav");
  ASSERT_EQ(r.status, 0) << r.err;
  // Without a loudness setting nothing is measured or said.
  EXPECT_THAT(r.out, Not(HasSubstr("  loudness:")));
  EXPECT_EQ(r.err, "");
  EXPECT_NEAR(integrated_lufs(e2e::read_wav(dir / "m.wav")), -23.0, 0.1);
  r = run_pair("stereo.wav", "stereo.wav", "s.wav");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, Not(HasSubstr("  loudness:")));
  EXPECT_NEAR(integrated_lufs(e2e::read_wav(dir / "s.wav")), -20.0, 0.1);

  // Matching the loudness of the child: the tool's meter agrees, so the
  // gain is nil and the line states the reference loudness.
  r = run_pair("stereo.wav", "stereo.wav", "s2.wav", {"-lm", "true"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("  loudness: -20.0"));
  EXPECT_THAT(r.out, testing::ContainsRegex("gain: [+-]0\\.0[0-5] dB\n"));
}

TEST_F(Delivery, LoudnessTargetsOnSpeechLikeNoise) {
  Audio speech = speech_like(144000, 31);
  write("speech.wav", speech);
  // The child has the same material through an EQ, so the output is
  // really processed before its loudness is set.
  write("eq.wav", e2e::filtered(speech, e2e::Biquad::peaking(48000, 2500, 1.0, 8)));
  for (const char* target : {"-23", "-16"}) {
    auto r = run_pair("speech.wav", "eq.wav", "out.wav", {"-lu", target});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr(std::string("  loudness: ") + target + ".00 LUFS, true peak: "));
    EXPECT_NEAR(integrated_lufs(e2e::read_wav(dir / "out.wav")), std::stod(target), 0.1) << target;
  }
  // Matching takes the child's loudness (the timbre's source), in
  // mastering mode the master's.
  double child_lufs = integrated_lufs(e2e::read_wav(dir / "eq.wav"));
  double master_lufs = integrated_lufs(speech);
  ASSERT_GT(std::fabs(child_lufs - master_lufs), 2.0);
  auto r = run_pair("speech.wav", "eq.wav", "out.wav", {"-lm", "true"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NEAR(integrated_lufs(e2e::read_wav(dir / "out.wav")), child_lufs, 0.1);
  r = run_pair("speech.wav", "eq.wav", "out.wav", {"-lm", "true", "-m", "true"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NEAR(integrated_lufs(e2e::read_wav(dir / "out.wav")), master_lufs, 0.1);

  // Settings that contradict each other, from either source.
  e2e::Snapshot before = e2e::snapshot(dir);
  r = run_pair("speech.wav", "eq.wav", "x.wav", {"-lu", "-16", "-lm", "true"});
  EXPECT_EQ(r.status, 13);
  EXPECT_EQ(r.err, "Settings 'loudness' and 'match_loudness' cannot be combined\n");
  r = run_pair("speech.wav", "eq.wav", "x.wav", {"-lu", "-16", "-n", "above"});
  EXPECT_EQ(r.status, 13);
  EXPECT_EQ(r.err, "Settings 'loudness' and 'normalize' cannot be combined\n");
  write_text("c.json", "{loudness: -14}");
  before = e2e::snapshot(dir);
  r = run({"-c", "c.json", "-mf", "speech.wav", "-cf", "eq.wav", "-lm", "true"});
  EXPECT_EQ(r.status, 13);
  EXPECT_EQ(r.err, "Settings 'loudness' and 'match_loudness' cannot be combined\n");
  EXPECT_EQ(r.out, "");
  // "off" on the command line switches the file's target off again.
  r = run({"-c", "c.json", "-mf", "speech.wav", "-cf", "eq.wav", "-lm", "true", "-lu", "off", "-dr", "true"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::snapshot(dir), before);
}

TEST_F(Delivery, TruePeakCeilingHoldsBetweenSamples) {
  // A 12 kHz sine a quarter period off the sample grid: every sample is at
  // 0.707 of its peak, so the sample peak is 3 dB below the true peak.
  // Faded in and out so that its edges add no overshoot of their own.
  Audio s = e2e::sine(48000, 1, 48000, 12000, 1.0);
  for (size_t t = 0; t < s.frames(); ++t) {
    double fade = std::min({1.0, t / 2400.0, (s.frames() - 1 - t) / 2400.0});
    s.data[0][t] = static_cast<float>(std::sin(M_PI / 2 * t + M_PI / 4) * fade);
  }
  write("hf.wav", s);
  ASSERT_NEAR(true_peak_db(s), 0.0, 0.05);
  auto r = run_pair("hf.wav", "hf.wav", "out.wav", {"-tp", "-1", "-r", "rep"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto read_text = [&](const char* name) {
    std::ifstream in(dir / "rep" / name);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  };
  // The report records the delivery of every output and whether it passed.
  EXPECT_THAT(read_text("report.json"), testing::ContainsRegex("\"delivery\": \\{\"target_lufs\": null, \"ceiling_dbtp\": -1, "
                                                               "\"gain_db\": -[0-9.]+, \"loudness_lufs\": -[0-9.]+, "
                                                               "\"true_peak_dbtp\": -1(\\.00[0-9]*)?, \"miss_lu\": 0, \"pass\": true\\}"));
  EXPECT_THAT(read_text("index.html"), HasSubstr("<th>Delivery</th><td><span class=\"ok\">pass</span>"));
  Audio out = e2e::read_wav(dir / "out.wav");
  double tp = true_peak_db(out);
  EXPECT_LE(tp, -1.0 + 0.1);
  EXPECT_GE(tp, -1.0 - 0.2);  // brought to the ceiling, not far below it
  EXPECT_NEAR(20 * std::log10(sample_peak(out)), tp - 3.01, 0.1);

  // A loudness target that the ceiling does not allow: the ceiling wins
  // and the shortfall is told.
  for (auto& v : s.data[0]) v *= 0.5f;
  write("hf.wav", s);
  r = run_pair("hf.wav", "hf.wav", "out.wav", {"-tp", "-1", "-lu", "0", "-r", "rep"});
  ASSERT_EQ(r.status, 0) << r.err;
  out = e2e::read_wav(dir / "out.wav");
  EXPECT_LE(true_peak_db(out), -1.0 + 0.1);
  double missed = -integrated_lufs(out);
  ASSERT_GT(missed, 0.3);
  char line[128];
  std::snprintf(line, sizeof line, "  [WRN] 'out.wav': true-peak ceiling of -1.0 dBTP: loudness target missed by %.2f LU\n",
                missed);
  // The tool's meter and the test's may differ in the last digit.
  EXPECT_THAT(r.err, HasSubstr(std::string(line).substr(0, 75)));
  EXPECT_THAT(read_text("report.json"), testing::ContainsRegex("\"delivery\": \\{\"target_lufs\": 0, \"ceiling_dbtp\": -1, "
                                                               "\"gain_db\": [0-9.]+, \"loudness_lufs\": -0\\.[0-9]+, "
                                                               "\"true_peak_dbtp\": -1(\\.00[0-9]*)?, \"miss_lu\": 0\\.[0-9]+, \"pass\": false\\}"));
  EXPECT_THAT(read_text("index.html"), HasSubstr("<th>Delivery</th><td><span class=\"bad\">fail</span>"));
  EXPECT_THAT(read_text("index.html"), testing::ContainsRegex("missed by 0\\.[0-9][0-9] LU</td>"));
  // The run's delivery table leads with the result of every output.
  EXPECT_THAT(read_text("index.html"),
              testing::ContainsRegex("<tr><td><span class=\"bad\">fail</span></td><td>out.wav</td><td>-0\\.[0-9][0-9] LUFS</td>"
                                     "<td>-1\\.00 dBTP</td><td>0\\.[0-9][0-9] LU</td></tr>"));
  EXPECT_THAT(r.err, testing::ContainsRegex("missed by 0\\.[0-9][0-9] LU\n"));
}

TEST_F(Delivery, SilentOutputIsNotScaled) {
  // A silent master takes the child's timbre and stays silent.
  write("zero.wav", e2e::sine(48000, 1, 48000, 1000, 0.0));
  write("n.wav", e2e::noise(48000, 1, 48000, 42));
  auto r = run_pair("zero.wav", "n.wav", "out.wav", {"-lu", "-20", "-r", "rep"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "  [WRN] output is silent (no measurable loudness); not scaled\n");
  EXPECT_EQ(sample_peak(e2e::read_wav(dir / "out.wav")), 0.0);
  // An unmeasurable loudness is reported as such, not as a number the
  // C library made up.
  EXPECT_THAT(r.out, HasSubstr("  loudness: "));
  EXPECT_THAT(r.out, Not(HasSubstr("nan")));
  EXPECT_THAT(r.out, Not(HasSubstr("inf")));
  std::string report;
  {
    std::ifstream in(dir / "rep/report.json");
    std::stringstream ss;
    ss << in.rdbuf();
    report = ss.str();
  }
  EXPECT_THAT(report, HasSubstr("\"integrated_loudness_lufs\": null"));
  EXPECT_THAT(report, Not(HasSubstr("nan")));
}

TEST_F(Delivery, CeilingHoldsWhereLoudnessCannotBeMeasured) {
  // A shot shorter than one 400 ms block, and a take below the absolute
  // gate with one click: no loudness to reach, a peak to hold.
  write("shot.wav", e2e::sine(48000, 1, 12000, 1000, 0.9));
  Audio faint = e2e::sine(48000, 1, 48000, 1000, 1e-5);
  faint.data[0][24000] = 0.02f;
  write("faint.wav", faint);
  struct Case {
    const char* input;
    std::vector<std::string> args;
    double ceiling;
  } cases[] = {
      {"shot.wav", {"-lu", "-14", "-tp", "-1", "-wg", "6", "-b", "16"}, -1.0},
      {"faint.wav", {"-lu", "-14", "-tp", "-40"}, -40.0},
  };
  for (const Case& c : cases) {
    auto r = run_pair(c.input, c.input, "out.wav", c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LE(true_peak_db(e2e::read_wav(dir / "out.wav")), c.ceiling + 0.1) << c.input << " " << c.ceiling;
    EXPECT_THAT(r.err, HasSubstr("output loudness is unmeasurable (shorter than 0.4 s or below -70 LUFS)"));
    EXPECT_THAT(r.err, Not(HasSubstr("silent")));
    EXPECT_THAT(r.out, HasSubstr("  loudness: unmeasurable, true peak: " + std::to_string(int(c.ceiling)) + ".0"));
  }

  // The lowest target: what is printed and reported is what the file
  // measures, never the target itself.
  write("tone.wav", e2e::sine(48000, 1, 48000, 997, 0.5));
  EXPECT_EQ(run_pair("tone.wav", "tone.wav", "x.wav", {"-lu", "-70.5"}).status, 28);
  auto r = run_pair("tone.wav", "tone.wav", "low.wav", {"-lu", "-70", "-r", "rep"});
  ASSERT_EQ(r.status, 0) << r.err;
  const double measured = integrated_lufs(e2e::read_wav(dir / "low.wav"));
  std::ifstream in(dir / "rep/report.json");
  std::stringstream report;
  report << in.rdbuf();
  if (std::isnan(measured)) {
    EXPECT_THAT(r.out, HasSubstr("  loudness: unmeasurable,"));
    EXPECT_THAT(report.str(), HasSubstr("\"integrated_loudness_lufs\": null"));
  } else {
    EXPECT_NEAR(measured, -70.0, 0.05);
  }
}

TEST_F(Delivery, OversAreWarnedAbout) {
  write("loud.wav", e2e::sine(48000, 1, 4800, 1000, 1.5));
  auto r = run_pair("loud.wav", "loud.wav", "float.wav");
  ASSERT_EQ(r.status, 0) << r.err;
  Audio f = e2e::read_wav(dir / "float.wav");
  size_t overs = 0;
  for (float v : f.data[0]) overs += std::fabs(v) > 1.0f;
  ASSERT_GT(overs, 100u);
  char peak[32];
  std::snprintf(peak, sizeof peak, "%+.2f", 20 * std::log10(sample_peak(f)));
  EXPECT_EQ(std::string(peak), "+3.52");
  // A float file keeps the overs ...
  EXPECT_EQ(r.err, "  [WRN] 'float.wav' peaks at +3.52 dBFS: " + std::to_string(overs) + " samples over full scale\n");
  // ... an integer file clips them.
  r = run_pair("loud.wav", "loud.wav", "int.wav", {"-b", "16"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "  [WRN] 'int.wav' peaks at +3.52 dBFS: " + std::to_string(overs) +
                       " samples over full scale, clipped\n");
  EXPECT_LE(sample_peak(e2e::read_wav(dir / "int.wav")), 1.0);
  // Under full scale nothing is said.
  write("soft.wav", e2e::sine(48000, 1, 4800, 1000, 0.9));
  r = run_pair("soft.wav", "soft.wav", "soft-out.wav", {"-b", "16"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

TEST_F(Delivery, FormatsReadBackWithTheirType) {
  // Master and child the same: the float output equals the master, and
  // every other format holds it within its resolution plus dither.
  write("n.wav", e2e::noise(48000, 2, 6000, 32));
  auto r = run_pair("n.wav", "n.wav", "ref.wav");
  ASSERT_EQ(r.status, 0) << r.err;
  Audio ref = e2e::read_wav(dir / "ref.wav");
  struct Case {
    std::vector<std::string> args;
    std::string file;
    int format;
    double lsb;  // of the sample format; 0 for float
  } cases[] = {
      {{"-of", "flac", "-b", "16"}, "o.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1.0 / 32768},
      {{"-of", "aiff", "-b", "24"}, "o.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 1.0 / 8388608},
      {{"--format", "w64"}, "o.w64", SF_FORMAT_W64 | SF_FORMAT_FLOAT, 0},
      {{"-of", "rf64"}, "o.rf64", SF_FORMAT_RF64 | SF_FORMAT_FLOAT, 0},
      {{"-of", "rf64", "-b", "24", "-di", "none"}, "o24.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_24, 1.0 / 8388608},
      {{"-b", "16"}, "o16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1.0 / 32768},
      {{"-b", "32"}, "o32.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 1.0 / 2147483648.0},
      {{"-of", "auto", "-b", "16"}, "auto.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1.0 / 32768},
      {{"-of", "AUTO", "-b", "24"}, "auto.aif", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 1.0 / 8388608},
      {{"-of", "auto"}, "auto.w64", SF_FORMAT_W64 | SF_FORMAT_FLOAT, 0},
      {{"-of", "auto"}, "auto", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0},
  };
  for (const Case& c : cases) {
    r = run_pair("n.wav", "n.wav", c.file, c.args);
    ASSERT_EQ(r.status, 0) << c.file << r.err;
    EXPECT_EQ(r.err, "") << c.file;
    Audio a = e2e::read_wav(dir / c.file);
    EXPECT_EQ(a.format, c.format) << c.file << std::hex << " 0x" << a.format;
    EXPECT_EQ(a.rate, 48000);
    ASSERT_EQ(a.channels, 2) << c.file;
    ASSERT_EQ(a.frames(), ref.frames()) << c.file;
    if (c.lsb == 0) {
      EXPECT_EQ(a.data, ref.data) << c.file;
      continue;
    }
    // Rounding is half an LSB, TPDF dither one more (and float's own 24
    // bits weigh at 32).
    double worst = 0;
    for (int ch = 0; ch < 2; ++ch)
      for (size_t t = 0; t < a.frames(); ++t)
        worst = std::max(worst, std::fabs(static_cast<double>(a.data[ch][t]) - ref.data[ch][t]));
    EXPECT_LE(worst, std::max(1.5 * c.lsb, 1e-7) * 1.0001) << c.file;
  }
  // The IRs and responses stay 32-bit float WAV whatever the audio's format.
  r = run_pair("n.wav", "n.wav", "p.flac", {"-of", "flac", "-b", "16", "-p", "audio,raw", "-iw", "raw.flac"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::read_wav(dir / "raw.flac").format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(e2e::read_wav(dir / "p.flac").format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
}

TEST_F(Delivery, EveryFormatReplacesAnOldFileAndLeavesNothingElse) {
  write("n.wav", e2e::noise(48000, 1, 3000, 40));
  fs::create_directories(dir / "out");
  for (auto [format, bits, file] : {std::tuple{"wav", "16", "o.wav"}, {"rf64", "float", "o.rf64"}, {"w64", "24", "o.w64"},
                                     {"aiff", "32", "o.aiff"}, {"flac", "24", "o.flac"}}) {
    write_text(std::string("out/") + file, "an old version");
    auto r = run_pair("n.wav", "n.wav", std::string("out/") + file, {"-of", format, "-b", bits});
    ASSERT_EQ(r.status, 0) << format << r.err;
    EXPECT_EQ(e2e::read_wav(dir / "out" / file).frames(), 3000u) << format;
  }
  // Only the five outputs: no temporary is left beside them.
  EXPECT_EQ(e2e::list_files(dir / "out"),
            (std::vector<std::string>{"o.aiff", "o.flac", "o.rf64", "o.w64", "o.wav"}));
}

TEST_F(Delivery, FormatsTheyCannotHoldAreRefusedBeforeAnyWork) {
  write("n.wav", e2e::noise(48000, 2, 3000, 33));
  Audio wide = e2e::noise(48000, 9, 3000, 34);
  write("wide.wav", wide);
  e2e::Snapshot before = e2e::snapshot(dir);
  struct Case {
    std::string input;
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {"n.wav", {"-of", "flac"}, "Output format not possible for 'o.flac': FLAC cannot hold float samples (use 16 or 24 bits)\n"},
      {"n.wav", {"-of", "flac", "-b", "float"}, "Output format not possible for 'o.flac': FLAC cannot hold float samples (use 16 or 24 bits)\n"},
      {"n.wav", {"-of", "auto"}, "Output format not possible for 'o.flac': FLAC cannot hold float samples (use 16 or 24 bits)\n"},
      {"n.wav", {"-of", "flac", "-b", "32"}, ""},
  };
  for (const Case& c : cases) {
    auto r = run_pair(c.input, c.input, "o.flac", c.args);
    EXPECT_EQ(r.status, 8) << c.args.back();
    if (!c.err.empty()) {
      EXPECT_EQ(r.err, c.err);
    }
    EXPECT_THAT(r.err, testing::StartsWith("Output format not possible for 'o.flac': FLAC"));
    EXPECT_EQ(r.out, "") << c.args.back();
  }
  EXPECT_EQ(e2e::snapshot(dir), before);
  // Bad keywords.
  for (auto [opt, value] : {std::pair{"-of", "ogg"}, {"-b", "8"}, {"-b", "double"}, {"-di", "noise"}}) {
    auto r = run_pair("n.wav", "n.wav", "o.wav", {opt, value});
    EXPECT_EQ(r.status, 7) << opt << " " << value;
  }
  EXPECT_THAT(run_pair("n.wav", "n.wav", "o.wav", {"-of", "ogg"}).err, testing::StartsWith("Bad 'format' value\n"));
  EXPECT_THAT(run_pair("n.wav", "n.wav", "o.wav", {"-b", "8"}).err, testing::StartsWith("Bad 'bits' value\n"));
  EXPECT_THAT(run_pair("n.wav", "n.wav", "o.wav", {"-di", "noise"}).err, testing::StartsWith("Bad 'dither' value\n"));
  // Bad numbers of the delivery settings.
  for (auto [opt, label] : {std::pair{"-lu", "loudness"}, {"-tp", "true peak"}, {"-gt", "gate"}, {"-lm", "match loudness"}}) {
    auto r = run_pair("n.wav", "n.wav", "o.wav", {opt, "loud"});
    EXPECT_EQ(r.status, 28) << opt;
    EXPECT_THAT(r.err, testing::StartsWith(std::string("Bad '") + label + "' value\n"));
  }
  auto r = run_pair("n.wav", "n.wav", "o.wav", {"-lu", "5"});
  EXPECT_EQ(r.status, 28);
  r = run_pair("n.wav", "n.wav", "o.wav", {"-gt", "-3"});
  EXPECT_EQ(r.status, 28);
  EXPECT_EQ(e2e::snapshot(dir), before);
}

TEST_F(Delivery, DitherIsReproducibleAtItsExpectedLevel) {
  // Digital silence, then a sine of four LSBs of 16 bits.
  Audio s = e2e::sine(48000, 1, 48000, 1000, 4.0 / 32768);
  std::fill(s.data[0].begin(), s.data[0].begin() + 24000, 0.0f);
  write("quiet.wav", s);
  auto r = run_pair("quiet.wav", "quiet.wav", "float.wav");
  ASSERT_EQ(r.status, 0) << r.err;
  Audio ref = e2e::read_wav(dir / "float.wav");
  // Error in LSBs of the 16-bit output against the float one.
  auto error_lsb = [&](const Audio& a) {
    std::vector<double> e(a.frames());
    for (size_t t = 0; t < a.frames(); ++t) e[t] = (static_cast<double>(a.data[0][t]) - ref.data[0][t]) * 32768;
    return e;
  };
  auto stats = [](const std::vector<double>& e, size_t from, size_t to) {
    double sum = 0, sq = 0, worst = 0;
    for (size_t t = from; t < to; ++t) {
      sum += e[t];
      sq += e[t] * e[t];
      worst = std::max(worst, std::fabs(e[t]));
    }
    double n = static_cast<double>(to - from);
    return std::tuple{sum / n, std::sqrt(sq / n), worst};
  };

  r = run_pair("quiet.wav", "quiet.wav", "a.wav", {"-b", "16"});
  ASSERT_EQ(r.status, 0) << r.err;
  e2e::Snapshot first = e2e::snapshot(dir);
  r = run_pair("quiet.wav", "quiet.wav", "a.wav", {"-b", "16", "-di", "tpdf"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::snapshot(dir), first);  // the same file again, bit for bit

  // TPDF of ±1 LSB peak and rounding add to an error of variance 1/4 LSB²
  // (RMS 0.5 LSB, -96.3 dBFS), in the silence as in the signal.
  auto e = error_lsb(e2e::read_wav(dir / "a.wav"));
  for (auto [from, to] : {std::pair{size_t{0}, size_t{24000}}, {size_t{24000}, e.size()}}) {
    auto [mean, rms, worst] = stats(e, from, to);
    EXPECT_NEAR(rms, 0.5, 0.03) << from;
    EXPECT_NEAR(mean, 0.0, 0.03) << from;
    EXPECT_LE(worst, 1.5001) << from;
  }
  // Another output path seeds another sequence of the same level.
  r = run_pair("quiet.wav", "quiet.wav", "b.wav", {"-b", "16"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto e2 = error_lsb(e2e::read_wav(dir / "b.wav"));
  EXPECT_NE(e, e2);
  EXPECT_NEAR(std::get<1>(stats(e2, 0, e2.size())), 0.5, 0.03);

  // The sequence depends on the output's path alone, not on what else the
  // run does: b.wav made in a run of two children is the same file.
  write("other.wav", e2e::noise(48000, 1, 48000, 41));
  r = run({"-mf", "quiet.wav", "-cf", "other.wav", "-cf", "quiet.wav", "-lc", "true", "-ml", "true", "-b", "16", "-f",
           "${file_index}.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  fs::rename(dir / "2.wav", dir / "2-first.wav");
  r = run({"-mf", "quiet.wav", "-cf", "other.wav", "-cf", "quiet.wav", "-lc", "true", "-ml", "true", "-b", "16", "-f",
           "${file_index}.wav", "-se", "true"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("skipping child 'other.wav': all its outputs exist"));
  EXPECT_EQ(e2e::read_wav(dir / "2.wav").data, e2e::read_wav(dir / "2-first.wav").data);

  // Nor on how the destination is spelled: relative, with "./" or
  // absolute, the same output under it gets the same bits.
  for (const std::string& dst : {std::string("d1"), std::string("./d2"), (dir / "d3").string()}) {
    r = run_pair("quiet.wav", "quiet.wav", "a.wav", {"-b", "16", "-d", dst});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(e2e::read_wav(fs::path(dst).is_absolute() ? fs::path(dst) / "a.wav" : dir / dst / "a.wav").data,
              e2e::read_wav(dir / "d1/a.wav").data)
        << dst;
  }

  // Without dither the silence stays silent and the error is rounding's.
  r = run_pair("quiet.wav", "quiet.wav", "c.wav", {"-b", "16", "-di", "none"});
  ASSERT_EQ(r.status, 0) << r.err;
  Audio plain = e2e::read_wav(dir / "c.wav");
  EXPECT_TRUE(std::all_of(plain.data[0].begin(), plain.data[0].begin() + 24000, [](float v) { return v == 0.0f; }));
  auto e3 = error_lsb(plain);
  EXPECT_LE(std::get<2>(stats(e3, 0, e3.size())), 0.5001);
}

TEST_F(Delivery, SourceRateRunsEachGroupAtItsMastersRate) {
  write("m44.wav", e2e::noise(44100, 1, 4410, 35));
  write("m32.wav", e2e::noise(32000, 1, 3200, 36));
  write("c48.wav", e2e::noise(48000, 1, 4800, 37, 0.5));
  write_text("run.json5", R"({ srate: 'source', produce: ['audio', 'frm'], file: '${group}.wav',
    ir: { fr_master: '${group}-frm.wav' },
    groups: { a: { master: 'm44.wav', files: ['c48.wav'] }, b: { master: 'm32.wav', files: ['c48.wav'] } } })");
  auto r = run({"-c", "run.json5"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (auto [file, rate, frames] :
       {std::tuple{"a.wav", 44100, 4410 + 4096}, {"a-frm.wav", 44100, 4096}, {"b.wav", 32000, 3200 + 4096},
        {"b-frm.wav", 32000, 4096}}) {
    Audio a = e2e::read_wav(dir / file);
    EXPECT_EQ(a.rate, rate) << file;
    EXPECT_EQ(a.frames(), static_cast<size_t>(frames)) << file;
  }
  EXPECT_THAT(r.out, HasSubstr("  saved file: 'a.wav', channels: 1, samples: 8506, sample rate: 44100"));
  // The same from the command line; a fixed rate still brings all to it.
  r = run({"-mf", "m32.wav", "-cf", "c48.wav", "-sr", "source", "-f", "cl.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::read_wav(dir / "cl.wav").rate, 32000);
  r = run({"-mf", "m32.wav", "-cf", "c48.wav", "-sr", "44100", "-f", "fixed.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::read_wav(dir / "fixed.wav").rate, 44100);
}

TEST_F(Delivery, GatedProfilesIgnoreSilence) {
  // One child, and the same child followed by as much digital silence.
  Audio master = e2e::noise(48000, 1, 48000, 38);
  Audio child = e2e::filtered(e2e::noise(48000, 1, 24000, 39), e2e::Biquad::peaking(48000, 1500, 0.8, 9));
  Audio padded = child;
  padded.data[0].resize(48000, 0.0f);
  write("m.wav", master);
  write("c.wav", child);
  write("pad.wav", padded);
  // Responses of the raw IRs in sixth-octave bands from 100 Hz to 10 kHz.
  auto bands = [&](const std::string& child_file, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"-mf", "m.wav", "-cf", child_file, "-p", "raw", "-iw", "raw.wav"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    auto db = e2e::response_db(e2e::read_wav(dir / "raw.wav").data[0], 4096);
    std::vector<double> out;
    for (double f = 100; f < 10000; f *= std::pow(2.0, 1.0 / 6)) {
      size_t lo = static_cast<size_t>(f / 48000 * 4096), hi = static_cast<size_t>(f * std::pow(2.0, 1.0 / 6) / 48000 * 4096);
      double p = 0;
      for (size_t k = lo; k <= hi; ++k) p += std::pow(10.0, db[k] / 10);
      out.push_back(10 * std::log10(p / (hi - lo + 1)));
    }
    return out;
  };
  auto plain = bands("c.wav", {});
  auto gated = bands("pad.wav", {"-gt", "40"});
  auto ungated = bands("pad.wav", {});
  for (size_t i = 0; i < plain.size(); ++i) {
    EXPECT_NEAR(gated[i], plain[i], 0.1) << "band " << i;
    EXPECT_NEAR(ungated[i] - plain[i], -6.02, 0.5) << "band " << i;
  }
  // Material without silence gives the same IR with the gate as without.
  auto plain_gated = bands("c.wav", {"-gt", "40"});
  EXPECT_EQ(plain_gated, plain);
}

}  // namespace
