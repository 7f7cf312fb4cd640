// Scheduler control on a fake clock: what is run, and how long it waits for
// the lock file to come or go.
#include "queueadmin/scheduler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/testing/fake_env.h"
#include "common/testing/scratch_dir.h"
#include "queueadmin/lppaths.h"

namespace kqs {
namespace {

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SetLpRoot(dir_.path().c_str()), 0);
    std::filesystem::create_directories(dir_ / "var/spool/lp");
    env_.UseFakeClock(1000);
    // The LP commands answer from this table instead of running.
    env_.run_hook = [this](const FakeEnv::Argv&) { return exit_code_; };
  }
  void TearDown() override { SetLpRoot(""); }

  void SetLock(bool present) {
    present ? void(ScratchDir::WriteFile(lock_, "")) : void(unlink(lock_.c_str()));
  }

  ScratchDir dir_;
  std::string lock_ = dir_ / "var/spool/lp/SCHEDLOCK";
  FakeEnv env_;
  ScopedEnv scoped_{&env_};
  int exit_code_ = 0;
};

TEST_F(SchedulerTest, RunsOnlyWhatIsNeededAndStopsWaitingOnceTheLockChanges) {
  EXPECT_EQ(ShutSched(), 1);
  EXPECT_TRUE(env_.Commands().empty());
  int pauses = 0;
  env_.on_sleep = [&](int) {
    if (++pauses == 2) SetLock(true);
  };
  EXPECT_EQ(StartSched(), 1);
  EXPECT_EQ(StartSched(), 1) << "already running: nothing to run";
  env_.on_sleep = [this](int) { SetLock(false); };
  EXPECT_EQ(ShutSched(), 1);
  EXPECT_EQ(env_.Commands(),
            (std::vector<FakeEnv::Argv>{{dir_ / "usr/lib/lpsched"}, {dir_ / "usr/lib/lpshut"}}));
  EXPECT_EQ(env_.Sleeps(), (std::vector<int>{500, 500, 500}));
}

TEST_F(SchedulerTest, GivesUpAfterThirtyPausesOrAtOnceWhenTheCommandFails) {
  EXPECT_EQ(StartSched(), 0);
  EXPECT_EQ(env_.Sleeps(), std::vector<int>(30, 500));
  EXPECT_EQ(env_.NowMillis(), 1000 + 15000);

  SetLock(true);
  EXPECT_EQ(ShutSched(), 0);
  EXPECT_EQ(env_.Sleeps().size(), 60u);

  exit_code_ = 1;
  EXPECT_EQ(ShutSched(), 0);
  SetLock(false);
  EXPECT_EQ(StartSched(), 0);
  EXPECT_EQ(env_.Sleeps().size(), 60u) << "a failed command is not waited for";
}

}  // namespace
}  // namespace kqs
