// One request from packet to response: decode, dispatch by a table of
// (operation, object type) to the LP handlers, the two-call result size
// negotiation, and the answer on the management connection.
#include "service/request.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/host/eventlog.h"
#include "common/host/mtsafe.h"
#include "protocol/extension.h"
#include "protocol/kqsids.h"
#include "protocol/packet.h"
#include "queueadmin/adminaccess.h"
#include "queueadmin/enumerate.h"
#include "queueadmin/ports.h"
#include "queueadmin/queueadd.h"
#include "queueadmin/queueremove.h"
#include "queueadmin/queuestate.h"
#include "common/host/servicefw.h"
#include "common/host/sysinfo.h"
#include "service/admission.h"
#include "service/session.h"

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
    // kqsd's own requests (protocol/extension.h).
    Route{KQS_ENUM_CONTAINER, TYPE_KQS_QUEUE_STATE,
          [](const Call& c) { return QueueStateEnumUX(c.parameters, c.result, c.resultSize); }},
    Route{KQS_ENUM_CONTAINER, TYPE_KQS_JOB,
          [](const Call& c) { return JobEnumUX(c.parameters, c.result, c.resultSize); }},
    Route{KQS_ENUM_CONTAINER, TYPE_KQS_QUEUE_SETTINGS,
          [](const Call& c) { return QueueSettingsEnumUX(c.parameters, c.result, c.resultSize); }},
    Route{KQS_UPDATE, TYPE_KQS_QUEUE_STATE, [](const Call& c) { return QueueStateChangeUX(c.parameters, c.data); }},
    Route{KQS_REMOVE, TYPE_KQS_JOB, [](const Call& c) { return JobCancelUX(c.parameters, c.data); }},
    Route{KQS_UPDATE, TYPE_KQS_JOB, [](const Call& c) { return JobMoveUX(c.parameters, c.data); }},
    Route{KQS_UPDATE, TYPE_KQS_QUEUE_SETTINGS, [](const Call& c) { return QueueModifyUX(c.parameters, c.data); }},
};

// Operations that have handlers; the others are answered as invalid. An
// update exists only on kqsd's own object types.
constexpr bool Dispatched(uint32_t operation, uint32_t objectType) {
  return operation == KQS_ADD || operation == KQS_REMOVE || operation == KQS_ADMIN_ACCESS ||
         operation == KQS_ENUM_CONTAINER || (operation == KQS_UPDATE && kqs::IsExtensionType(objectType));
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

void LogPeer(const kqs::Session& session, unsigned short type, unsigned id) {
  const uintptr_t peer = reinterpret_cast<uintptr_t>(session.connection->peer().c_str());
  EventLogAddMessage(type, id, 1, &peer);
}

// Passwords cannot be tried without end on one connection, nor (see
// service/admission.h) by reconnecting.
void NoteRefusedCheck(kqs::Session* session) {
  LogPeer(*session, EVENTLOG_WARNING_TYPE, 207);
  if (++session->refusedChecks >= kqs::kMaxRefusedChecks) {
    LogPeer(*session, EVENTLOG_WARNING_TYPE, 208);
    session->mustClose = true;
  }
}

// Waits out the address's password delay, in short steps so that shutdown
// is not held up. False when the daemon is stopping.
bool AwaitPasswordTurn(const kqs::Session& session) {
  constexpr int64_t kStepMs = 200;
  const int64_t until = kqs::NowMs() + kqs::TakePasswordTurn(session.connection->peer());
  for (int64_t left; (left = until - kqs::NowMs()) > 0;) {
    if (ServiceIsShutdown()) return false;
    xSleep(static_cast<int>(std::min(left, kStepMs)));
  }
  return true;
}

// Handlers were written to run one at a time, and LP changes must not
// overlap: every handler call holds this turn. Turns are given in the order
// they were asked for, so a console sending request after request cannot
// keep another one waiting.
class RequestTurn {
 public:
  RequestTurn() {
    std::unique_lock<std::mutex> hold(lock_);
    const uint64_t mine = next_++;
    turnChanged_.wait(hold, [mine] { return serving_ == mine; });
  }
  ~RequestTurn() {
    std::lock_guard<std::mutex> hold(lock_);
    ++serving_;
    turnChanged_.notify_all();
  }
  RequestTurn(const RequestTurn&) = delete;
  RequestTurn& operator=(const RequestTurn&) = delete;

 private:
  static inline std::mutex lock_;
  static inline std::condition_variable turnChanged_;
  static inline uint64_t next_ = 0;
  static inline uint64_t serving_ = 0;
};

constexpr bool NeedsAccess(uint32_t operation, uint32_t objectType) {
  return operation == KQS_ADD || operation == KQS_REMOVE ||
         (operation == KQS_UPDATE && kqs::IsExtensionType(objectType));
}

// A change made through kqsd's own requests is logged once, with who asked
// and how it ended.
void LogExtensionChange(const kqs::Session& session, uint32_t operation, uint32_t objectType, const char* name,
                        const char* data, uint32_t code) {
  if (!kqs::IsExtensionType(objectType) || (operation != KQS_UPDATE && operation != KQS_REMOVE)) return;
  const uintptr_t insertions[] = {reinterpret_cast<uintptr_t>(session.connection->peer().c_str()),
                                  reinterpret_cast<uintptr_t>(name), reinterpret_cast<uintptr_t>(data),
                                  reinterpret_cast<uintptr_t>(KQSReturnCodeFromID(code))};
  EventLogAddMessage(code == KQS_SUCCESS ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE,
                     code == KQS_SUCCESS ? 60 : 260, 4, insertions);
}

// The audit trail: every add or remove of a queue or port, done (56) or
// refused (251, with the code), with the console's address and the name.
void Audit(const kqs::Session& session, uint32_t operation, uint32_t objectType, const char* name, uint32_t code) {
  if ((operation != KQS_ADD && operation != KQS_REMOVE) ||
      (objectType != TYPE_PRINTQUEUE && objectType != TYPE_PHYSICAL_PRINTER)) {
    return;
  }
  static constexpr const char* kWhat[2][2] = {{"add queue", "add port"}, {"remove queue", "remove port"}};
  const char* insertions[] = {session.connection->peer().c_str(),
                              kWhat[operation == KQS_REMOVE][objectType == TYPE_PHYSICAL_PRINTER], name,
                              KQSReturnCodeFromID(code)};
  uintptr_t words[4];
  for (size_t i = 0; i < 4; ++i) words[i] = reinterpret_cast<uintptr_t>(insertions[i]);
  if (code == KQS_SUCCESS) {
    EventLogAddMessage(EVENTLOG_INFORMATION_TYPE, 56, 3, words);
  } else {
    EventLogAddMessage(EVENTLOG_WARNING_TYPE, 251, 4, words);
  }
}

// A refused change carries, as its result, why the LP service refused it
// when a command of this thread said so: one line of text with its NUL.
void AttachReason(std::unique_ptr<unsigned char, FreeDeleter>* result, uint32_t* resultSize) {
  const char* reason = xSystemLastFailure();
  if (reason[0] == '\0') return;
  const uint32_t size = static_cast<uint32_t>(std::strlen(reason) + 1);
  result->reset(static_cast<unsigned char*>(std::malloc(size)));
  if (*result == nullptr) return;
  std::memcpy(result->get(), reason, size);
  *resultSize = size;
}

}  // namespace

uint32_t KQSCommand(uint32_t operation, char* parameters, uint32_t objectType, char* data,
                    uint32_t /*dataSize*/, unsigned char* result, uint32_t* resultSize) {
  if (resultSize == nullptr) return KQS_INVALID_PARAMETER;
  if (!Dispatched(operation, objectType)) return KQS_INVALID_OPERATION;
  for (const Route& route : kRoutes) {
    if (route.operation == operation &&
        (route.objectType == kAnyType || route.objectType == objectType)) {
      return route.handler(Call{parameters, data, result, resultSize});
    }
  }
  return KQS_INVALID_OBJECT_TYPE;
}

// The handler call with the two-call size negotiation: a handler that asks
// for a result buffer is called again with one of the size it named.
static uint32_t RunCommand(uint32_t operation, uint32_t objectType, char* parameters, char* data, uint32_t dataSize,
                    std::unique_ptr<unsigned char, FreeDeleter>* result, uint32_t* resultSize) {
  uint32_t code = KQSCommand(operation, parameters, objectType, data, dataSize, nullptr, resultSize);
  if (code != KQS_INSUFFICIENT_BUFFER) {
    *resultSize = 0;
    return code;
  }
  const uint32_t capacity = *resultSize;
  // Zeroed, so a handler that fills less than it asked for sends no stale
  // heap bytes.
  result->reset(static_cast<unsigned char*>(std::calloc(capacity > 0 ? capacity : 1, 1)));
  if (*result == nullptr) {
    *resultSize = 0;
    return KQS_FAILURE;
  }
  code = KQSCommand(operation, parameters, objectType, data, dataSize, result->get(), resultSize);
  if (*resultSize > capacity) *resultSize = capacity;
  return code;
}

uint32_t PSRequest(kqs::Session* session, const char* packet, uint32_t received) {
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
  } else if (session->settings->enforceAccess && NeedsAccess(operation, objectType) && !session->accessGranted) {
    code = KQS_NO_ACCESS;
  } else if (operation == KQS_ADMIN_ACCESS && !AwaitPasswordTurn(*session)) {
    return KQS_FAILURE;
  } else {
    RequestTurn turn;
    xSystemForgetFailure();
    code = RunCommand(operation, objectType, parameters.data(), data.data(), dataSize, &result, &resultSize);
    if (NeedsAccess(operation, objectType) && code != KQS_SUCCESS && resultSize == 0) AttachReason(&result, &resultSize);
    LogExtensionChange(*session, operation, objectType, parameters.data(), data.data(), code);
    if (operation == KQS_ADMIN_ACCESS && (code == KQS_SUCCESS || code == KQS_NO_ACCESS)) {
      kqs::NotePasswordCheck(session->connection->peer(), code == KQS_SUCCESS);
      if (code == KQS_SUCCESS) session->accessGranted = true;
      if (code == KQS_NO_ACCESS) NoteRefusedCheck(session);
    }
  }

  Audit(*session, operation, objectType, parameters.data(), code);

  unsigned char* response = nullptr;
  uint32_t responseLength = 0;
  rc = PacketRespEncode(operation, objectType, code, result.get(), resultSize, &response,
                        &responseLength);
  if (rc != KQS_SUCCESS) return rc;
  std::unique_ptr<unsigned char, FreeDeleter> owned(response);
  // A response sent in part leaves the stream out of step: the connection
  // goes.
  if (session->connection->Send(response, static_cast<int>(responseLength)) != static_cast<int>(responseLength)) {
    EventLogAddMessage(EVENTLOG_ERROR_TYPE, 111, 0, nullptr);
    LogPeer(*session, EVENTLOG_WARNING_TYPE, 204);
    session->mustClose = true;
  }
  return rc;
}
