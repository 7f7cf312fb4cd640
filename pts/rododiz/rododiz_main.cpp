// rododiz: points the unconfigured-printer address 192.0.0.192 at one printer.
// Given the printer's MAC as "08:00:09:1A:2B:3C", it binds 192.0.0.192 to that
// MAC in the neighbour table and routes 192.0.0.192 straight out of the
// interface that leads towards it, so the daemon's next datagram reaches it.
//
// Exit status 0 when both entries are in place; otherwise a message on stderr
// and 1 (2 for a bad argument). It may be installed set-user-id root for a
// daemon running as lp: it takes nothing from the environment, runs ip by
// absolute path with a fixed environment and accepts only a well-formed MAC.
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kTarget = "192.0.0.192";
constexpr std::array<const char*, 4> kIpPaths = {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip",
                                                 "/bin/ip"};

// Exactly six pairs of hexadecimal digits separated by ':'.
bool IsArpText(std::string_view mac) {
  if (mac.size() != 17) return false;
  for (size_t i = 0; i < mac.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(mac[i]);
    if (i % 3 == 2 ? c != ':' : !std::isxdigit(c)) return false;
  }
  return true;
}

const char* FindIp() {
  for (const char* path : kIpPaths) {
    if (access(path, X_OK) == 0) return path;
  }
  return nullptr;
}

// Runs args (args[0] is an absolute path) with a fixed environment and stdin
// on /dev/null. When out is given, the program's standard output is collected
// there (at most 4 KiB are kept). Returns the exit code, or -1 when the
// program could not be run or ended by a signal.
int Run(const std::vector<std::string>& args, std::string* out) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  static char kPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
  static char kLang[] = "LC_ALL=C";
  char* envp[] = {kPath, kLang, nullptr};

  int pipefd[2] = {-1, -1};
  if (out != nullptr && pipe(pipefd) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) {
    if (out != nullptr) {
      close(pipefd[0]);
      close(pipefd[1]);
    }
    return -1;
  }
  if (pid == 0) {
    if (out != nullptr) {
      dup2(pipefd[1], STDOUT_FILENO);
      close(pipefd[0]);
      close(pipefd[1]);
    }
    execve(argv[0], argv.data(), envp);
    _exit(127);
  }
  if (out != nullptr) {
    close(pipefd[1]);
    char buf[512];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) != 0) {
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (out->size() < 4096) out->append(buf, static_cast<size_t>(n));
    }
    close(pipefd[0]);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The interface that the kernel would send a datagram for the target out of,
// from "ip -o route get": "192.0.0.192 via G dev eth0 src A ...". Empty when
// there is no route.
std::string RouteDevice(const char* ip) {
  std::string out;
  if (Run({ip, "-o", "route", "get", kTarget}, &out) != 0) return {};
  const std::string_view text(out);
  const size_t at = text.find(" dev ");
  if (at == std::string_view::npos) return {};
  std::string_view dev = text.substr(at + 5);
  dev = dev.substr(0, dev.find_first_of(" \t\n"));
  return std::string(dev);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || !IsArpText(argv[1])) {
    std::fprintf(stderr, "usage: rododiz MAC (six hexadecimal pairs such as 08:00:09:1A:2B:3C)\n");
    return 2;
  }
  const std::string mac = argv[1];
  // The daemon starts us with SIGCHLD ignored, which would let the kernel
  // reap ip before we learn its exit status.
  signal(SIGCHLD, SIG_DFL);

  // Set-user-id root: become root entirely so that ip runs with the
  // privilege to change the neighbour and route tables.
  if (geteuid() == 0 && getuid() != 0) {
    if (setgid(0) != 0 || setuid(0) != 0) {
      std::fprintf(stderr, "rododiz: cannot take root privileges: %s\n", std::strerror(errno));
      return 1;
    }
  }

  const char* ip = FindIp();
  if (ip == nullptr) {
    std::fprintf(stderr, "rododiz: the ip program (iproute2) was not found\n");
    return 1;
  }
  const std::string dev = RouteDevice(ip);
  if (dev.empty()) {
    std::fprintf(stderr, "rododiz: no route towards %s, so no interface to reach the printer on\n",
                 kTarget);
    return 1;
  }
  if (Run({ip, "neigh", "replace", kTarget, "lladdr", mac, "dev", dev, "nud", "permanent"},
          nullptr) != 0) {
    std::fprintf(stderr, "rododiz: cannot bind %s to %s on %s\n", kTarget, mac.c_str(),
                 dev.c_str());
    return 1;
  }
  if (Run({ip, "route", "replace", std::string(kTarget) + "/32", "dev", dev}, nullptr) != 0) {
    std::fprintf(stderr, "rododiz: cannot route %s through %s\n", kTarget, dev.c_str());
    return 1;
  }
  return 0;
}
