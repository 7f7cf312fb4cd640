// ARP preparation and the MAC-addressed send. The ARP program does the
// host-specific work; this file decides when to run it, remembers the last
// target so repeated sends to one printer run it once, and keeps the layer
// lock from the preparation until the datagram is out.
#include "pts/arp.h"

#include <netdb.h>
#include <netinet/in.h>

#include <array>
#include <cstring>

#include "common/host/fileops.h"
#include "common/host/mtsafe.h"
#include "common/host/sysinfo.h"
#include "common/util/pathutil.h"
#include "common/util/strbuf.h"
#include "common/util/strutil.h"
#include "pts/hostcache.h"
#include "pts/ptscore.h"

char szLastArpIP[16] = "";
unsigned char abLastArpMac[6] = {0, 0, 0, 0, 0, 0};
int bNeedLocalAddr = 1;
char szLocalIP[16] = "";

namespace {

constexpr unsigned kCommandSize = 1024;

bool IsMacMissing(const unsigned char* mac) {
  return mac == nullptr || IsMemNulled(mac, 6) != 0;
}

// Finds the host's own address once per process; on failure the next call
// tries again.
bool DetermineLocalAddr() {
  if (!bNeedLocalAddr) return true;
  char name[64];
  if (PTS_gethostname(name, sizeof name) != 0) return false;
  name[sizeof name - 1] = '\0';
  if (name[0] == '\0') return false;

  struct hostent host;
  std::array<char, PTS_RESOLVER_BUFLEN> work;
  const struct hostent* found = _PTS_gethostbyname(name, &host, work.data());
  if (found == nullptr || found->h_addr_list == nullptr || found->h_addr_list[0] == nullptr ||
      found->h_length < 4) {
    return false;
  }
  if (PTS_inet_ntoa(found->h_addr_list[0], szLocalIP, sizeof szLocalIP) == nullptr) return false;
  bNeedLocalAddr = 0;
  return true;
}

// "<module directory>/rododiz <ARP text>" into command. False when the
// directory is unknown or the program's path cannot be one word of a command
// line (xSystem splits at spaces).
bool BuildArpCommand(const unsigned char* mac, char* program, char* command) {
  const unsigned length = xGetModuleDirectory(nullptr, program, kCommandSize);
  if (length == 0 || length >= 255) return false;  // 255 reports a too long path
  if (MergePath(program, "rododiz", kCommandSize) == nullptr) return false;
  if (std::strchr(program, ' ') != nullptr) return false;

  char arpText[18];
  MacToArpStr(arpText, mac);
  RelStrCpyIntoBufA(command, program, kCommandSize);
  RelStrCatIntoBufA(command, " ", kCommandSize);
  RelStrCatIntoBufA(command, arpText, kCommandSize);
  return true;
}

}  // namespace

char* MacToArpStr(char* text, const unsigned char* mac) {
  char* out = text;
  for (int i = 0; i < 6; ++i) {
    AsciifyA(out, mac + i, 1);
    out[2] = ':';
    out += 3;
  }
  text[17] = '\0';
  return text;
}

int AddArpRouteEntries(const char* address, const unsigned char* mac) {
  if (address == nullptr || mac == nullptr) return -1;
  if (std::strcmp(address, szLastArpIP) == 0 && std::memcmp(mac, abLastArpMac, 6) == 0) return 0;

  // Remembered before anything can fail: a repeated call for this target
  // returns 0 above instead of running the program again.
  RelStrCpyIntoBufA(szLastArpIP, address, sizeof szLastArpIP);
  std::memcpy(abLastArpMac, mac, 6);

  if (!DetermineLocalAddr()) return -1;
  if (szLocalIP[0] == '\0') return -1;

  char program[kCommandSize];
  char command[kCommandSize];
  if (!BuildArpCommand(mac, program, command)) return -1;

  int result = -1;
  if (Exist(program) && glbBArpRouteEnabled) result = xSystem(command);
  return result;
}

int RemoveArpRouteEntries(const char* address) {
  if (address == nullptr) return 0;
  // Absolute paths: a command is never taken from the current directory.
  static constexpr std::array<const char*, 2> kCommands = {"/usr/sbin/route delete ",
                                                           "/usr/sbin/arp -d "};
  for (const char* prefix : kCommands) {
    char command[128];
    RelStrCpyIntoBufA(command, prefix, sizeof command);
    RelStrCatIntoBufA(command, address, sizeof command);
    if (glbBArpRouteEnabled) xSystem(command);
  }
  return 0;
}

int PTS_sendto_addrORmac(int sock, const void* buf, int len, int flags, struct sockaddr* to,
                         socklen_t toLen, const unsigned char* mac) {
  if (!PTS_IsStarted()) return -1;

  const bool unconfigured = to != nullptr && toLen >= sizeof(struct sockaddr_in) &&
                            to->sa_family == AF_INET &&
                            IsIPUnconfigured(reinterpret_cast<sockaddr_in*>(to)->sin_addr.s_addr);
  if (!unconfigured) return _PTS_sendto(sock, buf, len, flags, to, toLen);

  auto* in = reinterpret_cast<sockaddr_in*>(to);
  const in_addr_t given = in->sin_addr.s_addr;
  if (given == htonl(INADDR_ANY)) in->sin_addr.s_addr = htonl(0xC00000C0);  // 192.0.0.192
  if (IsMacMissing(mac)) return -1;

  char target[24];
  if (PTS_inet_ntoa(&given, target, sizeof target) == nullptr) return -1;

  // Held until the datagram is out, so no other thread re-points
  // 192.0.0.192 at another printer in between.
  CritSecGuard lock(glbCS);
  if (AddArpRouteEntries(target, mac) != 0) return -1;
  return _PTS_sendto(sock, buf, len, flags, to, toLen);
}
