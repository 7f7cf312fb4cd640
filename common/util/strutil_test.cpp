#include "common/util/strutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

TEST(StrUtil, TrimmingKeepsLeadingBlanksAndCutsAtFirstLineEnd) {
  char s[] = "  a b \t\r\nrest";
  EXPECT_STREQ("  a b", StripcrA(s));
  EXPECT_STREQ("a b", NonwhiteA(s));
  char only[] = "x \nmore\r";
  EXPECT_STREQ("x ", StripcrOnly(only));
  char blanks[] = " \t ";
  EXPECT_STREQ("", StripcrA(blanks));
  char special[] = "a<\x01\x7F\xE9>z";  // high bytes must not pass as negative chars
  RemoveSpecialCharsA(special);
  EXPECT_STREQ("a     z", special);
}

TEST(StrUtil, SearchFindsCaseInsensitiveAndLastOverlappingMatch) {
  const char* text = "Printer QUEUE queue";
  EXPECT_EQ(text + 8, StrIStrA(text, "queue"));
  EXPECT_EQ(text + 14, StrRStrA(text, "queue"));
  const char* aaa = "aaa";
  EXPECT_EQ(aaa + 1, StrRStrA(aaa, "aa"));
  // An empty pattern must not walk past the terminator.
  const char* empty = "";
  EXPECT_EQ(empty, StrRStrA(empty, ""));
  EXPECT_EQ(aaa + 2, StrRStrA(aaa, ""));
}

TEST(StrUtil, HexRoundTripAndRejections) {
  const unsigned char bytes[] = {0x0A, 0xFF};
  char hex[5];
  AsciifyA(hex, bytes, 2);
  EXPECT_STREQ("0AFF", hex);

  unsigned char out[4] = {};
  ASSERT_EQ(out, BinifyA(out, "0aFf", 4));
  EXPECT_EQ(0x0A, out[0]);
  EXPECT_EQ(0xFF, out[1]);

  unsigned char part[4] = {};
  EXPECT_EQ(nullptr, BinifyA(part, "120G", 4));
  EXPECT_EQ(0x12, part[0]);  // the pair before the bad digit is kept
  EXPECT_EQ(nullptr, BinifyA(part, "0AF", 3));
  EXPECT_EQ(0x0A, part[0]);

  // The second digit is never read when the first is the terminator.
  unsigned char b = 0x55;
  EXPECT_EQ(0, TOHEX("", &b));
  EXPECT_EQ(0x55, b);
}

TEST(StrUtil, NumberToTextInEveryRadix) {
  char buf[40];
  EXPECT_STREQ("ffffff01", itoa(-255, buf, 16));
  EXPECT_STREQ("-255", itoa(-255, buf, 10));
  EXPECT_STREQ("-2147483648", itoa(-2147483647 - 1, buf, 10));
  EXPECT_STREQ("11111111", qvultoa(255, buf, 2));
  EXPECT_STREQ("18446744073709551615", qvultoa(~0ul, buf, 10));
  EXPECT_STREQ("", qvultoa(5, buf, 1));  // no endless loop on a bad radix
}

TEST(StrUtil, TextToNumberSignsAndHex) {
  EXPECT_EQ(26, Safe_ttoi("0x1a"));
  EXPECT_EQ(-12, Safe_ttoi("-12"));
  EXPECT_EQ(7, Safe_ttoi("+7"));
  EXPECT_EQ(0, Safe_ttoi("-0x10"));
  EXPECT_EQ(0, Safe_ttoi("0x"));
  EXPECT_EQ(-1, Safe_ttoi("0xffffffff"));
  // Out-of-range decimal saturates instead of overflowing.
  EXPECT_EQ(2147483647, Safe_ttoi("99999999999"));
  EXPECT_EQ(-2147483647 - 1, Safe_ttoi("-99999999999"));
  EXPECT_EQ(0x123456789L, Safe_ttol("0x123456789"));
  EXPECT_EQ(-5000000000L, Safe_ttol("-5000000000"));
  EXPECT_EQ(LONG_MIN, Safe_ttol("-9223372036854775808"));
  EXPECT_EQ(LONG_MIN, Safe_ttol("-99999999999999999999"));
}

TEST(StrUtil, BindNamesRejectSeparatorsBlanksAndHighBytes) {
  EXPECT_EQ(1, IsBindStringA("Queue_1-a"));
  EXPECT_EQ(0, IsBindStringA("queue 1"));
  EXPECT_EQ(0, IsBindStringA(""));
  EXPECT_EQ(0, IsBindStringA(nullptr));
  EXPECT_EQ(0, IsBindStringA("caf\xE9"));
  for (char c : std::string_view("\"*+,/:;<=>?[\\]|~")) EXPECT_EQ(0, IsBindCharA(c)) << c;
}

TEST(StrUtil, UrlEscapingStopsAtWhatFits) {
  char out[32];
  EXPECT_STREQ("a%20b%2Fc", URLizeStringA(out, "a b/c", sizeof out));
  EXPECT_STREQ("%E9", URLizeStringA(out, "\xE9", sizeof out));
  EXPECT_STREQ("a", URLizeStringA(out, "a b", 4));  // "%20" needs 3 + terminator
  EXPECT_STREQ("ab", URLizeStringA(out, "abc", 3));
  EXPECT_STREQ("", URLizeStringA(out, " ", 3));
}

TEST(StrUtil, UrlSchemeChosenByContent) {
  char out[64];
  EXPECT_STREQ("file:////host/share", AddUrlMethod(out, "\\\\host\\share", sizeof out));
  EXPECT_STREQ("mailto:lp@host", AddUrlMethod(out, "  lp@host", sizeof out));
  EXPECT_STREQ("http://host/x", AddUrlMethod(out, "host/x \r\n", sizeof out));
  EXPECT_STREQ("", AddUrlMethod(out, " \t ", sizeof out));
  EXPECT_STREQ("http", AddUrlMethod(out, "host", 5));
}

TEST(StrUtil, EnvironmentLookupsAreExactAndBounded) {
  char a[] = "PATHX=1";
  char b[] = "PATH=/bin";
  char* env[] = {a, b, nullptr};
  EXPECT_STREQ("/bin", mygetenv("PATH", env));  // not fooled by the PATHX prefix
  EXPECT_EQ(nullptr, mygetenv("path", env));
  EXPECT_EQ(nullptr, mygetenv("", env));
  char out[4];
  EXPECT_EQ(3u, GetEnvironmentString("PATH", "d", out, sizeof out, env));
  EXPECT_STREQ("/bi", out);
  EXPECT_EQ(1u, GetEnvironmentString("NONE", "d", out, sizeof out, env));
  EXPECT_STREQ("d", out);
}

TEST(StrUtil, AddStrToBufferPacksFromTheEnd) {
  char buf[16];
  std::memset(buf, 'x', sizeof buf);
  char* end = buf + sizeof buf;
  char* first = AddStrToBuffer(end, "abc");
  char* second = AddStrToBuffer(first, "de");
  EXPECT_EQ(buf + 9, second);
  EXPECT_EQ(0, std::memcmp(buf + 8, "xde\0abc\0", 8));
}
