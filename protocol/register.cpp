// Protocol library registration: socket layer start and stop and the
// library's critical section, for client programs of the protocol.
#include "protocol/register.h"

#include "protocol/kqsids.h"
#include "pts/ptscore.h"

std::atomic<uint32_t> glbdwCount{0};
JThreadCritSecHandle KQSEnumUXCS = nullptr;

uint32_t KQSRegister() {
  uint32_t result = KQS_SUCCESS;
  if (_PTS_startup() == -1) {
    result = KQS_FAILURE;
  } else {
    ++glbdwCount;
  }
  // A second registration replaces the section: delete the old one rather
  // than lose it.
  if (KQSEnumUXCS != nullptr) {
    JThreadCritSecDelete(KQSEnumUXCS);
    KQSEnumUXCS = nullptr;
  }
  if (JThreadCritSecCreate(&KQSEnumUXCS) != 0) result = KQS_FAILURE;
  return result;
}

uint32_t KQSUnregister() {
  --glbdwCount;
  _PTS_cleanup();
  if (KQSEnumUXCS != nullptr) {
    JThreadCritSecDelete(KQSEnumUXCS);
    KQSEnumUXCS = nullptr;
  }
  return KQS_SUCCESS;
}
