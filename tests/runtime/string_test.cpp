#include "runtime/string.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/alloc_fail.h"

namespace {

struct Str {
  String s;
  bool ok = true;  // false when the text could not be stored (allocation sweeps)
  Str() { string_init(&s); }
  explicit Str(const char* text) {
    string_init(&s);
    ok = string_from_latin1(&s, text, std::strlen(text));
  }
  ~Str() { string_free(&s); }
  std::string ascii() const {
    std::string r;
    for (uint64_t i = 0; i < s.length; ++i) r += static_cast<char>(s.chars[i]);
    return r;
  }
};

std::vector<uint32_t> decode8(const std::vector<uint8_t>& bytes) {
  Str t;
  EXPECT_TRUE(string_from_utf8(&t.s, reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  return std::vector<uint32_t>(t.s.chars, t.s.chars + t.s.length);
}

std::vector<uint32_t> decode16(const std::vector<uint16_t>& units) {
  Str t;
  EXPECT_TRUE(string_from_utf16(&t.s, units.data(), units.size()));
  return std::vector<uint32_t>(t.s.chars, t.s.chars + t.s.length);
}

const uint32_t R = 0xFFFD;

TEST(StringGrowth, CapacitiesFollowTheGrowthRules) {
  Str t;
  std::vector<uint64_t> caps;
  for (int i = 0; i < 257; ++i) {
    ASSERT_TRUE(string_append_char(&t.s, 'x'));
    if (caps.empty() || caps.back() != t.s.capacity) caps.push_back(t.s.capacity);
  }
  EXPECT_EQ(caps, (std::vector<uint64_t>{32, 64, 96, 160, 256, 384}));

  Str run;
  std::vector<uint32_t> chars(40, 'y');
  ASSERT_TRUE(string_append_chars(&run.s, chars.data(), 40));
  EXPECT_EQ(run.s.capacity, 64u);  // max(40, 0) rounded up
  ASSERT_TRUE(string_append_chars(&run.s, chars.data(), 30));
  EXPECT_EQ(run.s.capacity, 96u);  // 64 + max(30, 32)

  // Assign never shrinks and rounds to 32; a clone is exact.
  Str small("abc");
  ASSERT_TRUE(string_assign(&run.s, &small.s));
  EXPECT_EQ(run.s.capacity, 96u);
  EXPECT_EQ(small.s.capacity, 32u);
  String* c = string_clone(&small.s);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->capacity, 3u);
  string_delete(c);

  // A fitted string is exact, grows on by the rules, and holds nothing
  // when empty.
  string_fit(&small.s);
  EXPECT_EQ(small.s.capacity, 3u);
  ASSERT_TRUE(string_append_char(&small.s, 'd'));
  EXPECT_EQ(small.s.capacity, 32u);
  EXPECT_EQ(small.ascii(), "abcd");
  string_clear(&small.s);
  string_fit(&small.s);
  EXPECT_EQ(small.s.capacity, 0u);
  EXPECT_EQ(small.s.chars, nullptr);
}

TEST(StringGrowth, FailedAllocationsLeaveTheStringAsItWas) {
  for_each_alloc_failure([] {
    Str t("0123456789012345678901234567890");  // 31 code points, capacity 32
    if (!t.ok) return;
    bool a = string_append_char(&t.s, 'a');
    bool b = a && string_append_char(&t.s, 'b');
    if (!b) {
      EXPECT_TRUE(alloc_failure_hit());
      EXPECT_EQ(t.s.length, 31u + (a ? 1 : 0));
    } else {
      EXPECT_EQ(t.ascii(), "0123456789012345678901234567890ab");
    }
  });
  for_each_alloc_failure([] {
    Str t("abc");
    if (!t.ok) return;
    std::vector<uint32_t> run(100, 'z');
    uint64_t cap = t.s.capacity;
    if (!string_append_chars(&t.s, run.data(), run.size())) {
      EXPECT_EQ(t.ascii(), "abc");
      EXPECT_EQ(t.s.capacity, cap);
    } else {
      EXPECT_EQ(t.s.length, 103u);
    }
  });
  for_each_alloc_failure([] {
    Str t("hello");
    if (!t.ok) return;
    String* c = string_clone(&t.s);
    if (!c) {
      EXPECT_TRUE(alloc_failure_hit());
    } else {
      EXPECT_TRUE(string_equals(c, t.s.chars, t.s.length));
      string_delete(c);
    }
    EXPECT_EQ(t.ascii(), "hello");
  });
  for_each_alloc_failure([] {
    Str t("fit me");
    if (!t.ok) return;
    string_fit(&t.s);
    EXPECT_EQ(t.ascii(), "fit me");
    EXPECT_EQ(t.s.capacity, alloc_failure_hit() ? 32u : 6u);
  });
  for_each_alloc_failure([] {
    Str t("kept");
    if (!t.ok) return;
    if (string_format(&t.s, "%s-%d", "long text that needs more room than there is", 7) < 0) {
      EXPECT_EQ(t.ascii(), "kept");
    }
  });
}

TEST(StringStorage, MoveTakeSwapAndRelease) {
  Str a("abc"), b("xy");
  uint64_t ha = string_hash(&a.s);
  string_swap(&a.s, &b.s);
  EXPECT_EQ(a.ascii(), "xy");
  EXPECT_EQ(b.s.hash, ha);
  string_move(&a.s, &b.s);
  EXPECT_EQ(a.ascii(), "abc");
  EXPECT_EQ(b.s.length, 0u);
  EXPECT_EQ(b.s.chars, nullptr);
  String* t = string_take(&a.s);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(a.s.chars, nullptr);
  EXPECT_EQ(t->length, 3u);
  string_delete(t);
  string_delete(nullptr);
  String z;
  std::memset(&z, 0, sizeof z);
  string_free(&z);
  string_free(&z);
}

TEST(StringAccess, NegativeIndexesAndRanges) {
  Str s("abc");
  EXPECT_EQ(string_at(&s.s, -1), 'c');
  EXPECT_EQ(string_at(&s.s, 3), 0u);
  EXPECT_EQ(string_at(&s.s, -4), 0u);
  Str d("unchanged");
  ASSERT_TRUE(string_assign_range(&d.s, &s.s, 1, -1));
  EXPECT_EQ(d.ascii(), "b");
  EXPECT_FALSE(string_assign_range(&d.s, &s.s, 4));
  EXPECT_FALSE(string_assign_range(&d.s, &s.s, 2, 1));
  EXPECT_EQ(d.ascii(), "b");
  ASSERT_TRUE(string_assign_range(&d.s, &s.s, -2));
  EXPECT_EQ(d.ascii(), "bc");
  // Range of a string onto itself.
  ASSERT_TRUE(string_assign_range(&s.s, &s.s, 1));
  EXPECT_EQ(s.ascii(), "bc");

  Str f("a/b/c");
  EXPECT_EQ(string_find(&f.s, 0, '/'), 1);
  EXPECT_EQ(string_find(&f.s, 2, '/'), 3);
  EXPECT_EQ(string_find(&f.s, -1, '/'), -1);
  EXPECT_EQ(string_find(&f.s, 6, '/'), -1);
  EXPECT_EQ(string_find_last(&f.s, '/'), 3);
  EXPECT_EQ(string_find_last(&f.s, 'x'), -1);
  EXPECT_TRUE(string_ends_with(&f.s, 'c'));
  Str e;
  EXPECT_EQ(string_first(&e.s), 0u);
  EXPECT_EQ(string_last(&e.s), 0u);
  EXPECT_FALSE(string_ends_with(&e.s, 0));
  EXPECT_FALSE(string_pop(&e.s));
}

TEST(StringModify, SelfAppendAndHashReset) {
  Str s("a-b");
  uint64_t h = string_hash(&s.s);
  EXPECT_EQ(string_replace_char(&s.s, '-', '+'), 1u);
  EXPECT_NE(string_hash(&s.s), h);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(string_append(&s.s, &s.s));  // storage moves while copying
  EXPECT_EQ(s.s.length, 96u);
  EXPECT_EQ(s.ascii().substr(90), "a+ba+b");
  string_truncate(&s.s, 3);
  string_reverse(&s.s);
  EXPECT_EQ(s.ascii(), "b+a");
}

TEST(StringCompare, SignsPrefixesAndHash) {
  Str ab("ab"), abc("abc"), a("a"), b("b"), e;
  EXPECT_EQ(string_compare(&ab.s, &abc.s), -int64_t('c'));
  EXPECT_EQ(string_compare(&abc.s, &ab.s), int64_t('c'));
  EXPECT_EQ(string_compare(&b.s, &a.s), 1);
  EXPECT_EQ(string_compare(&ab.s, &ab.s), 0);
  EXPECT_EQ(string_compare_cstr(&ab.s, "abc"), -int64_t('c'));
  EXPECT_EQ(string_compare_cstr(&abc.s, "ab"), int64_t('c'));
  EXPECT_EQ(string_compare_cstr(&ab.s, "ab"), 0);
  EXPECT_EQ(string_compare_cstr(&ab.s, "\xe9"), int64_t('a') - 0xE9);  // bytes are unsigned
  Str mixed("HeLLo");
  EXPECT_EQ(string_compare_cstr_nocase(&mixed.s, "hello"), 0);
  EXPECT_NE(string_compare_cstr(&mixed.s, "hello"), 0);
  // Code points compare as signed 32-bit values without overflow.
  Str hi;
  ASSERT_TRUE(string_append_char(&hi.s, 0x80000000u));
  EXPECT_LT(string_compare(&hi.s, &a.s), 0);
  EXPECT_TRUE(string_equals(&ab.s, abc.s.chars, 2));
  EXPECT_FALSE(string_equals(&ab.s, abc.s.chars, 3));

  EXPECT_EQ(string_hash(&e.s), 0u);
  EXPECT_EQ(string_hash(&a.s), 0x61u);
  EXPECT_EQ(string_hash(&ab.s), (0x61u * 65557u) ^ 0x62u);
}

TEST(Utf8, DecodesValidAndMalformedSequences) {
  EXPECT_EQ(decode8({0xE0, 0xA4, 0xB9}), (std::vector<uint32_t>{0x939}));
  EXPECT_EQ(decode8({0xF0, 0x9F, 0x98, 0x80}), (std::vector<uint32_t>{0x1F600}));
  EXPECT_EQ(decode8({0xE0, 0x80, 0x80}), (std::vector<uint32_t>{R}));
  EXPECT_EQ(decode8({0xED, 0xA0, 0x80}), (std::vector<uint32_t>{R}));
  EXPECT_EQ(decode8({0xF0, 0x82, 0x82, 0xAC}), (std::vector<uint32_t>{R}));
  EXPECT_EQ(decode8({0xC0, 0x80}), (std::vector<uint32_t>{R, R}));
  EXPECT_EQ(decode8({0xFF}), (std::vector<uint32_t>{R}));
  EXPECT_EQ(decode8({0x61, 0xE2, 0x82}), (std::vector<uint32_t>{'a', R}));
  EXPECT_EQ(decode8({0x61, 0xE2, 0x41, 0x42}), (std::vector<uint32_t>{'a', R, 'A', 'B'}));
  // A zero in continuation position is skipped with the bad sequence.
  EXPECT_EQ(decode8({0xE2, 0x00, 0x41}), (std::vector<uint32_t>{R, 'A'}));
  // From a zero byte on every position decodes to U+0000.
  EXPECT_EQ(decode8({0x61, 0x00, 0x62}), (std::vector<uint32_t>{'a', 0, 0}));
  // Four-byte values are accepted up to 1FFFFF.
  EXPECT_EQ(decode8({0xF7, 0xBF, 0xBF, 0xBF}), (std::vector<uint32_t>{0x1FFFFF}));
}

TEST(Utf8, StrictModeAsksForMoreAndEncodes) {
  const uint8_t bytes[] = {0xE2, 0x82};
  const uint8_t* p = bytes;
  uint64_t left = 2;
  EXPECT_EQ(decode_utf8_char(&p, &left, false), UTF_DECODE_MORE);
  EXPECT_EQ(p, bytes);
  EXPECT_EQ(left, 2u);
  left = 0;
  EXPECT_EQ(decode_utf8_char(&p, &left, true), UTF_DECODE_END);

  uint8_t out[4];
  ASSERT_EQ(encode_utf8_char(0x20AC, out), 3u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{0xE2, 0x82, 0xAC}));
  ASSERT_EQ(encode_utf8_char(0x200000, out), 3u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{0xEF, 0xBF, 0xBD}));
  EXPECT_EQ(encode_utf8_char(0xD800, out), 3u);  // surrogates pass through
  EXPECT_EQ(encode_utf8_char(0x10FFFF, out), 4u);

  // Every code point class survives encode and lenient decode.
  Str s;
  for (uint32_t c : {0x41u, 0xE9u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) ASSERT_TRUE(string_append_char(&s.s, c));
  const char* utf8 = string_to_utf8(&s.s);
  ASSERT_NE(utf8, nullptr);
  Str back;
  ASSERT_TRUE(string_from_utf8(&back.s, utf8, std::strlen(utf8)));
  EXPECT_EQ(string_compare(&back.s, &s.s), 0);
  EXPECT_STREQ(string_to_utf8(&s.s, 0, 1), "A");
  EXPECT_STREQ(string_to_utf8(&s.s, -1, -1), "");
  EXPECT_EQ(string_to_utf8(&s.s, 3, 2), nullptr);
}

TEST(Utf8, LongTextCrossesTheEncodingBuffer) {
  Str s;
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(string_append_char(&s.s, 0x20AC));
    expected += "\xE2\x82\xAC";
  }
  const char* utf8 = string_to_utf8(&s.s);
  ASSERT_NE(utf8, nullptr);
  EXPECT_EQ(std::string(utf8), expected);
  // 128 four-byte characters fill the 512-byte encoding buffer exactly.
  Str full;
  for (int i = 0; i < 128; ++i) ASSERT_TRUE(string_append_char(&full.s, 0x10000));
  const char* four = string_to_utf8(&full.s);
  ASSERT_NE(four, nullptr);
  EXPECT_EQ(std::strlen(four), 512u);
  for_each_alloc_failure([&] {
    Str t;
    if (!string_assign(&t.s, &s.s)) return;
    const char* r = string_to_utf8(&t.s);
    if (r) {
      EXPECT_EQ(std::strlen(r), expected.size());
    }
    EXPECT_EQ(t.s.length, 1000u);
  });
}

TEST(Utf16, PairsReversedPairsAndLoneSurrogates) {
  EXPECT_EQ(decode16({0xD83D, 0xDE00}), (std::vector<uint32_t>{0x1F600}));
  EXPECT_EQ(decode16({0xDE00, 0xD83D}), (std::vector<uint32_t>{0x1F600}));
  EXPECT_EQ(decode16({0x41, 0xD83D}), (std::vector<uint32_t>{'A', R}));
  EXPECT_EQ(decode16({0xD83D, 0x41}), (std::vector<uint32_t>{R, 'A'}));
  EXPECT_EQ(decode16({0xD800, 0xD800, 0xDC00}), (std::vector<uint32_t>{R, 0x10000}));
  const uint16_t lone[] = {0xD83D};
  const uint16_t* p = lone;
  uint64_t left = 1;
  EXPECT_EQ(decode_utf16_char(&p, &left, false), UTF_DECODE_MORE);
  EXPECT_EQ(left, 1u);
}

TEST(StringFormat, FormatsAssignsAndAppends) {
  Str s("old content");
  EXPECT_EQ(string_format(&s.s, "%ld", 42L), 2);
  EXPECT_EQ(s.ascii(), "42");
  EXPECT_EQ(s.s.length, 2u);
  EXPECT_EQ(string_append_format(&s.s, "-%s", "x"), 2);
  EXPECT_EQ(s.ascii(), "42-x");
  // Bytes are taken as they are, not decoded.
  EXPECT_EQ(string_format(&s.s, "%s", "\xC3\xA9"), 2);
  EXPECT_EQ(s.s.chars[0], 0xC3u);
}

}  // namespace

TEST(StringAccess, NulAnywhereIsFound) {
  const uint32_t inner[] = {'a', 0, 'b'}, last[] = {'a', 'b', 0}, first[] = {0}, none[] = {'a', 0x100, 'b'};
  Str s;
  ASSERT_TRUE(string_assign_chars(&s.s, inner, 3));
  EXPECT_TRUE(string_has_nul(&s.s));
  ASSERT_TRUE(string_assign_chars(&s.s, last, 3));
  EXPECT_TRUE(string_has_nul(&s.s));
  ASSERT_TRUE(string_assign_chars(&s.s, first, 1));
  EXPECT_TRUE(string_has_nul(&s.s));
  ASSERT_TRUE(string_assign_chars(&s.s, none, 3));
  EXPECT_FALSE(string_has_nul(&s.s));
  // The UTF-8 decoder keeps a zero byte as U+0000, so "a\0b" is caught
  // after decoding as well.
  ASSERT_TRUE(string_from_utf8(&s.s, "a\0b.wav", 7));
  EXPECT_TRUE(string_has_nul(&s.s));
  string_truncate(&s.s, 1);  // the NUL beyond the length no longer counts
  EXPECT_FALSE(string_has_nul(&s.s));
  Str empty;
  EXPECT_FALSE(string_has_nul(&empty.s));
  EXPECT_FALSE(string_has_nul(nullptr));
}
