// fork, exec and wait, with the three standard streams on anonymous memory
// files: nothing to drain while the program runs, so no pipe can fill up.
#include "common/testing/run.h"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kqs {

namespace {

int MemoryFile(const std::string& content) {
  const int fd = memfd_create("kqs-run", 0);
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

}  // namespace

RunResult Run(const std::vector<std::string>& argv, const std::string& stdin_text,
              const std::vector<std::string>& env) {
  RunResult result;
  const int in = MemoryFile(stdin_text), out = MemoryFile(""), err = MemoryFile("");
  if (argv.empty() || in < 0 || out < 0 || err < 0) {
    result.err = "cannot set up the program's streams";
    return result;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in);
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (pid > 0 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  result.out = ReadAll(out);
  result.err = ReadAll(err);
  return result;
}

}  // namespace kqs
