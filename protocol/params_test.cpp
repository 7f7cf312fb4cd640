// Parameter lists at the edges the parser fuzz target cannot reach: table
// names with blanks or filling their whole field, and a missing working copy.
// The fuzz target checks every verdict and value against a plain re-reading.
#include "protocol/params.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "protocol/kqsids.h"

namespace {

using Copy = std::unique_ptr<char, decltype(&ParseFree)>;

TEST(Params, TableNamesMatchWithTheirBlanksAndAtFullWidth) {
  ParameterEntry table[3] = {};
  std::strcpy(table[0].name, "device");
  std::strcpy(table[1].name, "DEST ");
  const std::string wide(32, 'k');  // fills its field with no terminator
  std::memcpy(table[2].name, wide.data(), 32);
  Copy copy(ParseAlloc((" Device= lp0 ;\tDEST =x;" + wide + "=a=b").c_str()), &ParseFree);
  ASSERT_EQ(KQS_SUCCESS, ParseParameters(copy.get(), table, 3));
  EXPECT_STREQ("lp0 ", table[0].value);  // trailing blanks belong to the value
  EXPECT_STREQ("x", table[1].value);     // and to the name: "DEST " matched
  EXPECT_STREQ("a=b", table[2].value);
}

TEST(Params, AMissingCopyIsAnEmptyList) {
  ParameterEntry entry = {};
  std::strcpy(entry.name, "A");
  EXPECT_EQ(KQS_INVALID_PARAMETER, ParseParameters(nullptr, &entry, 1));
  EXPECT_EQ(KQS_SUCCESS, ParseParameters(nullptr, nullptr, 0));
}

}  // namespace
