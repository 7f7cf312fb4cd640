// Path joining, normalising and splitting within fixed buffers.
#include "common/util/pathutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(PathUtil, MergePathJoinsWithOneSlashOrRefuses) {
  char dir[255] = "/opt/kq/";
  ASSERT_EQ(dir, MergePath(dir, "/kqsd.ini", sizeof dir));
  EXPECT_STREQ("/opt/kq/kqsd.ini", dir);
  char small[255] = "/abcd";
  EXPECT_EQ(nullptr, MergePath(small, "efgh", 10));  // "/abcd/efgh" needs 11
  EXPECT_STREQ("/abcd", small);
  EXPECT_EQ(small, MergePath(small, "efgh", 11));
  char a[8] = "/ab";
  EXPECT_EQ(nullptr, MergePathA(a, "cdefgh", sizeof a));
  EXPECT_STREQ("/ab/cd", MergePathA(a, "cd", sizeof a));
  char same[] = "x//y";  // FixSlashes may work in place
  EXPECT_EQ(1, FixSlashes(same, same, sizeof same));
  EXPECT_STREQ("x/y", same);
}

TEST(PathUtil, FixPathNormalisesToAbsolute) {
  const std::pair<const char*, const char*> cases[] = {
      {"/a/b/../c/./d", "/a/c/d"}, {"a/b", "/a/b"}, {"/../x", "/x"},         {"", "/"},
      {"a/..", "/"},               {"a/b/../../..", "/"}, {"//a//b/", "/a/b"}, {"a/../../b/c/..", "/b"},
  };
  char out[255];
  for (auto [in, want] : cases) {
    EXPECT_EQ(1, FixPathA(out, in, sizeof out)) << in;
    EXPECT_STREQ(want, out) << in;
  }
  char small[4];
  FixPathA(small, "/abc/def", sizeof small);
  EXPECT_STREQ("/ab", small);
  std::string many;  // the most components a 254-character path can hold
  for (int i = 0; i < 127; ++i) many += "/x";
  EXPECT_EQ(1, FixPathA(out, many.c_str(), sizeof out));
  EXPECT_EQ(many, out);
}

TEST(PathUtil, SplitAndMakeRoundTrip) {
  const char* cases[][4] = {{"/usr/lib/kqsd.cat", "/usr/lib/", "kqsd", ".cat"}, {"a.b.c", "", "a.b", ".c"},
                            {"/usr/lib/.profile", "/usr/lib/", ".profile", ""},  {"/name", "", "/name", ""},
                            {"dir/x.", "dir/", "x", "."},                         {"name", "", "name", ""}};
  PathComponents p;
  char back[255];
  for (const auto& c : cases) {
    xSplitPathA(c[0], &p);
    EXPECT_EQ(std::tuple(std::string(c[1]), std::string(c[2]), std::string(c[3])),
              std::tuple(std::string(p.dir), std::string(p.fname), std::string(p.ext)));
    xMakePathA(back, &p, sizeof back);
    EXPECT_STREQ(c[0], back);
  }
  PathComponents made = {"", "/var/spool", "log", "txt"};
  xMakePathA(back, &made, sizeof back);
  EXPECT_STREQ("/var/spool/log.txt", back);
}

TEST(PathUtil, TempNamesLandInTheGivenFolder) {
  char name[255];
  ASSERT_EQ(name, GenerateTempFilenameA(name, "/tmp", "/", sizeof name));
  EXPECT_EQ(0, std::strncmp(name, "/tmp/TMP", 8)) << name;
}
