#include "audio/audio_stream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "audio/sndfile_stream.h"
#include "tests/audio/test_files.h"

using namespace audio_test;

namespace {

// A reader over bytes held in memory, delivering them in `native` whatever
// is asked, at most `burst` frames per native read.
class MemoryReader : public AudioReader {
 public:
  MemoryReader(std::vector<uint8_t> bytes, SampleType native, uint64_t channels, int64_t burst)
      : bytes_(std::move(bytes)), native_(native), burst_(burst) {
    format = {8000, channels, bytes_.size() / (sample_type_bytes(native) * channels), native};
    position = 0;
    status = STATUS_OK;
  }
  int64_t read_native(void* dst, int64_t frames, SampleType type) override {
    EXPECT_EQ(type, native_);
    ++calls;
    size_t frame = sample_type_bytes(native_) * format.channels;
    int64_t left = int64_t((bytes_.size() - offset_) / frame);
    int64_t n = std::min({frames, left, burst_});
    if (n <= 0) return fail(STATUS_END_OF_STREAM);
    std::memcpy(dst, bytes_.data() + offset_, size_t(n) * frame);
    offset_ += size_t(n) * frame;
    return n;
  }
  SampleType native_type(SampleType) override { return native_; }
  int calls = 0;

 private:
  std::vector<uint8_t> bytes_;
  size_t offset_ = 0;
  SampleType native_;
  int64_t burst_;
};

class MemoryWriter : public AudioWriter {
 public:
  MemoryWriter(SampleType native, uint64_t channels) : native_(native) {
    format = {8000, channels, 0, native};
    position = 0;
    status = STATUS_OK;
  }
  int64_t write_native(const void* src, int64_t frames, SampleType) override {
    const uint8_t* p = static_cast<const uint8_t*>(src);
    bytes.insert(bytes.end(), p, p + size_t(frames) * sample_type_bytes(native_) * format.channels);
    return frames;
  }
  SampleType native_type(SampleType) override { return native_; }
  std::vector<uint8_t> bytes;

 private:
  SampleType native_;
};

}  // namespace

TEST(ConvertingRead, ToFloatUsesTheFactorTable) {
  MemoryReader u8({0, 1, 127, 128, 129, 255}, SAMPLE_U8, 1, 100);
  float f[6];
  ASSERT_EQ(u8.read_f32(f, 6), 6);
  const int x[6] = {0, 1, 127, 128, 129, 255};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(f[i], float(x[i] - 128) * (1.0f / 127.0f)) << x[i];
  EXPECT_EQ(u8.position, 6);

  // s16 big-endian: 0x7FFF, 0x8000, 0x0001.
  MemoryReader s16be({0x7F, 0xFF, 0x80, 0x00, 0x00, 0x01}, sample_type_make(SAMPLE_KIND_S16, SAMPLE_ORDER_BIG), 1, 100);
  ASSERT_EQ(s16be.read_f32(f, 3), 3);
  EXPECT_EQ(f[0], 1.0f);
  EXPECT_EQ(f[1], -32768.0f * (1.0f / 32767.0f));
  EXPECT_EQ(f[2], 1.0f / 32767.0f);

  int32_t words[3] = {INT32_MIN, 1 << 30, -1};
  std::vector<uint8_t> raw(reinterpret_cast<uint8_t*>(words), reinterpret_cast<uint8_t*>(words) + 12);
  MemoryReader s32(raw, SAMPLE_S32, 1, 100);
  ASSERT_EQ(s32.read_f32(f, 3), 3);
  EXPECT_EQ(f[0], -1.0f);
  EXPECT_EQ(f[1], 0.5f);
  EXPECT_EQ(f[2], -1.0f / 2147483648.0f);

  double d[2] = {0.1, -2.5};
  std::vector<uint8_t> draw(reinterpret_cast<uint8_t*>(d), reinterpret_cast<uint8_t*>(d) + 16);
  MemoryReader f64(draw, SAMPLE_F64, 2, 100);
  ASSERT_EQ(f64.read_f32(f, 1), 1);
  EXPECT_EQ(f[0], 0.1f);
  EXPECT_EQ(f[1], -2.5f);
}

TEST(ConvertingRead, ChunksShortReadsAndTheEnd) {
  // 10000 stereo u8 frames delivered 3000 at a time.
  std::vector<uint8_t> bytes(20000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7);
  MemoryReader r(bytes, SAMPLE_U8, 2, 3000);
  std::vector<int16_t> out(20000);
  ASSERT_EQ(r.read_s16(out.data(), 9000), 9000);
  EXPECT_EQ(r.calls, 3);  // every short chunk is followed by the next
  EXPECT_EQ(r.scratch_size % 512, 0u);
  EXPECT_GE(r.scratch_size, 4096u * 2);
  int x = uint8_t((8999 * 2 + 1) * 7);
  EXPECT_EQ(out[8999 * 2 + 1], int16_t(std::nearbyint((x - 128) / 127.0 * 32767)));
  // 1000 left: a larger request returns what is there, then the end.
  EXPECT_EQ(r.read_s16(out.data(), 5000), 1000);
  EXPECT_EQ(r.read_s16(out.data(), 5000), -int64_t(STATUS_END_OF_STREAM));
  EXPECT_EQ(r.status, STATUS_END_OF_STREAM);
  EXPECT_EQ(r.position, 10000);
  // The native type itself is read straight, without the scratch buffer.
  MemoryReader direct(bytes, SAMPLE_U8, 2, 10000);
  std::vector<uint8_t> same(20000);
  ASSERT_EQ(direct.read_u8(same.data(), 10000), 10000);
  EXPECT_EQ(same, bytes);
  EXPECT_EQ(direct.scratch, nullptr);
}

TEST(ConvertingRead, RefusalsAndForwardSeeks) {
  MemoryReader r(std::vector<uint8_t>(100, 128), SAMPLE_U8, 1, 100);
  float f[100];
  EXPECT_EQ(r.read(f, 1, 3), -int64_t(STATUS_BAD_FORMAT));  // byte order 3
  EXPECT_EQ(r.read(f, 1, 44), -int64_t(STATUS_BAD_FORMAT));
  EXPECT_EQ(r.seek(40), 40);
  EXPECT_EQ(r.seek(10), -int64_t(STATUS_NOT_SUPPORTED));
  EXPECT_EQ(r.skip(20), 20);
  EXPECT_EQ(r.tell(), 60);
  EXPECT_EQ(r.close(), STATUS_OK);
  EXPECT_EQ(r.read_f32(f, 1), -int64_t(STATUS_NOT_OPEN));
  EXPECT_EQ(r.tell(), -int64_t(STATUS_NOT_OPEN));

  AudioReader base;
  EXPECT_EQ(base.status, STATUS_NOT_OPEN);
  EXPECT_EQ(base.format.frames, AUDIO_FRAMES_UNKNOWN);
  EXPECT_EQ(base.read_native(f, 1, SAMPLE_F32), -int64_t(STATUS_NOT_IMPLEMENTED));
  EXPECT_EQ(base.get_format(nullptr), STATUS_BAD_ARGUMENT);
  AudioWriter wbase;
  EXPECT_EQ(wbase.write_native(f, 1, SAMPLE_F32), -int64_t(STATUS_NOT_IMPLEMENTED));
  EXPECT_EQ(wbase.flush(), -int64_t(STATUS_NOT_OPEN));
}

TEST(ConvertingWrite, FloatToIntegerScalesRoundsAndClips) {
  MemoryWriter w(SAMPLE_S16, 1);
  const float f[5] = {1.0f, -1.0f, 2.0f, 0.5f, -3.0f};
  ASSERT_EQ(w.write_f32(f, 5), 5);
  int16_t got[5];
  std::memcpy(got, w.bytes.data(), 10);
  EXPECT_EQ(got[0], 32767);
  EXPECT_EQ(got[1], -32767);
  EXPECT_EQ(got[2], 32767);
  EXPECT_EQ(got[3], 16384);  // 16383.5 rounds to even
  EXPECT_EQ(got[4], -32768);
  EXPECT_EQ(w.position, 5);
  EXPECT_EQ(w.seek(0), -int64_t(STATUS_NOT_SUPPORTED));

  MemoryWriter u8(SAMPLE_U8, 1);
  ASSERT_EQ(u8.write_f32(f, 2), 2);
  EXPECT_EQ(u8.bytes, (std::vector<uint8_t>{255, 1}));
}

TEST(SndfileStreams, OpenStatusesAndTypedReads) {
  TempDir dir;
  SndfileReader r;
  EXPECT_EQ(r.open(static_cast<String*>(nullptr)), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(r.open(static_cast<const char*>(nullptr)), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(r.open(dir.path("none.wav").c_str()), STATUS_SYSTEM);
  EXPECT_EQ(r.close(), STATUS_OK);

  write_file(dir.path("s.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 2,
             {0.5, -0.5, 0.25, -0.25, 0.0, 1.0 - 1.0 / 32768, -1.0, 0.0});
  ASSERT_EQ(r.open(dir.path("s.wav").c_str()), STATUS_OK);
  EXPECT_EQ(r.open(dir.path("s.wav").c_str()), STATUS_ALREADY_OPEN);
  AudioFormat f;
  ASSERT_EQ(r.get_format(&f), STATUS_OK);
  EXPECT_EQ(f.sample_rate, 8000u);
  EXPECT_EQ(f.channels, 2u);
  EXPECT_EQ(f.frames, 4u);
  EXPECT_EQ(f.type, SAMPLE_S16);
  int16_t s[8];
  ASSERT_EQ(r.read_s16(s, 2), 2);
  EXPECT_EQ(s[0], 16384);
  EXPECT_EQ(s[3], -8192);
  EXPECT_EQ(r.scratch, nullptr);  // s16 is delivered as it is
  EXPECT_EQ(r.seek(3), 3);
  ASSERT_EQ(r.read_s16(s, 4), 1);
  EXPECT_EQ(s[0], -32767);  // libsndfile writes -1.0 as -32767
  EXPECT_EQ(r.read_s16(s, 1), -int64_t(STATUS_END_OF_STREAM));
  EXPECT_EQ(r.seek(1), 1);  // seekable files also move back
  ASSERT_EQ(r.read_u8(s, 1), 1);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(s)[0], 128 + 32);
  EXPECT_EQ(r.close(), STATUS_OK);
  EXPECT_EQ(r.position, -1);
}

TEST(SndfileStreams, WriterFormatTranslation) {
  int fmt = 0;
  EXPECT_EQ(audio_file_format_to_sndfile(AUDIO_FILE_WAV, SAMPLE_F32_ANY_ORDER, &fmt), STATUS_OK);
  EXPECT_EQ(fmt, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(audio_file_format_to_sndfile(0x20001, sample_type_make(SAMPLE_KIND_S24, SAMPLE_ORDER_BIG), &fmt), STATUS_OK);
  EXPECT_EQ(fmt, SF_FORMAT_AIFF | SF_FORMAT_PCM_24 | SF_ENDIAN_BIG);
  EXPECT_EQ(audio_file_format_to_sndfile(0x170011, SAMPLE_F32, &fmt), STATUS_OK);
  EXPECT_EQ(fmt, SF_FORMAT_FLAC | SF_FORMAT_VORBIS | SF_ENDIAN_LITTLE);
  for (AudioFileFormat bad : {0x00001u, 0x90001u, 0x140001u, 0x1A0001u, 0x230001u, 0x10000u, 0x10012u})
    EXPECT_EQ(audio_file_format_to_sndfile(bad, SAMPLE_F32, &fmt), STATUS_UNSUPPORTED) << std::hex << bad;
  EXPECT_EQ(audio_file_format_to_sndfile(AUDIO_FILE_WAV, 3, &fmt), STATUS_UNSUPPORTED);
  EXPECT_EQ(audio_file_format_to_sndfile(AUDIO_FILE_WAV, 44, &fmt), STATUS_UNSUPPORTED);

  EXPECT_EQ(audio_status_from_sndfile(1), STATUS_BAD_FORMAT);
  EXPECT_EQ(audio_status_from_sndfile(2), STATUS_SYSTEM);
  EXPECT_EQ(audio_status_from_sndfile(3), STATUS_MALFORMED);
  EXPECT_EQ(audio_status_from_sndfile(4), STATUS_BAD_FORMAT);
  EXPECT_EQ(audio_status_from_sndfile(158), STATUS_SYSTEM);

  TempDir dir;
  SndfileWriter w;
  AudioFormat request = {44100, 1, 0, SAMPLE_S16};
  EXPECT_EQ(w.open(dir.path("x.wav").c_str(), nullptr, AUDIO_FILE_WAV), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(w.open(dir.path("x.wav").c_str(), &request, 0x90001), STATUS_UNSUPPORTED);
  ASSERT_EQ(w.open(dir.path("x.wav").c_str(), &request, AUDIO_FILE_WAV), STATUS_OK);
  EXPECT_EQ(w.open(dir.path("x.wav").c_str(), &request, AUDIO_FILE_WAV), STATUS_ALREADY_OPEN);
  const float v[3] = {0.5f, -1.0f, 0.25f};
  EXPECT_EQ(w.write_f32(v, 3), 3);
  EXPECT_EQ(w.flush(), 0);
  EXPECT_EQ(w.close(), STATUS_OK);
  FileInfo f = read_file(dir.path("x.wav"));
  EXPECT_EQ(f.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  ASSERT_EQ(f.info.frames, 3);
  EXPECT_NEAR(f.frames[0], 0.5f, 1e-4);
  EXPECT_NEAR(f.frames[1], -1.0f, 1e-4);
}
