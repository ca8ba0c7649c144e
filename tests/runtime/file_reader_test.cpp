#include "runtime/file_reader.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/alloc.h"
#include "runtime/char_reader.h"
#include "runtime/native_file.h"
#include "runtime/status.h"
#include "runtime/string.h"

namespace {

class FileReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/timbral-fr-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  std::string file(const std::string& name, const std::string& bytes) {
    std::string p = root_ + "/" + name;
    FILE* f = fopen(p.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return p;
  }
  std::string root_;
};

void append_utf8(std::string* out, uint32_t c) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

TEST_F(FileReaderTest, LargeFileWithCharactersAcrossRefills) {
  // A mix of 1- to 4-byte characters, so that sequences straddle every
  // 4096-byte refill of the input area; far more than the output area too.
  const uint32_t alphabet[] = {'a', 0xE9, 0x20AC, 0x1F600, '\n', 0x939};
  std::vector<uint32_t> expect;
  std::string bytes;
  for (int i = 0; bytes.size() < 100000; ++i) {
    uint32_t c = alphabet[(i * 7 + i / 5) % 6];
    expect.push_back(c);
    append_utf8(&bytes, c);
  }
  std::string path = file("big.txt", bytes);

  FileReader r;
  ASSERT_EQ(r.open(path.c_str(), "UTF-8"), 0);
  EXPECT_EQ(r.open(path.c_str(), "UTF-8"), STATUS_INVALID);
  std::vector<uint32_t> got;
  for (int c; (c = r.read_char()) >= 0;) got.push_back(static_cast<uint32_t>(c));
  EXPECT_EQ(r.last_status(), STATUS_END_OF_STREAM);
  ASSERT_EQ(got.size(), expect.size());
  EXPECT_TRUE(got == expect);
  EXPECT_EQ(r.read_char(), -STATUS_END_OF_STREAM);
  EXPECT_EQ(r.close(), 0);
  EXPECT_EQ(r.read_char(), -STATUS_NOT_OPEN);

  // The same through block reads of an awkward size.
  FileReader b;
  ASSERT_EQ(b.open(path.c_str(), "UTF-8"), 0);
  std::vector<uint32_t> blocks;
  uint32_t buf[777];
  for (int64_t n; (n = b.read(buf, 777)) > 0;) blocks.insert(blocks.end(), buf, buf + n);
  EXPECT_TRUE(blocks == expect);
}

TEST_F(FileReaderTest, InvalidByteStopsAtItsPlace) {
  std::string bytes(5000, 'x');
  bytes[4500] = '\xFF';
  std::string path = file("bad.txt", bytes);
  FileReader r;
  ASSERT_EQ(r.open(path.c_str(), "UTF-8"), 0);
  for (int i = 0; i < 4500; ++i) ASSERT_EQ(r.read_char(), 'x') << i;
  EXPECT_EQ(r.read_char(), -STATUS_BAD_FORMAT);
  EXPECT_EQ(r.last_status(), STATUS_BAD_FORMAT);
  EXPECT_EQ(r.read_char(), -STATUS_BAD_FORMAT);
}

TEST_F(FileReaderTest, EmptyFileLinesAndCharsets) {
  FileReader e;
  ASSERT_EQ(e.open(file("empty", "").c_str(), nullptr), 0);
  EXPECT_EQ(e.read_char(), -STATUS_END_OF_STREAM);

  FileReader l;
  ASSERT_EQ(l.open(file("lines", "x\r\ny\xE9").c_str(), "ISO-8859-1"), 0);
  String line;
  string_init(&line);
  ASSERT_EQ(l.read_line(&line, true), 0);
  EXPECT_EQ(std::string(string_to_utf8(&line)), "x");
  ASSERT_EQ(l.read_line(&line, true), 0);
  EXPECT_EQ(std::string(string_to_utf8(&line)), "y\xC3\xA9");
  EXPECT_EQ(l.read_line(&line, true), STATUS_END_OF_STREAM);
  string_free(&line);
  EXPECT_EQ(l.mark(10), STATUS_NOT_SUPPORTED);

  // A truncated sequence at the end of the file is dropped quietly.
  FileReader t;
  ASSERT_EQ(t.open(file("trunc", "a\xE2\x82").c_str(), "UTF-8"), 0);
  EXPECT_EQ(t.read_char(), 'a');
  EXPECT_EQ(t.read_char(), -STATUS_END_OF_STREAM);
}

TEST_F(FileReaderTest, OpenFailures) {
  FileReader r;
  EXPECT_EQ(r.open(static_cast<const char*>(nullptr), nullptr), STATUS_BAD_ARGUMENT);
  EXPECT_EQ(r.open((root_ + "/missing").c_str(), nullptr), STATUS_NOT_FOUND);
  EXPECT_EQ(r.open(root_.c_str(), nullptr), STATUS_NOT_FOUND);  // a directory
  EXPECT_EQ(r.read_char(), -STATUS_NOT_OPEN);
  // An unknown character set falls back to UTF-8 rather than failing.
  ASSERT_EQ(r.open(file("u", "\xC3\xA9").c_str(), "NO-SUCH-CHARSET-42"), 0);
  EXPECT_EQ(r.read_char(), 0xE9);
}

TEST_F(FileReaderTest, ThroughAMarkingReader) {
  FileReader* r = mem_new<FileReader>();
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(r->open(file("m", "hello").c_str(), "UTF-8"), 0);
  MarkingReader m;
  ASSERT_EQ(m.attach(r, true), 0);
  ASSERT_EQ(m.mark(16), 0);
  EXPECT_EQ(m.read_char(), 'h');
  EXPECT_EQ(m.read_char(), 'e');
  ASSERT_EQ(m.reset(), 0);
  EXPECT_EQ(m.read_char(), 'h');
  EXPECT_EQ(m.close(), 0);
  mem_delete(r);
}
