// The discovery thread and the version it reports.
#include "service/discovery.h"

#include <arpa/inet.h>

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/utsname.h>

#include <arpa/inet.h>
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
#include "service/ratelimit.h"

namespace {

using kqs::DaemonState;

constexpr KQSVersionInfo kVersion{sizeof(KQSVersionInfo), 3, 0, 0, 0, 394};
constexpr int kProtocolVersion = static_cast<int>(KQS_PROTOCOL_VERSION);
constexpr char kReplyFormat[] =
    "Platform=%s;Uname=%s;Protocol=%d;VMajor=%d;VMinor=%d;VUpdate=%d;VBuild=%d;Install=%s";

void Log(unsigned short type, unsigned id) { EventLogAddMessage(type, id, 0, nullptr); }

// Datagrams from these ports are not answered: no console sends from them,
// and the services that do (time, name service) would be made to talk to
// each other with a spoofed sender.
constexpr int kFirstAnsweredPort = 1024;
// A held-back reply is logged at most this often.
constexpr int64_t kHeldBackLogMs = 60000;

// The reply is fixed for the life of the thread. It names the system but
// not its release, which would tell anyone on the network which kernel
// flaws to try.
void BuildReply(const char* installDir, std::array<char, 1024>& reply) {
  KQSVersionInfo version{};
  version.size = sizeof version;
  KQSVersion(&version);
  std::array<char, 128> host{};
  struct utsname system;
  if (uname(&system) == 0) RelStrCpyIntoBufA(host.data(), system.sysname, host.size());
  sprintfnA(reply.data(), reply.size(), kReplyFormat, PlatformFromID(PRINTSERVER_UNIX),
            host.data(), kProtocolVersion, static_cast<int>(version.major),
            static_cast<int>(version.minor), static_cast<int>(version.update),
            static_cast<int>(version.build), installDir);
  reply.back() = '\0';
}

// The UDP socket on the listen address (every local address when none is
// set); -1 when it cannot be had.
bool OnEveryAddress(const char* listenAddress) {
  // Discovery is IPv4: an IPv6 ListenAddress leaves it on every IPv4 address.
  struct in_addr v4;
  return listenAddress[0] == '\0' || inet_pton(AF_INET, listenAddress, &v4) != 1;
}

int OpenDiscoverySocket(const char* listenAddress) {
  if (OnEveryAddress(listenAddress)) {
    return PTS_SetupUDPListenSocket(kqs::kServicePort, 0);
  }
  struct sockaddr address;
  int s = kqs::SocketFor("udp", listenAddress, kqs::kServicePort, &address);
  if (s != -1 && PTS_bind(s, &address, sizeof address) != 0) {
    const int error = errno;
    PTS_closesocket(s);
    errno = error;
    return -1;
  }
  return s;
}

// The UDP socket, or -1 after errors 117 and 101: discovery cannot start.
int OpenDiscoveryOrLog(const char* listenAddress) {
  errno = 0;
  const int s = OpenDiscoverySocket(listenAddress);
  if (s == -1) {
    kqs::LogSocketFailure(117, "UDP", kqs::kServicePort,
                          OnEveryAddress(listenAddress) ? "every IPv4 address" : listenAddress, errno);
    Log(EVENTLOG_ERROR_TYPE, 101);
  }
  return s;
}

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// True when the datagram's sender is to be answered now.
bool Answerable(const struct sockaddr& from, kqs::DiscoveryBudget* budget, int64_t* lastHeldBackMs) {
  if (from.sa_family != AF_INET) return true;
  const auto* sender = reinterpret_cast<const struct sockaddr_in*>(&from);
  if (ntohs(sender->sin_port) < kFirstAnsweredPort) return false;
  const int64_t now = MonotonicMs();
  if (budget->Allow(sender->sin_addr.s_addr, now)) return true;
  if (now - *lastHeldBackMs >= kHeldBackLogMs) {
    *lastHeldBackMs = now;
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sender->sin_addr, address, sizeof address);
    const uintptr_t insertion = reinterpret_cast<uintptr_t>(address);
    EventLogAddMessage(EVENTLOG_WARNING_TYPE, 234, 1, &insertion);
  }
  return false;
}

}  // namespace

int OpenDiscovery(DaemonState* state) {
  if (!state->settings.discoveryEnabled) return 0;
  state->UDPSocket = OpenDiscoveryOrLog(state->settings.listenAddress);
  return state->UDPSocket == -1 ? -1 : 0;
}

void* DiscoveryThread(void* arg) {
  DaemonState* state = static_cast<DaemonState*>(arg);
  if (!state->settings.discoveryEnabled) return nullptr;
  std::array<char, 1024> reply;
  BuildReply(state->tInstalldir, reply);
  const int replyLength = static_cast<int>(std::strlen(reply.data()));

  if (state->UDPSocket == -1) state->UDPSocket = OpenDiscoveryOrLog(state->settings.listenAddress);
  const int udp = state->UDPSocket;
  if (udp == -1) return nullptr;

  std::array<char, 32768> datagram;
  // Large: a bucket per source. Owned by this thread alone.
  auto budget = std::make_unique<kqs::DiscoveryBudget>(std::random_device{}());
  int64_t lastHeldBackMs = MonotonicMs() - kHeldBackLogMs;
  while (true) {
    fd_set readable;
    PTS_FD_ZERO(&readable);
    PTS_FD_SET(udp, &readable);
    if (PTS_select(udp + 1, &readable, nullptr, nullptr, nullptr) >= 1) {
      struct sockaddr from;
      socklen_t fromLength = sizeof from;
      int received = PTS_recvfrom(udp, datagram.data(), datagram.size(), 0, &from, &fromLength);
      if (received >= 1) {
        if (ServiceIsShutdown()) break;
        Log(EVENTLOG_INFORMATION_TYPE, 8);
        if (Answerable(from, budget.get(), &lastHeldBackMs)) {
          _PTS_sendto(udp, reply.data(), replyLength, 0, &from, fromLength);
        }
      }
    }
    if (ServiceIsShutdown()) break;
  }

  // Shutdown may still be waking the socket: it is forgotten before it closes.
  state->UDPSocket = -1;
  PTS_closesocket(udp);
  Log(EVENTLOG_INFORMATION_TYPE, 10);
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
