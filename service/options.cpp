// The settings of service/options.h, read through the profile calls.
#include "service/options.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/config/profile.h"
#include "common/host/env.h"
#include "common/host/eventlog.h"
#include "common/host/mtsafe.h"
#include "common/util/strbuf.h"

int bEnforceAccess = 0;
uint32_t nIdleTimeoutMs = 300000;
int bDiscoveryEnabled = 1;
uint32_t nRequestTimeoutMs = 10000;
uint32_t nSendTimeoutMs = 30000;
int nKeepAliveSeconds = 30;
char szListenAddress[64] = "";
char szServiceUser[64] = "lp";
char szPidFile[255] = "";
int nTlsPort = kDefaultTlsPort;
int bPlainPort = 1;
char szTlsCertificate[256] = "";
char szTlsKey[256] = "";
char szTlsClientCA[256] = "";

namespace {

// An IPv4 network is kept as the IPv4-mapped IPv6 network it stands for, so
// one comparison serves both families.
struct Network {
  struct in6_addr address;  // host bits cleared
  int bits;
};
std::array<Network, kMaxAllowNetworks> g_allow;
size_t g_allowCount = 0;
char g_allowText[kMaxAllowLength + 1] = "";

struct Truth {
  const char* word;
  int value;
};
constexpr Truth kTruths[] = {{"0", 0},    {"no", 0}, {"false", 0}, {"off", 0},
                             {"1", 1},    {"yes", 1}, {"true", 1}, {"on", 1}};

// Enforce fails closed: a value that is no truth value turns the check on.
int ReadEnforce(const char* iniPath) {
  char value[64] = "";
  xGetPrivateProfileStringA("ACCESS", "Enforce", "", value, sizeof value, iniPath);
  if (value[0] == '\0') return 0;
  for (const Truth& t : kTruths) {
    if (strcasecmp(value, t.word) == 0) return t.value;
  }
  const uintptr_t insertion = reinterpret_cast<uintptr_t>(value);
  EventLogAddMessage(EVENTLOG_WARNING_TYPE, 210, 1, &insertion);
  return 1;
}

// A time limit in seconds, as milliseconds; fallback when absent or not a
// number, cut to one week.
uint32_t ReadSeconds(const char* section, const char* key, int fallback, const char* iniPath) {
  int seconds = xGetPrivateProfileIntA(section, key, fallback, iniPath);
  if (seconds < 0) seconds = fallback;
  if (seconds > kMaxIdleTimeoutSeconds) seconds = kMaxIdleTimeoutSeconds;
  return static_cast<uint32_t>(seconds) * 1000u;
}

// An IPv4 or IPv6 address as the IPv6 address it is reached at (IPv4 as
// ::ffff:a.b.c.d); false when text is neither. *width is 32 or 128.
bool ParseAddress(const char* text, struct in6_addr* address, int* width) {
  struct in_addr v4;
  if (inet_pton(AF_INET, text, &v4) == 1) {
    std::memset(address, 0, sizeof *address);
    address->s6_addr[10] = address->s6_addr[11] = 0xff;
    std::memcpy(&address->s6_addr[12], &v4, 4);
    *width = 32;
    return true;
  }
  *width = 128;
  return inet_pton(AF_INET6, text, address) == 1;
}

// Keeps the first bits of address, clears the rest.
void KeepBits(struct in6_addr* address, int bits) {
  for (int i = 0; i < 16; ++i) {
    const int keep = bits - 8 * i;
    address->s6_addr[i] &= keep >= 8 ? 0xff : keep <= 0 ? 0 : static_cast<uint8_t>(0xff << (8 - keep));
  }
}

// "a.b.c.d", "a.b.c.d/n", "x::y" or "x::y/n" into net; false when it is none of them.
bool ParseNetwork(const char* text, Network* net) {
  char address[64];
  const char* slash = std::strchr(text, '/');
  const size_t length = slash != nullptr ? size_t(slash - text) : std::strlen(text);
  if (length >= sizeof address) return false;
  std::memcpy(address, text, length);
  address[length] = '\0';
  int width = 0;
  if (!ParseAddress(address, &net->address, &width)) return false;
  long bits = width;
  if (slash != nullptr) {
    char* end = nullptr;
    bits = std::strtol(slash + 1, &end, 10);
    if (end == slash + 1 || *end != '\0' || bits < 0 || bits > width) return false;
  }
  net->bits = static_cast<int>(bits) + (128 - width);
  KeepBits(&net->address, net->bits);
  return true;
}

// A text setting into buffer; a value longer than size-1 characters is never
// cut (a cut list or path means something else): error 114 names the key and
// its limit, and the start stops.
bool ReadText(const char* section, const char* key, char* buffer, unsigned size, const char* iniPath) {
  std::vector<char> room(size + 1);
  xGetPrivateProfileStringA(section, key, "", room.data(), size + 1, iniPath);
  if (std::strlen(room.data()) < size) {
    std::memcpy(buffer, room.data(), size);
    return true;
  }
  buffer[0] = '\0';
  char what[128];
  sprintfnA(what, sizeof what, "[%s] %s (at most %u characters)", section, key, size - 1);
  const uintptr_t insertion = reinterpret_cast<uintptr_t>(what);
  EventLogAddMessage(EVENTLOG_ERROR_TYPE, 114, 1, &insertion);
  return false;
}

bool Refuse(const char* value, unsigned id = 113) {
  const uintptr_t insertion = reinterpret_cast<uintptr_t>(value);
  EventLogAddMessage(EVENTLOG_ERROR_TYPE, id, 1, &insertion);
  return false;
}

// The settings read as numbers: a value that is not one would silently
// become a default, so it stops the start instead.
struct NumericKey {
  const char* section;
  const char* key;
};
constexpr NumericKey kNumericKeys[] = {{"Process Settings", "IdleTimeout"}, {"Process Settings", "RequestTimeout"},
                                       {"Process Settings", "SendTimeout"}, {"Process Settings", "KeepAlive"},
                                       {"LP Service", "CommandTimeout"}};

bool IsCommentMark(char c) { return c == ';' || c == '#' || c == ':'; }

// One line of an INI file: blank, a comment, "[section]" or "key=value".
bool WellFormedLine(std::string line) {
  const size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos || IsCommentMark(line[first])) return true;
  line.erase(0, first);
  line.erase(line.find_last_not_of(" \t\r") + 1);
  if (line[0] == '[') return line.size() > 2 && line.back() == ']';
  const size_t eq = line.find('=');
  return eq != std::string::npos && eq > 0;
}

bool ReadWholeFile(const char* path, std::string* text) {
  const int fd = kqs::CurrentEnv()->Open(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  char chunk[4096];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) text->append(chunk, static_cast<size_t>(n));
  const int error = errno;
  close(fd);
  errno = error;
  return n == 0;
}

bool ReadAllow(const char* iniPath) {
  g_allowCount = 0;
  if (!ReadText("ACCESS", "Allow", g_allowText, sizeof g_allowText, iniPath)) return false;
  char list[sizeof g_allowText];
  RelStrCpyIntoBufA(list, g_allowText, sizeof list);
  char* save = nullptr;
  for (char* item = strtok_r(list, " ,\t", &save); item != nullptr; item = strtok_r(nullptr, " ,\t", &save)) {
    if (g_allowCount == kMaxAllowNetworks || !ParseNetwork(item, &g_allow[g_allowCount])) return Refuse(item);
    ++g_allowCount;
  }
  return true;
}

bool ReadListenAddress(const char* iniPath) {
  if (!ReadText("Process Settings", "ListenAddress", szListenAddress, sizeof szListenAddress, iniPath)) return false;
  struct in6_addr parsed;
  int width = 0;
  if (szListenAddress[0] == '\0' || ParseAddress(szListenAddress, &parsed, &width)) return true;
  Refuse(szListenAddress);
  szListenAddress[0] = '\0';
  return false;
}

// A [TLS] setting that cannot stand: the start stops (error 160).
bool RefuseTls(const char* what) {
  const uintptr_t insertion = reinterpret_cast<uintptr_t>(what);
  EventLogAddMessage(EVENTLOG_ERROR_TYPE, 160, 1, &insertion);
  return false;
}

// Port: 1 to 65535 (not the plain port), or 0 for no TLS listener.
// PlainPort: a truth value, or the plain port's own number for on.
bool ReadTls(const char* iniPath) {
  char text[32] = "";
  xGetPrivateProfileStringA("TLS", "Port", "", text, sizeof text, iniPath);
  nTlsPort = kDefaultTlsPort;
  if (text[0] != '\0') {
    char* end = nullptr;
    const long port = std::strtol(text, &end, 10);
    if (*end != '\0' || port < 0 || port > 65535 || port == kPlainPortNumber) return RefuseTls("Port");
    nTlsPort = static_cast<int>(port);
  }
  xGetPrivateProfileStringA("TLS", "PlainPort", "", text, sizeof text, iniPath);
  bPlainPort = -1;
  if (text[0] == '\0' || std::strtol(text, nullptr, 10) == kPlainPortNumber) bPlainPort = 1;
  for (const Truth& t : kTruths) {
    if (strcasecmp(text, t.word) == 0) bPlainPort = t.value;
  }
  if (bPlainPort < 0) return RefuseTls("PlainPort");
  if (nTlsPort == 0 && !bPlainPort) return RefuseTls("Port=0 with PlainPort=0 (no port at all)");
  if (!ReadText("TLS", "Certificate", szTlsCertificate, sizeof szTlsCertificate, iniPath) ||
      !ReadText("TLS", "Key", szTlsKey, sizeof szTlsKey, iniPath) ||
      !ReadText("TLS", "ClientCA", szTlsClientCA, sizeof szTlsClientCA, iniPath)) {
    return false;
  }
  // One without the other would pair a certificate with a key it was not made for.
  if ((szTlsCertificate[0] == '\0') != (szTlsKey[0] == '\0')) return RefuseTls("Certificate or Key (one without the other)");
  return true;
}

}  // namespace

unsigned CheckSettingsText(const char* iniPath, char* problem, unsigned size) {
  std::string text, what;
  unsigned id = 0;
  if (!ReadWholeFile(iniPath, &text)) {
    if (errno == ENOENT) return 0;
    what = std::string(iniPath) + " (" + std::strerror(errno) + ")";
    id = 140;
  }
  size_t at = 0;
  for (unsigned number = 1; id == 0 && at < text.size(); ++number) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (!WellFormedLine(text.substr(at, end - at)) || text.find('\0', at) < end) {
      what = std::string(iniPath) + ", line " + std::to_string(number) + ",";
      id = 141;
    }
    at = end + 1;
  }
  for (const NumericKey& n : kNumericKeys) {
    char value[64] = "";
    if (id != 0) break;
    xGetPrivateProfileStringA(n.section, n.key, "", value, sizeof value, iniPath);
    if (value[0] == '\0' || std::strspn(value, "0123456789") == std::strlen(value)) continue;
    what = std::string("[") + n.section + "] " + n.key + "=" + value;
    id = 142;
  }
  if (problem != nullptr && size > 0) RelStrCpyIntoBufA(problem, what.c_str(), size);
  return id;
}

int LoadServiceOptions(const char* iniPath) {
  bEnforceAccess = ReadEnforce(iniPath);
  nIdleTimeoutMs = ReadSeconds("Process Settings", "IdleTimeout", 300, iniPath);
  nRequestTimeoutMs = ReadSeconds("Process Settings", "RequestTimeout", 10, iniPath);
  nSendTimeoutMs = ReadSeconds("Process Settings", "SendTimeout", 30, iniPath);
  nKeepAliveSeconds = static_cast<int>(ReadSeconds("Process Settings", "KeepAlive", 30, iniPath) / 1000);
  // A limit of 0 here would mean none at all: one second is the least.
  if (nRequestTimeoutMs == 0) nRequestTimeoutMs = 1000;
  if (nSendTimeoutMs == 0) nSendTimeoutMs = 1000;
  if (nKeepAliveSeconds == 0) nKeepAliveSeconds = 1;
  bDiscoveryEnabled = xGetPrivateProfileIntA("Discovery", "Enabled", 1, iniPath) != 0;
  nCommandTimeoutMs = static_cast<int>(ReadSeconds("LP Service", "CommandTimeout", 0, iniPath));
  xGetPrivateProfileStringA("Process Settings", "User", "", szServiceUser, sizeof szServiceUser, iniPath);
  if (szServiceUser[0] == '\0') RelStrCpyIntoBufA(szServiceUser, "lp", sizeof szServiceUser);
  xGetPrivateProfileStringA("Process Settings", "PidFile", "", szPidFile, sizeof szPidFile, iniPath);
  const char* runtime = std::getenv("RUNTIME_DIRECTORY");
  if (szPidFile[0] == '\0' && runtime != nullptr && runtime[0] == '/') {
    // systemd may list several directories; the first is the daemon's.
    std::string dir(runtime, std::strcspn(runtime, ":"));
    RelStrCpyIntoBufA(szPidFile, (dir + "/kqsd.pid").c_str(), sizeof szPidFile);
  }
  return ReadAllow(iniPath) && ReadListenAddress(iniPath) && ReadTls(iniPath) ? 0 : -1;
}

int PeerAllowed(const char* address) {
  if (g_allowCount == 0) return 1;
  struct in6_addr peer;
  int width = 0;
  if (!ParseAddress(address, &peer, &width)) return 0;
  for (size_t i = 0; i < g_allowCount; ++i) {
    struct in6_addr masked = peer;
    KeepBits(&masked, g_allow[i].bits);
    if (std::memcmp(&masked, &g_allow[i].address, sizeof masked) == 0) return 1;
  }
  return 0;
}

void DescribeServiceOptions(char* buffer, unsigned size) {
  sprintfnA(buffer, size,
            "Enforce=%d Allow=%s ListenAddress=%s IdleTimeout=%u RequestTimeout=%u SendTimeout=%u "
            "KeepAlive=%d CommandTimeout=%d Discovery=%d TLSPort=%d PlainPort=%d ClientCA=%s User=%s",
            bEnforceAccess, g_allowCount == 0 ? "(all)" : g_allowText,
            szListenAddress[0] == '\0' ? "(all)" : szListenAddress, nIdleTimeoutMs / 1000, nRequestTimeoutMs / 1000,
            nSendTimeoutMs / 1000, nKeepAliveSeconds, nCommandTimeoutMs / 1000, bDiscoveryEnabled, nTlsPort, bPlainPort,
            szTlsClientCA[0] == '\0' ? "(none)" : szTlsClientCA, szServiceUser);
}
