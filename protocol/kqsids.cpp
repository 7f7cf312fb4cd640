// Name tables of the protocol's identifiers and return codes.
#include "protocol/kqsids.h"

#include <array>
#include <cstring>
#include <string_view>

#include "common/util/strbuf.h"

char glbErrorText[256];

namespace {

constexpr const char* kUnknown = "Unknown";

// Index = value; index 0 of the 1-based tables has no name.
constexpr std::array<const char*, 7> kOperations = {
    nullptr,           "KQS_ADD",           "KQS_REMOVE", "KQS_QUERY_FILES",
    "KQS_ADMIN_ACCESS", "KQS_ENUM_CONTAINER", "KQS_UPDATE",
};

constexpr std::array<const char*, 10> kObjectTypes = {
    nullptr,
    "TYPE_PRINTSERVER",
    "TYPE_CONTAINER",
    "TYPE_PRINTQUEUE",
    "TYPE_PRINTDRIVER",
    "TYPE_PHYSICAL_PRINTER",
    "TYPE_PRINTMONITOR",
    "TYPE_DOMAIN",
    "TYPE_UX_SUPERVISOR",
    "TYPE_LOGICAL_PRINTER",
};

struct Platform {
  uint32_t id;
  const char* name;
};
constexpr std::array<Platform, 3> kPlatforms = {{
    {PRINTSERVER_NT, "PRINTSERVER_NT"},
    {PRINTSERVER_LAN_SERVER, "PRINTSERVER_LAN_SERVER"},
    {PRINTSERVER_UNIX, "PRINTSERVER_UNIX"},
}};

constexpr std::array<const char*, 47> kReturnCodes = {
    "KQS_SUCCESS",
    "KQS_INVALID_PATH",
    "KQS_INSUFFICIENT_BUFFER",
    "KQS_INVALID_OBJECT_TYPE",
    "KQS_FAILURE",
    "KQS_CHANNEL_ALREADY_CLOSED",
    "KQS_TIMEOUT",
    "KQS_CHANNEL_NOT_OPEN",
    "KQS_NOT_IMPLEMENTED",
    "KQS_INVALID_PARAMETER",
    "KQS_READ_ONLY",
    "KQS_INVALID_PACKET",
    "KQS_INVALID_HOSTNAME",
    "KQS_INVALID_OPERATION",
    "KQS_INVALID_OBJECT_NAME",
    "KQS_NO_ACCESS",
    "KQS_OBJECT_ALREADY_EXISTS",
    "KQS_FILESET_MISSING",
    "KQS_DRIVER_IN_USE",
    "KQS_INVALID_MONITOR",
    "KQS_MONITOR_ALREADY_INSTALLED",
    "KQS_MONITOR_IN_USE",
    "KQS_NOT_VALID_WITH_JOBS_QUEUED",
    "KQS_REBOOT_REQUIRED",
    "KQS_RESTART_REQUIRED",
    "KQS_UNKNOWN_MONITOR",
    "KQS_NETWORK_DOWN",
    "KQS_ADDR_IN_USE",
    "KQS_ADDR_NOT_AVAIL",
    "KQS_NETWORK_UNREACHABLE",
    "KQS_CONN_MUST_BE_RESET",
    "KQS_NOT_CONNECTED",
    "KQS_CONNECTION_REFUSED",
    "KQS_SPOOLER_NOT_RUNNING",
    "KQS_SPOOLER_STILL_RUNNING",
    "KQS_QUEUE_EXISTS_AS_QUEUE",
    "KQS_CLASS_EXISTS_AS_QUEUE",
    "KQS_QUEUE_EXISTS_AS_CLASS",
    "KQS_LPADMIN_FAILURE",
    "KQS_ENABLE_FAILURE",
    "KQS_ACCEPT_QUEUE_FAILURE",
    "KQS_ACCEPT_CLASS_FAILURE",
    "KQS_DEFAULT_QUEUE_FAILURE",
    "KQS_QUEUE_SETUP_FAILURE",
    "KQS_OBJECT_OUTOFDATE",
    "KQS_OBJECT_UPTODATE",
    "KQS_OBJECT_LATERVERSION",
};
static_assert(kReturnCodes.size() == KQS_OBJECT_LATERVERSION + 1);

template <size_t N>
const char* NameAt(const std::array<const char*, N>& table, uint32_t value) {
  const char* name = value < N ? table[value] : nullptr;
  return name ? name : kUnknown;
}

}  // namespace

const char* OperationFromID(uint32_t operation) { return NameAt(kOperations, operation); }

const char* ObjectFromID(uint32_t objectType) { return NameAt(kObjectTypes, objectType); }

const char* PlatformFromID(uint32_t platform) {
  for (const Platform& p : kPlatforms) {
    if (p.id == platform) return p.name;
  }
  return kUnknown;
}

uint32_t IDFromPlatform(const char* name) {
  if (name == nullptr) return 0;
  for (const Platform& p : kPlatforms) {
    if (std::strcmp(p.name, name) == 0) return p.id;
  }
  return 0;
}

const char* ReturnCodeFromID(uint32_t code) {
  if (code < kReturnCodes.size()) return kReturnCodes[code];
  const char* base;
  uint32_t number;
  if (code & PLATFORM_ERROR_BASE) {
    base = "PLATFORM_ERROR_BASE";
    number = code & ~PLATFORM_ERROR_BASE;
  } else if (code & PLATFORM_NET_ERROR_BASE) {
    base = "PLATFORM_NET_ERROR_BASE";
    number = code & ~PLATFORM_NET_ERROR_BASE;
  } else {
    return kUnknown;
  }
  sprintfnA(glbErrorText, sizeof glbErrorText, "%s: %d", base, static_cast<int32_t>(number));
  return glbErrorText;
}

const char* KQSReturnCodeFromID(uint32_t code) { return ReturnCodeFromID(code); }
