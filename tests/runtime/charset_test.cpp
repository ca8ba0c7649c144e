#include "runtime/charset.h"

#include <clocale>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "runtime/alloc.h"
#include "runtime/status.h"
#include "runtime/string.h"
#include "tests/support/alloc_fail.h"

namespace {

TEST(LocaleCharset, DiscoveryLeavesTheProcessLocaleAlone) {
  std::string before = setlocale(LC_CTYPE, nullptr);
  char* name = locale_charset_name();
  ASSERT_NE(name, nullptr);
  EXPECT_GT(std::strlen(name), 0u);
  EXPECT_EQ(std::strchr(name, '@'), nullptr);
  EXPECT_EQ(before, setlocale(LC_CTYPE, nullptr));
  mem_free(name);

  iconv_t cd;
  ASSERT_EQ(charset_open_decoder(nullptr, &cd), STATUS_OK);
  charset_close(cd);
  // An unknown set falls back to UTF-8 instead of failing.
  ASSERT_EQ(charset_open_encoder("NO-SUCH-CHARSET-X", &cd), STATUS_OK);
  charset_close(cd);
  charset_close(reinterpret_cast<iconv_t>(-1));
}

TEST(LocaleConversion, Latin1RoundTripAndRefusal) {
  // "café ÿ" in ISO-8859-1.
  const char latin1[] = {'c', 'a', 'f', '\xE9', ' ', '\xFF'};
  String s;
  string_init(&s);
  ASSERT_TRUE(string_from_locale(&s, latin1, sizeof latin1, "ISO-8859-1"));
  ASSERT_EQ(s.length, 6u);
  EXPECT_EQ(s.chars[3], 0xE9u);
  EXPECT_EQ(s.chars[5], 0xFFu);
  const char* back = string_to_locale(&s, 0, static_cast<int64_t>(s.length), "ISO-8859-1");
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(std::memcmp(back, latin1, sizeof latin1), 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(back[sizeof latin1 + i], 0) << i;

  // A code point that ISO-8859-1 cannot hold makes the encoding fail.
  ASSERT_TRUE(string_append_char(&s, 0x20AC));
  EXPECT_EQ(string_to_locale(&s, 0, static_cast<int64_t>(s.length), "ISO-8859-1"), nullptr);

  // Bytes that the named set rejects leave the String unchanged.
  const char bad[] = {'o', 'k', '\xFF', 'x'};
  EXPECT_FALSE(string_from_locale(&s, bad, sizeof bad, "UTF-8"));
  EXPECT_EQ(s.length, 7u);
  const char cut[] = {'a', '\xE2', '\x82'};  // ends inside a sequence
  EXPECT_FALSE(string_from_locale(&s, cut, sizeof cut, "UTF-8"));
  EXPECT_EQ(s.length, 7u);
  EXPECT_FALSE(string_from_locale(&s, nullptr, 3, "UTF-8"));
  ASSERT_TRUE(string_from_locale(&s, "", 0, "UTF-8"));
  EXPECT_EQ(s.length, 0u);
  string_free(&s);
}

TEST(LocaleConversion, LongTextsCrossTheConversionBuffers) {
  std::string utf8;
  for (int i = 0; i < 700; ++i) utf8 += "\xE2\x82\xAC" "a";  // 2800 bytes, 1400 code points
  String s;
  string_init(&s);
  ASSERT_TRUE(string_from_locale(&s, utf8.data(), utf8.size(), "UTF-8"));
  ASSERT_EQ(s.length, 1400u);
  EXPECT_EQ(s.chars[1398], 0x20ACu);
  const char* back = string_to_locale(&s, 0, static_cast<int64_t>(s.length), "UTF-8");
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(std::string(back), utf8);
  string_free(&s);

  for_each_alloc_failure([&] {
    String t;
    string_init(&t);
    if (!string_append_char(&t, 'k')) return;
    if (!string_from_locale(&t, utf8.data(), utf8.size(), "UTF-8")) {
      EXPECT_EQ(t.length, 1u);
    } else {
      EXPECT_EQ(t.length, 1400u);
      const char* r = string_to_locale(&t, 0, static_cast<int64_t>(t.length), "UTF-8");
      if (r) {
        EXPECT_EQ(std::strlen(r), utf8.size());
      }
    }
    string_free(&t);
  });
}

}  // namespace
