// Tables and JSON: what reaches the user's terminal and scripts.
#include "tools/kqsctl/output.h"

#include <gtest/gtest.h>

#include "tools/kqsctl/discoreply.h"

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

TEST(DiscoveryReplyTest, SplitsFieldsAndKeepsSemicolonsInValues) {
  Fields f;
  ASSERT_TRUE(ParseDiscoveryReply("Platform=PRINTSERVER_UNIX;Uname=Linux a;b 6.1;Protocol=1;VMajor=3;VMinor=0;"
                                  "VUpdate=0;VBuild=394;Install=/opt/kqsd/",
                                  &f));
  EXPECT_EQ("PRINTSERVER_UNIX", FieldValue(f, "Platform"));
  EXPECT_EQ("Linux a;b 6.1", FieldValue(f, "Uname"));
  EXPECT_EQ("394", FieldValue(f, "VBuild"));
  EXPECT_EQ("/opt/kqsd/", FieldValue(f, "Install"));
  ASSERT_TRUE(ParseDiscoveryReply("Platform=PRINTSERVER_UNIX;Uname=;Protocol=1", &f));
  EXPECT_EQ("", FieldValue(f, "Uname"));
  EXPECT_EQ("1", FieldValue(f, "Protocol"));
  EXPECT_FALSE(ParseDiscoveryReply("hello there", &f));
  EXPECT_FALSE(ParseDiscoveryReply("", &f));
  EXPECT_FALSE(ParseDiscoveryReply("=x;;;=", &f));
}

}  // namespace
}  // namespace kqsctl
