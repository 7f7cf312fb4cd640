// Printer port requests: validated and logged, nothing kept.
#include "queueadmin/ports.h"

#include <algorithm>
#include <array>
#include <memory>

#include "common/host/eventlog.h"
#include "protocol/kqsids.h"

namespace {

constexpr unsigned kPortAddedEvent = 200;

struct ParseCopyFree {
  void operator()(char* copy) const { ParseFree(copy); }
};

}  // namespace

uint32_t PortAdd(const char* name, const char* parameters) {
  std::unique_ptr<char, ParseCopyFree> copy(ParseAlloc(parameters));
  std::array<ParameterEntry, std::size(PortParameterTable)> table;
  std::copy(std::begin(PortParameterTable), std::end(PortParameterTable), table.begin());
  uint32_t rc = ParseParameters(copy.get(), table.data(), table.size());
  if (rc == KQS_SUCCESS) {
    uintptr_t insertions[1] = {reinterpret_cast<uintptr_t>(name != nullptr ? name : "")};
    EventLogAddMessage(EVENTLOG_WARNING_TYPE, kPortAddedEvent, 1, insertions);
  }
  return rc;
}

uint32_t PortRemove(const char* /*name*/) { return KQS_SUCCESS; }

uint32_t PortAddUX() { return KQS_NOT_IMPLEMENTED; }

uint32_t PortRemoveUX() { return KQS_NOT_IMPLEMENTED; }
