// The one management connection being served. The listen thread accepts,
// reads and answers it; the shutdown path must be able to end a wait on it
// and close it. Ownership of the descriptor passes by atomic exchange, so it
// is closed exactly once, and every use of it by the listen thread happens
// under a small lock that a close waits for, so a descriptor number is never
// used after another thread may have been given it again. A connection on
// the TLS port carries its TLS state, through which every byte then goes.
#pragma once

#include <netinet/in.h>
#include <openssl/ssl.h>

#include <atomic>
#include <mutex>

// The accepted connection, -1 when none is open.
extern std::atomic<int> clientSocket;

namespace kqs {

// Holds the connection for one use (a wait and a receive, or a send): while
// it lives the connection is not closed underneath the holder. socket() is
// -1 when no connection is open. Never close the connection while holding one.
class ClientUse {
 public:
  ClientUse();
  ClientUse(const ClientUse&) = delete;
  ClientUse& operator=(const ClientUse&) = delete;
  int socket() const { return socket_; }

 private:
  std::unique_lock<std::timed_mutex> lock_;
  int socket_;
};

// Sends the whole buffer on the connection (PTS_send, flags 0, or through
// its TLS state). Returns the bytes sent, fewer than len when the send time
// limit ran out, or -1 (also when no connection is open).
int ClientSend(const void* buf, int len);

// Receives at most len bytes on the connection held by use (recv, or
// through its TLS state). Returns the count, 0 when the console closed the
// connection, or -1 with errno set (EAGAIN when the receive limit ran out
// inside a TLS record).
int ClientReceive(const ClientUse& use, void* buf, int len);

// True when the connection's TLS state holds received bytes not yet
// returned: a wait on the socket would not see them.
bool ClientHasBuffered(const ClientUse& use);

// Gives the connection its TLS state (ownership passes; null for a plain
// connection). Call from the listen thread, after the accept.
void SetClientTls(SSL* tls);

// The address of the console being served, as text ("" before the first
// connection): IPv4 dotted, or IPv6 (an IPv4-mapped one as its IPv4
// address). Written by the listen thread at accept, read by it and by the
// request handling it runs.
const char* ClientPeer();
void SetClientPeer(const struct sockaddr_storage& address);

// Takes the connection away (its TLS state is freed), shuts it down in both directions (which ends a
// wait, receive or send on it in another thread), then closes it once no use
// is in progress. Returns the close's result; -1 when no connection was open,
// or when a use did not end within 4000 ms (the descriptor is then left open
// rather than closed while in use).
int ClientClose();

}  // namespace kqs
