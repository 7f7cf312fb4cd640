// Host name resolution for the socket layer: thread-safe resolver wrappers,
// filtered lookups that honour the DNS switch and back off for 60 s after the
// resolver fails, a host cache that remembers every answer (good or bad) for
// 600 s, and the layer's outer start-up that reads its switches from the
// registry.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>

// The work buffer that every reentrant lookup below needs from its caller.
constexpr int PTS_RESOLVER_BUFLEN = 1024;

// DNS throttling. While glbDNSerrorCnt is 1 or more, filtered lookups are
// refused; each lookup made 60 s or more after the last counted failure
// (glbDNSlastErrorTicks, an xGetTickCount reading) forgives one unit.
extern std::atomic<int32_t> glbDNSerrorCnt;
extern std::atomic<uint32_t> glbDNSlastErrorTicks;

// Reentrant wrappers: null (-1, INADDR_NONE) while the layer is not started;
// otherwise the platform lookup into the caller's record and work buffer of
// PTS_RESOLVER_BUFLEN bytes, returning the record or null. After a failed
// host lookup errno holds the resolver's system error when it reported one
// (EAGAIN when no name server answered, ERANGE for a too small buffer), and
// otherwise its h_errno value: HOST_NOT_FOUND, TRY_AGAIN, NO_RECOVERY or
// NO_DATA (1 to 4), or 0. The values 0 to 4 mean the resolver gave a definite
// answer and do not count toward throttling.
struct hostent* _PTS_gethostbyname(const char* name, struct hostent* result, char* buffer);
struct hostent* _PTS_gethostbyaddr(const void* addr, int addrLen, int type,
                                   struct hostent* result, char* buffer);
struct servent* PTS_getservbyname(const char* name, const char* proto, struct servent* result,
                                  char* buffer);
// port in network byte order, as getservbyport expects it.
struct servent* PTS_getservbyport(int port, const char* proto, struct servent* result,
                                  char* buffer);
struct protoent* PTS_getprotobyname(const char* name, struct protoent* result, char* buffer);
struct protoent* PTS_getprotobynumber(int proto, struct protoent* result, char* buffer);
int PTS_gethostname(char* buf, int len);
// INADDR_NONE (all ones) for a text that is not an address, and before
// start-up; so "255.255.255.255" cannot be told from a failure here.
in_addr_t PTS_inet_addr(const char* text);
// Dotted text of the 4-byte address at addr (network order) in buf, cut to
// len-1 characters and terminated. Returns buf, or null before start-up or
// when there is no room.
char* PTS_inet_ntoa(const void* addr, char* buf, int len);

// Filtered lookups. Null when the DNS switch is off, for the unconfigured
// printer addresses 192.0.0.192 and 0.0.0.0, while lookups are throttled
// ("127.0.0.1" by name is exempt), before start-up, or when the resolver
// fails. A name that the resolver does not know but that is a dotted address
// is looked up by address instead.
struct hostent* PTS_gethostbyname(const char* name, struct hostent* result, char* buffer);
// addr points at the IPv4 address in network order (addrLen at least 4).
struct hostent* PTS_gethostbyaddr(const void* addr, int addrLen, int type,
                                  struct hostent* result, char* buffer);

// Host cache. With addr (4 bytes, network order) the query is by address,
// otherwise by name. On an answer returns 0, writes the address to addrOut
// and the official host name, cut to nameBufLen-1 characters, to nameBuf
// (each when given). Returns -1 for a failed lookup (remembered for 600 s,
// like an answer), for a query with neither an address nor a non-empty name,
// before start-up (nothing is remembered then), or when memory runs out.
int PTS_HostCacheRetrieval(const uint32_t* addr, const char* name, char* nameBuf, int nameBufLen,
                           uint32_t* addrOut);
// Empties the cache and deletes its lock (a later retrieval makes a new
// one). Must not run while another thread uses the cache.
void _PTS_HostCacheCleanup();

// Non-zero for an unconfigured printer's address: 192.0.0.192 or 0.0.0.0
// (network order). Works without start-up.
int IsIPUnconfigured(uint32_t addr);

// Outer start-up: counts like _PTS_startup; the first start also reads the
// switches "DNSLookup" and "ArpRouteExecution" under HKEY_LOCAL_MACHINE
// "Software\Quorvane\QV Web Tarlomin" (storing "Enable" for a missing one).
// A switch is off when its text is "Disable", "0", "Off" or "False" in any
// letter case. Returns 0.
int PTS_startup();
// Outer cleanup: -1 when not started; the final one also empties the host
// cache. Returns 0.
int PTS_cleanup();

namespace kqs {

// The resolver behind _PTS_gethostbyname and _PTS_gethostbyaddr, with the C
// library's reentrant signatures. Tests install their own to count calls
// and decide answers.
struct PtsResolver {
  int (*gethostbyname_r)(const char* name, struct hostent* ret, char* buf, size_t buflen,
                         struct hostent** result, int* herr);
  int (*gethostbyaddr_r)(const void* addr, socklen_t len, int type, struct hostent* ret,
                         char* buf, size_t buflen, struct hostent** result, int* herr);
};
// Installs resolver (null restores the C library's) and returns the previous
// one. Tests only; call while no lookup runs.
const PtsResolver* SetPtsResolverForTesting(const PtsResolver* resolver);

}  // namespace kqs
