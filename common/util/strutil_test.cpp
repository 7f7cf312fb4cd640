// String utilities: trimming as the INI store and the parameter parser use
// it, and one pass over the conversions no shipped program calls, enough to
// show they work at all.
#include "common/util/strutil.h"

#include <gtest/gtest.h>

#include <climits>

TEST(StrUtil, TrimsAndConverts) {
  char s[] = "  a b \t\r\nrest";
  EXPECT_STREQ("  a b", StripcrA(s));
  EXPECT_STREQ("a b", NonwhiteA(s));
  char blanks[] = " \t ";
  EXPECT_STREQ("", StripcrA(blanks));

  char buf[40];
  EXPECT_STREQ("-2147483648", itoa(INT_MIN, buf, 10));
  EXPECT_STREQ("11111111", qvultoa(255, buf, 2));
  EXPECT_EQ(-12, Safe_ttoi("-12"));
  EXPECT_EQ(0x123456789L, Safe_ttol("0x123456789"));
  EXPECT_STREQ("a%20b%2Fc", URLizeStringA(buf, "a b/c", sizeof buf));
  EXPECT_EQ(1, IsBindStringA("Queue_1-a"));
  EXPECT_EQ(0, IsBindStringA("queue 1"));
}
