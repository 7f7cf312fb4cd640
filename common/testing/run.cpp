// fork, exec and wait. Run puts the three standard streams on anonymous
// memory files: nothing to drain while the program runs, so no pipe fills up.
#include "common/testing/run.h"

#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace kqs {
namespace {

int MemoryFile(const std::string& content) {
  const int fd = memfd_create("kqs-run", MFD_CLOEXEC);
  if (fd >= 0 && write(fd, content.data(), content.size()) == ssize_t(content.size()) &&
      lseek(fd, 0, SEEK_SET) == 0) {
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

std::string ReadAll(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  lseek(fd, 0, SEEK_SET);
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, size_t(n));
  close(fd);
  return text;
}

// Descriptors in, out and err (-1: left as they are) become the child's
// standard streams.
pid_t ForkExec(const std::vector<std::string>& argv, int in, int out, int err, const std::vector<std::string>& env) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = argv.empty() ? -1 : fork();
  if (pid == 0) {
    const int streams[3] = {in, out, err};
    for (int to = 0; to < 3; ++to) {
      if (streams[to] >= 0) dup2(streams[to], to);
    }
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

RunResult Run(const std::vector<std::string>& argv, const std::string& stdin_text,
              const std::vector<std::string>& env) {
  RunResult result;
  const int in = MemoryFile(stdin_text), out = MemoryFile(""), err = MemoryFile("");
  const pid_t pid = in < 0 || out < 0 || err < 0 ? -1 : ForkExec(argv, in, out, err, env);
  if (in >= 0) close(in);
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (pid > 0 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  result.out = out < 0 ? "" : ReadAll(out);
  result.err = err < 0 ? "" : ReadAll(err);
  if (pid < 0) result.err += "cannot start the program";
  return result;
}

pid_t Launch(const std::vector<std::string>& argv, const std::string& log) {
  const int fd = log.empty() ? -1 : open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const pid_t pid = ForkExec(argv, -1, fd, fd, {});
  if (fd >= 0) close(fd);
  return pid;
}

int RunInChild(const std::function<int()>& fn, bool asLp) {
  const pid_t pid = fork();
  if (pid == 0) _exit(asLp && (setgid(kLpGid) != 0 || setuid(kLpUid) != 0) ? 255 : fn() & 0xff);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return asLp && WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

int WaitForExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  do {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  } while (std::chrono::steady_clock::now() < end);
  return -1;
}

bool ExitedWithZero(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

int Terminate(pid_t pid, std::chrono::milliseconds limit) {
  if (pid <= 0 || kill(pid, SIGTERM) != 0) return -1;
  const int status = WaitForExit(pid, limit);
  if (status == -1 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  return status;
}

bool EnsureServiceAccount(uid_t* uid, gid_t* gid) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct passwd pw;
    struct passwd* found = nullptr;
    char buf[1024];
    if (getpwnam_r(kServiceAccount, &pw, buf, sizeof buf, &found) == 0 && found != nullptr) {
      *uid = found->pw_uid;
      *gid = found->pw_gid;
      return true;
    }
    // A test running beside this one may make it first: look again.
    Run({"useradd", "--system", "--user-group", "--no-create-home", "--home-dir", "/nonexistent", "--shell",
         "/usr/sbin/nologin", kServiceAccount});
  }
  return false;
}

bool EnterPrivateNetNamespace() {
  return unshare(CLONE_NEWNET) == 0 && Run({"/usr/sbin/ip", "link", "set", "lo", "up"}).status == 0;
}

}  // namespace kqs
