// One request from packet to response: decode, dispatch by a table of
// (operation, object type) to the LP handlers, the two-call result size
// negotiation, and the answer on the management connection.
#include "service/request.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/host/eventlog.h"
#include "common/host/mtsafe.h"
#include "protocol/kqsids.h"
#include "protocol/packet.h"
#include "queueadmin/adminaccess.h"
#include "queueadmin/enumerate.h"
#include "queueadmin/ports.h"
#include "queueadmin/queueadd.h"
#include "queueadmin/queueremove.h"
#include "service/connection.h"
#include "service/options.h"

namespace {

// What a handler is given; each row of the table picks what it needs.
struct Call {
  const char* parameters;
  const char* data;
  unsigned char* result;
  uint32_t* resultSize;
};
using Handler = uint32_t (*)(const Call&);

constexpr uint32_t kAnyType = 0;

struct Route {
  uint32_t operation;
  uint32_t objectType;  // kAnyType matches every object type
  Handler handler;
};

constexpr std::array kRoutes{
    Route{KQS_ADD, TYPE_PRINTQUEUE, [](const Call& c) { return QueueAddUX(c.parameters, c.data); }},
    Route{KQS_ADD, TYPE_PHYSICAL_PRINTER,
          [](const Call& c) { return PortAdd(c.parameters, c.data); }},
    Route{KQS_REMOVE, TYPE_PRINTQUEUE, [](const Call& c) { return QueueRemoveUX(c.parameters); }},
    Route{KQS_REMOVE, TYPE_PHYSICAL_PRINTER,
          [](const Call& c) { return PortRemove(c.parameters); }},
    Route{KQS_ADMIN_ACCESS, kAnyType,
          [](const Call& c) { return AdminAccessUX(c.parameters, c.data); }},
    Route{KQS_ENUM_CONTAINER, TYPE_PRINTQUEUE,
          [](const Call& c) { return QueueEnumUX(c.result, c.resultSize); }},
    Route{KQS_ENUM_CONTAINER, TYPE_PRINTDRIVER,
          [](const Call& c) { return DriverEnumUX(c.result, c.resultSize); }},
    Route{KQS_ENUM_CONTAINER, TYPE_PRINTMONITOR,
          [](const Call& c) { return MonitorEnumUX(c.result, c.resultSize); }},
};

// Operations that have handlers; the others are answered as invalid.
constexpr bool Dispatched(uint32_t operation) {
  return operation == KQS_ADD || operation == KQS_REMOVE || operation == KQS_ADMIN_ACCESS ||
         operation == KQS_ENUM_CONTAINER;
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// What the connection being served did. Only the listen thread, which
// serves one connection at a time, touches it.
bool g_accessGranted = false;
int g_refusedChecks = 0;
bool g_mustClose = false;

void LogPeer(unsigned short type, unsigned id) {
  const uintptr_t peer = reinterpret_cast<uintptr_t>(kqs::ClientPeer());
  EventLogAddMessage(type, id, 1, &peer);
}

// Passwords cannot be tried without end on one connection.
void NoteRefusedCheck() {
  LogPeer(EVENTLOG_WARNING_TYPE, 207);
  if (++g_refusedChecks >= kqs::kMaxRefusedChecks) {
    LogPeer(EVENTLOG_WARNING_TYPE, 208);
    g_mustClose = true;
  }
}

constexpr bool NeedsAccess(uint32_t operation) {
  return operation == KQS_ADD || operation == KQS_REMOVE;
}

// The audit trail: every add or remove of a queue or port, done (56) or
// refused (251, with the code), with the console's address and the name.
void Audit(uint32_t operation, uint32_t objectType, const char* name, uint32_t code) {
  if (!NeedsAccess(operation) || (objectType != TYPE_PRINTQUEUE && objectType != TYPE_PHYSICAL_PRINTER)) return;
  static constexpr const char* kWhat[2][2] = {{"add queue", "add port"}, {"remove queue", "remove port"}};
  const char* insertions[] = {kqs::ClientPeer(), kWhat[operation == KQS_REMOVE][objectType == TYPE_PHYSICAL_PRINTER],
                              name, KQSReturnCodeFromID(code)};
  uintptr_t words[4];
  for (size_t i = 0; i < 4; ++i) words[i] = reinterpret_cast<uintptr_t>(insertions[i]);
  if (code == KQS_SUCCESS) {
    EventLogAddMessage(EVENTLOG_INFORMATION_TYPE, 56, 3, words);
  } else {
    EventLogAddMessage(EVENTLOG_WARNING_TYPE, 251, 4, words);
  }
}

}  // namespace

void kqs::ResetConnectionAccess() {
  g_accessGranted = false;
  g_refusedChecks = 0;
  g_mustClose = false;
}

bool kqs::ConnectionMustClose() { return g_mustClose; }

uint32_t KQSCommand(uint32_t operation, char* parameters, uint32_t objectType, char* data,
                    uint32_t /*dataSize*/, unsigned char* result, uint32_t* resultSize) {
  if (resultSize == nullptr) return KQS_INVALID_PARAMETER;
  if (!Dispatched(operation)) return KQS_INVALID_OPERATION;
  for (const Route& route : kRoutes) {
    if (route.operation == operation &&
        (route.objectType == kAnyType || route.objectType == objectType)) {
      return route.handler(Call{parameters, data, result, resultSize});
    }
  }
  return KQS_INVALID_OBJECT_TYPE;
}

uint32_t PSRequest(const char* packet, uint32_t received) {
  std::array<char, kRequestParameterSize> parameters{};
  // One byte more than a data block may hold, always NUL: a block without its
  // own terminator still ends inside the buffer for the handlers that read it
  // as text.
  std::array<char, kRequestDataSize + 1> data{};
  uint32_t parametersSize = kRequestParameterSize;
  uint32_t dataSize = kRequestDataSize;
  uint32_t platform = 0, operation = 0, objectType = 0;
  uint32_t rc = PacketReqDecode(&platform, &operation, parameters.data(), &parametersSize,
                                &objectType, data.data(), &dataSize, packet, received);
  if (rc != KQS_SUCCESS) return rc;

  uint32_t code;
  std::unique_ptr<unsigned char, FreeDeleter> result;
  uint32_t resultSize = 0;
  if (parametersSize > kRequestParameterSize || dataSize > kRequestDataSize) {
    // The decoder copied nothing: no handler runs on an unfilled buffer.
    code = KQS_INVALID_PARAMETER;
  } else if (bEnforceAccess && NeedsAccess(operation) && !g_accessGranted) {
    code = KQS_NO_ACCESS;
  } else {
    xSystemForgetFailure();
    code = KQSCommand(operation, parameters.data(), objectType, data.data(), dataSize, nullptr,
                      &resultSize);
    if (code == KQS_INSUFFICIENT_BUFFER) {
      const uint32_t capacity = resultSize;
      // Zeroed, so a handler that fills less than it asked for sends no stale
      // heap bytes.
      result.reset(static_cast<unsigned char*>(std::calloc(capacity > 0 ? capacity : 1, 1)));
      if (result == nullptr) {
        code = KQS_FAILURE;
        resultSize = 0;
      } else {
        code = KQSCommand(operation, parameters.data(), objectType, data.data(), dataSize,
                          result.get(), &resultSize);
        if (resultSize > capacity) resultSize = capacity;
      }
    } else {
      resultSize = 0;
    }
    if (operation == KQS_ADMIN_ACCESS && code == KQS_SUCCESS) g_accessGranted = true;
    if (operation == KQS_ADMIN_ACCESS && code == KQS_NO_ACCESS) NoteRefusedCheck();
    // A refused change carries, as its result, why the LP service refused it
    // when a command said so: one line of text with its NUL.
    const char* reason = xSystemLastFailure();
    if (NeedsAccess(operation) && code != KQS_SUCCESS && reason[0] != '\0') {
      resultSize = static_cast<uint32_t>(std::strlen(reason) + 1);
      result.reset(static_cast<unsigned char*>(std::malloc(resultSize)));
      if (result != nullptr) std::memcpy(result.get(), reason, resultSize);
      else resultSize = 0;
    }
  }
  Audit(operation, objectType, parameters.data(), code);

  unsigned char* response = nullptr;
  uint32_t responseLength = 0;
  rc = PacketRespEncode(operation, objectType, code, result.get(), resultSize, &response,
                        &responseLength);
  if (rc != KQS_SUCCESS) return rc;
  std::unique_ptr<unsigned char, FreeDeleter> owned(response);
  // A response sent in part leaves the stream out of step: the connection
  // goes.
  if (kqs::ClientSend(response, static_cast<int>(responseLength)) != static_cast<int>(responseLength)) {
    EventLogAddMessage(EVENTLOG_ERROR_TYPE, 111, 0, nullptr);
    LogPeer(EVENTLOG_WARNING_TYPE, 204);
    g_mustClose = true;
  }
  return rc;
}
