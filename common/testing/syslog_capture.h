// A syslog receiver for tests. No syslog daemon runs here, and glibc's
// syslog() sends each entry as one datagram to the unix socket /dev/log.
// Start() moves the calling process into a private mount namespace in which
// /dev/log is a socket that this object reads; processes started afterwards
// share the namespace, so a daemon started by the test logs here too, and
// the host's /dev is never touched.
//
// Start() needs root and a single-threaded caller (the kernel refuses a new
// mount namespace to a process whose threads share its file-system state):
// call it first thing in a test process, or use CaptureInChild, which forks
// and so leaves the test process's own /dev alone. syslog() connects lazily
// and reconnects after a failed send, so logging before Start() is harmless;
// those entries are lost.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kqs {

// One entry as sent by syslog(): "<PRI>Mmm dd hh:mm:ss ident[pid]: text".
struct SyslogMessage {
  int priority = -1;  // facility | level, e.g. 27 for LOG_DAEMON | LOG_ERR
  std::string ident;  // the openlog identity, without "[pid]"
  std::string text;   // the message itself
  std::string raw;    // the whole datagram
};

class SyslogCapture {
 public:
  SyslogCapture() = default;
  ~SyslogCapture();
  SyslogCapture(const SyslogCapture&) = delete;
  SyslogCapture& operator=(const SyslogCapture&) = delete;

  // Puts the socket in place. Returns false, with the reason in error(),
  // when a step fails.
  bool Start();
  const std::string& error() const { return error_; }

  // Waits at most timeoutMs for the next entry. Returns false on timeout.
  bool Next(SyslogMessage* out, int timeoutMs);
  // Every entry that arrives until none has arrived for quietMs.
  std::vector<SyslogMessage> Collect(int quietMs);

  // Forks; the child starts a capture, runs body and hands back what
  // Collect(quietMs) gathers. Returns false, with the reason in *error, when
  // the child could not capture or died.
  static bool CaptureInChild(const std::function<void()>& body, int quietMs,
                             std::vector<SyslogMessage>* out, std::string* error);

 private:
  bool Fail(const std::string& what);
  bool PlaceSocket(const std::string& dir);

  int fd_ = -1;
  std::string error_;
};

}  // namespace kqs
