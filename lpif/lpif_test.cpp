// lpif between CUPS and a queue's interface program: the programs it refuses
// to run, the arguments and job it hands over, the status it gives CUPS, and
// a queue made by the daemon printing through the wrapper into a file.
#include <cups/backend.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "protocol/kqsids.h"
#include "queueadmin/devicecheck.h"
#include "queueadmin/lptree_fixture.h"
#include "queueadmin/queueadd.h"

namespace kqs {
namespace {

bool GiveToLp(const std::string& path, mode_t mode) {
  return chown(path.c_str(), kLpUid, kLpGid) == 0 && chmod(path.c_str(), mode) == 0;
}

TEST(Lpif, RunsOnlyAnLpInterfaceProgramWithTheJobAndReportsItsStatus) {
  LpTree t;
  ASSERT_TRUE(t.ok());
  // lpif as CUPS runs it, as root (it becomes lp), on the interface program
  // at rel with the job file, or with stdin_text as the job when job is "".
  auto lpif = [&](const std::string& rel, const std::string& job, const std::string& stdin_text = "",
                  const std::string& env = "PRINTER=") {
    std::vector<std::string> argv = {LPIF_PATH, "42", "alice", "My title", "1", "media=a4"};
    if (!job.empty()) argv.push_back(job);
    return kqs::Run(argv, stdin_text, {"DEVICE_URI=lpif://" + t / rel, "TMPDIR=" + t / "tmp", env});
  };
  EXPECT_EQ(kqs::Run({LPIF_PATH}).out, "direct lpif \"Unknown\" \"LP interface program\"\n");

  for (const char* dir : {"tmp", "rec", "other"}) {
    ASSERT_TRUE(std::filesystem::create_directory(t / dir) && GiveToLp(t / dir, 0755)) << dir;
  }
  auto program = [&](const std::string& rel, const char* jrecov, mode_t mode, bool lp) {
    ASSERT_TRUE(t.Write(rel, "#!/bin/sh\nJRECOV=\"" + std::string(jrecov) + "\"\nprintf '%s|' \"$@\" > " +
                                 t / "rec/args" + "\ncat \"$6\" > " + t / "rec/job" + "\nexit ${IFEXIT:-0}\n"));
    ASSERT_TRUE(lp ? GiveToLp(t / rel, mode) : chmod((t / rel).c_str(), mode) == 0);
  };
  program("etc/lp/interfaces/q", "no", 0755, true);
  program("other/q", "no", 0755, true);
  program("etc/lp/interfaces/root", "no", 0755, false);
  program("etc/lp/interfaces/groupw", "no", 0775, true);
  const std::string job(std::string("page\0one\n", 9));
  ASSERT_TRUE(t.Write("job", job));

  for (const char* bad : {"other/q", "etc/lp/interfaces/../../../other/q", "etc/lp/interfaces/root",
                          "etc/lp/interfaces/groupw", "etc/lp/interfaces/none"}) {
    const RunResult r = lpif(bad, t / "job");
    EXPECT_EQ(r.status, CUPS_BACKEND_FAILED) << bad;
    EXPECT_TRUE(r.err.starts_with("ERROR: ") && r.err.find('\n') == r.err.size() - 1) << r.err;
  }
  EXPECT_FALSE(t.Exists("rec/args")) << "a refused program must not run";

  RunResult r = lpif("etc/lp/interfaces/q", t / "job");
  EXPECT_EQ(r.status, CUPS_BACKEND_OK) << r.err;
  EXPECT_EQ(t.Read("rec/args"), "q-42|alice|My title|1|media=a4|" + t / "job" + "|");
  EXPECT_EQ(t.Read("rec/job"), job);
  // From standard input the job goes through a temporary file that is removed.
  r = lpif("etc/lp/interfaces/q", "", job, "PRINTER=cupsq");
  EXPECT_EQ(r.status, CUPS_BACKEND_OK) << r.err;
  EXPECT_TRUE(t.Read("rec/args").starts_with("cupsq-42|alice|My title|1|media=a4|" + t / "tmp/"));
  EXPECT_EQ(t.Read("rec/job"), job);
  EXPECT_TRUE(std::filesystem::is_empty(t / "tmp"));
  // A failing program fails the job, to be retried only under JRECOV.
  r = lpif("etc/lp/interfaces/q", t / "job", "", "IFEXIT=3");
  EXPECT_EQ(r.status, CUPS_BACKEND_FAILED);
  EXPECT_NE(r.err.find("ERROR: "), std::string::npos) << r.err;
  program("etc/lp/interfaces/q", "yes", 0755, true);
  EXPECT_EQ(lpif("etc/lp/interfaces/q", "", job, "IFEXIT=3").status, CUPS_BACKEND_RETRY);
  EXPECT_TRUE(std::filesystem::is_empty(t / "tmp"));

  // A queue the daemon made: its wrapper runs the model and lpdeliver appends
  // to the device file, in a directory the administrator allowed.
  ScratchDir spool;
  const std::string printer = spool / "printer";
  ASSERT_EQ(SetDeviceDirs(spool.path().c_str()), 0);
  ASSERT_TRUE(ScratchDir::WriteFile(printer, "earlier job\n") && GiveToLp(printer, 0644));
  ASSERT_TRUE(t.Write("job", "hello\n"));
  const std::string params = QueueParams({{"Device", printer.c_str()}});  // pcl, banner, TEOJ, JRECOV
  ASSERT_EQ(RunInChild([&] { return int(QueueAddUX("q1", params.c_str())); }, true), int(KQS_SUCCESS));
  r = lpif("etc/lp/interfaces/q1", t / "job");
  ASSERT_EQ(r.status, CUPS_BACKEND_OK) << r.err;
  EXPECT_EQ(ScratchDir::ReadFile(printer), "earlier job\nLaserJet PCL5\nhello\n\004");
  // A failing model script or a failing delivery fails the job (to be retried).
  r = lpif("etc/lp/interfaces/q1", t / "no-such-job");
  EXPECT_EQ(r.status, CUPS_BACKEND_RETRY) << r.err;
  ASSERT_EQ(unlink(printer.c_str()), 0);
  r = lpif("etc/lp/interfaces/q1", t / "job");
  EXPECT_EQ(r.status, CUPS_BACKEND_RETRY) << r.err;
  EXPECT_NE(r.err.find("ERROR: lpdeliver: cannot open " + printer), std::string::npos) << r.err;
  // A queue made before Devices were checked, pointing at its own interface
  // program, at a file in the tree or through a link: lpdeliver refuses to
  // append, and the program stays as it was.
  const std::string script = t.Read("etc/lp/interfaces/q1");
  ASSERT_TRUE(GiveToLp(t / "job", 0644));
  ASSERT_EQ(symlink((t / "job").c_str(), printer.c_str()), 0);
  for (const std::string& device : {t / "etc/lp/interfaces/q1", t / "job", printer}) {
    ASSERT_TRUE(t.Write("etc/lp/interfaces/q1", std::regex_replace(script, std::regex("\nPERIPH=.*"),
                                                                   "\nPERIPH=\"" + device + "\"")));
    ASSERT_TRUE(GiveToLp(t / "etc/lp/interfaces/q1", 0755));
    r = lpif("etc/lp/interfaces/q1", t / "job");
    EXPECT_EQ(r.status, CUPS_BACKEND_RETRY) << device;
    EXPECT_TRUE(r.err.find(" lies in the LP tree") != std::string::npos || r.err.find("is a program") != std::string::npos ||
                r.err.find("is a symbolic link") != std::string::npos)
        << r.err;
  }
  EXPECT_EQ(t.Read("job"), "hello\n");
  SetDeviceDirs("");
}

}  // namespace
}  // namespace kqs
