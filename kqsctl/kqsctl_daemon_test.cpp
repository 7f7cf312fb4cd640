// kqsctl as a user runs it, against a real kqsd serving a sandbox LP tree in
// a private network namespace, and against no daemon at all.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
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

// What bash completion offers for the last word of line ("" after a blank).
std::set<std::string> Completions(const std::string& line) {
  const std::string script =
      "source /usr/share/bash-completion/bash_completion; source \"$1\"; PATH=\"$2:$PATH\"\n"
      "read -ra COMP_WORDS <<<\"$3\"; COMP_LINE=$3; COMP_POINT=${#COMP_LINE}; COMP_CWORD=${#COMP_WORDS[@]}\n"
      "if [[ $3 == *' ' ]]; then COMP_WORDS+=(''); else ((COMP_CWORD--)); fi; _kqsctl; printf '%s\\n' \"${COMPREPLY[@]}\"";
  std::istringstream out(kqs::Run({"bash", "-c", script, "bash", KQSCTL_BASH,
                                   std::filesystem::path(KQSCTL_PATH).parent_path(), line}).out);
  std::set<std::string> words;
  for (std::string w; std::getline(out, w) && !w.empty();) words.insert(w);
  return words;
}

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

// A user's session against one daemon: discovery, the models and the
// monitor, a queue added, listed, refused again and removed, and a login.
TEST(KqsctlDaemonTest, ListsAddsAndRemovesAsAUserSeesIt) {
  kqs::SandboxDaemon daemon;
  ASSERT_EQ("", StartDaemon(&daemon));
  const std::string root = daemon.lpRoot();
  Outcome r = Kqsctl({"discover", "--to", "127.0.0.1"});
  ASSERT_EQ(0, r.status) << r.all();
  for (const char* part : {"127.0.0.1", "PRINTSERVER_UNIX", "3.0.0.394"}) EXPECT_TRUE(Contains(r.out, part)) << r.out;
  r = Kqsctl({"discover", "--to", "127.0.0.1", "--json"});
  EXPECT_TRUE(Contains(r.out, R"("protocol":1)") && Contains(r.out, R"("vBuild":394)")) << r.all();
  EXPECT_TRUE(Contains(r.out, "\"install\":\"" + daemon.installDir() + "/\"")) << r.out;

  std::set<std::string> models, listed;
  for (const char* sub : {"/usr/lib/lp/model", "/opt/qvnx/sh"}) {
    for (const auto& e : std::filesystem::directory_iterator(root + sub)) {
      if (e.is_regular_file() && e.path().filename() != "qvnx.model") models.insert(e.path().filename());
    }
  }
  r = Kqsctl({"drivers"});
  ASSERT_EQ(0, r.status) << r.all();
  std::istringstream lines(r.out.substr(r.out.find('\n') + 1));  // below the header
  for (std::string line; std::getline(lines, line);) listed.insert(line);
  EXPECT_FALSE(models.empty());
  EXPECT_EQ(models, listed) << r.out;
  r = Kqsctl({"monitors"});
  EXPECT_TRUE(r.status == 0 && Contains(r.out, "QV Tarlomin for UNIX")) << r.all();
  const std::string version = ScratchDir::ReadFile(root + "/opt/qvnx/version");  // "Revision C.02.15\n..."
  EXPECT_TRUE(Contains(r.out, version.substr(9, version.find('\n') - 9))) << r.out << version;

  r = Kqsctl({"add-queue", "demo1", "--model", "postscript", "--device", "/dev/null", "--type", "LaserModel",
              "--pslevel", "3", "--banner"});
  EXPECT_TRUE(r.status == 0 && r.all().empty()) << "not quiet, as lpadmin is: " << r.all();
  // The options reached the queue's scripts under their own keys.
  const std::string kept = ScratchDir::ReadFile(root + "/etc/lp/interfaces/model.orig/demo1");
  for (const char* line : {"PRINTMODEL=\"LaserModel\"", "PSLEVEL=\"3\"", "BANNER=\"yes\""})
    EXPECT_TRUE(Contains(kept, line)) << kept;
  EXPECT_TRUE(Contains(ScratchDir::ReadFile(root + "/etc/lp/interfaces/demo1"), "PERIPH=/dev/null"));
  r = Kqsctl({"queues"});
  EXPECT_TRUE(r.status == 0 && Contains(r.out, "demo1")) << r.all();
  r = Kqsctl({"queues", "--json"});
  EXPECT_TRUE(Contains(r.out, R"("name":"demo1")")) << r.out;
  // Without CUPS the tree keeps the reason a queue was stopped for.
  ASSERT_EQ(0, Kqsctl({"disable", "demo1", "--reason", "toner low"}).status);
  r = Kqsctl({"queues", "--json"});
  EXPECT_TRUE(Contains(r.out, R"("state":"stopped","accepting":true,"jobs":null,"stateMessage":"toner low")")) << r.out;
  // Completion: queue names and models from the server, files after
  // --hosts= and --ini, each command's own options, nothing for a free value.
  EXPECT_EQ(Completions("kqsctl remove-queue de"), std::set<std::string>{"demo1"});
  EXPECT_EQ(Completions("kqsctl add-queue q --model postscr"), std::set<std::string>{"postscript"});
  EXPECT_EQ(Completions("kqsctl --hosts=" + daemon.installDir() + "/kqsd.i"),
            std::set<std::string>{daemon.installDir() + "/kqsd.ini"});
  EXPECT_EQ(Completions("kqsctl passwd --l"), std::set<std::string>{"--legacy"});
  EXPECT_TRUE(Completions("kqsctl add-queue q --class ").empty());
  r = Kqsctl({"add-queue", "demo1", "--model", "postscript", "--device", "/dev/null", "--json"});
  EXPECT_EQ(1, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "KQS_QUEUE_EXISTS_AS_QUEUE")) << r.err;
  EXPECT_TRUE(Contains(r.out, R"("codeName":"KQS_QUEUE_EXISTS_AS_QUEUE","hint":"remove it first)")) << r.out;
  r = Kqsctl({"remove-queue", "demo1", "--verbose"});
  EXPECT_TRUE(r.status == 0 && Contains(r.out, "remove-queue demo1: KQS_SUCCESS")) << r.all();
  r = Kqsctl({"queues"});
  EXPECT_TRUE(r.status == 0 && !Contains(r.out, "demo1")) << r.all();
  r = Kqsctl({"remove-queue", "demo1"});
  EXPECT_EQ(1, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "KQS_INVALID_OBJECT_NAME") && Contains(r.err, "kqsctl queues lists")) << r.err;

  r = Kqsctl({"login"}, "letmein\n");
  EXPECT_TRUE(r.status == 0 && Contains(r.out, "access granted")) << r.all();
  r = Kqsctl({"login"}, "letmeout\n");
  EXPECT_EQ(1, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "KQS_NO_ACCESS") && Contains(r.err, "the password is wrong")) << r.all();
  EXPECT_TRUE(kqs::ExitedWithZero(daemon.Stop(0, std::chrono::seconds(15)))) << "kqsd did not stop within 15 s";
}

// The kqsd.console collection as a playbook uses it: a queue added (changed),
// added again (unchanged), seen in the facts, removed (changed); check mode
// changes nothing and reports what it would have changed.
TEST(KqsctlDaemonTest, AnsibleAddsAQueueOnceChangesItInPlaceAndRemovesIt) {
  if (kqs::Run({"sh", "-c", "command -v ansible-playbook"}).status != 0) {
    GTEST_SKIP() << "ansible-playbook is missing: install the Debian package ansible-core to run this test";
  }
  kqs::SandboxDaemon daemon;
  ASSERT_EQ("", StartDaemon(&daemon));
  const std::string dir = daemon.installDir() + "/ansible";
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
    - kqsd.console.kqsd_queue: &m {<<: *q, ip_port: 9101, teoj: true, enabled: false}
      register: modified
    - kqsd.console.kqsd_queue: *m
      register: again
    - kqsd.console.kqsd_facts: {kqsctl: )" + std::string(KQSCTL_PATH) + R"(}
    - kqsd.console.kqsd_queue: {<<: *q, state: absent}
      register: third
    - assert:
        that:
          - first.changed and second.changed == ansible_check_mode and third.changed != ansible_check_mode
          - modified.changed and again.changed == ansible_check_mode
          - ansible_check_mode or (kqsd.queues | selectattr("name", "equalto", "ans1") | first).state == "stopped"
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
  EXPECT_FALSE(ScratchDir::Exists(daemon.lpRoot() + "/etc/lp/interfaces/ans1")) << "check mode created the queue";
  r = play({});
  EXPECT_TRUE(r.status == 0 && Contains(r.out, "All assertions passed")) << r.all();
  EXPECT_FALSE(Contains(r.all(), "letmein")) << "the password was logged: " << r.all();
  EXPECT_FALSE(ScratchDir::Exists(daemon.lpRoot() + "/etc/lp/interfaces/ans1"));
}

// Under Enforce=1 the server makes a change only for a connection that has
// passed the password check, and kqsctl opens a connection per command:
// --login checks the password on the connection the change then uses.
TEST(KqsctlEnforceTest, ChangesNeedLoginOnTheSameConnection) {
  kqs::SandboxDaemon daemon;
  ASSERT_EQ("", StartDaemon(&daemon, "[ACCESS]\nEnforce=1\n"));
  const std::vector<std::string> add_port = {"add-port", "p1",   "--host", "printer7",         "--ip",
                                             "10.0.0.7", "--hw", "00:11:22:33:44:55", "--port", "9100"};
  auto with_login = [](std::vector<std::string> args) {
    args.push_back("--login");
    return args;
  };
  Outcome r = Kqsctl(add_port);
  EXPECT_EQ(1, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "KQS_NO_ACCESS: access denied by the server; the server requires a password: add --login"))
      << r.err;
  r = Kqsctl(with_login(add_port), "letmeout\n");
  EXPECT_EQ(1, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "add-port p1: login: KQS_NO_ACCESS")) << r.err;
  r = Kqsctl(with_login(add_port), "letmein\n");
  EXPECT_EQ(0, r.status) << r.all();
  r = Kqsctl(with_login({"add-queue", "gate1", "--model", "postscript", "--device", "/dev/null"}), "letmein\n");
  EXPECT_EQ(0, r.status) << r.all();
  EXPECT_TRUE(ScratchDir::Exists(daemon.lpRoot() + "/etc/lp/interfaces/gate1"));

  // A broken LP root: the refusal names the setting to check.
  std::filesystem::rename(daemon.lpRoot() + "/etc/lp/interfaces", daemon.lpRoot() + "/etc/lp/gone");
  r = Kqsctl({"queues"});
  EXPECT_EQ(1, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "KQS_FAILURE") && Contains(r.err, "check [LP Service] Root")) << r.err;
  EXPECT_TRUE(kqs::ExitedWithZero(daemon.Stop()));
}

// Every byte that crosses loopback (the test's private namespace) while fn runs.
std::string CapturedOnLoopback(const std::function<void()>& fn) {
  const int s = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
  fn();
  std::string all;
  char buf[65536];
  for (ssize_t n; s >= 0 && (n = recv(s, buf, sizeof buf, 0)) > 0;) all.append(buf, static_cast<size_t>(n));
  if (s >= 0) close(s);
  return all;
}

// The TLS port as an administrator meets it: the password never crosses in
// clear there (it does on the plain port), the server is pinned at first
// contact and a replaced certificate refused, --cacert checks the name,
// console certificates from the ClientCA stand in for the password, IPv6
// works for every command, and PlainPort=0 leaves TLS alone.
TEST(KqsctlTlsTest, EncryptsPinsVerifiesAndTakesConsoleCertificates) {
  kqs::SandboxDaemon daemon;
  ScratchDir pki;
  const std::string cert = "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=";
  const Outcome made = kqs::Run({"sh", "-ec", "cd " + pki.path() + "; for n in ca other; do " + cert +
                                                  "$n -x509 -keyout $n.key -out $n.pem; done 2>/dev/null\n"
                                                  "sign() { " + cert + "$1 -keyout $1.key -out $1.csr 2>/dev/null;"
                                                  " openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2.key "
                                                  "-CAcreateserial -out $1.pem $3 2>/dev/null; }\n"
                                                  "echo subjectAltName=DNS:localhost >san; sign server ca '-extfile san'\n"
                                                  "sign client ca; sign stranger other"});
  ASSERT_EQ(0, made.status) << made.all();
  ASSERT_EQ("", StartDaemon(&daemon, "[ACCESS]\nEnforce=1\n[Process Settings]\nKeepAlive=30\n[TLS]\nClientCA=" +
                                         pki / "ca.pem" + "\n"));
  const std::string known = daemon.installDir() + "/console/kqsctl/known_servers";
  Outcome r = Kqsctl({"queues"});
  ASSERT_EQ(0, r.status) << r.all();
  const Outcome fingerprint = kqs::Run({daemon.installDir() + "/kqsd", "--fingerprint"});
  const std::string pinned = fingerprint.out.substr(fingerprint.out.find('=') + 1, 95);
  EXPECT_TRUE(Contains(r.err, "first contact with 127.0.0.1:55555") && Contains(r.err, pinned)) << r.err;
  EXPECT_EQ("127.0.0.1:55555 " + pinned + "\n", ScratchDir::ReadFile(known)) << fingerprint.all();
  EXPECT_EQ("", Kqsctl({"queues"}).err);

  std::string tls_login, plain_login;
  const std::string tls_wire = CapturedOnLoopback([&] { tls_login = Kqsctl({"login"}, "letmein\n").all(); });
  const std::string plain_wire = CapturedOnLoopback([&] { plain_login = Kqsctl({"--plain", "login"}, "letmein\n").all(); });
  EXPECT_TRUE(Contains(tls_login, "access granted") && Contains(plain_login, "access granted")) << tls_login << plain_login;
  EXPECT_TRUE(Contains(plain_login, "in clear")) << plain_login;
  EXPECT_FALSE(Contains(tls_wire, "letmein")) << "the password crossed the TLS port in clear";
  EXPECT_TRUE(Contains(plain_wire, "letmein")) << "the capture saw nothing: it proves nothing for TLS";
  EXPECT_NE(0, kqs::Run({"sh", "-c", "openssl s_client -tls1_2 -connect 127.0.0.1:55555 </dev/null"}).status);
  EXPECT_EQ(3, Kqsctl({"--plain", "-H", "127.0.0.1:55555", "queues", "--timeout", "3000"}).status);

  const std::vector<std::string> add_port = {"add-port", "p1", "--host", "printer7", "--ip", "10.0.0.7"};
  auto as = [&](const std::string& who, std::vector<std::string> args) {
    args.insert(args.begin(), {"--cert", pki / (who + ".pem"), "--key", pki / (who + ".key")});
    return Kqsctl(args);
  };
  r = as("stranger", add_port);
  EXPECT_TRUE(r.status == 1 && Contains(r.err, "KQS_NO_ACCESS")) << r.all();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"queues"}, {"drivers"}, {"monitors"}, add_port, {"remove-port", "p1"},
        {"add-queue", "six", "--model", "standard", "--device", "/dev/null"}, {"remove-queue", "six"}}) {
    std::vector<std::string> on_six = args;
    on_six.insert(on_six.begin(), {"-H", args[0] == "add-port" ? "[::1]:55555" : "::1"});
    r = as("client", on_six);
    EXPECT_EQ(0, r.status) << args[0] << ": " << r.all();
  }
  EXPECT_TRUE(Contains(Kqsctl({"-H", "::1", "login"}, "letmein\n").out, "access granted"));

  // A replaced certificate, signed by a CA the console knows, for one name.
  daemon.Stop();
  std::string ini = ScratchDir::ReadFile(daemon.iniPath());
  ini += "Certificate=" + pki / "server.pem" + "\nKey=" + pki / "server.key" + "\nPlainPort=0\n";
  ASSERT_TRUE(ScratchDir::WriteFile(daemon.iniPath(), ini));
  ASSERT_NE(0, daemon.Start()) << daemon.error();
  r = Kqsctl({"queues"});
  EXPECT_EQ(3, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "recorded " + pinned + ", now ") && Contains(r.err, "remove line 1")) << r.err;
  r = Kqsctl({"--cacert", pki / "ca.pem", "-H", "localhost", "queues"});
  EXPECT_EQ(0, r.status) << r.all();
  r = Kqsctl({"--cacert", pki / "ca.pem", "-H", "127.0.0.1", "queues"});
  EXPECT_TRUE(r.status == 3 && Contains(r.err, "does not verify")) << r.all();
  r = Kqsctl({"--plain", "queues"});
  EXPECT_TRUE(r.status == 3 && Contains(r.err, "connection refused")) << r.all();
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
  // The one that does not answer first: the others' success must not hide it.
  ASSERT_TRUE(ScratchDir::WriteFile(hosts, "# print servers\n127.0.0.4\n127.0.0.2\n\n127.0.0.3\n"));

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
  a.sin_port = htons(55555);
  a.sin_addr.s_addr = inet_addr("127.0.0.4");
  ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, listen(fd, 4));
  start = steady_clock::now();
  r = Kqsctl({"-H", "127.0.0.4", "drivers", "--timeout", "300"});
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(20));
  close(fd);
  EXPECT_EQ(3, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "try a longer --timeout")) << r.err;
}

}  // namespace
