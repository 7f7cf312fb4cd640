// Socket core: start-up counting, the layer lock and the socket wrappers. The
// wrappers add nothing but the start-up check, except the send that loops
// until the buffer is out and the send/receive that refuse a socket with an
// exceptional condition pending.
#include "pts/ptscore.h"

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <csignal>
#include <cstring>

std::atomic<int32_t> nPTSInitCnt{0};
JThreadCritSecHandle glbCS = nullptr;
int glbBDNSEnabled = 1;
int glbBArpRouteEnabled = 1;

namespace {

// The descriptor-set words are handed to select unchanged, so the 32-word
// layout must coincide with the platform's fd_set: same size, and on a
// little-endian host 32-bit word d/32 holds the same bits as the C library's
// wider words.
constexpr int kSetWords = 32;
constexpr int kSetBits = kSetWords * 32;
static_assert(sizeof(fd_set) == kSetWords * sizeof(uint32_t));
static_assert(std::endian::native == std::endian::little);

bool BadLength(int len) {
  if (len >= 0) return false;
  errno = EINVAL;
  return true;
}

// Polls for an exceptional condition without waiting: 0 when none is
// pending, anything else (a pending condition or a failed select) refuses
// the transfer.
int PollException(int sock) {
  if (sock < 0 || sock >= kSetBits) {
    errno = EBADF;
    return -1;
  }
  fd_set except;
  PTS_FD_ZERO(&except);
  PTS_FD_SET(sock, &except);
  struct timeval zero = {0, 0};
  return select(sock + 1, nullptr, nullptr, &except, &zero);
}

uint32_t LoadWord(const fd_set* set, int word) {
  uint32_t w;
  std::memcpy(&w, reinterpret_cast<const unsigned char*>(set) + word * sizeof w, sizeof w);
  return w;
}

void StoreWord(fd_set* set, int word, uint32_t w) {
  std::memcpy(reinterpret_cast<unsigned char*>(set) + word * sizeof w, &w, sizeof w);
}

}  // namespace

int _PTS_startup() {
  if (nPTSInitCnt <= 0) {
    nPTSInitCnt = 1;
    if (JThreadCritSecCreate(&glbCS) != 0) glbCS = nullptr;
  } else {
    ++nPTSInitCnt;
  }
  return 0;
}

int _PTS_cleanup() {
  if (nPTSInitCnt <= 0) return -1;
  if (nPTSInitCnt > 1) {
    --nPTSInitCnt;
    return 0;
  }
  nPTSInitCnt = 0;
  if (glbCS != nullptr) {
    JThreadCritSecDelete(glbCS);
    glbCS = nullptr;
  }
  return 0;
}

bool PTS_IsStarted() { return nPTSInitCnt > 0; }

int PTS_socket(int family, int type, int protocol) {
  if (!PTS_IsStarted()) return -1;
  return socket(family, type | SOCK_CLOEXEC, protocol);
}

int PTS_closesocket(int sock) {
  if (!PTS_IsStarted()) return -1;
  return close(sock);
}

int PTS_shutdown(int sock, int how) {
  if (!PTS_IsStarted()) return -1;
  return shutdown(sock, how);
}

int PTS_bind(int sock, const struct sockaddr* addr, socklen_t addrLen) {
  if (!PTS_IsStarted()) return -1;
  return bind(sock, addr, addrLen);
}

int PTS_listen(int sock, int backlog) {
  if (!PTS_IsStarted()) return -1;
  return listen(sock, backlog);
}

int PTS_accept(int sock, struct sockaddr* addr, socklen_t* addrLen) {
  if (!PTS_IsStarted()) return -1;
  return accept4(sock, addr, addrLen, SOCK_CLOEXEC);
}

int PTS_connect(int sock, const struct sockaddr* addr, socklen_t addrLen) {
  if (!PTS_IsStarted()) return -1;
  return connect(sock, addr, addrLen);
}

int _PTS_sendto(int sock, const void* buf, int len, int flags, const struct sockaddr* to,
                socklen_t toLen) {
  if (!PTS_IsStarted() || BadLength(len)) return -1;
  return static_cast<int>(sendto(sock, buf, static_cast<size_t>(len), flags, to, toLen));
}

int PTS_recvfrom(int sock, void* buf, int len, int flags, struct sockaddr* from,
                 socklen_t* fromLen) {
  if (!PTS_IsStarted() || BadLength(len)) return -1;
  return static_cast<int>(recvfrom(sock, buf, static_cast<size_t>(len), flags, from, fromLen));
}

int PTS_select(int nfds, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
               struct timeval* timeout) {
  if (!PTS_IsStarted()) return -1;
  return select(nfds, readSet, writeSet, exceptSet, timeout);
}

int PTS_getsockopt(int sock, int level, int option, void* value, socklen_t* valueLen) {
  if (!PTS_IsStarted()) return -1;
  return getsockopt(sock, level, option, value, valueLen);
}

int PTS_setsockopt(int sock, int level, int option, const void* value, socklen_t valueLen) {
  if (!PTS_IsStarted()) return -1;
  return setsockopt(sock, level, option, value, valueLen);
}

int PTS_getpeername(int sock, struct sockaddr* addr, socklen_t* addrLen) {
  if (!PTS_IsStarted()) return -1;
  return getpeername(sock, addr, addrLen);
}

int PTS_getsockname(int sock, struct sockaddr* addr, socklen_t* addrLen) {
  if (!PTS_IsStarted()) return -1;
  return getsockname(sock, addr, addrLen);
}

int PTS_ioctlsocket(int sock, unsigned long command, void* arg) { return ioctl(sock, command, arg); }

uint16_t PTS_htons(uint16_t v) { return htons(v); }
uint32_t PTS_htonl(uint32_t v) { return htonl(v); }
uint16_t PTS_ntohs(uint16_t v) { return ntohs(v); }
uint32_t PTS_ntohl(uint32_t v) { return ntohl(v); }

int PTS_send(int sock, const void* buf, int len, int flags) {
  if (!PTS_IsStarted() || BadLength(len)) return -1;
  const auto* bytes = static_cast<const unsigned char*>(buf);
  int sent = 0;
  while (sent < len) {
    if (PollException(sock) != 0) return -1;
    ssize_t n = send(sock, bytes + sent, static_cast<size_t>(len - sent), flags);
    if (n <= 0) break;
    sent += static_cast<int>(n);
  }
  return sent > 0 ? sent : -1;
}

int PTS_recv(int sock, void* buf, int len, int flags) {
  if (!PTS_IsStarted() || BadLength(len)) return -1;
  if (PollException(sock) != 0) return -1;
  return static_cast<int>(recv(sock, buf, static_cast<size_t>(len), flags));
}

int PTS_getlasterror() {
  if (!PTS_IsStarted()) return -1;
  return errno;
}

void PTS_FD_ZERO(fd_set* set) { std::memset(set, 0, sizeof *set); }

void PTS_FD_SET(int fd, fd_set* set) {
  if (fd < 0 || fd >= kSetBits) return;
  StoreWord(set, fd / 32, LoadWord(set, fd / 32) | (1u << (fd % 32)));
}

void PTS_FD_CLR(int fd, fd_set* set) {
  if (fd < 0 || fd >= kSetBits) return;
  StoreWord(set, fd / 32, LoadWord(set, fd / 32) & ~(1u << (fd % 32)));
}

uint32_t PTS_FD_ISSET(int fd, const fd_set* set) {
  if (fd < 0 || fd >= kSetBits) return 0;
  return LoadWord(set, fd / 32) & (1u << (fd % 32));
}

void PTS_MaskSigPipeErrors() { signal(SIGPIPE, SIG_IGN); }

void PTS_dbgexit() {}
void EnterIntoResList(PtsResourceType, int, const char*, const char*) {}
void RemoveFromResList(PtsResourceType, int) {}
