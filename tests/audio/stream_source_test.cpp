// Streamed sources against their whole-buffer counterparts: the profile,
// the resampler and the file reader fed or read in blocks of many sizes
// must give the very same bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "analysis/profile.h"
#include "analysis/profile_stream.h"
#include "analysis/sample.h"
#include "tests/support/alloc_fail.h"

namespace {

// Owned planar audio: noise with a quiet stretch and a loud bump, so that a
// gate has something to drop and the frames differ from one another.
struct Audio {
  Audio(uint64_t channels, uint64_t length, uint64_t rate, uint32_t seed) {
    sample_init(s);
    EXPECT_TRUE(sample_allocate(s, channels, length, length));
    s.sample_rate = rate;
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> d(-0.5f, 0.5f);
    for (uint64_t c = 0; c < channels; ++c)
      for (uint64_t i = 0; i < length; ++i) {
        float v = d(gen) * (1.0f + 0.3f * float(c));
        if (i > length / 4 && i < length / 2) v = 0.0f;            // silence
        if (i > 3 * length / 4 && i < 3 * length / 4 + 900) v *= 1.9f;  // bump
        s.data[c * s.stride + i] = v;
      }
  }
  ~Audio() { sample_destroy(s); }
  Sample s;
};

// Frames [at, at + n) of `audio` as a block that borrows its rows.
Sample view(const Sample& audio, uint64_t at, uint64_t n) {
  Sample v = audio;
  v.data = audio.data + at;
  v.length = n;
  return v;
}

// Whether two buffers have the same shape and the same bits in every row.
::testing::AssertionResult same_rows(const Sample& got, const Sample& want) {
  if (got.channels != want.channels || got.length != want.length)
    return ::testing::AssertionFailure() << "shape " << got.channels << "x" << got.length << " instead of "
                                         << want.channels << "x" << want.length;
  for (uint64_t c = 0; c < got.channels; ++c)
    if (want.length && std::memcmp(got.data + c * got.stride, want.data + c * want.stride,
                                   size_t(want.length) * sizeof(float)) != 0)
      return ::testing::AssertionFailure() << "row " << c << " differs";
  return ::testing::AssertionSuccess();
}

using Rows = std::vector<std::vector<float>>;

::testing::AssertionResult same_rows(const Rows& got, const Sample& want) {
  if (got.size() != want.channels) return ::testing::AssertionFailure() << got.size() << " channels";
  for (uint64_t c = 0; c < want.channels; ++c) {
    if (got[c].size() != want.length) return ::testing::AssertionFailure() << got[c].size() << " frames";
    if (want.length && std::memcmp(got[c].data(), want.data + c * want.stride, size_t(want.length) * sizeof(float)))
      return ::testing::AssertionFailure() << "row " << c << " differs";
  }
  return ::testing::AssertionSuccess();
}

constexpr uint64_t kWhole = UINT64_MAX;
const uint64_t kBlocks[] = {1, 7, 4096, 65536, kWhole};

// Feeds the audio in blocks of `block` frames through every pass.
Status stream_profile(const Sample& audio, unsigned rank, double gate, uint64_t block, Sample& out, float* peak) {
  ProfileStream p;
  profile_stream_init(p);
  Status st = profile_stream_start(p, audio.channels, rank, gate);
  for (int pass = 0; st == STATUS_OK && pass < (profile_stream_needs_second_pass(p) ? 2 : 1); ++pass) {
    for (uint64_t at = 0; st == STATUS_OK && at < audio.length; at += block)
      st = profile_stream_push(p, view(audio, at, std::min(block, audio.length - at)));
    if (st == STATUS_OK) st = profile_stream_end_pass(p);
  }
  if (st == STATUS_OK) st = profile_stream_finish(p, out);
  if (peak) *peak = profile_stream_peak(p);
  profile_stream_release(p);
  profile_stream_release(p);
  return st;
}

TEST(StreamSource, ProfileEqualsWholeBufferProfile) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    uint64_t channels, length;
    unsigned rank;
    double gate;
  } cases[] = {
      {1, 20011, 10, nan}, {2, 20011, 10, 10.0}, {2, 62413, 14, 0.0}, {1, 62413, 14, 20.0},
      {2, 1024, 10, nan},  {1, 0, 10, 10.0},     {2, 300, 10, 10.0},
  };
  for (const Case& k : cases) {
    Audio audio(k.channels, k.length, 48000, uint32_t(k.length + k.rank));
    Sample want;
    sample_init(want);
    const bool gated = k.gate > 0.0;
    ASSERT_EQ(gated ? compute_profile_gated(want, audio.s, k.rank, k.gate) : compute_profile(want, audio.s, k.rank),
              STATUS_OK);
    float peak_want = 0.0f;
    for (uint64_t c = 0; c < k.channels; ++c)
      for (uint64_t i = 0; i < k.length; ++i) peak_want = std::max(peak_want, std::fabs(audio.s.data[c * audio.s.stride + i]));
    for (uint64_t block : kBlocks) {
      SCOPED_TRACE(::testing::Message() << k.channels << " ch, " << k.length << " frames, rank " << k.rank << ", gate "
                                        << k.gate << ", blocks of " << block);
      Sample got;
      sample_init(got);
      float peak = -1.0f;
      ASSERT_EQ(stream_profile(audio.s, k.rank, k.gate, block, got, &peak), STATUS_OK);
      EXPECT_TRUE(same_rows(got, want));
      EXPECT_EQ(got.stride, want.stride);
      EXPECT_EQ(got.sample_rate, 0u);
      EXPECT_EQ(peak, peak_want);
      sample_destroy(got);
    }
    sample_destroy(want);
  }
}

TEST(StreamSource, ProfileRefusesMisuseAndSurvivesFailingAllocations) {
  Audio audio(2, 5000, 48000, 3);
  ProfileStream p;
  profile_stream_init(p);
  Sample out;
  sample_init(out);
  EXPECT_EQ(profile_stream_start(p, 0, 10, 0.0), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(profile_stream_start(p, 2, 0, 0.0), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(profile_stream_start(p, 2, 10, std::numeric_limits<double>::infinity()), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(profile_stream_push(p, audio.s), STATUS_INVALID);
  ASSERT_EQ(profile_stream_start(p, 2, 10, 10.0), STATUS_OK);
  EXPECT_EQ(profile_stream_finish(p, out), STATUS_INVALID);
  Sample mono = view(audio.s, 0, 100);
  mono.channels = 1;
  EXPECT_EQ(profile_stream_push(p, mono), STATUS_BAD_ARGUMENT);
  // A second pass of another length than the first is refused, longer or shorter.
  ASSERT_EQ(profile_stream_push(p, audio.s), STATUS_OK);
  ASSERT_EQ(profile_stream_end_pass(p), STATUS_OK);
  ASSERT_EQ(profile_stream_push(p, view(audio.s, 0, 4000)), STATUS_OK);
  EXPECT_EQ(profile_stream_end_pass(p), STATUS_INVALID);
  ASSERT_EQ(profile_stream_start(p, 2, 10, 10.0), STATUS_OK);
  ASSERT_EQ(profile_stream_push(p, view(audio.s, 0, 4000)), STATUS_OK);
  ASSERT_EQ(profile_stream_end_pass(p), STATUS_OK);
  EXPECT_EQ(profile_stream_push(p, audio.s), STATUS_INVALID);
  profile_stream_release(p);
  EXPECT_EQ(out.data, nullptr);

  Sample want;
  sample_init(want);
  ASSERT_EQ(compute_profile_gated(want, audio.s, 10, 10.0), STATUS_OK);
  for_each_alloc_failure([&] {
    Sample got;
    sample_init(got);
    Status st = stream_profile(audio.s, 10, 10.0, 300, got, nullptr);
    if (alloc_failure_hit()) {
      EXPECT_EQ(st, STATUS_NO_MEMORY);
      EXPECT_EQ(got.data, nullptr);
    } else {
      EXPECT_EQ(st, STATUS_OK);
      EXPECT_TRUE(same_rows(got, want));
    }
    sample_destroy(got);
  });
  sample_destroy(want);
}

}  // namespace

#include "analysis/resample.h"
#include "analysis/resample_stream.h"

namespace {

// Pushes the audio in blocks of `block` frames and gathers every output;
// `largest` gets the most frames one call gave.
Status stream_resample(const Sample& audio, uint64_t target, bool high, uint64_t block, Rows& rows,
                       uint64_t* largest) {
  ResampleStream r;
  resample_stream_init(r);
  Sample part;
  sample_init(part);
  rows.assign(audio.channels, {});
  Status st = resample_stream_start(r, audio.channels, audio.sample_rate, target, audio.length, high);
  for (uint64_t at = 0; st == STATUS_OK; at += block) {
    const bool last = at >= audio.length;
    st = last ? resample_stream_finish(r, part)
              : resample_stream_push(r, view(audio, at, std::min(block, audio.length - at)), part);
    if (st == STATUS_OK) {
      EXPECT_EQ(part.sample_rate, target);
      if (largest) *largest = std::max(*largest, part.length);
      for (uint64_t c = 0; c < audio.channels; ++c)
        rows[c].insert(rows[c].end(), part.data + c * part.stride, part.data + c * part.stride + part.length);
    }
    if (last) break;
  }
  resample_stream_release(r);
  resample_stream_release(r);
  sample_destroy(part);
  return st;
}

TEST(StreamSource, ResamplingEqualsWholeBufferResampling) {
  struct Case {
    uint64_t from, to, channels, length;
    bool steady;  // outputs keep pace with the input (not so for windows of very long periods)
  } cases[] = {
      // Common pairs, mono and stereo, lengths that are multiples of nothing.
      {44100, 48000, 2, 20011, true}, {48000, 44100, 1, 20011, true}, {96000, 48000, 2, 30011, true},
      {22050, 48000, 1, 10007, true}, {48000, 48000, 2, 10007, true}, {24000, 48000, 2, 9001, true},
      {48000, 16000, 1, 30011, true},
      // Long periods; then periods too long for gather tables (the scatter), past a period's end.
      {44100, 47999, 2, 15013, true}, {1000, 200003, 1, 1201, false}, {96001, 44100, 1, 100003, false},
      // Inputs shorter than the filters.
      {44100, 48000, 1, 0, true}, {96000, 48000, 1, 1, true}, {22050, 48000, 2, 5, true}, {48000, 44100, 2, 3, true},
      {96000, 44100, 1, 40, true},
  };
  for (const Case& k : cases)
    for (bool high : {false, true}) {
      Audio audio(k.channels, k.length, k.from, uint32_t(k.length + k.to));
      Sample want;
      sample_init(want);
      ASSERT_EQ(sample_copy(want, audio.s), STATUS_OK);
      want.sample_rate = k.from;
      ASSERT_EQ(high ? resample_high(want, k.to) : resample(want, k.to), STATUS_OK);
      for (uint64_t block : kBlocks) {
        SCOPED_TRACE(::testing::Message() << k.from << " -> " << k.to << (high ? " high" : "") << ", " << k.channels
                                          << " ch, " << k.length << " frames, blocks of " << block);
        Rows got;
        uint64_t largest = 0;
        ASSERT_EQ(stream_resample(audio.s, k.to, high, block, got, &largest), STATUS_OK);
        EXPECT_TRUE(same_rows(got, want));
        // Output leaves as the input comes: no call holds back more than
        // the filters span.
        if ((k.steady || high) && block <= 4096) {
          EXPECT_LE(largest, 8192 + (block + 512) * k.to / k.from);
        }
      }
      sample_destroy(want);
    }
}

TEST(StreamSource, ResamplingSurvivesFailingAllocationsAndRefusesMisuse) {
  Audio audio(2, 7001, 96000, 21);
  for (uint64_t to : {48000, 44100, 96001})
    for (bool high : {false, true}) {
      Sample want;
      sample_init(want);
      ASSERT_EQ(sample_copy(want, audio.s), STATUS_OK);
      want.sample_rate = audio.s.sample_rate;
      ASSERT_EQ(high ? resample_high(want, to) : resample(want, to), STATUS_OK);
      for_each_alloc_failure([&] {
        Rows got;
        Status st = stream_resample(audio.s, to, high, 3000, got, nullptr);
        if (alloc_failure_hit()) {
          EXPECT_EQ(st, STATUS_NO_MEMORY);
        } else {
          ASSERT_EQ(st, STATUS_OK);
          EXPECT_TRUE(same_rows(got, want));
        }
      });
      sample_destroy(want);
    }
  ResampleStream r;
  resample_stream_init(r);
  Sample out;
  sample_init(out);
  EXPECT_EQ(resample_stream_start(r, 0, 44100, 48000, 10, false), STATUS_INVALID);
  EXPECT_EQ(resample_stream_start(r, 2, 0, 48000, 10, false), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(resample_stream_push(r, audio.s, out), STATUS_INVALID);
  ASSERT_EQ(resample_stream_start(r, 2, 96000, 48000, 7000, false), STATUS_OK);
  EXPECT_EQ(resample_stream_push(r, audio.s, out), STATUS_INVALID);  // more than announced
  EXPECT_EQ(resample_stream_push(r, view(audio.s, 0, 6000), out), STATUS_OK);
  EXPECT_EQ(resample_stream_finish(r, out), STATUS_INVALID);  // fewer than announced
  Sample mono = view(audio.s, 0, 10);
  mono.channels = 1;
  EXPECT_EQ(resample_stream_push(r, mono, out), STATUS_BAD_ARGUMENT);
  resample_stream_release(r);
  sample_destroy(out);
}

}  // namespace

#include "audio/input_stream.h"
#include "audio/sample_file.h"
#include "tests/audio/test_files.h"

namespace {

using audio_test::PathString;
using audio_test::TempDir;

// Reads the whole stream in blocks of `block` frames.
Status read_stream(InputStream& in, uint64_t block, Rows& rows, uint64_t* bad_frame, uint64_t* bad_channel) {
  Sample part;
  sample_init(part);
  rows.assign(in.channels, {});
  Status st = STATUS_OK;
  for (;;) {
    st = input_stream_read(in, part, block, bad_frame, bad_channel);
    if (st != STATUS_OK || part.length == 0) break;
    EXPECT_LE(part.length, block);
    EXPECT_EQ(part.sample_rate, in.rate);
    for (uint64_t c = 0; c < in.channels; ++c)
      rows[c].insert(rows[c].end(), part.data + c * part.stride, part.data + c * part.stride + part.length);
  }
  sample_destroy(part);
  return st;
}

// Interleaved noise with the quiet stretch and the bump of Audio.
std::vector<double> file_frames(uint64_t channels, uint64_t length, uint32_t seed) {
  Audio audio(channels, length, 1, seed);
  std::vector<double> frames(channels * length);
  for (uint64_t i = 0; i < length; ++i)
    for (uint64_t c = 0; c < channels; ++c) frames[i * channels + c] = 0.7 * audio.s.data[c * audio.s.stride + i];
  return frames;
}

TEST(StreamSource, FileReadInBlocksEqualsLoadedAndResampledFile) {
  TempDir dir;
  struct File {
    const char* name;
    int format, rate, channels;
    uint64_t length;
    size_t cut;  // bytes taken off the end: a header that promises more than the file holds
    bool lie;    // a FLAC header announcing far more frames than any file could hold: counted instead
  } files[] = {
      {"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 12007, 0, false},
      {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 1, 9001, 0, false},
      {"lossless.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 96000, 2, 15013, 0, false},
      {"cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 2, 12007 - 1000, 6000, false},
      {"lying.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, 7001, 0, true},
  };
  for (const File& f : files) {
    const std::string path = dir.path(f.name);
    audio_test::write_file(path, f.format, f.rate, f.channels,
                           file_frames(uint64_t(f.channels), f.length + f.cut / 6, 11));
    std::string bytes = audio_test::read_bytes(path);
    if (f.cut) audio_test::write_bytes(path, bytes.substr(0, bytes.size() - f.cut));
    if (f.lie) {
      ASSERT_EQ(bytes.substr(0, 4), "fLaC");
      bytes[21] = char((bytes[21] & 0xF0) | 0x07);  // the top bits of the 36-bit frame count
      audio_test::write_bytes(path, bytes);
    }
    PathString name(path);
    Sample loaded;
    sample_init(loaded);
    char words[256] = "";
    ASSERT_EQ(sample_load_file(loaded, name.s, -1.0f, words, sizeof words), STATUS_OK) << words;
    struct Rate {
      uint64_t rate;
      bool high;
    } rates[] = {{0, false}, {uint64_t(f.rate), false}, {48000, false}, {48000, true}, {44100, false}};
    InputStream in;
    input_stream_init(in);
    ASSERT_EQ(input_stream_open(in, path.c_str(), words, sizeof words), STATUS_OK) << words;
    EXPECT_EQ(in.file_rate, uint64_t(f.rate));
    EXPECT_EQ(in.channels, uint64_t(f.channels));
    EXPECT_EQ(in.frames, f.length);
    for (const Rate& r : rates) {
      Sample want;
      sample_init(want);
      ASSERT_EQ(sample_copy(want, loaded), STATUS_OK);
      want.sample_rate = loaded.sample_rate;
      if (r.rate != 0) {
        ASSERT_EQ(r.high ? resample_high(want, r.rate) : resample(want, r.rate), STATUS_OK);
      }
      for (uint64_t block : kBlocks) {
        SCOPED_TRACE(::testing::Message() << f.name << " at " << r.rate << (r.high ? " high" : "") << ", blocks of "
                                          << block);
        ASSERT_EQ(input_stream_rewind(in), STATUS_OK);
        ASSERT_EQ(input_stream_set_rate(in, r.rate, r.high), STATUS_OK);
        EXPECT_EQ(input_stream_length(in), want.length);
        Rows got;
        ASSERT_EQ(read_stream(in, block, got, nullptr, nullptr), STATUS_OK);
        EXPECT_TRUE(same_rows(got, want));
        // Once started the rate stays; at the end every read gives nothing.
        EXPECT_EQ(input_stream_set_rate(in, 22050, false), STATUS_INVALID);
        ASSERT_EQ(read_stream(in, block, got, nullptr, nullptr), STATUS_OK);
        EXPECT_TRUE(got[0].empty());
      }
      sample_destroy(want);
    }
    input_stream_close(in);
    input_stream_close(in);
    sample_destroy(loaded);
  }
}

TEST(StreamSource, FileReadInBlocksNamesTheFirstUnusableSampleAndRefusesBadPaths) {
  TempDir dir;
  const std::string path = dir.path("bad.wav");
  std::vector<double> frames = file_frames(2, 20000, 5);
  const uint64_t bad = 2 * 4096 + 123;  // in the third block of 4096
  frames[bad * 2 + 1] = 1e20;
  frames[(bad + 5) * 2] = std::numeric_limits<double>::quiet_NaN();
  audio_test::write_file(path, SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 48000, 2, frames);
  PathString name(path);
  Sample loaded;
  sample_init(loaded);
  ASSERT_EQ(sample_load_file(loaded, name.s, -1.0f), STATUS_OK);
  uint64_t want_frame = 0, want_channel = 0;
  ASSERT_TRUE(sample_find_unusable(loaded, &want_frame, &want_channel));
  EXPECT_EQ(want_frame, bad);
  sample_destroy(loaded);
  for (uint64_t rate : {0, 44100})
    for (uint64_t block : {uint64_t{4096}, uint64_t{7}, kWhole}) {
      SCOPED_TRACE(::testing::Message() << "rate " << rate << ", blocks of " << block);
      InputStream in;
      input_stream_init(in);
      ASSERT_EQ(input_stream_open(in, path.c_str(), nullptr, 0), STATUS_OK);
      ASSERT_EQ(input_stream_set_rate(in, rate, false), STATUS_OK);
      Rows got;
      uint64_t frame = 0, channel = 0;
      EXPECT_EQ(read_stream(in, block, got, &frame, &channel), STATUS_MALFORMED);
      EXPECT_EQ(frame, want_frame);
      EXPECT_EQ(channel, want_channel);
      EXPECT_STRNE(input_stream_cause(in), "");
      input_stream_close(in);
    }

  // Failures to open carry the status and the words of sample_load_file.
  audio_test::write_bytes(dir.path("text.wav"), "not audio at all, just words");
  for (const std::string& p : {dir.path("missing.wav"), dir.path("text.wav"), dir.path("")}) {
    PathString other(p);
    Sample s;
    sample_init(s);
    char want_words[256] = "", words[256] = "";
    const Status want = sample_load_file(s, other.s, -1.0f, want_words, sizeof want_words);
    InputStream in;
    input_stream_init(in);
    EXPECT_EQ(input_stream_open(in, p.c_str(), words, sizeof words), want) << p;
    EXPECT_NE(want, STATUS_OK);
    EXPECT_STREQ(words, want_words);
    EXPECT_EQ(in.reader, nullptr);
    sample_destroy(s);
    input_stream_close(in);
  }
}

TEST(StreamSource, FileReadSurvivesFailingAllocations) {
  TempDir dir;
  const std::string path = dir.path("short.wav");
  audio_test::write_file(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, file_frames(2, 5003, 9));
  PathString name(path);
  Sample want, want_high;
  sample_init(want);
  sample_init(want_high);
  ASSERT_EQ(sample_load_file(want, name.s, -1.0f), STATUS_OK);
  ASSERT_EQ(sample_copy(want_high, want), STATUS_OK);
  want_high.sample_rate = want.sample_rate;
  ASSERT_EQ(resample(want, 48000), STATUS_OK);
  ASSERT_EQ(resample_high(want_high, 48000), STATUS_OK);
  for (bool high : {false, true})
    for_each_alloc_failure([&] {
      InputStream in;
      input_stream_init(in);
      Rows got;
      Status st = input_stream_open(in, path.c_str(), nullptr, 0);
      if (st == STATUS_OK) st = input_stream_set_rate(in, 48000, high);
      if (st == STATUS_OK) st = read_stream(in, 1000, got, nullptr, nullptr);
      if (alloc_failure_hit()) {
        EXPECT_EQ(st, STATUS_NO_MEMORY);
      } else {
        ASSERT_EQ(st, STATUS_OK);
        EXPECT_TRUE(same_rows(got, high ? want_high : want));
      }
      input_stream_close(in);
    });
  sample_destroy(want);
  sample_destroy(want_high);
}

}  // namespace
