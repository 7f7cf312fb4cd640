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
#include <cstdio>
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
#include "queueadmin/devicecheck.h"
#include "queueadmin/lppaths.h"
#include "service/discovery.h"
#include "service/options.h"
#include "service/session.h"
#include "service/tlsserver.h"
#include "common/tls/certificate.h"

namespace {

using kqs::DaemonState;

// The state ServiceBegin and ServiceEnd work on, set once by
// UseDaemonState before the framework calls either.
DaemonState* g_state = nullptr;

// Room for a burst of consoles while the listen thread admits them.
constexpr int kListenBacklog = 64;
constexpr int kJoinMs = 4000;
// A failing accept is retried after this pause, so a lasting failure (out of
// descriptors, say) does not spin the thread and flood the log.
constexpr int kAcceptRetryMs = 100;
// A detached daemon's new files lose group read and world write permission;
// one in the foreground keeps the mask it was given (the unit's UMask=).
constexpr mode_t kFileMask = 042;

void Log(unsigned short type, unsigned id) { EventLogAddMessage(type, id, 0, nullptr); }

// The module directory, ending in '/', into tInstalldir ("" when it does not
// fit: the files are then looked for in the working directory).
void FindInstallDir(DaemonState* state) {
  const unsigned length = xGetModuleDirectory(nullptr, state->tInstalldir, sizeof state->tInstalldir);
  if (length == 0 || length >= sizeof state->tInstalldir) state->tInstalldir[0] = '\0';
}

// Path of a file beside the program.
void InstallPath(const DaemonState& state, const char* name, char* path, unsigned size) {
  RelStrCpyIntoBufA(path, state.tInstalldir, size);
  MergePath(path, name, size);
}

void LogText(unsigned short type, unsigned id, const char* text) {
  const uintptr_t insertion = reinterpret_cast<uintptr_t>(text);
  EventLogAddMessage(type, id, 1, &insertion);
}

// An error whose text names what failed and why.
void LogFailure(unsigned id, const char* what, const char* why) {
  const uintptr_t insertions[2] = {reinterpret_cast<uintptr_t>(what), reinterpret_cast<uintptr_t>(why)};
  EventLogAddMessage(EVENTLOG_ERROR_TYPE, id, 2, insertions);
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

// The address the TCP listeners bind: ListenAddress (IPv4 or IPv6), or
// every address of both families (an IPv6 socket that also takes IPv4).
socklen_t ListenAddressFor(const char* listenAddress, int port, struct sockaddr_storage* address) {
  std::memset(address, 0, sizeof *address);
  auto* in4 = reinterpret_cast<struct sockaddr_in*>(address);
  auto* in6 = reinterpret_cast<struct sockaddr_in6*>(address);
  if (listenAddress[0] != '\0' && inet_pton(AF_INET, listenAddress, &in4->sin_addr) == 1) {
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof *in4;
  }
  in6->sin6_family = AF_INET6;
  in6->sin6_port = htons(static_cast<uint16_t>(port));
  in6->sin6_addr = in6addr_any;
  if (listenAddress[0] != '\0') inet_pton(AF_INET6, listenAddress, &in6->sin6_addr);
  return sizeof *in6;
}

int BindAndListen(int s, const struct sockaddr_storage& address, socklen_t length) {
  int on = 1, off = 0;
  if (PTS_setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return -1;
  if (address.ss_family == AF_INET6 && PTS_setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) return -1;
  return PTS_bind(s, reinterpret_cast<const struct sockaddr*>(&address), length) == 0 && PTS_listen(s, kListenBacklog) == 0
             ? 0
             : -1;
}

// A TCP listener on the listen address. Address reuse lets a restart bind
// while connections of the previous run linger in TIME_WAIT; a second daemon
// still cannot bind while one listens. On a host without IPv6, every
// address means every IPv4 address.
int OpenListenSocket(const char* listenAddress, int port) {
  struct sockaddr_storage address;
  socklen_t length = ListenAddressFor(listenAddress, port, &address);
  int s = PTS_socket(address.ss_family, SOCK_STREAM, 0);
  if (s == -1 && listenAddress[0] == '\0' && errno == EAFNOSUPPORT) {
    auto* in4 = reinterpret_cast<struct sockaddr_in*>(&address);
    std::memset(&address, 0, sizeof address);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof *in4;
    s = PTS_socket(AF_INET, SOCK_STREAM, 0);
  }
  if (s == -1) return -1;
  if (BindAndListen(s, address, length) != 0) {
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
    LogFailure(130, lp.interfaces, std::strerror(errno));
  } else {
    env->Close(fd);
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
int RecordProcessId(const char* pidFile, const char* iniPath) {
  char pid[32];
  sprintfnA(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
  if (pidFile[0] == '\0') {
    pid[std::strlen(pid) - 1] = '\0';
    xWritePrivateProfileStringA("Process Settings", "ProcessID", pid, iniPath);
    return 0;
  }
  char offender[255], refused[320] = "";
  kqs::Env* env = kqs::CurrentEnv();
  int fd = -1;
  if (CheckRootOwnedSettings(pidFile, offender, sizeof offender) < 0) {
    sprintfnA(refused, sizeof refused, "%s may be changed by an account other than root, or is a link", offender);
  } else {
    fd = env->Open(pidFile, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  }
  FILE* out = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (out == nullptr && fd >= 0) env->Close(fd);
  // The write shows only when the stream is flushed: FClose says whether
  // the number reached the file.
  bool written = out != nullptr && std::fputs(pid, out) >= 0;
  if (out != nullptr && env->FClose(out) != 0) written = false;
  if (!written) LogFailure(145, pidFile, refused[0] != '\0' ? refused : std::strerror(errno));
  return written ? 0 : -1;
}

// The certificate and key of the TLS port: [TLS] Certificate and Key, or
// tls/cert.pem and tls/key.pem beside the settings, made now when missing
// (the directory root's alone, the key root's alone). Returns 0, or -1 after
// error 161 (or 112 for a default path another account could have touched),
// with the reason in error as well.
int CertificatePaths(char* cert, char* key, unsigned size, char* error, unsigned errorSize, const DaemonState& state) {
  if (state.settings.tlsCertificate[0] != '\0') {
    RelStrCpyIntoBufA(cert, state.settings.tlsCertificate, size);
    RelStrCpyIntoBufA(key, state.settings.tlsKey, size);
    return 0;
  }
  char dir[255];
  InstallPath(state, "tls", dir, sizeof dir);
  InstallPath(state, "tls/cert.pem", cert, size);
  InstallPath(state, "tls/key.pem", key, size);
  kqs::CurrentEnv()->Mkdir(dir, 0700);
  for (const char* path : {key, cert}) {
    if (CheckRootOwnedSettings(path, error, errorSize) < 0) {
      LogText(EVENTLOG_ERROR_TYPE, 112, error);
      return -1;
    }
  }
  char host[256] = "localhost";
  gethostname(host, sizeof host - 1);
  const int made = kqs::TlsMakeSelfSigned(cert, key, host, error, errorSize);
  if (made < 0) {
    LogText(EVENTLOG_ERROR_TYPE, 161, error);
    return -1;
  }
  if (made == 1) LogText(EVENTLOG_INFORMATION_TYPE, 50, cert);
  return 0;
}

// Reads the certificate and key into the TLS context: still as root, so the
// key need not be readable by the account the daemon runs as. Returns 0, or
// -1 after error 161 or 112.
int PrepareTls(const DaemonState& state) {
  char cert[255], key[255], error[512];
  if (CertificatePaths(cert, key, sizeof cert, error, sizeof error, state) != 0) return -1;
  if (kqs::TlsServerOpen(cert, key, state.settings.tlsClientCA, error, sizeof error) != 0) {
    LogText(EVENTLOG_ERROR_TYPE, 161, error);
    return -1;
  }
  return 0;
}

}  // namespace

void kqs::LogSocketFailure(unsigned id, const char* protocol, int port, const char* address, int error) {
  char where[128];
  sprintfnA(where, sizeof where, "%s %d on %s", protocol, port, address[0] != '\0' ? address : "every address");
  LogFailure(id, where, error != 0 ? std::strerror(error) : "the address cannot be used on this host");
}

int kqs::SocketFor(const char* method, const char* host, int port, struct sockaddr* address) {
  int family = 0, type = 0, protocol = 0;
  if (PTS_GetSocketInfoByMethod(method, 0, &family, &type, &protocol, nullptr) != 0) return -1;
  if (PTS_FillAddr(host, family, port, address) != 0) return -1;
  return PTS_socket(family, type, protocol);
}

void UseDaemonState(DaemonState* state) { g_state = state; }

int ServiceBegin() {
  DaemonState& state = *g_state;
  const kqs::ServiceSettings& settings = state.settings;
  FindInstallDir(&state);
  char path[255];
  InstallPath(state, "kqsd.cat", path, sizeof path);
  EventLogOpen("KQSManager", "System", "%SystemRoot%\\System32\\kqsd.exe", path);
  EventLogSetLevel(1);

  InstallPath(state, "kqsd.ini", path, sizeof path);
  // Failures of the configuration (settings, LP root, account) end with a
  // status the unit does not restart on: only a change by someone mends them.
  if (CheckSettingsFile(path) != 0 || LoadServiceOptions(&state.settings, path) != 0) return kServiceBadConfiguration;
  struct stat ini;
  const bool onDefaults = kqs::CurrentEnv()->Stat(path, &ini) != 0;

  // Every LP path must resolve under the configured root before the first
  // request; a root that is refused must not fall back to the host's own LP.
  if (kqs::LoadLpRoot() != 0) {
    Log(EVENTLOG_ERROR_TYPE, 191);
    return kServiceBadConfiguration;
  }
  if (kqs::SetDeviceDirs(settings.deviceDirs) != 0) {
    LogText(EVENTLOG_ERROR_TYPE, 146, settings.deviceDirs);
    return kServiceBadConfiguration;
  }

  // Without the account the daemon would switch to the zeroed record's
  // user 0 and run on as root: refuse to start instead.
  struct passwd account;
  std::array<char, 1024> work;
  if (xGetpwnam(settings.serviceUser, &account, work.data(), static_cast<int>(work.size())) == nullptr) {
    LogText(EVENTLOG_ERROR_TYPE, 192, settings.serviceUser);
    return kServiceBadConfiguration;
  }
  lpid = account.pw_uid;

  // The port first: a second daemon that cannot have it must leave the
  // running one's process id in place.
  if (_PTS_startup() == -1) {
    Log(EVENTLOG_ERROR_TYPE, 101);
    return -1;
  }
  if (settings.tlsPort != 0 && PrepareTls(state) != 0) return -1;
  errno = 0;
  if (settings.plainPort &&
      (state.listenSocket = OpenListenSocket(settings.listenAddress, kqs::kServicePort)) == -1) {
    kqs::LogSocketFailure(116, "TCP", kqs::kServicePort, settings.listenAddress, errno);
    Log(EVENTLOG_ERROR_TYPE, 101);
    return -1;
  }
  if (OpenDiscovery(&state) != 0) return -1;
  errno = 0;
  if (settings.tlsPort != 0 &&
      (state.tlsListenSocket = OpenListenSocket(settings.listenAddress, settings.tlsPort)) == -1) {
    kqs::LogSocketFailure(162, "TCP", settings.tlsPort, settings.listenAddress, errno);
    return -1;
  }
  if (RecordProcessId(settings.pidFile, path) != 0) return -1;
  char stored[256] = "";
  xGetPrivateProfileStringA("ACCESS", "Passwd", "", stored, sizeof stored, path);

  if (SwitchToAccount(account) != 0) {
    LogText(EVENTLOG_ERROR_TYPE, 132, std::strerror(errno));
    return -1;
  }
  if (ServiceCanRegainRoot()) {
    LogText(EVENTLOG_ERROR_TYPE, 115, settings.serviceUser);
    return -1;
  }
  if (ServiceIsDetached()) umask(kFileMask);
  Log(EVENTLOG_INFORMATION_TYPE, 1);
  char described[512];
  DescribeServiceOptions(described, sizeof described, &settings);
  LogText(EVENTLOG_INFORMATION_TYPE, 20, described);
  if (onDefaults) LogText(EVENTLOG_INFORMATION_TYPE, 41, path);
  if (settings.enforceAccess && stored[0] == '\0') LogText(EVENTLOG_WARNING_TYPE, 220, path);
  if (settings.tlsPort != 0) LogText(EVENTLOG_INFORMATION_TYPE, 51, kqs::TlsServerFingerprint());
  LogLpService();

  if (JThreadCreate(&state.DiscoveryHandle, DiscoveryThread, &state) != 0) return -1;
  if (JThreadCreate(&state.ListenHandle, ListenThread, &state) != 0) return -1;
  return 0;
}

int TlsCertificateFingerprint(char* out, unsigned size, char* error, unsigned errorSize, DaemonState* state) {
  FindInstallDir(state);
  char path[255], cert[255], key[255];
  InstallPath(*state, "kqsd.ini", path, sizeof path);
  if (LoadServiceOptions(&state->settings, path) != 0) {
    sprintfnA(error, errorSize, "%s holds an invalid setting (start kqsd -f to see which)", path);
    return -1;
  }
  if (CertificatePaths(cert, key, sizeof cert, error, errorSize, *state) != 0) return -1;
  return kqs::TlsFileFingerprint(cert, out, size, error, errorSize);
}

int CheckSettingsFile(const char* path) {
  char offender[255];
  const int verdict = CheckRootOwnedSettings(path, offender, sizeof offender);
  if (verdict < 0) {
    LogText(EVENTLOG_ERROR_TYPE, verdict == kSettingsMissing ? 190 : 112, offender);
    return -1;
  }
  const unsigned id = CheckSettingsText(path, offender, sizeof offender);
  if (id != 0) LogText(EVENTLOG_ERROR_TYPE, id, offender);
  return id == 0 ? 0 : -1;
}

void ServiceEnd() {
  // An LP command still running must not finish after the daemon has gone
  // and overwrite what a later one made.
  DaemonState& state = *g_state;
  kqs::CurrentEnv()->TerminatePrograms();
  WakeSelects(&state);

  void* status = nullptr;
  if (state.DiscoveryHandle != 0) TimeoutJoin(&status, state.DiscoveryHandle, kJoinMs);
  if (state.ListenHandle != 0) TimeoutJoin(&status, state.ListenHandle, kJoinMs);
  // Every connection still served is ended; each thread logs its close.
  kqs::StopServing(kJoinMs);

  DeleteListenSocket(&state);
  if (PTS_cleanup() == -1) Log(EVENTLOG_INFORMATION_TYPE, 102);
  Log(EVENTLOG_INFORMATION_TYPE, 2);
  EventLogClose();
}

void* ListenThread(void* arg) {
  const DaemonState* state = static_cast<const DaemonState*>(arg);
  while (true) {
    std::unique_ptr<kqs::Connection> connection;
    int accepted = ConnectionRequest(&connection, state);
    // A connection accepted as shutdown began is closed unserved.
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
      kqs::StartServing(std::move(connection), &state->settings);
    }
  }
}

namespace {

// The listener that is ready for an accept: the plain or the TLS one, -1
// when neither is (a failed wait).
int ReadyListener(const DaemonState& state) {
  const int plain = state.listenSocket.load(), tls = state.tlsListenSocket.load();
  fd_set readable;
  PTS_FD_ZERO(&readable);
  int top = -1;
  for (int s : {plain, tls}) {
    if (s < 0 || s >= FD_SETSIZE) continue;
    PTS_FD_SET(s, &readable);
    if (s > top) top = s;
  }
  if (top < 0 || PTS_select(top + 1, &readable, nullptr, nullptr, nullptr) <= 0) return -1;
  return plain >= 0 && PTS_FD_ISSET(plain, &readable) ? plain : tls;
}

}  // namespace

int ConnectionRequest(std::unique_ptr<kqs::Connection>* connection, const DaemonState* state) {
  struct sockaddr_storage peer{};
  socklen_t peerLength = sizeof peer;
  const int listener = ReadyListener(*state);
  int s = listener == -1 ? -1 : PTS_accept(listener, reinterpret_cast<struct sockaddr*>(&peer), &peerLength);
  if (s == -1) {
    // Shutdown ends the accept: that is no failure.
    if (!ServiceIsShutdown()) Log(EVENTLOG_ERROR_TYPE, 109);
    return 0;
  }
  kqs::GuardSocket(s, state->settings.keepAliveSeconds, state->settings.sendTimeoutMs);
  std::string address = kqs::PeerText(reinterpret_cast<struct sockaddr*>(&peer), peerLength);
  // The handshake runs on the connection's own thread, within RequestTimeout.
  if (listener == state->tlsListenSocket.load()) {
    *connection = std::make_unique<kqs::TlsConnection>(s, std::move(address));
  } else {
    *connection = std::make_unique<kqs::SocketConnection>(s, std::move(address));
  }
  Log(EVENTLOG_INFORMATION_TYPE, 11);
  return 1;
}

void WakeSelects(const DaemonState* state) {
  // Shutting down the receiving side ends a blocked accept or a select on a
  // listener (which then listens no more) and wakes a select on the discovery
  // socket, whose receive then reads nothing. No connection to itself, so no
  // event for one.
  for (const int s : {state->listenSocket.load(), state->tlsListenSocket.load(), state->UDPSocket.load()}) {
    if (s != -1) PTS_shutdown(s, SHUT_RD);
  }
}

void DeleteListenSocket(DaemonState* state) {
  Log(EVENTLOG_INFORMATION_TYPE, 13);
  int s = state->listenSocket.exchange(-1);
  int tls = state->tlsListenSocket.exchange(-1);
  const bool closed = (s == -1 || PTS_closesocket(s) == 0) && (tls == -1 || PTS_closesocket(tls) == 0);
  if (!closed) {
    Log(EVENTLOG_ERROR_TYPE, 108);
  } else {
    Log(EVENTLOG_INFORMATION_TYPE, 12);
  }
}
