#include "runtime/char_reader.h"

#include <string>

#include <gtest/gtest.h>

#include "runtime/status.h"
#include "runtime/string.h"
#include "tests/support/alloc_fail.h"

namespace {

std::string utf8_of(String* s) { return string_to_utf8(s); }

}  // namespace

TEST(StringReader, ReadsToTheEndAndStaysThere) {
  StringReader r;
  EXPECT_EQ(r.read_char(), -STATUS_NOT_OPEN);
  ASSERT_EQ(r.set_text("ab"), 0);
  EXPECT_EQ(r.set_text("x"), STATUS_INVALID);
  EXPECT_EQ(r.read_char(), 'a');
  EXPECT_EQ(r.read_char(), 'b');
  EXPECT_EQ(r.read_char(), -STATUS_END_OF_STREAM);
  EXPECT_EQ(r.read_char(), -STATUS_END_OF_STREAM);
  EXPECT_EQ(r.last_status(), STATUS_END_OF_STREAM);
  uint32_t buf[4];
  EXPECT_EQ(r.read(buf, 4), -STATUS_END_OF_STREAM);
  EXPECT_EQ(r.close(), 0);
  EXPECT_EQ(r.read_char(), -STATUS_NOT_OPEN);
}

TEST(StringReader, LinesBlocksSkipAndMark) {
  StringReader r;
  ASSERT_EQ(r.set_text("x\r\ny\n\nz\xE2\x82\xAC"), 0);
  String line;
  string_init(&line);
  ASSERT_EQ(r.read_line(&line, true), 0);
  EXPECT_EQ(utf8_of(&line), "x");
  ASSERT_EQ(r.mark(2), 0);
  ASSERT_EQ(r.read_line(&line, true), 0);
  EXPECT_EQ(utf8_of(&line), "y");
  ASSERT_EQ(r.reset(), 0);
  ASSERT_EQ(r.read_line(&line, true), 0);
  EXPECT_EQ(utf8_of(&line), "y");
  ASSERT_EQ(r.read_line(&line, true), 0);
  EXPECT_EQ(utf8_of(&line), "");
  // Past mark + limit the mark is forgotten.
  EXPECT_EQ(r.reset(), STATUS_NOT_FOUND);
  EXPECT_EQ(r.read_line(&line, false), STATUS_END_OF_STREAM);
  EXPECT_EQ(utf8_of(&line), "");
  ASSERT_EQ(r.read_line(&line, true), 0);
  EXPECT_EQ(utf8_of(&line), "z\xE2\x82\xAC");
  EXPECT_EQ(r.read_line(&line, true), STATUS_END_OF_STREAM);
  string_free(&line);

  String text;
  string_init(&text);
  ASSERT_TRUE(string_from_utf8(&text, "hello world", 11));
  StringReader b;
  ASSERT_EQ(b.set_source(&text), 0);
  uint32_t buf[8];
  EXPECT_EQ(b.read(buf, 5), 5);
  EXPECT_EQ(buf[4], 'o');
  EXPECT_EQ(b.skip(1), 1);
  EXPECT_EQ(b.read(buf, 8), 5);
  EXPECT_EQ(buf[0], 'w');
  EXPECT_EQ(b.skip(3), 0);
  EXPECT_EQ(b.close(), 0);
  EXPECT_EQ(text.length, 11u);  // a borrowed source survives close
  string_free(&text);
}

TEST(StringReader, OwnedTextSurvivesAllocationFailure) {
  for_each_alloc_failure([] {
    StringReader r;
    int st = r.set_text("abc");
    if (st != 0) {
      EXPECT_EQ(st, STATUS_NO_MEMORY);
      EXPECT_EQ(r.read_char(), -STATUS_NOT_OPEN);
      return;
    }
    EXPECT_EQ(r.read_char(), 'a');
  });
}

TEST(CharReader, BaseFallbacksAndSkip) {
  CharReader base;
  uint32_t c;
  String s;
  string_init(&s);
  EXPECT_EQ(base.read(&c, 1), -STATUS_END_OF_STREAM);
  EXPECT_EQ(base.read_line(&s, true), STATUS_END_OF_STREAM);
  EXPECT_EQ(base.mark(1), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(base.reset(), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(base.close(), 0);

  // The generic skip, through a reader that only provides read.
  std::string big(10000, 'q');
  big += "end";
  StringReader inner;
  ASSERT_EQ(inner.set_text(big.c_str()), 0);
  MarkingReader m;
  ASSERT_EQ(m.attach(&inner, false), 0);
  EXPECT_EQ(m.skip(10000), 10000);
  EXPECT_EQ(m.read_char(), 'e');
  EXPECT_EQ(m.skip(100), 2);
  EXPECT_EQ(m.skip(100), 0);
}

TEST(MarkingReader, RecordsUpToTheLimitThenPassesThrough) {
  std::string text;
  for (int i = 0; i < 10000; ++i) text += static_cast<char>('a' + i % 26);
  StringReader inner;
  ASSERT_EQ(inner.set_text(text.c_str()), 0);
  MarkingReader m;
  EXPECT_EQ(m.mark(1), STATUS_NOT_OPEN);
  EXPECT_EQ(m.attach(nullptr, false), STATUS_BAD_ARGUMENT);
  ASSERT_EQ(m.attach(&inner, false), 0);
  EXPECT_EQ(m.attach(&inner, false), STATUS_INVALID);
  EXPECT_EQ(m.reset(), STATUS_NOT_FOUND);
  ASSERT_EQ(m.mark(4096), 0);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(m.read_char(), 'a' + i % 26) << i;
  EXPECT_TRUE(m.has_mark());
  ASSERT_EQ(m.reset(), 0);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(m.read_char(), 'a' + i % 26) << i;
  EXPECT_EQ(m.read_char(), 'a' + 4096 % 26);
  EXPECT_FALSE(m.has_mark());
  EXPECT_EQ(inner.position(), 4097u);
  for (int i = 4097; i < 10000; ++i) ASSERT_EQ(m.read_char(), 'a' + i % 26) << i;
  EXPECT_EQ(m.read_char(), -STATUS_END_OF_STREAM);
  EXPECT_EQ(m.reset(), STATUS_NOT_FOUND);
}

TEST(MarkingReader, NewMarkKeepsUnreplayedText) {
  StringReader inner;
  ASSERT_EQ(inner.set_text("abcdef"), 0);
  MarkingReader m;
  ASSERT_EQ(m.attach(&inner, true), 0);
  ASSERT_EQ(m.mark(10), 0);
  uint32_t buf[4];
  ASSERT_EQ(m.read(buf, 4), 4);
  ASSERT_EQ(m.reset(), 0);
  EXPECT_EQ(m.read_char(), 'a');
  ASSERT_EQ(m.mark(10), 0);
  std::string rest;
  for (int c; (c = m.read_char()) >= 0;) rest += static_cast<char>(c);
  EXPECT_EQ(rest, "bcdef");
  ASSERT_EQ(m.reset(), 0);
  EXPECT_EQ(m.read_char(), 'b');
  EXPECT_EQ(m.close(), 0);
  EXPECT_EQ(inner.read_char(), -STATUS_NOT_OPEN);  // owned source was closed
}

TEST(MarkingReader, FailedGrowthIsNoMemory) {
  for_each_alloc_failure([] {
    StringReader inner;
    if (inner.set_text("xyz") != 0) return;
    MarkingReader m;
    ASSERT_EQ(m.attach(&inner, false), 0);
    ASSERT_EQ(m.mark(8), 0);
    int32_t c = m.read_char();
    if (c < 0) {
      EXPECT_EQ(c, -STATUS_NO_MEMORY);
      return;
    }
    EXPECT_EQ(c, 'x');
    ASSERT_EQ(m.reset(), 0);
    EXPECT_EQ(m.read_char(), 'x');
  });
}
