// Host name resolution: resolver wrappers, the DNS switch and throttling, the
// 600-second host cache, and the outer start-up that reads the layer's
// switches from the registry.
#include "pts/hostcache.h"

#include <arpa/inet.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "common/config/registry.h"
#include "common/host/env.h"
#include "common/host/sysinfo.h"
#include "common/util/strbuf.h"
#include "jthread/jthread.h"
#include "pts/ptscore.h"

std::atomic<int32_t> glbDNSerrorCnt{0};
std::atomic<uint32_t> glbDNSlastErrorTicks{0};

namespace {

constexpr uint32_t kThrottleMs = 60000;
constexpr int64_t kCacheLifeSeconds = 600;
constexpr std::string_view kUnconfiguredText = "192.0.0.192";
constexpr std::string_view kAnyText = "0.0.0.0";
constexpr std::string_view kLoopbackText = "127.0.0.1";

// ---- resolver seam -------------------------------------------------------

constexpr kqs::PtsResolver kLibcResolver = {::gethostbyname_r, ::gethostbyaddr_r};
std::atomic<const kqs::PtsResolver*> gResolver{&kLibcResolver};

// Leaves errno as documented in the header for a failed lookup.
struct hostent* FinishLookup(int rc, struct hostent* found, int herr) {
  if (found != nullptr) return found;
  if (rc != 0)
    errno = rc;
  else
    errno = (herr >= 1 && herr <= 4) ? herr : 0;
  return nullptr;
}

// ---- throttling ----------------------------------------------------------

void ThrottleStep() {
  if (glbDNSerrorCnt > 0 && xGetTickCount() - glbDNSlastErrorTicks >= kThrottleMs)
    --glbDNSerrorCnt;
}

bool Throttled() { return glbDNSerrorCnt >= 1; }

// Counts a failure unless the resolver answered definitely (error 0 to 4);
// anything else reopens lookups.
void AccountLookup(const struct hostent* found, int error) {
  if (found == nullptr && (error < 0 || error > 4)) {
    glbDNSlastErrorTicks = xGetTickCount();
    ++glbDNSerrorCnt;
  } else {
    glbDNSlastErrorTicks = 0;
    glbDNSerrorCnt = 0;
  }
}

// ---- host cache ----------------------------------------------------------

struct HostInfo {
  char* pszName;
  char* pszHostName;
  uint32_t dwAddr;
  int64_t tCreated;
  int bFailed;
  HostInfo* pNext;
  HostInfo* pPrev;
};

HostInfo HostInfoHead = {};
JThreadCritSecHandle hostInfoCS = nullptr;
// Guards only the creation and deletion of hostInfoCS, so that two threads
// making their first cache call at once still share one lock.
std::mutex gCacheLockMu;

JThreadCritSecHandle CacheLock() {
  std::lock_guard<std::mutex> lock(gCacheLockMu);
  if (hostInfoCS == nullptr && JThreadCritSecCreate(&hostInfoCS) != 0) hostInfoCS = nullptr;
  return hostInfoCS;
}

int64_t NowSeconds() { return kqs::CurrentEnv()->NowMillis() / 1000; }

void FreeEntry(HostInfo* e) {
  std::free(e->pszName);
  std::free(e->pszHostName);
  std::free(e);
}

void Unlink(HostInfo* e) {
  e->pPrev->pNext = e->pNext;
  if (e->pNext != nullptr) e->pNext->pPrev = e->pPrev;
}

void InsertAtHead(HostInfo* e) {
  e->pPrev = &HostInfoHead;
  e->pNext = HostInfoHead.pNext;
  if (e->pNext != nullptr) e->pNext->pPrev = e;
  HostInfoHead.pNext = e;
}

bool SameText(const char* a, const char* b) {
  return a != nullptr && b != nullptr && strcasecmp(a, b) == 0;
}

// Purges expired entries and returns the oldest live entry that matches.
HostInfo* FindLive(const uint32_t* addr, const char* name, int64_t now) {
  HostInfo* candidate = nullptr;
  HostInfo* e = HostInfoHead.pNext;
  while (e != nullptr) {
    HostInfo* next = e->pNext;
    if (now - e->tCreated >= kCacheLifeSeconds) {
      Unlink(e);
      FreeEntry(e);
    } else if (SameText(name, e->pszName) || SameText(name, e->pszHostName) ||
               (addr != nullptr && *addr == e->dwAddr)) {
      candidate = e;
    }
    e = next;
  }
  return candidate;
}

// Builds an entry from a lookup result; null when memory runs out.
HostInfo* MakeEntry(const uint32_t* addr, const char* name, const struct hostent* found,
                    int64_t created) {
  auto* e = static_cast<HostInfo*>(std::calloc(1, sizeof(HostInfo)));
  if (e == nullptr) return nullptr;
  e->tCreated = created;
  e->bFailed = 1;
  if (addr != nullptr) e->dwAddr = *addr;
  bool ok = true;
  if (name != nullptr) ok = (e->pszName = strdup(name)) != nullptr;
  if (ok && found != nullptr) {
    std::memcpy(&e->dwAddr, found->h_addr_list[0], sizeof e->dwAddr);
    ok = (e->pszHostName = strdup(found->h_name != nullptr ? found->h_name : "")) != nullptr;
    e->bFailed = 0;
  }
  if (!ok) {
    FreeEntry(e);
    return nullptr;
  }
  return e;
}

// A usable answer has an IPv4 address.
bool HasAddress(const struct hostent* h) {
  return h != nullptr && h->h_addr_list != nullptr && h->h_addr_list[0] != nullptr &&
         h->h_length >= 4;
}

// ---- switches ------------------------------------------------------------

constexpr const char* kSwitchKey = "Software\\Quorvane\\QV Web Tarlomin";
constexpr const char* kSwitchDefault = "Enable";
constexpr int kSwitchTextSize = 128;
constexpr std::array<const char*, 4> kOffWords = {"Disable", "0", "Off", "False"};

// Reads one switch value into text (left empty when it cannot be read). A
// value that is missing or empty is stored as "Enable"; one that exists but
// cannot be read is left as it is.
void ReadSwitch(HKEY key, const char* value, char* text) {
  text[0] = '\0';
  unsigned long type = 0;
  unsigned long size = 0;
  if (RegQueryValueEx(key, value, nullptr, &type, nullptr, &size) != 0) {
    RelStrCpyIntoBufA(text, kSwitchDefault, kSwitchTextSize);
    RegSetValueEx(key, value, 0, REG_SZ, reinterpret_cast<const unsigned char*>(kSwitchDefault),
                  std::strlen(kSwitchDefault) + 1);
    return;
  }
  std::array<unsigned char, kSwitchTextSize> data{};
  size = data.size();
  if (RegQueryValueEx(key, value, nullptr, &type, data.data(), &size) != 0) return;
  if (type == REG_DWORD) {
    int32_t number;
    std::memcpy(&number, data.data(), sizeof number);
    sprintfnA(text, kSwitchTextSize, "%d", number);
  } else {
    data.back() = 0;
    RelStrCpyIntoBufA(text, reinterpret_cast<const char*>(data.data()), kSwitchTextSize);
  }
}

int SwitchOn(const char* text) {
  for (const char* off : kOffWords)
    if (strcasecmp(text, off) == 0) return 0;
  return 1;
}

void ReadSwitches() {
  char dns[kSwitchTextSize] = "";
  char arp[kSwitchTextSize] = "";
  HKEY key;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSwitchKey, 0, 0, &key) == 0) {
    ReadSwitch(key, "DNSLookup", dns);
    ReadSwitch(key, "ArpRouteExecution", arp);
    RegCloseKey(key);
  }
  glbBDNSEnabled = SwitchOn(dns);
  glbBArpRouteEnabled = SwitchOn(arp);
}

}  // namespace

// ---- wrappers ------------------------------------------------------------

struct hostent* _PTS_gethostbyname(const char* name, struct hostent* result, char* buffer) {
  if (!PTS_IsStarted() || name == nullptr) return nullptr;
  struct hostent* found = nullptr;
  int herr = 0;
  int rc = gResolver.load()->gethostbyname_r(name, result, buffer, PTS_RESOLVER_BUFLEN, &found,
                                              &herr);
  return FinishLookup(rc, found, herr);
}

struct hostent* _PTS_gethostbyaddr(const void* addr, int addrLen, int type,
                                   struct hostent* result, char* buffer) {
  if (!PTS_IsStarted() || addr == nullptr || addrLen < 0) return nullptr;
  struct hostent* found = nullptr;
  int herr = 0;
  int rc = gResolver.load()->gethostbyaddr_r(addr, static_cast<socklen_t>(addrLen), type, result,
                                              buffer, PTS_RESOLVER_BUFLEN, &found, &herr);
  return FinishLookup(rc, found, herr);
}

struct servent* PTS_getservbyname(const char* name, const char* proto, struct servent* result,
                                  char* buffer) {
  if (!PTS_IsStarted() || name == nullptr) return nullptr;
  struct servent* found = nullptr;
  int rc = getservbyname_r(name, proto, result, buffer, PTS_RESOLVER_BUFLEN, &found);
  return rc == 0 ? found : nullptr;
}

struct servent* PTS_getservbyport(int port, const char* proto, struct servent* result,
                                  char* buffer) {
  if (!PTS_IsStarted()) return nullptr;
  struct servent* found = nullptr;
  int rc = getservbyport_r(port, proto, result, buffer, PTS_RESOLVER_BUFLEN, &found);
  return rc == 0 ? found : nullptr;
}

struct protoent* PTS_getprotobyname(const char* name, struct protoent* result, char* buffer) {
  if (!PTS_IsStarted() || name == nullptr) return nullptr;
  struct protoent* found = nullptr;
  int rc = getprotobyname_r(name, result, buffer, PTS_RESOLVER_BUFLEN, &found);
  return rc == 0 ? found : nullptr;
}

struct protoent* PTS_getprotobynumber(int proto, struct protoent* result, char* buffer) {
  if (!PTS_IsStarted()) return nullptr;
  struct protoent* found = nullptr;
  int rc = getprotobynumber_r(proto, result, buffer, PTS_RESOLVER_BUFLEN, &found);
  return rc == 0 ? found : nullptr;
}

int PTS_gethostname(char* buf, int len) {
  if (!PTS_IsStarted() || buf == nullptr || len <= 0) return -1;
  return gethostname(buf, static_cast<size_t>(len));
}

in_addr_t PTS_inet_addr(const char* text) {
  if (!PTS_IsStarted() || text == nullptr) return INADDR_NONE;
  return inet_addr(text);
}

char* PTS_inet_ntoa(const void* addr, char* buf, int len) {
  if (!PTS_IsStarted() || addr == nullptr || buf == nullptr || len <= 0) return nullptr;
  struct in_addr in;
  std::memcpy(&in, addr, sizeof in);
  // inet_ntop gives the same text as inet_ntoa without a shared buffer.
  std::array<char, INET_ADDRSTRLEN> text;
  if (inet_ntop(AF_INET, &in, text.data(), text.size()) == nullptr) return nullptr;
  RelStrCpyIntoBufA(buf, text.data(), static_cast<unsigned>(len));
  buf[len - 1] = '\0';
  return buf;
}

int IsIPUnconfigured(uint32_t addr) {
  // Compared with a constant so that the answer does not depend on whether
  // the layer is started (PTS_inet_addr fails before start-up).
  return addr == htonl(0xC00000C0u) || addr == 0;
}

// ---- filtered lookups ----------------------------------------------------

struct hostent* PTS_gethostbyaddr(const void* addr, int addrLen, int type,
                                  struct hostent* result, char* buffer) {
  if (!PTS_IsStarted() || !glbBDNSEnabled || addr == nullptr || addrLen < 4) return nullptr;
  uint32_t ip;
  std::memcpy(&ip, addr, sizeof ip);
  if (IsIPUnconfigured(ip)) return nullptr;
  ThrottleStep();
  if (Throttled()) return nullptr;
  struct hostent* found = _PTS_gethostbyaddr(addr, addrLen, type, result, buffer);
  AccountLookup(found, PTS_getlasterror());
  return found;
}

struct hostent* PTS_gethostbyname(const char* name, struct hostent* result, char* buffer) {
  if (!PTS_IsStarted() || !glbBDNSEnabled || name == nullptr) return nullptr;
  std::string_view text(name);
  if (text == kUnconfiguredText || text == kAnyText) return nullptr;
  ThrottleStep();
  if (text != kLoopbackText && Throttled()) return nullptr;
  struct hostent* found = _PTS_gethostbyname(name, result, buffer);
  int error = PTS_getlasterror();
  if (found == nullptr && std::isdigit(static_cast<unsigned char>(name[0])) &&
      text.find('.') != std::string_view::npos) {
    in_addr_t ip = PTS_inet_addr(name);
    if (ip != INADDR_NONE) return PTS_gethostbyaddr(&ip, 4, AF_INET, result, buffer);
  }
  AccountLookup(found, error);
  return found;
}

// ---- host cache ----------------------------------------------------------

int PTS_HostCacheRetrieval(const uint32_t* addr, const char* name, char* nameBuf, int nameBufLen,
                           uint32_t* addrOut) {
  // Nothing is asked or remembered while the layer is stopped, and a query
  // without an address or a name has nothing to look up.
  if (!PTS_IsStarted()) return -1;
  if (addr == nullptr && (name == nullptr || name[0] == '\0')) return -1;
  JThreadCritSecHandle cs = CacheLock();
  if (cs == nullptr) return -1;
  JThreadCritSecEnter(cs);
  int64_t now = NowSeconds();
  HostInfo* entry = FindLive(addr, name, now);
  if (entry == nullptr) {
    // The resolver may take seconds; other threads keep using the cache.
    JThreadCritSecLeave(cs);
    struct hostent record;
    std::array<char, PTS_RESOLVER_BUFLEN> work;
    struct hostent* found = nullptr;
    if (addr != nullptr)
      found = PTS_gethostbyaddr(addr, 4, AF_INET, &record, work.data());
    else
      found = PTS_gethostbyname(name, &record, work.data());
    if (!HasAddress(found)) found = nullptr;
    JThreadCritSecEnter(cs);
    entry = MakeEntry(addr, name, found, now);
    if (entry != nullptr) InsertAtHead(entry);
  }
  int rc = -1;
  if (entry != nullptr && !entry->bFailed) {
    if (addrOut != nullptr) *addrOut = entry->dwAddr;
    if (nameBuf != nullptr && nameBufLen > 0)
      RelStrCpyIntoBufA(nameBuf, entry->pszHostName, static_cast<unsigned>(nameBufLen));
    rc = 0;
  }
  JThreadCritSecLeave(cs);
  return rc;
}

void _PTS_HostCacheCleanup() {
  JThreadCritSecHandle cs = CacheLock();
  if (cs != nullptr) JThreadCritSecEnter(cs);
  HostInfo* e = HostInfoHead.pNext;
  while (e != nullptr) {
    HostInfo* next = e->pNext;
    FreeEntry(e);
    e = next;
  }
  HostInfoHead.pNext = nullptr;
  if (cs == nullptr) return;
  JThreadCritSecLeave(cs);
  std::lock_guard<std::mutex> lock(gCacheLockMu);
  JThreadCritSecDelete(hostInfoCS);
  hostInfoCS = nullptr;
}

// ---- outer start-up ------------------------------------------------------

int PTS_startup() {
  if (PTS_IsStarted()) {
    ++nPTSInitCnt;
    return 0;
  }
  int rc = _PTS_startup();
  if (rc != 0) return rc;
  nPTSInitCnt = 1;
  ReadSwitches();
  return 0;
}

int PTS_cleanup() {
  if (nPTSInitCnt <= 0) return -1;
  if (nPTSInitCnt > 1) {
    --nPTSInitCnt;
    return 0;
  }
  _PTS_HostCacheCleanup();
  _PTS_cleanup();
  nPTSInitCnt = 0;
  PTS_dbgexit();
  return 0;
}

namespace kqs {

const PtsResolver* SetPtsResolverForTesting(const PtsResolver* resolver) {
  return gResolver.exchange(resolver != nullptr ? resolver : &kLibcResolver);
}

}  // namespace kqs
