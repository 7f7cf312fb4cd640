// The method table and what is built on it: address-text classification,
// socket address records, method look-ups and the listen/connect set-ups.
#include "pts/methods.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/ioctl.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "common/util/strutil.h"
#include "pts/hostcache.h"
#include "pts/ptscore.h"

namespace {

constexpr int kInet = AF_INET;
constexpr int kIpx = PTS_AF_IPX;
constexpr int kStream = SOCK_STREAM;
constexpr int kDgram = SOCK_DGRAM;
constexpr int kRaw = SOCK_RAW;
constexpr int kSeqPacket = SOCK_SEQPACKET;

constexpr socklen_t kAddrLen = 16;

}  // namespace

const PtsMethod methodList[] = {
    {"http", kInet, kStream, 0, 80},
    {"arp", kInet, kRaw, 0, 0},
    {"comcheck", kIpx, kDgram, 1000, 0x8008},
    {"diag", kIpx, kDgram, 1000, 0x0456},
    {"dns", kInet, kDgram, 0, 53},
    {"ftp", kInet, kStream, 0, 21},
    {"ipx", kIpx, kDgram, 1000, 0},
    {"ipx0", kIpx, kDgram, 1000, 0},
    {"ipx1", kIpx, kDgram, 1001, 0},
    {"ipx4", kIpx, kDgram, 1004, 0},
    {"raw", kInet, kRaw, 255, 0},
    {"icmp", kInet, kRaw, 1, 0},
    {"ping", kInet, kRaw, 1, 0},
    {"printspx", kIpx, kStream, 1256, 0},
    {"printtcp", kInet, kStream, 0, 0},
    {"proxy", kInet, kStream, 0, 8088},
    {"pserver", kIpx, kStream, 1256, 0x8060},
    {"rcfg", kIpx, kStream, 1256, 0},
    {"diagconn", kIpx, kStream, 1256, 0},
    {"rip", kIpx, kDgram, 1001, 0x0453},
    {"smtp", kInet, kStream, 0, 25},
    {"snmpipx", kIpx, kDgram, 1004, 0x900F},
    {"snmpudp", kInet, kDgram, 0, 161},
    {"slp", kInet, kDgram, 0, 427},
    {"spxstream", kIpx, kStream, 1256, 0},
    {"spxpacket", kIpx, kSeqPacket, 1256, 0},
    {"spx2stream", kIpx, kStream, 1257, 0},
    {"spx2packet", kIpx, kSeqPacket, 1257, 0},
    {"sqry", kIpx, kDgram, 1000, 0x0452},
    {"tcp", kInet, kStream, 0, 0},
    {"telnet", kInet, kStream, 0, 23},
    {"tftp", kInet, kDgram, 0, 69},
    {"udp", kInet, kDgram, 0, 0},
    {"bootps", kInet, kDgram, 0, 67},
    {"kqsudp", kInet, kDgram, 0, 55554},
    {"kqstcp", kInet, kStream, 0, 55554},
    {nullptr, 0, 0, 0, 0},
};

namespace {

// Methods whose port is chosen by a port index: indexes 0 and 1 give the
// first port, 2 and 3 the next ones.
struct IndexedPorts {
  const char* method;
  std::array<int, 4> ports;
};
constexpr std::array<IndexedPorts, 3> kIndexedPorts = {{
    {"printtcp", {9100, 9100, 9101, 9102}},
    {"printspx", {0x400C, 0x400C, 0x401C, 0x402C}},
    {"rcfg", {0x400C, 0x400C, 0x401C, 0x402C}},
}};

// Closes sock without losing the errno of the failure that led here.
int CloseAndFail(int sock) {
  int saved = errno;
  PTS_closesocket(sock);
  errno = saved;
  return -1;
}

int FillInet(const char* text, struct sockaddr_in* in) {
  std::string_view t(text);
  in_addr_t ip;
  if (PTS_GetTokenType(text) == PTS_TOKEN_IPV4) {
    // inet_addr cannot tell the broadcast address from its failure value.
    if (t == "255.255.255.255") {
      ip = htonl(INADDR_BROADCAST);
    } else if (t == "0.0.0.0") {
      ip = htonl(INADDR_ANY);
    } else if (t == "127.0.0.1") {
      ip = htonl(INADDR_LOOPBACK);
    } else {
      ip = PTS_inet_addr(text);
      if (ip == INADDR_NONE) return -1;
    }
  } else if (strcasecmp(text, "localhost") == 0) {
    ip = htonl(INADDR_LOOPBACK);
  } else if (PTS_HostCacheRetrieval(nullptr, text, nullptr, 0, &ip) != 0) {
    return -1;
  }
  in->sin_addr.s_addr = ip;
  return 0;
}

int FillIpx(const char* text, int port, PtsIpxAddr* ipx) {
  if (std::strlen(text) < 21) return -1;
  if (BinifyA(ipx->sa_netnum, text, 8) == nullptr) return -1;
  if (BinifyA(ipx->sa_nodenum, text + 9, 12) == nullptr) return -1;
  ipx->sa_socket = htons(static_cast<uint16_t>(port));
  return 0;
}

}  // namespace

int PTS_GetTokenType(const char* text) {
  if (text == nullptr) return PTS_TOKEN_OTHER;
  std::string_view t(text);
  int dots = 0;
  int separators = 0;
  bool allHex = true;
  bool allDecimal = true;
  for (char c : t) {
    if (c == '.' || c == ':') {
      ++separators;
      if (c == '.') ++dots;
    } else if (!std::isxdigit(static_cast<unsigned char>(c))) {
      allHex = false;
      allDecimal = false;
    } else if (!std::isdigit(static_cast<unsigned char>(c))) {
      allDecimal = false;
    }
  }
  if (t.size() == 12 && separators == 0 && allHex) return PTS_TOKEN_MAC;
  if (t.size() == 21 && separators == 1 && (t[8] == '.' || t[8] == ':') && allHex)
    return PTS_TOKEN_IPX;
  if (allDecimal && dots == 3 && separators == 3) return PTS_TOKEN_IPV4;
  if (!t.empty() && ((t[0] >= 'A' && t[0] <= 'Z') || (t[0] >= 'a' && t[0] <= 'z')))
    return PTS_TOKEN_HOSTNAME;
  return PTS_TOKEN_OTHER;
}

int PTS_FillAddr(const char* text, int family, int port, struct sockaddr* addr) {
  if (!PTS_IsStarted() || addr == nullptr) return -1;
  std::memset(addr, 0, kAddrLen);
  addr->sa_family = static_cast<sa_family_t>(family);
  if (family != kInet && family != kIpx) return 0;
  if (text == nullptr || port < 0 || port > 0xFFFF) {
    errno = EINVAL;
    return -1;
  }
  if (family == kInet) {
    struct sockaddr_in in;
    std::memcpy(&in, addr, sizeof in);
    if (FillInet(text, &in) != 0) return -1;
    in.sin_port = htons(static_cast<uint16_t>(port));
    std::memcpy(addr, &in, sizeof in);
  } else {
    PtsIpxAddr ipx;
    std::memcpy(&ipx, addr, sizeof ipx);
    if (FillIpx(text, port, &ipx) != 0) return -1;
    std::memcpy(addr, &ipx, sizeof ipx);
  }
  return 0;
}

int PTS_GetSocketInfoByMethod(const char* method, int portIndex, int* family, int* type,
                              int* protocol, int* port) {
  if (!PTS_IsStarted() || method == nullptr) return -1;
  const PtsMethod* row = methodList;
  while (row->pszMethod != nullptr && strcasecmp(row->pszMethod, method) != 0) ++row;
  if (row->pszMethod == nullptr) return -1;
  if (family != nullptr) *family = row->nFamily;
  if (type != nullptr) *type = row->nType;
  if (protocol != nullptr) *protocol = row->nProtocol;
  if (port != nullptr) *port = row->nPort;
  for (const IndexedPorts& indexed : kIndexedPorts) {
    if (strcasecmp(indexed.method, method) != 0) continue;
    auto index = static_cast<unsigned>(portIndex);
    if (index >= indexed.ports.size()) return -1;
    if (port != nullptr) *port = indexed.ports[index];
  }
  return 0;
}

int PTS_SetupListenSocket(const char* method, int port, int nonBlocking) {
  int family, type, protocol, rowPort;
  if (PTS_GetSocketInfoByMethod(method, 0, &family, &type, &protocol, &rowPort) != 0) return -1;
  struct sockaddr addr;
  if (PTS_FillAddr("0.0.0.0", family, port, &addr) != 0) return -1;
  int sock = PTS_socket(family, type, protocol);
  if (sock < 0) return -1;
  if (nonBlocking != 0) {
    int on = 1;
    if (PTS_ioctlsocket(sock, FIONBIO, &on) != 0) return CloseAndFail(sock);
  }
  if (PTS_bind(sock, &addr, kAddrLen) != 0) return CloseAndFail(sock);
  return sock;
}

int PTS_SetupUDPListenSocket(int port, int nonBlocking) {
  return PTS_SetupListenSocket("udp", port, nonBlocking);
}

int PTS_SetupTCPListenSocket(int port, int nonBlocking) {
  int sock = PTS_SetupListenSocket("tcp", port, nonBlocking);
  if (sock < 0) return -1;
  if (PTS_listen(sock, 5) != 0) return CloseAndFail(sock);
  return sock;
}

int PTS_SetupConnectSocket(const char* method, const char* host, int port) {
  if (host == nullptr) host = "localhost";
  int family, type, protocol, rowPort;
  if (PTS_GetSocketInfoByMethod(method, 0, &family, &type, &protocol, &rowPort) != 0) return -1;
  struct sockaddr addr;
  if (PTS_FillAddr(host, family, port, &addr) != 0) return -1;
  int sock = PTS_socket(family, type, protocol);
  if (sock < 0) return -1;
  if (PTS_connect(sock, &addr, kAddrLen) != 0) return CloseAndFail(sock);
  return sock;
}

int PTS_SetupTCPConnectSocket(const char* host, int port) {
  return PTS_SetupConnectSocket("tcp", host, port);
}

int PTS_SetupUDPConnectSocket(const char* host, int port) {
  return PTS_SetupConnectSocket("udp", host, port);
}
