#include "common/util/strbuf.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(StrBuf, CopyCutsAndPadsWholeBuffer) {
  char buf[10];
  std::memset(buf, 'x', sizeof buf);
  RelStrCpyIntoBufA(buf, "abcdef", 4);
  EXPECT_STREQ("abc", buf);
  EXPECT_EQ('x', buf[4]);  // nothing beyond size is touched

  std::memset(buf, 'x', sizeof buf);
  RelStrCpyIntoBufA(buf, "abcdef", 10);
  EXPECT_STREQ("abcdef", buf);
  for (int i = 6; i < 10; ++i) EXPECT_EQ('\0', buf[i]) << i;

  RelStrCpyIntoBufA(buf, "abcdef", 1);
  EXPECT_EQ('\0', buf[0]);
}

TEST(StrBuf, AppendKeepsRoomForTerminator) {
  char buf[8] = "abc";
  RelStrCatIntoBufA(buf, "def", 6);
  EXPECT_STREQ("abcde", buf);
  char full[8] = "abc";
  RelStrCatIntoBufA(full, "def", 4);
  EXPECT_STREQ("abc", full);
}

TEST(StrBuf, FormatReportsFullLength) {
  char buf[4];
  EXPECT_EQ(6, sprintfnA(buf, sizeof buf, "%d", 123456));
  EXPECT_STREQ("123", buf);
}
