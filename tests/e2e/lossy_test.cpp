// Lossy delivery through the binary: MP3, Opus and Vorbis files written,
// tagged and read back; what an encoder cannot take (and a tag template
// that cannot be evaluated) refused before any work; the decoded file's
// true peak measured and recorded.

#include <cmath>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "analysis/loudness.h"
#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;
using e2e::Audio;
using e2e::E2ETest;
using testing::HasSubstr;
using testing::Not;

namespace {

class Lossy : public E2ETest {};

// Level of the frames away from the ends, where the encoders' delay and
// padding do not reach.
double rms_db(const Audio& a) {
  constexpr size_t kEdge = 4096;
  double sum = 0.0;
  for (const auto& ch : a.data)
    for (size_t t = kEdge; t + kEdge < ch.size(); ++t) sum += double(ch[t]) * ch[t];
  return 10.0 * std::log10(sum / double((a.frames() - 2 * kEdge) * a.data.size()));
}


std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string tag(const fs::path& path, int which) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return "(cannot open)";
  const char* s = sf_get_string(f, which);
  std::string text = s ? s : "(none)";
  sf_close(f);
  return text;
}

TEST_F(Lossy, EachFormatIsWrittenTaggedAndReadBack) {
  // One second of a stereo tone, which every encoder keeps; -ml keeps the
  // output at the input's length.
  write("n.wav", e2e::sine(48000, 2, 48000, 997.0, 0.5));
  auto ref = run({"-mf", "n.wav", "-cf", "n.wav", "-ml", "true", "-f", "ref.wav"});
  ASSERT_EQ(ref.status, 0) << ref.err;
  const Audio reference = e2e::read_wav(dir / "ref.wav");
  write_text("opus64.json", "{ format: 'opus', bitrate: 64 }");
  struct Case {
    std::vector<std::string> args;
    const char* file;     // the default template's name
    int sf_format;
    double kbps;          // the constant bitrate asked for; 0: not constant
    double padding;       // frames the codec may add or drop
    double level_db;      // how far the decoded level may stray (LAME loses up to 0.5 dB of a tone)
  } cases[] = {
      {{"-of", "mp3"}, "n/n - processed.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 192, 1152, 0.6},
      {{"-of", "mp3", "-br", "96"}, "n/n - processed.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 96, 1152, 0.6},
      {{"-of", "opus"}, "n/n - processed.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 128, 960, 0.2},
      {{"-c", "opus64.json"}, "n/n - processed.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 64, 960, 0.2},
      {{"-of", "vorbis"}, "n/n - processed.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 0, 2048, 0.2},
      // PCM formats carry the tags too, their samples untouched by them.
      {{"-of", "flac", "-b", "16"}, "n/n - processed.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0, 0, 0.01},
      {{"-of", "aiff", "-b", "24"}, "n/n - processed.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 0, 0, 0.01},
      {{}, "n/n - processed.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0, 0.0},
  };
  for (const Case& c : cases) {
    const std::string what = c.args.empty() ? "wav" : c.args[1] + (c.args.size() > 2 ? " " + c.args.back() : "");
    std::vector<std::string> args = {"-mf", "n.wav", "-cf", "n.wav", "-ml", "true",
                                     "-tt", "${file_name} take", "--artist", "Band"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = run(args);
    ASSERT_EQ(r.status, 0) << what << r.err;
    EXPECT_EQ(r.err, "") << what;
    const fs::path path = dir / c.file;
    const Audio out = e2e::read_wav(path);
    EXPECT_EQ(out.format, c.sf_format) << what;
    EXPECT_EQ(out.rate, 48000) << what;
    EXPECT_EQ(out.channels, 2) << what;
    EXPECT_NEAR(double(out.frames()), 48000.0, c.padding) << what;
    EXPECT_EQ(tag(path, SF_STR_TITLE), "n take") << what;
    EXPECT_EQ(tag(path, SF_STR_ARTIST), "Band") << what;
    // The decoded audio is the processed audio at its level (exact for
    // float WAV, whose tags leave the samples alone).
    EXPECT_NEAR(rms_db(out), rms_db(reference), c.level_db) << what;
    if (c.sf_format == (SF_FORMAT_WAV | SF_FORMAT_FLOAT)) {
      EXPECT_EQ(e2e::sample_hash(out), e2e::sample_hash(reference));
    }
    if (c.kbps > 0) {
      // Constant bitrate: the file's size over its second, with up to
      // 1.5 kB of headers, tags and container pages.
      const double kbps = double(fs::file_size(path)) * 8.0 / 1000.0;
      EXPECT_GT(kbps, c.kbps * 0.95) << what;
      EXPECT_LT(kbps, c.kbps * 1.05 + 12.0) << what;
    }
    fs::remove_all(dir / "n");
  }
  // W64 has no place for them: said, not passed over.
  auto r = run({"-mf", "n.wav", "-cf", "n.wav", "-of", "w64", "-tt", "x", "-dr", "true"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "[WRN] W64 files carry no title or artist tags; -tt and -ta are ignored\n");
}

TEST_F(Lossy, WhatAnEncoderCannotTakeIsRefusedBeforeWork) {
  write("n.wav", e2e::noise(48000, 2, 4800, 8));
  write("three.wav", e2e::noise(48000, 3, 4800, 9));
  const e2e::Snapshot before = e2e::snapshot(dir);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"-cf", "n.wav", "-of", "opus", "-sr", "44100"}, 8,
       "Output format not possible for 'n/n - processed.opus': Opus cannot be written at 44100 Hz (it takes 8000, "
       "12000, 16000, 24000 or 48000 Hz)\n"},
      {{"-cf", "three.wav", "-of", "mp3"}, 8,
       "Output format not possible for 'n/three - processed.mp3': MP3 cannot hold 3 channels (at most 2)\n"},
      {{"-cf", "n.wav", "-of", "mp3", "-br", "100"}, 8,
       "Output format not possible for 'n/n - processed.mp3': MP3 at 48000 Hz has no constant bitrate of 100 kbit/s "
       "(32 40 48 56 64 80 96 112 128 160 192 224 256 320)\n"},
      {{"-cf", "n.wav", "-of", "opus", "-br", "600"}, 8,
       "Output format not possible for 'n/n - processed.opus': Opus cannot be written at 600 kbit/s for 2 channels "
       "(6 to 256 kbit/s per channel)\n"},
      {{"-cf", "n.wav", "-of", "vorbis", "-br", "128"}, 8,
       "Output format not possible for 'n/n - processed.ogg': a bitrate applies to mp3 and opus output only "
       "(Vorbis is written at quality 0.6)\n"},
      {{"-cf", "n.wav", "-br", "128"}, 8,
       "Output format not possible for 'n/n - processed.wav': a bitrate applies to mp3 and opus output only\n"},
      {{"-cf", "n.wav", "-of", "mp3", "-b", "16"}, 8,
       "Output format not possible for 'n/n - processed.mp3': MP3 is encoded from float samples: it takes no "
       "sample width (leave -b at float)\n"},
      {{"-cf", "n.wav", "-of", "opus", "-f", "x.ogg"}, 13,
       "Output name 'x.ogg' contradicts the output format: the name says ogg, the format is opus\n"},
      {{"-cf", "n.wav", "-of", "opus", "-sr", "22050", "-dr", "true"}, 8, ""},
      // A tag template is evaluated for every child before the work, as the names are.
      {{"-cf", "n.wav", "-of", "mp3", "-ta", "${no_such}"}, 7, "  could not evaluate expression: '${no_such}'\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-mf", "n.wav"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = run(args);
    EXPECT_EQ(r.status, c.status) << c.args[3] << " " << c.args.back() << r.err;
    EXPECT_EQ(r.out, "") << c.args.back();
    if (!c.err.empty()) {
      EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(e2e::snapshot(dir), before) << c.args.back();
  }
}

TEST_F(Lossy, TheDecodedTruePeakIsRecordedAndWarnedAbout) {
  // A square wave at the ceiling: the encoders take off its top harmonics
  // and its decoded peaks ring over the ceiling.
  Audio square;
  square.rate = 48000;
  square.channels = 2;
  square.data.assign(2, std::vector<float>(24000));
  for (size_t t = 0; t < 24000; ++t) square.data[0][t] = square.data[1][t] = (t / 37) % 2 ? 0.9f : -0.9f;
  write("sq.wav", square);
  int over = 0;
  for (const char* format : {"mp3", "opus", "vorbis"}) {
    fs::remove_all(dir / "sq");
    fs::remove_all(dir / "rep");
    auto r = run({"-mf", "sq.wav", "-cf", "sq.wav", "-ml", "true", "-tp", "-1", "-of", format, "-r", "rep"});
    ASSERT_EQ(r.status, 0) << format << r.err;
    const std::string name = std::string("sq/sq - processed.") + (std::string(format) == "vorbis" ? "ogg" : format);
    const double decoded = e2e::measure_file(e2e::read_wav(dir / name)).true_peak_db;
    const std::string report = read_text(dir / "rep/report.json");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(report, m, std::regex("\"true_peak_dbtp\": (-?[0-9.]+), \"miss_lu\": 0, "
                                                        "\"pass\": true, \"decoded_true_peak_dbtp\": (-?[0-9.]+)\\}")))
        << format;
    // The ceiling holds before encoding; the decoded peak is the file's.
    EXPECT_LE(std::stod(m[1]), -1.0) << format;
    EXPECT_NEAR(std::stod(m[2]), decoded, 0.01) << format;
    char shown[64];
    std::snprintf(shown, sizeof shown, ", decoded %.2f dBTP", std::stod(m[2]));
    EXPECT_THAT(read_text(dir / "rep/index.html"), HasSubstr(shown)) << format;
    // A line says so exactly when the encoder pushed it over.
    char line[200] = "";
    if (decoded > -1.0) {
      std::snprintf(line, sizeof line,
                    "  [WRN] '%s': decoded true peak %+.2f dBTP passes the ceiling of -1.00 dBTP (the encoder's "
                    "overshoot)\n",
                    name.c_str(), std::stod(m[2]));
      ++over;
    }
    EXPECT_EQ(r.err, line) << format;
  }
  // Opus rings well over it (about +3 dBTP).
  EXPECT_GE(over, 1);
  // PCM output keeps its record as it was.
  auto r = run({"-mf", "sq.wav", "-cf", "sq.wav", "-ml", "true", "-tp", "-1", "-f", "pcm.wav", "-r", "rep"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(read_text(dir / "rep/report.json"), Not(HasSubstr("decoded_true_peak")));
}

}  // namespace
