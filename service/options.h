// Settings of kqsd.ini that shape how the daemon guards itself:
//   [ACCESS]            Enforce=1      adds and removes need a successful
//                                      administrator check on the connection
//                       Allow=NETS     only consoles from these networks (up
//                                      to 32 IPv4 or IPv6 CIDR, separated by
//                                      blanks or commas)
//   [Process Settings]  ListenAddress  the one local address (IPv4 or IPv6) to
//                                      serve on; every address of both families
//                                      when empty
//                       IdleTimeout=N  a connection with no answered request
//                                      for N seconds is closed (300; 0: never)
//                       RequestTimeout a request must arrive whole within this
//                                      many seconds of its first byte (10)
//                       SendTimeout    a response must be taken within this
//                                      many seconds (30)
//                       KeepAlive      seconds of silence before the first
//                                      keepalive probe (30); a vanished console
//                                      is noticed after about twice this
//                       User=NAME      the account the daemon runs as (lp)
//                       PidFile=PATH   where the process id goes instead of
//                                      ProcessID in kqsd.ini
//   [TLS]               Port           the TLS management port (55555, 0: none)
//                       PlainPort      0 closes the plain port (default 1)
//                       Certificate    PEM certificate chain and private key
//                       Key            of the TLS port; when both are empty
//                                      the daemon makes its own (tls/)
//                       ClientCA       PEM CA certificates: a console whose
//                                      certificate one of them signed counts
//                                      as having passed the password check
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
// The one IPv4 or IPv6 address to serve on, as text; "" for every local address.
extern char szListenAddress[64];
// The plain management port, fixed, and the TLS port by default.
inline constexpr int kPlainPortNumber = 55554;
inline constexpr int kDefaultTlsPort = 55555;
// The TLS port, 0 when there is no TLS listener; 1 when the plain port is
// open, else 0.
extern int nTlsPort;
extern int bPlainPort;
// The [TLS] paths as written ("" when not set).
extern char szTlsCertificate[256];
extern char szTlsKey[256];
extern char szTlsClientCA[256];

// [ACCESS] Allow holds at most this many networks, in at most this many
// characters (room for 32 IPv6 networks with their prefix lengths).
inline constexpr unsigned kMaxAllowNetworks = 32;
inline constexpr unsigned kMaxAllowLength = 2047;

// The account the daemon switches to ([Process Settings] User, "lp" when
// absent or empty).
extern char szServiceUser[64];
// The file the process id is written to; "" to write it as ProcessID into
// kqsd.ini. [Process Settings] PidFile, else under systemd's
// RuntimeDirectory= ($RUNTIME_DIRECTORY/kqsd.pid).
extern char szPidFile[255];

// The longest time limit accepted, in seconds (one week); larger values are
// cut to it.
inline constexpr int kMaxIdleTimeoutSeconds = 7 * 24 * 3600;

// Checks that the INI file at iniPath, where it exists, can be read whole and
// holds only blank lines, comments, "[section]" and "key=value" lines, and
// that every setting read as a number is one (decimal digits) or empty:
// settings the daemon cannot read must not leave it running on defaults.
// Returns 0, or the id of the error event to log with problem (cut to
// size-1 characters) as its text: 140 the file cannot be read (its path and
// the reason), 141 the first malformed line (path and line number), 142 the
// first setting that is not a number ("[section] key=value").
unsigned CheckSettingsText(const char* iniPath, char* problem, unsigned size);

// Reads every setting from the INI file at iniPath and sets
// nCommandTimeoutMs (common/host/mtsafe.h). Enforce accepts 0, 1, yes, no,
// true, false, on and off in any letter case; any other value turns the check
// on and logs warning 210. Time limits are decimal seconds; an absent or
// unreadable one keeps its default. Returns 0, or -1 after error 113 when
// Allow or ListenAddress holds something that is not an IPv4 or IPv6 network
// or address (the daemon must not start open to more than was meant), or
// after error 160 when a [TLS] setting is invalid: a Port that is no port
// number (or is the plain port's), a PlainPort that is no truth value, both
// ports off, a Certificate without a Key or the reverse; or after error 114
// when Allow, ListenAddress or a [TLS] path is longer than its buffer (a
// value is never cut).
int LoadServiceOptions(const char* iniPath);

// 1 when a console at address (text, IPv4 or IPv6; an IPv4-mapped IPv6
// address counts as its IPv4 address) may use a management port: Allow is
// empty, or one of its networks holds the address.
int PeerAllowed(const char* address);

// The effective settings as one line of text, for information event 20.
void DescribeServiceOptions(char* buffer, unsigned size);
