#include "common/util/wildcard.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// Straightforward dynamic-programming glob matcher to compare against.
bool Reference(const std::string& p, const std::string& t) {
  std::vector<std::vector<bool>> m(p.size() + 1, std::vector<bool>(t.size() + 1));
  m[p.size()][t.size()] = true;
  for (size_t i = p.size(); i-- > 0;) {
    for (size_t j = t.size() + 1; j-- > 0;) {
      if (p[i] == '*') m[i][j] = m[i + 1][j] || (j < t.size() && m[i][j + 1]);
      else m[i][j] = j < t.size() && (p[i] == '?' || p[i] == t[j]) && m[i + 1][j + 1];
    }
  }
  return m[0][0];
}

TEST(Wildcard, StarsQuestionMarksAndAnchoring) {
  const struct {
    const char* pattern;
    const char* text;
    int want;
  } cases[] = {
      {"*", "", 1},      {"*", "anything", 1}, {"", "", 1},       {"", "a", 0},
      {"a*b", "ab", 1},  {"a*b", "axb", 1},    {"a*b", "axxb", 1}, {"a*b", "abx", 0},
      {"a?", "ab", 1},   {"a?", "a", 0},       {"a?", "abc", 0},   {"a**b", "axxb", 1},
      {"?*?", "a", 0},   {"*?", "", 0},        {"abc", "ab", 0},   {"ab", "abc", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.want, wcmatchstringsA(c.pattern, c.text, 1)) << c.pattern << " / " << c.text;
  }
}

TEST(Wildcard, CaseAndQuoting) {
  EXPECT_EQ(1, wcmatchstringsA("*.cat", "kqsd.cat", 1));
  EXPECT_EQ(1, wcmatchstringsA("*.cat", "KQSD.CAT", 0));
  EXPECT_EQ(0, wcmatchstringsA("*.cat", "KQSD.CAT", 1));
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

  EXPECT_EQ(1, wcmatchstringsA(eighty.c_str(), eighty.c_str(), 1));
  EXPECT_EQ(0, wcmatchstringsA((eighty + "a").c_str(), (eighty + "a").c_str(), 1));
}

TEST(Wildcard, ManyStarsAgainstLongTextFinish) {
  // Plain backtracking would take astronomically long on these.
  std::string pattern;
  for (int i = 0; i < 39; ++i) pattern += "*a";
  pattern += "*b";
  ASSERT_LE(pattern.size(), 80u);
  std::string text(4096, 'a');
  EXPECT_EQ(0, wcmatchstringsA(pattern.c_str(), text.c_str(), 1));
  text.back() = 'b';
  EXPECT_EQ(1, wcmatchstringsA(pattern.c_str(), text.c_str(), 1));
}

TEST(Wildcard, AgreesWithReferenceOnRandomPatterns) {
  std::mt19937 rng(12345);
  const char patternChars[] = "ab*?";
  for (int round = 0; round < 10000; ++round) {
    std::string p, t;
    const int plen = static_cast<int>(rng() % 9);
    const int tlen = static_cast<int>(rng() % 12);
    for (int i = 0; i < plen; ++i) p += patternChars[rng() % 4];
    for (int i = 0; i < tlen; ++i) t += "ab"[rng() % 2];
    ASSERT_EQ(Reference(p, t) ? 1 : 0, wcmatchstringsA(p.c_str(), t.c_str(), 1))
        << "pattern '" << p << "' text '" << t << "'";
  }
}

}  // namespace
