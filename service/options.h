// Settings of kqsd.ini that shape how the daemon guards itself:
//   [ACCESS]            Enforce=1      adds and removes need a successful
//                                      administrator check on the connection
//                       Allow=NETS     only consoles from these IPv4 networks
//                                      (CIDR, separated by blanks or commas)
//   [Process Settings]  ListenAddress  the one local address to serve on
//                       IdleTimeout=N  a connection with no answered request
//                                      for N seconds is closed (300; 0: never)
//                       RequestTimeout a request must arrive whole within this
//                                      many seconds of its first byte (10)
//                       SendTimeout    a response must be taken within this
//                                      many seconds (30)
//                       KeepAlive      seconds of silence before the first
//                                      keepalive probe (30); a vanished console
//                                      is noticed after about twice this
//   [Discovery]         Enabled=0      no discovery replies at all (1)
//   [LP Service]        CommandTimeout an LP command still running after this
//                                      many seconds is stopped (0: never)
// Read once at start-up, before the listen thread starts; read-only after.
#pragma once

#include <cstdint>

// 1 when adds and removes are refused until an administrator check on the
// same connection succeeded, else 0.
extern int bEnforceAccess;
// The time limits in milliseconds (0 for none where that is allowed).
extern uint32_t nIdleTimeoutMs;
extern uint32_t nRequestTimeoutMs;
extern uint32_t nSendTimeoutMs;
// 1 when discovery datagrams are answered, else 0.
extern int bDiscoveryEnabled;
// Seconds of silence before the first keepalive probe.
extern int nKeepAliveSeconds;
// The one IPv4 address to serve on, as text; "" for every local address.
extern char szListenAddress[64];

// The longest time limit accepted, in seconds (one week); larger values are
// cut to it.
inline constexpr int kMaxIdleTimeoutSeconds = 7 * 24 * 3600;

// Reads every setting from the INI file at iniPath and sets
// nCommandTimeoutMs (common/host/mtsafe.h). Enforce accepts 0, 1, yes, no,
// true, false, on and off in any letter case; any other value turns the check
// on and logs warning 210. Time limits are decimal seconds; an absent or
// unreadable one keeps its default. Returns 0, or -1 after error 113 when
// Allow or ListenAddress holds something that is not an IPv4 network or
// address (the daemon must not start open to more than was meant).
int LoadServiceOptions(const char* iniPath);

// 1 when a console at address (network byte order) may use the management
// port: Allow is empty, or one of its networks holds the address.
int PeerAllowed(uint32_t address);

// The effective settings as one line of text, for information event 20.
void DescribeServiceOptions(char* buffer, unsigned size);
