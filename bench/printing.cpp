// Queue creation and listing, timed against doing the same without kqsd.
// Each pair alternates one by one so both sides see the same machine.
#include "bench/printing.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/row.h"
#include "common/testing/cups_sandbox.h"
#include "common/testing/daemon_sandbox.h"
#include "common/testing/run.h"
#include "lpsvc/cupsclient.h"
#include "protocol/kqsids.h"

extern char** environ;

namespace kqs {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kQueueParams =
    "Device=/dev/null;EXPort=0;IPPort=9100;Class=;Default=OFF;Model=standard;Type=standard;DEVTYPE=printer;"
    "TEOJ=0;JRECOV=0;PSLEVEL=2;BANNER=0;PERSONALTY=PostScript";

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Starts argv and waits for it, as directly as a program can be started.
int Spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int status = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  return status;
}

uint32_t Ask(Console& console, uint32_t operation, const std::string& name, const std::string& data = "") {
  return console.Ask(RequestBytes(operation, TYPE_PRINTQUEUE, name, data.empty() ? "" : data + '\0'), 30000)
      .returnCode;
}

// Alternates kqsd's add-queue of one queue (removed again, untimed) with
// other, which does the same without kqsd (undone by undo, untimed), rounds
// times, and prints the medians as a row, noting the first round's kqsd
// time (the one that pays for whatever later rounds find ready). False,
// with the reason printed, when either failed.
bool AddQueueAgainst(const char* what, const char* note, int rounds, const std::function<bool()>& other,
                     const std::function<bool()>& undo) {
  Console kqsd;
  std::vector<double> viaKqsd, without;
  for (int i = 0; i < rounds; ++i) {
    auto start = Clock::now();
    if (Ask(kqsd, KQS_ADD, "q", kQueueParams) != KQS_SUCCESS) return std::printf("%s: kqsd add failed\n", what), false;
    viaKqsd.push_back(Ms(Clock::now() - start));
    Ask(kqsd, KQS_REMOVE, "q");
    start = Clock::now();
    if (!other()) return false;
    without.push_back(Ms(Clock::now() - start));
    if (!undo()) return false;
  }
  char first[96];
  std::snprintf(first, sizeof first, "%s; kqsd's first: %.1f", note, viaKqsd.front());
  Row(what, Median(viaKqsd), Median(without), Median(viaKqsd) / Median(without), first);
  return true;
}

// Prints a 200 MB file, rounds times, alternately through a kqsd queue (its
// interface program and lpdeliver behind lpif) and through CUPS's own
// socket:// queue, both to the same fake printer, timed from lp until the
// printer has the whole job; prints the medians as a row.
void PrintBigJob(const PrivateCups& cups, int rounds) {
  constexpr size_t kSize = size_t{200} << 20;
  const char* what = "print a 200 MB job, median (ms)";
  struct stat st;
  if (stat("/usr/lib/cups/backend/socket", &st) != 0)
    return (void)std::printf("%-46s skipped: no CUPS socket backend (Debian package cups)\n", what);
  ScratchDir dir;
  const std::string file = dir / "job";
  {
    std::string chunk(1 << 20, 'x');
    FILE* out = std::fopen(file.c_str(), "w");
    for (size_t i = 0; out != nullptr && i < kSize / chunk.size(); ++i) std::fwrite(chunk.data(), 1, chunk.size(), out);
    if (out == nullptr || std::fclose(out) != 0) return (void)std::printf("%-46s skipped: cannot write the job\n", what);
  }
  Console console;
  const std::string params =
      "Device=127.0.0.1;EXPort=0;IPPort=9100;Class=;Default=OFF;Model=standard;Type=standard;DEVTYPE=printer;"
      "TEOJ=0;JRECOV=1;PSLEVEL=2;BANNER=0;PERSONALTY=text";
  if (Ask(console, KQS_ADD, "big", params) != KQS_SUCCESS) return (void)std::printf("%s: kqsd add failed\n", what);
  const std::string cupsEnv = "CUPS_SERVER=" + cups.socket();
  if (const RunResult r = Run({"lpadmin", "-p", "sock", "-v", "socket://127.0.0.1:9100", "-E"}, "", {cupsEnv});
      r.status != 0)
    return (void)std::printf("%s: lpadmin failed: %s\n", what, r.all().c_str());
  FakePrinter printer({.lengths_only = true});
  size_t printed = 0;
  auto print = [&](const char* queue) {
    const auto start = Clock::now();
    if (Run({"lp", "-d", queue, file}, "", {cupsEnv}).status != 0) return -1.0;
    const std::vector<std::string> jobs = printer.WaitForJobs(++printed, 120000);
    if (jobs.size() != printed || jobs.back() != std::to_string(kSize)) return -1.0;
    const double ms = Ms(Clock::now() - start);
    while (!Run({"lpstat", "-o"}, "", {cupsEnv}).out.empty()) usleep(20000);
    return ms;
  };
  std::vector<double> viaKqsd, viaSocket;
  for (int i = 0; i < rounds; ++i) {
    viaKqsd.push_back(print("big"));
    viaSocket.push_back(print("sock"));
    if (viaKqsd.back() < 0 || viaSocket.back() < 0) return (void)std::printf("%s: a job did not arrive whole\n", what);
  }
  Ask(console, KQS_REMOVE, "big");
  Run({"lpadmin", "-x", "sock"}, "", {cupsEnv});
  Row(what, Median(viaKqsd), Median(viaSocket), Median(viaKqsd) / Median(viaSocket),
      "vs CUPS's socket:// queue, same printer");
}

// Changes a queue's device in place, rounds times, alternately through
// kqsctl modify-queue (a kqsd queue) and CUPS's lpadmin -p Q -v URI (a CUPS
// queue of its own), each between two devices so that every round changes
// something; prints the medians as a row.
void ModifyQueue(const PrivateCups& cups, int rounds) {
  const char* what = "modify-queue, device, median (ms)";
  Console console;
  const std::string cupsEnv = "CUPS_SERVER=" + cups.socket();
  if (Ask(console, KQS_ADD, "mq", kQueueParams) != KQS_SUCCESS) return (void)std::printf("%s: kqsd add failed\n", what);
  if (Run({"lpadmin", "-p", "cq", "-v", "socket://127.0.0.1:9100", "-E"}, "", {cupsEnv}).status != 0)
    return (void)std::printf("%s: lpadmin failed\n", what);
  std::vector<double> viaKqsctl, viaLpadmin;
  for (int i = 0; i < rounds; ++i) {
    const char* device = i % 2 == 0 ? "127.0.0.1" : "127.0.0.2";
    auto start = Clock::now();
    if (const RunResult r = Run({KQSCTL_PATH, "modify-queue", "mq", "--device", device}); r.status != 0)
      return (void)std::printf("%s: kqsctl failed: %s\n", what, r.all().c_str());
    viaKqsctl.push_back(Ms(Clock::now() - start));
    start = Clock::now();
    if (const RunResult r = Run({"lpadmin", "-p", "cq", "-v", std::string("socket://") + device + ":9100"}, "", {cupsEnv});
        r.status != 0)
      return (void)std::printf("%s: lpadmin failed: %s\n", what, r.all().c_str());
    viaLpadmin.push_back(Ms(Clock::now() - start));
  }
  Ask(console, KQS_REMOVE, "mq");
  Run({"lpadmin", "-x", "cq"}, "", {cupsEnv});
  Row(what, Median(viaKqsctl), Median(viaLpadmin), Median(viaKqsctl) / Median(viaLpadmin),
      "kqsctl modify-queue vs lpadmin -p Q -v URI");
}

// Adds queues queues through kqsd (so that the tree, CUPS and the recorded
// settings hold them as in use), then lists them rounds times, alternately
// with kqsctl queues (which asks for their states too) and lpstat -p -a;
// prints the medians as a row.
void ListQueues(const PrivateCups& cups, int rounds, int queues) {
  char what[64];
  std::snprintf(what, sizeof what, "kqsctl queues at %d queues, median (ms)", queues);
  Console console;
  for (int i = 0; i < queues; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "p%04d", i);
    if (Ask(console, KQS_ADD, name, kQueueParams) != KQS_SUCCESS)
      return (void)std::printf("%s: kqsd add of %s failed\n", what, name);
  }
  const std::string cupsEnv = "CUPS_SERVER=" + cups.socket();
  std::vector<double> kqsctl, lpstat;
  for (int i = 0; i < rounds; ++i) {
    auto start = Clock::now();
    const RunResult k = Run({KQSCTL_PATH, "queues"});
    kqsctl.push_back(Ms(Clock::now() - start));
    // Every queue listed with a state CUPS gave (the first row is the header).
    if (k.status != 0 || std::count(k.out.begin(), k.out.end(), '\n') != queues + 1 ||
        k.out.find(" unknown ") != std::string::npos)
      return (void)std::printf("%s: kqsctl queues failed (%d lines): %s\n", what,
                               int(std::count(k.out.begin(), k.out.end(), '\n')), k.err.c_str());
    start = Clock::now();
    const RunResult r = Run({"lpstat", "-p", "-a"}, "", {cupsEnv});
    lpstat.push_back(Ms(Clock::now() - start));
    if (r.status != 0) return (void)std::printf("lpstat failed: %s\n", r.all().c_str());
  }
  Row(what, Median(kqsctl), Median(lpstat), Median(kqsctl) / Median(lpstat), "with states; vs lpstat -p -a");
}

}  // namespace

void BenchPlainAddQueue(int rounds) {
  // The commands run on a tree of their own, as the daemon's run on its.
  ScratchDir dir;
  const std::string root = dir / "lp";
  if (Run({LPSVC_PATH, "setup", root}).status != 0) {
    std::printf("%-44s skipped: lpsvc setup failed\n", "add-queue, plain mode");
    return;
  }
  const std::string fd = root + "/etc/lp/fd/q";
  ScratchDir::WriteFile(fd, "Command: " + root + "/etc/lp/interfaces/q\nInput types: any\nOutput types: any\n"
                            "Printer types: any\nPrinters: q\nFilter type: fast\n");
  const std::vector<std::vector<std::string>> add = {
      {root + "/usr/lib/lpsched"},
      {root + "/usr/lib/lpadmin", "-pq", "-v/dev/null", "-i" + root + "/usr/lib/lp/model/standard"},
      {root + "/usr/lib/accept", "q"},
      {root + "/usr/bin/enable", "q"},
      {root + "/usr/lib/lpshut"},
      {root + "/usr/lib/lpfilter", "-f", "q", "-F", fd},
  };
  AddQueueAgainst(
      "add-queue, plain mode, median (ms)", "vs its 6 LP commands run directly", rounds,
      [&] {
        for (const auto& command : add) Spawn(command);
        return true;
      },
      [&] {
        return Spawn({root + "/usr/lib/lpfilter", "-f", "q", "-x"}) == 0 && Spawn({root + "/usr/lib/lpadmin", "-xq"}) == 0;
      });
}

void BenchCups(int rounds, int queues) {
  struct stat st;
  if (stat("/usr/sbin/cupsd", &st) != 0) {
    std::printf("%-44s skipped: cups is not installed\n", "CUPS mode");
    return;
  }
  PrivateCups cups;
  SandboxDaemon daemon;
  // root administers it too: the bench's own lpadmin and queue set-up run as root.
  if (!cups.Start(std::string(kqs::kServiceAccount) + " root"))
    return (void)std::printf("CUPS mode skipped: %s\n", cups.error().c_str());
  daemon.UseCups(cups.socket());
  if (!daemon.Prepare() || daemon.Start() == 0) return (void)std::printf("CUPS mode: %s\n", daemon.error().c_str());

  const std::string cupsEnv = "CUPS_SERVER=" + cups.socket();
  const std::string interfaces = daemon.lpRoot() + "/etc/lp/interfaces";
  // kqsd starts the LP scheduler for a request and stops it again when it
  // found none running; with one running (as started at boot) it does not.
  for (const bool running : {false, true}) {
    if (running && Run({"setpriv", "--reuid=kqsd", "--regid=kqsd", "--init-groups", daemon.lpRoot() + "/usr/lib/lpsched"})
                           .status != 0) {
      return (void)std::printf("cannot start the LP scheduler\n");
    }
    const bool timed = AddQueueAgainst(
        running ? "add-queue, CUPS mode, LP scheduler running (ms)" : "add-queue, CUPS mode, median (ms)",
        "vs lpadmin -p Q -v URI -E", rounds,
        [&] {
          const RunResult r =
              Run({"lpadmin", "-p", "q", "-v", lpsvc::InterfaceUri(interfaces + "/q"), "-E"}, "", {cupsEnv});
          if (r.status != 0) std::printf("lpadmin failed: %s\n", r.all().c_str());
          return r.status == 0;
        },
        [&] { return Run({"lpadmin", "-x", "q"}, "", {cupsEnv}).status == 0; });
    if (!timed) return;
  }

  ModifyQueue(cups, rounds);
  ListQueues(cups, rounds, queues);
  PrintBigJob(cups, std::min(rounds, 5));
  daemon.Stop();
}

}  // namespace kqs
