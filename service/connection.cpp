// Hand-over of the management connection between the listen thread and the
// shutdown path.
#include "service/connection.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include <openssl/err.h>

#include "pts/ptscore.h"

std::atomic<int> clientSocket{-1};

namespace kqs {
namespace {

std::timed_mutex g_use;
char g_peer[INET6_ADDRSTRLEN] = "";
// Used only under g_use, or by the listen thread between connections.
SSL* g_tls = nullptr;
constexpr std::chrono::milliseconds kUseWait{4000};

}  // namespace

ClientUse::ClientUse() : lock_(g_use), socket_(clientSocket.load()) {}

int ClientSend(const void* buf, int len) {
  ClientUse use;
  if (use.socket() == -1) {
    errno = ENOTCONN;
    return -1;
  }
  if (g_tls == nullptr) return PTS_send(use.socket(), buf, len, 0);
  int sent = 0;
  while (sent < len) {
    const int n = SSL_write(g_tls, static_cast<const char*>(buf) + sent, len - sent);
    if (n <= 0) return sent > 0 ? sent : -1;
    sent += n;
  }
  return sent;
}

int ClientReceive(const ClientUse& use, void* buf, int len) {
  if (use.socket() == -1) {
    errno = ENOTCONN;
    return -1;
  }
  if (g_tls == nullptr) return PTS_recv(use.socket(), buf, len, 0);
  const int n = SSL_read(g_tls, buf, len);
  if (n > 0) return n;
  const int error = SSL_get_error(g_tls, n);
  if (error == SSL_ERROR_ZERO_RETURN) return 0;
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) errno = EAGAIN;
  // A console that closes without TLS's close notice has still closed.
  if (error == SSL_ERROR_SSL || (error == SSL_ERROR_SYSCALL && errno == 0)) errno = ECONNRESET;
  ERR_clear_error();
  return -1;
}

bool ClientHasBuffered(const ClientUse& use) { return use.socket() != -1 && g_tls != nullptr && SSL_pending(g_tls) > 0; }

void SetClientTls(SSL* tls) {
  std::lock_guard<std::timed_mutex> lock(g_use);
  SSL_free(g_tls);
  g_tls = tls;
}

const char* ClientPeer() { return g_peer; }

void SetClientPeer(const struct sockaddr_storage& address) {
  const void* where = nullptr;
  int family = address.ss_family;
  if (family == AF_INET) {
    where = &reinterpret_cast<const struct sockaddr_in&>(address).sin_addr;
  } else if (family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const struct sockaddr_in6&>(address).sin6_addr;
    where = &in6;
    // A dual-stack listener sees an IPv4 console as ::ffff:a.b.c.d.
    if (IN6_IS_ADDR_V4MAPPED(&in6)) family = AF_INET, where = &in6.s6_addr[12];
  }
  if (where == nullptr || inet_ntop(family, where, g_peer, sizeof g_peer) == nullptr) g_peer[0] = '\0';
}

int ClientClose() {
  int s = clientSocket.exchange(-1);
  if (s == -1) return -1;
  PTS_shutdown(s, SHUT_RDWR);
  std::unique_lock<std::timed_mutex> lock(g_use, std::defer_lock);
  if (!lock.try_lock_for(kUseWait)) return -1;
  SSL_free(g_tls);
  g_tls = nullptr;
  return PTS_closesocket(s);
}

}  // namespace kqs
