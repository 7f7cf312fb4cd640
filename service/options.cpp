// The settings of service/options.h, read through the profile calls.
#include "service/options.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/config/profile.h"
#include "common/host/env.h"
#include "common/host/eventlog.h"
#include "common/host/mtsafe.h"
#include "common/util/strbuf.h"

namespace {

using kqs::AllowedNetwork;
using kqs::ServiceSettings;

struct Truth {
  const char* word;
  int value;
};
constexpr Truth kTruths[] = {{"0", 0},    {"no", 0}, {"false", 0}, {"off", 0},
                             {"1", 1},    {"yes", 1}, {"true", 1}, {"on", 1}};

// Enforce fails closed: a value that is no truth value turns the check on.
bool ReadEnforce(const char* iniPath) {
  char value[64] = "";
  xGetPrivateProfileStringA("ACCESS", "Enforce", "", value, sizeof value, iniPath);
  if (value[0] == '\0') return false;
  for (const Truth& t : kTruths) {
    if (strcasecmp(value, t.word) == 0) return t.value != 0;
  }
  const uintptr_t insertion = reinterpret_cast<uintptr_t>(value);
  EventLogAddMessage(EVENTLOG_WARNING_TYPE, 210, 1, &insertion);
  return true;
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
bool ParseNetwork(const char* text, AllowedNetwork* net) {
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

// The profile reader takes a longer line in pieces, each read as a line of
// its own: the tail of a long comment would become a setting.
constexpr size_t kMaxLineLength = 4095;

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
  kqs::Env* env = kqs::CurrentEnv();
  FILE* in = env->FOpen(path, "r");
  if (in == nullptr) return false;
  char chunk[4096];
  size_t n;
  errno = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) text->append(chunk, n);
  const bool whole = std::ferror(in) == 0;
  const int error = whole || errno != 0 ? errno : EIO;
  env->FClose(in);
  errno = error;
  return whole;
}

bool ReadAllow(ServiceSettings* settings, const char* iniPath) {
  settings->allowCount = 0;
  if (!ReadText("ACCESS", "Allow", settings->allowText, sizeof settings->allowText, iniPath)) return false;
  char list[sizeof settings->allowText];
  RelStrCpyIntoBufA(list, settings->allowText, sizeof list);
  char* save = nullptr;
  for (char* item = strtok_r(list, " ,\t", &save); item != nullptr; item = strtok_r(nullptr, " ,\t", &save)) {
    if (settings->allowCount == kqs::kMaxAllowNetworks || !ParseNetwork(item, &settings->allow[settings->allowCount])) {
      return Refuse(item);
    }
    ++settings->allowCount;
  }
  return true;
}

bool ReadListenAddress(ServiceSettings* settings, const char* iniPath) {
  char* address = settings->listenAddress;
  if (!ReadText("Process Settings", "ListenAddress", address, sizeof settings->listenAddress, iniPath)) return false;
  struct in6_addr parsed;
  int width = 0;
  if (address[0] == '\0' || ParseAddress(address, &parsed, &width)) return true;
  Refuse(address);
  address[0] = '\0';
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
bool ReadTls(ServiceSettings* settings, const char* iniPath) {
  char text[32] = "";
  xGetPrivateProfileStringA("TLS", "Port", "", text, sizeof text, iniPath);
  settings->tlsPort = kqs::kDefaultTlsPort;
  if (text[0] != '\0') {
    char* end = nullptr;
    const long port = std::strtol(text, &end, 10);
    if (*end != '\0' || port < 0 || port > 65535 || port == kqs::kPlainPortNumber) return RefuseTls("Port");
    settings->tlsPort = static_cast<int>(port);
  }
  xGetPrivateProfileStringA("TLS", "PlainPort", "", text, sizeof text, iniPath);
  int plain = -1;
  if (text[0] == '\0' || std::strtol(text, nullptr, 10) == kqs::kPlainPortNumber) plain = 1;
  for (const Truth& t : kTruths) {
    if (strcasecmp(text, t.word) == 0) plain = t.value;
  }
  if (plain < 0) return RefuseTls("PlainPort");
  settings->plainPort = plain != 0;
  if (settings->tlsPort == 0 && !settings->plainPort) return RefuseTls("Port=0 with PlainPort=0 (no port at all)");
  if (!ReadText("TLS", "Certificate", settings->tlsCertificate, sizeof settings->tlsCertificate, iniPath) ||
      !ReadText("TLS", "Key", settings->tlsKey, sizeof settings->tlsKey, iniPath) ||
      !ReadText("TLS", "ClientCA", settings->tlsClientCA, sizeof settings->tlsClientCA, iniPath)) {
    return false;
  }
  // One without the other would pair a certificate with a key it was not made for.
  if ((settings->tlsCertificate[0] == '\0') != (settings->tlsKey[0] == '\0')) {
    return RefuseTls("Certificate or Key (one without the other)");
  }
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
    if (end - at > kMaxLineLength) {
      what = "line " + std::to_string(number) + " (at most " + std::to_string(kMaxLineLength) + " characters)";
      id = 114;
    } else if (!WellFormedLine(text.substr(at, end - at)) || text.find('\0', at) < end) {
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

int LoadServiceOptions(ServiceSettings* settings, const char* iniPath) {
  ServiceSettings& s = *settings;
  s.enforceAccess = ReadEnforce(iniPath);
  s.idleTimeoutMs = ReadSeconds("Process Settings", "IdleTimeout", 300, iniPath);
  s.requestTimeoutMs = ReadSeconds("Process Settings", "RequestTimeout", 10, iniPath);
  s.sendTimeoutMs = ReadSeconds("Process Settings", "SendTimeout", 30, iniPath);
  s.keepAliveSeconds = static_cast<int>(ReadSeconds("Process Settings", "KeepAlive", 30, iniPath) / 1000);
  // A limit of 0 here would mean none at all: one second is the least.
  if (s.requestTimeoutMs == 0) s.requestTimeoutMs = 1000;
  if (s.sendTimeoutMs == 0) s.sendTimeoutMs = 1000;
  if (s.keepAliveSeconds == 0) s.keepAliveSeconds = 1;
  s.discoveryEnabled = xGetPrivateProfileIntA("Discovery", "Enabled", 1, iniPath) != 0;
  nCommandTimeoutMs = static_cast<int>(ReadSeconds("LP Service", "CommandTimeout", 0, iniPath));
  // A name, path or list cut short would be another account, file or
  // directory.
  if (!ReadText("Process Settings", "User", s.serviceUser, sizeof s.serviceUser, iniPath) ||
      !ReadText("Process Settings", "PidFile", s.pidFile, sizeof s.pidFile, iniPath) ||
      !ReadText("LP Service", "DeviceDirs", s.deviceDirs, sizeof s.deviceDirs, iniPath)) {
    return -1;
  }
  if (s.serviceUser[0] == '\0') RelStrCpyIntoBufA(s.serviceUser, "lp", sizeof s.serviceUser);
  const char* runtime = std::getenv("RUNTIME_DIRECTORY");
  if (s.pidFile[0] == '\0' && runtime != nullptr && runtime[0] == '/') {
    // systemd may list several directories; the first is the daemon's.
    std::string dir(runtime, std::strcspn(runtime, ":"));
    RelStrCpyIntoBufA(s.pidFile, (dir + "/kqsd.pid").c_str(), sizeof s.pidFile);
  }
  return ReadAllow(settings, iniPath) && ReadListenAddress(settings, iniPath) && ReadTls(settings, iniPath) ? 0 : -1;
}

int PeerAllowed(const ServiceSettings* settings, const char* address) {
  if (settings->allowCount == 0) return 1;
  struct in6_addr peer;
  int width = 0;
  if (!ParseAddress(address, &peer, &width)) return 0;
  for (size_t i = 0; i < settings->allowCount; ++i) {
    const AllowedNetwork& net = settings->allow[i];
    struct in6_addr masked = peer;
    KeepBits(&masked, net.bits);
    if (std::memcmp(&masked, &net.address, sizeof masked) == 0) return 1;
  }
  return 0;
}

void DescribeServiceOptions(char* buffer, unsigned size, const ServiceSettings* settings) {
  const ServiceSettings& s = *settings;
  sprintfnA(buffer, size,
            "Enforce=%d Allow=%s ListenAddress=%s IdleTimeout=%u RequestTimeout=%u SendTimeout=%u "
            "KeepAlive=%d CommandTimeout=%d Discovery=%d TLSPort=%d PlainPort=%d ClientCA=%s User=%s",
            s.enforceAccess ? 1 : 0, s.allowCount == 0 ? "(all)" : s.allowText,
            s.listenAddress[0] == '\0' ? "(all)" : s.listenAddress, s.idleTimeoutMs / 1000, s.requestTimeoutMs / 1000,
            s.sendTimeoutMs / 1000, s.keepAliveSeconds, nCommandTimeoutMs / 1000, s.discoveryEnabled ? 1 : 0, s.tlsPort,
            s.plainPort ? 1 : 0, s.tlsClientCA[0] == '\0' ? "(none)" : s.tlsClientCA, s.serviceUser);
}
