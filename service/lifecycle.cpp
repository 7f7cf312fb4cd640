// Start-up, shutdown and the listen thread of the daemon. Start-up keeps the
// part that runs as root short: the event log, the settings and the LP root
// are settled and the listener is bound, the process id is written (a root
// write, so only into a file and directory that root alone may change), then
// the process switches to lp.
#include "service/lifecycle.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/config/profile.h"
#include "common/config/settingsguard.h"
#include "common/util/byteorder.h"
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
#include "protocol/packet.h"
#include "pts/ptscore.h"
#include "queueadmin/devicecheck.h"
#include "queueadmin/lppaths.h"
#include "service/discovery.h"
#include "service/options.h"
#include "service/request.h"

std::atomic<int> listenSocket{-1};
JThread DiscoveryHandle = 0;
JThread ListenHandle = 0;
char tInstalldir[255];

namespace {

constexpr uint32_t kReceiveSize = 32768;
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

// The process id, written as root: into the pid file when there is one (the
// installed unit's /run/kqsd/kqsd.pid), kqsd.ini then left untouched; else
// as ProcessID into kqsd.ini, whose path start-up found to be root's alone.
// The pid file is replaced only where root alone could have put it, and
// never through a link. Returns 0, or -1 after error 145 naming the file.
int RecordProcessId(const char* iniPath) {
  char pid[32];
  sprintfnA(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
  if (szPidFile[0] == '\0') {
    pid[std::strlen(pid) - 1] = '\0';
    xWritePrivateProfileStringA("Process Settings", "ProcessID", pid, iniPath);
    return 0;
  }
  char offender[255];
  int fd = -1;
  if (CheckRootOwnedSettings(szPidFile, offender, sizeof offender) >= 0) {
    fd = kqs::CurrentEnv()->Open(szPidFile, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  }
  const bool written = fd >= 0 && write(fd, pid, std::strlen(pid)) == static_cast<ssize_t>(std::strlen(pid));
  if (fd >= 0) close(fd);
  if (!written) LogText(EVENTLOG_ERROR_TYPE, 145, szPidFile);
  return written ? 0 : -1;
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
  struct stat ini;
  const bool onDefaults = kqs::CurrentEnv()->Stat(path, &ini) != 0;
  if (CheckSettingsFile(path) != 0 || LoadServiceOptions(path) != 0) return -1;

  // Every LP path must resolve under the configured root before the first
  // request; a root that is refused must not fall back to the host's own LP.
  if (kqs::LoadLpRoot() != 0) {
    Log(EVENTLOG_ERROR_TYPE, 101);
    return -1;
  }
  if (kqs::LoadDeviceDirs() != 0) {
    char dirs[512] = "";
    xGetPrivateProfileStringA("LP Service", "DeviceDirs", "", dirs, sizeof dirs, path);
    LogText(EVENTLOG_ERROR_TYPE, 146, dirs);
    return -1;
  }

  // Without the account the daemon would switch to the zeroed record's
  // user 0 and run on as root: refuse to start instead.
  struct passwd account;
  std::array<char, 1024> work;
  if (xGetpwnam(szServiceUser, &account, work.data(), static_cast<int>(work.size())) == nullptr) {
    LogText(EVENTLOG_ERROR_TYPE, 144, szServiceUser);
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
  if (RecordProcessId(path) != 0) return -1;
  char stored[256] = "";
  xGetPrivateProfileStringA("ACCESS", "Passwd", "", stored, sizeof stored, path);

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
  if (bEnforceAccess && stored[0] == '\0') LogText(EVENTLOG_WARNING_TYPE, 220, path);
  LogLpService();

  if (JThreadCreate(&DiscoveryHandle, DiscoveryThread, nullptr) != 0) return -1;
  if (JThreadCreate(&ListenHandle, ListenThread, nullptr) != 0) return -1;
  return 0;
}

int CheckSettingsFile(const char* path) {
  char offender[255];
  const int verdict = CheckRootOwnedSettings(path, offender, sizeof offender);
  if (verdict < 0) {
    LogText(EVENTLOG_ERROR_TYPE, verdict == kSettingsMissing ? 143 : 112, offender);
    return -1;
  }
  const unsigned id = CheckSettingsText(path, offender, sizeof offender);
  if (id != 0) LogText(EVENTLOG_ERROR_TYPE, id, offender);
  return id == 0 ? 0 : -1;
}

void ServiceEnd() {
  // An LP command still running must not finish after the daemon has gone
  // and overwrite what a later one made.
  kqs::CurrentEnv()->TerminatePrograms();
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

namespace {

using Clock = std::chrono::steady_clock;

// A connection may not hold the one management slot against other consoles:
// a send that is not taken in time fails, and a console that vanished (host
// gone, cable pulled) is found by keepalive probes. TCP_USER_TIMEOUT ends the
// connection when sent data stays unacknowledged, or the console's window
// stays shut, for the send limit: a response the daemon's buffer took whole
// is still one the console must take. Options that cannot be set leave the
// connection as it is.
void GuardConnectionOptions(int s) {
  const int on = 1;
  const int idle = nKeepAliveSeconds;
  const int interval = idle / 3 > 0 ? idle / 3 : 1;
  const int probes = 3;
  const unsigned userTimeoutMs = nSendTimeoutMs;
  struct timeval sendLimit{static_cast<time_t>(nSendTimeoutMs / 1000),
                           static_cast<suseconds_t>((nSendTimeoutMs % 1000) * 1000)};
  PTS_setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  PTS_setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  PTS_setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  PTS_setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  PTS_setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
  PTS_setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
}

// Why a served connection ends.
enum class End {
  kGoing,
  kClosedByConsole,
  kShutdown,
  kIdle,
  kSlowRequest,
  kNotARequest,
  kNotTaken,
  kLost,
  kFailed,
  kRefused
};

// The request bytes received so far on the connection, with the time the
// first of them came.
struct Pending {
  uint32_t have = 0;
  Clock::time_point firstByte;
};

// How long to wait for the next bytes: the rest of the request deadline
// while a request is incomplete, else the rest of the idle limit (measured
// from the last answered request), else without limit (-1). Zero when the
// limit has passed.
long WaitMs(const Pending& pending, Clock::time_point lastAnswer) {
  Clock::time_point end;
  if (pending.have > 0) {
    end = pending.firstByte + std::chrono::milliseconds(nRequestTimeoutMs);
  } else if (nIdleTimeoutMs > 0) {
    end = lastAnswer + std::chrono::milliseconds(nIdleTimeoutMs);
  } else {
    return -1;
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left > 0 ? static_cast<long>(left) : 0;
}

// Answers every whole request at the front of the buffer, in order, and
// keeps the start of an incomplete one. A request's length comes from its
// header; a length no request can have means the stream cannot be followed.
End HandleRequests(char* buffer, Pending* pending, Clock::time_point* lastAnswer) {
  uint32_t at = 0;
  End end = End::kGoing;
  while (end == End::kGoing && pending->have - at >= 4) {
    const uint32_t length = kqs::LoadBE32(reinterpret_cast<const unsigned char*>(buffer + at));
    if (length < KQS_MIN_REQUEST_SIZE || length > kReceiveSize) return End::kNotARequest;
    if (pending->have - at < length) break;
    // A malformed request gets no answer and does not count as activity.
    if (PSRequest(buffer + at, length) == KQS_SUCCESS) *lastAnswer = Clock::now();
    if (kqs::ConnectionMustClose()) end = End::kRefused;
    at += length;
  }
  if (at > 0) {
    std::memmove(buffer, buffer + at, pending->have - at);
    pending->have -= at;
    // The next request's bytes are already here: its deadline starts now.
    pending->firstByte = Clock::now();
  }
  return end;
}

// Waits for and receives the next bytes into the buffer.
End Receive(char* buffer, Pending* pending, Clock::time_point lastAnswer) {
  kqs::ClientUse use;
  int s = use.socket();
  // Gone (closed by shutdown), or beyond what a descriptor set can hold.
  if (s == -1 || s >= FD_SETSIZE) return End::kShutdown;
  const long waitMs = WaitMs(*pending, lastAnswer);
  if (waitMs == 0) return pending->have > 0 ? End::kSlowRequest : End::kIdle;
  struct timeval limit{waitMs / 1000, static_cast<suseconds_t>((waitMs % 1000) * 1000)};
  fd_set readable;
  PTS_FD_ZERO(&readable);
  PTS_FD_SET(s, &readable);
  int ready = PTS_select(s + 1, &readable, nullptr, nullptr, waitMs < 0 ? nullptr : &limit);
  if (ServiceIsShutdown()) return End::kShutdown;
  if (ready == 0) return End::kGoing;
  if (ready == -1) {
    // Wait again, but without spinning on a lasting failure.
    xSleep(kAcceptRetryMs);
    return End::kGoing;
  }
  int received = PTS_recv(s, buffer + pending->have, static_cast<int>(kReceiveSize - pending->have), 0);
  if (received == 0) return End::kClosedByConsole;
  if (received < 0) {
    const int error = errno;
    // Timed out with answers still queued: the console stopped taking them.
    int queued = 0;
    if (error == ETIMEDOUT && PTS_ioctlsocket(s, SIOCOUTQ, &queued) == 0 && queued > 0) return End::kNotTaken;
    return error == ETIMEDOUT || error == ECONNRESET || error == EHOSTUNREACH || error == ENETUNREACH
               ? End::kLost
               : End::kFailed;
  }
  if (pending->have == 0) pending->firstByte = Clock::now();
  pending->have += static_cast<uint32_t>(received);
  Log(EVENTLOG_INFORMATION_TYPE, 8);
  return End::kGoing;
}

// The event that names the console when the daemon ends its connection.
void LogEnd(End end) {
  struct Reason {
    End end;
    unsigned short type;
    unsigned id;
  };
  static constexpr Reason kReasons[] = {
      {End::kIdle, EVENTLOG_WARNING_TYPE, 202},        {End::kSlowRequest, EVENTLOG_WARNING_TYPE, 203},
      {End::kNotTaken, EVENTLOG_WARNING_TYPE, 204},    {End::kLost, EVENTLOG_WARNING_TYPE, 205},
      {End::kNotARequest, EVENTLOG_WARNING_TYPE, 206},
  };
  if (end == End::kFailed) Log(EVENTLOG_ERROR_TYPE, 110);
  for (const Reason& r : kReasons) {
    if (r.end == end) LogText(r.type, r.id, kqs::ClientPeer());
  }
}

bool ConsoleAllowed() {
  struct sockaddr_in peer{};
  inet_pton(AF_INET, kqs::ClientPeer(), &peer.sin_addr);
  return PeerAllowed(peer.sin_addr.s_addr);
}

}  // namespace

void* ListenThread(void*) {
  while (true) {
    int accepted = ConnectionRequest();
    // A connection accepted now is left for ServiceEnd to close.
    if (ServiceIsShutdown()) return nullptr;
    if (!accepted) {
      xSleep(kAcceptRetryMs);
    } else if (!ConsoleAllowed()) {
      LogText(EVENTLOG_WARNING_TYPE, 209, kqs::ClientPeer());
      kqs::ClientClose();
      Log(EVENTLOG_INFORMATION_TYPE, 10);
    } else {
      ProcessData();
    }
  }
}

int ConnectionRequest() {
  struct sockaddr_in peer{};
  socklen_t peerLength = sizeof peer;
  int s = PTS_accept(listenSocket, reinterpret_cast<struct sockaddr*>(&peer), &peerLength);
  if (s == -1) {
    Log(EVENTLOG_ERROR_TYPE, 109);
    return 0;
  }
  kqs::SetClientPeer(peer);
  GuardConnectionOptions(s);
  clientSocket = s;
  Log(EVENTLOG_INFORMATION_TYPE, 11);
  return 1;
}

void ProcessData() {
  std::unique_ptr<char, FreeDeleter> buffer(static_cast<char*>(std::malloc(kReceiveSize)));
  kqs::ResetConnectionAccess();
  // Times are taken on the monotonic clock: a step of the wall clock must
  // neither close a busy console nor keep a silent one.
  Clock::time_point lastAnswer = Clock::now();
  Pending pending;
  // Without a buffer the connection is closed at once rather than served.
  End end = buffer != nullptr ? End::kGoing : End::kFailed;
  while (end == End::kGoing && !ServiceIsShutdown()) {
    end = Receive(buffer.get(), &pending, lastAnswer);
    if (end == End::kGoing) end = HandleRequests(buffer.get(), &pending, &lastAnswer);
  }
  LogEnd(end);
  kqs::ClientClose();
  Log(EVENTLOG_INFORMATION_TYPE, 10);
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
