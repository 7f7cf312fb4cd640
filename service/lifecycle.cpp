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
constexpr int kJoinMs = 4000;
// A failing accept is retried after this pause, so a lasting failure (out of
// descriptors, say) does not spin the thread and flood the log.
constexpr int kAcceptRetryMs = 100;
// A detached daemon's new files lose group read and world write permission;
// one in the foreground keeps the mask it was given (the unit's UMask=).
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
  // Failures of the configuration (settings, LP root, account) end with a
  // status the unit does not restart on: only a change by someone mends them.
  if (CheckSettingsFile(path) != 0 || LoadServiceOptions(path) != 0) return kServiceBadConfiguration;
  // Asked now: the process id written below makes the file.
  struct stat ini;
  const bool onDefaults = kqs::CurrentEnv()->Stat(path, &ini) != 0;

  // Every LP path must resolve under the configured root before the first
  // request; a root that is refused must not fall back to the host's own LP.
  if (kqs::LoadLpRoot() != 0) {
    Log(EVENTLOG_ERROR_TYPE, 191);
    return kServiceBadConfiguration;
  }

  // Without the account lp the daemon would switch to the zeroed record's
  // user 0 and run on as root: refuse to start instead.
  struct passwd account;
  std::array<char, 1024> work;
  if (xGetpwnam("lp", &account, work.data(), static_cast<int>(work.size())) == nullptr) {
    LogText(EVENTLOG_ERROR_TYPE, 192, "lp");
    return kServiceBadConfiguration;
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
  if (ServiceIsDetached()) umask(kFileMask);
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
  LogText(EVENTLOG_ERROR_TYPE, SettingsFileMissing(offender) ? 190 : 112, offender);
  return -1;
}

bool SettingsFileMissing(const char* offender) {
  struct stat st;
  return kqs::CurrentEnv()->Lstat(offender, &st) != 0 && errno == ENOENT;
}

void ServiceEnd() {
  // An LP command still running must not finish after the daemon has gone
  // and overwrite what a later one made.
  kqs::CurrentEnv()->TerminatePrograms();
  // The served connection ends its wait at once and closes itself.
  WakeSelects();

  void* status = nullptr;
  if (DiscoveryHandle != 0) TimeoutJoin(&status, DiscoveryHandle, kJoinMs);
  if (ListenHandle != 0) TimeoutJoin(&status, ListenHandle, kJoinMs);
  // A connection accepted as the shutdown began was left unserved.
  if (kqs::ClientClose() == 0) Log(EVENTLOG_INFORMATION_TYPE, 10);

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
    // Shutdown ends the accept: that is no failure.
    if (!ServiceIsShutdown()) Log(EVENTLOG_ERROR_TYPE, 109);
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
  // Shutting down the receiving side ends a blocked accept (the listener
  // stops listening) and wakes a select on the discovery socket, whose
  // receive then reads nothing; the served connection is shut down both
  // ways. No connection to itself, so no event for one.
  const int listener = listenSocket;
  if (listener != -1) PTS_shutdown(listener, SHUT_RD);
  if (UDPSocket != -1) PTS_shutdown(UDPSocket, SHUT_RD);
  kqs::ClientInterrupt();
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
