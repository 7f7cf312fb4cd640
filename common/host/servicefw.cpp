// Service framework on UNIX: detaching, the start thread, the SIGTERM wait and
// the orderly stop. The program's own start and stop routines are installed
// with ServiceSetRoutines, so this library does not depend on the daemon.
#include "common/host/servicefw.h"

#include <linux/close_range.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/host/eventlog.h"
#include "common/host/sysinfo.h"
#include "common/util/pathutil.h"
#include "common/util/strbuf.h"
#include "jthread/jthread.h"

namespace {

// The names ServiceStartBackground or ServiceRunForeground recorded, for the
// log calls: empty until then, read-only after.
char gszServiceName[1024];
char gszServiceDisplayName[1024];
char gszServiceExeName[1024];  // module directory + argv[0]'s file name
char gszServiceCatName[1024];  // gszServiceExeName + ".cat"
// The shutdown flag: 0 until SIGTERM, then 1 for good.
std::atomic<int> bShutdown{0};
// 1 while the stop-time progress thread is to keep running.
std::atomic<int> keepProdding{1};
// Exists while ServiceStart runs; ServiceStop raises it.
JThreadSemHandle jsWait = nullptr;

ServiceBeginRoutine g_begin = nullptr;
ServiceEndRoutine g_end = nullptr;
// In the foreground, Ctrl-C at the terminal stops the service too.
bool g_stopOnInterrupt = false;
bool g_detached = false;

constexpr int kProdStepMs = 500;
constexpr int kProdJoinMs = 2000;
// Wakes the progress thread when keepProdding is cleared.
std::mutex g_prodMutex;
std::condition_variable g_prodChanged;

// The start thread hands ServiceBegin's result back through its exit status.
void* BeginThread(void*) {
  return reinterpret_cast<void*>(static_cast<intptr_t>(g_begin()));
}

// Module directory joined with argv[0]'s file name (without its extension).
void BuildExeName(const char* argv0, char* out, unsigned size) {
  char path[255] = "";
  xGetModuleDirectoryA(nullptr, path, sizeof path);
  PathComponents parts;
  xSplitPathA(argv0 != nullptr ? argv0 : "", &parts);
  MergePathA(path, parts.fname, sizeof path);
  RelStrCpyIntoBufA(out, path, size);
}

// Forks; the parent leaves with status 0, a failed fork with status 1.
void ForkAndLeaveParent() {
  pid_t pid = fork();
  if (pid < 0) _exit(1);
  if (pid > 0) _exit(0);
}

// A stream that cannot be reopened stays as it was; the daemon runs on.
void ReopenOnDevNull(FILE* stream) {
  if (std::freopen("/dev/null", "a", stream) == nullptr) return;
}

// The names, the program's path and its catalog's path, for the log calls.
void RecordNames(char** argv, const char* serviceName, const char* displayName) {
  RelStrCpyIntoBufA(gszServiceName, serviceName != nullptr ? serviceName : "",
                    sizeof gszServiceName);
  RelStrCpyIntoBufA(gszServiceDisplayName, displayName != nullptr ? displayName : "",
                    sizeof gszServiceDisplayName);
  const char* argv0 = argv != nullptr ? argv[0] : nullptr;
  char path[255];
  BuildExeName(argv0, path, sizeof path);
  RelStrCpyIntoBufA(gszServiceExeName, path, sizeof gszServiceExeName);
  gszServiceExeName[sizeof gszServiceExeName - 1] = '\0';
  RelStrCatIntoBufA(path, ".cat", sizeof path);
  RelStrCpyIntoBufA(gszServiceCatName, path, sizeof gszServiceCatName);
  gszServiceCatName[sizeof gszServiceCatName - 1] = '\0';
}

// Entries still queued for syslog (the reason a start failed, say) get their
// moment before the process goes. A listener thread that outlived its join
// limit may still be running: leave without static destructors pulling state
// from under it.
[[noreturn]] void Leave(int status) {
  EventLogClose();
  std::fflush(nullptr);
  _exit(status);
}

}  // namespace

void ServiceSetRoutines(ServiceBeginRoutine begin, ServiceEndRoutine end) {
  g_begin = begin;
  g_end = end;
}

void ServiceStartBackground(int /*argc*/, char** argv, const char* serviceName,
                            const char* displayName, const char* /*dependencies*/) {
  RecordNames(argv, serviceName, displayName);
  ForkAndLeaveParent();
  // A new session: the process group leader of its own group, detached from
  // the controlling terminal.
  if (setsid() < 0) _exit(1);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  // The second fork leaves a process that is no session leader and so can
  // never acquire a terminal again.
  ForkAndLeaveParent();

  ReopenOnDevNull(stdout);
  ReopenOnDevNull(stderr);
  ReopenOnDevNull(stdin);
  errno = 0;
  umask(022);
  g_detached = true;

  ServiceStart();
  Leave(0);
}

void ServiceRunForeground(char** argv, const char* serviceName, const char* displayName) {
  RecordNames(argv, serviceName, displayName);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  g_stopOnInterrupt = true;
  const int result = ServiceStart();
  Leave(result == 0 ? 0 : result == kServiceBadConfiguration ? kExitBadConfiguration : 1);
}

int ServiceStart() {
  // Descriptors the daemon was started with (a terminal's, a supervisor's)
  // pass to none of the programs it runs, whatever opens them later.
  syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
  // SIGTERM is blocked before the first thread exists, so every thread
  // inherits the mask and the signal stays pending for sigwait below instead
  // of ending the process in whichever thread the kernel picks.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  if (g_stopOnInterrupt) sigaddset(&term, SIGINT);
  pthread_sigmask(SIG_BLOCK, &term, nullptr);

  if (g_begin == nullptr || g_end == nullptr) return -1;
  if (JThreadSemCreate(&jsWait, 0) != 0) return -1;

  JThread begin = 0;
  if (JThreadCreateEx(&begin, BeginThread, nullptr) != 0) return -1;
  void* status = nullptr;
  if (JThreadJoin(&status, begin) != 0) _exit(-1);

  const int begun = static_cast<int>(reinterpret_cast<intptr_t>(status));
  const bool started = begun == 0;
  if (started) {
    ServiceNotify("READY=1");
    int sig = 0;
    while (sigwait(&term, &sig) != 0) {
    }
    ServiceNotify("STOPPING=1");
    ServiceSetShutdown();
    JThread prod = 0;
    bool prodding = JThreadCreate(&prod, ServiceProdSCM, nullptr) == 0;
    g_end();
    {
      std::lock_guard<std::mutex> lock(g_prodMutex);
      keepProdding = 0;
    }
    g_prodChanged.notify_all();
    void* ignored = nullptr;
    if (prodding) TimeoutJoin(&ignored, prod, kProdJoinMs);
  }

  JThreadSemDelete(jsWait);
  jsWait = nullptr;
  return started ? 0 : begun == kServiceBadConfiguration ? kServiceBadConfiguration : -1;
}

int ServiceCanRegainRoot() {
  if (getuid() == 0 || geteuid() == 0) return 1;
  if (setuid(0) == 0 || seteuid(0) == 0) return 1;
  if (getgid() != 0 && (setgid(0) == 0 || setegid(0) == 0)) return 1;
  return 0;
}

void ServiceNotify(const char* state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  struct sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = name != nullptr ? std::strlen(name) : 0;
  if (length < 2 || length >= sizeof address.sun_path || (name[0] != '/' && name[0] != '@')) return;
  std::memcpy(address.sun_path, name, length);
  if (name[0] == '@') address.sun_path[0] = '\0';  // abstract: no file, no permissions
  const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return;
  sendto(s, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&address),
         static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length));
  close(s);
}

int ServiceIsDetached() { return g_detached ? 1 : 0; }

void ServiceSetShutdown() { bShutdown = 1; }

int ServiceIsShutdown() { return bShutdown; }

void ServiceStop() {
  if (jsWait != nullptr) JThreadSemUp(jsWait);
}

void* ServiceProdSCM(void*) {
  std::unique_lock<std::mutex> lock(g_prodMutex);
  while (keepProdding != 0) g_prodChanged.wait_for(lock, std::chrono::milliseconds(kProdStepMs));
  return nullptr;
}

void ServiceBreak() {}

void ServiceKill() { _exit(-1); }

namespace {

void LogWithInsertions(unsigned short type, unsigned id, unsigned short count,
                       const uintptr_t* insertions) {
  EventLogOpen(gszServiceName, "System", gszServiceExeName, gszServiceCatName);
  EventLogSetLevel(type);
  EventLogAddMessage(type, id, count, insertions);
  EventLogClose();
}

}  // namespace

void ServiceLog(unsigned short type, unsigned id) { LogWithInsertions(type, id, 0, nullptr); }

void ServiceLog1(unsigned short type, unsigned id, uintptr_t insertion) {
  LogWithInsertions(type, id, 1, &insertion);
}

void ServiceLogExit(unsigned id) {
  ServiceLog(EVENTLOG_ERROR_TYPE, id);
  ServiceKill();
}
