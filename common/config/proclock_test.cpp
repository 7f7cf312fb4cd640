// Locked opens between real processes, the retry schedule, lock file names
// and process critical sections.
#include "common/config/proclock.h"

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/config/child_testutil.h"
#include "common/testing/fake_env.h"
#include "common/testing/scratch_dir.h"
#include "gtest/gtest.h"

namespace {

using kqs::RunInChild;
using kqs::ScratchDir;
using kqs::SharedHolder;

TEST(QvfsOpen, OnlyALockHeldElsewhereIsWaitedFor) {
  ScratchDir dir;
  const std::string file = dir / "f.ini";
  ASSERT_TRUE(ScratchDir::WriteFile(file, "keep"));
  kqs::FakeEnv env;
  env.UseFakeClock(0);
  kqs::ScopedEnv scoped(&env);

  int error = -1;
  EXPECT_EQ(qvfsopenA((dir / "missing").c_str(), "r", kLockShared, 10000), nullptr);
  EXPECT_EQ(_qvfsopen((dir / "missing").c_str(), "r", kLockShared, &error), nullptr);
  EXPECT_EQ(error, kOpenFailed);
  EXPECT_EQ(_qvfsopen(file.c_str(), "w", 1, &error), nullptr);
  EXPECT_EQ(error, kOpenBadLockType);
  EXPECT_TRUE(env.Sleeps().empty());
  EXPECT_EQ(ScratchDir::ReadFile(file), "keep");
}

TEST(QvfsOpen, ReadersShareAndAWriterWaitsUntilItsTimeOut) {
  ScratchDir dir;
  const std::string file = dir / "shared.ini";
  ASSERT_TRUE(ScratchDir::WriteFile(file, "content"));
  SharedHolder other(file);
  FILE* mine = qvfsopenA(file.c_str(), "r", kLockShared, 0);
  ASSERT_NE(mine, nullptr);

  // A writer: one try before each 100 ms pause (the last one shorter), none
  // after the last, and the content left alone while refused.
  EXPECT_EQ(RunInChild([&] {
              kqs::FakeEnv env;
              env.UseFakeClock(0);
              int tries = 0;
              env.fault = [&](const std::string& op, const std::string&) { return tries += op == "fopen:r+", 0; };
              kqs::ScopedEnv scoped(&env);
              int error = 0;
              if (_qvfsopen(file.c_str(), "w", kLockExclusive, &error) != nullptr || error != kOpenLockBusy) return 1;
              tries = 0;
              if (qvfsopen(file.c_str(), "w", kLockExclusive, 250) != nullptr) return 2;
              if (env.Sleeps() != std::vector<int>({100, 100, 50}) || tries != 3) return 3;
              tries = 0;
              return qvfsopen(file.c_str(), "w", kLockExclusive, 0) == nullptr && tries == 1 ? 0 : 4;
            }),
            0);
  EXPECT_EQ(ScratchDir::ReadFile(file), "content");

  // On the real clock the writer gives up after its time-out...
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunInChild([&] { return qvfsopen(file.c_str(), "w", kLockExclusive, 300) == nullptr ? 0 : 1; }), 0);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_LT(waited, std::chrono::seconds(10));

  // ...and gets in once the readers let go while it waits.
  fclose(mine);
  std::thread release([&] {
    usleep(200 * 1000);
    EXPECT_EQ(other.Release(), 0);
  });
  EXPECT_EQ(RunInChild([&] { return qvfsopen(file.c_str(), "w", kLockExclusive, 10000) != nullptr ? 0 : 1; }), 0);
  release.join();
  EXPECT_EQ(ScratchDir::ReadFile(file), "");
}

TEST(BuildLockPath, ChangesOnlyTheLastExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"data", "data._ck"}, {"a.b.c", "a.b._c"}, {"x.", "x._"}, {"/etc/.profile", "/etc/.profile._ck"}};
  for (const auto& [name, expected] : cases) {
    char buffer[255];
    EXPECT_EQ(BuildLockPath(name, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, expected) << name;
  }
}

TEST(ProcessCriticalSection, ExcludesOtherProcessesUntilLeftUnderAnyLetterCase) {
  ScratchDir dir;
  const std::string name = dir / "Shared.ini";
  auto otherProcessEnters = [&] { return RunInChild([&] { return EnterProcessCriticalSection(name.c_str(), 0); }); };

  ASSERT_EQ(EnterProcessCriticalSection(name.c_str(), 0), 1);
  EXPECT_TRUE(ScratchDir::Exists(dir / "Shared._ni"));
  EXPECT_EQ(otherProcessEnters(), 0);
  EXPECT_EQ(LeaveProcessCriticalSection((dir / "other.ini").c_str()), 0);

  EXPECT_EQ(LeaveProcessCriticalSection((dir / "SHARED.INI").c_str()), 1);
  EXPECT_FALSE(ScratchDir::Exists(dir / "Shared._ni"));
  EXPECT_EQ(LeaveProcessCriticalSection(name.c_str()), 0);
  EXPECT_EQ(otherProcessEnters(), 1);
  FileLock_CS_DeInit();
}

}  // namespace
