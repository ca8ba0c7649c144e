#include "audio/save_format.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

#include "audio/sample_file.h"
#include "tests/audio/test_files.h"

using namespace audio_test;

namespace {

// A stereo signal that exercises every width: a sine below full scale in
// channel 0 and slow noise in channel 1, both well inside +-1.
struct Signal : OwnedSample {
  Signal(uint64_t length, uint64_t rate) : OwnedSample(2, length, rate) {
    uint32_t x = 99;
    for (uint64_t t = 0; t < length; ++t) {
      s.data[t] = float(0.7 * std::sin(2 * M_PI * 441.0 * double(t) / double(rate)));
      x = x * 1664525u + 1013904223u;
      s.data[s.stride + t] = float(int32_t(x >> 8) - (1 << 23)) / float(1 << 24);
    }
  }
};

struct Case {
  int container;
  int sf_major;
  const char* name;
};
const Case kContainers[] = {
    {SAVE_CONTAINER_WAV, SF_FORMAT_WAV, "x.wav"},     {SAVE_CONTAINER_RF64, SF_FORMAT_RF64, "x.rf64"},
    {SAVE_CONTAINER_W64, SF_FORMAT_W64, "x.w64"},     {SAVE_CONTAINER_AIFF, SF_FORMAT_AIFF, "x.aiff"},
    {SAVE_CONTAINER_FLAC, SF_FORMAT_FLAC, "x.flac"},
};

int subtype_of(int bits) {
  switch (bits) {
    case 16: return SF_FORMAT_PCM_16;
    case 24: return SF_FORMAT_PCM_24;
    case 32: return SF_FORMAT_PCM_32;
    default: return SF_FORMAT_FLOAT;
  }
}

// Every container holds every width it can, and reads back through
// libsndfile with its type and its values: exactly for float, within half
// an LSB of rounding without dither and within 1.5 LSB (rounding plus the
// dither's peak) with it.
TEST(SaveFormat, EveryContainerAndWidthReadsBack) {
  TempDir dir;
  Signal sig(20000, 44100);
  for (const Case& c : kContainers) {
    for (int bits : {0, 16, 24, 32}) {
      if (c.container == SAVE_CONTAINER_FLAC && (bits == 0 || bits == 32)) continue;
      for (int dither : {SAVE_DITHER_NONE, SAVE_DITHER_TPDF}) {
        SCOPED_TRACE(std::string(c.name) + " bits " + std::to_string(bits) + " dither " + std::to_string(dither));
        PathString p(dir.path(c.name));
        SaveStats stats;
        char cause[256] = "";
        ASSERT_EQ(sample_save_file(sig.s, p.s, 0, -1, SaveFormat{c.container, bits, dither}, &stats, cause,
                                   sizeof cause),
                  20000)
            << cause;
        EXPECT_EQ(stats.container, c.container);
        EXPECT_EQ(stats.overs, 0u);
        EXPECT_FALSE(stats.clipped);
        EXPECT_NEAR(stats.peak, 0.7f, 1e-3f);
        FileInfo f = read_file(dir.path(c.name));
        ASSERT_TRUE(f.opened);
        EXPECT_EQ(f.info.format & SF_FORMAT_TYPEMASK, c.sf_major);
        EXPECT_EQ(f.info.format & SF_FORMAT_SUBMASK, subtype_of(bits));
        ASSERT_EQ(f.info.frames, 20000);
        EXPECT_EQ(f.info.samplerate, 44100);
        const double lsb = bits ? std::ldexp(1.0, 1 - bits) : 0.0;
        const double tolerance = bits == 0 ? 0.0 : (dither == SAVE_DITHER_TPDF ? 1.5 : 0.5) * lsb + 1e-9;
        double worst = 0.0;
        for (uint64_t t = 0; t < 20000; ++t)
          for (uint64_t ch = 0; ch < 2; ++ch)
            worst = std::max(worst, std::fabs(double(f.frames[t * 2 + ch]) - double(sig.s.data[ch * sig.s.stride + t])));
        EXPECT_LE(worst, tolerance);
        EXPECT_EQ(dir.entries(), std::vector<std::string>{c.name});
        unlink(dir.path(c.name).c_str());
      }
    }
  }
}

TEST(SaveFormat, AutoFollowsTheExtension) {
  const std::pair<const char*, int> names[] = {
      {"a/b.wav", SAVE_CONTAINER_WAV},   {"b.WAV", SAVE_CONTAINER_WAV},     {"b.Rf64", SAVE_CONTAINER_RF64},
      {"b.w64", SAVE_CONTAINER_W64},     {"b.aif", SAVE_CONTAINER_AIFF},    {"b.AIFF", SAVE_CONTAINER_AIFF},
      {"b.FLAC", SAVE_CONTAINER_FLAC},   {"b.mp3", SAVE_CONTAINER_WAV},     {"noext", SAVE_CONTAINER_WAV},
      {"dir.flac/x", SAVE_CONTAINER_WAV}, {"x.flac.wav", SAVE_CONTAINER_WAV},
  };
  for (const auto& [name, want] : names) {
    PathString p(name);
    EXPECT_EQ(save_container_resolve(SaveFormat{SAVE_CONTAINER_AUTO, 16, 0}, p.s), want) << name;
    EXPECT_EQ(save_container_resolve(SaveFormat{SAVE_CONTAINER_W64, 16, 0}, p.s), SAVE_CONTAINER_W64);
  }
  // And the file written is the one the name asks for.
  TempDir dir;
  Signal sig(1000, 48000);
  PathString p(dir.path("auto.Flac"));
  SaveStats stats;
  ASSERT_EQ(sample_save_file(sig.s, p.s, 0, -1, SaveFormat{SAVE_CONTAINER_AUTO, 24, 0}, &stats, nullptr, 0), 1000);
  EXPECT_EQ(stats.container, SAVE_CONTAINER_FLAC);
  EXPECT_EQ(read_file(dir.path("auto.Flac")).info.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
}

TEST(SaveFormat, CombinationsTheFormatCannotHoldAreRefused) {
  PathString flac("o.flac"), aiff("o.aiff"), wav("o.wav");
  char msg[200];
  SaveFormat auto_float{SAVE_CONTAINER_AUTO, SAVE_BITS_FLOAT, 0};
  EXPECT_EQ(save_format_check(auto_float, flac.s, 2, 48000, 100, msg, sizeof msg), STATUS_UNSUPPORTED);
  EXPECT_STREQ(msg, "FLAC cannot hold float samples (use 16 or 24 bits)");
  EXPECT_EQ(save_format_check(SaveFormat{SAVE_CONTAINER_FLAC, 32, 0}, wav.s, 2, 48000, 100, msg, sizeof msg),
            STATUS_UNSUPPORTED);
  EXPECT_STREQ(msg, "FLAC cannot hold 32-bit samples (use 16 or 24 bits)");
  SaveFormat flac16{SAVE_CONTAINER_FLAC, 16, 0};
  EXPECT_EQ(save_format_check(flac16, wav.s, 8, 655350, 100, msg, sizeof msg), STATUS_OK);
  EXPECT_EQ(save_format_check(flac16, wav.s, 9, 48000, 100, msg, sizeof msg), STATUS_UNSUPPORTED);
  EXPECT_STREQ(msg, "FLAC cannot hold 9 channels (at most 8)");
  EXPECT_EQ(save_format_check(flac16, wav.s, 2, 655351, 100, msg, sizeof msg), STATUS_UNSUPPORTED);
  EXPECT_STREQ(msg, "FLAC cannot hold a sample rate of 655351 Hz (at most 655350)");
  // Unknown channels, rate and length (0) are not held against the format.
  EXPECT_EQ(save_format_check(flac16, wav.s, 0, 0, 0, msg, sizeof msg), STATUS_OK);

  // AIFF stops short of 4 GiB; WAV goes on as RF64 and W64 needs nothing.
  const uint64_t frames = (SAVE_SIZE_LIMIT - SAVE_HEADER_ALLOWANCE) / 8;  // stereo float
  SaveFormat aiff_float{SAVE_CONTAINER_AIFF, 0, 0};
  EXPECT_EQ(save_format_check(aiff_float, aiff.s, 2, 48000, frames - 1, msg, sizeof msg), STATUS_OK);
  EXPECT_EQ(save_format_check(aiff_float, aiff.s, 2, 48000, frames, msg, sizeof msg), STATUS_UNSUPPORTED);
  EXPECT_EQ(std::string(msg), "AIFF cannot hold " + std::to_string(frames) +
                                  " frames of 2 channels: the file would pass 4 GiB (use WAV, RF64 or W64)");
  EXPECT_EQ(save_format_check(save_format_default(), wav.s, 2, 48000, frames * 4, msg, sizeof msg), STATUS_OK);

  EXPECT_EQ(save_format_check(SaveFormat{SAVE_CONTAINER_WAV, 20, 0}, wav.s, 2, 48000, 1, msg, sizeof msg),
            STATUS_BAD_ARGUMENT);
  EXPECT_EQ(save_format_check(SaveFormat{9, 16, 0}, wav.s, 2, 48000, 1, nullptr, 0), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(save_format_check(SaveFormat{0, 16, 3}, wav.s, 2, 48000, 1, nullptr, 0), STATUS_BAD_ARGUMENT);

  // A refused save creates nothing and leaves an existing file alone.
  TempDir dir;
  write_bytes(dir.path("old.flac"), "old");
  PathString p(dir.path("old.flac"));
  Signal sig(100, 48000);
  char cause[256];
  EXPECT_EQ(sample_save_file(sig.s, p.s, 0, -1, auto_float, nullptr, cause, sizeof cause),
            -int64_t(STATUS_UNSUPPORTED));
  EXPECT_STREQ(cause, "FLAC cannot hold float samples (use 16 or 24 bits)");
  EXPECT_EQ(read_bytes(dir.path("old.flac")), "old");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"old.flac"});
}

// The dither is a function of the output's name: the same name gives the
// same bytes, another name other noise. Its level is that of TPDF of +-1
// LSB peak: with rounding, the error of a signal that is not on the grid
// has a variance of 1/12 + 1/6 = 1/4 LSB^2 (RMS 0.5 LSB) against 1/12
// (RMS 0.289 LSB) for rounding alone, and it has no mean.
TEST(SaveFormat, DitherIsReproducibleAndHasTheExpectedLevel) {
  TempDir dir;
  Signal sig(100000, 48000);
  SaveFormat f16{SAVE_CONTAINER_WAV, 16, SAVE_DITHER_DEFAULT};
  PathString a(dir.path("a.wav")), b(dir.path("b.wav"));
  ASSERT_EQ(sample_save_file(sig.s, a.s, 0, -1, f16, nullptr, nullptr, 0), 100000);
  std::string first = read_bytes(dir.path("a.wav"));
  ASSERT_EQ(sample_save_file(sig.s, a.s, 0, -1, f16, nullptr, nullptr, 0), 100000);
  EXPECT_EQ(read_bytes(dir.path("a.wav")), first);
  ASSERT_EQ(sample_save_file(sig.s, b.s, 0, -1, f16, nullptr, nullptr, 0), 100000);
  EXPECT_NE(read_bytes(dir.path("b.wav")), first);

  for (int dither : {SAVE_DITHER_DEFAULT, SAVE_DITHER_NONE}) {
    ASSERT_EQ(sample_save_file(sig.s, a.s, 0, -1, SaveFormat{SAVE_CONTAINER_WAV, 16, dither}, nullptr, nullptr, 0),
              100000);
    FileInfo f = read_file(dir.path("a.wav"));
    double sum = 0, sum2 = 0;
    const size_t n = 200000;
    for (uint64_t t = 0; t < 100000; ++t) {
      for (uint64_t ch = 0; ch < 2; ++ch) {
        double e = (double(f.frames[t * 2 + ch]) - double(sig.s.data[ch * sig.s.stride + t])) * 32768.0;
        sum += e;
        sum2 += e * e;
      }
    }
    double mean = sum / n, rms = std::sqrt(sum2 / n);
    EXPECT_NEAR(mean, 0.0, 0.01);
    EXPECT_NEAR(rms, dither == SAVE_DITHER_NONE ? std::sqrt(1.0 / 12) : 0.5, 0.01) << dither;
  }
  EXPECT_TRUE(save_dither_active(SaveFormat{0, 24, SAVE_DITHER_DEFAULT}));
  EXPECT_FALSE(save_dither_active(SaveFormat{0, 32, SAVE_DITHER_DEFAULT}));
  EXPECT_TRUE(save_dither_active(SaveFormat{0, 32, SAVE_DITHER_TPDF}));
  EXPECT_FALSE(save_dither_active(SaveFormat{0, 0, SAVE_DITHER_TPDF}));
}

TEST(SaveFormat, QuantizerRoundsAndClips) {
  SaveQuantizer q;
  save_quantizer_init(q, 16, false, "x");
  const float in[] = {0.0f, 1.0f, -1.0f, 1.5f, -1.5f, 0.5f / 32768.0f * 1.01f, NAN, -0.25f};
  int32_t out[8];
  uint64_t clipped = 0;
  save_quantize(q, in, out, 8, &clipped);
  const int32_t want[] = {0, 32767, -32768, 32767, -32768, 1, 0, -8192};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], want[i] * 65536) << i;
  EXPECT_EQ(clipped, 3u);  // 1.0 and the two beyond
  save_quantizer_init(q, 24, false, "x");
  save_quantize(q, in, out, 3, nullptr);
  EXPECT_EQ(out[1], 8388607 * 256);
  EXPECT_EQ(out[2], -8388608 * 256);
}

// Samples over full scale are counted; a float file keeps them, an
// integer file clips them and says so.
TEST(SaveFormat, OversAreCountedAndIntegerOutputClipsThem) {
  TempDir dir;
  OwnedSample s(2, 1000, 48000);
  for (uint64_t t = 0; t < 1000; ++t) s.s.data[t] = s.s.data[s.s.stride + t] = 0.25f;
  s.s.data[10] = 1.5f;
  s.s.data[s.s.stride + 20] = -1.25f;
  s.s.data[30] = 1.0f;  // full scale itself is not over
  PathString p(dir.path("o.wav"));
  SaveStats st;
  ASSERT_EQ(sample_save_file(s.s, p.s, 0, -1, save_format_default(), &st, nullptr, 0), 1000);
  EXPECT_EQ(st.overs, 2u);
  EXPECT_FLOAT_EQ(st.peak, 1.5f);
  EXPECT_FALSE(st.clipped);
  EXPECT_EQ(read_file(dir.path("o.wav")).frames[20], 1.5f);
  ASSERT_EQ(sample_save_file(s.s, p.s, 0, -1, SaveFormat{0, 24, SAVE_DITHER_NONE}, &st, nullptr, 0), 1000);
  EXPECT_EQ(st.overs, 2u);
  EXPECT_TRUE(st.clipped);
  FileInfo f = read_file(dir.path("o.wav"));
  EXPECT_FLOAT_EQ(f.frames[20], 8388607.0f / 8388608.0f);
  EXPECT_FLOAT_EQ(f.frames[41], -1.0f);
}

// The default save and the format save with the default record write the
// same bytes: a float WAV, with no extra chunk.
TEST(SaveFormat, DefaultRecordIsTheOriginalSave) {
  TempDir dir;
  Signal sig(5000, 48000);
  PathString a(dir.path("a.wav")), b(dir.path("b.wav"));
  ASSERT_EQ(sample_save_file(sig.s, a.s, 0, -1), 5000);
  SaveStats st;
  ASSERT_EQ(sample_save_file(sig.s, b.s, 0, -1, save_format_default(), &st, nullptr, 0), 5000);
  EXPECT_EQ(read_bytes(dir.path("a.wav")), read_bytes(dir.path("b.wav")));
  EXPECT_EQ(read_file(dir.path("a.wav")).info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(st.container, SAVE_CONTAINER_WAV);
}

// A write that fails midway (the process may write no more than 64 KiB
// per file) leaves the old file and no temporary, in every container.
TEST(SaveFormat, FailedWriteKeepsTheOldFileInEveryFormat) {
  TempDir dir;
  Signal sig(200000, 48000);
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit small = old;
  small.rlim_cur = 65536;
  for (const Case& c : kContainers) {
    write_bytes(dir.path(c.name), "previous");
    PathString p(dir.path(c.name));
    char cause[256] = "";
    sighandler_t prev = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int64_t r = sample_save_file(sig.s, p.s, 0, -1, SaveFormat{c.container, 24, 0}, nullptr, cause, sizeof cause);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, prev);
    EXPECT_LT(r, 0) << c.name;
    EXPECT_STRNE(cause, "") << c.name;
    EXPECT_EQ(read_bytes(dir.path(c.name)), "previous") << c.name;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{c.name}) << c.name;
    unlink(dir.path(c.name).c_str());
  }
}

TEST(SaveFormat, ContainerSwitchesToRf64AtFourGibibytes) {
  const uint64_t limit = SAVE_SIZE_LIMIT - SAVE_HEADER_ALLOWANCE;
  EXPECT_EQ(save_container_for_size(SAVE_CONTAINER_WAV, limit - 1), SAVE_CONTAINER_WAV);
  EXPECT_EQ(save_container_for_size(SAVE_CONTAINER_WAV, limit), SAVE_CONTAINER_RF64);
  EXPECT_EQ(save_container_for_size(SAVE_CONTAINER_W64, UINT64_MAX), SAVE_CONTAINER_W64);
  EXPECT_EQ(save_container_for_size(SAVE_CONTAINER_FLAC, UINT64_MAX), SAVE_CONTAINER_FLAC);
  // 90 minutes of 192 kHz stereo float is past it; 13 minutes is not.
  EXPECT_EQ(save_data_bytes(0, 2, 192000ull * 5400), 192000ull * 5400 * 8);
  EXPECT_GE(save_data_bytes(0, 2, 192000ull * 5400), limit);
  EXPECT_LT(save_data_bytes(0, 2, 192000ull * 780), limit);
  EXPECT_EQ(save_data_bytes(24, 3, 10), 90u);
  EXPECT_EQ(save_data_bytes(16, 1ull << 40, 1ull << 40), UINT64_MAX);

  // A small file forced to RF64 has the RF64 header and reads back.
  TempDir dir;
  Signal sig(3000, 48000);
  PathString p(dir.path("small.rf64"));
  ASSERT_EQ(sample_save_file(sig.s, p.s, 0, -1, SaveFormat{SAVE_CONTAINER_RF64, 0, 0}, nullptr, nullptr, 0), 3000);
  std::string bytes = read_bytes(dir.path("small.rf64"));
  EXPECT_EQ(bytes.substr(0, 4), "RF64");
  EXPECT_EQ(bytes.substr(8, 4), "WAVE");
  EXPECT_NE(bytes.find("ds64"), std::string::npos);
}

// Streams a little over 4 GiB of float frames through a writer opened for
// WAV: the file is RF64 and every frame counts when read back. Needs 6 GB
// of free space in the temporary directory and is skipped without it.
TEST(SaveFormat, OutputPastFourGibibytesIsRf64) {
  TempDir dir;
  struct statvfs fs;
  ASSERT_EQ(statvfs(dir.path("").c_str(), &fs), 0);
  const uint64_t frames = (SAVE_SIZE_LIMIT + (64u << 20)) / 8;  // stereo float: 4 GiB + 64 MiB
  if (uint64_t(fs.f_bavail) * fs.f_frsize < 6000000000ull)
    GTEST_SKIP() << "less than 6 GB free for a file over 4 GiB";
  SndfileWriter w;
  int container = -1;
  std::string path = dir.path("big.wav");
  ASSERT_EQ(save_open_writer(w, path.c_str(), save_format_default(), 48000, 2, frames, &container), STATUS_OK);
  EXPECT_EQ(container, SAVE_CONTAINER_RF64);
  std::vector<float> block(2 * 65536);
  for (size_t i = 0; i < block.size(); ++i) block[i] = float(i % 1000) / 1000.0f;
  uint64_t done = 0;
  while (done < frames) {
    int64_t n = int64_t(std::min<uint64_t>(65536, frames - done));
    ASSERT_EQ(w.write_f32(block.data(), n), n);
    done += uint64_t(n);
  }
  ASSERT_EQ(w.close(), STATUS_OK);

  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(info.format, SF_FORMAT_RF64 | SF_FORMAT_FLOAT);
  EXPECT_EQ(uint64_t(info.frames), frames);
  // The last frames, past the 32-bit boundary, hold what was written.
  const uint64_t last = frames - 1, at = last % 65536;
  ASSERT_EQ(sf_seek(f, sf_count_t(last), SEEK_SET), sf_count_t(last));
  float frame[2];
  ASSERT_EQ(sf_readf_float(f, frame, 1), 1);
  EXPECT_EQ(frame[0], block[2 * at]);
  EXPECT_EQ(frame[1], block[2 * at + 1]);
  sf_close(f);
}

}  // namespace

// The samples a save will write are known before it: the copy quantized and
// dithered as the save does it (seeded from the same path) is, value for
// value, what libsndfile reads back from the written file, for every width.
TEST(SaveFormat, SamplesAsSavedAreTheWrittenOnes) {
  TempDir dir;
  Signal sig(5000, 48000);
  for (int bits : {0, 16, 24, 32, -16}) {
    SCOPED_TRACE(bits);
    // -16: 16 bits with a dither seed of its own, which wins over the path.
    SaveFormat f{SAVE_CONTAINER_WAV, bits < 0 ? -bits : bits, SAVE_DITHER_TPDF};
    if (bits < 0) f.dither_seed = "name under the destination";
    PathString p(dir.path("q.wav"));
    ASSERT_EQ(sample_save_file(sig.s, p.s, 0, -1, f, nullptr, nullptr, 0), 5000);
    Sample q;
    sample_init(q);
    ASSERT_EQ(sample_as_saved(sig.s, f, dir.path("q.wav").c_str(), &q), STATUS_OK);
    ASSERT_EQ(q.length, 5000u);
    FileInfo file = read_file(dir.path("q.wav"));
    uint64_t differ = 0;
    for (uint64_t t = 0; t < 5000; ++t)
      for (uint64_t ch = 0; ch < 2; ++ch) differ += file.frames[t * 2 + ch] != q.data[ch * q.stride + t];
    EXPECT_EQ(differ, 0u);
    sample_destroy(q);
  }
}
