// File helpers, which no shipped program calls: one pass showing that they
// work at all (folders created on the way, made writable, truncated).
#include "common/host/fileops.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "common/testing/scratch_dir.h"

TEST(FileOps, CreatesOnTheWayMakesWritableAndTruncates) {
  kqs::ScratchDir dir;
  const std::string file = dir / "x/y/z.txt";
  EXPECT_EQ(0, Exist(file.c_str()));
  FILE* f = FOpenWithTranslate((dir / "x\\y/z.txt").c_str(), "w");
  ASSERT_NE(nullptr, f);
  fputs("0123456789", f);
  fclose(f);
  EXPECT_EQ(1, Exist(file.c_str()));

  ASSERT_EQ(0, chmod(file.c_str(), 0400));
  EXPECT_EQ(1, MakeWritableA(file.c_str()));
  struct stat st;
  ASSERT_EQ(0, stat(file.c_str(), &st));
  EXPECT_EQ(0666u, st.st_mode & 0777);
  EXPECT_EQ(1, TruncateFile(file.c_str(), 4));
  EXPECT_EQ("0123", kqs::ScratchDir::ReadFile(file));
}
