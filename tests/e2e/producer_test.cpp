// A producer's day through the binary: output names that match their
// format, gated profiles that a bump does not move, references that cannot
// be matched, values that explain themselves, and the report of children
// that could not be processed.

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
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

class Producer : public E2ETest {
 protected:
  // Response of the raw IR of `child` against `master` in third-octave bands
  // from 100 Hz to 4 kHz, in dB.
  std::vector<double> third_octaves(const std::string& master, const std::string& child,
                                    const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"-mf", master, "-cf", child, "-p", "raw", "-iw", "raw.wav"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    auto db = e2e::response_db(e2e::read_wav(dir / "raw.wav").data[0], 4096);
    std::vector<double> out;
    for (double f = 100; f <= 4000; f *= std::pow(2.0, 1.0 / 3)) {
      size_t lo = static_cast<size_t>(f * std::pow(2.0, -1.0 / 6) / 48000 * 4096);
      size_t hi = static_cast<size_t>(f * std::pow(2.0, 1.0 / 6) / 48000 * 4096);
      double p = 0;
      for (size_t k = lo; k <= hi; ++k) p += std::pow(10.0, db[k] / 10);
      out.push_back(10 * std::log10(p / static_cast<double>(hi - lo + 1)));
    }
    return out;
  }
};

TEST_F(Producer, OutputNamesFollowTheirFormat) {
  write("n.wav", e2e::noise(48000, 2, 3000, 51));
  // The default template takes the format's extension (RF64 keeps .wav).
  struct Named {
    const char* format;
    const char* file;
    int sf_format;
  } named[] = {{"flac", "n/n - processed.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
               {"aiff", "n/n - processed.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
               {"w64", "n/n - processed.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16},
               {"rf64", "n/n - processed.wav", SF_FORMAT_RF64 | SF_FORMAT_PCM_16}};
  for (const Named& c : named) {
    auto r = run({"-mf", "n.wav", "-cf", "n.wav", "-of", c.format, "-b", "16", "-dr", "true"});
    ASSERT_EQ(r.status, 0) << c.format << r.err;
    EXPECT_EQ(r.out, std::string(c.file) + "\n");
    r = run({"-mf", "n.wav", "-cf", "n.wav", "-of", c.format, "-b", "16"});
    ASSERT_EQ(r.status, 0) << c.format << r.err;
    EXPECT_EQ(e2e::read_wav(dir / c.file).format, c.sf_format) << c.format;
    fs::remove_all(dir / "n");
  }

  // A name that says another format is refused before any work, as is a
  // name auto cannot write; fitting names and the default format pass.
  e2e::Snapshot before = e2e::snapshot(dir);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"-of", "flac", "-b", "16", "-f", "o.wav"}, 13,
       "Output name 'o.wav' contradicts the output format: the name says wav, the format is flac\n"},
      {{"-of", "wav", "-f", "o.FLAC"}, 13,
       "Output name 'o.FLAC' contradicts the output format: the name says flac, the format is wav\n"},
      {{"-of", "aiff", "-f", "o.mp3"}, 13,
       "Output name 'o.mp3' contradicts the output format: the name says mp3, the format is aiff\n"},
      {{"-of", "w64", "-f", "o.aif"}, 13,
       "Output name 'o.aif' contradicts the output format: the name says aiff, the format is w64\n"},
      {{"-of", "auto", "-f", "x.mp3"}, 8,
       "Output format not possible for 'x.mp3': no format it can write has the extension '.mp3' "
       "(.wav .rf64 .w64 .aif .aiff .flac)\n"},
      {{"-of", "auto", "-f", "x.ogg", "-dr", "true"}, 8, ""},
      {{"-of", "auto", "-f", "x.caf"}, 8, ""},
      {{"-of", "rf64", "-f", "ok.wav"}, 0, ""},
      {{"-of", "aiff", "-b", "24", "-f", "ok.aif"}, 0, ""},
      {{"-of", "flac", "-b", "24", "-f", "ok"}, 0, ""},
      {{"-f", "ok.flac"}, 0, ""},  // no format chosen: WAV, as ever
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-mf", "n.wav", "-cf", "n.wav"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = run(args);
    EXPECT_EQ(r.status, c.status) << c.args[1] << " " << c.args.back() << r.err;
    if (c.status == 0) continue;
    EXPECT_EQ(r.out, "");
    if (!c.err.empty()) {
      EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(e2e::snapshot(dir), before) << c.args.back();
  }
  EXPECT_EQ(e2e::read_wav(dir / "ok.flac").format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(e2e::read_wav(dir / "ok").format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
}

TEST_F(Producer, ABumpDoesNotMoveTheGate) {
  // A take 30 dB below full scale: coloured noise in syllables of 200 ms,
  // every fourth one a pause. A bump of the stand near full scale (15 Hz,
  // 150 ms, smooth envelope) falls into the second pause; it has nothing
  // in the bands compared.
  Audio take = e2e::filtered(e2e::noise(48000, 1, 96000, 61), e2e::Biquad::peaking(48000, 400, 1.0, 6));
  double power = 0;
  for (float v : take.data[0]) power += static_cast<double>(v) * v;
  const float scale = static_cast<float>(std::pow(10.0, -30.0 / 20) / std::sqrt(power / 96000));
  for (size_t t = 0; t < 96000; ++t) {
    size_t syllable = t / 9600;
    double env = syllable % 4 == 3 ? 0.0 : std::sin(M_PI * static_cast<double>(t % 9600) / 9600);
    take.data[0][t] = static_cast<float>(take.data[0][t] * scale * env);
  }
  Audio bumped = take;
  const double centre = 1.4 * 48000, sigma = 0.019 * 48000;
  for (size_t t = static_cast<size_t>(centre - 4 * sigma); t < centre + 4 * sigma; ++t) {
    double x = (static_cast<double>(t) - centre) / sigma;
    bumped.data[0][t] += static_cast<float>(0.9 * std::exp(-0.5 * x * x) * std::sin(2 * M_PI * 15 * t / 48000.0));
  }
  write("m.wav", e2e::noise(48000, 1, 96000, 62));
  write("take.wav", take);
  write("bumped.wav", bumped);
  for (const char* gate : {"20", "40"}) {
    auto plain = third_octaves("m.wav", "take.wav", {"-gt", gate});
    auto with_bump = third_octaves("m.wav", "bumped.wav", {"-gt", gate});
    for (size_t i = 0; i < plain.size(); ++i) EXPECT_NEAR(with_bump[i], plain[i], 1.5) << "gate " << gate << " band " << i;
  }
  // -gt 0 is no gate at all: the profile of every frame.
  EXPECT_EQ(third_octaves("m.wav", "bumped.wav", {"-gt", "0"}), third_octaves("m.wav", "bumped.wav", {}));
}

TEST_F(Producer, ReferencesThatCannotBeMatchedAreRefused) {
  write("m.wav", e2e::noise(48000, 1, 9600, 63));
  write("c.wav", e2e::noise(48000, 1, 9600, 64, 0.5));
  write("silent.wav", e2e::sine(48000, 1, 9600, 1000, 0.0));
  write("tiny.wav", e2e::noise(48000, 1, 2000, 65));
  e2e::Snapshot before = e2e::snapshot(dir);
  // The file whose timbre the output takes: the child in correction, the
  // master in mastering (every child of it fails; -k counts them).
  auto r = run({"-mf", "m.wav", "-cf", "silent.wav", "-f", "o.wav"});
  EXPECT_EQ(r.status, 9);
  EXPECT_EQ(r.err, "  file 'silent.wav' is silent: nothing to match\n");
  // (A silent master in mastering is refused with its group, before its
  // children are loaded; -k counts them failed.)
  r = run({"-mf", "silent.wav", "-cf", "c.wav", "-cf", "m.wav", "-m", "true", "-k", "true", "-f", "out ${file_name}.wav"});
  EXPECT_NE(r.status, 0);
  EXPECT_THAT(r.err, HasSubstr("'silent.wav' is silent"));
  EXPECT_THAT(r.out, HasSubstr("summary: 0 files written, 2 children failed, 0 children skipped\n"));
  EXPECT_EQ(e2e::snapshot(dir), before);
  // A silent master in correction is processed: its output is silence.
  r = run({"-mf", "silent.wav", "-cf", "c.wav", "-f", "o.wav"});
  EXPECT_EQ(r.status, 0) << r.err;

  // A file shorter than one analysis frame is named.
  r = run({"-mf", "m.wav", "-cf", "tiny.wav", "-f", "t.wav"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "  [WRN] file 'tiny.wav' is shorter than one analysis frame: 2000 samples, the frame has 4096\n");
  r = run({"-mf", "m.wav", "-cf", "tiny.wav", "-f", "t.wav", "-fr", "10"});
  EXPECT_EQ(r.err, "");

  // An empty corrected range, wherever its ends were set.
  write_text("range.json", R"({ ir: { low_freq: 2000 } })");
  for (auto args : {std::vector<std::string>{"-lf", "5000", "-hf", "2000"}, {"-lf", "2000", "-hf", "2000"},
                    {"-c", "range.json", "-hf", "1500"}}) {
    std::vector<std::string> all = {"-mf", "m.wav", "-cf", "c.wav", "-f", "r.wav"};
    all.insert(all.end(), args.begin(), args.end());
    r = run(all);
    EXPECT_EQ(r.status, 28) << args[1];
    EXPECT_THAT(r.err, testing::StartsWith("Bad 'low freq' value\n  '"));
    EXPECT_THAT(r.err, HasSubstr("': the lowest corrected frequency must lie below the highest ("));
    EXPECT_FALSE(fs::exists(dir / "r.wav"));
  }
  EXPECT_EQ(run({"-mf", "m.wav", "-cf", "c.wav", "-f", "r.wav", "-lf", "2000"}).status, 0);
}

TEST_F(Producer, ValuesExplainThemselves) {
  write("m.wav", e2e::noise(48000, 1, 24000, 66));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"-lu", "16"}, 28, "Bad 'loudness' value\n  '16': loudness is -70..0 LUFS or off\n"},
      {{"--loudness", "-80"}, 28, "Bad 'loudness' value\n  '-80': loudness is -70..0 LUFS or off\n"},
      {{"-sm", "1/3"}, 28, "Bad 'smoothing' value\n  '1/3': smoothing is 0..10 octaves\n"},
      {{"-of", "aac"}, 7, "Bad 'format' value\n  'aac': format is one of wav, rf64, w64, aiff, flac, auto, mp3, opus, vorbis\n"},
      {{"-sr", "44.1k"}, 28, "Bad 'sample rate' value\n  '44.1k': sample rate is an integer 1000..1536000 (Hz), source or child\n"},
      {{"-j", "-2"}, 28, "Bad 'jobs' value\n  '-2': jobs is an integer 0..1024\n"},
      {{"--mastering=yes"}, 28, "Bad 'mastering' value\n  'yes': mastering is true or false\n"},
      {{"-k"}, 13, "Not defined value for option: --keep-going\n  -k needs a value: true or false\n"},
      {{"--keep-going"}, 13, "Not defined value for option: --keep-going\n  --keep-going needs a value: true or false\n"},
      {{"--keep-going=true", "-k", "false"}, 13, "Duplicate option: --keep-going\n"},
      {{"--help=x"}, 13, "Invalid option: --help=x\n"},
      {{"--no-such=1"}, 13, "Invalid option: --no-such=1\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-mf", "m.wav", "-cf", "m.wav", "-f", "o.wav"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = run(args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(fs::exists(dir / "o.wav"));
  }
  // Every long option takes its value after '=' as well.
  auto r = run({"--master=m.wav", "--child=m.wav", "--file=${file_name} out.wav", "--loudness=-20", "--keep-going=true",
                "--gate=30", "--latency-compensation=true", "--match-length=true"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::read_wav(dir / "m out.wav").frames(), 24000u);
  EXPECT_THAT(r.out, HasSubstr("  loudness: -20.00 LUFS"));
  // The configuration file keeps to the same loudness range.
  write_text("loud.json", "{ loudness: -80 }");
  r = run({"-c", "loud.json", "-mf", "m.wav", "-cf", "m.wav"});
  EXPECT_EQ(r.status, 7);
  EXPECT_THAT(r.err, HasSubstr("'loudness' must lie between -70 and 0"));
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST_F(Producer, AChannelMismatchIsAFailureInTheReport) {
  write("m.wav", e2e::noise(48000, 1, 4800, 67));
  write("a.wav", e2e::noise(48000, 1, 4800, 68, 0.5));
  write("st.wav", e2e::noise(48000, 2, 4800, 69));
  write("b.wav", e2e::noise(48000, 1, 4800, 70, 0.3));
  const std::string notice = "  number of channels mimatch: 1 (master) vs 2 (child), leaving\n";
  for (const char* jobs : {"1", "2"}) {
    // The group ends at the stereo child with status 0, as ever; the
    // report says what became of it and of the child after it.
    auto r = run({"-mf", "m.wav", "-cf", "a.wav", "-cf", "st.wav", "-cf", "b.wav", "-f", "${file_name} out.wav", "-r",
                  "rep", "-j", jobs});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, notice);
    std::string json = read_text(dir / "rep/report.json"), html = read_text(dir / "rep/index.html");
    const size_t a = json.find("\"path\": \"a.wav\""), st = json.find("\"path\": \"st.wav\""),
                 b = json.find("\"path\": \"b.wav\"");
    ASSERT_NE(b, std::string::npos) << json;
    ASSERT_LT(a, st);
    ASSERT_LT(st, b);
    // The outcome fields come before each child's input.
    auto outcome_of = [&](size_t input) {
      size_t from = json.rfind("\"outcome\"", input);
      return json.substr(from, input - from);
    };
    EXPECT_THAT(outcome_of(a), HasSubstr("\"outcome\": \"done\""));
    EXPECT_THAT(outcome_of(st), HasSubstr("\"outcome\": \"failed\""));
    EXPECT_THAT(outcome_of(st), HasSubstr("\"message\": \"channels differ\""));
    EXPECT_THAT(outcome_of(b), HasSubstr("\"outcome\": \"not_reached\""));
    EXPECT_THAT(html, Not(HasSubstr("finished without error")));
    EXPECT_THAT(html, HasSubstr("finished; 2 children failed or not reached"));
    EXPECT_THAT(html, HasSubstr("Not reached"));
    // With -k the group goes on, and the summary counts the child failed.
    r = run({"-mf", "m.wav", "-cf", "a.wav", "-cf", "st.wav", "-cf", "b.wav", "-f", "${file_name} out.wav", "-k", "true",
             "-j", jobs});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, testing::EndsWith("summary: 2 files written, 1 children failed, 0 children skipped\n"));
  }
}

TEST_F(Producer, ChildrenByPattern) {
  fs::create_directories(dir / "in/takes/folder.wav");  // a directory is no child
  for (const char* name : {"in/m.wav", "in/takes/b.wav", "in/takes/a.wav", "in/takes/c.aif", "in/take[1].wav"})
    write(name, e2e::noise(48000, 1, 4800, 71));
  // Sorted matches, named as the pattern is (relative to -s); a name that
  // exists as written is taken as it is.
  auto r = run({"-s", "in", "-mf", "m.wav", "-cf", "takes/*.wav", "-cf", "take[1].wav", "-f", "o/${file_index} ${file_name}.wav",
                "-dr", "true"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "o/1 a.wav\no/2 b.wav\no/3 take[1].wav\n");
  write_text("run.json", R"({ src_path: 'in', file: 'out/${file_index} ${file_name}.wav',
    groups: { g: { master: 'm.wav', files: ['takes/?.*', 'm.wav'] } } })");
  r = run({"-c", "run.json", "-p", "audio"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(e2e::list_files(dir / "out"), (std::vector<std::string>{"1 a.wav", "2 b.wav", "3 c.wav", "4 m.wav"}));
  // A pattern that matches nothing stops the run before any work.
  e2e::Snapshot before = e2e::snapshot(dir);
  r = run({"-s", "in", "-mf", "m.wav", "-cf", "takes/a.wav", "-cf", "none/*.wav", "-g", "drums"});
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.err, "  no file matches the pattern 'none/*.wav' (group 'drums')\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(e2e::snapshot(dir), before);
}

TEST_F(Producer, PresetsSetDefaultsThatExplicitValuesOverride) {
  auto r = run({"-ps", "list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "mastering     -m true -sm 0.333 -mb 12 -mc 12 -cl 100 -ph minimum -lc true -ml true -gt 40 -sr source\n"
            "podcast       -m true -sm 0.333 -mb 12 -mc 12 -cl 100 -ph minimum -lc true -ml true -gt 40 -sr source "
            "-lu -16 -tp -1 -tl -1 -b 24\n"
            "speech-match  -m true -sm 0.167 -mb 9 -mc 12 -cl 100 -gt 40 -lc true -ml true -lm true\n"
            "Options given on the command line or in the configuration file win over the preset's.\n");
  write("ref.wav", e2e::noise(44100, 1, 44100, 72));
  write("mix.wav", e2e::noise(44100, 1, 44100, 73, 0.4));
  write_text("cfg.json", "{ ir: { smoothing: 0.2 }, groups: { g: { master: 'ref.wav', files: ['mix.wav'] } } }");
  // The settings as the report gives them.
  auto settings = [&](const std::vector<std::string>& args) {
    std::vector<std::string> all = args;
    all.insert(all.end(), {"-r", "rep", "-f", "out.wav"});
    auto run_result = run(all);
    EXPECT_EQ(run_result.status, 0) << run_result.err;
    std::string json = read_text(dir / "rep/report.json");
    return json.substr(0, json.find("\"status\""));
  };
  std::string s = settings({"-mf", "ref.wav", "-cf", "mix.wav", "-ps", "podcast", "-mb", "6"});
  for (const char* set : {"\"mastering\": true", "\"ir.smoothing\": 0.333", "\"ir.max_boost\": 6", "\"ir.max_cut\": 12",
                          "\"ir.phase\": \"minimum\"", "\"srate\": \"source\"", "\"gate\": 40", "\"loudness\": -16",
                          "\"true_peak\": -1", "\"true_peak_limiter\": -1", "\"bits\": \"24\"", "\"preset\": \"podcast\""})
    EXPECT_THAT(s, HasSubstr(set));
  // The output keeps the mix's rate and length and meets the target.
  Audio out = e2e::read_wav(dir / "out.wav");
  EXPECT_EQ(out.rate, 44100);
  EXPECT_EQ(out.frames(), 44100u);
  // The configuration file's values win as well; a value that cannot go
  // with an explicit one gives way.
  s = settings({"-c", "cfg.json", "-p", "audio", "-ps", "speech-match", "-lu", "-20"});
  EXPECT_THAT(s, HasSubstr("\"ir.smoothing\": 0.2"));
  EXPECT_THAT(s, HasSubstr("\"match_loudness\": false"));
  EXPECT_THAT(s, HasSubstr("\"loudness\": -20"));
  s = settings({"-mf", "ref.wav", "-cf", "mix.wav", "--preset=podcast", "-lm", "true", "-sr", "48000"});
  EXPECT_THAT(s, HasSubstr("\"loudness\": null"));
  EXPECT_THAT(s, HasSubstr("\"srate\": 48000"));
}

// Spectrum in dB of 32768 samples of `x` from `from`, under a Kaiser
// window (beta 20: side lobes near -190 dB), scaled so that a sine of
// amplitude 1 peaks at 0 dB.
std::vector<double> kaiser_spectrum_db(const std::vector<float>& x, size_t from) {
  const size_t n = 32768;
  const double beta = 20.0;
  auto bessel0 = [](double v) {
    double sum = 1, term = 1;
    for (int k = 1; k < 60; ++k) {
      term *= (v / (2 * k)) * (v / (2 * k));
      sum += term;
    }
    return sum;
  };
  std::vector<double> w(n), y(n);
  double gain = 0;
  for (size_t i = 0; i < n; ++i) {
    double r = 2.0 * static_cast<double>(i) / (n - 1) - 1.0;
    w[i] = bessel0(beta * std::sqrt(1 - r * r)) / bessel0(beta);
    gain += w[i];
    y[i] = x[from + i] * w[i];
  }
  auto spectrum = e2e::fft(y, n);
  std::vector<double> db(n / 2 + 1);
  for (size_t k = 0; k <= n / 2; ++k) db[k] = 20 * std::log10(std::abs(spectrum[k]) * 2 / gain + 1e-300);
  return db;
}

TEST_F(Producer, HighQualityResamplingLeavesNoSpurs) {
  // A file resampled on loading comes out unchanged when it is both master
  // and child (the correction is flat), so the output is the resampled
  // input.
  auto resampled = [&](int from, int to, double freq, const char* quality) {
    write("tone.wav", e2e::sine(from, 1, static_cast<size_t>(from), freq, 0.5));
    auto r = run({"-mf", "tone.wav", "-cf", "tone.wav", "-lc", "true", "-ml", "true", "-sr", std::to_string(to), "-rq",
                  quality, "-f", "out.wav"});
    EXPECT_EQ(r.status, 0) << r.err;
    return e2e::read_wav(dir / "out.wav");
  };
  for (auto [from, to, freq] : {std::tuple{44100, 48000, 1000.0}, {44100, 48000, 10000.0}, {44100, 48000, 20000.0}}) {
    Audio high = resampled(from, to, freq, "high");
    Audio standard = resampled(from, to, freq, "standard");
    EXPECT_EQ(high.rate, to);
    EXPECT_EQ(high.frames(), standard.frames());  // the length of the standard resampler
    auto db = kaiser_spectrum_db(high.data[0], 8000);
    const size_t tone = static_cast<size_t>(std::lround(freq / to * 32768));
    double spur = -400;
    for (size_t k = 0; k < db.size(); ++k)
      if (k + 20 < tone || k > tone + 20) spur = std::max(spur, db[k]);
    // The passband is flat within 0.1 dB (against an ideal tone under the
    // same window), the spurs and images far below.
    auto ideal = kaiser_spectrum_db(e2e::sine(to, 1, 48000, freq, 0.5).data[0], 8000);
    auto peak = [&](const std::vector<double>& v) { return *std::max_element(v.begin() + tone - 3, v.begin() + tone + 4); };
    EXPECT_NEAR(peak(db), peak(ideal), 0.1) << freq;
    EXPECT_LT(spur - 20 * std::log10(0.5), -120.0) << freq;
    // Aligned with the standard resampler: the same phase at the same time
    // (below 20 kHz, where the standard one leaves an image at -17 dB).
    if (freq > 10000) continue;
    double dot = 0, norm_h = 0, norm_s = 0;
    for (size_t t = 8000; t < 40000; ++t) {
      dot += static_cast<double>(high.data[0][t]) * standard.data[0][t];
      norm_h += static_cast<double>(high.data[0][t]) * high.data[0][t];
      norm_s += static_cast<double>(standard.data[0][t]) * standard.data[0][t];
    }
    EXPECT_GT(dot / std::sqrt(norm_h * norm_s), 0.999) << freq;
  }
  // A tone above the new Nyquist frequency leaves nothing behind.
  Audio high = resampled(96000, 44100, 23000.0, "high");
  auto db = kaiser_spectrum_db(high.data[0], 4000);
  EXPECT_LT(*std::max_element(db.begin(), db.end()) - 20 * std::log10(0.5), -120.0);
}

TEST_F(Producer, ChildRateKeepsEveryOutputAtItsChildsRate) {
  write("m.wav", e2e::noise(48000, 1, 24000, 74));
  write("a.wav", e2e::noise(44100, 1, 22050, 75, 0.5));
  write("b.wav", e2e::noise(32000, 1, 16000, 76, 0.3));
  const std::vector<std::string> common = {"-mf", "m.wav", "-cf", "a.wav", "-cf", "b.wav", "-m", "true", "-lc", "true",
                                           "-ml", "true", "-sm", "0.333", "-f"};
  auto run_with = [&](const std::string& file, std::vector<std::string> extra) {
    std::vector<std::string> args = common;
    args.push_back(file);
    args.insert(args.end(), extra.begin(), extra.end());
    auto r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
  };
  run_with("${file_name} child.wav", {"-sr", "child"});
  run_with("${file_name} child j2.wav", {"-sr", "child", "-j", "2"});
  // Each output is what a run at that child's rate gives, bit for bit: the
  // master is profiled at the child's rate.
  run_with("${file_name} 44100.wav", {"-sr", "44100"});
  run_with("${file_name} 32000.wav", {"-sr", "32000"});
  for (auto [child, fixed, rate, frames] :
       {std::tuple{"a child.wav", "a 44100.wav", 44100, 22050u}, {"b child.wav", "b 32000.wav", 32000, 16000u}}) {
    Audio out = e2e::read_wav(dir / child);
    EXPECT_EQ(out.rate, rate);
    EXPECT_EQ(out.frames(), frames);
    EXPECT_EQ(e2e::sample_hash(out), e2e::sample_hash(e2e::read_wav(dir / fixed))) << child;
    std::string parallel = std::string(child).replace(std::string(child).find(".wav"), 4, " j2.wav");
    EXPECT_EQ(e2e::sample_hash(out), e2e::sample_hash(e2e::read_wav(dir / parallel))) << child;
  }
  // Correction makes every output from the master: one rate per group.
  auto r = run({"-mf", "m.wav", "-cf", "a.wav", "-sr", "child", "-f", "x.wav"});
  EXPECT_EQ(r.status, 13);
  EXPECT_EQ(r.err, "Settings 'srate' and 'mastering' cannot be combined\n"
                   "  'child' keeps every output at its child's rate, which only mastering (-m true) does\n");
  EXPECT_FALSE(fs::exists(dir / "x.wav"));
}

}  // namespace
