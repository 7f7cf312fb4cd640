// Bounded copies, appends and formats: the size is the whole buffer, the
// terminator included, and nothing beyond it is touched.
#include "common/util/strbuf.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(StrBuf, CopyAppendAndFormatKeepToTheWholeBuffer) {
  char buf[10];
  std::memset(buf, 'x', sizeof buf);
  RelStrCpyIntoBufA(buf, "abcdef", 4);
  EXPECT_EQ(0, std::memcmp(buf, "abc\0x", 5));
  RelStrCpyIntoBufA(buf, "abcdef", 10);  // the rest is padded with NULs
  EXPECT_EQ(0, std::memcmp(buf, "abcdef\0\0\0\0", 10));
  RelStrCpyIntoBufA(buf, "abcdef", 1);
  EXPECT_EQ('\0', buf[0]);

  char cat[8] = "abc";
  RelStrCatIntoBufA(cat, "def", 6);
  EXPECT_STREQ("abcde", cat);
  char full[8] = "abc";
  RelStrCatIntoBufA(full, "def", 4);  // no room left: unchanged
  EXPECT_STREQ("abc", full);

  char small[4];
  EXPECT_EQ(6, sprintfnA(small, sizeof small, "%d", 123456));
  EXPECT_STREQ("123", small);
}
