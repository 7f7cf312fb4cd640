// Test support for the probe and ARP tests: a peer network namespace joined
// to the test's own private namespace by a veth pair, with commands, sockets
// and background programs inside it. Traffic stays between the two.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

namespace kqs::probetest {

inline sockaddr_in Ipv4(const char* ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

// The next datagram on sock within ms milliseconds; empty when none came.
template <typename Buf = std::string>
Buf Receive(int sock, int ms) {
  pollfd p{sock, POLLIN, 0};
  char buf[2048];
  const ssize_t n = poll(&p, 1, ms) == 1 ? recv(sock, buf, sizeof buf, 0) : 0;
  return Buf(buf, buf + (n > 0 ? n : 0));
}

inline const char* IpProgram() {
  return access("/usr/sbin/ip", X_OK) == 0 ? "/usr/sbin/ip" : "/sbin/ip";
}

// Starts args (args[0] an absolute path) with standard output and error on
// logFd (or a new file at logPath), inside the network namespace at nsPath
// when given. The child is killed if the test process dies. Returns its pid.
inline pid_t Spawn(const std::vector<std::string>& args, int logFd, const std::string& nsPath,
                   const std::string& logPath = "") {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const int ns = nsPath.empty() ? -1 : open(nsPath.c_str(), O_RDONLY);
  if (!nsPath.empty() && (ns < 0 || setns(ns, CLONE_NEWNET) != 0)) _exit(126);
  if (!logPath.empty()) logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if ((logFd >= 0 || !logPath.empty()) && (dup2(logFd, 1) < 0 || dup2(logFd, 2) < 0)) _exit(126);
  execv(argv[0], argv.data());
  _exit(127);
}

inline pid_t SpawnLogged(const std::vector<std::string>& args, const std::string& logPath,
                         const std::string& nsPath = "") {
  return Spawn(args, -1, nsPath, logPath);
}

// Runs args and waits; standard output and error go to *output when given.
// Returns the exit code, or -1.
inline int RunCommand(const std::vector<std::string>& args, std::string* output = nullptr) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = Spawn(args, fds[1], "");
  close(fds[1]);
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) {
    if (output != nullptr) output->append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PeerNetns {
 public:
  // Creates namespace "kqsprobe-<pid>-<n>" and the veth pair: LocalIf() here
  // with 10.77.<subnet>.1/24, "kqpeer" in the peer with 10.77.<subnet>.2/24
  // and peerMac when given. Call it after leaving the host's namespace.
  bool Create(int subnet, const char* peerMac = nullptr) {
    static std::atomic<int> counter{0};
    name_ = "kqsprobe-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    prefix_ = "10.77." + std::to_string(subnet) + ".";
    if (!Ip({"netns", "add", name_})) return false;
    created_ = true;
    return Ip({"link", "add", LocalIf(), "type", "veth", "peer", "name", "kqpeer"}) &&
           Ip({"link", "set", "kqpeer", "netns", name_}) &&
           Ip({"addr", "add", LocalAddr() + "/24", "dev", LocalIf()}) &&
           Ip({"link", "set", LocalIf(), "up"}) && Ip({"-n", name_, "link", "set", "lo", "up"}) &&
           (peerMac == nullptr || Ip({"-n", name_, "link", "set", "kqpeer", "address", peerMac})) &&
           Ip({"-n", name_, "addr", "add", PeerAddr() + "/24", "dev", "kqpeer"}) &&
           Ip({"-n", name_, "link", "set", "kqpeer", "up"});
  }

  ~PeerNetns() {
    for (pid_t pid : children_) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (created_) Ip({"netns", "del", name_});  // takes the veth pair with it
  }

  const std::string& name() const { return name_; }
  std::string LocalIf() const { return "kqlocal"; }
  std::string LocalAddr() const { return prefix_ + "1"; }
  std::string PeerAddr() const { return prefix_ + "2"; }

  // ip with args here (put "-n", name() first for the peer).
  bool Ip(std::vector<std::string> args) {
    args.insert(args.begin(), IpProgram());
    return RunCommand(args) == 0;
  }

  // A socket created inside the peer (it stays there), or -1.
  int Socket(int family, int type, int protocol) {
    const int self = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int peer = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
    int sock = -1;
    if (self >= 0 && peer >= 0 && setns(peer, CLONE_NEWNET) == 0) {
      sock = socket(family, type, protocol);
      if (setns(self, CLONE_NEWNET) != 0) std::abort();  // never go on in the wrong namespace
    }
    for (int fd : {self, peer}) close(fd);
    return sock;
  }

  // Starts args inside the peer; it gets SIGTERM when this object goes.
  pid_t Spawn(const std::vector<std::string>& args, const std::string& logPath) {
    const pid_t pid = SpawnLogged(args, logPath, "/run/netns/" + name_);
    if (pid > 0) children_.push_back(pid);
    return pid;
  }

 private:
  std::string name_;
  std::string prefix_;
  bool created_ = false;
  std::vector<pid_t> children_;
};

}  // namespace kqs::probetest
