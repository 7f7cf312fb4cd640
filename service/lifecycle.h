// The daemon's life: start-up and shutdown (run by the service framework),
// the listen thread that accepts one management connection at a time on TCP
// port 55554 and feeds each received packet to the request handler, and the
// wake-up that lets the listeners see the shutdown flag.
#pragma once

#include <atomic>

#include "jthread/jthread.h"
#include "service/connection.h"

namespace kqs {
// The management and discovery port, TCP and UDP.
inline constexpr int kServicePort = 55554;
}  // namespace kqs

// Process-wide state, shared by the start-up, listen, discovery and main
// threads. clientSocket is in service/connection.h, UDPSocket in
// service/discovery.h.
extern std::atomic<int> listenSocket;  // -1 while none is open
extern JThread DiscoveryHandle;        // 0 while not started
extern JThread ListenHandle;           // 0 while not started
// The installation directory (the module directory, ending in '/'), where
// kqsd.ini and kqsd.cat live.
extern char tInstalldir[255];

// Start-up, on the framework's start thread: opens the event log (kqsd.cat
// beside the program, level 1), writes "Process Settings"/"ProcessID" into
// kqsd.ini, reads the opt-in settings (service/options.h) and the LP root
// from kqsd.ini, switches to the account lp (group, supplementary groups and
// user), sets the file creation mask to 042, starts the socket layer (event
// 1), opens the TCP listener on port 55554 with address reuse and starts the
// discovery and listen threads. Returns 0 when the daemon runs, -1 when
// start-up failed: event 101 for a refused LP root, a missing lp account, a
// socket layer or listener that did not start; nothing is logged when the
// switch to lp or a thread start fails. A failed step undoes nothing before
// it.
int ServiceBegin();

// Shutdown, once the shutdown flag is set: wakes the listeners, waits 1000 ms,
// closes the served connection (event 10), gives each thread at most 4000 ms
// to end, closes the listener (events 13 and 12, or 108), stops the socket
// layer (event 102 when that fails) and closes the event log after event 2.
void ServiceEnd();

// Listen thread body: accepts a connection and serves it, over and over,
// until the shutdown flag is set after an accept. The argument is not used;
// returns 0.
void* ListenThread(void* arg);

// Accepts one connection on listenSocket into clientSocket. Returns 1 (event
// 11) or 0 when the accept failed (event 109).
int ConnectionRequest();

// Serves clientSocket until the console closes it (nothing logged), a
// receive fails (event 110), no request has come for the idle limit of
// service/options.h (when one is set; nothing logged) or the shutdown flag
// is set; each receive of up to 32768 bytes is one request (event 8) handed
// to PSRequest. Then closes the connection (event 10).
void ProcessData();

// Makes the discovery thread's wait and the listen thread's accept return: a
// two-byte datagram to UDP port 55554 and a connection to TCP port 55554 of
// the local host. Failures are not reported.
void WakeSelects();

// Closes listenSocket (event 13 before, then 12, or 108 when the close fails)
// and sets it to -1.
void DeleteListenSocket();
