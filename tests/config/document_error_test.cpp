// Where and why a document fails: the status, line, column and phrase that
// the configuration loader prints under its error line, and the position of
// every event (for messages about a value of the wrong kind or an unknown
// key).

#include <gtest/gtest.h>

#include <string>

#include "config/document_reader.h"
#include "runtime/char_reader.h"
#include "runtime/status.h"
#include "tests/config/document_events.h"
#include "tests/support/alloc_fail.h"

namespace {

// Reads `text` to its first non-zero status and renders the recorded
// failure as "status@line:column message", or "ok" when there is none.
std::string error_of(const std::string& text, int32_t level = DOCUMENT_LEVEL_JSON5) {
  StringReader sr;
  if (sr.set_text(text.data(), text.size()) != 0) return "setup failed";
  DocumentReader r;
  document_reader_init(&r);
  int st = document_reader_open(&r, &sr, level, 0);
  while (st == 0) st = document_reader_next(&r, nullptr);
  DocumentError e;
  bool failed = document_reader_error(&r, &e);
  std::string out = "ok";
  if (failed) {
    out = std::to_string(e.status) + "@" + std::to_string(e.line) + ":" + std::to_string(e.column) + " " +
          (e.message ? e.message : "(null)");
    if (e.status != st) out += " (returned " + std::to_string(st) + ")";
  } else if (st != STATUS_END_OF_STREAM) {
    out = "no record for status " + std::to_string(st);
  }
  document_reader_release(&r);
  (void)sr.close();
  return out;
}

// Every event of `text` as "word@line:column", checking that the event
// record and the reader's accessor agree.
std::string positions_of(const std::string& text) {
  StringReader sr;
  if (sr.set_text(text.data(), text.size()) != 0) return "setup failed";
  DocumentReader r;
  document_reader_init(&r);
  DocumentEvent e;
  document_event_init(&e);
  std::string out;
  int st = document_reader_open(&r, &sr, DOCUMENT_LEVEL_JSON5, 0);
  while (st == 0 && (st = document_reader_next(&r, &e)) == 0) {
    uint32_t line = 0, column = 0;
    document_reader_position(&r, &line, &column);
    if (line != e.line || column != e.column) out += "(accessor disagrees) ";
    out += event_word(e) + "@" + std::to_string(e.line) + ":" + std::to_string(e.column) + " ";
  }
  out += "=";
  out += std::to_string(st);
  document_event_release(&e);
  document_reader_release(&r);
  (void)sr.close();
  return out;
}

}  // namespace

TEST(DocumentError, CommonMistakesNameTheirPlace) {
  // A forgotten comma between two entries: the second name is misplaced.
  EXPECT_EQ(error_of("{\n  srate: 44100\n  dry: -20\n}"), "15@3:3 expected ',' or '}'");
  EXPECT_EQ(error_of("[1 2]"), "55@1:4 expected ',' or ']'");
  // A forgotten closing brace: the input ends inside the object.
  EXPECT_EQ(error_of("{\n  ir: {head_cut: 5,\n  dry: 0\n}\n"), "34@5:1 unexpected end of input");
  EXPECT_EQ(error_of("{a: [1, 2"), "34@1:10 unexpected end of input");
  // A forgotten colon, value or name.
  EXPECT_EQ(error_of("{a 1}"), "55@1:4 expected ':'");
  EXPECT_EQ(error_of("{a: }"), "55@1:5 expected a value");
  EXPECT_EQ(error_of("{a: 1,, b: 2}"), "55@1:7 expected a property name or '}'");
  EXPECT_EQ(error_of("{1: 2}"), "55@1:2 expected a property name or '}'");
  EXPECT_EQ(error_of("[1, ,]"), "55@1:5 expected a value");
  // Bad values.
  EXPECT_EQ(error_of("{\n  srate: 44.1k\n}"), "7@2:10 invalid number");
  EXPECT_EQ(error_of("{a: -}"), "55@1:5 invalid number");
  EXPECT_EQ(error_of("{a: 1e+}"), "55@1:5 invalid number");
  EXPECT_EQ(error_of("{a: @}"), "55@1:5 unexpected character");
  EXPECT_EQ(error_of("{a: default}"), "55@1:5 reserved word as a value");
  EXPECT_EQ(error_of("[x]"), "55@1:2 expected a value");
  EXPECT_EQ(error_of("}"), "55@1:1 expected a value");
}

TEST(DocumentError, StringsAndCommentsThatDoNotEnd) {
  EXPECT_EQ(error_of("{\n  file: 'abc"), "25@2:9 unterminated string");
  EXPECT_EQ(error_of("{\n  file: \"abc\n}"), "55@2:9 line break inside a string");
  EXPECT_EQ(error_of("{a: \"\\u12G4\"}"), "55@1:5 invalid escape sequence");
  EXPECT_EQ(error_of("{a: \"\\uDE00\"}"), "7@1:5 escapes are not valid UTF-16");
  EXPECT_EQ(error_of("{\\x: 1}"), "55@1:2 invalid escape sequence");
  EXPECT_EQ(error_of("{a: 1, /* note\n b: 2}"), "55@1:8 unterminated comment");
  EXPECT_EQ(error_of("/* open"), "55@1:1 unterminated comment");
}

TEST(DocumentError, TextAfterTheRoot) {
  EXPECT_EQ(error_of("{a: 1}\n  \"trailing garbage"), "55@2:3 text after the root object");
  EXPECT_EQ(error_of("{a: 1} \"closed\""), "55@1:8 text after the root object");
  EXPECT_EQ(error_of("{a: 1} x"), "55@1:8 text after the root object");
  EXPECT_EQ(error_of("{a: 1} {"), "55@1:8 text after the root object");
  EXPECT_EQ(error_of("{a: 1} 12abc"), "55@1:8 text after the root object");
  EXPECT_EQ(error_of("{a: 1} -"), "55@1:8 text after the root object");
  EXPECT_EQ(error_of("{a: 1}\n/* x"), "55@2:1 unterminated comment");
  EXPECT_EQ(error_of("[1] 2"), "55@1:5 text after the root value");
  EXPECT_EQ(error_of("[1] /* x"), "55@1:5 unterminated comment");
  // Complete comments and whitespace are the normal end.
  EXPECT_EQ(error_of("{a: 1} // fine"), "ok");
  EXPECT_EQ(error_of("{a: 1} /* fine */ \n\t "), "ok");
  EXPECT_EQ(error_of("{a: 1}"), "ok");
}

TEST(DocumentError, EmptyDocumentsAndPlainJson) {
  EXPECT_EQ(error_of(""), "25@1:1 no value in the document");
  EXPECT_EQ(error_of("  // only a comment\n"), "25@2:1 no value in the document");
  EXPECT_EQ(error_of("[1,]", 4999), "55@1:4 not allowed in plain JSON");
  EXPECT_EQ(error_of("{\"a\": 1,}", 4999), "55@1:9 not allowed in plain JSON");
  EXPECT_EQ(error_of("{a: 1}", 4999), "55@1:2 not allowed in plain JSON");
  EXPECT_EQ(error_of("{\"a\": 'x'}", 4999), "55@1:7 not allowed in plain JSON");
  EXPECT_EQ(error_of("[0x10]", 4999), "55@1:2 not allowed in plain JSON");
  EXPECT_EQ(error_of("[1] // c", 4999), "55@1:5 not allowed in plain JSON");
  EXPECT_EQ(error_of("{\"a\": 1, 2}", 4999), "55@1:10 expected a property name");
}

TEST(DocumentError, ColumnsCountCharactersAndLinesEveryEnding) {
  // Two-, three- and four-byte characters and a tab are one column each.
  EXPECT_EQ(error_of("{\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\":\t1 2}"), "55@1:11 expected ',' or '}'");
  EXPECT_EQ(error_of("{\r\na: 1,\r\nb 2}"), "55@3:3 expected ':'");
  EXPECT_EQ(error_of("{\ra: 1,\r\rb 2}"), "55@4:3 expected ':'");
  EXPECT_EQ(error_of("{\n\ra: 1,\n\nb 2}"), "55@5:3 expected ':'");  // LF CR is two line ends
  // A line continuation inside a string still counts its line.
  EXPECT_EQ(error_of("{a: 'x\\\ny', b 1}"), "55@2:7 expected ':'");
}

TEST(DocumentError, RecordLivesFromFailureUntilTheNextOpen) {
  StringReader bad, good;
  ASSERT_EQ(bad.set_text("{a: 1 b: 2}"), 0);
  ASSERT_EQ(good.set_text("{}"), 0);
  DocumentReader r;
  document_reader_init(&r);
  DocumentError e;
  EXPECT_FALSE(document_reader_error(&r, &e));
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(e.message, nullptr);
  EXPECT_EQ(document_reader_next(&r, nullptr), STATUS_INVALID);
  ASSERT_TRUE(document_reader_error(&r, &e));
  EXPECT_STREQ(e.message, "reader is not open");

  ASSERT_EQ(document_reader_open(&r, &bad, DOCUMENT_LEVEL_JSON5, 0), 0);
  EXPECT_FALSE(document_reader_error(&r, &e));  // open starts afresh
  int st = 0;
  while (st == 0) st = document_reader_next(&r, nullptr);
  EXPECT_EQ(st, STATUS_INVALID);
  EXPECT_EQ(document_reader_close(&r), 0);
  ASSERT_TRUE(document_reader_error(&r, &e));  // still there after close
  EXPECT_EQ(e.status, STATUS_INVALID);
  EXPECT_EQ(e.line, 1u);
  EXPECT_EQ(e.column, 7u);
  EXPECT_STREQ(e.message, "expected ',' or '}'");

  ASSERT_EQ(document_reader_open(&r, &good, DOCUMENT_LEVEL_JSON5, 0), 0);
  st = 0;
  while (st == 0) st = document_reader_next(&r, nullptr);
  EXPECT_EQ(st, STATUS_END_OF_STREAM);
  EXPECT_FALSE(document_reader_error(&r, &e));
  document_reader_release(&r);
  (void)bad.close();
  (void)good.close();
}

TEST(DocumentError, SkippingReportsTheFailureInside) {
  StringReader sr;
  ASSERT_EQ(sr.set_text("{unknown: {a: [1,\n 2 3]}, b: 1}"), 0);
  DocumentReader r;
  document_reader_init(&r);
  ASSERT_EQ(document_reader_open(&r, &sr, DOCUMENT_LEVEL_JSON5, 0), 0);
  ASSERT_EQ(document_reader_next(&r, nullptr), 0);
  ASSERT_EQ(document_reader_next(&r, nullptr), 0);
  EXPECT_EQ(document_reader_skip_value(&r), STATUS_SYNTAX);
  DocumentError e;
  ASSERT_TRUE(document_reader_error(&r, &e));
  EXPECT_EQ(e.line, 2u);
  EXPECT_EQ(e.column, 4u);
  EXPECT_STREQ(e.message, "expected ',' or ']'");
  document_reader_release(&r);
  (void)sr.close();
}

TEST(DocumentError, EveryEventKnowsWhereItBegins) {
  EXPECT_EQ(positions_of("{\n  a: [1,\n    {b: true}],\n  'c d': \"x\", e: -0.5\n}"),
            "{@1:1 P:a@2:3 [@2:6 I:1@2:7 {@3:5 P:b@3:6 B:1@3:9 }@3:13 ]@3:14 P:c d@4:3 S:x@4:10 "
            "P:e@4:15 F:-0.5@4:18 }@5:1 =25");
  // Comments and separators move nothing but the columns.
  EXPECT_EQ(positions_of("/* a\n b */ [ // c\n\tnull ]"), "[@2:7 N@3:2 ]@3:7 =25");

  DocumentReader r;
  document_reader_init(&r);
  uint32_t line = 9, column = 9;
  document_reader_position(&r, &line, &column);
  EXPECT_EQ(line, 0u);
  EXPECT_EQ(column, 0u);
  document_reader_release(&r);
}

TEST(DocumentError, AllocationFailuresAreRecordedAsSuch) {
  int recorded = 0;
  for_each_alloc_failure([&] {
    std::string got = error_of("{name: 'a long enough text', list: [[[{k: \"\\u00e9\"}]]]} x");
    if (alloc_failure_hit() && got.rfind("5@", 0) == 0) {
      EXPECT_NE(got.find("out of memory"), std::string::npos) << got;
      ++recorded;
    } else if (!alloc_failure_hit()) {
      EXPECT_EQ(got, "55@1:57 text after the root object");
    }
  });
  EXPECT_GT(recorded, 0);
}
