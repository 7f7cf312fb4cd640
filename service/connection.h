// A management connection as the serving code sees it: bytes in, bytes out,
// whatever carries them. The plain TCP listener backs it with an accepted
// socket; another transport (an encrypted channel, say) implements the same
// few calls, and every connection is then served, limited and logged alike
// (service/session.h).
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace kqs {

class Connection {
 public:
  // Receive() found nothing within its wait.
  static constexpr int kNoData = -2;

  explicit Connection(std::string peer) : peer_(std::move(peer)) {}
  virtual ~Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Completes what the transport needs before the first request (the TLS
  // handshake), within waitMs. False when the connection cannot be served.
  virtual bool Open(int /*waitMs*/) { return true; }
  // True when the transport proved the console's identity (a certificate
  // that a ClientCA signed): it counts as having passed the password check.
  virtual bool Certified() const { return false; }

  // Waits at most waitMs (-1: without limit) for bytes from the console and
  // receives up to len of them. Returns the count, 0 when the console closed
  // the connection (or Abort() ended it), kNoData when the wait ran out or
  // was interrupted, -1 on failure with errno set (ETIMEDOUT when the
  // console stopped answering, ECONNRESET when it reset the connection).
  // The first call runs on the connection's serving thread, never on a
  // listener's: a transport may do its own set-up (a handshake) there,
  // within the wait it is given.
  virtual int Receive(void* buf, int len, int waitMs) = 0;
  // Sends all len bytes, within the send time limit. Returns the bytes the
  // console took, fewer than len when the limit ran out, -1 on failure.
  virtual int Send(const void* buf, int len) = 0;
  // True when sent bytes are still waiting for the console to take them.
  virtual bool HasUnsentData() const = 0;
  // Ends a wait, receive or send running in another thread; later calls
  // fail at once. Safe from any thread while the connection exists.
  virtual void Abort() = 0;

  // The console's address as text ("" when the transport has none).
  const std::string& peer() const { return peer_; }

  // When the connection last had a request answered or started one, on the
  // monotonic clock in milliseconds, and whether a request is in progress:
  // the admission chooses whom to close by them.
  std::atomic<int64_t> lastActiveMs{0};
  std::atomic<bool> busy{false};

 private:
  std::string peer_;
};

// A connection over an accepted TCP (or other stream) socket, which it owns
// and closes.
class SocketConnection final : public Connection {
 public:
  SocketConnection(int socket, std::string peer) : Connection(std::move(peer)), socket_(socket) {}
  ~SocketConnection() override;
  int Receive(void* buf, int len, int waitMs) override;
  int Send(const void* buf, int len) override;
  bool HasUnsentData() const override;
  void Abort() override;
  int socket() const { return socket_; }

 private:
  int socket_;
};

// The address of a socket peer as text, "" for a family without one; an
// IPv4-mapped IPv6 address as the IPv4 address.
std::string PeerText(const struct sockaddr* address, socklen_t length);

// Sets the options that keep a console from holding an accepted TCP socket
// after it vanished or stopped reading: keepalive probes after
// keepAliveSeconds of silence (then every third of that), and sendTimeoutMs
// both as the send time limit and as TCP_USER_TIMEOUT, so that data the
// console does not acknowledge, or a window it keeps shut, ends the
// connection. With both the kernel drops a silent console at the first probe
// once it has been silent for at least keepAliveSeconds * 4/3 and at least
// the send time limit. Options that cannot be set leave the socket as it is.
void GuardSocket(int socket, int keepAliveSeconds, uint32_t sendTimeoutMs);

}  // namespace kqs
