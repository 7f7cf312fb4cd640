// Service framework: the SIGTERM wait and stop sequence. The service runs in
// a forked child so that signals and exits stay out of the test process.
// Detaching is exercised by the daemon's own end-to-end tests.
#include "common/host/servicefw.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <tuple>
#include <thread>

#include "common/testing/run.h"
#include "common/testing/scratch_dir.h"

namespace {

using namespace std::chrono_literals;

// Where the routines below leave their traces (set before forking).
std::string g_trace_dir;

void Touch(const std::string& name, const std::string& content = "") {
  kqs::ScratchDir::WriteFile(g_trace_dir + "/" + name, content);
}

int TestBegin() {
  Touch("begin-started");
  std::this_thread::sleep_for(300ms);  // long enough for SIGTERM to arrive meanwhile
  return 0;
}

void TestEnd() { Touch("end", ServiceIsShutdown() ? "shutdown" : "running"); }

TEST(ServiceFramework, SigtermDuringStartStillStopsInOrder) {
  kqs::ScratchDir dir;
  g_trace_dir = dir.path();
  pid_t pid = fork();
  if (pid == 0) {
    ServiceSetRoutines(TestBegin, TestEnd);
    ServiceStart();
    _exit(kqs::ScratchDir::Exists(g_trace_dir + "/end") ? 10 : 11);
  }
  ASSERT_GT(pid, 0);
  for (int i = 0; i < 1000 && !kqs::ScratchDir::Exists(dir / "begin-started"); ++i)
    std::this_thread::sleep_for(5ms);
  kill(pid, SIGTERM);
  int status = 0;
  pid_t ended = 0;
  for (int i = 0; i < 1600 && (ended = waitpid(pid, &status, WNOHANG)) == 0; ++i)
    std::this_thread::sleep_for(5ms);
  if (ended == 0) kill(pid, SIGKILL), waitpid(pid, &status, 0);
  ASSERT_EQ(ended, pid) << "the service did not stop";
  ASSERT_TRUE(WIFEXITED(status)) << "the signal ended the process instead of the stop routine";
  EXPECT_EQ(WEXITSTATUS(status), 10);
  EXPECT_EQ(kqs::ScratchDir::ReadFile(dir / "end"), "shutdown");
}

// A saved user or group id of root, or no switch at all, leaves root within reach.
TEST(ServiceFramework, ASwitchThatLeavesRootWithinReachIsSeen) {
  for (const auto& [uid, gid, regainable] : {std::tuple{7, 7, 0}, {0, 7, 1}, {7, 0, 1}}) {
    EXPECT_EQ(kqs::RunInChild([=] {
      return setgroups(0, nullptr) || setresgid(7, 7, gid) || setresuid(7, 7, uid) ? 99 : ServiceCanRegainRoot();
    }), regainable) << uid << " " << gid;
  }
  EXPECT_EQ(kqs::RunInChild(ServiceCanRegainRoot), 1);
}

}  // namespace
