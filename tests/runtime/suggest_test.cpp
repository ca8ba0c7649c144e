#include "runtime/suggest.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "runtime/string.h"

namespace {

struct Word {
  String s;
  explicit Word(const std::string& text) {
    string_init(&s);
    EXPECT_TRUE(string_from_utf8(&s, text.data(), text.size()));
  }
  ~Word() { string_free(&s); }
};

const char* const kKeys[] = {"groups", "ir", "src_path", "dst_path", "file", "srate", "gain_range", "fft_rank",
                             "produce", "dry", "wet", "mastering", "norm_gain", "latency_compensation",
                             "match_length", "normalize", "head_cut", "tail_cut", "fade_in", "fade_out"};
constexpr size_t kCount = sizeof kKeys / sizeof kKeys[0];

std::string closest(const std::string& word) {
  Word w(word);
  int64_t i = suggest_closest(&w.s, kKeys, kCount);
  return i < 0 ? std::string("-") : std::string(kKeys[i]);
}

size_t distance(const std::string& a, const char* b) {
  Word w(a);
  return suggest_distance(&w.s, b);
}

}  // namespace

TEST(Suggest, DistanceCountsEachEditOnce) {
  EXPECT_EQ(distance("", ""), 0u);
  EXPECT_EQ(distance("", "abc"), 3u);
  EXPECT_EQ(distance("abc", ""), 3u);
  EXPECT_EQ(distance("mastring", "mastering"), 1u);  // insertion
  EXPECT_EQ(distance("masteering", "mastering"), 1u);  // deletion
  EXPECT_EQ(distance("mastaring", "mastering"), 1u);  // substitution
  EXPECT_EQ(distance("mastreing", "mastering"), 1u);  // swap of neighbours
  EXPECT_EQ(distance("kitten", "sitting"), 3u);
  EXPECT_EQ(distance("ca", "abc"), 3u);  // alignment distance, not the unrestricted one
  EXPECT_EQ(distance("Dry", "dry"), 1u);  // case counts
  EXPECT_EQ(distance("dr\xC3\xBF", "dry"), 1u);  // a non-ASCII code point is one character
  EXPECT_EQ(distance(std::string(SUGGEST_MAX_LENGTH, 'a'), "a"), SUGGEST_MAX_LENGTH - 1);
  EXPECT_EQ(distance(std::string(SUGGEST_MAX_LENGTH + 1, 'a'), "a"), SIZE_MAX);
}

TEST(Suggest, ClosestKeyWithinAThirdOfTheWord) {
  EXPECT_EQ(closest("mastring"), "mastering");
  EXPECT_EQ(closest("normalise"), "normalize");
  EXPECT_EQ(closest("fft-rank"), "fft_rank");
  EXPECT_EQ(closest("srat"), "srate");
  EXPECT_EQ(closest("wte"), "wet");           // a swap, within the minimum of 1
  EXPECT_EQ(closest("latency_compenstion"), "latency_compensation");
  EXPECT_EQ(closest("mastering"), "mastering");  // an exact match is its own answer
  // Too far for their length: nothing rather than a wild guess.
  EXPECT_EQ(closest("x"), "-");
  EXPECT_EQ(closest("colour"), "-");
  EXPECT_EQ(closest("mstrng"), "-");          // 3 edits for 6 letters
  EXPECT_EQ(closest(""), "-");
  // "dy" is one edit from "dry" and two from "ir": the nearer wins.
  EXPECT_EQ(closest("dy"), "dry");
  // A tie goes to the earlier entry: "frc" is one edit from both.
  const char* const tie[] = {"frm", "frc2", "frcx"};
  Word w("frc");
  EXPECT_EQ(suggest_closest(&w.s, tie, 3), 0);
  const char* const reversed[] = {"frcx", "frm"};
  EXPECT_EQ(suggest_closest(&w.s, reversed, 2), 0);
}

TEST(Suggest, NullsAndEmptyListsGiveNothing) {
  Word w("dry");
  EXPECT_EQ(suggest_closest(nullptr, kKeys, kCount), -1);
  EXPECT_EQ(suggest_closest(&w.s, nullptr, 3), -1);
  EXPECT_EQ(suggest_closest(&w.s, kKeys, 0), -1);
  const char* const holes[] = {nullptr, "dry"};
  EXPECT_EQ(suggest_closest(&w.s, holes, 2), 1);
}
