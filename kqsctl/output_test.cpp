// Tables and JSON: what reaches the user's terminal and scripts.
#include "kqsctl/output.h"

#include <gtest/gtest.h>

namespace kqsctl {
namespace {

TEST(OutputTest, TableAlignsColumnsAndDefusesControlCharacters) {
  Table t({"QUEUE", "SCRIPT"});
  t.AddRow({"lab", "/etc/lp/interfaces/lab"});
  t.AddRow({"a\x1b[2Jb", "x"});
  t.AddRow({"caf\xc3\xa9", "y"});  // two bytes, one column
  EXPECT_EQ(
      "QUEUE   SCRIPT\n"
      "lab     /etc/lp/interfaces/lab\n"
      "a?[2Jb  x\n"
      "caf\xc3\xa9    y\n",
      t.Render());
}

TEST(OutputTest, JsonEscapesWhatJsonCannotCarry) {
  EXPECT_EQ(R"("plain")", JsonQuote("plain"));
  EXPECT_EQ(R"("q\"b\\n\n\t\u0001\u007f")", JsonQuote("q\"b\\n\n\t\x01\x7f"));
  EXPECT_EQ("\"caf\xc3\xa9\"", JsonQuote("caf\xc3\xa9"));                // valid UTF-8 stays
  EXPECT_EQ(R"("\u00e9t\u00c3")", JsonQuote("\xe9t\xc3"));               // stray bytes as Latin-1
  EXPECT_EQ(R"("\u00ed\u00a0\u0080")", JsonQuote("\xed\xa0\x80"));      // encoded surrogate
  EXPECT_EQ(R"({"name":"a","n":-3})", JsonObject().Add("name", "a").Add("n", -3).Render());
  EXPECT_EQ("[]", JsonArray({}));
}

}  // namespace
}  // namespace kqsctl
