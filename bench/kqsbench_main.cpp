// kqsbench: measures kqsd against the floor no implementation can beat on
// this machine, side by side in one run, and prints the ratios:
//   - the idle daemon's CPU ticks over 10 s, and its resident memory after
//     listing 1,000 queues, against their budgets (0 ticks, 4 MiB);
//   - request round trip (KQS_UPDATE, answered 13) vs a TCP echo server;
//   - the same round trip over TLS vs the plain port, and a TLS connect plus
//     one request vs a plain connect plus one request;
//   - queue enumeration of 10,000 queues (both calls) vs readdir and stat;
//   - discovery replies per second vs a UDP echo server;
//   - the slowest wildcard match of an 80-character pattern on 4096
//     characters, against its 50 ms budget;
//   - add-queue in plain mode vs its LP commands run directly;
//   - on a private CUPS: add-queue vs CUPS's lpadmin, kqsctl modify-queue vs
//     lpadmin -p Q -v URI, and kqsctl queues (with states) vs lpstat -p -a
//     at 1,000 queues.
// Runs in a private network namespace (needs root); all traffic is loopback
// and every loop is bounded in count and time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench/floors.h"
#include "bench/printing.h"
#include "bench/row.h"
#include "bench/tls.h"
#include "common/testing/daemon_sandbox.h"
#include "common/util/byteorder.h"
#include "common/util/wildcard.h"
#include "protocol/kqsids.h"

namespace {

using Clock = std::chrono::steady_clock;
using kqs::Bytes;

constexpr int kTcpEchoPort = 55560;
constexpr int kUdpEchoPort = 55561;
constexpr int kRoundTrips = 20000;
constexpr int kQueues = 10000;
constexpr int kEnumRepeats = 7;
constexpr int kDiscoveryRounds = 10;
constexpr double kDiscoverySeconds = 0.3;
constexpr int kDiscoveryWindow = 16;
constexpr int kListedQueues = 1000;
constexpr int kIdleSeconds = 10;
constexpr int kAddRounds = 15;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "kqsbench: %s\n", why.c_str());
  std::exit(1);
}


// Round trips of one request on one connection, in microseconds each.
void TimeRoundTrips(kqs::Console& kqsd, kqs::Console& echo, std::vector<double>* kqsdUs,
                    std::vector<double>* echoUs) {
  const Bytes update = kqs::RequestBytes(KQS_UPDATE, TYPE_PRINTQUEUE);
  for (int warm = 0; warm < 500; ++warm) {
    if (kqsd.Ask(update).returnCode != KQS_INVALID_OPERATION) Die("kqsd did not answer 13");
    if (!echo.Send(update) || !echo.ReceiveExactly(update.size(), 5000)) Die("echo failed");
  }
  // Alternating one by one, so that both sides see the same machine even
  // while other work comes and goes on it.
  for (int i = 0; i < kRoundTrips; ++i) {
    auto start = Clock::now();
    if (kqsd.Ask(update).returnCode != KQS_INVALID_OPERATION) Die("kqsd lost an answer");
    kqsdUs->push_back(Micros(Clock::now() - start));
    start = Clock::now();
    if (!echo.Send(update) || !echo.ReceiveExactly(update.size(), 5000)) Die("echo lost an answer");
    echoUs->push_back(Micros(Clock::now() - start));
  }
}

// Replies per second from a UDP server at port, with a window of datagrams
// in flight, for at most the given time.
double RepliesPerSecond(int port, double seconds) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) Die("udp connect");
  char buffer[2048];
  long replies = 0;
  const auto start = Clock::now();
  const auto end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  // (Re)fill the window whenever nothing has come back for a while: a lost
  // datagram must not stall the count.
  while (Clock::now() < end) {
    for (int i = 0; i < kDiscoveryWindow; ++i) send(fd, "?", 1, 0);
    pollfd p{fd, POLLIN, 0};
    while (Clock::now() < end && poll(&p, 1, 50) == 1) {
      if (recv(fd, buffer, sizeof buffer, 0) > 0) {
        ++replies;
        send(fd, "?", 1, 0);
      }
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  close(fd);
  return static_cast<double>(replies) / elapsed;
}

// Interface scripts q<from> .. q<to - 1>, owned by lp as the daemon lists them.
void MakeQueues(const std::string& interfaces, int from, int to) {
  for (int i = from; i < to; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/q%05d", i);
    const std::string path = interfaces + name;
    if (!kqs::ScratchDir::WriteFile(path, "#!/bin/sh\nexit 0\n") || chown(path.c_str(), 7, 7) != 0)
      Die("cannot create " + path);
  }
}

uint32_t Count(const Bytes& result) { return result.size() < 4 ? 0 : kqs::LoadBE32(result.data()); }

// The figure after key (such as "RssAnon:") in a /proc file of kB lines;
// -1 when it has none.
double StatusKb(const std::string& path, const std::string& key) {
  const std::string text = "\n" + kqs::ScratchDir::ReadFile(path);
  const size_t at = text.find("\n" + key);
  return at == std::string::npos ? -1 : std::strtod(text.c_str() + at + 1 + key.size(), nullptr);
}

// User and system CPU time of a process, in clock ticks.
long CpuTicks(pid_t pid) {
  const std::string stat = kqs::ScratchDir::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
  long user = 0, system = 0;
  fields >> user >> system;
  return user + system;
}

// The slowest of many hostile and random patterns of at most 80 characters
// against texts of 4096 characters, in milliseconds.
double SlowestWildcardMs(std::string* worst) {
  std::vector<std::string> patterns;
  std::string p;
  for (int i = 0; i < 39; ++i) p += "*a";
  patterns.push_back(p + "*b");
  p.clear();
  for (int i = 0; i < 26; ++i) p += "*?a";
  patterns.push_back(p + "*c");
  p.clear();
  for (int i = 0; i < 40; ++i) p += "a*";
  patterns.push_back(p);
  patterns.push_back(std::string(79, '?') + "*");
  patterns.push_back("*" + std::string(78, 'a') + "b");
  std::mt19937 rng(394);
  for (int i = 0; i < 300; ++i) {
    p.clear();
    for (int j = 0; j < 80; ++j) p += "a*?A"[rng() % 4];
    patterns.push_back(p);
  }
  const std::string texts[] = {std::string(4096, 'a'), std::string(4095, 'a') + "b",
                               std::string(2048, 'a') + std::string(2048, 'b')};
  double slowest = 0;
  for (const std::string& pattern : patterns) {
    for (const std::string& text : texts) {
      for (int caseSensitive : {0, 1}) {
        const auto start = Clock::now();
        (void)wcmatchstringsA(pattern.c_str(), text.c_str(), caseSensitive);
        const double ms = Micros(Clock::now() - start) / 1000;
        if (ms > slowest) {
          slowest = ms;
          *worst = pattern;
        }
      }
    }
  }
  return slowest;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  if (!kqs::EnterDaemonSandbox(&error)) Die(error);
  // "kqsbench cups": the CUPS rows alone, for repeating them.
  if (argc == 2 && std::string(argv[1]) == "cups") {
    kqs::BenchCups(kAddRounds, kListedQueues);
    return 0;
  }
  if (argc != 1) Die("usage: kqsbench [cups]");
  kqs::SandboxDaemon daemon;
  if (!daemon.Prepare()) Die(daemon.error());
  const std::string interfaces = daemon.lpRoot() + "/etc/lp/interfaces";
  MakeQueues(interfaces, 0, kListedQueues);
  if (daemon.Start() == 0) Die(daemon.error());
  kqs::FloorServer tcpEcho, udpEcho;
  if (!tcpEcho.StartTcpEcho(kTcpEchoPort) || !udpEcho.StartUdpEcho(kUdpEchoPort)) {
    Die("cannot start the echo servers");
  }

  std::printf("kqsbench: kqsd against the floor, loopback in a private network namespace\n");
  std::printf("%-46s %12s %12s %8s\n", "measure", "kqsd", "floor", "ratio");

  {
    kqs::Console kqsd;
    const kqs::Answer a = kqsd.Ask(kqs::RequestBytes(KQS_ENUM_CONTAINER, TYPE_PRINTQUEUE), 30000);
    if (a.returnCode != KQS_SUCCESS || Count(a.result) != kListedQueues) Die("listing 1000 queues failed");
    kqsd.Close();
    const long before = CpuTicks(daemon.pid());
    sleep(kIdleSeconds);
    const long ticks = CpuTicks(daemon.pid()) - before;
    kqs::Row("idle CPU ticks over 10 s", double(ticks), 0, 0, "budget: 0");
    const double kb = double(kqs::ResidentKb(daemon.pid()));
    kqs::Row("resident memory after listing 1000 queues (kB)", kb, 4096, kb / 4096, "budget: 4 MiB");
    // Most of it is the shared libraries' pages, which every process that
    // maps them shares; what the daemon alone holds is its anonymous memory.
    const std::string pid = std::to_string(daemon.pid());
    const double file = StatusKb("/proc/" + pid + "/status", "RssFile:");
    const double own = StatusKb("/proc/" + pid + "/status", "RssAnon:");
    const double pss = StatusKb("/proc/" + pid + "/smaps_rollup", "Pss:");
    kqs::Row("  of which mapped files (kB)", file, kb, file / kb, "libraries: shared, clean");
    kqs::Row("  of which its own, anonymous (kB)", own, 4096, own / 4096, "budget: 4 MiB");
    kqs::Row("  proportional set size (kB)", pss, 4096, pss / 4096, "shared pages divided among their users");
  }
  MakeQueues(interfaces, kListedQueues, kQueues);

  {
    kqs::Console kqsd, echo(kTcpEchoPort);
    if (!kqsd.connected() || !echo.connected()) Die("cannot connect");
    std::vector<double> kqsdUs, echoUs;
    TimeRoundTrips(kqsd, echo, &kqsdUs, &echoUs);
    const double k50 = Percentile(kqsdUs, 0.5), e50 = Percentile(echoUs, 0.5);
    const double k99 = Percentile(kqsdUs, 0.99), e99 = Percentile(echoUs, 0.99);
    kqs::Row("request round trip p50 (us) vs TCP echo", k50, e50, k50 / e50);
    kqs::Row("request round trip p99 (us) vs TCP echo", k99, e99, k99 / e99);
  }
  kqs::BenchTls();

  {
    kqs::Console kqsd;
    const Bytes enumerate = kqs::RequestBytes(KQS_ENUM_CONTAINER, TYPE_PRINTQUEUE);
    std::vector<double> kqsdMs, floorMs;
    for (int i = 0; i < kEnumRepeats + 1; ++i) {  // the first pass warms the caches
      auto start = Clock::now();
      const kqs::Answer a = kqsd.Ask(enumerate, 30000);
      const double k = Micros(Clock::now() - start) / 1000;
      if (a.returnCode != KQS_SUCCESS || Count(a.result) != kQueues) Die("enumeration incomplete");
      start = Clock::now();
      if (kqs::ReaddirAndStat(interfaces.c_str()) != kQueues) Die("readdir floor incomplete");
      const double f = Micros(Clock::now() - start) / 1000;
      if (i > 0) {
        kqsdMs.push_back(k);
        floorMs.push_back(f);
      }
    }
    const double k = Percentile(kqsdMs, 0.5), f = Percentile(floorMs, 0.5);
    kqs::Row("enumerate 10000 queues, median (ms)", k, f, k / f, "floor: one readdir+stat pass");
  }

  {
    double kqsd = 0, echo = 0;
    for (int round = 0; round < kDiscoveryRounds; ++round) {
      kqsd += RepliesPerSecond(kqs::kManagementPort, kDiscoverySeconds);
      echo += RepliesPerSecond(kUdpEchoPort, kDiscoverySeconds);
    }
    kqsd /= kDiscoveryRounds;
    echo /= kDiscoveryRounds;
    kqs::Row("discovery replies per second vs UDP echo", kqsd, echo, kqsd / echo, "ratio: kqsd/floor");
  }

  {
    std::string worst;
    const double ms = SlowestWildcardMs(&worst);
    kqs::Row("slowest wildcard match, 80 on 4096 (ms)", ms, 50.0, ms / 50.0, "floor: the 50 ms budget");
  }

  kqs::BenchPlainAddQueue(kAddRounds);
  if (!kqs::ExitedWithZero(daemon.Stop())) Die("kqsd did not stop cleanly");
  // A daemon of its own for CUPS mode: the port is free again now.
  kqs::BenchCups(kAddRounds, kListedQueues);
  return 0;
}
