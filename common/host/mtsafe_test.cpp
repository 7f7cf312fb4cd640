// Tests of xSystem, which runs the LP commands: exit codes, what the child
// can reach, and the time limit. Its word splitting shows in the commands
// the queue tests record.
#include "common/host/mtsafe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "common/host/env.h"
#include "common/testing/scratch_dir.h"

namespace {

using kqs::ScratchDir;

std::string WriteScript(const ScratchDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir / name;
  ScratchDir::WriteFile(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
  return path;
}

TEST(XSystemTest, ChildGetsItsArgumentsAndExitCodeButNotTheDaemonsDescriptorsNorSignalMask) {
  ScratchDir dir;
  EXPECT_EQ(3, xSystem(WriteScript(dir, "exit3", "exit 3\n").c_str()));
  EXPECT_EQ(-1, xSystem(WriteScript(dir, "killed", "kill -9 $$\n").c_str()));
  EXPECT_NE(0, xSystem((dir / "missing").c_str()));
  EXPECT_NE(0, xSystem("true")) << "no PATH search: a bare name is looked up in the current directory only";

  const std::string leak = dir / "leak", report = dir / "report";
  const int fd = open(leak.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_TRUE(fd >= 3 && fd <= 59) << fd;
  const int high = fcntl(fd, F_DUPFD, 1000);  // far up too, where a busy daemon's sockets are
  ASSERT_GE(high, 1000);
  const std::string probe = WriteScript(dir, "probe",
                                        "echo leaked >&" + std::to_string(fd) +
                                            "\n{ [ -e /proc/$$/fd/" + std::to_string(high) + " ] && echo leaked;"
                                            "  echo \"$#|$1|$2\"; readlink /proc/self/fd/0; umask;"
                                            "  while read -r k v; do case $k in SigBlk:|SigIgn:) printf '%s\\t%s\\n' $k $v;; esac; done < /proc/$$/status;"
                                            "  [ \"$(cut -d' ' -f5 /proc/$$/stat)\" = $$ ] && echo own group; } > " +
                                            report + "\n");
  // The daemon runs with SIGTERM blocked; its programs must not inherit that.
  // (The shell sets SIGCHLD back to its default itself, and reads its own
  // mask with a builtin: while it waits for a child it blocks everything.)
  sigset_t term, saved;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &saved);
  EXPECT_EQ(0, xSystem((probe + "  one two").c_str()));
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  close(fd);
  close(high);
  EXPECT_EQ("", ScratchDir::ReadFile(leak));
  EXPECT_EQ("2|one|two\n/dev/null\n0022\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000001\nown group\n",
            ScratchDir::ReadFile(report));

  // A listing is kept to its bound however much the program writes.
  std::string flood = WriteScript(dir, "flood", "head -c 100000 /dev/zero\n"), out;
  char* argv[] = {flood.data(), nullptr};
  EXPECT_EQ(0, kqs::CurrentEnv()->RunProgramOutput(argv, 0, &out, 100));
  EXPECT_EQ(std::string(100, '\0'), out);
}

TEST(XSystemTest, TimeLimitAndShutdownEndTheProgramWithEverythingItStarted) {
  ScratchDir dir;
  const std::string late = dir / "late";
  const std::string hang = WriteScript(dir, "hang", "(sleep 1; echo late > " + late + ") & sleep 30\n");
  nCommandTimeoutMs = 200;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, xSystem(hang.c_str()));
  nCommandTimeoutMs = 0;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

  // Shutdown ends a program another thread waits for without a limit.
  int rc = 0;
  std::thread waiter([&] { rc = xSystem(hang.c_str()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kqs::CurrentEnv()->TerminatePrograms();
  waiter.join();
  EXPECT_EQ(-1, rc);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_FALSE(ScratchDir::Exists(late)) << "a background child of a stopped program finished later";
}

}  // namespace
