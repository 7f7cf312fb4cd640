// Opt-in settings of kqsd.ini, both off unless the file turns them on, so
// that by default the protocol behaves exactly as consoles expect:
//   [ACCESS]            Enforce=1    adds and removes need a successful
//                                    administrator check on the connection
//   [Process Settings]  IdleTimeout=N a connection silent for N seconds is
//                                    closed, so one console cannot hold the
//                                    daemon (which serves one at a time)
// Read once at start-up, before the listen thread starts; read-only after.
#pragma once

#include <cstdint>

// 1 when adds and removes are refused until an administrator check on the
// same connection succeeded, else 0.
extern int bEnforceAccess;
// Longest silence of a management connection in milliseconds; 0 for none.
extern uint32_t nIdleTimeoutMs;

// The longest idle time accepted, in seconds (one week); larger values are
// cut to it.
inline constexpr int kMaxIdleTimeoutSeconds = 7 * 24 * 3600;

// Reads both settings from the INI file at iniPath. Enforce is on for "1"
// or a value beginning with "Yes", "On" or "True" (any case); IdleTimeout
// for a positive decimal number. A missing file, key or other value leaves a
// setting off.
void LoadServiceOptions(const char* iniPath);
