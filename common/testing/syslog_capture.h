// A syslog receiver for tests. glibc's syslog() sends each entry as one
// datagram to the unix socket /dev/log, and no syslog daemon runs here; a
// SyslogCapture gives the calling process a private /dev whose log socket it
// reads itself, so tests see exactly what syslog() sent without touching the
// host's /dev.
//
// How it works: Start() moves the calling process into a new mount namespace
// (mounts made private, so nothing leaks to the host), builds a fresh tmpfs
// holding bind mounts of the usual device nodes (null, zero, full, random,
// urandom, tty), the shm directory, the fd/stdin/stdout/stderr links and a
// datagram socket named "log" (mode 0666, so a daemon that dropped to lp can
// still send), and mounts it over /dev. Every process started afterwards by
// this one shares the namespace, so a daemon started from the test logs here.
//
// Rules:
// - Start() needs root and a single-threaded caller (the kernel refuses a
//   new mount namespace to a process whose threads share its file-system
//   state). Call it at the start of the test process, or use CaptureInChild,
//   which forks first and so never disturbs the test process's /dev.
// - syslog() connects lazily and reconnects after a failed send, so logging
//   before Start() is harmless; entries sent before Start() are lost.
//
// Typical daemon test (in a forked child, or a test process of its own):
//   kqs::EnterPrivateNetNamespace();
//   kqs::SyslogCapture log;
//   ASSERT_TRUE(log.Start()) << log.error();
//   ... start bin/kqsd, talk to it ...
//   for (const auto& m : log.Collect(500)) ...  // m.priority, m.text
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kqs {

// One entry as sent by syslog(): "<PRI>Mmm dd hh:mm:ss ident[pid]: text".
struct SyslogMessage {
  int priority = -1;  // facility | level, e.g. 27 for LOG_DAEMON | LOG_ERR
  std::string ident;  // the openlog identity, without "[pid]"
  int pid = -1;       // -1 when the entry carries no pid
  std::string text;   // the message itself
  std::string raw;    // the whole datagram
};

// Splits a datagram into its parts. The timestamp is optional; without a
// ": " separator the whole rest is the text. Returns false when the datagram
// does not start with a "<number>" priority.
bool ParseSyslogDatagram(std::string_view raw, SyslogMessage* out);

class SyslogCapture {
 public:
  SyslogCapture() = default;
  ~SyslogCapture();
  SyslogCapture(const SyslogCapture&) = delete;
  SyslogCapture& operator=(const SyslogCapture&) = delete;

  // Sets up the private /dev described above. Returns false, with the
  // reason in error(), when any step fails.
  bool Start();
  const std::string& error() const { return error_; }

  // Waits at most timeoutMs for the next entry. Returns false on timeout.
  bool Next(SyslogMessage* out, int timeoutMs);
  // Every entry that arrives until none has arrived for quietMs.
  std::vector<SyslogMessage> Collect(int quietMs);

  // Forks; the child starts a capture, runs body, collects what arrives
  // until quietMs pass without an entry, and hands the entries back. The
  // test process's own /dev is never changed. Returns false, with the
  // reason in *error, when the child could not capture or died.
  static bool CaptureInChild(const std::function<void()>& body, int quietMs,
                             std::vector<SyslogMessage>* out, std::string* error);

 private:
  bool Fail(const std::string& what);

  int fd_ = -1;
  std::string error_;
};

}  // namespace kqs
