// Start-up, shutdown and the listen thread of the daemon. Start-up keeps the
// part that runs as root short: the event log, the settings and the LP root
// are settled and the listener is bound, the process id is written (a root
// write, so only into a file and directory that root alone may change), then
// the process switches to lp.
#include "service/lifecycle.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/config/profile.h"
#include "common/config/settingsguard.h"
#include "common/host/env.h"
#include "common/host/eventlog.h"
#include "common/host/mtsafe.h"
#include "common/host/servicefw.h"
#include "common/host/sysinfo.h"
#include "common/util/pathutil.h"
#include "common/util/strbuf.h"
#include "pts/hostcache.h"
#include "pts/methods.h"
#include "protocol/kqsids.h"
#include "pts/ptscore.h"
#include "queueadmin/lppaths.h"
#include "service/discovery.h"
#include "service/options.h"
#include "service/session.h"

std::atomic<int> listenSocket{-1};
JThread DiscoveryHandle = 0;
JThread ListenHandle = 0;
char tInstalldir[255];

namespace {

// Room for a burst of consoles while the listen thread admits them.
constexpr int kListenBacklog = 64;
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

// Path of a file beside the program.
void InstallPath(const char* name, char* path, unsigned size) {
  RelStrCpyIntoBufA(path, tInstalldir, size);
  MergePath(path, name, size);
}

void LogText(unsigned short type, unsigned id, const char* text) {
  const uintptr_t insertion = reinterpret_cast<uintptr_t>(text);
  EventLogAddMessage(type, id, 1, &insertion);
}

// Supplementary groups, group, then user: once the user is lp nothing else
// can be changed. lp keeps the groups it is a member of (the print service
// admits administrative requests by group), which only root can set.
int SwitchToAccount(const struct passwd& account) {
  gid_t group = account.pw_gid;
  if (geteuid() == 0 && initgroups(account.pw_name, group) != 0) return -1;
  if (setgid(group) != 0) return -1;
  if (setuid(account.pw_uid) != 0) return -1;
  return 0;
}

// The local address the listeners bind and the wake-up reaches.
const char* ListenHost() { return szListenAddress[0] != '\0' ? szListenAddress : "0.0.0.0"; }

// The TCP listener on the listen address. Address reuse lets a restart bind
// while connections of the previous run linger in TIME_WAIT; a second daemon
// still cannot bind while one listens.
int OpenListenSocket(int port) {
  struct sockaddr address;
  int s = kqs::SocketFor("tcp", ListenHost(), port, &address);
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

// A TCP connection to the local port (on host, or the local host when null)
// that gives up after timeoutMs.
int ConnectLocal(const char* host, int port, int timeoutMs) {
  struct sockaddr address;
  int s = kqs::SocketFor("tcp", host != nullptr ? host : "localhost", port, &address);
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

// Names the LP print service in use and, as lp sees it, what would make
// queue requests fail later: the administrator reads it at start, not at the
// first refused request.
void LogLpService() {
  const kqs::LpPathSet& lp = kqs::LpPaths();
  LogText(EVENTLOG_INFORMATION_TYPE, 40, kqs::LpRoot()[0] != '\0' ? kqs::LpRoot() : "/");
  kqs::Env* env = kqs::CurrentEnv();
  const int fd = env->Open(lp.interfaces, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) {
    LogText(EVENTLOG_ERROR_TYPE, 130, lp.interfaces);
  } else {
    close(fd);
  }
  struct stat st;
  if (env->Stat(lp.lpadmin, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0111) == 0) {
    LogText(EVENTLOG_ERROR_TYPE, 131, lp.lpadmin);
  }
}

}  // namespace

int kqs::SocketFor(const char* method, const char* host, int port, struct sockaddr* address) {
  int family = 0, type = 0, protocol = 0;
  if (PTS_GetSocketInfoByMethod(method, 0, &family, &type, &protocol, nullptr) != 0) return -1;
  if (PTS_FillAddr(host, family, port, address) != 0) return -1;
  return PTS_socket(family, type, protocol);
}

int ServiceBegin() {
  unsigned length = xGetModuleDirectory(nullptr, tInstalldir, sizeof tInstalldir);
  if (length == 0 || length >= sizeof tInstalldir) tInstalldir[0] = '\0';
  char path[255];
  InstallPath("kqsd.cat", path, sizeof path);
  EventLogOpen("KQSManager", "System", "%SystemRoot%\\System32\\kqsd.exe", path);
  EventLogSetLevel(1);

  InstallPath("kqsd.ini", path, sizeof path);
  if (CheckSettingsFile(path) != 0 || LoadServiceOptions(path) != 0) return -1;
  // Asked now: the process id written below makes the file.
  struct stat ini;
  const bool onDefaults = kqs::CurrentEnv()->Stat(path, &ini) != 0;

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

  // The port first: a second daemon that cannot have it must leave the
  // running one's process id in place.
  if (_PTS_startup() == -1) {
    Log(EVENTLOG_ERROR_TYPE, 101);
    return -1;
  }
  listenSocket = OpenListenSocket(kqs::kServicePort);
  if (listenSocket == -1 || OpenDiscovery() != 0) {
    Log(EVENTLOG_ERROR_TYPE, 101);
    return -1;
  }
  char pid[255];
  sprintfnA(pid, sizeof pid, "%d", static_cast<int>(getpid()));
  xWritePrivateProfileStringA("Process Settings", "ProcessID", pid, path);

  if (SwitchToAccount(account) != 0) {
    LogText(EVENTLOG_ERROR_TYPE, 132, std::strerror(errno));
    return -1;
  }
  umask(kFileMask);
  Log(EVENTLOG_INFORMATION_TYPE, 1);
  char settings[512];
  DescribeServiceOptions(settings, sizeof settings);
  LogText(EVENTLOG_INFORMATION_TYPE, 20, settings);
  if (onDefaults) LogText(EVENTLOG_INFORMATION_TYPE, 41, path);
  LogLpService();

  if (JThreadCreate(&DiscoveryHandle, DiscoveryThread, nullptr) != 0) return -1;
  if (JThreadCreate(&ListenHandle, ListenThread, nullptr) != 0) return -1;
  return 0;
}

int CheckSettingsFile(const char* path) {
  char offender[255];
  if (CheckRootOwnedSettings(path, offender, sizeof offender) == 0) return 0;
  LogText(EVENTLOG_ERROR_TYPE, 112, offender);
  return -1;
}

void ServiceEnd() {
  // An LP command still running must not finish after the daemon has gone
  // and overwrite what a later one made.
  kqs::CurrentEnv()->TerminatePrograms();
  WakeSelects();
  xSleep(kSettleMs);

  void* status = nullptr;
  if (DiscoveryHandle != 0) TimeoutJoin(&status, DiscoveryHandle, kJoinMs);
  if (ListenHandle != 0) TimeoutJoin(&status, ListenHandle, kJoinMs);
  // Every connection still served is ended; each thread logs its close.
  kqs::StopServing(kJoinMs);

  DeleteListenSocket();
  if (PTS_cleanup() == -1) Log(EVENTLOG_INFORMATION_TYPE, 102);
  Log(EVENTLOG_INFORMATION_TYPE, 2);
  EventLogClose();
}

void* ListenThread(void*) {
  while (true) {
    std::unique_ptr<kqs::Connection> connection;
    int accepted = ConnectionRequest(&connection);
    // The wake-up connection of shutdown is closed unserved.
    if (ServiceIsShutdown()) {
      if (accepted) {
        connection.reset();
        Log(EVENTLOG_INFORMATION_TYPE, 10);
      }
      return nullptr;
    }
    if (!accepted) {
      xSleep(kAcceptRetryMs);
    } else {
      kqs::StartServing(std::move(connection));
    }
  }
}

int ConnectionRequest(std::unique_ptr<kqs::Connection>* connection) {
  struct sockaddr_storage peer{};
  socklen_t peerLength = sizeof peer;
  int s = PTS_accept(listenSocket, reinterpret_cast<struct sockaddr*>(&peer), &peerLength);
  if (s == -1) {
    Log(EVENTLOG_ERROR_TYPE, 109);
    return 0;
  }
  kqs::GuardSocket(s);
  *connection = std::make_unique<kqs::SocketConnection>(
      s, kqs::PeerText(reinterpret_cast<struct sockaddr*>(&peer), peerLength));
  Log(EVENTLOG_INFORMATION_TYPE, 11);
  return 1;
}

void WakeSelects() {
  const char* host = szListenAddress[0] != '\0' ? szListenAddress : nullptr;
  int udp = PTS_SetupUDPConnectSocket(host, kqs::kServicePort);
  int tcp = ConnectLocal(host, kqs::kServicePort, kWakeConnectMs);
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
