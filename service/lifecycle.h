// The daemon's life: start-up and shutdown (run by the service framework),
// the listen thread that accepts management connections on TCP port 55554
// and on the TLS port and hands them to their serving threads (service/session.h), and the
// wake-up that lets the listeners see the shutdown flag.
#pragma once

#include <atomic>
#include <memory>

#include "jthread/jthread.h"
#include "service/connection.h"
#include "service/daemonstate.h"

struct sockaddr;

namespace kqs {
// The management and discovery port, TCP and UDP.
inline constexpr int kServicePort = 55554;

// A new socket of the socket layer's method ("tcp", "udp") and, in address,
// the address of host and port for it; -1 when the method, the address or
// the socket cannot be had.
int SocketFor(const char* method, const char* host, int port, struct sockaddr* address);

// Logs error id with two insertions: where the socket was to be ("TCP 55554
// on 192.0.2.1"; an empty address reads "every address") and why it could
// not be had (error's strerror text; for 0, that the address cannot be used).
void LogSocketFailure(unsigned id, const char* protocol, int port, const char* address, int error);
}  // namespace kqs

// The daemon's state (service/daemonstate.h) that ServiceBegin and
// ServiceEnd work on: the framework calls them without arguments, so main
// hands it over once, before the framework starts, and it must outlive
// them. Start-up passes it on to the threads it starts.
void UseDaemonState(kqs::DaemonState* state);

// Start-up, on the framework's start thread: fills the state given to
// UseDaemonState (the installation directory first), opens the event log (kqsd.cat
// beside the program, level 1), checks kqsd.ini (CheckSettingsFile), reads
// the settings (service/options.h) and the LP root, starts the socket layer;
// for the TLS port, makes the default certificate under tls/ beside the
// settings unless [TLS] names one (event 50 when it was made now) and reads
// certificate and key; opens the TCP listeners (port 55554 unless
// PlainPort=0, the TLS port unless Port=0; IPv4 and IPv6 unless
// ListenAddress names one address) with address reuse and the discovery
// socket, and only then writes "Process Settings"/"ProcessID" into
// kqsd.ini, still as root. Then switches to the account lp (its groups, group
// and user), sets the file creation mask to 042 when the process detached
// (in the foreground the mask it was given stays), logs event 1, the effective
// settings (event 20), that it runs on defaults when there was no kqsd.ini
// (41), the certificate's fingerprint (51), the LP tree in use (40) and, as lp finds it, an unreadable interfaces
// directory (error 130) or a missing lpadmin (error 131), which do not stop
// the start; then starts the discovery and listen threads. Returns 0 when the
// daemon runs. Returns kServiceBadConfiguration (common/host/servicefw.h)
// when the configuration is wrong: error 112 for an unsafe kqsd.ini, 190 for
// a link to a missing one, 113 for a bad Allow or ListenAddress, 160 for a
// bad [TLS] setting, 191 for a refused LP root, 192 for a missing lp
// account. Returns -1 when start-up failed otherwise: 161 for a certificate
// or key that cannot be made or used, 162 for a TLS port that did not open,
// 101 for a socket layer that did not start, 116 then 101 for a port 55554
// listener and 117 then 101 for a discovery socket that did not open, each
// with the address and the reason (the process id of a daemon already running stays in kqsd.ini), 132 when
// the switch to lp fails, 115 when root's rights could be taken back after
// it; nothing is logged when a thread start fails. A
// failed step undoes nothing before it.
int ServiceBegin();

// For kqsd --fingerprint: reads kqsd.ini beside the program into state, makes
// the default certificate as start-up would when none exists yet, and writes
// the TLS certificate's SHA-256 fingerprint into out (kFingerprintSize
// bytes, common/tls/certificate.h). Returns 0, or -1 with the reason in
// error.
int TlsCertificateFingerprint(char* out, unsigned size, char* error, unsigned errorSize, kqs::DaemonState* state);

// Checks that kqsd.ini at path may be trusted and written as root
// (common/config/settingsguard.h) and, where it exists, read and parsed
// (CheckSettingsText). Returns 0, or -1 after error 112 naming the path
// another account may change, 190 naming what a link names but is missing,
// or 140-142 naming the file, line or key that cannot be read.
int CheckSettingsFile(const char* path);

// Shutdown, once the shutdown flag is set: kills any LP command still running
// (with its process group), wakes the listeners, gives each listener thread
// at most 4000 ms to end, ends every connection still served (event 10
// each) within 4000 ms more, closes the listener (events 13 and 12, or
// 108), stops the socket layer (event 102 when that fails) and closes the
// event log after event 2.
void ServiceEnd();

// Listen thread body: accepts connections and hands each to
// kqs::StartServing (service/session.h), until the shutdown flag is set after
// an accept; that last connection is closed unserved (event 10). The
// argument is the daemon's state (kqs::DaemonState*); returns 0.
void* ListenThread(void* arg);

// Waits for a connection on either listener of state and accepts it into
// *connection (a kqs::TlsConnection from the TLS port), with the console's
// address and the socket options of kqs::GuardSocket. Returns 1 (event 11)
// or 0 when the accept failed (event 109, unless the shutdown flag is set).
int ConnectionRequest(std::unique_ptr<kqs::Connection>* connection, const kqs::DaemonState* state);

// Makes the discovery thread's wait and the listen thread's wait for a
// connection return, by shutting state's sockets down (the listeners then
// listen no more). Failures are not reported.
void WakeSelects(const kqs::DaemonState* state);

// Closes both listeners of state (event 13 before, then 12, or 108 when a
// close fails) and sets them to -1.
void DeleteListenSocket(kqs::DaemonState* state);
