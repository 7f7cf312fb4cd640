// kqsctl as a user runs it, against a real kqsd serving a sandbox LP tree in
// a private network namespace, and against no daemon at all.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
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
#include <thread>
#include <vector>

#include "common/testing/netns.h"
#include "common/testing/scratch_dir.h"

#ifndef KQSD_PATH
#define KQSD_PATH ""
#define LPSVC_PATH ""
#define KQSD_CATALOG_PATH ""
#endif

namespace {

using kqs::ScratchDir;
using std::chrono::steady_clock;

struct Outcome {
  int status = -1;  // exit status, -1 when the program did not exit normally
  std::string out, err;
  std::string all() const { return out + err; }
};

// Runs argv through the shell with stdin_text on its standard input, the
// output collected in files of dir.
Outcome RunProgram(const std::string& dir, const std::vector<std::string>& argv, const std::string& stdin_text = "") {
  std::string command;
  for (const auto& a : argv) command += "'" + a + "' ";
  command += "<" + dir + "/stdin >" + dir + "/stdout 2>" + dir + "/stderr";
  ScratchDir::WriteFile(dir + "/stdin", stdin_text);
  const int status = std::system(command.c_str());
  Outcome run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ScratchDir::ReadFile(dir + "/stdout");
  run.err = ScratchDir::ReadFile(dir + "/stderr");
  return run;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The test process gets a private network and becomes the parent of every
// daemon it starts, so that it can reap them after they detach.
bool EnterSandbox() { return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0 && kqs::EnterPrivateNetNamespace(); }

// One daemon for the suite: an LP tree from lpsvc, a directory with kqsd,
// kqsd.cat and a kqsd.ini naming the tree, the password "letmein".
class KqsctlDaemonTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::string(KQSD_PATH).empty()) return;
    dir_ = std::make_unique<ScratchDir>();
    failure_ = Start();
  }
  static void TearDownTestSuite() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      bool ended = false;
      const auto deadline = steady_clock::now() + std::chrono::seconds(15);
      while (!(ended = waitpid(pid_, &status, WNOHANG) == pid_) && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (!ended) kill(pid_, SIGKILL), waitpid(pid_, &status, 0);
      EXPECT_TRUE(ended) << "kqsd did not stop within 15 s of SIGTERM";
      pid_ = 0;
    }
    dir_.reset();
  }
  void SetUp() override {
    if (std::string(KQSD_PATH).empty()) GTEST_SKIP() << "kqsd and lpsvc are not part of this build";
    ASSERT_EQ("", failure_);
  }

  static std::string Start() {
    if (!EnterSandbox()) return "cannot enter a private network namespace (needs root)";
    const Outcome setup = RunProgram(dir_->path(), {LPSVC_PATH, "setup", Root()});
    if (setup.status != 0) return "lpsvc setup: " + setup.all();
    std::error_code ec;
    std::filesystem::create_directory(Home(), ec);
    std::filesystem::copy_file(KQSD_PATH, Home() + "/kqsd", ec);
    std::filesystem::copy_file(KQSD_CATALOG_PATH, Home() + "/kqsd.cat", ec);
    if (ec) return "copying the daemon: " + ec.message();
    const std::string ini = Home() + "/kqsd.ini";
    ScratchDir::WriteFile(ini, "[LP Service]\nRoot=" + Root() + "\n");
    const Outcome passwd = Ctl({"passwd", "--ini", ini}, "letmein\n");
    if (passwd.status != 0) return "kqsctl passwd: " + passwd.all();
    const Outcome started = RunProgram(dir_->path(), {Home() + "/kqsd"});
    if (started.status != 0) return "kqsd did not start: " + started.all();
    for (int i = 0; i < 100 && Ctl({"monitors", "--timeout", "500"}).status != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string settings = ScratchDir::ReadFile(ini);
    const size_t at = settings.find("ProcessID=");
    pid_ = at == std::string::npos ? 0 : std::atoi(settings.c_str() + at + 10);
    return pid_ > 0 ? "" : "kqsd did not record its ProcessID:\n" + settings;
  }

  static Outcome Ctl(std::vector<std::string> args, const std::string& stdin_text = "") {
    args.insert(args.begin(), KQSCTL_PATH);
    return RunProgram(dir_->path(), args, stdin_text);
  }
  static std::string Root() { return *dir_ / "lp"; }
  static std::string Home() { return *dir_ / "kqsd"; }

  static std::unique_ptr<ScratchDir> dir_;
  static std::string failure_;
  static pid_t pid_;
};

std::unique_ptr<ScratchDir> KqsctlDaemonTest::dir_;
std::string KqsctlDaemonTest::failure_;
pid_t KqsctlDaemonTest::pid_ = 0;

TEST_F(KqsctlDaemonTest, DiscoverShowsTheServer) {
  const Outcome table = Ctl({"discover", "--to", "127.0.0.1"});
  ASSERT_EQ(0, table.status) << table.all();
  EXPECT_TRUE(Contains(table.out, "127.0.0.1")) << table.out;
  EXPECT_TRUE(Contains(table.out, "PRINTSERVER_UNIX")) << table.out;
  EXPECT_TRUE(Contains(table.out, "3.0.0.394")) << table.out;

  const Outcome json = Ctl({"discover", "--to", "127.0.0.1", "--json"});
  ASSERT_EQ(0, json.status) << json.all();
  EXPECT_TRUE(Contains(json.out, R"("Protocol":1)")) << json.out;
  EXPECT_TRUE(Contains(json.out, R"("VBuild":394)")) << json.out;
  EXPECT_TRUE(Contains(json.out, "\"Install\":\"" + Home() + "/\"")) << json.out;
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
  EXPECT_TRUE(Contains(added.out, "KQS_SUCCESS")) << added.out;
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

  const Outcome again = Ctl({"add-queue", "demo1", "--model", "postscript", "--device", "/dev/null"});
  EXPECT_EQ(1, again.status) << again.all();
  EXPECT_TRUE(Contains(again.err, "KQS_QUEUE_EXISTS_AS_QUEUE")) << again.err;
  const Outcome no_model = Ctl({"add-queue", "demo2", "--model", "no-such-model", "--device", "/dev/null"});
  EXPECT_EQ(1, no_model.status) << no_model.all();
  EXPECT_TRUE(Contains(no_model.err, "KQS_FILESET_MISSING")) << no_model.err;

  const Outcome removed = Ctl({"remove-queue", "demo1"});
  ASSERT_EQ(0, removed.status) << removed.all();
  queues = Ctl({"queues"});
  EXPECT_TRUE(queues.status == 0 && !Contains(queues.out, "demo1")) << queues.all();
  const Outcome gone = Ctl({"remove-queue", "demo1"});
  EXPECT_EQ(1, gone.status) << gone.all();
  EXPECT_TRUE(Contains(gone.err, "KQS_INVALID_OBJECT_NAME")) << gone.err;
}

TEST_F(KqsctlDaemonTest, LoginGrantsTheRightPasswordOnly) {
  const Outcome granted = Ctl({"login"}, "letmein\n");
  EXPECT_EQ(0, granted.status) << granted.all();
  EXPECT_TRUE(Contains(granted.out, "access granted")) << granted.all();
  const Outcome refused = Ctl({"login"}, "letmeout\n");
  EXPECT_EQ(1, refused.status) << refused.all();
  EXPECT_TRUE(Contains(refused.err, "access refused (KQS_NO_ACCESS")) << refused.all();
}

TEST_F(KqsctlDaemonTest, AddsAndRemovesAPort) {
  const Outcome added =
      Ctl({"add-port", "p1", "--host", "printer7", "--ip", "10.0.0.7", "--hw", "00:11:22:33:44:55", "--port", "9100"});
  EXPECT_EQ(0, added.status) << added.all();
  EXPECT_TRUE(Contains(added.out, "KQS_SUCCESS")) << added.out;
  const Outcome removed = Ctl({"remove-port", "p1"});
  EXPECT_EQ(0, removed.status) << removed.all();
}

TEST(KqsctlNoDaemonTest, ReportsAnAbsentOrSilentServerInsteadOfHanging) {
  ASSERT_TRUE(EnterSandbox()) << "cannot enter a private network namespace (needs root)";
  ScratchDir dir;
  auto ctl = [&](std::vector<std::string> args, const std::string& stdin_text = "") {
    args.insert(args.begin(), KQSCTL_PATH);
    return RunProgram(dir.path(), args, stdin_text);
  };
  Outcome r = ctl({"queues"});
  EXPECT_EQ(3, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "connection refused")) << r.err;
  r = ctl({"login"}, "letmein\n");
  EXPECT_EQ(3, r.status) << r.all();
  r = ctl({"discover", "--to", "127.0.0.1", "--timeout", "300"});
  EXPECT_EQ(1, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "no server answered")) << r.err;

  // A server that takes the connection and never answers.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(55554);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, listen(fd, 4));
  const auto start = steady_clock::now();
  r = ctl({"drivers", "--timeout", "300"});
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(20));
  close(fd);
  EXPECT_EQ(3, r.status) << r.all();
  EXPECT_TRUE(Contains(r.err, "no answer")) << r.err;
}

}  // namespace
