// Path joining, normalising and splitting within fixed buffers.
#include "common/util/pathutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(PathUtil, MergePathJoinsWithOneSlashOrRefuses) {
  char dir[255] = "/opt/kq";
  ASSERT_EQ(dir, MergePath(dir, "kqsd.ini", sizeof dir));
  EXPECT_STREQ("/opt/kq/kqsd.ini", dir);

  char trailing[255] = "/opt/kq/";
  EXPECT_STREQ("/opt/kq/kqsd.ini", MergePath(trailing, "/kqsd.ini", sizeof trailing));

  char small[255] = "/abcd";
  EXPECT_EQ(nullptr, MergePath(small, "efgh", 5));  // "/abcd/efgh" is 10
  EXPECT_STREQ("/abcd", small);
  EXPECT_EQ(small, MergePath(small, "efgh", 11));

  char a[8] = "/ab";
  EXPECT_EQ(nullptr, MergePathA(a, "cdefgh", sizeof a));
  EXPECT_STREQ("/ab", a);
  EXPECT_STREQ("/ab/cd", MergePathA(a, "cd", sizeof a));

  char same[] = "x//y";  // FixSlashes may work in place
  EXPECT_EQ(1, FixSlashes(same, same, sizeof same));
  EXPECT_STREQ("x/y", same);
}

TEST(PathUtil, FixRelativeNormalisesToAbsolute) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"/a/b/../c/./d", "/a/c/d"}, {"a/b", "/a/b"}, {"/../x", "/x"},   {"/", "/"},
      {"", "/"},                   {"a/..", "/"},   {"a/b/../../..", "/"}, {"//a//b/", "/a/b"},
      {"a/../../b/c/..", "/b"},
  };
  char out[255];
  for (const auto& c : cases) {
    EXPECT_EQ(1, FixRelative(out, c.in, sizeof out)) << c.in;
    EXPECT_STREQ(c.out, out) << c.in;
  }
  char small[4];
  FixPathA(small, "/abc/def", sizeof small);
  EXPECT_STREQ("/ab", small);

  // The most components a 254-character path can hold.
  std::string many;
  for (int i = 0; i < 127; ++i) many += "/x";
  EXPECT_EQ(1, FixPathA(out, many.c_str(), sizeof out));
  EXPECT_EQ(many, out);
}

TEST(PathUtil, SplitAndMakeRoundTrip) {
  PathComponents p;
  xSplitPathA("/usr/lib/kqsd.cat", &p);
  EXPECT_STREQ("/usr/lib/", p.dir);
  EXPECT_STREQ("kqsd", p.fname);
  EXPECT_STREQ(".cat", p.ext);
  char back[255];
  xMakePathA(back, &p, sizeof back);
  EXPECT_STREQ("/usr/lib/kqsd.cat", back);

  for (const char* path : {"name", "a.b.c", "/usr/lib/.profile", "dir/x."}) {
    xSplitPathA(path, &p);
    xMakePathA(back, &p, sizeof back);
    EXPECT_STREQ(path, back);
  }
  xSplitPathA("a.b.c", &p);
  EXPECT_STREQ("a.b", p.fname);
  EXPECT_STREQ(".c", p.ext);
  xSplitPathA("/usr/lib/.profile", &p);
  EXPECT_STREQ(".profile", p.fname);
  EXPECT_STREQ("", p.ext);
  xSplitPathA("/name", &p);
  EXPECT_STREQ("", p.dir);
  EXPECT_STREQ("/name", p.fname);

  PathComponents made = {"", "/var/spool", "log", "txt"};
  xMakePathA(back, &made, sizeof back);
  EXPECT_STREQ("/var/spool/log.txt", back);
}

TEST(PathUtil, TempNamesLandInTheGivenFolder) {
  char name[255];
  ASSERT_EQ(name, GenerateTempFilenameA(name, "/tmp", "/", sizeof name));
  EXPECT_EQ(0, std::strncmp(name, "/tmp/TMP", 8)) << name;
}
