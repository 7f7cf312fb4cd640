// lpif: the CUPS backend for queues whose device URI is lpif:// and the path
// of a System V interface program. It runs that program on the job as the LP
// service would and turns its exit status into a CUPS backend status.
#include <cups/backend.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/host/mtsafe.h"
#include "lpdeliver/spool.h"
#include "lpif/interface.h"

namespace {

constexpr char kServiceAccount[] = "kqsd";
constexpr char kDiscovery[] = "direct lpif \"Unknown\" \"LP interface program\"\n";

// The interface program's process group while it runs: a cancelled job
// (SIGTERM from CUPS) stops the program and whatever it started.
volatile sig_atomic_t g_child = 0;
volatile sig_atomic_t g_stop_signal = 0;

void PassOnStop(int sig) {
  g_stop_signal = sig;
  if (g_child > 0) kill(-g_child, sig);
}

// An account's ids; false when there is no such account.
bool LookUp(const char* name, uid_t* uid, gid_t* gid) {
  struct passwd pw;
  char buf[1024];
  if (xGetpwnam(name, &pw, buf, sizeof buf) == nullptr) return false;
  *uid = pw.pw_uid;
  *gid = pw.pw_gid;
  return true;
}

// Runs the program with the interface arguments and waits for it. Returns
// its exit status, or -1 when it could not be run or was killed.
int RunInterface(const std::string& program, const char* const args[6]) {
  struct sigaction sa {};
  sa.sa_handler = PassOnStop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    const char* argv[] = {program.c_str(), args[0], args[1], args[2], args[3], args[4], args[5], nullptr};
    execv(program.c_str(), const_cast<char* const*>(argv));
    std::fprintf(stderr, "ERROR: lpif: cannot run %s: %s\n", program.c_str(), std::strerror(errno));
    _exit(127);
  }
  if (pid < 0) return -1;
  setpgid(pid, pid);
  g_child = pid;
  if (g_stop_signal != 0) kill(-pid, g_stop_signal);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  g_child = 0;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    std::fputs(kDiscovery, stdout);
    return CUPS_BACKEND_OK;
  }
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr, "ERROR: usage: lpif job-id user title copies options [file]\n");
    return CUPS_BACKEND_FAILED;
  }
  uid_t lp_uid = 0;
  gid_t lp_gid = 0;
  if (!LookUp("lp", &lp_uid, &lp_gid)) {
    std::fprintf(stderr, "ERROR: lpif: there is no account lp; create it, the print service runs as lp\n");
    return CUPS_BACKEND_FAILED;
  }
  // CUPS starts a world-executable backend as lp; started as root, become lp
  // before touching anything, as the interface programs expect.
  if (geteuid() == 0 && (setgroups(1, &lp_gid) != 0 || setgid(lp_gid) != 0 || setuid(lp_uid) != 0)) {
    std::fprintf(stderr, "ERROR: lpif: cannot become lp: %s\n", std::strerror(errno));
    return CUPS_BACKEND_FAILED;
  }
  const char* uri = std::getenv("DEVICE_URI");
  if (uri == nullptr && std::strchr(argv[0], ':') != nullptr) uri = argv[0];
  std::string program;
  std::string why;
  // The account that administers an installed tree and writes its interface
  // programs; lp's own trees stay lp's.
  uid_t service_uid = lp_uid;
  gid_t service_gid = 0;
  LookUp(kServiceAccount, &service_uid, &service_gid);
  int fd = lpif::OpenInterface(uri, lp_uid, service_uid, &program, &why);
  if (fd < 0) {
    std::fprintf(stderr, "ERROR: lpif: %s\n", why.c_str());
    return CUPS_BACKEND_FAILED;
  }
  // From here on a failure honours the queue's choice: retry or give up.
  const int failed = lpif::JobRecoveryOn(fd) ? CUPS_BACKEND_RETRY : CUPS_BACKEND_FAILED;
  close(fd);

  char spooled[4096] = "";
  if (argc == 6) {
    int job = lpdeliver::SpoolToTempFile(STDIN_FILENO, spooled, sizeof spooled);
    if (job < 0) {
      std::fprintf(stderr, "ERROR: lpif: cannot keep the job in a temporary file: %s; check TMPDIR\n",
                   std::strerror(errno));
      return failed;
    }
    close(job);
  }
  const char* printer = std::getenv("PRINTER");
  std::string request = (printer != nullptr && *printer != '\0') ? printer : program.substr(program.rfind('/') + 1);
  request += "-" + std::string(argv[1]);
  const char* args[6] = {request.c_str(), argv[2], argv[3], argv[4], argv[5], argc == 7 ? argv[6] : spooled};

  std::fprintf(stderr, "INFO: Sending request %s through %s\n", request.c_str(), program.c_str());
  int status = RunInterface(program, args);
  if (spooled[0] != '\0') unlink(spooled);
  if (status == 0) {
    std::fprintf(stderr, "INFO: Request %s sent\n", request.c_str());
    return CUPS_BACKEND_OK;
  }
  std::string how = status < 0 ? "was killed or could not run" : "ended with status " + std::to_string(status);
  std::fprintf(stderr, "ERROR: lpif: the interface program %s %s%s\n", program.c_str(), how.c_str(),
               failed == CUPS_BACKEND_RETRY ? "; CUPS will try the job again"
                                            : "; see the messages above, fix the cause and restart the job");
  return failed;
}
