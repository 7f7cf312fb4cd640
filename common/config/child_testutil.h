// Test helpers for locks between processes: run a body in a forked child,
// or keep a shared lock held by another process while a test runs.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "common/config/proclock.h"

namespace kqs {

// Runs body in a forked child; returns its exit code (body's result), or -1.
inline int RunInChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Another process that holds a shared lock on path from construction until
// Release().
class SharedHolder {
 public:
  explicit SharedHolder(const std::string& path) {
    if (pipe(locked_) != 0 || pipe(release_) != 0) return;
    pid_ = fork();
    char c = 'x';
    if (pid_ == 0) {
      FILE* f = qvfsopenA(path.c_str(), "r", kLockShared, 0);
      (void)!write(locked_[1], &c, 1);
      (void)!read(release_[0], &c, 1);
      _exit(f != nullptr ? 0 : 1);
    }
    (void)!read(locked_[0], &c, 1);
  }
  SharedHolder(const SharedHolder&) = delete;
  SharedHolder& operator=(const SharedHolder&) = delete;

  // The child's exit code: 0 when it did hold the lock.
  int Release() {
    (void)!write(release_[1], "x", 1);
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    for (int fd : {locked_[0], locked_[1], release_[0], release_[1]}) close(fd);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  int locked_[2] = {-1, -1}, release_[2] = {-1, -1};
  pid_t pid_ = -1;
};

}  // namespace kqs
