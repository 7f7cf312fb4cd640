// A real kqsd for measurements and load tests: started from a scratch
// installation directory whose LP root is a sandbox tree made by lpsvc, in
// the caller's private network namespace, with its syslog entries received
// and counted by a thread of this process. Plus a console that talks the
// management protocol to it over loopback, and readers of a process's
// resident memory and open descriptors.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/testing/scratch_dir.h"

namespace kqs {

inline constexpr int kManagementPort = 55554;

using Bytes = std::vector<unsigned char>;

// Prepares the process for a sandboxed daemon: a private network namespace
// with loopback up, a private /dev whose log socket this process reads (so
// nothing reaches a host syslog), and this process as the subreaper that
// inherits the detached daemon. Call once, before any thread is started.
// Returns false with the reason in *error.
bool EnterDaemonSandbox(std::string* error);

// Syslog entries received since EnterDaemonSandbox (the daemon logs one per
// request and per connection opened or closed).
uint64_t SyslogEntriesReceived();

class SandboxDaemon {
 public:
  SandboxDaemon();
  ~SandboxDaemon();  // kills a daemon still running
  SandboxDaemon(const SandboxDaemon&) = delete;
  SandboxDaemon& operator=(const SandboxDaemon&) = delete;

  // Lays out the installation directory and the LP tree and writes kqsd.ini
  // with the LP root followed by extraIni (INI text). Returns false, with the
  // reason in error(), when a step fails.
  bool Prepare(const std::string& extraIni = "");
  // Runs kqsd as a shell would and waits, at most 5 s, until it has written
  // its pid and opened both of its ports. Returns its pid, or 0.
  pid_t Start();
  // SIGTERM; true when the daemon ended with status 0 within 6 s (otherwise
  // it is killed).
  bool Stop();

  pid_t pid() const { return pid_; }
  const std::string& error() const { return error_; }
  const std::string& installDir() const { return dir_.path(); }
  std::string lpRoot() const { return dir_ / "lp"; }

 private:
  bool Fail(const std::string& what);
  pid_t ProcessIdInIni() const;

  ScratchDir dir_;
  pid_t pid_ = 0;
  std::string error_;
};

// Builds a request packet's bytes (empty on a bad argument).
Bytes RequestBytes(uint32_t operation, uint32_t objectType, const std::string& parameters = "",
                   const std::string& data = "");

struct Answer {
  uint32_t operation = 0, objectType = 0, returnCode = ~0u;  // ~0u: no answer
  Bytes result;
};

// One TCP connection to 127.0.0.1:port.
class Console {
 public:
  explicit Console(int port = kManagementPort);
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
  int fd_ = -1;
  Bytes buffer_;
};

// VmRSS of a process in kB, or -1.
long ResidentKb(pid_t pid);
// Number of open descriptors of a process, or -1.
int OpenDescriptors(pid_t pid);

}  // namespace kqs
