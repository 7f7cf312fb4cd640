// Printer ports. This platform keeps no port configuration: adding a port
// validates the request's parameters and records the event in the event log,
// removing one does nothing. Nothing is stored and no command is run.
#pragma once

#include <cstdint>

#include "protocol/params.h"

// The keys of a port request, all required, with empty values.
inline constexpr ParameterEntry PortParameterTable[4] = {
    {"HostName", nullptr}, {"IPAddress", nullptr}, {"HWAddress", nullptr}, {"Port", nullptr}};

// Parses parameters against a fresh PortParameterTable; on success logs
// warning event 200 with the port name. Returns KQS_SUCCESS, or
// KQS_INVALID_PARAMETER when a key is missing, repeated or unknown (nothing
// is logged then).
uint32_t PortAdd(const char* name, const char* parameters);

// KQS_SUCCESS for any name.
uint32_t PortRemove(const char* name);

// Not offered on this platform: KQS_NOT_IMPLEMENTED.
uint32_t PortAddUX();
uint32_t PortRemoveUX();
