// The settings of service/options.h, read through the profile calls.
#include "service/options.h"

#include <arpa/inet.h>
#include <strings.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "common/config/profile.h"
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

namespace {

struct Network {
  uint32_t address;  // host byte order, host bits cleared
  uint32_t mask;
};
constexpr size_t kMaxNetworks = 32;
std::array<Network, kMaxNetworks> g_allow;
size_t g_allowCount = 0;
char g_allowText[256] = "";

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

// "a.b.c.d" or "a.b.c.d/n" into net; false when it is neither.
bool ParseNetwork(const char* text, Network* net) {
  char address[32];
  const char* slash = std::strchr(text, '/');
  const size_t length = slash != nullptr ? size_t(slash - text) : std::strlen(text);
  if (length >= sizeof address) return false;
  std::memcpy(address, text, length);
  address[length] = '\0';
  struct in_addr parsed;
  if (inet_pton(AF_INET, address, &parsed) != 1) return false;
  long bits = 32;
  if (slash != nullptr) {
    char* end = nullptr;
    bits = std::strtol(slash + 1, &end, 10);
    if (end == slash + 1 || *end != '\0' || bits < 0 || bits > 32) return false;
  }
  net->mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  net->address = ntohl(parsed.s_addr) & net->mask;
  return true;
}

bool Refuse(const char* value) {
  const uintptr_t insertion = reinterpret_cast<uintptr_t>(value);
  EventLogAddMessage(EVENTLOG_ERROR_TYPE, 113, 1, &insertion);
  return false;
}

bool ReadAllow(const char* iniPath) {
  g_allowCount = 0;
  xGetPrivateProfileStringA("ACCESS", "Allow", "", g_allowText, sizeof g_allowText, iniPath);
  char list[sizeof g_allowText];
  RelStrCpyIntoBufA(list, g_allowText, sizeof list);
  char* save = nullptr;
  for (char* item = strtok_r(list, " ,\t", &save); item != nullptr; item = strtok_r(nullptr, " ,\t", &save)) {
    if (g_allowCount == kMaxNetworks || !ParseNetwork(item, &g_allow[g_allowCount])) return Refuse(item);
    ++g_allowCount;
  }
  return true;
}

bool ReadListenAddress(const char* iniPath) {
  xGetPrivateProfileStringA("Process Settings", "ListenAddress", "", szListenAddress, sizeof szListenAddress,
                            iniPath);
  struct in_addr parsed;
  if (szListenAddress[0] == '\0' || inet_pton(AF_INET, szListenAddress, &parsed) == 1) return true;
  Refuse(szListenAddress);
  szListenAddress[0] = '\0';
  return false;
}

}  // namespace

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
  return ReadAllow(iniPath) && ReadListenAddress(iniPath) ? 0 : -1;
}

int PeerAllowed(uint32_t address) {
  if (g_allowCount == 0) return 1;
  const uint32_t host = ntohl(address);
  for (size_t i = 0; i < g_allowCount; ++i) {
    if ((host & g_allow[i].mask) == g_allow[i].address) return 1;
  }
  return 0;
}

void DescribeServiceOptions(char* buffer, unsigned size) {
  sprintfnA(buffer, size,
            "Enforce=%d Allow=%s ListenAddress=%s IdleTimeout=%u RequestTimeout=%u SendTimeout=%u "
            "KeepAlive=%d CommandTimeout=%d Discovery=%d",
            bEnforceAccess, g_allowCount == 0 ? "(all)" : g_allowText,
            szListenAddress[0] == '\0' ? "(all)" : szListenAddress, nIdleTimeoutMs / 1000, nRequestTimeoutMs / 1000,
            nSendTimeoutMs / 1000, nKeepAliveSeconds, nCommandTimeoutMs / 1000, bDiscoveryEnabled);
}
