// kqsctl as a user runs it, against a real kqsd serving a sandbox LP tree in
// a private network namespace, and against no daemon at all.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/testing/daemon_sandbox.h"
#include "common/testing/run.h"
#include "common/testing/scratch_dir.h"

namespace {

using kqs::ScratchDir;
using std::chrono::steady_clock;

using Outcome = kqs::RunResult;

// Runs kqsctl with args and stdin_text on its standard input.
Outcome Kqsctl(std::vector<std::string> args, const std::string& stdin_text = "") {
  args.insert(args.begin(), KQSCTL_PATH);
  return kqs::Run(args, stdin_text);
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A sandboxed daemon whose kqsd.ini holds extra_ini and the password set by
// "kqsctl passwd", "letmein", in a fresh network namespace unless
// same_namespace. Returns "" or what failed.
std::string StartDaemon(kqs::SandboxDaemon* daemon, const std::string& extra_ini = "", bool same_namespace = false) {
  std::string error;
  // The process keeps its own /dev, which the terminal tests need.
  if (!same_namespace && !kqs::EnterDaemonSandbox(&error, kqs::SandboxLog::kLeftToCaller)) return error;
  if (!daemon->Prepare(extra_ini)) return daemon->error();
  const Outcome passwd = Kqsctl({"passwd", "--ini", daemon->iniPath()}, "letmein\n");
  if (passwd.status != 0) return "kqsctl passwd: " + passwd.all();
  return daemon->Start() != 0 ? "" : daemon->error();
}

// One daemon for the suite: an LP tree from lpsvc, a directory with kqsd,
// kqsd.cat and a kqsd.ini naming the tree, the password "letmein".
class KqsctlDaemonTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    daemon_ = std::make_unique<kqs::SandboxDaemon>();
    failure_ = StartDaemon(daemon_.get());
  }
  static void TearDownTestSuite() {
    if (daemon_->pid() > 0) {
      EXPECT_NE(-1, daemon_->Stop(0, std::chrono::seconds(15))) << "kqsd did not stop within 15 s of SIGTERM";
    }
    daemon_.reset();
  }
  void SetUp() override { ASSERT_EQ("", failure_); }

  static Outcome Ctl(std::vector<std::string> args, const std::string& stdin_text = "") {
    return Kqsctl(std::move(args), stdin_text);
  }
  static std::string Root() { return daemon_->lpRoot(); }
  static std::string Home() { return daemon_->installDir(); }

  static std::unique_ptr<kqs::SandboxDaemon> daemon_;
  static std::string failure_;
};

std::unique_ptr<kqs::SandboxDaemon> KqsctlDaemonTest::daemon_;
std::string KqsctlDaemonTest::failure_;

TEST_F(KqsctlDaemonTest, DiscoverShowsTheServer) {
  const Outcome table = Ctl({"discover", "--to", "127.0.0.1"});
  ASSERT_EQ(0, table.status) << table.all();
  EXPECT_TRUE(Contains(table.out, "127.0.0.1")) << table.out;
  EXPECT_TRUE(Contains(table.out, "PRINTSERVER_UNIX")) << table.out;
  EXPECT_TRUE(Contains(table.out, "3.0.0.394")) << table.out;

  const Outcome json = Ctl({"discover", "--to", "127.0.0.1", "--json"});
  ASSERT_EQ(0, json.status) << json.all();
  EXPECT_TRUE(Contains(json.out, R"("protocol":1)")) << json.out;
  EXPECT_TRUE(Contains(json.out, R"("vBuild":394)")) << json.out;
  EXPECT_TRUE(Contains(json.out, "\"install\":\"" + Home() + "/\"")) << json.out;
}

TEST_F(KqsctlDaemonTest, ListsEveryModelAndTheMonitor) {
  std::set<std::string> expected;
  for (const char* sub : {"/usr/lib/lp/model", "/opt/qvnx/sh"}) {
    for (const auto& e : std::filesystem::directory_iterator(Root() + sub)) {
      if (e.is_regular_file() && e.path().filename() != "qvnx.model") expected.insert(e.path().filename());
    }
  }
  const Outcome drivers = Ctl({"drivers"});
  ASSERT_EQ(0, drivers.status) << drivers.all();
  std::set<std::string> listed;
  size_t start = drivers.out.find('\n') + 1;  // below the header
  for (size_t end; (end = drivers.out.find('\n', start)) != std::string::npos; start = end + 1) {
    listed.insert(drivers.out.substr(start, end - start));
  }
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(expected, listed) << drivers.out;

  const Outcome monitors = Ctl({"monitors"});
  ASSERT_EQ(0, monitors.status) << monitors.all();
  EXPECT_TRUE(Contains(monitors.out, "QV Tarlomin for UNIX")) << monitors.out;
  const std::string version = ScratchDir::ReadFile(Root() + "/opt/qvnx/version");  // "Revision C.02.15\n..."
  EXPECT_TRUE(Contains(monitors.out, version.substr(9, version.find('\n') - 9))) << monitors.out << version;
}

TEST_F(KqsctlDaemonTest, AddsListsAndRemovesAQueue) {
  const Outcome added = Ctl({"add-queue", "demo1", "--model", "postscript", "--device", "/dev/null", "--type",
                             "LaserModel", "--pslevel", "3", "--banner"});
  ASSERT_EQ(0, added.status) << added.all();
  EXPECT_EQ("", added.all());  // quiet, as lpadmin is
  // The options reached the queue's scripts under their own keys.
  const std::string kept = ScratchDir::ReadFile(Root() + "/etc/lp/interfaces/model.orig/demo1");
  EXPECT_TRUE(Contains(kept, "PRINTMODEL=\"LaserModel\"")) << kept;
  EXPECT_TRUE(Contains(kept, "PSLEVEL=\"3\"")) << kept;
  EXPECT_TRUE(Contains(kept, "BANNER=\"yes\"")) << kept;
  EXPECT_TRUE(Contains(ScratchDir::ReadFile(Root() + "/etc/lp/interfaces/demo1"), "PERIPH=/dev/null"));

  Outcome queues = Ctl({"queues"});
  EXPECT_TRUE(queues.status == 0 && Contains(queues.out, "demo1")) << queues.all();
  queues = Ctl({"queues", "--json"});
  EXPECT_TRUE(Contains(queues.out, R"("name":"demo1")")) << queues.out;

  const Outcome again = Ctl({"add-queue", "demo1", "--model", "postscript", "--device", "/dev/null", "--json"});
  EXPECT_EQ(1, again.status) << again.all();
  EXPECT_TRUE(Contains(again.err, "KQS_QUEUE_EXISTS_AS_QUEUE")) << again.err;
  EXPECT_TRUE(Contains(again.out, R"("codeName":"KQS_QUEUE_EXISTS_AS_QUEUE","hint":"remove it first)")) << again.out;

  const Outcome removed = Ctl({"remove-queue", "demo1", "--verbose"});
  ASSERT_EQ(0, removed.status) << removed.all();
  EXPECT_TRUE(Contains(removed.out, "remove-queue demo1: KQS_SUCCESS")) << removed.out;
  queues = Ctl({"queues"});
  EXPECT_TRUE(queues.status == 0 && !Contains(queues.out, "demo1")) << queues.all();
  const Outcome gone = Ctl({"remove-queue", "demo1"});
  EXPECT_EQ(1, gone.status) << gone.all();
  EXPECT_TRUE(Contains(gone.err, "KQS_INVALID_OBJECT_NAME")) << gone.err;
  EXPECT_TRUE(Contains(gone.err, "kqsctl queues lists")) << gone.err;
}

TEST_F(KqsctlDaemonTest, LoginGrantsTheRightPasswordOnly) {
  const Outcome granted = Ctl({"login"}, "letmein\n");
  EXPECT_EQ(0, granted.status) << granted.all();
  EXPECT_TRUE(Contains(granted.out, "access granted")) << granted.all();
  const Outcome refused = Ctl({"login"}, "letmeout\n");
  EXPECT_EQ(1, refused.status) << refused.all();
  EXPECT_TRUE(Contains(refused.err, "KQS_NO_ACCESS")) << refused.all();
  EXPECT_TRUE(Contains(refused.err, "the password is wrong")) << refused.all();
}

// The kqsd.console collection as a playbook uses it: a queue added (changed),
// added again (unchanged), seen in the facts, removed (changed); check mode
// changes nothing and reports what it would have changed.
TEST_F(KqsctlDaemonTest, AnsibleAddsAQueueOnceAndRemovesIt) {
  if (std::system("command -v ansible-playbook >/dev/null") != 0) {
    GTEST_SKIP() << "ansible-playbook is missing: install the Debian package ansible-core to run this test";
  }
  const std::string dir = Home() + "/ansible";
  std::filesystem::create_directories(dir + "/ansible_collections/kqsd");
  std::filesystem::create_directory_symlink(KQS_ANSIBLE_DIR, dir + "/ansible_collections/kqsd/console");
  ScratchDir::WriteFile(dir + "/play.yml", R"(- hosts: all
  connection: local
  gather_facts: false
  tasks:
    - kqsd.console.kqsd_queue: &q {name: ans1, model: postscript, device: /dev/null, login: letmein, kqsctl: )" +
                                               std::string(KQSCTL_PATH) + R"(}
      register: first
    - kqsd.console.kqsd_queue: *q
      register: second
    - kqsd.console.kqsd_facts: {kqsctl: )" + std::string(KQSCTL_PATH) + R"(}
    - kqsd.console.kqsd_queue: {<<: *q, state: absent}
      register: third
    - assert:
        that:
          - first.changed and second.changed == ansible_check_mode and third.changed != ansible_check_mode
          - ("ans1" in kqsd.queues | map(attribute="name")) != ansible_check_mode
          - kqsd.discovery.vBuild == 394 and kqsd.monitor.product == "QV Tarlomin for UNIX"
)");
  auto play = [&](std::vector<std::string> extra) {
    std::vector<std::string> argv = {"ansible-playbook", "-i", "localhost,", dir + "/play.yml"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return kqs::Run(argv, "",
                    {"ANSIBLE_COLLECTIONS_PATH=" + dir, "ANSIBLE_LOCAL_TEMP=" + dir + "/tmp",
                     "ANSIBLE_PYTHON_INTERPRETER=auto_silent"});
  };
  Outcome r = play({"--check"});
  EXPECT_TRUE(r.status == 0 && Contains(r.out, "All assertions passed")) << r.all();
  EXPECT_FALSE(ScratchDir::Exists(Root() + "/etc/lp/interfaces/ans1")) << "check mode created the queue";
  r = play({});
  EXPECT_TRUE(r.status == 0 && Contains(r.out, "All assertions passed")) << r.all();
  EXPECT_FALSE(Contains(r.all(), "letmein")) << "the password was logged: " << r.all();
  EXPECT_FALSE(ScratchDir::Exists(Root() + "/etc/lp/interfaces/ans1"));
}

// Under Enforce=1 the server makes a change only for a connection that has
// passed the password check, and kqsctl opens a connection per command:
// --login checks the password on the connection the change then uses.
TEST(KqsctlEnforceTest, ChangesNeedLoginOnTheSameConnection) {
  kqs::SandboxDaemon daemon;
  ASSERT_EQ("", StartDaemon(&daemon, "[ACCESS]\nEnforce=1\n"));
  const auto ctl = [](std::vector<std::string> args, const std::string& stdin_text = "") {
    return Kqsctl(std::move(args), stdin_text);
  };
  const std::vector<std::string> add_port = {"add-port", "p1",   "--host", "printer7",         "--ip",
                                             "10.0.0.7", "--hw", "00:11:22:33:44:55", "--port", "9100"};
  auto with_login = [](std::vector<std::string> args) {
    args.push_back("--login");
    return args;
  };

  Outcome r = ctl(add_port);
  EXPECT_EQ(1, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "KQS_NO_ACCESS: access denied by the server; the server requires a password: add --login"))
      << r.err;
  r = ctl(with_login(add_port), "letmeout\n");
  EXPECT_EQ(1, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "add-port p1: login: KQS_NO_ACCESS")) << r.err;
  r = ctl(with_login(add_port), "letmein\n");
  EXPECT_EQ(0, r.status) << r.all();

  r = ctl({"remove-port", "p1", "--login"}, "letmein\n");
  EXPECT_EQ(0, r.status) << r.all();

  const std::vector<std::string> add_queue = {"add-queue", "gate1", "--model", "postscript", "--device", "/dev/null"};
  r = ctl(add_queue);
  EXPECT_EQ(1, r.status) << r.all();
  EXPECT_FALSE(ScratchDir::Exists(daemon.lpRoot() + "/etc/lp/interfaces/gate1"));
  r = ctl(with_login(add_queue), "letmein\n");
  EXPECT_EQ(0, r.status) << r.all();
  EXPECT_TRUE(ScratchDir::Exists(daemon.lpRoot() + "/etc/lp/interfaces/gate1"));
  r = ctl({"remove-queue", "gate1", "--login"}, "letmein\n");
  EXPECT_EQ(0, r.status) << r.all();
  EXPECT_FALSE(ScratchDir::Exists(daemon.lpRoot() + "/etc/lp/interfaces/gate1"));

  std::filesystem::rename(daemon.lpRoot() + "/etc/lp/interfaces", daemon.lpRoot() + "/etc/lp/gone");
  r = ctl({"queues"});
  EXPECT_EQ(1, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "KQS_FAILURE")) << r.err;
  EXPECT_TRUE(Contains(r.err, "check [LP Service] Root")) << r.err;

  EXPECT_TRUE(kqs::ExitedWithZero(daemon.Stop()));
}

// Two servers on 127.0.0.2 and .3 and none on .4: a command on all of them
// gives every live server's result within the time-out and names the dead
// one; a single dead or silent server is reported, never waited on.
TEST(KqsctlFleetTest, ManyServersAtOnceAndServersThatDoNotAnswer) {
  kqs::SandboxDaemon first, second;
  ASSERT_EQ("", StartDaemon(&first, "[Process Settings]\nListenAddress=127.0.0.2\n"));
  ASSERT_EQ("", StartDaemon(&second, "[Process Settings]\nListenAddress=127.0.0.3\n", true));
  ScratchDir dir;
  const std::string hosts = dir / "hosts";
  ASSERT_TRUE(ScratchDir::WriteFile(hosts, "# print servers\n127.0.0.2\n127.0.0.3\n\n127.0.0.4\n"));

  auto start = steady_clock::now();
  Outcome r = Kqsctl({"--hosts", hosts, "queues", "--json", "--timeout", "2000"});
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(3, r.status) << r.all();
  for (const char* host : {"127.0.0.2", "127.0.0.3"})
    EXPECT_TRUE(Contains(r.out, std::string(R"({"host":")") + host + R"(","status":0,"result":[])")) << r.out;
  EXPECT_TRUE(Contains(r.out, R"({"host":"127.0.0.4","status":3,"error":)")) << r.out;
  r = Kqsctl({"--hosts", hosts, "add-queue", "fleet1", "--model", "standard", "--device", "/dev/null"});
  EXPECT_EQ(3, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "1 of 3 failed")) << r.err;
  for (const kqs::SandboxDaemon* d : {&first, &second})
    EXPECT_TRUE(ScratchDir::Exists(d->lpRoot() + "/etc/lp/interfaces/fleet1")) << d->lpRoot();

  r = Kqsctl({"-H", "127.0.0.4", "queues"});
  EXPECT_EQ(3, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "connection refused")) << r.err;
  // login connects before it asks for the password.
  r = Kqsctl({"-H", "127.0.0.4", "login"});
  EXPECT_EQ(3, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "connection refused")) << r.err;
  r = Kqsctl({"discover", "--to", "127.0.0.4", "--timeout", "300"});
  EXPECT_EQ(3, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "no server answered")) << r.err;

  // A server that takes the connection and never answers.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(55554);
  a.sin_addr.s_addr = inet_addr("127.0.0.4");
  ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, listen(fd, 4));
  start = steady_clock::now();
  r = Kqsctl({"-H", "127.0.0.4", "drivers", "--timeout", "300"});
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(20));
  close(fd);
  EXPECT_EQ(3, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "the server may be serving another console")) << r.err;
}

}  // namespace
