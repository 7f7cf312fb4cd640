// Test support for the probe and ARP tests: shell commands with their output,
// and a peer network namespace joined to the test's own private namespace by
// a veth pair, with sockets and programs inside it. Traffic stays between
// the two.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kqs::probetest {

inline sockaddr_in Ipv4(const char* ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

// sock bound to ip:port, or -1.
inline int Bind(int sock, const char* ip, int port) {
  const sockaddr_in a = Ipv4(ip, port);
  return bind(sock, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? sock : -1;
}

// The next datagram on sock within ms milliseconds; empty when none came.
template <typename Buf = std::string>
Buf Receive(int sock, int ms) {
  pollfd p{sock, POLLIN, 0};
  char buf[2048];
  const ssize_t n = poll(&p, 1, ms) == 1 ? recv(sock, buf, sizeof buf, 0) : 0;
  return Buf(buf, buf + (n > 0 ? n : 0));
}

// Runs command through sh, its output and errors appended to *output when
// given. Returns the exit code, or -1.
inline int Sh(const std::string& command, std::string* output = nullptr) {
  FILE* p = popen(("PATH=/usr/sbin:/usr/bin:/sbin:/bin; exec 2>&1; " + command).c_str(), "r");
  if (p == nullptr) return -1;
  char buf[512];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) {
    if (output != nullptr) output->append(buf, n);
  }
  const int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PeerNetns {
 public:
  // Creates namespace "kqsprobe-<pid>-<n>" and the veth pair: "kqlocal" here
  // with 10.77.<subnet>.1/24, "kqpeer" in the peer with 10.77.<subnet>.2/24
  // and peerMac when given. Call it after leaving the host's namespace.
  bool Create(int subnet, const char* peerMac = nullptr) {
    static std::atomic<int> counter{0};
    name_ = "kqsprobe-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    prefix_ = "10.77." + std::to_string(subnet) + ".";
    if (Sh("ip netns add " + name_) != 0) return false;
    created_ = true;
    const std::string peer = " && ip -n " + name_ + " ";
    return Sh("ip link add kqlocal type veth peer name kqpeer netns " + name_ +
              " && ip addr add " + LocalAddr() + "/24 dev kqlocal && ip link set kqlocal up" +
              peer + "link set lo up" +
              (peerMac == nullptr ? "" : peer + "link set kqpeer address " + peerMac) + peer +
              "addr add " + PeerAddr() + "/24 dev kqpeer" + peer + "link set kqpeer up") == 0;
  }

  // Ends what runs in the peer, then the namespace (the veth pair goes too).
  ~PeerNetns() {
    if (created_) Sh("ip netns pids " + name_ + " | xargs -r kill; ip netns del " + name_);
  }

  std::string LocalAddr() const { return prefix_ + "1"; }
  std::string PeerAddr() const { return prefix_ + "2"; }
  // Prefixes a shell command so that it runs inside the peer.
  std::string Inside(const std::string& command) const {
    return "ip netns exec " + name_ + " " + command;
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

 private:
  std::string name_;
  std::string prefix_;
  bool created_ = false;
};

}  // namespace kqs::probetest
