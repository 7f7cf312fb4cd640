#include "protocol/params.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "protocol/kqsids.h"

namespace {

// A table of the given names plus the working copy its values point into.
struct Parsed {
  std::vector<ParameterEntry> table;
  std::unique_ptr<char, decltype(&ParseFree)> copy{nullptr, &ParseFree};
  uint32_t rc = 0;

  std::string Value(size_t i) const { return table[i].value ? table[i].value : "<null>"; }
};

Parsed Parse(const char* text, std::initializer_list<const char*> names) {
  Parsed p;
  for (const char* n : names) {
    ParameterEntry e{};
    std::snprintf(e.name, sizeof e.name, "%s", n);
    p.table.push_back(e);
  }
  p.copy.reset(ParseAlloc(text));
  p.rc = ParseParameters(p.copy.get(), p.table.data(), static_cast<unsigned>(p.table.size()));
  return p;
}

TEST(Params, BlanksCaseEqualsAndLeftoverText) {
  Parsed p = Parse(" Device= lp0 ;\tDEST =x;model=a=b;Empty=", {"device", "DEST ", "Model", "empty"});
  EXPECT_EQ(KQS_SUCCESS, p.rc);
  EXPECT_EQ("lp0 ", p.Value(0));  // trailing blanks belong to the value
  EXPECT_EQ("x", p.Value(1));     // and to the name: "DEST " matched
  EXPECT_EQ("a=b", p.Value(2));
  EXPECT_EQ("", p.Value(3));

  Parsed q = Parse("Class =draft", {"Class"});
  EXPECT_EQ(KQS_INVALID_PARAMETER, q.rc);
  EXPECT_EQ("<null>", q.Value(0));
  for (const char* text : {"A=1;", "A=1;rest", "A=1;2", "A=1;;B"}) {
    Parsed r = Parse(text, {"A"});
    EXPECT_EQ(KQS_SUCCESS, r.rc) << text;
    EXPECT_EQ("1", r.Value(0)) << text;
  }
}

TEST(Params, UnknownRepeatedAndMissingNamesFail) {
  Parsed twice = Parse("A=1;A=2", {"A"});
  EXPECT_EQ(KQS_INVALID_PARAMETER, twice.rc);
  EXPECT_EQ("1", twice.Value(0));

  Parsed unknown = Parse("A=1;C=3;B=2", {"A", "B"});
  EXPECT_EQ(KQS_INVALID_PARAMETER, unknown.rc);
  EXPECT_EQ("1", unknown.Value(0));
  EXPECT_EQ("<null>", unknown.Value(1));  // parsing stopped at C

  EXPECT_EQ(KQS_INVALID_PARAMETER, Parse("A=1", {"A", "B"}).rc);
  EXPECT_EQ(KQS_SUCCESS, Parse("", {}).rc);
  EXPECT_EQ(KQS_INVALID_PARAMETER, Parse("", {"A"}).rc);
  // A null copy (ParseAlloc out of memory) is an empty list.
  EXPECT_EQ(KQS_INVALID_PARAMETER, Parse(nullptr, {"A"}).rc);
  EXPECT_EQ(KQS_SUCCESS, ParseParameters(nullptr, nullptr, 0));
}

TEST(Params, FullWidthTableNameStillMatches) {
  // A 32-character name fills its field with no terminator.
  const std::string name(32, 'k');
  ParameterEntry e{};
  std::memcpy(e.name, name.data(), 32);
  std::unique_ptr<char, decltype(&ParseFree)> copy(ParseAlloc((name + "=v").c_str()), &ParseFree);
  EXPECT_EQ(KQS_SUCCESS, ParseParameters(copy.get(), &e, 1));
  ASSERT_NE(nullptr, e.value);
  EXPECT_STREQ("v", e.value);
}

}  // namespace
