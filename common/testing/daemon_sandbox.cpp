// The sandboxed daemon: scratch installation, start and stop through the
// program's own detaching start-up, clean-up of whatever it left running,
// its log drained by a thread of this process, and a plain blocking console
// on loopback.
#include "common/testing/daemon_sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "common/config/profile.h"
#include "common/testing/syslog_capture.h"
#include "common/util/byteorder.h"
#include "protocol/kqsids.h"
#include "protocol/packet.h"

namespace kqs {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Receives the daemon's syslog entries for the life of the process, so that
// its logging never blocks on a full socket queue.
class LogDrain {
 public:
  bool Start(std::string* error) {
    if (thread_.joinable()) return true;
    if (!capture_.Start()) {
      *error = "syslog capture: " + capture_.error();
      return false;
    }
    thread_ = std::thread([this] {
      for (SyslogMessage m; !stop_;) capture_.Next(&m, 100);
    });
    return true;
  }
  ~LogDrain() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  SyslogCapture capture_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

// True when /proc/net/<table> of this namespace shows port bound (for tcp
// and tcp6: listening).
bool PortBound(const std::string& table, int port = kManagementPort) {
  std::istringstream in(ScratchDir::ReadFile("/proc/net/" + table));
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, ":%04X", port);
  for (std::string line, slot, local, remote, state; std::getline(in, line);) {
    std::istringstream(line) >> slot >> local >> remote >> state;
    if (local.ends_with(suffix) && (!table.starts_with("tcp") || state == "0A")) return true;
  }
  return false;
}

// A management port listening, plain or TLS, on IPv4 or IPv6: the daemon
// opens them together.
bool ManagementPortBound() {
  for (const char* table : {"tcp", "tcp6"}) {
    for (int port : {kManagementPort, kTlsManagementPort}) {
      if (PortBound(table, port)) return true;
    }
  }
  return false;
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Every process with its parent and session, from /proc/<pid>/stat:
// "pid (comm) state ppid pgrp session ...", where comm may hold blanks.
struct ProcEntry {
  pid_t pid, parent, session;
};
std::vector<ProcEntry> Processes() {
  std::vector<ProcEntry> all;
  std::error_code ec;  // processes come and go while the listing runs
  for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    ProcEntry p{static_cast<pid_t>(std::atoi(it->path().filename().c_str())), 0, 0};
    const std::string stat = p.pid > 0 ? ScratchDir::ReadFile(it->path() / "stat") : "";
    const size_t close = stat.rfind(')');
    if (close != std::string::npos &&
        std::sscanf(stat.c_str() + close + 1, " %*c %d %*d %d", &p.parent, &p.session) == 2) {
      all.push_back(p);
    }
  }
  return all;
}

}  // namespace

bool EnterDaemonSandbox(std::string* error, SandboxLog log) {
  static LogDrain drain;
  if (!EnterPrivateNetNamespace()) {
    *error = "cannot enter a private network namespace (needs root)";
    return false;
  }
  if (log == SandboxLog::kDrained && !drain.Start(error)) return false;
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    *error = "cannot become a subreaper";
    return false;
  }
  // A daemon that logs every request outpaces the default datagram queue.
  std::ofstream("/proc/sys/net/unix/max_dgram_qlen") << 4096;
  return true;
}

// Kills everything in the session of a daemon started here, and of any child
// of this process (the subreaper) in a session other than ours: that is a
// daemon whose pid never reached kqsd.ini. Each is killed and reaped.
SandboxDaemon::~SandboxDaemon() {
  const pid_t self = getpid();
  const std::vector<ProcEntry> all = Processes();
  std::set<pid_t> sessions;
  for (const ProcEntry& p : all) {
    const bool startedHere = std::find(started_.begin(), started_.end(), p.pid) != started_.end();
    if ((startedHere || p.parent == self) && p.session != getsid(0)) sessions.insert(p.session);
  }
  std::vector<pid_t> killed;
  for (const ProcEntry& p : all) {
    if (sessions.count(p.session) != 0 && p.pid != self && kill(p.pid, SIGKILL) == 0) killed.push_back(p.pid);
  }
  // Grandchildren come to this process once their parent is reaped.
  const auto end = Clock::now() + 2s;
  for (const pid_t pid : killed) {
    while (waitpid(pid, nullptr, WNOHANG) != pid && (kill(pid, 0) == 0 || errno != ESRCH) && Clock::now() < end) {
      std::this_thread::sleep_for(2ms);
    }
  }
  // A started daemon that ended by itself but was not reaped yet.
  for (const pid_t pid : started_) waitpid(pid, nullptr, WNOHANG);
}

bool SandboxDaemon::Fail(const std::string& what) {
  error_ = what;
  return false;
}

bool SandboxDaemon::Prepare(const std::string& extraIni) {
  if (dir_.path().empty()) return Fail("no scratch directory");
  // Driving CUPS, it runs as installed: as the service account, which alone
  // may administer CUPS and owns the tree; else as lp.
  uid_t uid = kLpUid;
  gid_t group = kLpGid;
  if (!cups_.empty() && !EnsureServiceAccount(&uid, &group)) return Fail("cannot make the service account");
  const std::string account = cups_.empty() ? "lp" : kServiceAccount;
  std::vector<std::string> setup = {LPSVC_PATH, "setup", lpRoot(), "--user", account};
  if (!cups_.empty()) setup.insert(setup.end(), {"--cups", cups_});
  if (const RunResult r = Run(setup); r.status != 0) return Fail("lpsvc setup failed: " + r.all());
  std::error_code ec;
  if (symlink(KQSD_PATH, (dir_ / "kqsd").c_str()) != 0 ||
      !std::filesystem::copy_file(KQSD_CATALOG, dir_ / "kqsd.cat", ec))
    return Fail("cannot install kqsd and its catalog");
  const std::string user = cups_.empty() ? "" : "[Process Settings]\nUser=" + account + "\n";
  if (!ScratchDir::WriteFile(iniPath(), "[LP Service]\nRoot=" + lpRoot() + "\n" + extraIni + user))
    return Fail("cannot write kqsd.ini");
  // The consoles this process starts record this daemon's certificate in
  // the sandbox, never in a home directory.
  setenv("XDG_CONFIG_HOME", (dir_ / "console").c_str(), 1);
  // As installed: a directory only root may change, the settings readable by
  // the daemon's group and by nobody else.
  if (chown(iniPath().c_str(), 0, group) != 0 || chmod(iniPath().c_str(), 0640) != 0)
    return Fail("cannot give kqsd.ini to root and the daemon's group, mode 0640");
  return true;
}

// Read afresh each time: a restarted daemon rewrites the file within the
// same second.
pid_t SandboxDaemon::ProcessIdInIni() const {
  IniCleanup();
  return xGetPrivateProfileIntA("Process Settings", "ProcessID", 0, iniPath().c_str());
}

pid_t SandboxDaemon::Start(bool waitReady) {
  const pid_t before = ProcessIdInIni();
  const pid_t starter = Launch({dir_ / "kqsd"});
  if (starter < 0) return Fail("cannot fork"), 0;
  if (!ExitedWithZero(WaitForExit(starter, 5000ms))) {
    Terminate(starter, 0ms);
    return Fail("kqsd did not return at once"), 0;
  }
  const auto end = Clock::now() + 5s;
  pid_t pid = 0;
  while ((pid <= 0 || pid == before) && Clock::now() < end) {
    std::this_thread::sleep_for(2ms);
    pid = ProcessIdInIni();
  }
  if (pid <= 0 || pid == before) return Fail("kqsd wrote no process id"), 0;
  pid_ = pid;
  started_.push_back(pid);
  while (waitReady && !(ManagementPortBound() && PortBound("udp"))) {
    if (Clock::now() >= end) return Fail("kqsd did not open its ports"), 0;
    std::this_thread::sleep_for(2ms);
  }
  return pid;
}

pid_t SandboxDaemon::StartForeground(const std::string& notifySocket) {
  const std::string exe = dir_ / "kqsd", variable = "NOTIFY_SOCKET=" + notifySocket, err = stderrPath();
  const pid_t pid = fork();
  if (pid == 0) {
    // Its own session, so that clean-up finds it as it finds a detached one.
    setsid();
    const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) dup2(fd, STDERR_FILENO);
    putenv(const_cast<char*>(variable.c_str()));
    execl(exe.c_str(), exe.c_str(), "-f", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) {
    Fail("cannot fork");
    return 0;
  }
  pid_ = pid;
  started_.push_back(pid);
  return pid;
}

int SandboxDaemon::Stop(pid_t pid, std::chrono::milliseconds limit) { return Terminate(pid > 0 ? pid : pid_, limit); }

Bytes RequestBytes(uint32_t operation, uint32_t objectType, const std::string& parameters,
                   const std::string& data) {
  unsigned char* packet = nullptr;
  uint32_t length = 0;
  const void* block = data.empty() ? nullptr : data.data();
  if (PacketReqEncode(operation, parameters.c_str(), objectType, block, static_cast<uint32_t>(data.size()), &packet,
                      &length) != KQS_SUCCESS) {
    return {};
  }
  Bytes bytes(packet, packet + length);
  std::free(packet);
  return bytes;
}

Console::Console(int port, const char* from) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to = Loopback(port), source = to;
  source.sin_port = 0;
  if (from != nullptr && inet_pton(AF_INET, from, &source.sin_addr) == 1 && fd_ >= 0 &&
      bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)
    Close();
  if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) Close();
  // Requests are small and each waits for its answer.
  const int one = 1;
  if (fd_ >= 0) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Console::~Console() { Close(); }

void Console::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  buffer_.clear();
}

bool Console::Send(const Bytes& bytes) {
  return fd_ >= 0 && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

// Reads until at least n bytes are buffered; false at end, on an error or
// once end has passed.
bool Console::Fill(size_t n, Clock::time_point end) {
  while (buffer_.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    pollfd p{fd_, POLLIN, 0};
    unsigned char chunk[65536];
    ssize_t got = 0;
    if (fd_ < 0 || left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1 ||
        (got = recv(fd_, chunk, sizeof chunk, 0)) <= 0) {
      return false;
    }
    buffer_.insert(buffer_.end(), chunk, chunk + got);
  }
  return true;
}

bool Console::ReceiveExactly(size_t n, int timeoutMs) {
  if (!Fill(n, Clock::now() + std::chrono::milliseconds(timeoutMs))) return false;
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(n));
  return true;
}

bool Console::Receive(Answer* answer, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!Fill(4, end)) return false;
  const uint32_t n = LoadBE32(buffer_.data());
  if (n < KQS_MIN_RESPONSE_SIZE || !Fill(n, end)) return false;
  uint32_t size = n;
  answer->result.assign(n, 0);
  const uint32_t rc = PacketRespDecode(&answer->operation, &answer->objectType, &answer->returnCode,
                                       answer->result.data(), &size, buffer_.data(), n);
  answer->result.resize(size);
  buffer_.erase(buffer_.begin(), buffer_.begin() + n);
  return rc == KQS_SUCCESS;
}

Answer Console::Ask(const Bytes& request, int timeoutMs) {
  Answer a;
  if (!Send(request) || !Receive(&a, timeoutMs)) a.returnCode = ~0u;
  return a;
}

std::string Discover(int timeoutMs) {
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return "";
  const sockaddr_in to = Loopback(kManagementPort);
  char buf[2048];
  ssize_t n = 0;
  pollfd p{s, POLLIN, 0};
  if (sendto(s, "?", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 1 && poll(&p, 1, timeoutMs) == 1) {
    n = recv(s, buf, sizeof buf, 0);
  }
  close(s);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

long ResidentKb(pid_t pid) {
  const std::string status = ScratchDir::ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("\nVmRSS:");
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 7, nullptr, 10);
}

int OpenDescriptors(pid_t pid) {
  std::error_code ec;
  int n = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++n;
  }
  return ec ? -1 : n;
}

}  // namespace kqs
