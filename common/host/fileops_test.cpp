// File helpers: readability checks, opening for writing with the folders
// created on the way, making writable and truncating.
#include "common/host/fileops.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "common/testing/fake_env.h"
#include "common/testing/scratch_dir.h"

namespace {

using kqs::ScratchDir;

TEST(FileOps, ReadableWritableCreatedOnTheWayAndTruncated) {
  kqs::FakeEnv env;
  ScratchDir dir;
  const std::string file = dir / "f";
  EXPECT_EQ(0, Exist(file.c_str()));
  ASSERT_TRUE(ScratchDir::WriteFile(file, "x"));
  EXPECT_EQ(1, Exist(file.c_str()));
  EXPECT_EQ(0, Exist(nullptr));

  // We run as root, so an unreadable file is simulated at the seam.
  env.fault = [&](const std::string& op, const std::string& path) {
    return op == "fopen:rb" && path == file ? EACCES : 0;
  };
  EXPECT_EQ(0, Exist(file.c_str()));
  EXPECT_EQ(0, MakeWritable(file.c_str()));
  env.fault = nullptr;

  const std::string path = dir / "x\\y/z.txt";
  EXPECT_EQ(nullptr, FOpenWithTranslate(path.c_str(), "r"));
  EXPECT_FALSE(ScratchDir::Exists(dir / "x"));

  FILE* f = FOpenWithTranslate(path.c_str(), "w");
  ASSERT_NE(nullptr, f);
  fputs("data", f);
  fclose(f);
  EXPECT_EQ("data", ScratchDir::ReadFile(dir / "x/y/z.txt"));

  EXPECT_EQ(nullptr, FOpenWithTranslate((dir / "x/y").c_str(), "a"));  // a directory

  env.fault = [](const std::string& op, const std::string&) { return op == "mkdir" ? EROFS : 0; };
  EXPECT_EQ(nullptr, FOpenWithTranslate((dir / "new/f").c_str(), "a"));
  EXPECT_FALSE(ScratchDir::Exists(dir / "new"));
  env.fault = nullptr;

  EXPECT_EQ(0, MakeWritableA((dir / "missing").c_str()));
  ASSERT_TRUE(ScratchDir::WriteFile(file, "0123456789"));
  ASSERT_EQ(0, chmod(file.c_str(), 0400));
  EXPECT_EQ(1, MakeWritableA(file.c_str()));
  struct stat st;
  ASSERT_EQ(0, stat(file.c_str(), &st));
  EXPECT_EQ(0666u, st.st_mode & 0777);

  env.fault = [](const std::string& op, const std::string&) { return op == "chmod" ? EPERM : 0; };
  EXPECT_EQ(0, MakeWritable(file.c_str()));

  EXPECT_EQ(1, TruncateFile(file.c_str(), 4));
  EXPECT_EQ("0123", ScratchDir::ReadFile(file));
  EXPECT_EQ(0, TruncateFile((dir / "missing").c_str(), 0));
}

}  // namespace
