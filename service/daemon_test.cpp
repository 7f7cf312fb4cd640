// End to end: the real kqsd, started from a scratch installation directory
// (the program linked in, its catalog, a kqsd.ini whose LP root is a sandbox
// tree made by lpsvc), driven over UDP and TCP on 127.0.0.1:55554 as a
// console would, with the events it logs read back from a private syslog
// socket. Each test runs in its own network and mount namespace, and this
// process is the subreaper that inherits the double-forked daemon.
#include <arpa/inet.h>
#include <crypt.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syslog.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/host/mtsafe.h"
#include "common/testing/daemon_sandbox.h"
#include "common/testing/run.h"
#include "common/testing/scratch_dir.h"
#include "common/testing/syslog_capture.h"
#include "protocol/extension.h"
#include "protocol/kqsids.h"
#include "pts/peer_netns_test.h"
#include "service/admission.h"
#include "service/ratelimit.h"
#include "service/request.h"

namespace {

using namespace std::chrono_literals;
using kqs::Answer;
using kqs::Console;
using kqs::Discover;
using kqs::RequestBytes;
using Events = std::vector<std::pair<int, unsigned>>;  // (type, id) as logged

// The catalog source: a message text, split around its conversions, and its
// event.
struct CatalogEntry {
  std::string prefix, suffix;
  bool insertion;
  int type;
  unsigned id;
  bool Matches(const std::string& text) const {
    if (!insertion) return text == prefix;
    return text.size() >= prefix.size() + suffix.size() && text.starts_with(prefix) &&
           text.ends_with(suffix);
  }
};

std::vector<CatalogEntry> LoadCatalog() {
  std::vector<CatalogEntry> entries;
  std::ifstream in(KQSD_MSG);
  int set = 0;
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_match(line, m, std::regex(R"(\$set\s+(\d+).*)"))) {
      set = std::stoi(m[1]);
    } else if (std::regex_match(line, m, std::regex(R"((\d+)\s+"(.*)\"\s*)"))) {
      const std::string text = m[2];
      const size_t at = text.find('%'), last = text.rfind('%');  // each %s or %u
      const bool insertion = at != std::string::npos;
      entries.push_back({text.substr(0, at), insertion ? text.substr(last + 2) : "", insertion,
                         set - 1, static_cast<unsigned>(std::stoul(m[1]))});
    }
  }
  return entries;
}

// Sends a request (data as a console sends it, with its NUL) and returns the
// answer's code, ~0u when none came.
uint32_t Code(Console& console, uint32_t operation, uint32_t objectType,
              const std::string& parameters = "", const std::string& data = "") {
  return console.Ask(RequestBytes(operation, objectType, parameters, data.empty() ? "" : data + '\0'))
      .returnCode;
}

const std::pair<int, unsigned> kStarted{1, 1}, kStopped{1, 2}, kReceived{1, 8}, kClosed{1, 10},
    kAccepted{1, 11}, kListenerClosed{1, 12}, kClosingListener{1, 13}, kSettings{1, 20},
    kStartFailed{0, 101}, kPortBusy{0, 116}, kUnsafeIni{0, 112}, kTooLong{0, 114}, kMissingIni{0, 190}, kLpService{1, 40}, kOnDefaults{1, 41},
    kNoInterfaces{0, 130}, kNoLpadmin{0, 131}, kPortAdded{2, 200}, kDropped{2, 211},
    kIdle{2, 202}, kSlowRequest{2, 203}, kNotTaken{2, 204}, kLost{2, 205}, kRefused{2, 207},
    kTooManyRefused{2, 208}, kNotAllowed{2, 209}, kNotATruth{2, 210}, kDisplaced{2, 232},
    kGuessing{2, 233}, kCertificateMade{1, 50}, kFingerprint{1, 51}, kCommandFailed{2, 250}, kChangeDone{1, 56},
    kChangeRefused{2, 251};
const Events kShutdownTail = {kClosingListener, kListenerClosed, kStopped};
const std::string kPort = "HostName=p1;IPAddress=10.0.0.9;HWAddress=0800091A2B3C;Port=9100";

size_t Count(const Events& events, std::pair<int, unsigned> e) {
  return static_cast<size_t>(std::count(events.begin(), events.end(), e));
}

// A TCP connection to to:55554 from the local address from; -1 when refused.
int ConnectFrom(const char* from, const char* to) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, from, &a.sin_addr);
  sockaddr_in b = a;
  b.sin_port = htons(kqs::kManagementPort);
  inet_pton(AF_INET, to, &b.sin_addr);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      connect(s, reinterpret_cast<sockaddr*>(&b), sizeof b) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// The next datagram on s within ms, "" when none came.
std::string NextNotice(int s, int ms) {
  pollfd p{s, POLLIN, 0};
  char buf[256];
  const ssize_t n = poll(&p, 1, ms) == 1 ? recv(s, buf, sizeof buf, 0) : -1;
  return n > 0 ? std::string(buf, size_t(n)) : "";
}

// True when the peer closed s (or reset it) within ms, without sending.
bool ClosedWithoutAnswer(int s, int ms) {
  pollfd p{s, POLLIN, 0};
  char c;
  return poll(&p, 1, ms) == 1 && recv(s, &c, 1, 0) <= 0;
}

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(kqs::EnterDaemonSandbox(&error, kqs::SandboxLog::kLeftToCaller)) << error;
    ASSERT_TRUE(log_.Start()) << log_.error();
    catalog_ = LoadCatalog();
    ASSERT_GE(catalog_.size(), 14u);
    // Stored the way kqsctl passwd stores it now.
    ASSERT_TRUE(daemon_.Prepare("[ACCESS]\nPasswd=" +
                                std::string(xCrypt("secret", crypt_gensalt("$y$", 0, nullptr, 0))) + "\n"))
        << daemon_.error();
  }

  // Runs kqsd as a shell would; its pid as written to kqsd.ini once it has
  // (with waitReady) opened both ports, 0 otherwise.
  pid_t Start(bool waitReady = true) {
    const pid_t pid = daemon_.Start(waitReady);
    EXPECT_NE(pid, 0) << daemon_.error();
    return pid;
  }

  // SIGTERM, then the daemon must end with status 0 within 6 s.
  void Stop(pid_t pid) {
    const int status = daemon_.Stop(pid);
    EXPECT_TRUE(kqs::ExitedWithZero(status)) << "status " << status;
  }

  // Every event logged so far, checked for the daemon's identity and the
  // priority that belongs to its type.
  Events Logged() {
    static constexpr int kLevel[] = {LOG_ERR, LOG_INFO, LOG_WARNING};
    Events events;
    for (const kqs::SyslogMessage& m : log_.Collect(200)) {
      auto e = std::find_if(catalog_.begin(), catalog_.end(),
                            [&](const CatalogEntry& c) { return c.Matches(m.text); });
      if (e == catalog_.end()) {
        ADD_FAILURE() << "not a catalog text: " << m.raw;
        continue;
      }
      EXPECT_EQ(m.ident, "KQSManager") << m.raw;
      EXPECT_EQ(m.priority, LOG_DAEMON | kLevel[e->type]) << m.raw;
      events.emplace_back(e->type, e->id);
      texts_ += m.text + "\n";
    }
    return events;
  }

  // Rewrites kqsd.ini: the fixture's content with extra put into its
  // [ACCESS] section (keys under a repeated header would be ignored) and
  // processSettings as a [Process Settings] section.
  void Configure(const std::string& access, const std::string& processSettings) {
    std::string ini = std::regex_replace(kqs::ScratchDir::ReadFile(daemon_.iniPath()),
                                         std::regex(R"(\[ACCESS\]\n)"), "[ACCESS]\n" + access);
    ini += "[Process Settings]\nProcessID=0\n" + processSettings;
    ASSERT_TRUE(kqs::ScratchDir::WriteFile(daemon_.iniPath(), ini));
  }

  static Events Tail(const Events& all, size_t n) {
    return Events(all.end() - std::min(n, all.size()), all.end());
  }

  kqs::SyslogCapture log_;
  kqs::SandboxDaemon daemon_;  // after log_: killed before the capture goes
  std::vector<CatalogEntry> catalog_;
  std::string texts_;  // every text Logged() has seen
};

TEST_F(DaemonTest, DetachesAnswersDiscoveryIgnoresHangupAndKeepsItsPortFromASecondDaemon) {
  // lp is a member of one more group (in this test's own mount namespace),
  // and kqsd.ini is root's link to root's file elsewhere, as /etc/kqsd would be.
  const std::string group = daemon_.installDir() + "/group";
  ASSERT_TRUE(kqs::ScratchDir::WriteFile(group, kqs::ScratchDir::ReadFile("/etc/group") + "kqstest:x:4242:lp\n"));
  ASSERT_EQ(mount(group.c_str(), "/etc/group", nullptr, MS_BIND, nullptr), 0);
  const std::string target = daemon_.installDir() + "/etc/kqsd.ini";
  ASSERT_EQ(mkdir((daemon_.installDir() + "/etc").c_str(), 0755), 0);
  ASSERT_EQ(rename(daemon_.iniPath().c_str(), target.c_str()), 0);
  ASSERT_EQ(symlink(target.c_str(), daemon_.iniPath().c_str()), 0);

  const pid_t pid = Start();
  ASSERT_NE(pid, 0);
  utsname host{};
  ASSERT_EQ(uname(&host), 0);
  EXPECT_EQ(Discover(), std::string("Platform=PRINTSERVER_UNIX;Uname=") + host.sysname +
                            ";Protocol=1;VMajor=3;VMinor=0;VUpdate=0;VBuild=394;Install=" +
                            daemon_.installDir() + "/");

  // A session of its own, running as lp alone with the creation mask 042.
  EXPECT_NE(getsid(pid), getsid(0));
  const std::string status = kqs::ScratchDir::ReadFile("/proc/" + std::to_string(pid) + "/status");
  for (const char* line : {"Uid:\t7\t7\t7\t7", "Gid:\t7\t7\t7\t7", "Umask:\t0042", "Groups:\t7 4242 \n"})
    EXPECT_NE(status.find(line), std::string::npos) << line << " in\n" << status;

  kill(pid, SIGHUP);
  kill(pid, SIGPIPE);
  EXPECT_FALSE(Discover().empty()) << "stopped by SIGHUP or SIGPIPE";
  Events events = Logged();
  ASSERT_FALSE(events.empty());
  // The first start makes the TLS certificate, as root, before the switch.
  EXPECT_EQ(Events(events.begin(), events.begin() + 5),
            (Events{kCertificateMade, kStarted, kSettings, kFingerprint, kLpService}));
  EXPECT_EQ(Count(events, kReceived), 2u);  // two discoveries

  // A second daemon, in the foreground as systemd runs it, fails at the port
  // with status 1 and the reason on stderr, leaving the first one's process
  // id in place; the first runs on.
  const kqs::RunResult second = kqs::Run({daemon_.installDir() + "/kqsd", "-f"});
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("error 116: Start-up failed: the management port (TCP 55554 on every address) could not "
                            "be opened: Address already in use"),
            std::string::npos)
      << second.err;
  for (int i = 0; i < 50 && events != Events{kPortBusy, kStartFailed}; ++i) events = Logged();
  EXPECT_EQ(events, (Events{kPortBusy, kStartFailed}));
  EXPECT_NE(kqs::ScratchDir::ReadFile(target).find("ProcessID=" + std::to_string(pid) + "\n"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_symlink(daemon_.iniPath()));
  EXPECT_FALSE(Discover().empty()) << "the first daemon stopped answering";
  Console console;
  EXPECT_EQ(Code(console, KQS_UPDATE, TYPE_PRINTQUEUE), KQS_INVALID_OPERATION);
  console.Close();

  Stop(pid);
  events = Logged();
  // Shutdown with no console left: the discovery socket is closed, then the
  // listener; the daemon makes no connection to itself.
  EXPECT_EQ(Tail(events, 3), kShutdownTail);
  EXPECT_EQ(Count(events, kAccepted), 1u);
  EXPECT_EQ(Count(events, kClosed), 2u);  // console, discovery
}

TEST_F(DaemonTest, DiscoveryRepliesHoldToOneBudgetWhateverTheSourcesAndCanBeSwitchedOff) {
  // Every address of 10/8 is this host's: datagrams may come from thousands
  // of them, as from spoofed senders, and their replies come back here.
  ASSERT_EQ(kqs::Run({"ip", "addr", "add", "10.0.0.1/8", "dev", "lo"}).status, 0);
  const pid_t pid = Start();
  ASSERT_NE(pid, 0);
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), on = 1, big = 4 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
  sockaddr_in to{AF_INET, htons(kqs::kManagementPort), {htonl(0x0A000001)}, {}}, any = to;
  any.sin_port = htons(40000);
  any.sin_addr.s_addr = INADDR_ANY;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  ASSERT_EQ(setsockopt(s, IPPROTO_IP, IP_FREEBIND, &on, sizeof on), 0);
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < 6000; ++i) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    iovec data{const_cast<char*>("?"), 1};
    msghdr m{&to, sizeof to, &data, 1, control, sizeof control, 0};
    in_pktinfo* from = reinterpret_cast<in_pktinfo*>(CMSG_DATA(CMSG_FIRSTHDR(&m)));
    *CMSG_FIRSTHDR(&m) = cmsghdr{CMSG_LEN(sizeof(in_pktinfo)), IPPROTO_IP, IP_PKTINFO};
    from->ipi_spec_dst.s_addr = htonl(0x0A010000 + i);
    ASSERT_EQ(sendmsg(s, &m, 0), 1) << i;
  }
  int replies = 0;
  char buf[2048];
  for (pollfd p{s, POLLIN, 0}; poll(&p, 1, 1500) == 1 && recv(s, buf, sizeof buf, 0) > 0;) ++replies;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(replies, 0);
  EXPECT_LE(replies, kqs::kDiscoveryGlobalBurst + kqs::kDiscoveryGlobalRate * seconds) << "in " << seconds << " s";
  close(s);
  // A privileged source port (a time or name service) gets nothing.
  const int service = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in ntp{AF_INET, htons(123), {htonl(INADDR_LOOPBACK)}, {}};
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(service, reinterpret_cast<sockaddr*>(&ntp), sizeof ntp), 0);
  ASSERT_EQ(sendto(service, "?", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 1);
  EXPECT_EQ(NextNotice(service, 500), "") << "answered a privileged port";
  close(service);
  EXPECT_FALSE(Discover().empty());
  Stop(pid);

  // Another program on the UDP port stops the start, naming discovery and
  // why; with discovery off, as the message advises, the daemon starts.
  const int squatter = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in port{AF_INET, htons(kqs::kManagementPort), {htonl(INADDR_ANY)}, {}};
  ASSERT_EQ(bind(squatter, reinterpret_cast<sockaddr*>(&port), sizeof port), 0);
  const kqs::RunResult held = kqs::Run({daemon_.installDir() + "/kqsd", "-f"});
  EXPECT_EQ(held.status, 1);
  EXPECT_NE(held.err.find("error 117: Discovery cannot start: its socket (UDP 55554 on every IPv4 address) could not be "
                          "opened: Address already in use"),
            std::string::npos)
      << held.err;
  EXPECT_NE(held.err.find("error 101:"), std::string::npos) << held.err;
  Configure("", "[Discovery]\nEnabled=0\n");
  ASSERT_NE(Start(false), 0);
  EXPECT_TRUE(Discover(500).empty()) << "answered with discovery off";
  Console console;
  EXPECT_EQ(Code(console, KQS_UPDATE, TYPE_PRINTQUEUE), KQS_INVALID_OPERATION);
  close(squatter);
}

TEST_F(DaemonTest, RefusesToStartOnSettingsItCannotTrustReadOrParse) {
  const std::string exe = daemon_.installDir() + "/kqsd";
  const std::string ini = daemon_.iniPath();
  const std::string good = kqs::ScratchDir::ReadFile(ini);
  const std::string victim = daemon_.installDir() + "/etc-shadow";
  ASSERT_TRUE(kqs::ScratchDir::WriteFile(victim, "root:secret\n"));
  // lp may write the directory (lp owns it, or its group may), or one above.
  ASSERT_EQ(chown(daemon_.installDir().c_str(), 7, 7), 0);
  EXPECT_NE(std::system(exe.c_str()), 0);
  ASSERT_EQ(chown(daemon_.installDir().c_str(), 0, 7), 0);
  ASSERT_EQ(chmod(daemon_.installDir().c_str(), 0775), 0);
  EXPECT_NE(std::system(exe.c_str()), 0);
  ASSERT_EQ(chmod(daemon_.installDir().c_str(), 0755), 0);
  const std::string lpDir = daemon_.installDir() + "/lpdir";
  ASSERT_EQ(mkdir(lpDir.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((lpDir + "/etc").c_str(), 0755), 0);
  ASSERT_EQ(chown(lpDir.c_str(), 7, 7), 0);
  ASSERT_EQ(rename(ini.c_str(), (lpDir + "/etc/kqsd.ini").c_str()), 0);
  ASSERT_EQ(symlink((lpDir + "/etc/kqsd.ini").c_str(), ini.c_str()), 0);
  kqs::RunResult r = kqs::Run({exe});
  EXPECT_EQ(r.status, 78);
  EXPECT_NE(r.err.find(lpDir + " may be changed by a user other than root"), std::string::npos) << r.err;
  // kqsd.ini is a link lp made to a file it wants rewritten.
  ASSERT_EQ(unlink(ini.c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), ini.c_str()), 0);
  ASSERT_EQ(lchown(ini.c_str(), 7, 7), 0);
  EXPECT_NE(std::system(exe.c_str()), 0);
  EXPECT_EQ(kqs::ScratchDir::ReadFile(victim), "root:secret\n");
  // A root link to a settings file that is gone is said to be just that,
  // with the status the unit does not restart on.
  ASSERT_EQ(unlink(ini.c_str()), 0);
  ASSERT_EQ(symlink((victim + ".gone").c_str(), ini.c_str()), 0);
  r = kqs::Run({exe});
  EXPECT_EQ(r.status, 78);
  EXPECT_NE(r.err.find("the settings file " + victim + ".gone is missing"), std::string::npos) << r.err;
  ASSERT_EQ(unlink(ini.c_str()), 0);

  // A file that cannot be read (mode 0000 where root has no CAP_DAC_OVERRIDE,
  // as under the unit) or parsed, a time limit that is no number, or a
  // setting longer than it may be (never cut to what fits) stops the start
  // with the file, line or key named, instead of running on defaults with
  // the password check off or a shorter Allow.
  struct Case {
    std::string text;
    mode_t mode;
    std::string named;
  };
  // Few directories, but long ones: cut to what fits they would name others.
  std::string dirs;
  for (int i = 0; i < 14; ++i) dirs += "/srv/" + std::string(205, 'd') + "/" + std::string(75, 'a' + i) + " ";
  const std::string nextLine = "line " + std::to_string(std::count(good.begin(), good.end(), '\n') + 1);
  const std::string next = ini + ", " + nextLine + ",";
  const Case cases[] = {{good + "[ACCESS]\nEnforce=1\n", 0000, ini + " (Permission denied)"},
                        {good + "[Process Settings\nIdleTimeout=300\n", 0640, next},
                        {good + "Enforce 1\n", 0640, next},
                        {good + "[Process Settings]\nIdleTimeout=abc\n", 0640, "[Process Settings] IdleTimeout=abc"}};
  for (const Case& c : cases) {
    ASSERT_TRUE(kqs::ScratchDir::WriteFile(ini, c.text));
    ASSERT_EQ(chmod(ini.c_str(), c.mode), 0);
    r = kqs::Run({"setpriv", "--bounding-set", "-dac_override,-dac_read_search", exe});
    EXPECT_EQ(r.status, 78) << c.named;
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
  }
  // Settings found wrong only once read, in the foreground: a value or line
  // too long to keep whole, or a network no address has.
  std::string nets;
  for (int i = 0; i < 120; ++i) nets += "2001:db8:" + std::to_string(i) + "::/48 ";
  const Case refusedOnceRead[] = {
      {std::regex_replace(good, std::regex(R"(\[ACCESS\]\n)"), "[ACCESS]\nAllow=" + nets + "\n"), 0640,
       "[ACCESS] Allow (at most 2047 characters)"},
      {good + "[Process Settings]\nPidFile=/run/" + std::string(260, 'p') + "\n", 0640,
       "[Process Settings] PidFile (at most 254 characters)"},
      {std::regex_replace(good, std::regex(R"(\[LP Service\]\n)"), "[LP Service]\nDeviceDirs=" + dirs + "\n"), 0640,
       "[LP Service] DeviceDirs (at most 4000 characters)"},
      // Read in pieces, the tail of this comment would be a setting.
      {good + "; " + std::string(4093, '-') + "Enforce=0\n", 0640, nextLine + " (at most 4095 characters) in " + ini},
      {std::regex_replace(good, std::regex(R"(\[ACCESS\]\n)"), "[ACCESS]\nAllow=10.0.0.0/8,127.0.0.1/33\n"), 0640,
       "127.0.0.1/33"}};
  for (const Case& c : refusedOnceRead) {
    ASSERT_TRUE(kqs::ScratchDir::WriteFile(ini, c.text));
    r = kqs::Run({"timeout", "20", exe, "-f"});
    EXPECT_EQ(r.status, 78);
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
  }
  const auto kUnreadable = std::pair{0, 140u}, kMalformed = std::pair{0, 141u},
             kNotANumber = std::pair{0, 142u}, kNotANetwork = std::pair{0, 113u};
  EXPECT_EQ(Logged(), (Events{kUnsafeIni, kUnsafeIni, kUnsafeIni, kUnsafeIni, kMissingIni, kUnreadable, kMalformed,
                              kMalformed, kNotANumber, kTooLong, kTooLong, kTooLong, kTooLong, kNotANetwork}));

  // Enforced with no password set yet: it starts, warns, and refuses every
  // change, whatever password a console offers.
  ASSERT_TRUE(kqs::ScratchDir::WriteFile(ini, std::regex_replace(good, std::regex("Passwd=.*"), "Passwd=") +
                                                  "Enforce=1\n"));
  ASSERT_EQ(chmod(ini.c_str(), 0640), 0);
  const pid_t pid = Start();
  ASSERT_NE(pid, 0);
  Console console;
  EXPECT_EQ(Code(console, KQS_ADMIN_ACCESS, TYPE_DOMAIN, "admin", ""), KQS_NO_ACCESS);
  EXPECT_EQ(Code(console, KQS_ADD, TYPE_PHYSICAL_PRINTER, "p1", kPort), KQS_NO_ACCESS);
  console.Close();
  Stop(pid);
  EXPECT_EQ(Count(Logged(), std::pair{2, 220u}), 1u) << "no warning naming kqsctl passwd";
}

TEST_F(DaemonTest, CarriesOutEveryOperationStopsWithAConsoleAndRestartsAtOnce) {
  pid_t pid = Start();
  ASSERT_NE(pid, 0);
  Console console;
  ASSERT_TRUE(console.connected());

  Answer r = console.Ask(RequestBytes(KQS_ENUM_CONTAINER, TYPE_PRINTDRIVER));
  EXPECT_EQ(r.returnCode, KQS_SUCCESS);
  ASSERT_GE(r.result.size(), 4u);
  EXPECT_EQ(r.result[3], 3) << "three printer models in the sandbox";
  EXPECT_EQ(Code(console, KQS_ENUM_CONTAINER, TYPE_PRINTMONITOR), KQS_SUCCESS);

  const std::string queue =
      "Device=/dev/null;EXPort=0;IPPort=9100;Class=;Default=OFF;Model=standard;Type=std;"
      "DEVTYPE=lp;TEOJ=0;JRECOV=0;PSLEVEL=2;BANNER=0;PERSONALTY=PS";
  const std::string script = daemon_.lpRoot() + "/etc/lp/interfaces/draft";
  EXPECT_EQ(Code(console, KQS_ADD, TYPE_PRINTQUEUE, "draft", queue), KQS_SUCCESS);
  // The wrapper runs the kept model script, whatever the daemon's umask.
  for (const std::string& file : {script, daemon_.lpRoot() + "/etc/lp/interfaces/model.orig/draft"}) {
    struct stat st{};
    EXPECT_EQ(stat(file.c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_mode & 07777, 0755u) << file;
  }
  r = console.Ask(RequestBytes(KQS_ENUM_CONTAINER, TYPE_PRINTQUEUE));
  EXPECT_EQ(r.returnCode, KQS_SUCCESS);
  EXPECT_NE(std::string(r.result.begin(), r.result.end()).find("draft"), std::string::npos);
  EXPECT_EQ(Code(console, KQS_REMOVE, TYPE_PRINTQUEUE, "draft"), KQS_SUCCESS);
  EXPECT_FALSE(kqs::ScratchDir::Exists(script));
  // A refusal says why: the LP command's own words reach the console and the log.
  ASSERT_TRUE(kqs::ScratchDir::WriteFile(daemon_.lpRoot() + "/etc/lp/interfaces/ghost", ""));
  r = console.Ask(RequestBytes(KQS_REMOVE, TYPE_PRINTQUEUE, "ghost"));
  EXPECT_EQ(r.returnCode, KQS_LPADMIN_FAILURE);
  EXPECT_EQ(std::string(r.result.begin(), r.result.end()), std::string("lpadmin: no destination ghost", 30));

  // Without the opt-in settings changes need no check and a silent
  // connection is not timed out.
  EXPECT_EQ(Code(console, KQS_ADD, TYPE_PHYSICAL_PRINTER, "p1", kPort), KQS_SUCCESS);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(Code(console, KQS_REMOVE, TYPE_PHYSICAL_PRINTER, "p1"), KQS_SUCCESS);

  EXPECT_EQ(Code(console, KQS_ADMIN_ACCESS, TYPE_DOMAIN, "admin", "secret"), KQS_SUCCESS);
  EXPECT_EQ(Code(console, KQS_ADMIN_ACCESS, TYPE_PRINTSERVER, "admin", "guess"), KQS_NO_ACCESS);
  EXPECT_EQ(Code(console, KQS_QUERY_FILES, TYPE_PRINTQUEUE), KQS_INVALID_OPERATION);
  EXPECT_EQ(Code(console, KQS_UPDATE, TYPE_PRINTQUEUE), KQS_INVALID_OPERATION);
  EXPECT_EQ(Code(console, KQS_ADD, TYPE_PRINTDRIVER), KQS_INVALID_OBJECT_TYPE);

  // A malformed request is dropped; the connection serves the next one.
  kqs::Bytes bad = RequestBytes(KQS_UPDATE, TYPE_PRINTQUEUE);
  bad.back() = 0x55;
  EXPECT_EQ(console.Ask(bad, 300).returnCode, ~0u) << "a malformed request was answered";
  EXPECT_EQ(Code(console, KQS_UPDATE, TYPE_PRINTQUEUE), KQS_INVALID_OPERATION);
  // A header announcing a length of 0 cannot be followed: that connection is closed at once.
  const int zero = ConnectFrom("127.0.0.1", "127.0.0.1");
  std::fill(bad.begin(), bad.begin() + 4, 0);
  EXPECT_TRUE(send(zero, bad.data(), bad.size(), MSG_NOSIGNAL) > 0 && ClosedWithoutAnswer(zero, 3000));
  close(zero);

  // Two requests in one send are answered in order; one sent in pieces is
  // put together.
  kqs::Bytes two = RequestBytes(KQS_UPDATE, TYPE_PRINTQUEUE);
  const kqs::Bytes monitors = RequestBytes(KQS_ENUM_CONTAINER, TYPE_PRINTMONITOR);
  two.insert(two.end(), monitors.begin(), monitors.end());
  ASSERT_TRUE(console.Send(two));
  ASSERT_TRUE(console.Receive(&r, 5000));
  EXPECT_EQ(r.operation, KQS_UPDATE);
  ASSERT_TRUE(console.Receive(&r, 5000));
  EXPECT_EQ(r.operation, KQS_ENUM_CONTAINER);
  const kqs::Bytes whole = RequestBytes(KQS_QUERY_FILES, TYPE_PRINTQUEUE);
  for (size_t at = 0; at < whole.size(); at += 7) {
    ASSERT_TRUE(console.Send(kqs::Bytes(whole.begin() + at, whole.begin() + std::min(at + 7, whole.size()))));
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(console.Receive(&r, 5000));
  EXPECT_EQ(r.operation, KQS_QUERY_FILES);

  // SIGTERM with the console still connected.
  Stop(pid);
  Answer none;
  EXPECT_FALSE(console.Receive(&none, 100));
  Events events = Logged();
  EXPECT_GE(Count(events, kReceived), 18u);  // every receive
  EXPECT_EQ(Count(events, kPortAdded), 1u);
  EXPECT_EQ(Count(events, kChangeDone), 4u) << "the audit trail: add and remove of a queue and a port";
  EXPECT_EQ(Count(events, kChangeRefused), 1u);
  EXPECT_EQ(Count(events, kCommandFailed), 1u);
  for (const char* line : {"failed with status 1: lpadmin: no destination ghost",
                           "Refused for console 127.0.0.1: remove queue ghost (KQS_LPADMIN_FAILURE).",
                           "Console 127.0.0.1: add port p1: done."})
    EXPECT_NE(texts_.find(line), std::string::npos) << line << " not in\n" << texts_;
  EXPECT_EQ(Tail(events, 3), kShutdownTail);

  // A command line kqsd does not know starts nothing.
  const std::string exe = daemon_.installDir() + "/kqsd";
  EXPECT_EQ(kqs::Run({exe, "--bogus"}).status, 2);
  EXPECT_TRUE(Discover(300).empty()) << "kqsd --bogus started a daemon";

  // The daemon closed the connection first, so its port has a connection in
  // TIME_WAIT: a restart at once must still be able to listen. This time in
  // the foreground under systemd's notify protocol, and without kqsd.ini, so
  // on defaults and the host's own LP service, which this host lacks.
  ASSERT_EQ(unlink(daemon_.iniPath().c_str()), 0);
  const std::string notify = "@kqsd-test-notify-" + std::to_string(getpid());
  const int systemd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::copy(notify.begin() + 1, notify.end(), address.sun_path + 1);
  ASSERT_EQ(bind(systemd, reinterpret_cast<sockaddr*>(&address), socklen_t(sizeof(sa_family_t) + notify.size())), 0);
  // Under the unit the process id goes to its runtime directory.
  const std::string run = daemon_.installDir() + "/run";
  ASSERT_EQ(mkdir(run.c_str(), 0755), 0);
  setenv("RUNTIME_DIRECTORY", run.c_str(), 1);
  // The mask it is started with (the unit's UMask=) stays; it stops well within a second.
  const mode_t mask = umask(027);
  pid = daemon_.StartForeground(notify);
  umask(mask);
  unsetenv("RUNTIME_DIRECTORY");
  ASSERT_NE(pid, 0) << daemon_.error();
  ASSERT_EQ(NextNotice(systemd, 5000), "READY=1") << kqs::ScratchDir::ReadFile(daemon_.stderrPath());
  EXPECT_EQ(kqs::ScratchDir::ReadFile(run + "/kqsd.pid"), std::to_string(pid) + "\n");
  EXPECT_FALSE(kqs::ScratchDir::Exists(daemon_.iniPath())) << "kqsd.ini written under the unit";
  EXPECT_FALSE(Discover(300).empty()) << "ready before discovery answers";
  Console again;
  EXPECT_EQ(Code(again, KQS_UPDATE, TYPE_PRINTQUEUE), KQS_INVALID_OPERATION);
  again.Close();
  EXPECT_NE(kqs::ScratchDir::ReadFile("/proc/" + std::to_string(pid) + "/status").find("Umask:\t0027"),
            std::string::npos);
  const auto stopping = std::chrono::steady_clock::now();
  Stop(pid);
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 1000ms);
  EXPECT_EQ(NextNotice(systemd, 1000), "STOPPING=1");
  close(systemd);
  events = Logged();
  EXPECT_EQ(Count(events, kStartFailed), 0u);
  for (auto e : {kOnDefaults, kLpService, kNoInterfaces, kNoLpadmin}) EXPECT_EQ(Count(events, e), 1u) << e.second;
  const std::string err = kqs::ScratchDir::ReadFile(daemon_.stderrPath());
  EXPECT_NE(err.find("information 40: Using the LP print service at / "), std::string::npos) << err;
  EXPECT_NE(err.find(" IdleTimeout=300 "), std::string::npos) << "no idle limit without kqsd.ini";
}

TEST_F(DaemonTest, NoConsoleLocksOutAnotherAddressNorGuessesByReconnectingNorDoesASilentLog) {
  Configure("", "RequestTimeout=2\nSendTimeout=3\nKeepAlive=1\n");
  // The LP command behind queue states reports the descriptors it was given.
  const std::string lpquery = daemon_.lpRoot() + "/usr/lib/lpquery", fds = daemon_.installDir() + "/fds";
  ASSERT_TRUE(unlink(lpquery.c_str()) == 0 && kqs::ScratchDir::WriteFile(lpquery, "#!/bin/sh\nls -l /proc/$$/fd >" + fds) &&
              chmod(lpquery.c_str(), 0755) == 0 && kqs::ScratchDir::WriteFile(fds, "") && chmod(fds.c_str(), 0666) == 0);
  const pid_t pid = Start();
  ASSERT_NE(pid, 0);
  const kqs::Bytes request = RequestBytes(KQS_UPDATE, TYPE_PRINTQUEUE);
  // From 127.0.0.1: a hundred idle sockets, one that never reads its
  // answers, and one that vanished without a word (its host gone).
  std::vector<int> idle;
  for (int i = 0; i < 100; ++i) idle.push_back(ConnectFrom("127.0.0.1", "127.0.0.1"));
  const int deaf = ConnectFrom("127.0.0.3", "127.0.0.1");
  for (int i = 0; i < 20000 && send(deaf, request.data(), request.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0; ++i) {
  }
  // A console on another host that vanishes: its link goes down, so
  // nothing it was sent is answered, not even with a reset.
  kqs::probetest::PeerNetns host;
  ASSERT_TRUE(host.Create(5));
  const int gone = host.Socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in daemon = kqs::probetest::Ipv4(host.LocalAddr().c_str(), kqs::kManagementPort);
  ASSERT_EQ(connect(gone, reinterpret_cast<const sockaddr*>(&daemon), sizeof daemon), 0);
  ASSERT_EQ(kqs::probetest::Sh(host.Inside("ip link set kqpeer down")), 0);
  const auto vanished = std::chrono::steady_clock::now();
  // Elsewhere one request a second, and one request a byte at a time.
  std::atomic<bool> going{true};
  std::thread steady([&] {
    Console c(kqs::kManagementPort, "127.0.0.5");
    while (going && Code(c, KQS_UPDATE, TYPE_PRINTQUEUE) == KQS_INVALID_OPERATION) std::this_thread::sleep_for(1s);
  });
  std::thread dribbler([&] {
    Console slow(kqs::kManagementPort, "127.0.0.6");
    for (size_t i = 0; going && i < request.size() && slow.Send({request[i]}); ++i) std::this_thread::sleep_for(500ms);
  });

  // An administrator from another address is answered at once.
  std::this_thread::sleep_for(300ms);
  auto start = std::chrono::steady_clock::now();
  Console admin(kqs::kManagementPort, "127.0.0.2");
  EXPECT_EQ(Code(admin, KQS_ENUM_CONTAINER, TYPE_PRINTDRIVER), KQS_SUCCESS) << "locked out";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  // With over a hundred connections open, a program the daemon runs gets
  // none of their sockets (nor any other descriptor of the daemon's).
  Code(admin, KQS_ENUM_CONTAINER, TYPE_KQS_QUEUE_STATE);
  EXPECT_TRUE(kqs::ScratchDir::ReadFile(fds).find(" 2 -> ") != std::string::npos &&
              kqs::ScratchDir::ReadFile(fds).find("socket:") == std::string::npos) << kqs::ScratchDir::ReadFile(fds);
  // Each descriptor the daemon holds beyond its standard ones is close-on-exec.
  for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fdinfo")) {
    std::smatch flags;
    const std::string info = kqs::ScratchDir::ReadFile(e.path());
    if (std::stoi(e.path().filename()) > 2 && std::regex_search(info, flags, std::regex(R"(flags:\s+(\d+))"))) {
      EXPECT_NE(std::stoul(flags[1], nullptr, 8) & O_CLOEXEC, 0u) << e.path();
    }
  }
  // Each console that holds on is dropped by the limit meant for it: the
  // vanished one once it has been silent for KeepAlive + KeepAlive/3 and
  // SendTimeout (3 s here), as documented.
  // Both are awaited here, before the flood of discovery below, whose
  // dropped entries could take them along on a busy machine.
  Events events;
  auto lost = vanished;
  while ((Count(events, kLost) == 0 || Count(events, kNotTaken) == 0) &&
         std::chrono::steady_clock::now() - vanished < 20s) {
    const Events more = Logged();
    if (Count(events, kLost) == 0 && Count(more, kLost) != 0) lost = std::chrono::steady_clock::now();
    events.insert(events.end(), more.begin(), more.end());
  }
  EXPECT_GE(lost - vanished, 2500ms);
  // Guesses over new connections: the first kFreeRefusals come at once,
  // then each waits longer (1 s, then 2 s).
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < kqs::kFreeRefusals + 2; ++i) {
    Console guesser(kqs::kManagementPort, "127.0.0.7");
    EXPECT_EQ(Code(guesser, KQS_ADMIN_ACCESS, TYPE_DOMAIN, "admin", "guess"), KQS_NO_ACCESS);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2900ms) << "guessing by reconnecting is not slowed";
  // The administrator checks the password however often others guessed.
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(Code(admin, KQS_ADMIN_ACCESS, TYPE_DOMAIN, "admin", "secret"), KQS_SUCCESS);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

  going = false;
  steady.join();
  dribbler.join();

  // The system log stops reading: requests and discovery go on, entries are
  // dropped and counted, and the count is reported once the log reads again.
  for (int i = 0; i < 3000; ++i) ASSERT_FALSE(Discover().empty()) << "discovery stalled at " << i;
  EXPECT_EQ(Code(admin, KQS_UPDATE, TYPE_PRINTQUEUE), KQS_INVALID_OPERATION);
  const Events more = Logged();
  EXPECT_GE(Count(more, kDropped), 1u) << "the dropped entries were not reported";
  events.insert(events.end(), more.begin(), more.end());
  for (auto [event, n] : {std::pair{kSlowRequest, 1u}, {kNotTaken, 1u}, {kLost, 1u}, {kDisplaced, 96u}, {kGuessing, 1u}})
    EXPECT_EQ(Count(events, event), n) << event.second;
  for (int s : idle) close(s);
  close(deaf);
  close(gone);
  Stop(pid);
}

TEST_F(DaemonTest, OptInAccessEnforcementIdleTimeoutAndWhoMayConnect) {
  // An Enforce value that is no truth value turns the check on. Allow ends
  // in its 32nd network, written with its host bits set.
  std::string nets;
  for (int i = 0; i < 31; ++i) nets += "2001:db8:" + std::to_string(i) + "::/48,";
  Configure("Enforce=maybe\nAllow=" + nets + "127.0.0.1/31\n", "IdleTimeout=1\nListenAddress=127.0.0.1\n");
  const pid_t pid = Start();
  ASSERT_NE(pid, 0);

  Console first;
  EXPECT_EQ(Code(first, KQS_ADD, TYPE_PHYSICAL_PRINTER, "p1", kPort), KQS_NO_ACCESS);
  EXPECT_EQ(Code(first, KQS_REMOVE, TYPE_PRINTQUEUE, "draft"), KQS_NO_ACCESS);
  EXPECT_EQ(Code(first, KQS_ENUM_CONTAINER, TYPE_PRINTDRIVER), KQS_SUCCESS);
  // What the server does not handle is invalid, not refused; its own update asks for access.
  EXPECT_EQ(Code(first, KQS_UPDATE, TYPE_PRINTQUEUE, "lab", "Action=enable;Reason="), KQS_INVALID_OPERATION);
  EXPECT_EQ(Code(first, KQS_UPDATE, TYPE_KQS_QUEUE_STATE, "lab", "Action=enable;Reason="), KQS_NO_ACCESS);
  EXPECT_EQ(Code(first, KQS_ADMIN_ACCESS, TYPE_DOMAIN, "admin", "secret"), KQS_SUCCESS);
  EXPECT_EQ(Code(first, KQS_ADD, TYPE_PHYSICAL_PRINTER, "p1", kPort), KQS_SUCCESS);

  // The first console sends nothing but malformed requests: none is
  // answered, so the idle limit ends its connection. A second one is served
  // meanwhile, without the check the first one passed.
  kqs::Bytes bad = RequestBytes(KQS_UPDATE, TYPE_PRINTQUEUE);
  bad.back() = 0x55;
  std::thread babbler([&] {
    for (int i = 0; i < 10 && first.Send(bad); ++i) std::this_thread::sleep_for(200ms);
  });
  Console second;
  EXPECT_EQ(Code(second, KQS_REMOVE, TYPE_PHYSICAL_PRINTER, "p1"), KQS_NO_ACCESS);
  second.Close();
  babbler.join();
  EXPECT_EQ(Code(first, KQS_UPDATE, TYPE_PRINTQUEUE), ~0u) << "the idle connection still answers";

  // Five wrong passwords on one connection, and it is closed.
  Console guesser;
  for (int i = 0; i < kqs::kMaxRefusedChecks; ++i)
    EXPECT_EQ(Code(guesser, KQS_ADMIN_ACCESS, TYPE_DOMAIN, "admin", "guess"), KQS_NO_ACCESS);
  EXPECT_EQ(Code(guesser, KQS_ADMIN_ACCESS, TYPE_DOMAIN, "admin", "secret"), ~0u);

  // Only Allow's networks are served, and only on ListenAddress.
  const int outsider = ConnectFrom("127.0.0.5", "127.0.0.1");
  ASSERT_GE(outsider, 0);
  const kqs::Bytes request = RequestBytes(KQS_UPDATE, TYPE_PRINTQUEUE);
  EXPECT_EQ(send(outsider, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
  EXPECT_TRUE(ClosedWithoutAnswer(outsider, 5000));
  close(outsider);
  EXPECT_EQ(ConnectFrom("127.0.0.1", "127.0.0.2"), -1);
  Stop(pid);

  const Events events = Logged();
  for (auto [event, n] : {std::pair{kNotATruth, 1u}, {kIdle, 1u}, {kRefused, 5u}, {kTooManyRefused, 1u},
                          {kNotAllowed, 1u}})
    EXPECT_EQ(Count(events, event), n) << event.second;
}

}  // namespace
