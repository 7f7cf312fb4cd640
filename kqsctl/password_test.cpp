// Password entry and the stored administrator password. Storing one that
// works is shown against the real daemon (kqsctl_daemon_test.cpp).
#include "kqsctl/password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <regex>
#include <thread>

#include "common/config/profile.h"
#include "common/host/mtsafe.h"
#include "common/testing/fake_env.h"
#include "common/testing/scratch_dir.h"

namespace kqsctl {
namespace {

// Feeds text to ReadPassword through a pipe.
bool ReadFromPipe(const std::string& text, size_t max, std::string* password, std::string* error) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  EXPECT_EQ(static_cast<ssize_t>(text.size()), write(fds[1], text.data(), text.size()));
  close(fds[1]);
  const bool ok = ReadPassword(fds[0], "", max, password, error);
  close(fds[0]);
  return ok;
}

TEST(PasswordTest, ReadsOneLineFromAPipe) {
  std::string pw, error;
  ASSERT_TRUE(ReadFromPipe("s3cret\r\nnext line\n", 511, &pw, &error)) << error;
  EXPECT_EQ("s3cret", pw);
  ASSERT_TRUE(ReadFromPipe("\n", 511, &pw, &error)) << error;
  EXPECT_EQ("", pw);  // an empty line is an empty password, not a failure

  EXPECT_FALSE(ReadFromPipe("", 511, &pw, &error));
  EXPECT_NE(std::string::npos, error.find("no password"));
  EXPECT_FALSE(ReadFromPipe("12345\n", 4, &pw, &error));
  EXPECT_NE(std::string::npos, error.find("longer than 4"));
  EXPECT_FALSE(ReadFromPipe(std::string("a\0b\n", 4), 511, &pw, &error));
}

TEST(PasswordTest, TerminalDoesNotEchoThePasswordAndGetsItsEchoBack) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);

  std::string pw, error;
  bool ok = false;
  std::thread reader([&] { ok = ReadPassword(slave, "", 511, &pw, &error); });
  // Type only once echo is off, as a person would after the prompt.
  struct termios t;
  for (int i = 0; i < 500 && tcgetattr(slave, &t) == 0 && (t.c_lflag & ECHO) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(0u, t.c_lflag & ECHO);
  ASSERT_EQ(8, write(master, "hunter2\n", 8));
  reader.join();
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ("hunter2", pw);

  char shown[64] = {};
  const ssize_t n = read(master, shown, sizeof shown - 1);
  EXPECT_EQ(std::string::npos, std::string(shown, n > 0 ? static_cast<size_t>(n) : 0).find("hunter2"));
  ASSERT_EQ(0, tcgetattr(slave, &t));
  EXPECT_NE(0u, t.c_lflag & ECHO);
  close(slave);
  close(master);
}

TEST(PasswordTest, EncryptsWithYescryptUnlessTheOldFormIsAsked) {
  std::string stored, error;
  ASSERT_TRUE(EncryptPassword("secret", false, &stored, &error)) << error;
  EXPECT_EQ(stored.rfind("$y$", 0), 0u) << stored;
  ASSERT_TRUE(EncryptPassword("secret", true, &stored, &error)) << error;
  EXPECT_EQ(stored, xCrypt("secret", "zQ"));
}

TEST(PasswordTest, ReportsAPasswordThatDidNotReachTheDisk) {
  kqs::ScratchDir dir;
  std::string error;
  const std::string ini = dir / "kqsd.ini";
  ASSERT_TRUE(kqs::ScratchDir::WriteFile(ini, "[ACCESS]\nPasswd=zQold.hash.xx\n"));
  for (const char* failing : {"fsync", "close"}) {
    {
      kqs::FakeEnv env;
      env.fault = [&](const std::string& op, const std::string&) { return op == failing ? EIO : 0; };
      EXPECT_FALSE(StoreAdminPassword(ini, "zQabcdefghijk", &error)) << failing;
      IniCleanup();
    }
    EXPECT_NE(std::string::npos, error.find("cannot write")) << error;
    EXPECT_NE(std::string::npos, kqs::ScratchDir::ReadFile(ini).find("zQold.hash.xx")) << failing;
  }
  // Stored under umask 077 the file keeps its mode: the daemon's group must
  // still read the password.
  struct stat st{};
  const mode_t mask = umask(077);
  EXPECT_TRUE(chmod(ini.c_str(), 0640) == 0 && StoreAdminPassword(ini, "zQabcdefghijk", &error)) << error;
  umask(mask);
  EXPECT_TRUE(stat(ini.c_str(), &st) == 0 && (st.st_mode & 07777) == 0640) << std::oct << st.st_mode;
}

TEST(PasswordTest, CreatesAMissingFileForRootAndTheDaemonAloneAndKeepsComments) {
  kqs::ScratchDir dir;
  std::string error;
  const std::string ini = dir / "kqsd.ini";
  ASSERT_TRUE(StoreAdminPassword(ini, "zQabcdefghijk", &error)) << error;
  struct stat st;
  ASSERT_EQ(stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 7u) << "not the group of lp, the daemon's account without a User setting";
  EXPECT_EQ(kqs::ScratchDir::ReadFile(ini), "[ACCESS]\nPasswd=zQabcdefghijk\n");

  const std::string before = "; the daemon's settings\n[LP Service]\nRoot=/x\n[Access]\n; the hash\n passwd = old\nEnforce=1\n";
  ASSERT_TRUE(kqs::ScratchDir::WriteFile(ini, before));
  ASSERT_EQ(chmod(ini.c_str(), 0600), 0);
  ASSERT_TRUE(StoreAdminPassword(ini, "zQnew.hash.xx", &error)) << error;
  EXPECT_EQ(kqs::ScratchDir::ReadFile(ini), std::regex_replace(before, std::regex(" passwd = old"), "Passwd=zQnew.hash.xx"));
  ASSERT_EQ(stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  IniCleanup();
}

}  // namespace
}  // namespace kqsctl
