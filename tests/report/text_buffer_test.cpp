#include "report/text_buffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/support/alloc_fail.h"

namespace {

template <class Fn>
std::string built(Fn fn) {
  TextBuffer b;
  text_init(&b);
  EXPECT_TRUE(fn(&b));
  std::string s = b.data ? std::string(b.data, b.length) : std::string();
  text_release(&b);
  return s;
}

TEST(TextBuffer, JsonStringEscapes) {
  auto json = [](const char* in) { return built([&](TextBuffer* b) { return text_append_json_string(b, in); }); };
  EXPECT_EQ(json("plain"), "\"plain\"");
  EXPECT_EQ(json("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
  EXPECT_EQ(json("tab\there\nnl\r\x01\x1f\x7f"), "\"tab\\there\\nnl\\r\\u0001\\u001f\\u007f\"");
  EXPECT_EQ(json("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5"), "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5\"");
  // Invalid or truncated UTF-8 never reaches the document.
  EXPECT_EQ(json("a\xFF" "b"), "\"a\xEF\xBF\xBD" "b\"");
  EXPECT_EQ(json("end\xE2\x82"), "\"end\xEF\xBF\xBD\"");
  EXPECT_EQ(json(""), "\"\"");
  EXPECT_EQ(json(nullptr), "null");
}

TEST(TextBuffer, XmlTextEscapes) {
  auto xml = [](const char* in) { return built([&](TextBuffer* b) { return text_append_xml_text(b, in); }); };
  EXPECT_EQ(xml("<a href=\"x\">&'</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(xml("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");
  // Characters XML 1.0 forbids become U+FFFD; tab and newline stay.
  EXPECT_EQ(xml("a\x01\tb\n\xFF"), "a\xEF\xBF\xBD\tb\n\xEF\xBF\xBD");
}

TEST(TextBuffer, UrlPathEncodesEverythingButSafeBytes) {
  auto url = [](const char* in) { return built([&](TextBuffer* b) { return text_append_url_path(b, in); }); };
  EXPECT_EQ(url("../out/a-b_c.~/x.wav"), "../out/a-b_c.~/x.wav");
  EXPECT_EQ(url("a b/\xC3\xBC&\"#?%.wav"), "a%20b/%C3%BC%26%22%23%3F%25.wav");
}

TEST(TextBuffer, NumbersAreJsonNumbers) {
  auto num = [](double v, int digits) {
    return built([&](TextBuffer* b) { return text_append_number(b, v, digits, "null"); });
  };
  EXPECT_EQ(num(48000, 17), "48000");
  EXPECT_EQ(num(-0.5, 17), "-0.5");
  EXPECT_EQ(num(0.1, 17), "0.10000000000000001");
  EXPECT_EQ(num(-0.0, 6), "0");
  EXPECT_EQ(num(1e300, 6), "1e+300");
  EXPECT_EQ(num(NAN, 6), "null");
  EXPECT_EQ(num(INFINITY, 6), "null");
  EXPECT_EQ(num(-INFINITY, 6), "null");
  auto shortest = [](double v) {
    return built([&](TextBuffer* b) { return text_append_shortest(b, v, "null"); });
  };
  EXPECT_EQ(shortest(0.1), "0.1");
  EXPECT_EQ(shortest(-1000), "-1000");
  EXPECT_EQ(shortest(48000), "48000");
  EXPECT_EQ(shortest(1e20), "1e+20");
  EXPECT_EQ(shortest(2.5e-7), "2.5e-07");
  EXPECT_EQ(shortest(1.0 / 3), "0.3333333333333333");
  EXPECT_EQ(shortest(static_cast<double>(0.1f)), "0.10000000149011612");
  EXPECT_EQ(shortest(NAN), "null");
  auto fixed = [](double v, int decimals) {
    return built([&](TextBuffer* b) { return text_append_fixed(b, v, decimals, "n/a"); });
  };
  EXPECT_EQ(fixed(-0.004, 2), "0.00");
  EXPECT_EQ(fixed(-1.256, 2), "-1.26");
  EXPECT_EQ(fixed(NAN, 2), "n/a");
}

TEST(TextBuffer, GrowsAndKeepsContentWhenMemoryRunsOut) {
  for_each_alloc_failure([] {
    TextBuffer b;
    text_init(&b);
    bool ok = true;
    for (int i = 0; i < 300 && ok; ++i) ok = text_appendf(&b, "%03d,", i);
    if (ok) {
      EXPECT_EQ(b.length, 1200u);
      EXPECT_EQ(std::string(b.data, 8), "000,001,");
      EXPECT_EQ(std::string(b.data + 1196), "299,");
    } else {
      EXPECT_TRUE(b.failed);
      EXPECT_EQ(b.length % 4, 0u);  // no partial append
      EXPECT_FALSE(text_append(&b, "x"));  // failure is sticky
    }
    text_release(&b);
    text_release(&b);
  });
}

}  // namespace
