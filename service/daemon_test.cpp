// End to end: the real kqsd, started from a scratch installation directory
// (the program linked in, its catalog, a kqsd.ini whose LP root is a sandbox
// tree made by lpsvc), driven over UDP and TCP on 127.0.0.1:55554 as a
// console would, with the events it logs read back from a private syslog
// socket. Each test runs in its own network and mount namespace, and this
// process is the subreaper that inherits the double-forked daemon.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/host/mtsafe.h"
#include "common/host/sysinfo.h"
#include "common/testing/daemon_sandbox.h"
#include "common/testing/scratch_dir.h"
#include "common/testing/syslog_capture.h"
#include "protocol/kqsids.h"

namespace {

using namespace std::chrono_literals;
using kqs::Answer;
using kqs::Console;
using kqs::Discover;
using kqs::RequestBytes;
using Events = std::vector<std::pair<int, unsigned>>;  // (type, id) as logged

// The catalog source: a message text, split at its "%s", and its event.
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
      const size_t at = text.find("%s");
      const bool insertion = at != std::string::npos;
      entries.push_back({text.substr(0, at), insertion ? text.substr(at + 2) : "", insertion,
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
    kAccepted{1, 11}, kListenerClosed{1, 12}, kClosingListener{1, 13}, kStartFailed{0, 101},
    kPortAdded{2, 200};
const Events kShutdownTail = {kClosingListener, kListenerClosed, kStopped};
const std::string kPort = "HostName=p1;IPAddress=10.0.0.9;HWAddress=0800091A2B3C;Port=9100";

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(kqs::EnterDaemonSandbox(&error, kqs::SandboxLog::kLeftToCaller)) << error;
    ASSERT_TRUE(log_.Start()) << log_.error();
    catalog_ = LoadCatalog();
    ASSERT_GE(catalog_.size(), 14u);
    ASSERT_TRUE(daemon_.Prepare("[ACCESS]\nPasswd=" + std::string(xCrypt("secret", "zQ")) + "\n"))
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
    }
    return events;
  }

  static Events Tail(const Events& all, size_t n) {
    return Events(all.end() - std::min(n, all.size()), all.end());
  }

  kqs::SyslogCapture log_;
  kqs::SandboxDaemon daemon_;  // after log_: killed before the capture goes
  std::vector<CatalogEntry> catalog_;
};

TEST_F(DaemonTest, DetachesAnswersDiscoveryIgnoresHangupAndKeepsItsPortFromASecondDaemon) {
  const pid_t pid = Start();
  ASSERT_NE(pid, 0);
  char host[128];
  ASSERT_EQ(xGetHostOS(host, sizeof host), 0);
  EXPECT_EQ(Discover(), std::string("Platform=PRINTSERVER_UNIX;Uname=") + host +
                            ";Protocol=1;VMajor=3;VMinor=0;VUpdate=0;VBuild=394;Install=" +
                            daemon_.installDir() + "/");

  // A session of its own, running as lp alone with the creation mask 042.
  EXPECT_NE(getsid(pid), getsid(0));
  const std::string status = kqs::ScratchDir::ReadFile("/proc/" + std::to_string(pid) + "/status");
  for (const char* line : {"Uid:\t7\t7\t7\t7", "Gid:\t7\t7\t7\t7", "Umask:\t0042", "Groups:\t7 \n"})
    EXPECT_NE(status.find(line), std::string::npos) << line << " in\n" << status;

  kill(pid, SIGHUP);
  kill(pid, SIGPIPE);
  EXPECT_FALSE(Discover().empty()) << "stopped by SIGHUP or SIGPIPE";
  Events events = Logged();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front(), kStarted);
  EXPECT_EQ(std::count(events.begin(), events.end(), kReceived), 2);  // two discoveries

  // A second daemon fails at the port and ends by itself; the first runs on.
  const pid_t second = Start(false);
  ASSERT_NE(second, 0);
  ASSERT_NE(second, pid);
  EXPECT_TRUE(kqs::ExitedWithZero(kqs::WaitForExit(second, 5000ms)))
      << "the second daemon did not end by itself";
  EXPECT_EQ(Logged(), (Events{kStarted, kStartFailed}));
  EXPECT_FALSE(Discover().empty()) << "the first daemon stopped answering";
  Console console;
  EXPECT_EQ(Code(console, KQS_UPDATE, TYPE_PRINTQUEUE), KQS_INVALID_OPERATION);
  console.Close();

  Stop(pid);
  events = Logged();
  // Shutdown with no console left: the wake-up connection is accepted, the
  // discovery socket and that connection are closed, then the listener.
  EXPECT_EQ(Tail(events, 3), kShutdownTail);
  EXPECT_EQ(std::count(events.begin(), events.end(), kAccepted), 2);  // console, wake-up
  EXPECT_EQ(std::count(events.begin(), events.end(), kClosed), 3);
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
  EXPECT_TRUE(kqs::ScratchDir::Exists(script));
  r = console.Ask(RequestBytes(KQS_ENUM_CONTAINER, TYPE_PRINTQUEUE));
  EXPECT_EQ(r.returnCode, KQS_SUCCESS);
  EXPECT_NE(std::string(r.result.begin(), r.result.end()).find("draft"), std::string::npos);
  EXPECT_EQ(Code(console, KQS_REMOVE, TYPE_PRINTQUEUE, "draft"), KQS_SUCCESS);
  EXPECT_FALSE(kqs::ScratchDir::Exists(script));

  // Without the opt-in settings changes need no check and a silent
  // connection is not timed out.
  EXPECT_EQ(Code(console, KQS_ADD, TYPE_PHYSICAL_PRINTER, "p1", kPort), KQS_SUCCESS);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(Code(console, KQS_REMOVE, TYPE_PHYSICAL_PRINTER, "p1"), KQS_SUCCESS);

  EXPECT_EQ(Code(console, KQS_ADMIN_ACCESS, TYPE_DOMAIN, "admin", "secret"), KQS_SUCCESS);
  EXPECT_EQ(Code(console, KQS_ADMIN_ACCESS, TYPE_PRINTSERVER, "admin", "guess"), KQS_NO_ACCESS);
  EXPECT_EQ(Code(console, KQS_QUERY_FILES, TYPE_PRINTQUEUE), KQS_INVALID_OPERATION);
  r = console.Ask(RequestBytes(KQS_UPDATE, TYPE_PRINTQUEUE));
  EXPECT_EQ(r.returnCode, KQS_INVALID_OPERATION);
  EXPECT_EQ(r.operation, KQS_UPDATE);
  EXPECT_EQ(r.objectType, TYPE_PRINTQUEUE);
  EXPECT_EQ(Code(console, KQS_ADD, TYPE_PRINTDRIVER), KQS_INVALID_OBJECT_TYPE);

  // A malformed request is dropped; the connection serves the next one.
  kqs::Bytes bad = RequestBytes(KQS_UPDATE, TYPE_PRINTQUEUE);
  bad.back() = 0x55;
  EXPECT_EQ(console.Ask(bad, 300).returnCode, ~0u) << "a malformed request was answered";
  EXPECT_EQ(Code(console, KQS_UPDATE, TYPE_PRINTQUEUE), KQS_INVALID_OPERATION);

  // SIGTERM with the console still connected.
  Stop(pid);
  Answer none;
  EXPECT_FALSE(console.Receive(&none, 100));
  Events events = Logged();
  EXPECT_EQ(std::count(events.begin(), events.end(), kReceived), 14);  // every request
  EXPECT_EQ(std::count(events.begin(), events.end(), kPortAdded), 1);
  EXPECT_EQ(Tail(events, 3), kShutdownTail);

  // The daemon closed the connection first, so its port has a connection in
  // TIME_WAIT: a restart at once must still be able to listen.
  pid = Start();
  ASSERT_NE(pid, 0) << "restart failed";
  Console again;
  EXPECT_EQ(Code(again, KQS_UPDATE, TYPE_PRINTQUEUE), KQS_INVALID_OPERATION);
  again.Close();
  Stop(pid);
  events = Logged();
  EXPECT_EQ(std::count(events.begin(), events.end(), kStartFailed), 0);
}

TEST_F(DaemonTest, SecondConsoleWaitsUntilTheFirstDisconnects) {
  const pid_t pid = Start();
  ASSERT_NE(pid, 0);
  auto first = std::make_unique<Console>();
  ASSERT_EQ(Code(*first, KQS_UPDATE, TYPE_PRINTQUEUE), KQS_INVALID_OPERATION);

  Console second;
  ASSERT_TRUE(second.connected());  // waits in the backlog
  ASSERT_TRUE(second.Send(RequestBytes(KQS_QUERY_FILES, TYPE_PRINTQUEUE)));
  Answer r;
  EXPECT_FALSE(second.Receive(&r, 300)) << "served while another console was";
  first.reset();
  ASSERT_TRUE(second.Receive(&r, 5000));
  EXPECT_EQ(r.returnCode, KQS_INVALID_OPERATION);
  EXPECT_EQ(r.operation, KQS_QUERY_FILES);

  Stop(pid);
  // Both consoles are served one after the other, then shutdown closes the
  // second (and the discovery socket).
  Events served;
  for (const auto& e : Logged())
    if (e == kAccepted || e == kReceived || e == kClosed) served.push_back(e);
  ASSERT_GE(served.size(), 6u);
  EXPECT_EQ(Events(served.begin(), served.begin() + 6),
            (Events{kAccepted, kReceived, kClosed, kAccepted, kReceived, kClosed}));
}

TEST_F(DaemonTest, OptInAccessEnforcementAndIdleTimeout) {
  // Into the fixture's own [ACCESS] section: keys under a repeated header
  // would be ignored.
  std::string ini = std::regex_replace(kqs::ScratchDir::ReadFile(daemon_.iniPath()),
                                       std::regex(R"(\[ACCESS\]\n)"), "[ACCESS]\nEnforce=1\n");
  ini += "[Process Settings]\nProcessID=0\nIdleTimeout=1\n";
  ASSERT_TRUE(kqs::ScratchDir::WriteFile(daemon_.iniPath(), ini));
  const pid_t pid = Start();
  ASSERT_NE(pid, 0);

  Console first;
  EXPECT_EQ(Code(first, KQS_ADD, TYPE_PHYSICAL_PRINTER, "p1", kPort), KQS_NO_ACCESS);
  EXPECT_EQ(Code(first, KQS_REMOVE, TYPE_PRINTQUEUE, "draft"), KQS_NO_ACCESS);
  EXPECT_EQ(Code(first, KQS_ENUM_CONTAINER, TYPE_PRINTDRIVER), KQS_SUCCESS);
  EXPECT_EQ(Code(first, KQS_ADMIN_ACCESS, TYPE_DOMAIN, "admin", "secret"), KQS_SUCCESS);
  EXPECT_EQ(Code(first, KQS_ADD, TYPE_PHYSICAL_PRINTER, "p1", kPort), KQS_SUCCESS);

  // The first console falls silent while a second waits in the backlog: the
  // idle limit ends the first connection and the second is served, without
  // the check the first one passed.
  Console second;
  ASSERT_TRUE(second.connected());
  ASSERT_TRUE(second.Send(RequestBytes(KQS_REMOVE, TYPE_PHYSICAL_PRINTER, "p1")));
  const auto start = std::chrono::steady_clock::now();
  Answer r;
  ASSERT_TRUE(second.Receive(&r, 5000)) << "a silent console blocked the next one";
  EXPECT_GE(std::chrono::steady_clock::now() - start, 700ms) << "closed before the idle limit";
  EXPECT_EQ(r.returnCode, KQS_NO_ACCESS);
  EXPECT_FALSE(first.Receive(&r, 100));
  EXPECT_EQ(Code(first, KQS_UPDATE, TYPE_PRINTQUEUE), ~0u) << "the idle connection still answers";
  Stop(pid);
}

}  // namespace
