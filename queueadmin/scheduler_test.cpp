// Scheduler control on a fake clock: what is run, and how long it waits for
// the lock file to come or go.
#include "queueadmin/scheduler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/testing/fake_env.h"
#include "common/testing/scratch_dir.h"
#include "queueadmin/lppaths.h"

namespace kqs {
namespace {

TEST(Scheduler, RunsOnlyWhatIsNeededAndWaitsForTheLockAtMostThirtyPauses) {
  ScratchDir dir;
  ASSERT_EQ(SetLpRoot(dir.path().c_str()), 0);
  std::filesystem::create_directories(dir / "var/spool/lp");
  const std::string lock = dir / "var/spool/lp/SCHEDLOCK";
  auto setLock = [&](bool present) { present ? void(ScratchDir::WriteFile(lock, "")) : void(unlink(lock.c_str())); };
  FakeEnv env;
  env.UseFakeClock(1000);
  int exitCode = 0;  // the LP commands answer this instead of running
  env.run_hook = [&](const FakeEnv::Argv&) { return exitCode; };

  EXPECT_EQ(ShutSched(), 1);
  EXPECT_TRUE(env.Commands().empty());
  int pauses = 0;
  env.on_sleep = [&](int) {
    if (++pauses == 2) setLock(true);
  };
  EXPECT_EQ(StartSched(), 1);
  EXPECT_EQ(StartSched(), 1) << "already running: nothing to run";
  env.on_sleep = [&](int) { setLock(false); };
  EXPECT_EQ(ShutSched(), 1);
  EXPECT_EQ(env.Commands(), (std::vector<FakeEnv::Argv>{{dir / "usr/lib/lpsched"}, {dir / "usr/lib/lpshut"}}));
  EXPECT_EQ(env.Sleeps(), (std::vector<int>{500, 500, 500}));

  // A lock that never comes or never goes: thirty pauses, then failure.
  env.on_sleep = nullptr;
  EXPECT_EQ(StartSched(), 0);
  EXPECT_EQ(env.Sleeps(), std::vector<int>(33, 500));
  EXPECT_EQ(env.NowMillis(), 1000 + 33 * 500);
  setLock(true);
  EXPECT_EQ(ShutSched(), 0);
  EXPECT_EQ(env.Sleeps().size(), 63u);
  // A command that fails is not waited for.
  exitCode = 1;
  EXPECT_EQ(ShutSched(), 0);
  setLock(false);
  EXPECT_EQ(StartSched(), 0);
  EXPECT_EQ(env.Sleeps().size(), 63u);
  SetLpRoot("");
}

}  // namespace
}  // namespace kqs
