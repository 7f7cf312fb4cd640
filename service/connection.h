// The one management connection being served. The listen thread accepts,
// reads and answers it; the shutdown path must be able to end a wait on it
// and close it. Ownership of the descriptor passes by atomic exchange, so it
// is closed exactly once, and every use of it by the listen thread happens
// under a small lock that a close waits for, so a descriptor number is never
// used after another thread may have been given it again.
#pragma once

#include <netinet/in.h>

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

// Sends the whole buffer on the connection (PTS_send, flags 0). Returns the
// bytes sent, fewer than len when the send time limit ran out, or -1 (also
// when no connection is open).
int ClientSend(const void* buf, int len);

// The address of the console being served, as text ("" before the first
// connection). Written by the listen thread at accept, read by it and by the
// request handling it runs.
const char* ClientPeer();
void SetClientPeer(const struct sockaddr_in& address);

// Takes the connection away, shuts it down in both directions (which ends a
// wait, receive or send on it in another thread), then closes it once no use
// is in progress. Returns the close's result; -1 when no connection was open,
// or when a use did not end within 4000 ms (the descriptor is then left open
// rather than closed while in use).
int ClientClose();

// Shuts the connection down in both directions, if one is open, so that a
// wait, receive or send on it ends; the listen thread then closes it.
void ClientInterrupt();

}  // namespace kqs
