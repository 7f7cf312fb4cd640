// The daemon's state in one place: the settings read at start-up, the
// sockets it listens on and the threads it started. main builds the one
// DaemonState and hands it to start-up (UseDaemonState, service/lifecycle.h),
// which passes it by pointer to the threads and calls that need it. The
// shutdown flag stays with the service framework (ServiceIsShutdown,
// common/host/servicefw.h), which raises it on SIGTERM.
//
// Who may touch what: start-up fills everything before it starts the
// discovery and listen threads, so those threads, the serving threads and
// shutdown see it whole. After that the settings and tInstalldir are read
// only; the sockets are atomics, as shutdown closes what the threads wait on.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "jthread/jthread.h"
#include "queueadmin/devicecheck.h"

namespace kqs {

// The plain management port, fixed, and the TLS port by default.
inline constexpr int kPlainPortNumber = 55554;
inline constexpr int kDefaultTlsPort = 55555;

// [ACCESS] Allow holds at most this many networks, in at most this many
// characters (room for 32 IPv6 networks with their prefix lengths).
inline constexpr unsigned kMaxAllowNetworks = 32;
inline constexpr unsigned kMaxAllowLength = 2047;

// One network of [ACCESS] Allow. An IPv4 network is kept as the IPv4-mapped
// IPv6 network it stands for, so one comparison serves both families.
struct AllowedNetwork {
  struct in6_addr address;  // host bits cleared
  int bits;
};

// The settings of kqsd.ini that shape how the daemon serves and guards
// itself (their keys and defaults: service/options.h). A default-built one
// holds the defaults. [LP Service] CommandTimeout is not here: it belongs to
// the command runner, which the LP handlers call (nCommandTimeoutMs,
// common/host/mtsafe.h).
struct ServiceSettings {
  // Adds and removes are refused until an administrator check on the same
  // connection succeeded.
  bool enforceAccess = false;
  // The consoles' networks (allowCount of them; none: every address), and
  // Allow as written.
  std::array<AllowedNetwork, kMaxAllowNetworks> allow{};
  size_t allowCount = 0;
  char allowText[kMaxAllowLength + 1] = "";
  // Time limits in milliseconds; no idle limit when 0.
  uint32_t idleTimeoutMs = 300000;
  uint32_t requestTimeoutMs = 10000;
  uint32_t sendTimeoutMs = 30000;
  // Seconds of silence before the first keepalive probe.
  int keepAliveSeconds = 30;
  // Discovery datagrams are answered.
  bool discoveryEnabled = true;
  // The one IPv4 or IPv6 address to serve on, as text; "" for every local
  // address.
  char listenAddress[64] = "";
  // The TLS port, 0 when there is no TLS listener, and whether the plain
  // port is open.
  int tlsPort = kDefaultTlsPort;
  bool plainPort = true;
  // The [TLS] paths as written ("" when not set).
  char tlsCertificate[256] = "";
  char tlsKey[256] = "";
  char tlsClientCA[256] = "";
  // The account the daemon switches to.
  char serviceUser[64] = "lp";
  // The file the process id is written to; "" to write it as ProcessID into
  // kqsd.ini.
  char pidFile[255] = "";
  // [LP Service] DeviceDirs as written, for SetDeviceDirs (queueadmin).
  char deviceDirs[kMaxDeviceDirsLength + 1] = "";
};

struct DaemonState {
  // Read at start-up (LoadServiceOptions), read-only once threads run.
  ServiceSettings settings;
  // The installation directory (the module directory, ending in '/'), where
  // kqsd.ini and kqsd.cat live. Set first at start-up, read-only after.
  char tInstalldir[255] = "";

  // The listeners of the plain and the TLS port, and the discovery socket;
  // -1 while none is open. Opened by start-up; the listen thread waits on
  // the listeners, the discovery thread on (and at its end closes)
  // UDPSocket; shutdown wakes them and closes the listeners.
  std::atomic<int> listenSocket{-1};
  std::atomic<int> tlsListenSocket{-1};
  std::atomic<int> UDPSocket{-1};

  // The discovery and listen threads, 0 while not started. Written by
  // start-up, read by shutdown (which runs after start-up has returned).
  JThread DiscoveryHandle = 0;
  JThread ListenHandle = 0;
};

}  // namespace kqs
