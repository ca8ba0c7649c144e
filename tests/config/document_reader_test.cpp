#include <gtest/gtest.h>

#include <string>

#include "config/document_reader.h"
#include "runtime/status.h"
#include "tests/config/document_events.h"
#include "tests/support/alloc_fail.h"

namespace {

const char kEdgeDocument[] =
    "{a: 1, 'b': [1, 2,], c: x, /* note */ d: 0x10, e: .5, f: +Infinity,}";

TEST(DocumentReader, Json5DocumentYieldsExactEvents) {
  EXPECT_EQ(read_text(kEdgeDocument, 5000),
            "{ P:a I:1 P:b [ I:1 I:2 ] P:c S:x P:d I:16 P:e F:0.5 P:f F:inf } =25");
}

TEST(DocumentReader, PlainLevelRefusesEachExtension) {
  // The edge document stops at the single-quoted key.
  EXPECT_EQ(read_text(kEdgeDocument, 4999), "{ =55");
  EXPECT_EQ(read_text("{\"a\": 'x'}", 4999), "{ P:a =55");
  EXPECT_EQ(read_text("{a: 1}", 4999), "{ =55");
  EXPECT_EQ(read_text("[1 /* c */]", 4999), "[ I:1 =55");
  EXPECT_EQ(read_text("[1 // c\n]", 4999), "[ I:1 =55");
  EXPECT_EQ(read_text("[0x10]", 4999), "[ =55");
  EXPECT_EQ(read_text("0x10", 4999), "=55");
  EXPECT_EQ(read_text("[1,]", 4999), "[ I:1 =55");
  EXPECT_EQ(read_text("{\"a\": 1,}", 4999), "{ P:a I:1 =55");
  // The same forms are fine with the extensions on.
  EXPECT_EQ(read_text("[1 // c\n, 0x1F,]", 5000), "[ I:1 I:31 ] =25");
  EXPECT_EQ(read_text("'q'", 5000), "S:q =25");
}

TEST(DocumentReader, IdentifiersAndReservedWordsOutOfPlace) {
  for (int level : {4999, 5000}) {
    EXPECT_EQ(read_text("[x]", level), "[ =55") << level;
    EXPECT_EQ(read_text("x", level), "=55") << level;
    EXPECT_EQ(read_text("{\"a\": while}", level), "{ P:a =55") << level;
  }
  // Reserved words and the literal words are identifier names, so unquoted
  // keys at level 5000 (only); as values they stay what they are.
  EXPECT_EQ(read_text("{default: {x: 1}, while: 1, null: 2, true: 3, false: 4, NaN: 5, Infinity: 6, if: 7}", 5000),
            "{ P:default { P:x I:1 } P:while I:1 P:null I:2 P:true I:3 P:false I:4 P:NaN I:5 P:Infinity I:6 "
            "P:if I:7 } =25");
  EXPECT_EQ(read_text("{a: 1, default: null}", 5000), "{ P:a I:1 P:default N } =25");
  EXPECT_EQ(read_text("{while: 1}", 4999), "{ =55");
  EXPECT_EQ(read_text("{-Infinity: 1}", 5000), "{ =55");  // a signed number is no name
  EXPECT_EQ(read_text("{+NaN: 1}", 5000), "{ =55");
  EXPECT_EQ(read_text("{a: true, b: NaN}", 5000), "{ P:a B:1 P:b F:nan } =25");
  EXPECT_EQ(read_text("{a: 1 default: 2}", 5000), "{ P:a I:1 =55");
  // A name where a comma or colon is due is a misplaced string, not a
  // syntax error.
  EXPECT_EQ(read_text("{\"a\" \"b\"}", 4999), "{ P:a =15");
  EXPECT_EQ(read_text("{\"a\": 1 \"b\": 2}", 4999), "{ P:a I:1 =15");
}

TEST(DocumentReader, StructureErrors) {
  EXPECT_EQ(read_text("1 2", 5000), "I:1 =55");
  EXPECT_EQ(read_text("{} {}", 5000), "{ } =55");
  EXPECT_EQ(read_text("'a' 'b'", 5000), "S:a =55");
  EXPECT_EQ(read_text("{\"a\": [1, {", 5000), "{ P:a [ I:1 { =34");
  EXPECT_EQ(read_text("[", 4999), "[ =34");
  EXPECT_EQ(read_text("", 5000), "=25");
  EXPECT_EQ(read_text("[1,,2]", 5000), "[ I:1 =55");
  EXPECT_EQ(read_text("[,]", 5000), "[ =55");
  EXPECT_EQ(read_text("{,}", 5000), "{ =55");
  EXPECT_EQ(read_text("{\"a\"}", 5000), "{ P:a =55");
  EXPECT_EQ(read_text("{\"a\":}", 5000), "{ P:a =55");
  EXPECT_EQ(read_text("]", 5000), "=55");
  EXPECT_EQ(read_text("{\"a\": 1]", 5000), "{ P:a I:1 =55");
}

TEST(DocumentReader, Strings) {
  EXPECT_EQ(read_text("\"a\nb\"", 5000), "=55");
  // Raw tab and carriage return stay in the string.
  EXPECT_EQ(read_text("[\"a\tb\rc\"]", 4999), "[ S:a\tb\rc ] =25");
  EXPECT_EQ(read_text("[\"\\b\\f\\n\\r\\t\\v\\0\\q\\\"\\/\"]", 4999),
            std::string("[ S:\b\f\n\r\t\v").append(1, '\0').append("q\"/ ] =25"));
  EXPECT_EQ(read_text("'it\\'s'", 5000), "S:it's =25");
  // Line continuations of every kind vanish with their backslash.
  EXPECT_EQ(read_text("\"a\\\nb\\\r\nc\\\rd\\\n\re\\\xE2\x80\xA8" "f\"", 4999), "S:abcdef =25");
  EXPECT_EQ(read_text("\"\\x41\\u00e9\\U0042\"", 4999), "S:A\xC3\xA9" "B =25");
  // A surrogate pair written as two escapes is one character.
  EXPECT_EQ(read_text("\"\\uD83D\\uDE00\"", 4999), "S:\xF0\x9F\x98\x80 =25");
  // Unpaired or reversed surrogates do not convert; the run ends at any
  // other character, an escape included.
  EXPECT_EQ(read_text("\"\\uD83D\"", 4999), "=7");
  EXPECT_EQ(read_text("\"\\uD83D\\n\\uDE00\"", 4999), "=7");
  EXPECT_EQ(read_text("\"\\uDE00\\uD83D\"", 4999), "=7");
  EXPECT_EQ(read_text("\"\\uD83Dx\"", 4999), "=7");
  EXPECT_EQ(read_text("\"\\u12G4\"", 4999), "=55");
  EXPECT_EQ(read_text("\"\\x4\"", 4999), "=55");
  EXPECT_EQ(read_text("\"abc", 4999), "=25");
  EXPECT_EQ(read_text("[\"abc\\", 4999), "[ =25");
  EXPECT_EQ(read_text("[\"ab\\u12", 4999), "[ =25");
}

TEST(DocumentReader, Numbers) {
  EXPECT_EQ(read_text("[012, -0, +7, 5., -.5, 1e, 1e2, 2.5E-1, 0xff, -0X10]", 5000),
            "[ I:12 I:0 I:7 F:5 F:-0.5 I:1 F:100 F:0.25 I:255 I:-16 ] =25");
  EXPECT_EQ(read_text("[NaN, -Infinity, Infinity]", 4999), "[ F:nan F:-inf F:inf ] =25");
  EXPECT_EQ(read_text("12abc", 5000), "=7");
  EXPECT_EQ(read_text("[1e1x]", 5000), "[ =7");
  EXPECT_EQ(read_text("-", 5000), "=55");
  EXPECT_EQ(read_text("-foo", 5000), "=55");
  EXPECT_EQ(read_text("1e+", 5000), "=55");
  EXPECT_EQ(read_text("[1e-]", 5000), "[ =55");
  EXPECT_EQ(read_text("0x", 5000), "=55");
  EXPECT_EQ(read_text(".", 5000), "=55");
  EXPECT_EQ(read_text("-Inf", 5000), "=55");
  EXPECT_EQ(read_text("1.2.3", 5000), "F:1.2 =55");
  // 64-bit wrapping without an error, marked (!) as overflowed where the
  // number does not fit int64_t.
  EXPECT_EQ(read_text("18446744073709551617", 4999), "I:1! =25");
  EXPECT_EQ(read_text("[9223372036854775808]", 4999), "[ I:-9223372036854775808! ] =25");
  EXPECT_EQ(read_text("[9223372036854775807, -9223372036854775808, -9223372036854775809]", 4999),
            "[ I:9223372036854775807 I:-9223372036854775808 I:9223372036854775807! ] =25");
  EXPECT_EQ(read_text("[0xFFFFFFFFFFFFFFFF, 0x10000000000000001, 18446744073709551616.5]", 5000),
            "[ I:-1 I:1! F:1.84467e+19 ] =25");
  EXPECT_EQ(read_text("0x1ffffffffffffffff", 5000), "I:-1! =25");
}

TEST(DocumentReader, WhitespaceAndComments) {
  EXPECT_EQ(read_text("\f\v [ 1 ]\r\n", 4999), "[ I:1 ] =25");
  EXPECT_EQ(read_text("/* a */ [ // b\n 1 /**/ ] // end", 5000), "[ I:1 ] =25");
  EXPECT_EQ(read_text("/ 1", 5000), "=55");
  // After the root only whitespace and complete comments may follow.
  EXPECT_EQ(read_text("[1] /* open", 5000), "[ I:1 ] =55");
  EXPECT_EQ(read_text("[1] /* open", 4999), "[ I:1 ] =55");
  EXPECT_EQ(read_text("{} \"trailing garbage", 5000), "{ } =55");
  EXPECT_EQ(read_text("{} 'x", 5000), "{ } =55");
  EXPECT_EQ(read_text("{} \"\\u12", 5000), "{ } =55");
  EXPECT_EQ(read_text("{} 12abc", 5000), "{ } =55");
  EXPECT_EQ(read_text("{} /* done */ // end", 5000), "{ } =25");
  EXPECT_EQ(read_text("{}\n// end without newline", 5000), "{ } =25");
  EXPECT_EQ(read_text("{a: 1 /* open", 5000), "{ P:a I:1 =55");
  // Unquoted names with $, _, digits and \u escapes.
  EXPECT_EQ(read_text("{$a_1: 1, _: 2, \\u0061b: 3}", 5000), "{ P:$a_1 I:1 P:_ I:2 P:ab I:3 } =25");
  EXPECT_EQ(read_text("{\\x: 1}", 5000), "{ =55");
}

TEST(DocumentReader, Lifecycle) {
  DocumentReader r;
  document_reader_init(&r);
  EXPECT_EQ(document_reader_next(&r, nullptr), STATUS_INVALID);
  EXPECT_EQ(document_reader_skip_value(&r), STATUS_INVALID);
  EXPECT_EQ(document_reader_open(&r, nullptr, 5000, 0), STATUS_BAD_ARGUMENT);
  StringReader sr;
  ASSERT_EQ(sr.set_text("[1]"), 0);
  ASSERT_EQ(document_reader_open(&r, &sr, 5000, 0), 0);
  EXPECT_EQ(document_reader_open(&r, &sr, 5000, 0), STATUS_INVALID);
  EXPECT_EQ(document_reader_next(&r, nullptr), 0);
  EXPECT_EQ(r.event_kind, ARRAY_BEGIN);
  EXPECT_EQ(document_reader_close(&r), 0);
  EXPECT_EQ(r.event_kind, -1);
  EXPECT_EQ(document_reader_next(&r, nullptr), STATUS_INVALID);
  // Reusable after close; the caller's input was not closed.
  ASSERT_EQ(document_reader_open(&r, &sr, 5000, 0), 0);
  EXPECT_EQ(document_reader_next(&r, nullptr), 0);
  EXPECT_EQ(r.event_kind, INTEGER);
  document_reader_release(&r);
  document_reader_release(&r);
  (void)sr.close();

  // With both ownership bits the reader closes and destroys the input.
  auto* owned = mem_new<StringReader>();
  ASSERT_NE(owned, nullptr);
  ASSERT_EQ(owned->set_text("1"), 0);
  document_reader_init(&r);
  ASSERT_EQ(document_reader_open(&r, owned, 5000, DOCUMENT_CLOSE_INPUT | DOCUMENT_DESTROY_INPUT), 0);
  EXPECT_EQ(document_reader_close(&r), 0);
  document_reader_release(&r);
}

// Opens a reader over `text`, reads up to and including the event number
// `events`, skips the value and returns the event after it.
std::string skip_and_next(const std::string& text, int events, int* skip_status) {
  StringReader sr;
  if (sr.set_text(text.data(), text.size()) != 0) return "setup failed";
  DocumentReader r;
  document_reader_init(&r);
  DocumentEvent e;
  document_event_init(&e);
  std::string out;
  int st = document_reader_open(&r, &sr, 5000, 0);
  for (int i = 0; i < events && st == 0; ++i) st = document_reader_next(&r, &e);
  *skip_status = st == 0 ? document_reader_skip_value(&r) : st;
  if (*skip_status == 0) {
    st = document_reader_next(&r, &e);
    out = st == 0 ? event_word(e) : std::string("=").append(std::to_string(st));
  }
  document_event_release(&e);
  document_reader_release(&r);
  (void)sr.close();
  return out;
}

TEST(DocumentReader, SkipValue) {
  int st = -1;
  EXPECT_EQ(skip_and_next("{a: {b: [1, {c: 2}], d: 3}, e: 4}", 2, &st), "P:e");
  EXPECT_EQ(st, 0);
  EXPECT_EQ(skip_and_next("{a: 7, e: 4}", 2, &st), "P:e");
  EXPECT_EQ(skip_and_next("[[1, [2]], 3]", 2, &st), "I:3");
  EXPECT_EQ(skip_and_next("[1, 3]", 2, &st), "I:3");
  EXPECT_EQ(skip_and_next("{a: {b: [1 2]}}", 2, &st), "");
  EXPECT_EQ(st, STATUS_SYNTAX);
  EXPECT_EQ(skip_and_next("{a: {b: [1, ", 2, &st), "");
  EXPECT_EQ(st, STATUS_CORRUPTED);

  // A million nested arrays: skipping must not recurse per level.
  const size_t depth = 1000000;
  std::string deep = "{skip: ";
  deep.append(depth, '[').append(depth, ']').append(", k: 1}");
  EXPECT_EQ(skip_and_next(deep, 2, &st), "P:k");
  EXPECT_EQ(st, 0);
}

TEST(DocumentReader, StackGrowthFailureIsReported) {
  // Every allocation failure surfaces as status 5 with nothing leaked.
  for_each_alloc_failure([] {
    int st = 0;
    std::string out = skip_and_next("{a: [[[[{b: 'text'}]]]], c: \"x\\u00e9\"}", 2, &st);
    if (!alloc_failure_hit()) {
      EXPECT_EQ(out, "P:c");
    } else if (st != 0) {
      EXPECT_EQ(st, STATUS_NO_MEMORY);
    }
  });
}

}  // namespace
