// Registration of the protocol library: a client program calls KQSRegister
// before it uses the protocol and KQSUnregister afterwards, to start and stop
// the socket layer and the library's critical section. The daemon itself
// calls neither; it starts the socket layer in its own start-up.
#pragma once

#include <atomic>
#include <cstdint>

#include "jthread/jthread.h"

// Number of registrations not yet undone (changed by the two calls below).
extern std::atomic<uint32_t> glbdwCount;
// The library's critical section; made by KQSRegister, deleted by
// KQSUnregister, entered by nothing in the daemon.
extern JThreadCritSecHandle KQSEnumUXCS;

// Starts the socket layer (counting the registration when that works) and
// creates KQSEnumUXCS either way. Returns 0, or KQS_FAILURE when the layer
// did not start or the critical section could not be created.
uint32_t KQSRegister();

// Lowers the count, stops the socket layer and deletes KQSEnumUXCS, whatever
// the count. Returns 0.
uint32_t KQSUnregister();
