// The discovery thread and the version it reports.
#include "service/discovery.h"

#include <arpa/inet.h>

#include <sys/select.h>
#include <sys/socket.h>

#include <netinet/in.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>

#include "common/host/eventlog.h"
#include "common/host/servicefw.h"
#include "common/host/sysinfo.h"
#include "common/util/strbuf.h"
#include "protocol/kqsids.h"
#include "pts/methods.h"
#include "pts/ptscore.h"
#include "service/lifecycle.h"
#include "service/options.h"
#include "service/ratelimit.h"

int UDPSocket = -1;

namespace {

constexpr KQSVersionInfo kVersion{sizeof(KQSVersionInfo), 3, 0, 0, 0, 394};
constexpr int kProtocolVersion = static_cast<int>(KQS_PROTOCOL_VERSION);
constexpr char kReplyFormat[] =
    "Platform=%s;Uname=%s;Protocol=%d;VMajor=%d;VMinor=%d;VUpdate=%d;VBuild=%d;Install=%s";

void Log(unsigned short type, unsigned id) { EventLogAddMessage(type, id, 0, nullptr); }

// The reply is fixed for the life of the thread.
void BuildReply(std::array<char, 1024>& reply) {
  KQSVersionInfo version{};
  version.size = sizeof version;
  KQSVersion(&version);
  std::array<char, 128> host{};
  if (xGetHostOS(host.data(), host.size()) != 0) host[0] = '\0';
  sprintfnA(reply.data(), reply.size(), kReplyFormat, PlatformFromID(PRINTSERVER_UNIX),
            host.data(), kProtocolVersion, static_cast<int>(version.major),
            static_cast<int>(version.minor), static_cast<int>(version.update),
            static_cast<int>(version.build), tInstalldir);
  reply.back() = '\0';
}

// The UDP socket on the listen address (every local address when none is
// set); -1 when it cannot be had.
int OpenDiscoverySocket() {
  // Discovery is IPv4: an IPv6 ListenAddress leaves it on every IPv4 address.
  struct in_addr v4;
  if (szListenAddress[0] == '\0' || inet_pton(AF_INET, szListenAddress, &v4) != 1) {
    return PTS_SetupUDPListenSocket(kqs::kServicePort, 0);
  }
  struct sockaddr address;
  int s = kqs::SocketFor("udp", szListenAddress, kqs::kServicePort, &address);
  if (s != -1 && PTS_bind(s, &address, sizeof address) != 0) {
    PTS_closesocket(s);
    return -1;
  }
  return s;
}

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int OpenDiscovery() {
  UDPSocket = OpenDiscoverySocket();
  return UDPSocket == -1 ? -1 : 0;
}

void* DiscoveryThread(void*) {
  std::array<char, 1024> reply;
  BuildReply(reply);
  const int replyLength = static_cast<int>(std::strlen(reply.data()));

  if (UDPSocket == -1) UDPSocket = OpenDiscoverySocket();
  if (UDPSocket == -1) {
    Log(EVENTLOG_ERROR_TYPE, 101);
    return nullptr;
  }

  std::array<char, 32768> datagram;
  // Large: a bucket per source. Owned by this thread alone.
  auto budget = std::make_unique<kqs::DiscoveryBudget>(std::random_device{}());
  while (true) {
    fd_set readable;
    PTS_FD_ZERO(&readable);
    PTS_FD_SET(UDPSocket, &readable);
    if (PTS_select(UDPSocket + 1, &readable, nullptr, nullptr, nullptr) >= 1) {
      struct sockaddr from;
      socklen_t fromLength = sizeof from;
      int received = PTS_recvfrom(UDPSocket, datagram.data(), datagram.size(), 0, &from,
                                  &fromLength);
      if (received >= 1) {
        if (ServiceIsShutdown()) break;
        Log(EVENTLOG_INFORMATION_TYPE, 8);
        const auto* sender = reinterpret_cast<const struct sockaddr_in*>(&from);
        if (from.sa_family != AF_INET || budget->Allow(sender->sin_addr.s_addr, MonotonicMs())) {
          _PTS_sendto(UDPSocket, reply.data(), replyLength, 0, &from, fromLength);
        }
      }
    }
    if (ServiceIsShutdown()) break;
  }

  PTS_closesocket(UDPSocket);
  Log(EVENTLOG_INFORMATION_TYPE, 10);
  UDPSocket = -1;
  return nullptr;
}

int KQSVersion(KQSVersionInfo* record) {
  if (record == nullptr || record->size < sizeof(KQSVersionInfo)) return 0;
  record->major = kVersion.major;
  record->reserved = kVersion.reserved;
  record->minor = kVersion.minor;
  record->update = kVersion.update;
  record->build = kVersion.build;
  return 1;
}

void ExtractFileVersion(const char*, uint32_t* major, uint32_t* minor) {
  if (major != nullptr) *major = 0;
  if (minor != nullptr) *minor = 0;
}
