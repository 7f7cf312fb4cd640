// Wildcard matching where wildcard_fuzz cannot look: quote removal and the
// 80-character limit (the fuzzer's oracle prepares patterns with the same
// parse_patternA), and a pattern built to make plain backtracking explode.
// The fuzzer compares every other verdict, with and without case, against a
// table-driven matcher.
#include "common/util/wildcard.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Wildcard, QuotesTakeTheirRunOverAndMustClose) {
  EXPECT_EQ(1, wcmatchstringsA("a' 'b", "a b", 1));
  EXPECT_EQ(1, wcmatchstringsA("a\"'\"b", "a'b", 1));  // the other quote is plain inside
  EXPECT_EQ(1, wcmatchstringsA("'*'", "any run", 1));
  EXPECT_EQ(0, wcmatchstringsA("'abc", "abc", 1));
  EXPECT_EQ(0, wcmatchstringsA(nullptr, "", 1));
}

TEST(Wildcard, PatternLimitIsEightyCharactersAfterQuoteRemoval) {
  char out[81];
  const std::string eighty(80, 'a');
  EXPECT_EQ(0, parse_patternA(out, eighty.c_str()));
  EXPECT_EQ(eighty, out);
  EXPECT_EQ(-1, parse_patternA(out, (eighty + "a").c_str()));
  EXPECT_EQ(0, parse_patternA(out, ("'" + eighty + "'").c_str()));
  EXPECT_EQ(-1, parse_patternA(out, ("'" + eighty + "a'").c_str()));
  EXPECT_EQ(-1, parse_patternA(out, "ab\"cd"));
  EXPECT_EQ(0, wcmatchstringsA((eighty + "a").c_str(), (eighty + "a").c_str(), 1));
}

TEST(Wildcard, ManyStarsAgainstLongTextFinish) {
  std::string pattern;
  for (int i = 0; i < 39; ++i) pattern += "*a";
  pattern += "*b";
  std::string text(4096, 'a');
  EXPECT_EQ(0, wcmatchstringsA(pattern.c_str(), text.c_str(), 1));
  text.back() = 'b';
  EXPECT_EQ(1, wcmatchstringsA(pattern.c_str(), text.c_str(), 1));
}

}  // namespace
