#include "audio/sample_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <thread>

#include "tests/audio/test_files.h"
#include "tests/support/alloc_fail.h"

using namespace audio_test;

namespace {

void write_shorts(const std::string& path, int rate, int channels, const std::vector<short>& interleaved) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr);
  sf_count_t n = sf_count_t(interleaved.size() / size_t(channels));
  EXPECT_EQ(sf_writef_short(f, interleaved.data(), n), n);
  sf_close(f);
}

std::vector<double> noise(size_t n) {
  std::vector<double> v(n);
  uint32_t x = 12345;
  for (double& d : v) {
    x = x * 1664525u + 1013904223u;
    d = double(int32_t(x >> 8) - (1 << 23)) / double(1 << 24);
  }
  return v;
}

uint8_t crc8(const uint8_t* p, size_t n) {
  uint8_t c = 0;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int b = 0; b < 8; ++b) c = uint8_t(c & 0x80 ? (c << 1) ^ 0x07 : c << 1);
  }
  return c;
}

// Offset of a FLAC frame header (sync code with a valid header CRC) at or
// after `from`; the header then holds 4096-sample blocks and a one-byte
// frame number.
size_t flac_frame_at_or_after(const std::string& d, size_t from) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(d.data());
  for (size_t i = from; i + 6 < d.size(); ++i)
    if (p[i] == 0xFF && p[i + 1] == 0xF8 && (p[i + 4] & 0x80) == 0 && crc8(p + i, 5) == p[i + 5]) return i;
  return std::string::npos;
}

void expect_unchanged(const Sample& s, const Sample& before) {
  EXPECT_EQ(s.data, before.data);
  EXPECT_EQ(s.length, before.length);
  EXPECT_EQ(s.stride, before.stride);
  EXPECT_EQ(s.channels, before.channels);
  EXPECT_EQ(s.sample_rate, before.sample_rate);
}

}  // namespace

TEST(SampleLoad, SixteenBitWavKeepsShapeAndFullScale) {
  TempDir dir;
  std::vector<short> frames;
  for (int t = 0; t < 37; ++t) {
    frames.push_back(short(t == 3 ? 32767 : t == 4 ? -32768 : t * 100));
    frames.push_back(short(-t * 50));
  }
  write_shorts(dir.path("a.wav"), 44100, 2, frames);
  OwnedSample s(1, 5, 8000);  // replaced by the load
  PathString p(dir.path("a.wav"));
  ASSERT_EQ(sample_load_file(s.s, p.s, -1), STATUS_OK);
  EXPECT_EQ(s.s.sample_rate, 44100u);
  EXPECT_EQ(s.s.channels, 2u);
  EXPECT_EQ(s.s.length, 37u);
  EXPECT_EQ(s.s.stride, 48u);
  EXPECT_FLOAT_EQ(s.s.data[3], 32767.0f / 32768.0f);
  EXPECT_EQ(s.s.data[4], -1.0f);
  for (int t = 0; t < 37; ++t) {
    if (t != 3 && t != 4) {
      EXPECT_EQ(s.s.data[t], float(t * 100) / 32768.0f) << t;
    }
    EXPECT_EQ(s.s.data[48 + t], float(-t * 50) / 32768.0f) << t;
  }
  for (int c = 0; c < 2; ++c)
    for (int t = 37; t < 48; ++t) EXPECT_EQ(s.s.data[c * 48 + t], 0.0f);
}

TEST(SampleLoad, DurationLimitAndEmptyFile) {
  TempDir dir;
  write_file(dir.path("n.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1000, 1, noise(5000));
  OwnedSample s;
  PathString p(dir.path("n.wav"));
  ASSERT_EQ(sample_load_file(s.s, p.s, 0.25f), STATUS_OK);
  EXPECT_EQ(s.s.length, 250u);
  EXPECT_EQ(s.s.stride, 256u);

  write_file(dir.path("e.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 22050, 3, {});
  PathString e(dir.path("e.wav"));
  ASSERT_EQ(sample_load_file(s.s, e.s, -1), STATUS_OK);
  EXPECT_EQ(s.s.length, 0u);
  EXPECT_EQ(s.s.stride, 16u);
  EXPECT_EQ(s.s.channels, 3u);
  EXPECT_EQ(s.s.sample_rate, 22050u);
  for (int i = 0; i < 48; ++i) EXPECT_EQ(s.s.data[i], 0.0f);
}

TEST(SampleLoad, FailuresLeaveTheSampleAlone) {
  TempDir dir;
  OwnedSample s(2, 20, 48000);
  Sample before = s.s;

  write_bytes(dir.path("text.wav"), "this is not audio at all, only some text\n");
  PathString text(dir.path("text.wav"));
  EXPECT_EQ(sample_load_file(s.s, text.s, -1), STATUS_BAD_FORMAT);

  PathString missing(dir.path("missing.wav"));
  EXPECT_EQ(sample_load_file(s.s, missing.s, -1), STATUS_SYSTEM);

  // A CAF cut in half loses its data chunk: libsndfile calls it malformed.
  write_file(dir.path("a.caf"), SF_FORMAT_CAF | SF_FORMAT_PCM_16, 8000, 2, noise(4000));
  std::string caf = read_bytes(dir.path("a.caf"));
  write_bytes(dir.path("cut.caf"), caf.substr(0, caf.size() / 2));
  PathString cut(dir.path("cut.caf"));
  EXPECT_EQ(sample_load_file(s.s, cut.s, -1), STATUS_MALFORMED);

  // A FLAC cut at a frame boundary announces more frames than it holds.
  write_file(dir.path("a.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 2, noise(200000));
  std::string flac = read_bytes(dir.path("a.flac"));
  size_t at = flac_frame_at_or_after(flac, flac.size() / 2);
  ASSERT_NE(at, std::string::npos);
  write_bytes(dir.path("short.flac"), flac.substr(0, at));
  PathString shortf(dir.path("short.flac"));
  EXPECT_EQ(sample_load_file(s.s, shortf.s, -1), STATUS_END_OF_STREAM);
  // ... unless the limit stops before the shortfall.
  OwnedSample head;
  EXPECT_EQ(sample_load_file(head.s, shortf.s, 0.5f), STATUS_OK);
  EXPECT_EQ(head.s.length, 24000u);

  // A FIFO would block a plain open until some writer came; it is refused
  // at once with its cause.
  ASSERT_EQ(mkfifo(dir.path("pipe.wav").c_str(), 0600), 0);
  PathString pipe(dir.path("pipe.wav"));
  char cause[128] = "";
  EXPECT_EQ(sample_load_file(s.s, pipe.s, -1, cause, sizeof cause), STATUS_UNSUPPORTED);
  EXPECT_STREQ(cause, "not a regular file");

  expect_unchanged(s.s, before);
  EXPECT_EQ(s.s.data[32 + 5], pattern_value(1, 5));
}

TEST(SampleLoad, UnknownOrImpossibleFrameCountsAreReadToTheEnd) {
  TempDir dir;
  std::vector<double> data = noise(2 * 100000);
  write_file(dir.path("a.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 2, data);
  // Announce 2^36 - 1 frames in the stream information of a small file.
  std::string flac = read_bytes(dir.path("a.flac"));
  flac[21] = char(uint8_t(flac[21]) | 0x0F);
  for (int i = 22; i < 26; ++i) flac[i] = char(0xFF);
  write_bytes(dir.path("huge.flac"), flac);
  OwnedSample s;
  PathString huge(dir.path("huge.flac"));
  ASSERT_EQ(sample_load_file(s.s, huge.s, -1), STATUS_OK);
  EXPECT_EQ(s.s.length, 100000u);
  EXPECT_EQ(s.s.stride, 100000u);
  EXPECT_NEAR(s.s.data[99999], data[2 * 99999], 1.0 / 32768);
  EXPECT_NEAR(s.s.data[100000 + 77777], data[2 * 77777 + 1], 1.0 / 32768);

  // A WAV through a pipe with its sizes unset: no count at all.
  write_file(dir.path("a.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 2, data);
  std::string wav = read_bytes(dir.path("a.wav"));
  size_t chunk = wav.find("data");
  ASSERT_NE(chunk, std::string::npos);
  for (size_t i : {size_t(4), size_t(5), size_t(6), size_t(7), chunk + 4, chunk + 5, chunk + 6, chunk + 7})
    wav[i] = char(0xFF);
  std::string fifo = dir.path("pipe.wav");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread feeder([&] { write_bytes(fifo, wav); });
  PathString pipe(fifo);
  Status st = sample_load_file(s.s, pipe.s, -1);
  feeder.join();
  ASSERT_EQ(st, STATUS_OK);
  EXPECT_EQ(s.s.length, 100000u);
  EXPECT_EQ(s.s.stride, 100000u);
  EXPECT_EQ(s.s.data[100000 + 99999], float(data[2 * 99999 + 1]));
}

TEST(SampleSave, WritesFloatWavWhateverTheName) {
  TempDir dir;
  OwnedSample s(2, 10000, 96000);
  PathString p(dir.path("out.flac"));
  ASSERT_EQ(sample_save_file(s.s, p.s, 0, int64_t(s.s.length)), 10000);
  FileInfo f = read_file(dir.path("out.flac"));
  ASSERT_TRUE(f.opened);
  EXPECT_EQ(f.info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(f.info.samplerate, 96000);
  EXPECT_EQ(f.info.channels, 2);
  ASSERT_EQ(f.info.frames, 10000);
  for (uint64_t t = 0; t < 10000; t += 997) {
    EXPECT_EQ(f.frames[t * 2], pattern_value(0, t));
    EXPECT_EQ(f.frames[t * 2 + 1], pattern_value(1, t));
  }
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.flac"});
}

// Saving and loading back keeps every value for the specialised mono and
// stereo paths and the general one, across several transfer blocks; the
// loaded rows are zero past their length, and the file carries no PEAK
// chunk (it would cost a pass over the audio on every save).
TEST(SampleSave, RoundTripEveryChannelLayout) {
  TempDir dir;
  for (uint64_t channels : {1u, 2u, 3u}) {
    OwnedSample s(channels, 9001, 48000);
    PathString p(dir.path("rt.wav"));
    ASSERT_EQ(sample_save_file(s.s, p.s, 0, -1), 9001);
    std::string bytes = read_bytes(dir.path("rt.wav"));
    EXPECT_EQ(bytes.find("PEAK"), std::string::npos);
    OwnedSample back(1, 1, 8000);
    ASSERT_EQ(sample_load_file(back.s, p.s, -1), STATUS_OK);
    ASSERT_EQ(back.s.channels, channels);
    ASSERT_EQ(back.s.length, 9001u);
    ASSERT_EQ(back.s.stride, 9008u);
    size_t wrong = 0;
    for (uint64_t c = 0; c < channels; ++c) {
      const float* row = back.s.data + c * back.s.stride;
      for (uint64_t t = 0; t < 9001; ++t) wrong += row[t] != pattern_value(c, t);
      for (uint64_t t = 9001; t < 9008; ++t) wrong += row[t] != 0.0f;
    }
    EXPECT_EQ(wrong, 0u) << channels << " channels";
  }
}

TEST(SampleSave, FrameRanges) {
  TempDir dir;
  OwnedSample s(1, 5000, 8000);
  PathString p(dir.path("r.wav"));
  EXPECT_EQ(sample_save_file(s.s, p.s, 4990, 100), 10);
  FileInfo f = read_file(dir.path("r.wav"));
  ASSERT_EQ(f.info.frames, 10);
  EXPECT_EQ(f.frames[0], pattern_value(0, 4990));
  EXPECT_EQ(sample_save_file(s.s, p.s, 100, -1), 4900);
  EXPECT_EQ(sample_save_file(s.s, p.s, 6000, 10), 0);
  f = read_file(dir.path("r.wav"));
  ASSERT_TRUE(f.opened);
  EXPECT_EQ(f.info.frames, 0);
  EXPECT_EQ(f.info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
}

TEST(SampleSave, RefusalsCreateNothing) {
  TempDir dir;
  OwnedSample s(1, 100, 0);
  PathString p(dir.path("zero.wav"));
  EXPECT_EQ(sample_save_file(s.s, p.s, 0, 100), -int64_t(STATUS_INVALID));
  s.s.sample_rate = 8000;
  PathString nodir(dir.path("no/such/dir.wav"));
  EXPECT_EQ(sample_save_file(s.s, nodir.s, 0, 100), -int64_t(STATUS_SYSTEM));
  EXPECT_TRUE(dir.entries().empty());
}

TEST(SampleSave, FailedWriteKeepsTheOldFile) {
  TempDir dir;
  write_bytes(dir.path("keep.wav"), "previous contents");
  PathString p(dir.path("keep.wav"));
  OwnedSample big(2, 200000, 48000);  // 1.6 MB of floats
  // Let the process write files of at most 64 KiB: the write fails midway.
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit small = old;
  small.rlim_cur = 65536;
  sighandler_t prev = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int64_t r = sample_save_file(big.s, p.s, 0, -1);
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, prev);
  EXPECT_EQ(r, -int64_t(STATUS_SYSTEM));
  EXPECT_EQ(read_bytes(dir.path("keep.wav")), "previous contents");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.wav"});
  // The same save without the limit replaces it.
  EXPECT_EQ(sample_save_file(big.s, p.s, 0, -1), 200000);
  EXPECT_EQ(read_file(dir.path("keep.wav")).info.frames, 200000);
}

TEST(SampleFileAlloc, LoadFailuresLeaveTheSampleUnchanged) {
  TempDir dir;
  write_file(dir.path("a.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 2, noise(2 * 9000));
  write_file(dir.path("b.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 1, noise(70000));
  std::string flac = read_bytes(dir.path("b.flac"));
  flac[21] = char(uint8_t(flac[21]) | 0x0F);  // impossible count: the growing read
  write_bytes(dir.path("b.flac"), flac);
  for (const char* name : {"a.wav", "b.flac"}) {
    PathString p(dir.path(name));
    ASSERT_NE(string_to_utf8(&p.s), nullptr);  // the path's encoding cache outlives the sweep
    OwnedSample s(1, 3, 1000);
    for_each_alloc_failure([&] {
      Sample before = s.s;
      Status st = sample_load_file(s.s, p.s, -1);
      if (st == STATUS_OK) {
        // Only the final shrink of grown planes may fail without harm.
        EXPECT_EQ(s.s.length, std::string(name) == "a.wav" ? 9000u : 70000u);
      } else {
        EXPECT_TRUE(alloc_failure_hit());
        EXPECT_EQ(st, STATUS_NO_MEMORY);
        expect_unchanged(s.s, before);
      }
    });
  }
}

TEST(SampleFileAlloc, SaveFailuresKeepTheOldFile) {
  TempDir dir;
  OwnedSample s(2, 5000, 44100);
  PathString p(dir.path("old.wav"));
  ASSERT_NE(string_to_utf8(&p.s), nullptr);
  for_each_alloc_failure([&] {
    write_bytes(dir.path("old.wav"), "old");
    int64_t r = sample_save_file(s.s, p.s, 0, -1);
    if (alloc_failure_hit()) {
      EXPECT_EQ(r, -int64_t(STATUS_NO_MEMORY));
      EXPECT_EQ(read_bytes(dir.path("old.wav")), "old");
    } else {
      EXPECT_EQ(r, 5000);
      EXPECT_EQ(read_file(dir.path("old.wav")).info.frames, 5000);
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"old.wav"});
  });
}
