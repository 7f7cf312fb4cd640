// The real host behind the Env seam.
#include "common/host/env.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

namespace kqs {

Env::~Env() = default;

namespace {

class PosixEnv final : public Env {
 public:
  int RunProgram(char* const argv[]) override {
    if (argv == nullptr || argv[0] == nullptr) return -1;
    // Linux fork() copies only the calling thread, as the child set-up needs.
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
      // Only async-signal-safe calls between fork and exec.
      int devnull = open("/dev/null", O_RDWR | O_APPEND);
      if (devnull >= 0) {
        dup2(devnull, STDOUT_FILENO);
        dup2(devnull, STDERR_FILENO);
        dup2(devnull, STDIN_FILENO);
      }
      for (int fd = 3; fd <= 59; ++fd) close(fd);
      signal(SIGHUP, SIG_IGN);
      signal(SIGCHLD, SIG_IGN);
      errno = 0;
      umask(022);
      execv(argv[0], argv);
      _exit(127);
    }
    int status = 0;
    pid_t r;
    do {
      r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return -1;
  }

  int Stat(const char* path, struct stat* st) override { return ::stat(path, st); }
  FILE* FOpen(const char* path, const char* mode) override { return std::fopen(path, mode); }
  int Rename(const char* from, const char* to) override { return std::rename(from, to); }
  int Unlink(const char* path) override { return ::unlink(path); }
  int Mkdir(const char* path, mode_t mode) override { return ::mkdir(path, mode); }
  int Chmod(const char* path, mode_t mode) override { return ::chmod(path, mode); }

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
