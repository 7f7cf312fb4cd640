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
  if (g_stop_signal != 0) return -1;
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

// A job whose connection broke with part of it sent, or whose peripheral is
// set wrongly: lpdeliver's statuses, which the wrapper passes on.
constexpr int kLostMidJob = 3;
constexpr int kBadPeripheral = 4;

int Stop(const std::string& why) {
  std::fprintf(stderr, "ERROR: lpif: %s\n", why.c_str());
  return CUPS_BACKEND_STOP;
}

}  // namespace

int main(int argc, char** argv) {
  // A cancelled job ends here quietly at any moment: CUPS sends SIGTERM.
  struct sigaction sa {};
  sa.sa_handler = PassOnStop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  if (argc == 1) {
    std::fputs(kDiscovery, stdout);
    return CUPS_BACKEND_OK;
  }
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr, "ERROR: usage: lpif job-id user title copies options [file]\n");
    return CUPS_BACKEND_FAILED;
  }
  // Nothing below is fixed by trying the job again: the queue stops until
  // the administrator has put it right.
  uid_t lp_uid = 0;
  gid_t lp_gid = 0;
  if (!LookUp("lp", &lp_uid, &lp_gid)) return Stop("there is no account lp; create it, the print service runs as lp");
  // CUPS starts a world-executable backend as lp; started as root, become lp
  // before touching anything, as the interface programs expect.
  if (geteuid() == 0 && (setgroups(1, &lp_gid) != 0 || setgid(lp_gid) != 0 || setuid(lp_uid) != 0))
    return Stop(std::string("cannot become lp: ") + std::strerror(errno));
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
  if (fd < 0) return Stop(why);
  const bool recover = lpif::JobRecoveryOn(fd);
  close(fd);

  // A job on standard input is streamed through as "-", and it comes with
  // its copies made; a job file can be read again, for copies and a resend.
  const bool from_file = argc == 7;
  const char* printer = std::getenv("PRINTER");
  std::string request = (printer != nullptr && *printer != '\0') ? printer : program.substr(program.rfind('/') + 1);
  request += "-" + std::string(argv[1]);
  const char* args[6] = {request.c_str(), argv[2], argv[3], from_file ? argv[4] : "1", argv[5],
                         from_file ? argv[6] : "-"};

  std::fprintf(stderr, "INFO: Sending request %s through %s\n", request.c_str(), program.c_str());
  int status = RunInterface(program, args);
  if (status == kLostMidJob && recover && from_file && g_stop_signal == 0) {
    std::fprintf(stderr, "INFO: lpif: the connection broke mid-job; sending request %s again, whole\n",
                 request.c_str());
    status = RunInterface(program, args);
  }
  if (g_stop_signal != 0) return CUPS_BACKEND_OK;  // cancelled: CUPS knows
  if (status == 0) {
    std::fprintf(stderr, "INFO: Request %s sent\n", request.c_str());
    return CUPS_BACKEND_OK;
  }
  if (status == kBadPeripheral) return Stop("the queue's peripheral cannot be used; see the message above");
  // A broken connection or a failing model: the queue's choice, retry or give up.
  const int failed = recover ? CUPS_BACKEND_RETRY : CUPS_BACKEND_FAILED;
  std::string how = status < 0 ? "was killed or could not run" : "ended with status " + std::to_string(status);
  std::fprintf(stderr, "ERROR: lpif: the interface program %s %s%s\n", program.c_str(), how.c_str(),
               failed == CUPS_BACKEND_RETRY ? "; CUPS will try the job again"
                                            : "; see the messages above, fix the cause and restart the job");
  return failed;
}
