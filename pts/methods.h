// Named network methods: the table that maps a method name ("tcp", "snmpudp",
// "diag" ...) to the family, socket type, protocol and default port a socket
// for it needs, address-text classification and parsing, and one-call set-up
// of bound listening sockets and connected sockets.
#pragma once

#include <sys/socket.h>

#include <cstdint>

// Address family of the IPX rows (the number the Windows socket interface
// uses). This host has no IPX, so sockets of these rows cannot be created.
constexpr int PTS_AF_IPX = 6;

struct PtsMethod {
  const char* pszMethod;  // compared ignoring case; null ends the table
  int nFamily;            // AF_INET or PTS_AF_IPX
  int nType;              // SOCK_STREAM, SOCK_DGRAM, SOCK_RAW or SOCK_SEQPACKET
  int nProtocol;          // 0 = family default, 1 = ICMP, 255 = raw IP, 1000+ = IPX/SPX
  int nPort;              // default port (IPX: socket number), host order; 0 = none
};

// The 36 methods, searched from the first row, then a row with a null name.
extern const PtsMethod methodList[];

// An IPX socket address as PTS_FillAddr builds it: 16 bytes, the family in
// host order, network and node numbers as bytes, the socket number in
// network order.
struct PtsIpxAddr {
  uint16_t sa_family;
  uint8_t sa_netnum[4];
  uint8_t sa_nodenum[6];
  uint16_t sa_socket;
  uint8_t sa_zero[2];
};
static_assert(sizeof(PtsIpxAddr) == 16);
static_assert(sizeof(struct sockaddr) == 16);

// Address token types of PTS_GetTokenType.
enum {
  PTS_TOKEN_OTHER = 0,
  PTS_TOKEN_IPX = 1,       // 8 hex digits, "." or ":", 12 hex digits
  PTS_TOKEN_IPV4 = 2,      // decimal digits and exactly three dots
  PTS_TOKEN_MAC = 3,       // exactly 12 hex digits
  PTS_TOKEN_HOSTNAME = 4,  // begins with a letter
};

// Classifies an address text (0 to 4, tested in the order of the values
// above after the MAC test). A null text is 0.
int PTS_GetTokenType(const char* text);

// Builds a 16-byte socket address for text and port (host order, 0..65535).
// AF_INET: a dotted address, "localhost" (any case, no lookup), or a host
// name resolved through the host cache. PTS_AF_IPX: "NNNNNNNN.HHHHHHHHHHHH"
// (either separator). Any other family: only the family is stored. Returns
// 0, or -1 before start-up, for an invalid port, or when the text is not a
// usable address.
int PTS_FillAddr(const char* text, int family, int port, struct sockaddr* addr);

// Looks a method up (ignoring case) and writes its row's values to the
// outputs that are given. For "printtcp", "printspx" and "rcfg" the port
// comes from portIndex (0 and 1 the first port, 2 and 3 the next two); any
// other index returns -1 after writing the row's values. Other methods
// ignore portIndex. Returns 0, or -1 before start-up or for an unknown
// method (nothing written).
int PTS_GetSocketInfoByMethod(const char* method, int portIndex, int* family, int* type,
                              int* protocol, int* port);

// A socket of the method's kind bound to every local address on port (the
// row's own port is not used), non-blocking when nonBlocking is non-zero. No
// socket option is set. Returns the socket, or -1 (errno tells why; a socket
// made on the way is closed).
int PTS_SetupListenSocket(const char* method, int port, int nonBlocking);
int PTS_SetupUDPListenSocket(int port, int nonBlocking);
// As PTS_SetupListenSocket("tcp", ...), then listening with a backlog of 5.
int PTS_SetupTCPListenSocket(int port, int nonBlocking);

// A socket of the method's kind connected (blocking) to host, or to
// "localhost" when host is null. Returns the socket or -1 (errno tells why;
// a socket made on the way is closed).
int PTS_SetupConnectSocket(const char* method, const char* host, int port);
int PTS_SetupTCPConnectSocket(const char* host, int port);
int PTS_SetupUDPConnectSocket(const char* host, int port);
