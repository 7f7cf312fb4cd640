// A management connection over a plain socket.
#include "service/connection.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "pts/ptscore.h"

namespace kqs {

SocketConnection::~SocketConnection() {
  if (socket_ != -1) PTS_closesocket(socket_);
}

int SocketConnection::Receive(void* buf, int len, int waitMs) {
  pollfd p{socket_, POLLIN, 0};
  const int ready = poll(&p, 1, waitMs);
  if (ready == 0 || (ready == -1 && errno == EINTR)) return kNoData;
  if (ready == -1) return -1;
  return PTS_recv(socket_, buf, len, 0);
}

int SocketConnection::Send(const void* buf, int len) { return PTS_send(socket_, buf, len, 0); }

bool SocketConnection::HasUnsentData() const {
  int queued = 0;
  return PTS_ioctlsocket(socket_, SIOCOUTQ, &queued) == 0 && queued > 0;
}

void SocketConnection::Abort() { PTS_shutdown(socket_, SHUT_RDWR); }

std::string PeerText(const struct sockaddr* address, socklen_t length) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  } else if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    // An IPv4 console reaching an IPv6 socket is named, allowed and counted
    // as the IPv4 address it is.
    if (IN6_IS_ADDR_V4MAPPED(&a)) {
      inet_ntop(AF_INET, &a.s6_addr[12], text, sizeof text);
    } else {
      inet_ntop(AF_INET6, &a, text, sizeof text);
    }
  }
  return text;
}

void GuardSocket(int s, int keepAliveSeconds, uint32_t sendTimeoutMs) {
  const int on = 1;
  const int idle = keepAliveSeconds;
  const int interval = idle / 3 > 0 ? idle / 3 : 1;
  const int probes = 3;
  const unsigned userTimeoutMs = sendTimeoutMs;
  struct timeval sendLimit{static_cast<time_t>(sendTimeoutMs / 1000),
                           static_cast<suseconds_t>((sendTimeoutMs % 1000) * 1000)};
  PTS_setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  PTS_setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  PTS_setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  PTS_setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  PTS_setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
  PTS_setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
}

}  // namespace kqs
