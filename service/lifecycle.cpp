// Start-up, shutdown and the listen thread of the daemon. Start-up keeps the
// part that runs as root short: the event log, the process id and the LP root
// are settled, then the process switches to lp before any socket is opened.
#include "service/lifecycle.h"

#include <grp.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>

#include "common/config/profile.h"
#include "common/host/eventlog.h"
#include "common/host/mtsafe.h"
#include "common/host/servicefw.h"
#include "common/host/sysinfo.h"
#include "common/util/pathutil.h"
#include "common/util/strbuf.h"
#include "pts/hostcache.h"
#include "pts/methods.h"
#include "pts/ptscore.h"
#include "queueadmin/lppaths.h"
#include "service/discovery.h"
#include "service/options.h"
#include "service/request.h"

std::atomic<int> listenSocket{-1};
JThread DiscoveryHandle = 0;
JThread ListenHandle = 0;
char tInstalldir[255];

namespace {

constexpr int kReceiveSize = 32768;
constexpr int kListenBacklog = 5;
constexpr int kSettleMs = 1000;
constexpr int kJoinMs = 4000;
// A failing accept is retried after this pause, so a lasting failure (out of
// descriptors, say) does not spin the thread and flood the log.
constexpr int kAcceptRetryMs = 100;
// The wake-up connection gives up after this long: with the backlog full of
// waiting consoles the connect would otherwise block shutdown for minutes,
// and the listen thread is then not in accept anyway.
constexpr int kWakeConnectMs = 1000;
// New files lose group read and world write permission.
constexpr mode_t kFileMask = 042;

void Log(unsigned short type, unsigned id) { EventLogAddMessage(type, id, 0, nullptr); }

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// Path of a file beside the program.
void InstallPath(const char* name, char* path, unsigned size) {
  RelStrCpyIntoBufA(path, tInstalldir, size);
  MergePath(path, name, size);
}

// Group, supplementary groups, then user: once the user is lp nothing else
// can be changed. Supplementary groups can be set only while still root.
int SwitchToAccount(const struct passwd& account) {
  gid_t group = account.pw_gid;
  if (geteuid() == 0 && setgroups(1, &group) != 0) return -1;
  if (setgid(group) != 0) return -1;
  if (setuid(account.pw_uid) != 0) return -1;
  return 0;
}

// A new socket of the "tcp" method and the address of host and port for it;
// -1 when the method, the address or the socket cannot be had.
int TcpSocketFor(const char* host, int port, struct sockaddr* address) {
  int family = 0, type = 0, protocol = 0;
  if (PTS_GetSocketInfoByMethod("tcp", 0, &family, &type, &protocol, nullptr) != 0) return -1;
  if (PTS_FillAddr(host, family, port, address) != 0) return -1;
  return PTS_socket(family, type, protocol);
}

// The TCP listener on every local address. Address reuse lets a restart bind
// while connections of the previous run linger in TIME_WAIT; a second daemon
// still cannot bind while one listens.
int OpenListenSocket(int port) {
  struct sockaddr address;
  int s = TcpSocketFor("0.0.0.0", port, &address);
  if (s == -1) return -1;
  int on = 1;
  if (PTS_setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      PTS_bind(s, &address, sizeof address) != 0 || PTS_listen(s, kListenBacklog) != 0) {
    int error = errno;
    PTS_closesocket(s);
    errno = error;
    return -1;
  }
  return s;
}

// A TCP connection to the local port that gives up after timeoutMs.
int ConnectLocal(int port, int timeoutMs) {
  struct sockaddr address;
  int s = TcpSocketFor("localhost", port, &address);
  if (s == -1) return -1;
  int on = 1;
  bool connected = false;
  if (s < FD_SETSIZE && PTS_ioctlsocket(s, FIONBIO, &on) == 0) {
    if (PTS_connect(s, &address, sizeof address) == 0) {
      connected = true;
    } else if (errno == EINPROGRESS) {
      fd_set writable;
      PTS_FD_ZERO(&writable);
      PTS_FD_SET(s, &writable);
      struct timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
      int error = 0;
      socklen_t length = sizeof error;
      connected = PTS_select(s + 1, nullptr, &writable, nullptr, &limit) == 1 &&
                  PTS_getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
  }
  if (!connected) {
    PTS_closesocket(s);
    return -1;
  }
  return s;
}

}  // namespace

int ServiceBegin() {
  unsigned length = xGetModuleDirectory(nullptr, tInstalldir, sizeof tInstalldir);
  if (length == 0 || length >= sizeof tInstalldir) tInstalldir[0] = '\0';
  char path[255];
  InstallPath("kqsd.cat", path, sizeof path);
  EventLogOpen("KQSManager", "System", "%SystemRoot%\\System32\\kqsd.exe", path);
  EventLogSetLevel(1);

  InstallPath("kqsd.ini", path, sizeof path);
  char pid[255];
  sprintfnA(pid, sizeof pid, "%d", static_cast<int>(getpid()));
  xWritePrivateProfileStringA("Process Settings", "ProcessID", pid, path);
  LoadServiceOptions(path);

  // Every LP path must resolve under the configured root before the first
  // request; a root that is refused must not fall back to the host's own LP.
  if (kqs::LoadLpRoot() != 0) {
    Log(EVENTLOG_ERROR_TYPE, 101);
    return -1;
  }

  // Without the account lp the daemon would switch to the zeroed record's
  // user 0 and run on as root: refuse to start instead.
  struct passwd account;
  std::array<char, 1024> work;
  if (xGetpwnam("lp", &account, work.data(), static_cast<int>(work.size())) == nullptr) {
    Log(EVENTLOG_ERROR_TYPE, 101);
    return -1;
  }
  lpid = account.pw_uid;
  if (SwitchToAccount(account) != 0) return -1;
  umask(kFileMask);

  if (_PTS_startup() == -1) {
    Log(EVENTLOG_ERROR_TYPE, 101);
    return -1;
  }
  Log(EVENTLOG_INFORMATION_TYPE, 1);

  listenSocket = OpenListenSocket(kqs::kServicePort);
  if (listenSocket == -1) {
    Log(EVENTLOG_ERROR_TYPE, 101);
    return -1;
  }
  if (JThreadCreate(&DiscoveryHandle, DiscoveryThread, nullptr) != 0) return -1;
  if (JThreadCreate(&ListenHandle, ListenThread, nullptr) != 0) return -1;
  return 0;
}

void ServiceEnd() {
  WakeSelects();
  xSleep(kSettleMs);

  // Ends a wait on a connection still being served, or closes the wake-up
  // connection that the listen thread accepted and left.
  kqs::ClientClose();
  Log(EVENTLOG_INFORMATION_TYPE, 10);

  void* status = nullptr;
  if (DiscoveryHandle != 0) TimeoutJoin(&status, DiscoveryHandle, kJoinMs);
  if (ListenHandle != 0) TimeoutJoin(&status, ListenHandle, kJoinMs);
  // When a console was being served, the listen thread accepted the wake-up
  // connection only after the close above; it is not left open either.
  kqs::ClientClose();

  DeleteListenSocket();
  if (PTS_cleanup() == -1) Log(EVENTLOG_INFORMATION_TYPE, 102);
  Log(EVENTLOG_INFORMATION_TYPE, 2);
  EventLogClose();
}

void* ListenThread(void*) {
  while (true) {
    int accepted = ConnectionRequest();
    // A connection accepted now is left for ServiceEnd to close.
    if (ServiceIsShutdown()) return nullptr;
    if (accepted) {
      ProcessData();
    } else {
      xSleep(kAcceptRetryMs);
    }
  }
}

int ConnectionRequest() {
  int s = PTS_accept(listenSocket, nullptr, nullptr);
  if (s == -1) {
    Log(EVENTLOG_ERROR_TYPE, 109);
    return 0;
  }
  clientSocket = s;
  Log(EVENTLOG_INFORMATION_TYPE, 11);
  return 1;
}

void ProcessData() {
  std::unique_ptr<char, FreeDeleter> buffer(static_cast<char*>(std::malloc(kReceiveSize)));
  kqs::ResetConnectionAccess();
  // Idle time is measured on the monotonic clock: a step of the wall clock
  // must neither close a busy console nor keep a silent one.
  using IdleClock = std::chrono::steady_clock;
  const std::chrono::milliseconds idleLimit(nIdleTimeoutMs);
  IdleClock::time_point lastRequest = IdleClock::now();
  // Without a buffer the connection is closed at once rather than served.
  while (buffer != nullptr && !ServiceIsShutdown()) {
    int received = 0;
    bool waitFailed = false;
    {
      kqs::ClientUse use;
      int s = use.socket();
      // Gone (closed by shutdown), or beyond what a descriptor set can hold.
      if (s == -1 || s >= FD_SETSIZE) break;
      // With an idle limit the wait ends when it is reached.
      struct timeval limit{};
      struct timeval* wait = nullptr;
      if (idleLimit.count() > 0) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            lastRequest + idleLimit - IdleClock::now());
        if (left.count() <= 0) break;  // idle too long: close it
        limit.tv_sec = static_cast<time_t>(left.count() / 1000000);
        limit.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
        wait = &limit;
      }
      fd_set readable;
      PTS_FD_ZERO(&readable);
      PTS_FD_SET(s, &readable);
      int ready = PTS_select(s + 1, &readable, nullptr, nullptr, wait);
      if (ServiceIsShutdown()) break;
      if (ready == 0) continue;
      if (ready == -1) waitFailed = true;
      else received = PTS_recv(s, buffer.get(), kReceiveSize, 0);
    }
    if (waitFailed) {
      // Wait again, but without spinning on a lasting failure.
      xSleep(kAcceptRetryMs);
      continue;
    }
    if (received == -1) {
      Log(EVENTLOG_ERROR_TYPE, 110);
      break;
    }
    if (received == 0) break;
    Log(EVENTLOG_INFORMATION_TYPE, 8);
    PSRequest(buffer.get(), static_cast<uint32_t>(received));
    lastRequest = IdleClock::now();
  }
  kqs::ClientClose();
  Log(EVENTLOG_INFORMATION_TYPE, 10);
}

void WakeSelects() {
  int udp = PTS_SetupUDPConnectSocket(nullptr, kqs::kServicePort);
  int tcp = ConnectLocal(kqs::kServicePort, kWakeConnectMs);
  static constexpr char kWake[2] = {'*', '\0'};
  if (udp != -1) PTS_send(udp, kWake, sizeof kWake, 0);
  if (tcp != -1) PTS_closesocket(tcp);
  if (udp != -1) PTS_closesocket(udp);
}

void DeleteListenSocket() {
  Log(EVENTLOG_INFORMATION_TYPE, 13);
  int s = listenSocket.exchange(-1);
  if (PTS_closesocket(s) == -1) {
    Log(EVENTLOG_ERROR_TYPE, 108);
  } else {
    Log(EVENTLOG_INFORMATION_TYPE, 12);
  }
}
