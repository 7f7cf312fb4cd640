// Discovery responder: answers every datagram on UDP port 55554 with one line
// that describes this server (platform, operating system, protocol number,
// version and installation directory), so a management console can find it.
#pragma once

#include <cstdint>

#include "service/daemonstate.h"

// The daemon's version record. The caller sets size to the record's size.
struct KQSVersionInfo {
  uint32_t size;
  uint32_t major;
  uint32_t reserved;  // always 0, not reported
  uint32_t minor;
  uint32_t update;
  uint32_t build;
};

// Opens state's UDPSocket on port 55554 of the listen address, so that
// start-up can fail, and report ready, only once discovery can answer; does
// nothing when discovery is off. Returns 0, or -1 when the socket cannot be
// had, after errors 117 (with the address and the reason) and 101.
int OpenDiscovery(kqs::DaemonState* state);

// Thread body, given the daemon's state (kqs::DaemonState*) as its argument:
// ends at once when discovery is off; builds the reply once, opens the UDP
// socket on port 55554 of the listen address unless OpenDiscovery did (logging events 117 and
// 101 and ending when it cannot) and
// answers each datagram of one byte or more with the reply, sent to its
// sender within the sender's budget (service/ratelimit.h), until the shutdown
// flag is set; a datagram that arrives after that is not answered. Then
// closes the socket (event 10) and sets UDPSocket to -1. Returns 0.
void* DiscoveryThread(void* arg);

// Fills the record with version 3.0.0 build 394. Returns 1, or 0 (nothing
// written) for a null record or one whose size is below the record's size.
int KQSVersion(KQSVersionInfo* record);

// Sets both outputs (those given) to 0; reads no file.
void ExtractFileVersion(const char* file, uint32_t* major, uint32_t* minor);
