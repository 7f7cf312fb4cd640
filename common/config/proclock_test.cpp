// Locked opens between real processes, the retry schedule, lock file names
// and process critical sections.
#include "common/config/proclock.h"

#include <unistd.h>

#include <string>
#include <thread>

#include "common/testing/fake_env.h"
#include "common/testing/run.h"
#include "common/testing/scratch_dir.h"
#include "gtest/gtest.h"

namespace {

using kqs::RunInChild;
using kqs::ScratchDir;

TEST(QvfsOpen, ReadersShareAndAWriterWaitsOnlyForABusyLockUntilItsTimeOut) {
  ScratchDir dir;
  const std::string file = dir / "shared.ini";
  ASSERT_TRUE(ScratchDir::WriteFile(file, "content"));
  FILE* mine = qvfsopenA(file.c_str(), "r", kLockShared, 0);
  ASSERT_NE(mine, nullptr);

  // Another process, on a fake clock: it reads too; as a writer it tries once
  // before each 100 ms pause (the last one shorter) and none after the last;
  // a missing file or a bad lock type is no reason to wait.
  EXPECT_EQ(RunInChild([&] {
              kqs::FakeEnv env;
              env.UseFakeClock(0);
              int tries = 0;
              env.fault = [&](const std::string& op, const std::string&) { return tries += op == "fopen:r+", 0; };
              int error = 0;
              if (qvfsopenA(file.c_str(), "r", kLockShared, 0) == nullptr) return 1;
              if (_qvfsopen(file.c_str(), "w", kLockExclusive, &error) != nullptr || error != kOpenLockBusy) return 2;
              tries = 0;
              if (qvfsopen(file.c_str(), "w", kLockExclusive, 250) != nullptr) return 3;
              if (env.Sleeps() != std::vector<int>({100, 100, 50}) || tries != 3) return 4;
              tries = 0;
              if (qvfsopen(file.c_str(), "w", kLockExclusive, 0) != nullptr || tries != 1) return 5;
              if (qvfsopenA((dir / "missing").c_str(), "r", kLockShared, 10000) != nullptr) return 6;
              if (_qvfsopen(file.c_str(), "w", 1, &error) != nullptr || error != kOpenBadLockType) return 7;
              return env.Sleeps().size() == 3 ? 0 : 8;
            }),
            0);
  EXPECT_EQ(ScratchDir::ReadFile(file), "content") << "a refused writer emptied the file";

  // On the real clock a waiting writer gets in once the reader lets go.
  std::thread release([&] {
    usleep(200 * 1000);
    fclose(mine);
  });
  EXPECT_EQ(RunInChild([&] { return qvfsopen(file.c_str(), "w", kLockExclusive, 10000) != nullptr ? 0 : 1; }), 0);
  release.join();
  EXPECT_EQ(ScratchDir::ReadFile(file), "");
}

TEST(ProcessCriticalSection, ExcludesOtherProcessesUntilLeftUnderAnyLetterCase) {
  const std::pair<const char*, const char*> names[] = {
      {"data", "data._ck"}, {"a.b.c", "a.b._c"}, {"x.", "x._"}, {"/etc/.profile", "/etc/.profile._ck"}};
  for (const auto& [name, expected] : names) {
    char buffer[255];
    EXPECT_EQ(BuildLockPath(name, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, expected) << name;
  }

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
