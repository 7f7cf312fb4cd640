// Process plumbing for tests, in one place: running a program and collecting
// what it printed, starting one in the background, running code in a child
// (as lp if asked), waiting with a limit and entering a private network
// namespace.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kqs {

// The account lp, which the daemon and the LP commands run as.
inline constexpr uid_t kLpUid = 7;
inline constexpr gid_t kLpGid = 7;

struct RunResult {
  int status = -1;  // exit status; -1 when the program did not exit normally
  std::string out, err;
  std::string all() const { return out + err; }
};

// Runs argv[0] (no shell; PATH is searched only for a name without '/') with
// stdin_text on its standard input and env entries ("NAME=value") added to
// this process's environment, and waits for it.
RunResult Run(const std::vector<std::string>& argv, const std::string& stdin_text = "",
              const std::vector<std::string>& env = {});

// Starts argv like Run without waiting for it, its standard output and error
// appended to the file log ("": this process's own). Returns its pid, or -1.
pid_t Launch(const std::vector<std::string>& argv, const std::string& log = "");

// Runs fn in a forked child, as lp when asLp, and returns fn's result
// (0..255), or -1 when the child died or could not become lp.
int RunInChild(const std::function<int()>& fn, bool asLp = false);

// The wait status of pid reaped within limit, or -1 when it did not end.
int WaitForExit(pid_t pid, std::chrono::milliseconds limit);
// True for a wait status of a normal exit with status 0.
bool ExitedWithZero(int status);
// SIGTERM to pid (a child of this process) and its wait status when it ended
// within limit; otherwise it is killed, reaped and -1 returned.
int Terminate(pid_t pid, std::chrono::milliseconds limit);

// The daemon's installed service account: made (a system account with its
// own group, as the install makes it) when missing. Its ids, or false when
// it cannot be made; needs root.
inline constexpr char kServiceAccount[] = "kqsd";
bool EnsureServiceAccount(uid_t* uid, gid_t* gid);

// Moves the calling process into a new network namespace with only loopback,
// brought up. Call before any thread is started; needs root.
bool EnterPrivateNetNamespace();

}  // namespace kqs
