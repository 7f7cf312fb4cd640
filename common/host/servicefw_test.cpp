// Service framework: the SIGTERM wait and stop sequence, a failed start, the
// detached daemon's process set-up, and the service-side log calls. Each
// service runs in a forked child so that signals and exits stay out of the
// test process.
#include "common/host/servicefw.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/host/eventlog.h"
#include "common/host/sysinfo.h"
#include "common/testing/scratch_dir.h"

namespace {

using namespace std::chrono_literals;

// Where the routines below leave their traces (set before forking).
std::string g_trace_dir;
int g_begin_result = 0;
int g_begin_delay_ms = 0;

void Touch(const std::string& name, const std::string& content = "") {
  kqs::ScratchDir::WriteFile(g_trace_dir + "/" + name, content);
}

bool WaitForFile(const std::string& path, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (kqs::ScratchDir::Exists(path)) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

// Reaps pid within limit; returns its wait status, or -1 when it did not end.
int WaitForExit(pid_t pid, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return -1;
    std::this_thread::sleep_for(5ms);
  }
  return -1;
}

std::string FdTarget(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[256] = "";
  ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, n) : std::string();
}

bool Ignored(int sig) {
  struct sigaction sa;
  sigaction(sig, nullptr, &sa);
  return sa.sa_handler == SIG_IGN;
}

int TestBegin() {
  Touch("begin-started");
  if (g_begin_delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(g_begin_delay_ms));
  mode_t mask = umask(0);
  umask(mask);
  std::string report = std::to_string(getpid()) + "\n" + std::to_string(getsid(0)) + "\n" +
                       FdTarget(0) + "\n" + FdTarget(1) + "\n" + FdTarget(2) + "\n" +
                       std::to_string(mask) + "\n" + (Ignored(SIGHUP) ? "hup-ignored" : "hup") +
                       "\n" + (Ignored(SIGPIPE) ? "pipe-ignored" : "pipe") + "\n" +
                       gszServiceExeName + "\n" + gszServiceCatName + "\n";
  Touch("report.tmp", report);
  rename((g_trace_dir + "/report.tmp").c_str(), (g_trace_dir + "/report").c_str());
  return g_begin_result;
}

void TestEnd() { Touch("end", ServiceIsShutdown() ? "shutdown" : "running"); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(text.substr(start, nl - start));
  return out;
}

pid_t ForkService() {
  pid_t pid = fork();
  if (pid == 0) {
    ServiceSetRoutines(TestBegin, TestEnd);
    ServiceStart();
    _exit(kqs::ScratchDir::Exists(g_trace_dir + "/end") ? 10 : 11);
  }
  return pid;
}

TEST(ServiceFramework, SigtermDuringStartStillStopsInOrder) {
  kqs::ScratchDir dir;
  g_trace_dir = dir.path();
  g_begin_result = 0;
  g_begin_delay_ms = 300;  // the signal arrives while the start routine runs
  pid_t pid = ForkService();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitForFile(dir / "begin-started", 5000ms));
  kill(pid, SIGTERM);
  int status = WaitForExit(pid, 8000ms);
  ASSERT_NE(status, -1);
  ASSERT_TRUE(WIFEXITED(status)) << "the signal ended the process instead of the stop routine";
  EXPECT_EQ(WEXITSTATUS(status), 10);
  EXPECT_EQ(kqs::ScratchDir::ReadFile(dir / "end"), "shutdown");
}

TEST(ServiceFramework, FailedStartReturnsWithoutWaitingOrStopping) {
  kqs::ScratchDir dir;
  g_trace_dir = dir.path();
  g_begin_result = -1;
  g_begin_delay_ms = 0;
  pid_t pid = ForkService();
  ASSERT_GT(pid, 0);
  int status = WaitForExit(pid, 5000ms);
  if (status == -1) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  ASSERT_NE(status, -1) << "ServiceStart waited for a signal after a failed start";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 11);
}

TEST(ServiceFramework, StartBackgroundDetachesAndIgnoresHangupUntilSigterm) {
  // The daemon is the grandchild: become the subreaper so that it is
  // reparented to this process and can be reaped here.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  kqs::ScratchDir dir;
  g_trace_dir = dir.path();
  g_begin_result = 0;
  g_begin_delay_ms = 0;
  ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
  std::string argv0 = dir / "bin/kqsd";
  pid_t starter = fork();
  if (starter == 0) {
    char* argv[] = {argv0.data(), nullptr};
    xRegisterArguments(1, argv);
    ServiceSetRoutines(TestBegin, TestEnd);
    ServiceStartBackground(1, argv, "KQSManager", "display", "RPCSS");
  }
  ASSERT_GT(starter, 0);
  int status = WaitForExit(starter, 5000ms);
  ASSERT_TRUE(status != -1 && WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  ASSERT_TRUE(WaitForFile(dir / "report", 5000ms));
  auto report = Lines(kqs::ScratchDir::ReadFile(dir / "report"));
  ASSERT_EQ(report.size(), 10u);
  pid_t daemon = std::stoi(report[0]);
  EXPECT_NE(std::stoi(report[1]), getsid(0)) << "still in the starter's session";
  EXPECT_NE(std::stoi(report[1]), daemon) << "a session leader can regain a terminal";
  EXPECT_EQ(report[2], "/dev/null");
  EXPECT_EQ(report[3], "/dev/null");
  EXPECT_EQ(report[4], "/dev/null");
  EXPECT_EQ(report[5], std::to_string(022));
  EXPECT_EQ(report[6], "hup-ignored");
  EXPECT_EQ(report[7], "pipe-ignored");
  EXPECT_EQ(report[8], dir / "bin/kqsd");
  EXPECT_EQ(report[9], dir / "bin/kqsd.cat");

  kill(daemon, SIGHUP);
  kill(daemon, SIGPIPE);
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(kqs::ScratchDir::Exists(dir / "end"));
  kill(daemon, SIGTERM);
  status = WaitForExit(daemon, 8000ms);
  ASSERT_TRUE(status != -1 && WIFEXITED(status)) << "daemon did not exit cleanly";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(kqs::ScratchDir::ReadFile(dir / "end"), "shutdown");
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

struct SeenEvent {
  unsigned short type;
  unsigned id;
  unsigned short count;
};
std::vector<SeenEvent> g_seen;
void Observe(unsigned short type, unsigned id, unsigned short count, const char*) {
  g_seen.push_back({type, id, count});
}

TEST(ServiceFramework, ServiceLogPassesTheLevelFilterWhateverItWas) {
  g_seen.clear();
  EventLogObserver previous = EventLogSetObserverForTesting(Observe);
  EventLogSetLevel(2);  // information would normally be dropped
  ServiceLog(EVENTLOG_INFORMATION_TYPE, 2);
  ServiceLog1(EVENTLOG_WARNING_TYPE, 200, reinterpret_cast<uintptr_t>("port"));
  EventLogSetObserverForTesting(previous);
  ASSERT_EQ(g_seen.size(), 2u);
  EXPECT_EQ(g_seen[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(g_seen[0].id, 2u);
  EXPECT_EQ(g_seen[1].id, 200u);
  EXPECT_EQ(g_seen[1].count, 1);
  EventLogSetLevel(0);
}

}  // namespace
