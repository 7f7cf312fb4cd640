// The real host behind the Env seam.
#include "common/host/env.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <vector>

namespace kqs {

Env::~Env() = default;

namespace {

// The child's side of RunProgram, between clone and exec. It shares the
// parent's memory (CLONE_VM) on a stack of its own, so it calls only system
// calls and writes nothing but its own stack (and errno).
struct ChildArgs {
  char* const* argv;
  int out;  // the write end of the output pipe, or -1 for /dev/null
  int err;  // the write end of the error pipe, or -1 for /dev/null
};

// Closes every descriptor from lowest up: close_range where the kernel has
// it, one by one up to the descriptor limit where it does not.
__attribute__((no_sanitize("address", "undefined"))) void CloseDescriptorsFrom(int lowest) {
  if (syscall(SYS_close_range, static_cast<unsigned>(lowest), ~0U, 0U) == 0) return;
  struct rlimit limit;
  const rlim_t top = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                         ? limit.rlim_cur : 65536;
  for (rlim_t fd = static_cast<rlim_t>(lowest); fd < top; ++fd) close(static_cast<int>(fd));
}

__attribute__((no_sanitize("address", "undefined"))) int ChildMain(void* arg) {
  char* const* argv = static_cast<ChildArgs*>(arg)->argv;
  const int out = static_cast<ChildArgs*>(arg)->out;
  const int err = static_cast<ChildArgs*>(arg)->err;
  int devnull = open("/dev/null", O_RDWR | O_APPEND);
  if (devnull >= 0) {
    dup2(out >= 0 ? out : devnull, STDOUT_FILENO);
    dup2(err >= 0 ? err : devnull, STDERR_FILENO);
    dup2(devnull, STDIN_FILENO);
  }
  CloseDescriptorsFrom(3);
  // A handler of the daemon must never run here: all signals are still
  // blocked, and each caught one goes back to its default before they are
  // unblocked. Ignored ones stay ignored, as across exec.
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction sa;
    if (sigaction(sig, nullptr, &sa) != 0) continue;
    const bool ignore = sig == SIGHUP || sig == SIGCHLD;
    const bool caught = (sa.sa_flags & SA_SIGINFO) != 0 ||
                        (sa.sa_handler != SIG_IGN && sa.sa_handler != SIG_DFL);
    if (!ignore && !caught) continue;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sa.sa_handler = ignore ? SIG_IGN : SIG_DFL;
    sigaction(sig, &sa, nullptr);
  }
  // A group of its own, so that a time limit or shutdown can end the program
  // together with whatever it started.
  setpgid(0, 0);
  umask(022);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv(argv[0], argv);
  _exit(127);
}

// The programs RunProgram waits for, by pid (which is also their group):
// a pid leaves the list before it is reaped, so a kill never reaches a
// process that merely reused the number.
class Running {
 public:
  void Add(pid_t pid) {
    std::lock_guard<std::mutex> lock(mu_);
    pids_.push_back(pid);
  }
  void Remove(pid_t pid) {
    std::lock_guard<std::mutex> lock(mu_);
    pids_.erase(std::remove(pids_.begin(), pids_.end(), pid), pids_.end());
  }
  void KillAll() {
    std::lock_guard<std::mutex> lock(mu_);
    for (pid_t pid : pids_) kill(-pid, SIGKILL);
  }

 private:
  std::mutex mu_;
  std::vector<pid_t> pids_;
};

// Waits until pid has ended, without reaping it; at timeoutMs (0: none) kills
// its group first. False when the wait failed.
bool WaitEnded(pid_t pid, int timeoutMs) {
  if (timeoutMs > 0) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
      struct pollfd p{pidfd, POLLIN, 0};
      int r;
      do {
        r = poll(&p, 1, timeoutMs);
      } while (r < 0 && errno == EINTR);
      close(pidfd);
      if (r == 0) kill(-pid, SIGKILL);
    }
  }
  siginfo_t info;
  int r;
  do {
    r = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  return r == 0;
}

// Reads the pipe in until every writer has closed it, or until timeoutMs (0:
// no limit) have passed; false when the time ran out.
bool ReadOutput(int in, std::string* output, size_t maxBytes, int timeoutMs) {
  const int64_t start = [] {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }();
  char buf[8192];
  for (;;) {
    int wait = -1;
    if (timeoutMs > 0) {
      struct timespec ts;
      clock_gettime(CLOCK_MONOTONIC, &ts);
      const int64_t spent = int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000 - start;
      if (spent >= timeoutMs) return false;
      wait = static_cast<int>(timeoutMs - spent);
    }
    struct pollfd p{in, POLLIN, 0};
    const int r = poll(&p, 1, wait);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return r == 0 ? false : true;
    const ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    const size_t room = maxBytes > output->size() ? maxBytes - output->size() : 0;
    output->append(buf, std::min(room, size_t(n)));
  }
}

class PosixEnv final : public Env {
 public:
  int RunProgram(char* const argv[], int timeoutMs, char* errors, size_t errorsSize) override {
    return Run(argv, timeoutMs, nullptr, 0, errors, errorsSize);
  }

  int RunProgramOutput(char* const argv[], int timeoutMs, std::string* output, size_t maxBytes) override {
    return Run(argv, timeoutMs, output, maxBytes, nullptr, 0);
  }

  void TerminatePrograms() override { running_.KillAll(); }

  int Stat(const char* path, struct stat* st) override { return ::stat(path, st); }
  int Lstat(const char* path, struct stat* st) override { return ::lstat(path, st); }
  // Every descriptor is close-on-exec: none may reach a program the daemon runs.
  int Open(const char* path, int flags, mode_t mode) override { return ::open(path, flags | O_CLOEXEC, mode); }
  FILE* FOpen(const char* path, const char* mode) override {
    char withCloexec[16];
    if (std::snprintf(withCloexec, sizeof withCloexec, "%se", mode) >= int(sizeof withCloexec)) {
      errno = EINVAL;
      return nullptr;
    }
    return std::fopen(path, withCloexec);
  }
  int Rename(const char* from, const char* to) override { return std::rename(from, to); }
  int Unlink(const char* path) override { return ::unlink(path); }
  int Mkdir(const char* path, mode_t mode) override { return ::mkdir(path, mode); }
  int Chmod(const char* path, mode_t mode) override { return ::chmod(path, mode); }
  int Fsync(int fd) override { return ::fsync(fd); }
  int Close(int fd) override { return ::close(fd); }
  int FClose(FILE* stream) override { return std::fclose(stream); }
  ssize_t Readlink(const char* path, char* buffer, size_t size) override { return ::readlink(path, buffer, size); }

  int64_t NowMillis() override {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }

  int SleepMillis(int ms) override {
    if (ms < 0) return -1;
    struct timespec ts{ms / 1000, long(ms % 1000) * 1000000L};
    return nanosleep(&ts, nullptr) == 0 ? 0 : -1;
  }

 private:
  // clone(CLONE_VM | CLONE_VFORK) rather than fork: no copy of the daemon's
  // page tables for every LP command. posix_spawn would do that too, but it
  // cannot set the umask, nor ignore a signal that the daemon itself does not
  // ignore (SIGCHLD), and the child needs both.
  int Run(char* const argv[], int timeoutMs, std::string* output, size_t maxBytes, char* errors, size_t errorsSize) {
    if (argv == nullptr || argv[0] == nullptr) return -1;
    int pipe_fds[2] = {-1, -1};
    if (output != nullptr) {
      output->clear();
      if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
    }
    // Standard error: non-blocking at both ends, so a program that writes
    // more than the pipe holds loses the rest rather than waiting for a
    // reader, and whatever it started may keep the pipe open without holding
    // this thread.
    if (errors != nullptr && errorsSize > 0) errors[0] = '\0';
    int err_fds[2] = {-1, -1};
    if (errors != nullptr && errorsSize > 1 && pipe2(err_fds, O_CLOEXEC | O_NONBLOCK) != 0) err_fds[0] = err_fds[1] = -1;
    constexpr size_t kChildStack = 64 * 1024;
    std::vector<char> stack(kChildStack);
    ChildArgs args{argv, pipe_fds[1], err_fds[1]};
    // Blocked until the child has reset its handlers; the parent's own mask
    // comes back as soon as the child has exec'ed.
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    const pid_t pid = clone(ChildMain, stack.data() + stack.size(), CLONE_VM | CLONE_VFORK | SIGCHLD, &args);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    for (int fd : {pipe_fds[1], err_fds[1]}) {
      if (fd >= 0) close(fd);
    }
    if (pid < 0) {
      for (int fd : {pipe_fds[0], err_fds[0]}) {
        if (fd >= 0) close(fd);
      }
      return -1;
    }
    running_.Add(pid);
    bool in_time = true;
    if (output != nullptr) {
      in_time = ReadOutput(pipe_fds[0], output, maxBytes, timeoutMs);
      close(pipe_fds[0]);
      if (!in_time) kill(-pid, SIGKILL);
    }
    const bool ended = WaitEnded(pid, in_time ? timeoutMs : 0);
    running_.Remove(pid);
    if (err_fds[0] >= 0) {
      size_t got = 0;
      for (ssize_t n; got + 1 < errorsSize && ((n = read(err_fds[0], errors + got, errorsSize - 1 - got)) > 0 ||
                                             (n < 0 && errno == EINTR));) {
        if (n > 0) got += size_t(n);
      }
      errors[got] = '\0';
      close(err_fds[0]);
    }
    int status = 0;
    pid_t r;
    do {
      r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (!ended || !in_time || r < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return -1;
  }

  Running running_;
};

std::atomic<Env*> g_env{nullptr};

}  // namespace

Env* Env::Default() {
  static PosixEnv* env = new PosixEnv;
  return env;
}

Env* CurrentEnv() {
  Env* env = g_env.load(std::memory_order_acquire);
  return env != nullptr ? env : Env::Default();
}

Env* SetEnvForTesting(Env* env) {
  Env* previous = g_env.exchange(env, std::memory_order_acq_rel);
  return previous != nullptr ? previous : Env::Default();
}

}  // namespace kqs
