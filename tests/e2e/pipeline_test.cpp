// Whole runs of the group pipeline: which outputs appear, in which order,
// and what they hold.

#include <cmath>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;
using e2e::Audio;
using e2e::E2ETest;
using testing::HasSubstr;

namespace {

float db_gain(float db) {
  return std::exp(static_cast<float>(static_cast<double>(db) * 2.302585092994046 * static_cast<double>(0.05f)));
}

float peak(const Audio& a) {
  float p = 0;
  for (const auto& ch : a.data)
    for (float v : ch) p = std::max(p, std::fabs(v));
  return p;
}

// Largest |out[t + shift] - gain * in[t]| over the input, and |out| beyond it.
float max_error(const Audio& out, const Audio& in, size_t shift, float gain) {
  float e = 0;
  for (int c = 0; c < in.channels; ++c) {
    for (size_t t = 0; t < out.frames(); ++t) {
      float expect = (t >= shift && t - shift < in.frames()) ? gain * in.data[c][t - shift] : 0.0f;
      e = std::max(e, std::fabs(out.data[c][t] - expect));
    }
  }
  return e;
}

class Pipeline : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    master = e2e::noise(48000, 2, 20000, 7);
    write("m.wav", master);
    write("same.wav", master);
    write("dark.wav", e2e::noise(48000, 2, 12000, 8, 0.8));
    write("mono.wav", e2e::noise(48000, 1, 12000, 9));
  }
  Audio master;
};

TEST_F(Pipeline, DefaultRunWritesAllFiveOutputsInOrder) {
  write_text("c.json", "{groups: {g: {master: 'm.wav', files: ['dark.wav', 'same.wav']}}}");
  auto r = run({"-c", "c.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const char* expected[] = {
      "processing group 'g'...\n",
      "  loaded file: 'm.wav', channels: 2, samples: 20000, sample rate: 48000, duration: 00:00:00.416\n",
      "  saved file: 'm/m - FR Master.wav', channels: 2, samples: 4096, sample rate: 48000",
      "  loaded file: 'dark.wav'",
      "  saved file: 'm/dark - FR Child.wav'",
      "  saved file: 'm/dark - Raw IR.wav', channels: 2, samples: 4096",
      "  saved file: 'm/dark - IR.wav', channels: 2, samples: 4096",
      "  saved file: 'm/dark - processed.wav', channels: 2, samples: 24096",
      "  loaded file: 'same.wav'",
      "  saved file: 'm/same - processed.wav'",
  };
  size_t pos = 0;
  for (const char* line : expected) {
    size_t at = r.out.find(line, pos);
    ASSERT_NE(at, std::string::npos) << line << "\nin:\n" << r.out;
    pos = at + 1;
  }
  auto fr = e2e::read_wav(dir / "m/m - FR Master.wav");
  EXPECT_EQ(fr.rate, 48000);
  EXPECT_EQ(fr.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(e2e::list_files(dir / "m").size(), 9u);
}

TEST_F(Pipeline, IdenticalFilesGiveTheDelayedInput) {
  // Equal profiles give a unit impulse at the IR's centre (the window is
  // 1.0 there to float precision): the output is the master delayed by
  // half the IR length, then the IR's tail of zeros.
  auto r = run({"-mf", "m.wav", "-cf", "same.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto out = e2e::read_wav(dir / "m/same - processed.wav");
  ASSERT_EQ(out.frames(), 20000u + 4096u);
  EXPECT_LT(max_error(out, master, 2048, 1.0f), 2e-4f);

  r = run({"-mf", "m.wav", "-cf", "same.wav", "-lc", "1", "-ml", "true"});
  ASSERT_EQ(r.status, 0) << r.err;
  out = e2e::read_wav(dir / "m/same - processed.wav");
  ASSERT_EQ(out.frames(), 20000u);
  EXPECT_LT(max_error(out, master, 0, 1.0f), 2e-4f);

  // Latency compensation alone removes the 2048 samples of delay.
  r = run({"-mf", "m.wav", "-cf", "same.wav", "-lc", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  out = e2e::read_wav(dir / "m/same - processed.wav");
  EXPECT_EQ(out.frames(), 20000u + 2048u);
}

TEST_F(Pipeline, DryAndWetGains) {
  // Wet at -150 dB is silent, so the output is the dry signal alone,
  // delayed by the latency.
  auto r = run({"-mf", "m.wav", "-cf", "same.wav", "-wg", "-150", "-dg", "-150"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(peak(e2e::read_wav(dir / "m/same - processed.wav")), 0.0f);

  r = run({"-mf", "m.wav", "-cf", "same.wav", "-wg", "-150", "-dg", "-149.9"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto out = e2e::read_wav(dir / "m/same - processed.wav");
  float g = db_gain(-149.9f);
  EXPECT_GT(g, 0.0f);
  EXPECT_LE(max_error(out, master, 2048, g), 1e-12f);

  r = run({"-mf", "m.wav", "-cf", "same.wav", "-wg", "-1000", "-dg", "-6"});
  ASSERT_EQ(r.status, 0) << r.err;
  out = e2e::read_wav(dir / "m/same - processed.wav");
  EXPECT_LE(max_error(out, master, 2048, db_gain(-6.0f)), 1e-7f);

  // +200 dB behaves as +150 dB.
  r = run({"-mf", "m.wav", "-cf", "same.wav", "-wg", "200", "-f", "a.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = run({"-mf", "m.wav", "-cf", "same.wav", "-wg", "150", "-f", "b.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto a = e2e::read_wav(dir / "a.wav"), b = e2e::read_wav(dir / "b.wav");
  EXPECT_EQ(a.data, b.data);
  EXPECT_GT(peak(a), 1e6f);
}

TEST_F(Pipeline, FftRankIsClamped) {
  for (auto [rank, taps] : {std::pair{"0", 256u}, {"5", 256u}, {"9", 512u}, {"20", 65536u}}) {
    auto r = run({"-mf", "m.wav", "-cf", "dark.wav", "-p", "raw", "-fr", rank});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(e2e::read_wav(dir / "m/dark - Raw IR.wav").frames(), taps) << rank;
  }
}

TEST_F(Pipeline, NormalizationModes) {
  // The identical-file output is the master delayed: its peak is known.
  float input_peak = peak(master);
  auto run_mode = [&](const char* mode, const char* gain) {
    auto r = run({"-mf", "m.wav", "-cf", "same.wav", "-n", mode, "-ng", gain});
    EXPECT_EQ(r.status, 0) << r.err;
    return peak(e2e::read_wav(dir / "m/same - processed.wav"));
  };
  EXPECT_NEAR(run_mode("always", "-6"), db_gain(-6), 1e-6);
  EXPECT_NEAR(run_mode("above", "-40"), db_gain(-40), 1e-6);
  EXPECT_NEAR(run_mode("above", "0"), input_peak, 1e-4);
  EXPECT_NEAR(run_mode("below", "0"), 1.0f, 1e-6);
  EXPECT_NEAR(run_mode("below", "-40"), input_peak, 1e-4);
  EXPECT_NEAR(run_mode("none", "-40"), input_peak, 1e-4);
}

TEST_F(Pipeline, MasteringConvolvesTheChild) {
  auto r = run({"-mf", "m.wav", "-cf", "dark.wav", "-m", "1", "-p", "audio,raw"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto mastered = e2e::read_wav(dir / "m/dark - processed.wav");
  EXPECT_EQ(mastered.frames(), 12000u + 4096u);
  auto raw_mastering = e2e::read_wav(dir / "m/dark - Raw IR.wav");
  r = run({"-mf", "m.wav", "-cf", "dark.wav", "-p", "audio,raw"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::read_wav(dir / "m/dark - processed.wav").frames(), 20000u + 4096u);
  auto raw_normal = e2e::read_wav(dir / "m/dark - Raw IR.wav");
  // The dark child has less treble than the noise master: correcting the
  // master towards it cuts, mastering the child towards the master boosts,
  // so the two IRs differ and the boosting one has more energy.
  double e_normal = 0, e_mastering = 0;
  for (size_t t = 0; t < raw_normal.frames(); ++t) {
    e_normal += raw_normal.data[0][t] * raw_normal.data[0][t];
    e_mastering += raw_mastering.data[0][t] * raw_mastering.data[0][t];
  }
  EXPECT_GT(e_mastering, 2 * e_normal);
}

TEST_F(Pipeline, GroupsThatEndEarly) {
  write_text("c.json",
             "{produce: ['audio'], groups: {nomaster: {files: ['dark.wav']}, nochild: {master: 'm.wav'},"
             " mismatch: {master: 'm.wav', files: ['dark.wav', 'mono.wav', 'same.wav']}}}");
  auto r = run({"-c", "c.json", "-f", "${group}/${file_name}.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("processing group 'nomaster'...\n  group 'nomaster' does not have master file, skipping\n"));
  EXPECT_THAT(r.out, HasSubstr("processing group 'nochild'...\n  group 'nochild' does not have any child files, skipping\n"));
  EXPECT_EQ(r.err, "  number of channels mimatch: 2 (master) vs 1 (child), leaving\n");
  EXPECT_EQ(e2e::list_files(dir / "mismatch"), std::vector<std::string>{"dark.wav"});
  EXPECT_FALSE(fs::exists(dir / "nochild"));

  // With "frm" a group without children still writes the master's response.
  write_text("d.json", "{produce: ['frm'], groups: {solo: {master: 'm.wav'}}}");
  r = run({"-c", "d.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::list_files(dir / "m"), std::vector<std::string>{"m - FR Master.wav"});
}

TEST_F(Pipeline, OnlyMasterResponseRequestedStillLoadsChildren) {
  write_text("c.json", "{produce: ['frm'], groups: {g: {master: 'm.wav', files: ['dark.wav']}}}");
  auto r = run({"-c", "c.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("  loaded file: 'dark.wav'"));
  EXPECT_EQ(e2e::list_files(dir / "m"), std::vector<std::string>{"m - FR Master.wav"});
}

TEST_F(Pipeline, ProduceZero) {
  write_text("c.json", "{produce: [], groups: {a: {master: 'm.wav', files: ['dark.wav']}, b: {}}}");
  auto r = run({"-c", "c.json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("processing group 'a'...\n"));
  EXPECT_THAT(r.out, HasSubstr("processing group 'b'...\n  group 'b' does not have master file"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(e2e::list_files(dir).size(), 5u);  // the four inputs and the configuration
}

TEST_F(Pipeline, ConfigurationAndCommandLineGroups) {
  write_text("c.json",
             "{produce: ['ir'], ir: {file: '${group}-${file_name}-ir.wav'},"
             " groups: {g: {master: 'dark.wav', files: ['m.wav']}}}");
  // Only --config: the file's produce stays, -ir changes only the template.
  auto r = run({"-c", "c.json", "-ir", "cfg-${file_name}.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir / "cfg-m.wav"));
  EXPECT_FALSE(fs::exists(dir / "dark"));

  // The command-line group joins the file's group of the same name: the
  // master is replaced, the children appended, produce becomes "audio".
  r = run({"-c", "c.json", "-g", "g", "-mf", "m.wav", "-cf", "same.wav", "-f", "${group}/${file}"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::list_files(dir / "g"), (std::vector<std::string>{"m.wav", "same.wav"}));
  EXPECT_FALSE(fs::exists(dir / "g-m-ir.wav"));
}

TEST_F(Pipeline, ConfigurationErrors) {
  write_text("bad.json", "[1, 2]");
  auto r = run({"-c", "bad.json"});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.err, "Error parsing configuration file: code=7\n  at line 1, column 1: the document must be an object\n");
  write_text("dup.json", "{groups: {a: {master: 'm.wav'},\n a: {}}}");
  r = run({"-c", "dup.json"});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.err,
            "[ERR] Duplicate group name: a\nError parsing configuration file: code=7\n"
            "  at line 2, column 2: group 'a' is defined twice\n");
  write_text("comma.json", "{\n  srate: 44100\n  dry: -6,\n}");
  r = run({"-c", "comma.json"});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.err, "Error parsing configuration file: code=7\n  at line 3, column 3: expected ',' or '}'\n");
  r = run({"-c", "missing.json"});
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.err, "Error parsing configuration file: code=6\n  missing.json: no such file or directory\n");
  write_text("empty.json", "{}");
  r = run({"-c", "empty.json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(e2e::list_files(dir).size(), 8u);  // the four inputs and the four files above
}

TEST_F(Pipeline, ConfigurationFileConformance) {
  struct Case {
    std::string text;
    std::string err;  // empty: accepted
  } cases[] = {
      {"{groups: {}} \"trailing", "Error parsing configuration file: code=7\n  at line 1, column 14: text after the root object\n"},
      {"{groups: {}} /* x", "Error parsing configuration file: code=7\n  at line 1, column 14: unterminated comment\n"},
      {"{groups: {}} /* x */ // y\n", ""},
      {"{dry: NaN, groups: {}}", "Error parsing configuration file: code=7\n  at line 1, column 7: 'dry' must be a finite number\n"},
      {"{ir: {head_cut: Infinity}}", "Error parsing configuration file: code=7\n  at line 1, column 17: 'head_cut' must be a finite number\n"},
      {"{srate: 4294967296}",
       "Error parsing configuration file: code=7\n  at line 1, column 9: 'srate' must be an integer from 1000 to 1536000, "
       "'source' or 'child'\n"},
      {"{srate: -1}",
       "Error parsing configuration file: code=7\n  at line 1, column 9: 'srate' must be an integer from 1000 to 1536000, "
       "'source' or 'child'\n"},
      {"{groups: {g: {master: 'm.wav', files: ['a\\u0000.wav']}}}",
       "Error parsing configuration file: code=7\n  at line 1, column 40: a file name contains a NUL character\n"},
      {"{groups: {'g\\u0000h': {master: 'm.wav', files: ['a.wav']}}}",
       "Error parsing configuration file: code=7\n  at line 1, column 11: a group name contains a NUL character\n"},
  };
  for (const Case& c : cases) {
    write_text("c.json5", c.text);
    e2e::Snapshot before = e2e::snapshot(dir);
    auto r = run({"-c", "c.json5"});
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 7) << c.text;
    EXPECT_EQ(r.err, c.err) << c.text;
    EXPECT_EQ(e2e::snapshot(dir), before) << c.text;
  }
  // "default", the command-line group's name, is an ordinary key.
  write_text("c.json5", "{produce: ['audio'], groups: {default: {master: 'm.wav', files: ['dark.wav']}}}");
  auto r = run({"-c", "c.json5"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("processing group 'default'...\n"));
  EXPECT_TRUE(fs::exists(dir / "m/dark - processed.wav"));
}

TEST_F(Pipeline, NewConfigurationKeysAndTheirBadValues) {
  const std::string head = "Error parsing configuration file: code=7\n  at line 1, column ";
  struct Case {
    std::string text, err;
  } cases[] = {
      {"{wet: NaN}", "7: 'wet' must be a finite number\n"},
      {"{norm_gain: NaN}", "13: 'norm_gain' must be a finite number\n"},
      {"{gain_range: Infinity}", "14: 'gain_range' must be a finite number\n"},
      {"{gain_range: -1}", "14: 'gain_range' must lie between 0 and 600\n"},
      {"{ir: {tail_cut: NaN}}", "17: 'tail_cut' must be a finite number\n"},
      {"{ir: {channel_link: 150}}", "21: 'channel_link' must lie between 0 and 100\n"},
      {"{ir: {amount: NaN}}", "15: 'amount' must be a finite number\n"},
      {"{loudness: 5}", "12: 'loudness' must lie between -70 and 0\n"},
      {"{true_peak: NaN}", "13: 'true_peak' must be a finite number\n"},
      {"{gate: Infinity}", "8: 'gate' must be a finite number\n"},
      {"{match_loudness: 'yes'}", "18: 'match_loudness' must be true or false\n"},
      {"{bits: 8}", "8: 'bits' must be one of float, 16, 24, 32\n"},
      {"{report: 5}", "10: 'report' must be a string\n"},
  };
  for (const Case& c : cases) {
    write_text("c.json5", c.text);
    auto r = run({"-c", "c.json5"});
    EXPECT_EQ(r.status, 7) << c.text;
    EXPECT_EQ(r.err, head + c.err) << c.text;
  }
  // Keywords name the allowed values after the old notice.
  write_text("c.json5", "{ir: {phase: 'mixed'}}");
  auto r = run({"-c", "c.json5"});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.err, "Error: unknown flag 'mixed'\n" + head + "14: 'phase' must be one of linear, minimum\n");

  // Good values of every new key, in a run that uses them.
  write_text("c.json5", R"({ produce: ['audio'], gain_range: 24, gate: 60, loudness: 'off', true_peak: -1, format: 'wav',
    bits: 24, dither: 'none', keep_going: true, skip_existing: false, quiet: false, dry_run: false,
    ir: { channel_link: 50, smoothing: 0.167, low_freq: 20, high_freq: 20000, amount: 80, max_boost: 9, max_cut: 12,
          phase: 'minimum' },
    groups: { g: { master: 'm.wav', files: ['dark.wav'] } } })");
  r = run({"-c", "c.json5"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  Audio out = e2e::read_wav(dir / "m/dark - processed.wav");
  EXPECT_EQ(out.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
  EXPECT_THAT(r.out, testing::EndsWith("summary: 1 files written, 0 children failed, 0 children skipped\n"));
}

TEST_F(Pipeline, UnknownKeysWarnAndTheRunGoesOn) {
  // A misspelt key must not silently turn the run the other way: it is
  // named, with the closest known key when there is one.
  write_text("c.json", "{mastring: true, zzqqxx: [1, {a: 2}], produce: ['audio'],"
                       " groups: {g: {master: 'm.wav', files: ['dark.wav']}}}");
  auto r = run({"-c", "c.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "[WRN] Unknown key 'mastring' skipped; did you mean 'mastering'?\n"
            "[WRN] Unknown key 'zzqqxx' skipped\n");
  // Timbral correction, not mastering: the master (20000 frames) was convolved.
  EXPECT_EQ(e2e::read_wav(dir / "m/dark - processed.wav").frames(), 20000u + 4096u);
}

}  // namespace
