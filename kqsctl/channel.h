// The byte stream under one management connection: TCP to a server named by
// host name, IPv4 or IPv6 address, protected by TLS 1.3 unless the caller
// asks for the plain port, with the server verified by CA and host name or
// by the fingerprint recorded at first contact (kqsctl/knownservers.h).
// Every wait is bounded by the caller's deadline.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kqsctl {

// The plain port (the one discovery uses too) and the TLS port.
constexpr unsigned short kPlainPort = 55554;
constexpr unsigned short kTlsPort = 55555;

// How a connection is protected.
struct Security {
  bool plain = false;         // no TLS, the plain port: the password travels in clear
  std::string cacert;         // verify the server by these CAs and its host name
  std::string cert, key;      // a console certificate and its key, for servers with ClientCA
  std::string known_servers;  // the pinning file when there is no cacert ("": KnownServersPath())
  std::FILE* notes = stderr;  // first contacts and warnings
};

struct Endpoint {
  std::string host;  // name, dotted IPv4 or IPv6 address
  unsigned short port = 0;
  Security security;
  // "host:port" as messages and the pinning file name it ("[v6]:port").
  std::string Name() const;
};

// Reads a target as a user writes it: "HOST", "HOST:PORT", an IPv6 address
// ("::1", "fe80::1%eth0") or "[IPv6]:PORT"; the port defaults to the one
// security calls for. False with a message when the port is not 1-65535 or
// the brackets do not close.
bool ParseTarget(const std::string& target, const Security& security, Endpoint* out, std::string* error);

class Deadline {
 public:
  explicit Deadline(int ms) : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {}
  // Milliseconds left, rounded up, 0 once passed.
  int Left() const;

 private:
  std::chrono::steady_clock::time_point end_;
};

// Waits until fd is ready for events (poll's) or the deadline passes.
// Returns 1 when ready, 0 on time-out, -1 on error (errno set).
int WaitFor(int fd, short events, const Deadline& deadline);

class Channel {
 public:
  Channel() = default;
  ~Channel() { Close(); }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Resolves the server (every IPv4 and IPv6 address of a name, tried in
  // turn), connects and, unless plain, completes the TLS handshake and
  // verifies the server. False with a one-line message naming the server:
  // not resolved, refused, no answer in time, no TLS 1.3, a certificate the
  // CAs or the host name do not match, or one that differs from the one
  // recorded (that message gives both fingerprints and the line to remove).
  bool Open(const Endpoint& server, const Deadline& deadline, int timeout_ms, std::string* error);
  bool is_open() const { return fd_ >= 0; }
  // Sends all bytes; false with a message.
  bool Send(const uint8_t* bytes, size_t size, const Deadline& deadline, std::string* error);
  // Receives at most size bytes: the count, 0 when the server closed the
  // connection, -1 with a message on failure, -2 when the deadline passed.
  long Receive(uint8_t* bytes, size_t size, const Deadline& deadline, std::string* error);
  void Close();

 private:
  bool Handshake(const Endpoint& server, const Deadline& deadline, int timeout_ms, std::string* error);

  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string name_;
};

}  // namespace kqsctl
