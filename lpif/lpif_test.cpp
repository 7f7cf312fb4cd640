// lpif between CUPS and a queue's interface program: the programs it refuses
// to run, the arguments and job it hands over, the status it gives CUPS, a
// cancel while it reads the job, and queues made by the daemon printing
// through the wrapper into a file, byte for byte.
#include <cups/backend.h>
#include <gtest/gtest.h>
#include <signal.h>
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
  // lpif as CUPS runs it, as root in a group of root's (it becomes lp and
  // lp's group alone), on the interface program at rel with the job file, or
  // with stdin_text as the job when job is "".
  auto lpif = [&](const std::string& rel, const std::string& job, const std::string& stdin_text = "",
                  const std::string& env = "PRINTER=", const char* copies = "1") {
    std::vector<std::string> argv = {"setpriv", "--groups=4242", LPIF_PATH, "42", "alice", "My title", copies,
                                     "media=a4"};
    if (!job.empty()) argv.push_back(job);
    return kqs::Run(argv, stdin_text, {"DEVICE_URI=lpif://" + t / rel, "TMPDIR=" + t / "tmp", env});
  };
  EXPECT_EQ(kqs::Run({LPIF_PATH}).out, "direct lpif \"Unknown\" \"LP interface program\"\n");

  for (const char* dir : {"tmp", "rec", "other"}) {
    ASSERT_TRUE(std::filesystem::create_directory(t / dir) && GiveToLp(t / dir, 0755)) << dir;
  }
  auto program = [&](const std::string& rel, const char* jrecov, mode_t mode, bool lp) {
    ASSERT_TRUE(t.Write(rel, "#!/bin/sh\nJRECOV=\"" + std::string(jrecov) + "\"\nprintf '%s|' \"$@\" > " +
                                 t / "rec/args" + "\nid -G > " + t / "rec/groups" + "\necho $$ > " + t / "rec/pid" + "\n[ -z \"$IFKILL\" ] || { head -c 4 > " +
                                 t / "rec/job" + "; kill $PPID; sleep 9; }\ncat -- \"$6\" > " + t / "rec/job" +
                                 "\nexit ${IFEXIT:-0}\n"));
    ASSERT_TRUE(lp ? GiveToLp(t / rel, mode) : chmod((t / rel).c_str(), mode) == 0);
  };
  program("etc/lp/interfaces/q", "no", 0755, true);
  program("other/q", "no", 0755, true);
  program("etc/lp/interfaces/root", "no", 0755, false);
  program("etc/lp/interfaces/groupw", "no", 0775, true);
  // A tree whose interfaces directory and program a third user owns, and
  // one whose interfaces directory lp's group may write.
  for (const char* tree : {"third", "groupdir"}) {
    ASSERT_TRUE(std::filesystem::create_directories(t / (std::string(tree) + "/etc/lp/interfaces")));
    program(std::string(tree) + "/etc/lp/interfaces/q", "no", 0755, true);
  }
  ASSERT_EQ(chown((t / "third/etc/lp/interfaces").c_str(), 4242, 4242), 0);
  ASSERT_EQ(chown((t / "third/etc/lp/interfaces/q").c_str(), 4242, 4242), 0);
  ASSERT_TRUE(GiveToLp(t / "groupdir/etc/lp/interfaces", 0775));
  const std::string job(std::string("page\0one\n", 9));
  ASSERT_TRUE(t.Write("job", job));

  for (const char* bad : {"other/q", "etc/lp/interfaces/../../../other/q", "etc/lp/interfaces/root",
                          "etc/lp/interfaces/groupw", "etc/lp/interfaces/none", "third/etc/lp/interfaces/q",
                          "groupdir/etc/lp/interfaces/q"}) {
    const RunResult r = lpif(bad, t / "job");
    EXPECT_EQ(r.status, CUPS_BACKEND_STOP) << bad;
    EXPECT_TRUE(r.err.starts_with("ERROR: ") && r.err.find('\n') == r.err.size() - 1) << r.err;
  }
  EXPECT_FALSE(t.Exists("rec/args")) << "a refused program must not run";

  RunResult r = lpif("etc/lp/interfaces/q", t / "job");
  EXPECT_EQ(r.status, CUPS_BACKEND_OK) << r.err;
  EXPECT_EQ(t.Read("rec/args"), "q-42|alice|My title|1|media=a4|" + t / "job" + "|");
  EXPECT_EQ(t.Read("rec/job"), job);
  EXPECT_EQ(t.Read("rec/groups"), std::to_string(kLpGid) + "\n") << "root's groups went along";
  // From standard input the job streams through as "-", its copies made.
  r = lpif("etc/lp/interfaces/q", "", job, "PRINTER=cupsq");
  EXPECT_EQ(r.status, CUPS_BACKEND_OK) << r.err;
  EXPECT_EQ(t.Read("rec/args"), "cupsq-42|alice|My title|1|media=a4|-|");
  EXPECT_EQ(t.Read("rec/job"), job);
  // A failing program fails the job, to be retried only under JRECOV.
  r = lpif("etc/lp/interfaces/q", t / "job", "", "IFEXIT=3");
  EXPECT_EQ(r.status, CUPS_BACKEND_FAILED);
  EXPECT_NE(r.err.find("ERROR: "), std::string::npos) << r.err;
  // A connection lost mid-job is sent again once, whole, from a job file.
  program("etc/lp/interfaces/q", "yes", 0755, true);
  r = lpif("etc/lp/interfaces/q", t / "job", "", "IFEXIT=3");
  EXPECT_EQ(r.status, CUPS_BACKEND_RETRY);
  const size_t again = r.err.find("sending request q-42 again");
  EXPECT_TRUE(again != std::string::npos && again == r.err.rfind("sending request q-42 again")) << r.err;

  // Cancelled (by the program here) with the job half read: a quiet end,
  // the program gone, nothing left behind.
  r = lpif("etc/lp/interfaces/q", "", job, "IFKILL=1");
  EXPECT_EQ(r.status, CUPS_BACKEND_OK);
  EXPECT_EQ(r.err, "INFO: Sending request q-42 through " + t / "etc/lp/interfaces/q" + "\n");
  EXPECT_NE(kill(std::stoi(t.Read("rec/pid")), 0), 0) << "the interface program still runs";
  EXPECT_TRUE(std::filesystem::is_empty(t / "tmp"));

  // Queues the daemon made: the wrapper runs the model and lpdeliver appends
  // to the device file, in a directory the administrator allowed. Copies are
  // made; a banner page only for a text job on the text model; the
  // end-of-job byte only from the PostScript model.
  ScratchDir spool;
  const std::string printer = spool / "printer";
  ASSERT_EQ(SetDeviceDirs(spool.path().c_str()), 0);
  ASSERT_TRUE(ScratchDir::WriteFile(printer, "") && GiveToLp(printer, 0644));
  const std::string pjl = "\033%-12345X@PJL ENTER LANGUAGE=PCL\n\033E text\n";
  const std::string ps = "%!PS\nshowpage\n";
  for (const char* model : {"pcl", "postscript", "standard"}) {  // each with banner, TEOJ and JRECOV on
    const std::string params = QueueParams({{"Device", printer.c_str()}, {"Model", model}});
    ASSERT_EQ(RunInChild([&] { return int(QueueAddUX(model, params.c_str())); }, true), int(KQS_SUCCESS));
  }
  auto print = [&](const std::string& queue, const std::string& text, const char* copies = "1") {
    EXPECT_TRUE(t.Write("job", text) && ScratchDir::WriteFile(printer, ""));
    EXPECT_EQ(lpif("etc/lp/interfaces/" + queue, t / "job", "", "PRINTER=", copies).status, CUPS_BACKEND_OK);
    return ScratchDir::ReadFile(printer);
  };
  EXPECT_EQ(print("pcl", pjl, "3"), pjl + pjl + pjl);
  EXPECT_EQ(print("postscript", ps, "2"), ps + "\004" + ps + "\004");
  for (const std::string& j : {ps, pjl}) EXPECT_EQ(print("standard", j), j);
  EXPECT_EQ(print("standard", "hello\n"), "Request: standard-42\nUser: alice\nTitle: My title\n\fhello\n");
  // A failing model script fails the job, to be retried; a missing device
  // stops the queue until it is put right.
  r = lpif("etc/lp/interfaces/pcl", t / "no-such-job");
  EXPECT_EQ(r.status, CUPS_BACKEND_RETRY) << r.err;
  ASSERT_EQ(unlink(printer.c_str()), 0);
  r = lpif("etc/lp/interfaces/pcl", t / "job");
  EXPECT_EQ(r.status, CUPS_BACKEND_STOP) << r.err;
  EXPECT_NE(r.err.find("ERROR: lpdeliver: cannot open " + printer), std::string::npos) << r.err;
  // A queue made before Devices were checked, pointing at its own interface
  // program, at a file in the tree or through a link: lpdeliver refuses to
  // append, the queue stops, and the files stay as they were.
  const std::string script = t.Read("etc/lp/interfaces/pcl");
  ASSERT_TRUE(GiveToLp(t / "job", 0644));
  ASSERT_EQ(symlink((t / "job").c_str(), printer.c_str()), 0);
  for (const std::string& device : {t / "etc/lp/interfaces/pcl", t / "job", printer}) {
    ASSERT_TRUE(t.Write("etc/lp/interfaces/pcl", std::regex_replace(script, std::regex("\nPERIPH=.*"),
                                                                    "\nPERIPH=\"" + device + "\"")));
    ASSERT_TRUE(GiveToLp(t / "etc/lp/interfaces/pcl", 0755));
    r = lpif("etc/lp/interfaces/pcl", t / "job");
    EXPECT_EQ(r.status, CUPS_BACKEND_STOP) << device;
    EXPECT_TRUE(r.err.find(" lies in the LP tree") != std::string::npos || r.err.find("is a program") != std::string::npos ||
                r.err.find("is a symbolic link") != std::string::npos)
        << r.err;
  }
  EXPECT_EQ(t.Read("job"), "hello\n");
  SetDeviceDirs("");
}

}  // namespace
}  // namespace kqs
