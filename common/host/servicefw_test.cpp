// Service framework: the SIGTERM wait and stop sequence. The service runs in
// a forked child so that signals and exits stay out of the test process.
// Detaching is exercised by the daemon's own end-to-end tests.
#include "common/host/servicefw.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

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

}  // namespace
