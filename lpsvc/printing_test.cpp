// A queue made through kqsd prints on CUPS. Each test runs, in a private
// network namespace, a private cupsd with the lpif backend, a fake
// AppSocket printer on 127.0.0.1:9100, and kqsd on an LP tree set up in
// CUPS mode; the console is kqsctl, and jobs are printed with CUPS's own lp.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/testing/cups_sandbox.h"
#include "common/testing/daemon_sandbox.h"
#include "common/testing/run.h"

namespace kqs {
namespace {

using namespace std::chrono_literals;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class PrintingTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(EnterDaemonSandbox(&error)) << error;
  }

  // kqsd driving our CUPS, which need not be up yet.
  void StartDaemon() {
    daemon_.UseCups(cups_.socket());
    ASSERT_TRUE(daemon_.Prepare()) << daemon_.error();
    ASSERT_NE(daemon_.Start(), 0) << daemon_.error();
  }

  static RunResult Ctl(std::vector<std::string> args) {
    args.insert(args.begin(), KQSCTL_PATH);
    return kqs::Run(args);
  }
  RunResult AddQueue(const std::string& name, std::vector<std::string> options = {}) {
    std::vector<std::string> args = {"add-queue", name, "--model", "standard", "--device", "127.0.0.1",
                                     "--ip-port", "9100"};
    args.insert(args.end(), options.begin(), options.end());
    return Ctl(args);
  }
  // Prints text on queue with CUPS's lp; true when CUPS took the job.
  bool Print(const std::string& queue, const std::string& text) {
    const std::string file = scratch_ / (queue + ".txt");
    return ScratchDir::WriteFile(file, text) && cups_.Client({"lp", "-d", queue, file}).status == 0;
  }
  // True once CUPS lists no job of queue as still to be done.
  bool JobsDone(const std::string& queue, std::chrono::milliseconds limit) {
    for (const auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
      if (cups_.Client({"lpstat", "-o", queue}).out.empty()) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  ScratchDir scratch_;
  PrivateCups cups_;
  SandboxDaemon daemon_;  // after cups_: stopped before CUPS goes
};

TEST_F(PrintingTest, AQueueAddedThroughKqsdPrintsOnCupsWaitsForThePrinterAndGoesAgain) {
  ASSERT_TRUE(cups_.Start()) << cups_.error();
  StartDaemon();
  std::optional<FakePrinter> printer(std::in_place, FakePrinter::Behaviour{});
  RunResult r = AddQueue("office", {"--default", "--class", "floor1"});
  ASSERT_EQ(r.status, 0) << r.all();
  r = cups_.Client({"lpstat", "-p", "office", "-a", "office", "-d", "-c", "floor1"});
  for (const char* line : {"printer office is idle.  enabled", "office accepting requests",
                           "system default destination: office", "members of class floor1:\n\toffice"}) {
    EXPECT_TRUE(Contains(r.out, line)) << r.all();
  }
  const std::string text = "The first page through kqsd.\n";
  ASSERT_TRUE(Print("office", text));
  std::vector<std::string> jobs = printer->WaitForJobs(1, 20000);
  ASSERT_EQ(jobs.size(), 1u) << cups_.ErrorLog();
  EXPECT_EQ(jobs[0], text);
  // lp -n 3: three copies.
  ASSERT_EQ(cups_.Client({"lp", "-d", "office", "-n", "3", scratch_ / "office.txt"}).status, 0);
  jobs = printer->WaitForJobs(2, 20000);
  ASSERT_EQ(jobs.size(), 2u) << cups_.ErrorLog();
  EXPECT_EQ(jobs[1], text + text + text);
  // A console that leaves the port unset sends it blank or 0: port 9100.
  // One no port can have stops the queue at once.
  for (const auto& [port, status] : {std::pair{" ", 0}, {"0", 0}, {"65536", 4}}) {
    r = kqs::Run({"timeout", "10", daemon_.lpRoot() + "/usr/lib/lp/lpdeliver", "-p", port, "--", "127.0.0.1"},
                 std::string("port ") + port + "\n");
    EXPECT_EQ(r.status, status) << "port \"" << port << "\": " << r.all();
  }
  jobs = printer->WaitForJobs(4, 20000);
  ASSERT_EQ(jobs.size(), 4u);
  EXPECT_EQ(jobs[2] + jobs[3], "port  \nport 0\n");
  // lp, which runs every backend and filter, cannot administer CUPS, nor
  // hand a change to the scheduler that makes kqsd's.
  for (const std::string& lpadmin : {std::string("lpadmin"), daemon_.lpRoot() + "/usr/lib/lpadmin"}) {
    r = cups_.Client({"setpriv", "--reuid=lp", "--regid=lp", "--init-groups", lpadmin, "-x", "office"});
    EXPECT_NE(r.status, 0) << lpadmin << ": " << r.all();
  }
  EXPECT_EQ(cups_.Client({"lpstat", "-p", "office"}).status, 0) << "lp took office out of CUPS";
  r = Ctl({"remove-queue", "office"});
  ASSERT_EQ(r.status, 0) << r.all();
  EXPECT_NE(cups_.Client({"lpstat", "-p", "office"}).status, 0) << "CUPS still has the queue";
  EXPECT_FALSE(Contains(cups_.Client({"lpstat", "-c"}).out, "floor1")) << "the emptied class stayed";

  // A printer off for longer than CUPS's retry interval: the jobs wait in
  // CUPS, with or without JRECOV, under either error policy, and arrive once
  // and whole when it is switched on.
  printer.reset();
  ASSERT_EQ(AddQueue("slow", {"--teoj", "--jrecov"}).status, 0);
  ASSERT_EQ(AddQueue("plain").status, 0);
  r = kqs::Run({"setpriv", "--reuid=kqsd", "--regid=kqsd", "--init-groups", "lpadmin", "-p", "plain", "-o",
                "printer-error-policy=stop-printer"}, "", {"CUPS_SERVER=" + cups_.socket()});
  ASSERT_EQ(r.status, 0) << r.all();
  printer.emplace(FakePrinter::Behaviour{.off_ms = 4000, .close_delay_ms = 2000});
  ASSERT_TRUE(Print("slow", "wait for me\n") && Print("plain", "and me\n"));
  std::this_thread::sleep_for(2500ms);
  r = cups_.Client({"lpstat", "-l", "-p", "plain"});
  EXPECT_TRUE(Contains(r.out, "cannot connect to 127.0.0.1") && Contains(r.out, "offline-report")) << r.out;
  jobs = printer->WaitForJobs(2, 30000);
  ASSERT_EQ(jobs.size(), 2u) << cups_.ErrorLog();
  std::sort(jobs.begin(), jobs.end());
  EXPECT_EQ(jobs, (std::vector<std::string>{"and me\n", "wait for me\n"})) << "no end-of-job byte on text";
  EXPECT_TRUE(JobsDone("plain", 10s) && JobsDone("slow", 10s));
  EXPECT_TRUE(Contains(cups_.Client({"lpstat", "-p", "plain"}).out, "enabled")) << "the queue was stopped";
  // With TEOJ a job is done only once the printer closes the connection.
  ASSERT_TRUE(Print("slow", "end\n"));
  ASSERT_EQ(printer->WaitForJobs(3, 20000).size(), 3u);
  EXPECT_FALSE(JobsDone("slow", 500ms)) << "the job ended before the printer closed";
  EXPECT_TRUE(JobsDone("slow", 10s));

  // A printer that resets mid-job: one partial copy, then the whole job.
  // (A cancel ends lpif and all it started: see lpif's test.)
  printer.emplace(FakePrinter::Behaviour{.reset_after = 1 << 20});
  const std::string big(3 << 20, 'x');
  ASSERT_TRUE(Print("slow", big));
  jobs = printer->WaitForJobs(3, 20000);
  ASSERT_EQ(jobs.size(), 2u) << cups_.ErrorLog();
  EXPECT_LT(jobs[0].size(), big.size());
  EXPECT_TRUE(jobs[1] == big) << "the job sent again is not whole";

  // A big job streams through: no copy in CUPS's temporary directory, not
  // even for JRECOV. (A job of several files comes through CUPS's filter,
  // into lpif's standard input, and streams on as "-".)
  const std::string part(40 << 20, 'y');
  ASSERT_TRUE(ScratchDir::WriteFile(scratch_ / "big", part));
  printer.emplace(FakePrinter::Behaviour{.lengths_only = true});
  ASSERT_EQ(cups_.Client({"lp", "-d", "slow", scratch_ / "big"}).status, 0);
  uintmax_t peak = 0;
  for (int i = 0; i < 6000 && printer->WaitForJobs(1, 0).empty(); ++i, std::this_thread::sleep_for(5ms)) {
    uintmax_t size = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(cups_.tempDir(), ec)) size += e.file_size(ec);
    peak = std::max(peak, size);
  }
  jobs = printer->WaitForJobs(1, 0);
  ASSERT_EQ(jobs.size(), 1u) << cups_.ErrorLog();
  EXPECT_EQ(jobs[0], std::to_string(part.size()));
  EXPECT_LT(peak, uintmax_t{1} << 20) << "the job was copied into " << cups_.tempDir();
}

// The line of a kqsctl --json listing that holds needle ("" when none).
std::string LineWith(const std::string& text, const std::string& needle) {
  const size_t at = text.find(needle);
  if (at == std::string::npos) return "";
  const size_t start = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
  return text.substr(start, text.find('\n', at) - start);
}

// The "id" values of a kqsctl jobs --json listing, in order.
std::vector<std::string> JobIds(const std::string& json) {
  std::vector<std::string> ids;
  for (size_t at = json.find("\"id\":"); at != std::string::npos; at = json.find("\"id\":", at + 1)) {
    ids.push_back(json.substr(at + 5, json.find(',', at) - at - 5));
  }
  return ids;
}

TEST_F(PrintingTest, AStoppedQueueIsSeenAndBroughtBackAndItsJobsAreCancelledMovedAndRedirected) {
  ASSERT_TRUE(cups_.Start()) << cups_.error();
  StartDaemon();
  FakePrinter printer(FakePrinter::Behaviour{});
  ASSERT_EQ(AddQueue("lab").status, 0);
  ASSERT_EQ(AddQueue("spare").status, 0);
  // A queue of CUPS's own is neither shown nor touched.
  RunResult r = cups_.Client({"setpriv", "--reuid=kqsd", "--regid=kqsd", "--init-groups", "lpadmin", "-p", "foreign", "-v", "lpif:///elsewhere/foreign", "-E"});
  ASSERT_EQ(r.status, 0) << r.all();

  // Stopped with a job held, then refusing: what the administrator sees.
  ASSERT_EQ(Ctl({"disable", "lab", "--reason", "paper jam"}).status, 0);
  ASSERT_TRUE(Print("lab", "held\n"));
  ASSERT_EQ(Ctl({"reject", "lab", "--reason", "maintenance"}).status, 0);
  r = Ctl({"queues", "--json"});
  ASSERT_EQ(r.status, 0) << r.all();
  EXPECT_TRUE(Contains(LineWith(r.out, "\"name\":\"lab\""), "\"state\":\"stopped\",\"accepting\":false,\"jobs\":1"))
      << r.out;
  EXPECT_TRUE(Contains(LineWith(r.out, "\"name\":\"spare\""), "\"state\":\"idle\",\"accepting\":true,\"jobs\":0"))
      << r.out;
  EXPECT_FALSE(Contains(r.out, "foreign"));
  r = Ctl({"status", "lab", "--json"});
  EXPECT_TRUE(Contains(r.out, "\"stateMessage\":\"maintenance\"") && Contains(r.out, "\"deviceUri\":\"127.0.0.1\"") &&
              Contains(r.out, "\"model\":\"standard\""))
      << r.all();
  EXPECT_EQ(JobIds(Ctl({"jobs", "lab", "--json"}).out).size(), 1u);
  r = Ctl({"disable", "foreign"});
  EXPECT_TRUE(r.status == 1 && Contains(r.err, "KQS_INVALID_OBJECT_NAME")) << r.all();

  // Back in service, the held job prints.
  ASSERT_EQ(Ctl({"enable", "lab"}).status, 0);
  ASSERT_EQ(Ctl({"accept", "lab"}).status, 0);
  std::vector<std::string> jobs = printer.WaitForJobs(1, 20000);
  ASSERT_EQ(jobs.size(), 1u) << cups_.ErrorLog();
  EXPECT_EQ(jobs[0], "held\n");
  EXPECT_TRUE(JobsDone("lab", 10s));

  // Two jobs on a stopped queue: one cancelled, the other moved to a queue
  // that prints it; then one more cancelled with --all.
  ASSERT_EQ(Ctl({"disable", "lab"}).status, 0);
  ASSERT_TRUE(Print("lab", "cancel me\n"));
  ASSERT_TRUE(Print("lab", "move me\n"));
  std::vector<std::string> ids = JobIds(Ctl({"jobs", "lab", "--json"}).out);
  ASSERT_EQ(ids.size(), 2u);
  r = Ctl({"cancel", "lab-" + ids[0]});
  ASSERT_EQ(r.status, 0) << r.all();
  EXPECT_EQ(JobIds(Ctl({"jobs", "--json"}).out), std::vector<std::string>{ids[1]});
  r = Ctl({"move-jobs", "lab", "spare"});
  ASSERT_EQ(r.status, 0) << r.all();
  jobs = printer.WaitForJobs(2, 20000);
  ASSERT_EQ(jobs.size(), 2u) << cups_.ErrorLog();
  EXPECT_EQ(jobs[1], "move me\n");
  ASSERT_TRUE(Print("lab", "cancel us all\n"));
  ASSERT_EQ(Ctl({"cancel", "--all", "lab"}).status, 0);
  EXPECT_TRUE(JobsDone("lab", 5s));

  // A queue whose printer is unreachable keeps its job while its device
  // changes; the job then goes to the new device.
  ASSERT_EQ(Ctl({"add-queue", "moved", "--model", "standard", "--device", "127.0.0.2"}).status, 0);
  ASSERT_EQ(Ctl({"disable", "moved"}).status, 0);
  ASSERT_TRUE(Print("moved", "redirected\n"));
  r = Ctl({"modify-queue", "moved", "--device", "127.0.0.1", "--teoj"});
  ASSERT_EQ(r.status, 0) << r.all();
  EXPECT_EQ(JobIds(Ctl({"jobs", "moved", "--json"}).out).size(), 1u) << "the queued job was lost";
  r = Ctl({"status", "moved", "--json"});
  EXPECT_TRUE(Contains(r.out, "\"device\":\"127.0.0.1\"") && Contains(r.out, "\"teoj\":\"1\"")) << r.out;
  ASSERT_EQ(Ctl({"enable", "moved"}).status, 0);
  jobs = printer.WaitForJobs(3, 20000);
  ASSERT_EQ(jobs.size(), 3u) << cups_.ErrorLog();
  EXPECT_EQ(jobs[2], "redirected\n");

  // CUPS gone: the state is unknown, not a stale "idle".
  cups_.Stop();
  r = Ctl({"queues"});
  EXPECT_TRUE(Contains(LineWith(r.out, "lab"), "unknown")) << r.all();
}

TEST_F(PrintingTest, NothingIsLeftInCupsWhenItIsDownOrRefusesLp) {
  // CUPS down: the scheduler cannot be started, or, with a stale lock that
  // claims it runs, lpadmin fails.
  StartDaemon();
  RunResult r = AddQueue("early");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "KQS_SPOOLER_NOT_RUNNING")) << r.all();
  ASSERT_TRUE(ScratchDir::WriteFile(daemon_.lpRoot() + "/var/spool/lp/SCHEDLOCK", "1\n"));
  r = AddQueue("early");
  EXPECT_TRUE(Contains(r.err, "KQS_LPADMIN_FAILURE")) << r.all();

  // CUPS up, but the service account is not among its administrators.
  ASSERT_TRUE(cups_.Start("root")) << cups_.error();
  EXPECT_FALSE(Contains(cups_.Client({"lpstat", "-v"}).out, "early")) << "a half-made queue is in CUPS";
  r = AddQueue("late");
  EXPECT_TRUE(Contains(r.err, "KQS_LPADMIN_FAILURE")) << r.all();
  EXPECT_FALSE(Contains(cups_.Client({"lpstat", "-v"}).out, "late"));
  // Run by hand as lp, lpsvc says what to do, and it is not to make lp one.
  r = kqs::Run({"setpriv", "--reuid=lp", "--regid=lp", "--init-groups", daemon_.lpRoot() + "/usr/lib/lpadmin",
           "-plate", "-v/dev/null", "-i" + daemon_.lpRoot() + "/usr/lib/lp/model/standard"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "Forbidden") && Contains(r.err, "usermod -a -G lpadmin kqsd") &&
              !Contains(r.err, "lpadmin lp"))
      << r.all();
}

TEST_F(PrintingTest, CupsKeepsWhatKqsdDidNotMakeAndAChangeIsAllOrNothing) {
  ASSERT_TRUE(cups_.Start(std::string(kqs::kServiceAccount) + " root")) << cups_.error();  // root: by hand
  setenv("LPSVC_TEST_FAULTS", "1", 1);  // for the daemon's LP commands
  StartDaemon();
  // Made by hand: a queue office and a class team of p1 and p2 (the sandbox's
  // one backend, but another tree's interfaces).
  const std::vector<std::vector<std::string>> by_hand = {
      {"lpadmin", "-p", "office", "-v", "lpif:///srv/lp/etc/lp/interfaces/office", "-E"},
      {"lpadmin", "-p", "p1", "-v", "lpif:///srv/lp/etc/lp/interfaces/p1", "-E"},
      {"lpadmin", "-p", "p2", "-v", "lpif:///srv/lp/etc/lp/interfaces/p2", "-E"},
      {"lpadmin", "-p", "p2", "-c", "team"},
      {"lpadmin", "-p", "p1", "-c", "team"}};
  for (const auto& argv : by_hand) {
    const RunResult made = cups_.Client(argv);
    ASSERT_EQ(made.status, 0) << made.all();
  }
  auto cups_view = [&] { return cups_.Client({"lpstat", "-v", "-c", "-a"}).out; };
  const std::string before = cups_view();
  RunResult r = AddQueue("office");
  EXPECT_TRUE(r.status == 1 && Contains(r.err, "KQS_QUEUE_EXISTS_AS_QUEUE")) << r.all();
  r = AddQueue("team");
  EXPECT_TRUE(r.status == 1 && Contains(r.err, "KQS_QUEUE_EXISTS_AS_CLASS")) << r.all();
  EXPECT_EQ(Ctl({"remove-queue", "office"}).status, 1);
  // A hand-made class may be joined; leaving it never deletes it.
  r = AddQueue("q5", {"--class", "team"});
  ASSERT_EQ(r.status, 0) << r.all();
  EXPECT_TRUE(Contains(cups_.Client({"lpstat", "-c", "team"}).out, "\tq5")) << cups_view();
  ASSERT_EQ(Ctl({"remove-queue", "q5"}).status, 0);
  EXPECT_EQ(cups_view(), before) << "CUPS lost or changed what kqsd did not make";

  // A refused accept step takes the queue out of CUPS and the tree again.
  const std::string tree = daemon_.lpRoot() + "/etc/lp/";
  ASSERT_TRUE(ScratchDir::WriteFile(daemon_.lpRoot() + "/lpsvc.faults", "accept lab=1\n"));
  r = AddQueue("lab", {"--class", "labs"});
  EXPECT_TRUE(r.status == 1 && Contains(r.err, "KQS_ACCEPT_QUEUE_FAILURE")) << r.all();
  EXPECT_EQ(cups_view(), before) << "the failed creation is still in CUPS";
  for (const char* part : {"interfaces/lab", "printers/lab", "classes/labs", "interfaces/model.orig/lab"})
    EXPECT_FALSE(ScratchDir::Exists(tree + part)) << part << " stayed in the tree";
  ASSERT_TRUE(ScratchDir::WriteFile(daemon_.lpRoot() + "/lpsvc.faults", ""));
  r = AddQueue("lab", {"--class", "labs"});
  ASSERT_EQ(r.status, 0) << r.all();

  // With CUPS down a remove changes nothing, in the tree or in CUPS.
  cups_.Stop();
  r = Ctl({"remove-queue", "lab"});
  EXPECT_TRUE(r.status == 1 && Contains(r.err, "KQS_LPADMIN_FAILURE") && Contains(r.err, "cannot reach the CUPS"))
      << "no failure, or not why: " << r.all();
  for (const char* part : {"interfaces/lab", "printers/lab", "classes/labs", "interfaces/model.orig/lab", "fd/lab",
                           "filters/lab"})
    EXPECT_TRUE(ScratchDir::Exists(tree + part)) << part << " went although the remove failed";
}

}  // namespace
}  // namespace kqs
