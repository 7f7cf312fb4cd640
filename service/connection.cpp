// Hand-over of the management connection between the listen thread and the
// shutdown path.
#include "service/connection.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "pts/ptscore.h"

std::atomic<int> clientSocket{-1};

namespace kqs {
namespace {

std::timed_mutex g_use;
char g_peer[INET_ADDRSTRLEN] = "";
constexpr std::chrono::milliseconds kUseWait{4000};

}  // namespace

ClientUse::ClientUse() : lock_(g_use), socket_(clientSocket.load()) {}

int ClientSend(const void* buf, int len) {
  ClientUse use;
  if (use.socket() == -1) {
    errno = ENOTCONN;
    return -1;
  }
  return PTS_send(use.socket(), buf, len, 0);
}

const char* ClientPeer() { return g_peer; }

void SetClientPeer(const struct sockaddr_in& address) {
  if (inet_ntop(AF_INET, &address.sin_addr, g_peer, sizeof g_peer) == nullptr) g_peer[0] = '\0';
}

int ClientClose() {
  int s = clientSocket.exchange(-1);
  if (s == -1) return -1;
  PTS_shutdown(s, SHUT_RDWR);
  std::unique_lock<std::timed_mutex> lock(g_use, std::defer_lock);
  if (!lock.try_lock_for(kUseWait)) return -1;
  return PTS_closesocket(s);
}

void ClientInterrupt() {
  const int s = clientSocket;
  if (s != -1) PTS_shutdown(s, SHUT_RDWR);
}

}  // namespace kqs
