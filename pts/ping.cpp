// Reachability probes. The three probes differ only in their method, their
// request, how an answering datagram is recognised and where the response
// time is measured from; one skeleton runs them all: drain stale datagrams,
// then per try send the request and wait for a datagram from the device.
#include "pts/ping.h"

#include <netinet/in.h>
#include <strings.h>
#include <sys/select.h>

#include <array>
#include <cstring>

#include "common/host/sysinfo.h"
#include "pts/arp.h"
#include "pts/methods.h"
#include "pts/ptscore.h"

uint16_t nPTSProbeCount = 0;

namespace {

enum class Probe { kIpxDiag, kIcmpEcho, kSnmp };

constexpr int kReceiveSize = 1024;
constexpr int kEchoSize = 12;
// The longest community whose message length still fits in one BER byte.
constexpr size_t kMaxCommunity = 127 - 25;
// More datagrams than a socket's receive queue can hold at once: the drain
// ends even when a device keeps sending.
constexpr int kMaxDrained = 1024;

// Everything after the community of an SNMP version 1 GetNextRequest for the
// object 0.1: request id, error status and index 0, one binding with a null
// value.
constexpr std::array<uint8_t, 20> kGetNextPdu = {0xA1, 0x12, 0x02, 0x01, 0x00, 0x02, 0x01,
                                                 0x00, 0x02, 0x01, 0x00, 0x30, 0x07, 0x30,
                                                 0x05, 0x06, 0x01, 0x01, 0x05, 0x00};

struct Request {
  std::array<uint8_t, 128> bytes{};
  int length = 0;
  uint16_t echoId = 0;        // ICMP: the probe counter for this probe
  uint32_t echoTimestamp = 0; // ICMP: the tick count written into the request
};

const char* MethodOf(Probe probe) {
  switch (probe) {
    case Probe::kIpxDiag: return "diag";
    case Probe::kIcmpEcho: return "ping";
    case Probe::kSnmp: return "snmpudp";
  }
  return "";
}

void BuildEcho(Request& req) {
  req.length = kEchoSize;
  uint8_t* p = req.bytes.data();
  std::memset(p, 0, kEchoSize);
  p[0] = 8;  // echo request, code 0
  const uint16_t id = htons(req.echoId);
  std::memcpy(p + 4, &id, 2);
  std::memcpy(p + 6, &id, 2);
  req.echoTimestamp = xGetTickCount();
  std::memcpy(p + 8, &req.echoTimestamp, 4);  // host order: only we read it back
  const uint16_t sum = InternetChksum(p, kEchoSize);
  std::memcpy(p + 2, &sum, 2);
}

bool BuildGetNext(Request& req, const char* community) {
  if (community == nullptr) return false;
  const size_t n = std::strlen(community);
  if (n > kMaxCommunity) return false;
  uint8_t* p = req.bytes.data();
  p[0] = 0x30;
  p[1] = static_cast<uint8_t>(25 + n);
  p[2] = 0x02;
  p[3] = 0x01;
  p[4] = 0x00;
  p[5] = 0x04;
  p[6] = static_cast<uint8_t>(n);
  std::memcpy(p + 7, community, n);
  std::memcpy(p + 7 + n, kGetNextPdu.data(), kGetNextPdu.size());
  req.length = static_cast<int>(27 + n);
  return true;
}

// 1 readable, 0 nothing within timeoutMs, -1 the wait failed.
int WaitReadable(int sock, unsigned timeoutMs) {
  fd_set readSet;
  PTS_FD_ZERO(&readSet);
  PTS_FD_SET(sock, &readSet);
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(timeoutMs / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
  const int n = PTS_select(sock + 1, &readSet, nullptr, nullptr, &tv);
  if (n < 0) return -1;
  return n > 0 && PTS_FD_ISSET(sock, &readSet) ? 1 : 0;
}

// Discards what arrived before the probe, so an old answer is never taken
// for a new one.
void Drain(int sock) {
  std::array<uint8_t, kReceiveSize> buf;
  for (int i = 0; i < kMaxDrained && WaitReadable(sock, 0) == 1; ++i) {
    if (PTS_recvfrom(sock, buf.data(), kReceiveSize, 0, nullptr, nullptr) <= 0) return;
  }
}

bool IsFromDevice(Probe probe, const struct sockaddr& dest, const struct sockaddr_storage& from,
                  socklen_t fromLen) {
  if (probe == Probe::kIpxDiag) {
    // The node number: bytes 6 to 11 of an IPX address.
    constexpr size_t node = offsetof(PtsIpxAddr, sa_nodenum);
    return fromLen >= node + 6 &&
           std::memcmp(reinterpret_cast<const uint8_t*>(&from) + node,
                       reinterpret_cast<const uint8_t*>(&dest) + node, 6) == 0;
  }
  const auto& to = reinterpret_cast<const sockaddr_in&>(dest);
  const auto& in = reinterpret_cast<const sockaddr_in&>(from);
  return fromLen >= sizeof(sockaddr_in) && from.ss_family == AF_INET &&
         in.sin_addr.s_addr == to.sin_addr.s_addr;
}

int RunProbe(Probe probe, int sock, const char* address, const unsigned char* mac, int tries,
             unsigned timeout, Request& req, unsigned* responseTime) {
  int family = 0, type = 0, protocol = 0, port = 0;
  if (PTS_GetSocketInfoByMethod(MethodOf(probe), 0, &family, &type, &protocol, &port) != 0) {
    return -1;
  }
  struct sockaddr dest;
  if (address == nullptr || PTS_FillAddr(address, family, port, &dest) != 0) return -1;
  if (tries == 0) tries = 1;
  if (timeout == 0) timeout = 1000;
  if (sock < 0 || sock >= FD_SETSIZE) return -1;

  if (probe == Probe::kIcmpEcho) BuildEcho(req);
  Drain(sock);

  const uint32_t firstTick = xGetTickCount();
  for (int t = 0; t < tries; ++t) {
    if (PTS_sendto_addrORmac(sock, req.bytes.data(), req.length, 0, &dest, sizeof dest, mac) !=
        req.length) {
      return -1;
    }
    const uint32_t sentTick = xGetTickCount();
    for (;;) {
      const int ready = WaitReadable(sock, timeout);
      if (ready == 0) break;  // silent this time: next try
      if (ready < 0) return -1;
      std::array<uint8_t, kReceiveSize> buf;
      struct sockaddr_storage from;
      socklen_t fromLen = sizeof from;
      std::memset(&from, 0, sizeof from);
      const int n = PTS_recvfrom(sock, buf.data(), kReceiveSize, 0,
                                 reinterpret_cast<struct sockaddr*>(&from), &fromLen);
      if (n <= 0) return -1;
      if (!IsFromDevice(probe, dest, from, fromLen)) continue;  // someone else: keep waiting
      if (responseTime != nullptr) {
        const uint32_t since = probe == Probe::kIpxDiag    ? firstTick
                               : probe == Probe::kIcmpEcho ? req.echoTimestamp
                                                           : sentTick;
        *responseTime = xGetTickCount() - since;
      }
      return 0;
    }
  }
  return -1;
}

// A socket for the method, or -1.
int OpenProbeSocket(const char* method) {
  int family = 0, type = 0, protocol = 0, port = 0;
  if (PTS_GetSocketInfoByMethod(method, 0, &family, &type, &protocol, &port) != 0) return -1;
  return PTS_socket(family, type, protocol);
}

}  // namespace

uint16_t InternetChksum(const void* data, int length) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t sum = 0;
  int i = 0;
  for (; i + 1 < length; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  if (i < length) sum += static_cast<uint32_t>(p[i] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return htons(static_cast<uint16_t>(~sum & 0xFFFF));
}

int _PTS_diagping(int sock, const char* address, const unsigned char* mac, int tries,
                  unsigned timeout, unsigned* responseTime) {
  if (address == nullptr || strncasecmp(address, "ffffffff.", 9) == 0) return -1;
  Request req;
  req.length = 2;  // two zero bytes
  return RunProbe(Probe::kIpxDiag, sock, address, mac, tries, timeout, req, responseTime);
}

int _PTS_icmpping(int sock, const char* address, const unsigned char* mac, int tries,
                  unsigned timeout, unsigned* responseTime) {
  Request req;
  req.echoId = ++nPTSProbeCount;
  return RunProbe(Probe::kIcmpEcho, sock, address, mac, tries, timeout, req, responseTime);
}

int _PTS_snmpping(int sock, const char* community, const char* address, const unsigned char* mac,
                  int tries, unsigned timeout, unsigned* responseTime) {
  Request req;
  if (!BuildGetNext(req, community)) return -1;
  return RunProbe(Probe::kSnmp, sock, address, mac, tries, timeout, req, responseTime);
}

int PTS_ping(const char* address, const unsigned char* mac, int tries, unsigned timeout,
             unsigned* responseTime) {
  if (address == nullptr) return -1;
  if (PTS_GetTokenType(address) == PTS_TOKEN_IPX) {
    const int sock = OpenProbeSocket("diag");
    if (sock < 0) return -1;
    const int result = _PTS_diagping(sock, address, mac, tries, timeout, responseTime);
    PTS_closesocket(sock);
    return result;
  }
  int sock = OpenProbeSocket("ping");
  if (sock >= 0) {
    const int result = _PTS_icmpping(sock, address, mac, tries, timeout, responseTime);
    PTS_closesocket(sock);
    return result;
  }
  // No raw socket (no privilege for one): ask the device's SNMP agent.
  sock = OpenProbeSocket("snmpudp");
  if (sock < 0) return -1;
  const int result = _PTS_snmpping(sock, "public", address, mac, tries, timeout, responseTime);
  PTS_closesocket(sock);
  return result;
}
