// Tests of xSystem (word splitting, exit codes, what the child can reach)
// and of the reentrant lookups' failure rules (zeroed results, bounds).
#include "common/host/mtsafe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "common/testing/fake_env.h"
#include "common/testing/scratch_dir.h"

namespace {

using kqs::FakeEnv;
using kqs::ScratchDir;

std::string WriteScript(const ScratchDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir / name;
  ScratchDir::WriteFile(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
  return path;
}

// The argv xSystem runs for line (nothing run: empty), with its result in *rc.
FakeEnv::Argv RunRecorded(const std::string& line, int* rc = nullptr) {
  FakeEnv env;
  env.run_hook = [](const FakeEnv::Argv&) { return 0; };
  const int result = xSystem(line.c_str());
  if (rc != nullptr) *rc = result;
  const auto commands = env.Commands();
  return commands.empty() ? FakeEnv::Argv{} : commands.front();
}

TEST(XSystemTest, SplitsOnSpacesOnlyAndCutsLongLines) {
  using V = FakeEnv::Argv;
  EXPECT_EQ(V({"/usr/lib/accept", "q1"}), RunRecorded("/usr/lib/accept  q1"));
  EXPECT_EQ(V({"/bin/x", "a\tb", "c"}), RunRecorded("   /bin/x a\tb    c  "));
  int rc = 0;
  EXPECT_TRUE(RunRecorded("    ", &rc).empty());
  EXPECT_EQ(-1, rc);

  std::string line = "/bin/x";
  for (int i = 1; i < 49; ++i) line += " w" + std::to_string(i);
  EXPECT_EQ(49u, RunRecorded(line, &rc).size());
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(RunRecorded(line + " w49", &rc).empty()) << "a 50th word must not be dropped silently";
  EXPECT_EQ(-1, rc);

  // The line is cut at 1023 characters before splitting; a word that starts
  // exactly at the cut is lost whole.
  const std::string prog = "/bin/x ";
  const FakeEnv::Argv argv = RunRecorded(prog + std::string(1023 - prog.size() + 10, 'a') + " next");
  ASSERT_EQ(2u, argv.size());
  EXPECT_EQ(1023u - prog.size(), argv[1].size());
  EXPECT_EQ(2u, RunRecorded(prog + std::string(1023 - prog.size(), 'b') + " next").size());
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
  const std::string probe = WriteScript(dir, "probe",
                                        "echo leaked >&" + std::to_string(fd) +
                                            "\n{ echo \"$#|$1|$2\"; readlink /proc/self/fd/0; umask;"
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
  EXPECT_EQ("", ScratchDir::ReadFile(leak));
  EXPECT_EQ("2|one|two\n/dev/null\n0022\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000001\nown group\n",
            ScratchDir::ReadFile(report));
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

TEST(MtSafeTest, UserAndGroupLookupsZeroEverythingWhenMissing) {
  auto zero = [](const void* p, size_t n) {
    return std::all_of(static_cast<const char*>(p), static_cast<const char*>(p) + n, [](char c) { return c == 0; });
  };
  struct passwd pw;
  std::array<char, 1024> buf;
  ASSERT_EQ(&pw, xGetpwnam("root", &pw, buf.data(), int(buf.size())));
  EXPECT_EQ(nullptr, xGetpwnam("no-such-user-kqs", &pw, buf.data(), int(buf.size())));
  EXPECT_TRUE(zero(&pw, sizeof pw) && zero(buf.data(), buf.size()));
  struct group gr;
  buf.fill('x');
  EXPECT_EQ(nullptr, xGetgrnam("no-such-group-kqs", &gr, buf.data(), int(buf.size())));
  EXPECT_TRUE(zero(&gr, sizeof gr) && zero(buf.data(), buf.size()));
  // A buffer too small for the record is a failure too, not a partial result.
  std::array<char, 4> tiny;
  EXPECT_EQ(nullptr, xGetpwnam("root", &pw, tiny.data(), int(tiny.size())));
  EXPECT_TRUE(zero(&pw, sizeof pw));
}

}  // namespace
