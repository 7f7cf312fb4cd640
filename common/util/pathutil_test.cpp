// Path joining, normalising and splitting within fixed buffers: how the
// programs find the files beside them and name their lock files.
#include "common/util/pathutil.h"

#include <gtest/gtest.h>

#include <string>

TEST(PathUtil, JoinsNormalisesAndSplitsWithinTheBuffer) {
  char dir[255] = "/opt/kq/";
  ASSERT_EQ(dir, MergePath(dir, "/kqsd.ini", sizeof dir));
  EXPECT_STREQ("/opt/kq/kqsd.ini", dir);
  char small[255] = "/abcd";
  EXPECT_EQ(nullptr, MergePath(small, "efgh", 10));  // "/abcd/efgh" needs 11
  EXPECT_STREQ("/abcd", small);

  const std::pair<const char*, const char*> cases[] = {
      {"/a/b/../c/./d", "/a/c/d"}, {"a/b", "/a/b"}, {"a/b/../../..", "/"}, {"//a//b/", "/a/b"}};
  char out[255];
  for (auto [in, want] : cases) {
    EXPECT_EQ(1, FixPathA(out, in, sizeof out)) << in;
    EXPECT_STREQ(want, out) << in;
  }

  PathComponents p;
  xSplitPathA("/usr/lib/kqsd.cat", &p);
  EXPECT_EQ(std::tuple(std::string("/usr/lib/"), std::string("kqsd"), std::string(".cat")),
            std::tuple(std::string(p.dir), std::string(p.fname), std::string(p.ext)));
  xMakePathA(out, &p, sizeof out);
  EXPECT_STREQ("/usr/lib/kqsd.cat", out);
}
