// Locked opens between real processes (the INI store's, so a password
// change never meets a half-read file), and process critical sections.
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

  // Another process, on a fake clock: it reads too; as a writer it waits out
  // its time-out and gives up; a missing file is no reason to wait.
  EXPECT_EQ(RunInChild([&] {
              kqs::FakeEnv env;
              env.UseFakeClock(0);
              if (qvfsopenA(file.c_str(), "r", kLockShared, 0) == nullptr) return 1;
              if (qvfsopen(file.c_str(), "w", kLockExclusive, 250) != nullptr) return 2;
              if (qvfsopenA((dir / "missing").c_str(), "r", kLockShared, 10000) != nullptr) return 3;
              return env.NowMillis() == 250 ? 0 : 4;
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

// No shipped program takes these sections: one pass shows they work.
TEST(ProcessCriticalSection, ExcludesOtherProcessesUntilLeft) {
  ScratchDir dir;
  const std::string name = dir / "Shared.ini";
  auto otherProcessEnters = [&] { return RunInChild([&] { return EnterProcessCriticalSection(name.c_str(), 0); }); };
  ASSERT_EQ(EnterProcessCriticalSection(name.c_str(), 0), 1);
  EXPECT_EQ(otherProcessEnters(), 0);
  EXPECT_EQ(LeaveProcessCriticalSection(name.c_str()), 1);
  EXPECT_EQ(otherProcessEnters(), 1);
  FileLock_CS_DeInit();
}

}  // namespace
