// The floors the daemon is measured against: the least work any server can
// do for the same traffic on this machine. Each runs in a child process of
// its own, as the daemon does, and serves loopback only.
#pragma once

#include <sys/types.h>

namespace kqs {

// A running floor server; killed and reaped when the object goes.
class FloorServer {
 public:
  FloorServer() = default;
  ~FloorServer();
  FloorServer(const FloorServer&) = delete;
  FloorServer& operator=(const FloorServer&) = delete;

  // TCP echo on 127.0.0.1:port: one connection at a time, every receive of
  // up to 32768 bytes sent straight back. Returns false when the port cannot
  // be opened.
  bool StartTcpEcho(int port);
  // UDP echo on 127.0.0.1:port: every datagram sent back to its sender.
  bool StartUdpEcho(int port);

 private:
  bool Launch(int fd, bool stream);
  pid_t pid_ = 0;
};

// Reads every entry of dir and stats it by its full path, as a listing of
// the directory must at least do. Returns the number of regular files, or -1
// when the directory cannot be opened.
long ReaddirAndStat(const char* dir);

}  // namespace kqs
