// The INI store that holds kqsd.ini: parsing, the cache's reload rule, and
// what a failed or interrupted write leaves on disk. Listing every section
// and key is left to ini_fuzz.
#include "common/config/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <iterator>
#include <thread>
#include <vector>

#include "common/testing/fake_env.h"
#include "common/testing/run.h"
#include "common/testing/scratch_dir.h"
#include "gtest/gtest.h"

namespace {

using kqs::ScratchDir;

class ProfileTest : public ::testing::Test {
 protected:
  void TearDown() override { IniCleanup(); }

  std::string Read(const char* section, const char* key, const char* def = "<none>") {
    char buffer[256];
    xGetPrivateProfileStringA(section, key, def, buffer, sizeof buffer, file_.c_str());
    return buffer;
  }
  void Write(const char* section, const char* key, const char* value) {
    xWritePrivateProfileStringA(section, key, value, file_.c_str());
  }
  // Puts the file's modification time at seconds since the epoch.
  void SetMtime(long seconds, long nanoseconds = 0) {
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, file_.c_str(), times, 0), 0);
  }
  std::string Content() { return ScratchDir::ReadFile(file_); }
  struct stat Stat() {
    struct stat st = {};
    EXPECT_EQ(stat(file_.c_str(), &st), 0);
    return st;
  }
  long FilesInDir() {
    return std::distance(std::filesystem::directory_iterator(dir_.path()), std::filesystem::directory_iterator());
  }

  ScratchDir dir_;
  std::string file_ = dir_ / "kqsd.ini";
};

TEST_F(ProfileTest, ParsesLinesAndDropsWhatItDoesNotKeepAtTheNextWrite) {
  EXPECT_EQ(Read("S", "k", "dflt"), "dflt") << "no file yet";
  EXPECT_EQ(xGetPrivateProfileIntA("S", "k", 42, file_.c_str()), 42);
  Write("Process Settings", "ProcessID", "123");
  EXPECT_EQ(Content(), "[Process Settings]\nProcessID=123\n");
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(Stat().st_mode & 07777, 0644u & ~mask);

  ASSERT_TRUE(ScratchDir::WriteFile(file_, "orphan=1\n; comment\n  [ Net ]  rest\r\nkey = value  \r\na=b=c\n"
                                           "=novalue\nKEY=second\nnoequals\npath=x;y\n[Net\n[]\n[Other]\nx=1\n"
                                           "[NET]\ny=2\n# more\n[Empty]\n"));
  EXPECT_EQ(Read("Net", "key"), "value");
  EXPECT_EQ(Read("NET", "KEY"), "value");
  EXPECT_EQ(Read("Net", "a"), "b=c");
  EXPECT_EQ(Read("Net", "path"), "x;y");
  EXPECT_EQ(Read("Net", "y"), "<none>");
  EXPECT_EQ(Read("Net", " key"), "<none>");  // names are looked up as passed

  Write("net", "KEY", "new");   // keeps the stored spelling of both names
  Write("Empty", "k", nullptr);  // nothing to delete: no write
  EXPECT_EQ(Content(), "[Net]\nkey=new\na=b=c\npath=x;y\n[Other]\nx=1\n[Empty]\n");

  Write("Net", "a", nullptr);
  Write("Net", "path", nullptr);
  Write("Net", "key", nullptr);
  Write("Other", nullptr, nullptr);
  EXPECT_EQ(Content(), "[Net]\n[Empty]\n");
}

TEST_F(ProfileTest, ReloadsWhenTheFileChangedEvenWithinTheSameSecond) {
  Write("S", "k", "mine");
  SetMtime(1000);
  IniCleanup();
  EXPECT_EQ(Read("S", "k"), "mine");

  // Another process's change in the same whole second is seen (a revoked
  // password must stop working at once)...
  ASSERT_TRUE(ScratchDir::WriteFile(file_, "[S]\nk=theirs\n"));
  SetMtime(1000);
  EXPECT_EQ(Read("S", "k"), "theirs");
  // ...and so is one that keeps the size too (every yescrypt hash has one).
  ASSERT_TRUE(ScratchDir::WriteFile(file_, "[S]\nk=THEIRS\n"));
  SetMtime(1000, 5000);
  EXPECT_EQ(Read("S", "k"), "THEIRS");

  // A rewrite of an unchanged value does not touch the file.
  Write("S", "k", "THEIRS");
  EXPECT_EQ(Stat().st_mtim.tv_nsec, 5000);

  // A name in other letter case shares the cache entry and its file.
  const std::string other = dir_ / "KQSD.INI";
  xWritePrivateProfileStringA("S", "k2", "v", other.c_str());
  EXPECT_FALSE(ScratchDir::Exists(other));
  EXPECT_EQ(Content(), "[S]\nk=THEIRS\nk2=v\n");
}

TEST_F(ProfileTest, AFailedWriteKeepsTheOldFileAndTheChangeForTheNextWrite) {
  Write("S", "old", "1");
  const std::string before = Content();
  kqs::FakeEnv env;

  // The file cannot be locked for writing (not writable, say).
  env.fault = [](const std::string& op, const std::string&) { return op == "fopen:r+" ? EACCES : 0; };
  Write("S", "a", "2");
  EXPECT_EQ(Content(), before);
  EXPECT_EQ(Read("S", "a"), "2");

  // The rename fails: the temporary file goes too.
  env.fault = [](const std::string& op, const std::string&) { return op == "rename" ? EXDEV : 0; };
  Write("S", "b", "rename");
  EXPECT_EQ(Content(), before);
  EXPECT_EQ(FilesInDir(), 1);

  // The next change saves everything.
  env.fault = nullptr;
  Write("S", "c", "4");
  EXPECT_EQ(Content(), "[S]\nold=1\na=2\nb=rename\nc=4\n");

  // A replaced file keeps its permission bits, and no copy of it is ever
  // readable by more than the file (it holds the password hash).
  ASSERT_EQ(chmod(file_.c_str(), 0640), 0);
  std::vector<mode_t> seen;
  env.fault = [&](const std::string& op, const std::string& path) {
    struct stat st;
    if ((op == "chmod" || op == "rename") && stat(path.c_str(), &st) == 0) seen.push_back(st.st_mode & 07777);
    return 0;
  };
  Write("S", "e", "6");
  env.fault = nullptr;
  EXPECT_EQ(Stat().st_mode & 07777, 0640u);
  for (mode_t m : seen) EXPECT_EQ(m & ~0640u, 0u) << std::oct << m;
  // A link stays a link.
  const std::string link = dir_ / "link.ini";
  ASSERT_EQ(symlink(file_.c_str(), link.c_str()), 0);
  xWritePrivateProfileStringA("S", "f", "7", link.c_str());
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(Content(), "[S]\nold=1\na=2\nb=rename\nc=4\ne=6\nf=7\n");
}

TEST_F(ProfileTest, AWriterThatMayNotCreateFilesBesideItRewritesItInPlace) {
  // lp keeps its own file in a directory that root owns.
  Write("S", "k", "old");
  ASSERT_EQ(chown(file_.c_str(), 7, 7), 0);
  ASSERT_EQ(kqs::RunInChild(
                [&] {
                  IniCleanup();
                  Write("S", "k", "new");
                  return 0;
                },
                true),
            0);
  EXPECT_EQ(Content(), "[S]\nk=new\n");
  EXPECT_EQ(Stat().st_uid, 7u);
  EXPECT_EQ(FilesInDir(), 1);
}

TEST_F(ProfileTest, AWriterKilledBeforeTheRenameLeavesTheOldFileWhole) {
  Write("S", "k", "old");
  const std::string before = Content();
  ASSERT_EQ(kqs::RunInChild([&] {
              kqs::FakeEnv env;
              env.fault = [](const std::string& op, const std::string&) { return op == "rename" ? (_exit(0), 0) : 0; };
              Write("S", "k", std::string(100000, 'n').c_str());
              return 1;
            }),
            0)
      << "the child never reached the rename";
  EXPECT_EQ(Content(), before);

  IniCleanup();
  EXPECT_EQ(Read(nullptr, nullptr), "S");
  EXPECT_EQ(Read("S", "k"), "old");
  Write("S", "k", "new");
  EXPECT_EQ(Content(), "[S]\nk=new\n");
}

TEST_F(ProfileTest, ThreadsAndACleanupInTheMiddleLoseNothing) {
  constexpr int kThreads = 4, kKeys = 40;
  auto key = [](int t, int i) { return "t" + std::to_string(t) + "k" + std::to_string(i); };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kKeys; ++i) {
        xWritePrivateProfileIntA("S", key(t, i).c_str(), i, file_.c_str());
        if (i % 10 == 0) IniCleanup();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  IniCleanup();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kKeys; ++i) ASSERT_EQ(xGetPrivateProfileIntA("S", key(t, i).c_str(), -1, file_.c_str()), i);
  }
}

}  // namespace
