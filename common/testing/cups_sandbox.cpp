// The private cupsd: its two configuration files, its directories in one
// scratch directory, the system's CUPS programs linked in beside our lpif
// backend; and the fake AppSocket printer on a thread of its own.
#include "common/testing/cups_sandbox.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <utility>

namespace kqs {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kSystemDirs[] = {"daemon", "filter", "notifier", "cgi-bin", "driver", "monitor"};

bool SocketAnswers(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

int Listen(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

}  // namespace

PrivateCups::~PrivateCups() { Stop(); }

bool PrivateCups::Fail(const std::string& what) {
  error_ = what;
  return false;
}

bool PrivateCups::Start(const std::string& system_groups) {
  const std::string d = dir_.path();
  uid_t uid;
  gid_t gid;
  if (!EnsureServiceAccount(&uid, &gid)) return Fail(std::string("cannot make the account ") + kServiceAccount);
  for (const char* sub : {"root", "spool", "cache", "state", "log", "bin", "bin/backend", "tmp"}) {
    if (mkdir((dir_ / sub).c_str(), 0755) != 0) return Fail(std::string("cannot create ") + sub);
  }
  // Backends run as lp and keep their temporary files here.
  chmod((dir_ / "tmp").c_str(), 01777);
  for (const char* sub : kSystemDirs) {
    if (symlink((std::string("/usr/lib/cups/") + sub).c_str(), (dir_ / "bin/" + sub).c_str()) != 0)
      return Fail(std::string("cannot link ") + sub);
  }
  // CUPS's own socket backend, where installed, for comparisons. cupsd runs a
  // backend as its User only when root owns it and no one else may write it.
  symlink("/usr/lib/cups/backend/socket", (dir_ / "bin/backend/socket").c_str());
  const std::string backend = dir_ / "bin/backend/lpif";
  if (!ScratchDir::WriteFile(backend, ScratchDir::ReadFile(LPIF_PATH)) || chmod(backend.c_str(), 0755) != 0)
    return Fail("cannot install the lpif backend");
  const std::string files = "ServerRoot " + d + "/root\nRequestRoot " + d + "/spool\nTempDir " + d +
                            "/tmp\nCacheDir " + d + "/cache\nStateDir " + d + "/state\nServerBin " + d +
                            "/bin\nAccessLog " + d + "/log/access_log\nErrorLog " + d +
                            "/log/error_log\nPageLog " + d + "/log/page_log\nPrintcap " + d +
                            "/printcap\nUser lp\nGroup nogroup\nSystemGroup " + system_groups + "\n";
  // No policy of our own: CUPS's built-in default applies. The location
  // block lets local clients authenticate by their socket credentials. A
  // failed job is tried again after a second, not five minutes.
  const std::string conf = "Listen " + socket_ +
                           "\nBrowsing No\nWebInterface No\nLogLevel info\nJobRetryInterval 1\n"
                           "<Location />\n  Order allow,deny\n</Location>\n";
  if (!ScratchDir::WriteFile(dir_ / "cups-files.conf", files) || !ScratchDir::WriteFile(dir_ / "cupsd.conf", conf))
    return Fail("cannot write the configuration");

  pid_ = Launch({"/usr/sbin/cupsd", "-f", "-c", dir_ / "cupsd.conf", "-s", dir_ / "cups-files.conf"},
               dir_ / "log/cupsd.out");
  if (pid_ < 0) return Fail("cannot start cupsd");
  for (const auto end = Clock::now() + 10s; Clock::now() < end;) {
    if (SocketAnswers(socket_)) return true;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = 0;
      return Fail("cupsd ended: " + ScratchDir::ReadFile(dir_ / "log/cupsd.out") + ErrorLog());
    }
    std::this_thread::sleep_for(10ms);
  }
  return Fail("cupsd did not open " + socket_);
}

void PrivateCups::Stop() {
  Terminate(pid_, 5s);
  pid_ = 0;
}

RunResult PrivateCups::Client(std::vector<std::string> argv) const {
  return Run(argv, "", {"CUPS_SERVER=" + socket_});
}


FakePrinter::FakePrinter(Behaviour behaviour)
    : thread_([this, behaviour] { Serve(behaviour); }) {}

FakePrinter::~FakePrinter() {
  stop_ = true;
  thread_.join();
}

void FakePrinter::Serve(Behaviour behaviour) {
  for (const auto on = Clock::now() + std::chrono::milliseconds(behaviour.off_ms); !stop_ && Clock::now() < on;)
    std::this_thread::sleep_for(5ms);
  const int listener = Listen(9100);
  while (!stop_ && listener >= 0) {
    if (!Readable(listener, 50)) continue;
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::string job;
    size_t length = 0;
    char buf[65536];
    ssize_t n = 0;
    const size_t upto = std::exchange(behaviour.reset_after, 0);
    while (!stop_ && (upto == 0 || length < upto) && Readable(fd, 10000) && (n = recv(fd, buf, sizeof buf, 0)) > 0) {
      length += size_t(n);
      if (!behaviour.lengths_only) job.append(buf, size_t(n));
    }
    if (behaviour.lengths_only) job = std::to_string(length);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(job);
    }
    if (behaviour.close_delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(behaviour.close_delay_ms));
    const linger reset{1, 0};  // closing then sends a reset
    if (upto != 0) setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
  }
  if (listener >= 0) close(listener);
}

std::vector<std::string> FakePrinter::WaitForJobs(size_t n, int timeout_ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (jobs_.size() >= n || Clock::now() >= end) return jobs_;
    }
    std::this_thread::sleep_for(10ms);
  }
}

}  // namespace kqs
