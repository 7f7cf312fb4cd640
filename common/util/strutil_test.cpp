// String utilities at their edges: blanks and line ends, searches that must
// not run past a terminator, hex, numbers in every radix, names, URLs and the
// environment.
#include "common/util/strutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string_view>

TEST(StrUtil, TrimmingAndSearching) {
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

  const char* text = "Printer QUEUE queue";
  EXPECT_EQ(text + 8, StrIStrA(text, "queue"));
  EXPECT_EQ(text + 14, StrRStrA(text, "queue"));
  const char *aaa = "aaa", *empty = "";
  EXPECT_EQ(aaa + 1, StrRStrA(aaa, "aa"));
  EXPECT_EQ(empty, StrRStrA(empty, ""));  // an empty pattern must not walk past the terminator
  EXPECT_EQ(aaa + 2, StrRStrA(aaa, ""));
}

TEST(StrUtil, HexRoundTripAndRejections) {
  const unsigned char bytes[] = {0x0A, 0xFF};
  char hex[5];
  AsciifyA(hex, bytes, 2);
  EXPECT_STREQ("0AFF", hex);
  unsigned char out[4] = {};
  ASSERT_EQ(out, BinifyA(out, "0aFf", 4));
  EXPECT_EQ(0, std::memcmp(out, bytes, 2));
  EXPECT_EQ(nullptr, BinifyA(out, "120G", 4));
  EXPECT_EQ(0x12, out[0]);  // the pair before the bad digit is kept
  EXPECT_EQ(nullptr, BinifyA(out, "0AF", 3));
  unsigned char b = 0x55;  // the second digit is never read when the first is the terminator
  EXPECT_EQ(0, TOHEX("", &b));
  EXPECT_EQ(0x55, b);
}

TEST(StrUtil, NumbersBothWays) {
  char buf[40];
  EXPECT_STREQ("ffffff01", itoa(-255, buf, 16));
  EXPECT_STREQ("-255", itoa(-255, buf, 10));
  EXPECT_STREQ("-2147483648", itoa(INT_MIN, buf, 10));
  EXPECT_STREQ("11111111", qvultoa(255, buf, 2));
  EXPECT_STREQ("18446744073709551615", qvultoa(~0ul, buf, 10));
  EXPECT_STREQ("", qvultoa(5, buf, 1));  // no endless loop on a bad radix

  const std::pair<const char*, int> ints[] = {{"0x1a", 26}, {"-12", -12}, {"+7", 7}, {"-0x10", 0}, {"0x", 0},
                                              {"0xffffffff", -1}, {"99999999999", INT_MAX}, {"-99999999999", INT_MIN}};
  for (auto [text, value] : ints) EXPECT_EQ(value, Safe_ttoi(text)) << text;
  const std::pair<const char*, long> longs[] = {{"0x123456789", 0x123456789L}, {"-5000000000", -5000000000L},
                                                {"-9223372036854775808", LONG_MIN}, {"-99999999999999999999", LONG_MIN}};
  for (auto [text, value] : longs) EXPECT_EQ(value, Safe_ttol(text)) << text;
}

TEST(StrUtil, NamesUrlsEnvironmentAndPackedStrings) {
  EXPECT_EQ(1, IsBindStringA("Queue_1-a"));
  for (const char* bad : {"queue 1", "", "caf\xE9"}) EXPECT_EQ(0, IsBindStringA(bad)) << bad;
  EXPECT_EQ(0, IsBindStringA(nullptr));
  for (char c : std::string_view("\"*+,/:;<=>?[\\]|~")) EXPECT_EQ(0, IsBindCharA(c)) << c;

  char url[64];
  EXPECT_STREQ("a%20b%2Fc", URLizeStringA(url, "a b/c", sizeof url));
  EXPECT_STREQ("%E9", URLizeStringA(url, "\xE9", sizeof url));
  EXPECT_STREQ("a", URLizeStringA(url, "a b", 4));  // "%20" needs 3 + terminator
  EXPECT_STREQ("ab", URLizeStringA(url, "abc", 3));
  EXPECT_STREQ("", URLizeStringA(url, " ", 3));
  EXPECT_STREQ("file:////host/share", AddUrlMethod(url, "\\\\host\\share", sizeof url));
  EXPECT_STREQ("mailto:lp@host", AddUrlMethod(url, "  lp@host", sizeof url));
  EXPECT_STREQ("http://host/x", AddUrlMethod(url, "host/x \r\n", sizeof url));
  EXPECT_STREQ("", AddUrlMethod(url, " \t ", sizeof url));
  EXPECT_STREQ("http", AddUrlMethod(url, "host", 5));

  char a[] = "PATHX=1", b[] = "PATH=/bin";
  char* env[] = {a, b, nullptr};
  EXPECT_STREQ("/bin", mygetenv("PATH", env));  // not fooled by the PATHX prefix
  EXPECT_EQ(nullptr, mygetenv("path", env));
  EXPECT_EQ(nullptr, mygetenv("", env));
  char out[4];
  EXPECT_EQ(3u, GetEnvironmentString("PATH", "d", out, sizeof out, env));
  EXPECT_STREQ("/bi", out);
  EXPECT_EQ(1u, GetEnvironmentString("NONE", "d", out, sizeof out, env));
  EXPECT_STREQ("d", out);

  char packed[16];
  std::memset(packed, 'x', sizeof packed);
  char* first = AddStrToBuffer(packed + sizeof packed, "abc");
  EXPECT_EQ(packed + 9, AddStrToBuffer(first, "de"));
  EXPECT_EQ(0, std::memcmp(packed + 8, "xde\0abc\0", 8));
}
