// A syslog receiver for tests: no syslog daemon runs here, and syslog() sends
// each entry as one datagram to the unix socket /dev/log. Start() moves the
// calling process into a private mount namespace where /dev/log is a socket
// this object reads; programs started afterwards log there too, and the
// host's /dev is never touched. Start() needs root and a single-threaded
// caller (a new mount namespace is refused to a process whose threads share
// its file-system state), so call it first thing. Entries sent before
// Start() are lost.
#pragma once

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

 private:
  bool Fail(const std::string& what);
  bool PlaceSocket(const std::string& dir);

  int fd_ = -1;
  std::string error_;
};

}  // namespace kqs
