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
//                       DeviceDirs     the directories a queue's Device may
//                                      name files in (queueadmin/devicecheck.h)
// Read once at start-up into the daemon's state (service/daemonstate.h),
// before the listen thread starts; read-only after.
#pragma once

#include <cstdint>

#include "service/daemonstate.h"

// The longest time limit accepted, in seconds (one week); larger values are
// cut to it.
inline constexpr int kMaxIdleTimeoutSeconds = 7 * 24 * 3600;

// Checks that the INI file at iniPath, where it exists, can be read whole and
// holds only blank lines, comments, "[section]" and "key=value" lines, and
// that every setting read as a number is one (decimal digits) or empty:
// settings the daemon cannot read must not leave it running on defaults.
// Returns 0, or the id of the error event to log with problem (cut to
// size-1 characters) as its text: 140 the file cannot be read (its path and
// the reason), 114 the first line over 4095 characters, which the profile
// reader would take in pieces ("line N (at most 4095 characters)"), 141 the
// first malformed line (path and line number), 142 the first setting that is
// not a number ("[section] key=value").
unsigned CheckSettingsText(const char* iniPath, char* problem, unsigned size);

// Reads every setting from the INI file at iniPath into *settings (defaults
// for what is absent; the process id file under systemd's RuntimeDirectory=,
// $RUNTIME_DIRECTORY/kqsd.pid, when PidFile is not set) and sets
// nCommandTimeoutMs (common/host/mtsafe.h). Enforce accepts 0, 1, yes, no,
// true, false, on and off in any letter case; any other value turns the check
// on and logs warning 210. Time limits are decimal seconds; an absent or
// unreadable one keeps its default. Returns 0, or -1 after error 113 when
// Allow or ListenAddress holds something that is not an IPv4 or IPv6 network
// or address (the daemon must not start open to more than was meant), or
// after error 160 when a [TLS] setting is invalid: a Port that is no port
// number (or is the plain port's), a PlainPort that is no truth value, both
// ports off, a Certificate without a Key or the reverse; or after error 114
// when Allow, ListenAddress, User, PidFile, DeviceDirs or a [TLS] path is
// longer than its buffer (a value is never cut).
int LoadServiceOptions(kqs::ServiceSettings* settings, const char* iniPath);

// 1 when a console at address (text, IPv4 or IPv6; an IPv4-mapped IPv6
// address counts as its IPv4 address) may use a management port: the
// settings' Allow is empty, or one of its networks holds the address.
int PeerAllowed(const kqs::ServiceSettings* settings, const char* address);

// The effective settings as one line of text, for information event 20.
void DescribeServiceOptions(char* buffer, unsigned size, const kqs::ServiceSettings* settings);
