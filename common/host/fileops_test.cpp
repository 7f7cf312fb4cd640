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

class FileOps : public ::testing::Test {
 protected:
  kqs::FakeEnv env_;
  kqs::ScopedEnv scoped_{&env_};
  ScratchDir dir_;
};

TEST_F(FileOps, ExistNeedsAReadableFile) {
  std::string file = dir_ / "f";
  EXPECT_EQ(0, Exist(file.c_str()));
  ASSERT_TRUE(ScratchDir::WriteFile(file, "x"));
  EXPECT_EQ(1, Exist(file.c_str()));
  EXPECT_EQ(0, Exist(nullptr));

  // We run as root, so an unreadable file is simulated at the seam.
  env_.fault = [&](const std::string& op, const std::string& path) {
    return op == "fopen:rb" && path == file ? EACCES : 0;
  };
  EXPECT_EQ(0, Exist(file.c_str()));
  EXPECT_EQ(0, MakeWritable(file.c_str()));
}

TEST_F(FileOps, OpenForWritingCreatesMissingDirectories) {
  std::string path = dir_ / "x\\y/z.txt";
  EXPECT_EQ(nullptr, FOpenWithTranslate(path.c_str(), "r"));
  EXPECT_FALSE(ScratchDir::Exists(dir_ / "x"));

  FILE* f = FOpenWithTranslate(path.c_str(), "w");
  ASSERT_NE(nullptr, f);
  fputs("data", f);
  fclose(f);
  EXPECT_EQ("data", ScratchDir::ReadFile(dir_ / "x/y/z.txt"));

  EXPECT_EQ(nullptr, FOpenWithTranslate((dir_ / "x/y").c_str(), "a"));  // a directory

  env_.fault = [](const std::string& op, const std::string&) { return op == "mkdir" ? EROFS : 0; };
  EXPECT_EQ(nullptr, FOpenWithTranslate((dir_ / "new/f").c_str(), "a"));
  EXPECT_FALSE(ScratchDir::Exists(dir_ / "new"));
}

TEST_F(FileOps, MakeWritableAndTruncate) {
  std::string file = dir_ / "f";
  EXPECT_EQ(0, MakeWritableA(file.c_str()));
  ASSERT_TRUE(ScratchDir::WriteFile(file, "0123456789"));
  ASSERT_EQ(0, chmod(file.c_str(), 0400));
  EXPECT_EQ(1, MakeWritableA(file.c_str()));
  struct stat st;
  ASSERT_EQ(0, stat(file.c_str(), &st));
  EXPECT_EQ(0666u, st.st_mode & 0777);

  env_.fault = [](const std::string& op, const std::string&) { return op == "chmod" ? EPERM : 0; };
  EXPECT_EQ(0, MakeWritable(file.c_str()));

  EXPECT_EQ(1, TruncateFile(file.c_str(), 4));
  EXPECT_EQ("0123", ScratchDir::ReadFile(file));
  EXPECT_EQ(0, TruncateFile((dir_ / "missing").c_str(), 0));
}

}  // namespace
