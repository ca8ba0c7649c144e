// A producer's day through the binary: output names that match their
// format, gated profiles that a bump does not move, references that cannot
// be matched, values that explain themselves, and the report of children
// that could not be processed.

#include <cmath>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;
using e2e::Audio;
using e2e::E2ETest;
using testing::HasSubstr;

namespace {

class Producer : public E2ETest {};

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

}  // namespace
