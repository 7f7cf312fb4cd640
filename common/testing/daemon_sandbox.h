// A real kqsd for end-to-end tests, the console tests and the benchmarks:
// started from a scratch installation directory whose LP root is a sandbox
// tree made by lpsvc, in the caller's private network namespace, and always
// killed at the end. Plus a console that talks the management protocol to it
// over loopback, a discovery probe, and readers of a process's resident
// memory and open descriptors.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/testing/run.h"
#include "common/testing/scratch_dir.h"

namespace kqs {

inline constexpr int kManagementPort = 55554;
inline constexpr int kTlsManagementPort = 55555;

using Bytes = std::vector<unsigned char>;

// Who reads the daemon's syslog entries.
enum class SandboxLog {
  kDrained,       // a thread of this process receives and drops them
  kLeftToCaller,  // to a SyslogCapture the caller starts, or else to the
                  // host's /dev/log; this process's /dev stays as it was
};

// Prepares the process for a sandboxed daemon: a private network namespace
// with loopback up, this process as the subreaper that inherits the detached
// daemon, and room for many queued syslog entries. With kDrained also a
// private /dev whose log socket a thread of this process drains (started
// once per process), so nothing reaches a host syslog. Call before any thread
// other than the drain is started; may be called again for a fresh network
// namespace. Returns false with the reason in *error.
bool EnterDaemonSandbox(std::string* error, SandboxLog log = SandboxLog::kDrained);

class SandboxDaemon {
 public:
  SandboxDaemon() = default;
  // Kills every daemon this object started and still running, together with
  // anything left in its session, and reaps them.
  ~SandboxDaemon();
  SandboxDaemon(const SandboxDaemon&) = delete;
  SandboxDaemon& operator=(const SandboxDaemon&) = delete;

  // Makes the next Prepare lay out a CUPS-mode LP tree driving server.
  void UseCups(const std::string& server) { cups_ = server; }
  // Lays out the installation directory (root's, mode 0755) and the LP tree
  // and writes kqsd.ini (root and the daemon's group, mode 0640) with the LP
  // root followed by extraIni (INI text), and points XDG_CONFIG_HOME of this
  // process (and so of the kqsctl it runs) into the directory. With UseCups
  // the daemon runs as the service account kqsd (made when missing), which
  // owns the tree; otherwise as lp. Returns false, with the reason in error(), when a
  // step fails.
  bool Prepare(const std::string& extraIni = "");
  // Runs kqsd as a shell would and waits, at most 5 s, until it has written
  // a new pid to kqsd.ini and, with waitReady, opened both of its ports.
  // Returns that pid, or 0 with the reason in error().
  pid_t Start(bool waitReady = true);
  // Runs "kqsd -f" in a session of its own with NOTIFY_SOCKET=notifySocket,
  // its standard error into stderrPath(), and returns its pid without
  // waiting for it (0 with the reason in error() when it cannot be forked).
  pid_t StartForeground(const std::string& notifySocket);
  std::string stderrPath() const { return dir_ / "kqsd.stderr"; }
  // SIGTERM to pid (default: the last one started) and its wait status when
  // it ended within limit; otherwise it is killed and -1 returned.
  int Stop(pid_t pid = 0, std::chrono::milliseconds limit = std::chrono::seconds(6));

  pid_t pid() const { return pid_; }
  const std::string& error() const { return error_; }
  const std::string& installDir() const { return dir_.path(); }
  std::string iniPath() const { return dir_ / "kqsd.ini"; }
  std::string lpRoot() const { return dir_ / "lp"; }

 private:
  bool Fail(const std::string& what);
  pid_t ProcessIdInIni() const;

  ScratchDir dir_;
  std::string cups_;
  pid_t pid_ = 0;
  std::vector<pid_t> started_;
  std::string error_;
};

// Builds a request packet's bytes (empty on a bad argument).
Bytes RequestBytes(uint32_t operation, uint32_t objectType, const std::string& parameters = "",
                   const std::string& data = "");

struct Answer {
  uint32_t operation = 0, objectType = 0, returnCode = ~0u;  // ~0u: no answer
  Bytes result;
};

// One TCP connection to 127.0.0.1:port, from the local address from when
// given.
class Console {
 public:
  explicit Console(int port = kManagementPort, const char* from = nullptr);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool Send(const Bytes& bytes);
  // Reads one whole response within timeoutMs.
  bool Receive(Answer* answer, int timeoutMs);
  // Sends and waits for the answer (returnCode ~0u when none came).
  Answer Ask(const Bytes& request, int timeoutMs = 5000);
  // Reads exactly n bytes within timeoutMs (for the echo floor).
  bool ReceiveExactly(size_t n, int timeoutMs);
  void Close();

 private:
  bool Fill(size_t n, std::chrono::steady_clock::time_point end);

  int fd_ = -1;
  Bytes buffer_;
};

// Sends one datagram to the discovery port on loopback and returns the
// reply, or "" when none came within timeoutMs.
std::string Discover(int timeoutMs = 2000);

// VmRSS of a process in kB, or -1.
long ResidentKb(pid_t pid);
// Number of open descriptors of a process, or -1.
int OpenDescriptors(pid_t pid);

}  // namespace kqs
