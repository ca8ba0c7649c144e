// Values at and past the edges of what the tool takes: numbers too large
// for 64 bits, settings out of their range, rates a master or a container
// cannot have, samples of absurd magnitude, a full disk, and file names
// whose bytes are not UTF-8. Each is refused before any work with its
// status and a line saying why, or handled as documented.

#include <sys/mount.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
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
using testing::StartsWith;

namespace {

// A mono file of 64-bit floats.
void write_double(const fs::path& path, int rate, const std::vector<double>& x) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_DOUBLE;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(sf_write_double(f, x.data(), static_cast<sf_count_t>(x.size())), static_cast<sf_count_t>(x.size()));
  sf_close(f);
}

class Limits : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    write("m.wav", e2e::noise(48000, 1, 4800, 1));
    write("c.wav", e2e::noise(48000, 1, 4800, 2, 0.5));
  }
};

TEST_F(Limits, ValuesOutOfRangeAreRefusedBeforeAnyWork) {
  Audio fast = e2e::noise(12288000, 1, 2000, 3);
  write("fast.wav", fast);
  write("odd.wav", e2e::noise(96001, 1, 4800, 4));
  const std::string wide = "18446744073709595716";  // 2^64 + 44100
  const std::string kTooLarge = "  the number is too large for a 64-bit integer\n";
  struct Case {
    std::vector<std::string> args;
    std::string config;  // written to run.json5 and added with -c when not empty
    int status;
    std::string err;     // the start of standard error
    std::string why;     // a line that follows it
  } cases[] = {
      // Integers past 64 bits never wrap into a value that would pass.
      {{"-sr", wide}, "", 28, "Bad 'sample rate' value", kTooLarge},
      {{"-j", "18446744073709551618"}, "", 28, "Bad 'jobs' value", kTooLarge},
      {{"-b", "18446744073709551632"}, "", 28, "Bad 'bits' value", kTooLarge},
      {{"-fr", "-9223372036854775809"}, "", 28, "Bad 'FFT rank' value", kTooLarge},
      {{}, "{\n  jobs: -18446744073709551614,\n}", 7, "Error parsing configuration file",
       "  at line 2, column 9: 'jobs' is an integer too large to be read (beyond the 64-bit range)\n"},
      {{}, "{ srate: " + wide + " }", 7, "Error parsing configuration file",
       "  at line 1, column 10: 'srate' is an integer too large to be read (beyond the 64-bit range)\n"},
      {{}, "{ fft_rank: 0x1000000000000000C }", 7, "Error parsing configuration file",
       "'fft_rank' is an integer too large to be read"},
      // Loudness targets the meter cannot confirm.
      {{"-lu", "-100"}, "", 28, "Bad 'loudness' value", ""},
      {{}, "{ loudness: -71 }", 7, "Error parsing configuration file", "'loudness' must lie between -70 and 0"},
      // A group's rate obeys the same rule however it is chosen.
      {{"-sr", "12288000"}, "", 28, "Bad 'sample rate' value", ""},
      {{"-sr", "source", "-mf", "fast.wav"}, "", 28, "Bad 'sample rate' value",
       "  the master 'fast.wav' is at 12288000 Hz; rates from 1000 to 1536000 Hz are accepted\n"},
      // FLAC holds rates above 65535 Hz only in tens of Hz.
      {{"-sr", "96001", "-of", "flac", "-b", "16", "-f", "${master_name}/${file_name} - processed.flac"}, "", 8,
       "Output format not possible for 'out/m/c - processed.flac': FLAC cannot hold a sample rate of 96001 Hz "
       "(above 65535 Hz only multiples of 10)",
       ""},
      {{"-sr", "source", "-mf", "odd.wav", "-of", "flac", "-b", "24", "-f", "${master_name}/${file_name}.flac"}, "", 8,
       "Output format not possible for 'out/odd/c.flac': FLAC cannot hold a sample rate of 96001 Hz", ""},
  };
  for (const Case& c : cases) {
    // The master and child of the run, unless the case names its master.
    std::vector<std::string> args = {"-d", "out"};
    if (c.config.empty()) {
      args.insert(args.end(), {"-mf", "m.wav", "-cf", "c.wav"});
    } else {
      write_text("run.json5", c.config + "\n");
      args.insert(args.end(), {"-c", "run.json5"});
    }
    if (c.config.empty() && c.args.size() > 2 && c.args[2] == "-mf") args.erase(args.begin() + 2, args.begin() + 4);
    args.insert(args.end(), c.args.begin(), c.args.end());
    e2e::Snapshot before = e2e::snapshot(dir);
    auto r = run(args);
    const std::string label = c.config.empty() ? c.args[0] + " " + c.args[1] : c.config;
    EXPECT_EQ(r.status, c.status) << label << "\n" << r.err;
    EXPECT_THAT(r.err, StartsWith(c.err)) << label;
    if (!c.why.empty()) {
      EXPECT_THAT(r.err, HasSubstr(c.why)) << label;
    }
    EXPECT_EQ(r.out, "") << label;
    EXPECT_EQ(e2e::snapshot(dir), before) << label;
  }
}

TEST_F(Limits, GateOfZeroIsOff) {
  // 0 dB lets no frame but the loudest through: it means "off", as in the
  // manual, and the run is that without a gate, to the bit.
  for (const char* gate : {"0", "off"}) {
    auto r = run({"-mf", "m.wav", "-cf", "c.wav", "-gt", gate, "-f", std::string("g") + gate + ".wav"});
    ASSERT_EQ(r.status, 0) << gate << "\n" << r.err;
  }
  write_text("run.json5", "{ gate: 0, file: 'file.wav', groups: { g: { master: 'm.wav', files: ['c.wav'] } } }\n");
  auto r = run({"-c", "run.json5", "-p", "audio"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(run({"-mf", "m.wav", "-cf", "c.wav", "-f", "plain.wav"}).status, 0);
  const uint64_t plain = e2e::sample_hash(e2e::read_wav(dir / "plain.wav"));
  EXPECT_EQ(e2e::sample_hash(e2e::read_wav(dir / "g0.wav")), plain);
  EXPECT_EQ(e2e::sample_hash(e2e::read_wav(dir / "goff.wav")), plain);
  EXPECT_EQ(e2e::sample_hash(e2e::read_wav(dir / "file.wav")), plain);
}

TEST_F(Limits, SamplesOfAbsurdMagnitudeAreRefusedAndNeverWritten) {
  // Finite, yet far beyond any signal: refused like NaN, the first frame
  // named; a 64-bit value beyond the range of a float is out of range too,
  // not "infinite".
  Audio big = e2e::noise(48000, 1, 4800, 5);
  big.data[0][300] = 1e37f;
  big.data[0][400] = std::numeric_limits<float>::infinity();
  write("big.wav", big);
  std::vector<double> wide(4800, 0.25);
  wide[77] = 1e300;
  write_double(dir / "wide.wav", 48000, wide);
  std::vector<double> edge(4800, 0.25);
  edge[9] = -2e15;
  write_double(dir / "edge.wav", 48000, edge);
  for (auto [file, frame] : {std::pair{"big.wav", 300}, {"wide.wav", 77}, {"edge.wav", 9}}) {
    auto r = run({"-mf", "m.wav", "-cf", file, "-d", "out"});
    EXPECT_EQ(r.status, 9) << file;
    EXPECT_EQ(r.err, std::string("  could not read file '") + file + "', error code: 9\n  file '" + file +
                         "' holds a sample out of range at frame " + std::to_string(frame) +
                         ": its magnitude passes 1e+15\n");
    EXPECT_FALSE(fs::exists(dir / "out")) << file;
  }

  // Just below the bound the run goes on; a normalization gain that takes
  // the result past the range of a float writes nothing at all.
  Audio loud = e2e::noise(48000, 1, 4800, 6);
  for (float& v : loud.data[0]) v *= 9e14f;
  write("loud.wav", loud);
  auto r = run({"-mf", "c.wav", "-cf", "loud.wav", "-f", "ok.wav"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Audio ok = e2e::read_wav(dir / "ok.wav");
  ASSERT_EQ(ok.channels, 1);
  for (float v : ok.data[0]) ASSERT_TRUE(std::isfinite(v));
  e2e::Snapshot before = e2e::snapshot(dir);
  for (const char* bits : {"float", "16"}) {
    r = run({"-mf", "c.wav", "-cf", "loud.wav", "-n", "always", "-ng", "800", "-gr", "600", "-b", bits, "-f", "inf.wav"});
    EXPECT_EQ(r.status, 9) << bits;
    EXPECT_THAT(r.err, HasSubstr("  could not write file 'inf.wav', error code: 9\n"
                                 "  the audio holds a NaN or infinite sample at frame "));
    EXPECT_EQ(e2e::snapshot(dir), before) << bits;
  }
}

TEST_F(Limits, FullDiskIsStatus18WithTheSystemsText) {
  const fs::path mount = dir / "small";
  fs::create_directory(mount);
  if (geteuid() != 0 || ::mount("tmpfs", mount.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "a small tmpfs cannot be mounted here (needs root): the full disk is not tried";
  }
  struct Unmount {
    fs::path p;
    ~Unmount() { (void)umount2(p.c_str(), MNT_DETACH); }
  } unmount{mount};
  // Every width goes through its own writer; the file does not fit in
  // 64 KiB in any of them. Then a disk already full from the start, also
  // for the limiter, whose metered pass is the write itself.
  write("long.wav", e2e::noise(48000, 1, 48000, 7));
  for (const char* args : {"float", "16", "float", "float -lu -14 -tl -1", "16 -lu -14 -tl -1"}) {
    std::vector<std::string> argv = {"-mf", "long.wav", "-cf", "long.wav", "-d", mount.string() + "/o", "-b"};
    std::istringstream words(args);
    for (std::string w; words >> w;) argv.push_back(w);
    const char* bits = args;
    if (fs::exists(mount / "o")) {
      // Fill what is left so that nothing at all can be written.
      std::FILE* f = std::fopen((mount / "filler").c_str(), "wb");
      ASSERT_NE(f, nullptr);
      std::vector<char> block(4096, 1);
      while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
      }
      std::fclose(f);
    }
    auto r = run(argv);
    EXPECT_EQ(r.status, 18) << bits << "\n" << r.err;
    EXPECT_THAT(r.err, HasSubstr("error code: 18\n  No space left on device\n")) << bits;
    // No temporary is left behind.
    for (const auto& e : fs::recursive_directory_iterator(mount)) {
      EXPECT_TRUE(e.is_directory() || e.path().filename() == "filler") << e.path();
    }
  }
}

TEST_F(Limits, FileNamesAreOpenedByTheirBytes) {
  // A Latin-1 name is not UTF-8: it is opened as given, its output keeps
  // the bytes, and messages show the byte escaped.
  const std::string latin = "b\xE9t";
  write(latin + ".wav", e2e::noise(48000, 1, 4800, 8, 0.5));
  auto r = run({"-mf", "m.wav", "-cf", latin + ".wav", "-d", "out"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir / "out/m" / (latin + " - processed.wav")));
  EXPECT_THAT(r.out, HasSubstr("  loaded file: 'b\\xE9t.wav', channels: 1"));
  EXPECT_THAT(r.out, HasSubstr("  saved file: 'out/m/b\\xE9t - processed.wav'"));
  r = run({"-mf", "m.wav", "-cf", "n\xE9.wav", "-d", "out"});
  EXPECT_EQ(r.status, 6);
  EXPECT_THAT(r.err, HasSubstr("  could not read file 'n\\xE9.wav', error code: 6\n  No such file or directory\n"));
}

TEST_F(Limits, StatusesAreTheOnesTheReadmeGives) {
  // Each case runs, and the README's row of its status names it.
  fs::create_directory(dir / "conf.d");
  write_text("empty.wav", "");
  write_text("junk.wav", "not audio at all\n");
  // A WAV header with its format chunk and no data chunk.
  const char header[] = "RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x80\xbb\0\0\0\x77\x01\0\x02\0\x10\0";
  write_text("nodata.wav", std::string(header, sizeof header - 1));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string row_says;
  } cases[] = {
      {{"-c", "conf.d"}, 6, "also `-c` naming a directory"},
      {{"-mf", "m.wav", "-cf", "nodata.wav"}, 4, "a WAV file without a `data` chunk"},
      {{"-mf", "m.wav", "-cf", "empty.wav"}, 7, "an empty or unrecognised audio file"},
      {{"-mf", "m.wav", "-cf", "junk.wav"}, 7, "an empty or unrecognised audio file"},
  };
  std::ifstream readme(fs::path(TIMBRAL_SOURCE_DIR) / "README.md");
  ASSERT_TRUE(readme.good());
  std::map<int, std::string> rows;
  for (std::string line; std::getline(readme, line);) {
    int status = 0;
    char bar = 0;
    if (std::sscanf(line.c_str(), "| %d %c", &status, &bar) == 2 && bar == '|') rows[status] += line;
  }
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-d", "out"});
    auto r = run(args);
    EXPECT_EQ(r.status, c.status) << c.args.back() << "\n" << r.err;
    EXPECT_THAT(rows[c.status], HasSubstr(c.row_says)) << c.args.back();
  }
}

}  // namespace
