// lpif between CUPS and a queue's interface program: the programs it refuses
// to run, the arguments and job it hands over, the status it gives CUPS, and
// a queue made by the daemon printing through the wrapper into a file.
#include <cups/backend.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/testing/scratch_dir.h"
#include "protocol/kqsids.h"
#include "queueadmin/lptree_fixture.h"
#include "queueadmin/queueadd.h"

namespace kqs {
namespace {

// Runs lpif as CUPS would, as root (it becomes lp), with "PATH" or "< PATH"
// as the job; returns its exit status with its messages in *said.
int RunLpif(const std::string& dir, const std::string& uri, const std::string& job, std::string* said,
            const std::string& env = "") {
  std::string cmd = "DEVICE_URI='" + uri + "' TMPDIR=" + dir + "/tmp PRINTER= " + env + " " LPIF_PATH +
                    " 42 alice 'My title' 1 media=a4 " + job + " 2>" + dir + "/said";
  int status = std::system(cmd.c_str());
  *said = ScratchDir::ReadFile(dir + "/said");
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool GiveToLp(const std::string& path, mode_t mode) {
  return chown(path.c_str(), kLpUid, kLpGid) == 0 && chmod(path.c_str(), mode) == 0;
}

TEST(Lpif, RunsOnlyAnLpInterfaceProgramWithTheJobAndReportsItsStatus) {
  ScratchDir d;
  std::string out;
  FILE* discovery = popen(LPIF_PATH, "r");
  char line[256] = "";
  ASSERT_NE(std::fgets(line, sizeof line, discovery), nullptr);
  EXPECT_STREQ(line, "direct lpif \"Unknown\" \"LP interface program\"\n");
  EXPECT_EQ(pclose(discovery), 0);

  std::filesystem::create_directories(d / "etc/lp/interfaces");
  std::filesystem::create_directories(d / "other");
  ASSERT_TRUE(GiveToLp(d / "etc/lp/interfaces", 0755) && std::filesystem::create_directory(d / "tmp") &&
              GiveToLp(d / "tmp", 0755) && std::filesystem::create_directory(d / "rec") && GiveToLp(d / "rec", 0755));
  auto program = [&](const std::string& rel, const char* jrecov, mode_t mode, bool lp) {
    std::string body = "#!/bin/sh\nJRECOV=\"" + std::string(jrecov) + "\"\nprintf '%s|' \"$@\" > " + d / "rec/args" +
                       "\ncat \"$6\" > " + d / "rec/job" + "\nexit ${IFEXIT:-0}\n";
    ASSERT_TRUE(ScratchDir::WriteFile(d / rel, body));
    ASSERT_TRUE(lp ? GiveToLp(d / rel, mode) : chmod((d / rel).c_str(), mode) == 0);
  };
  program("etc/lp/interfaces/q", "no", 0755, true);
  program("other/q", "no", 0755, true);
  program("etc/lp/interfaces/root", "no", 0755, false);
  program("etc/lp/interfaces/groupw", "no", 0775, true);
  ASSERT_TRUE(ScratchDir::WriteFile(d / "job", std::string("page\0one\n", 9)));

  for (const char* bad : {"other/q", "etc/lp/interfaces/../../../other/q", "etc/lp/interfaces/root",
                                 "etc/lp/interfaces/groupw", "etc/lp/interfaces/none"}) {
    EXPECT_EQ(RunLpif(d.path(), "lpif://" + d / bad, d / "job", &out), CUPS_BACKEND_FAILED) << bad;
    EXPECT_TRUE(out.starts_with("ERROR: ") && out.find('\n') == out.size() - 1) << out;
  }
  EXPECT_FALSE(ScratchDir::Exists(d / "rec/args")) << "a refused program must not run";

  const std::string uri = "lpif://" + d / "etc/lp/interfaces/q";
  EXPECT_EQ(RunLpif(d.path(), uri, d / "job", &out), CUPS_BACKEND_OK) << out;
  EXPECT_EQ(ScratchDir::ReadFile(d / "rec/args"), "q-42|alice|My title|1|media=a4|" + d / "job" + "|");
  EXPECT_EQ(ScratchDir::ReadFile(d / "rec/job"), ScratchDir::ReadFile(d / "job"));

  // From standard input the job goes through a temporary file that is removed.
  EXPECT_EQ(RunLpif(d.path(), uri, "< " + d / "job", &out, "PRINTER=cupsq"), CUPS_BACKEND_OK) << out;
  EXPECT_TRUE(ScratchDir::ReadFile(d / "rec/args").starts_with("cupsq-42|alice|My title|1|media=a4|" + d / "tmp/"));
  EXPECT_EQ(ScratchDir::ReadFile(d / "rec/job"), ScratchDir::ReadFile(d / "job"));
  EXPECT_TRUE(std::filesystem::is_empty(d / "tmp"));

  EXPECT_EQ(RunLpif(d.path(), uri, d / "job", &out, "IFEXIT=3"), CUPS_BACKEND_FAILED);
  EXPECT_NE(out.find("ERROR: "), std::string::npos) << out;
  program("etc/lp/interfaces/q", "yes", 0755, true);
  EXPECT_EQ(RunLpif(d.path(), uri, "< " + d / "job", &out, "IFEXIT=3"), CUPS_BACKEND_RETRY);
  EXPECT_TRUE(std::filesystem::is_empty(d / "tmp"));
}

TEST(Lpif, PrintsThroughTheWrapperOfAQueueTheDaemonMade) {
  LpTree t;
  ASSERT_TRUE(t.ok());
  ASSERT_TRUE(t.Write("printer", "earlier job\n") && GiveToLp(t / "printer", 0644));
  ASSERT_TRUE(t.Write("job", "hello\n"));
  std::string params = QueueParams({{"Device", (t / "printer").c_str()}});  // pcl, banner, TEOJ, JRECOV
  ASSERT_EQ(RunAsLp([&] { return int(QueueAddUX("q1", params.c_str())); }), int(KQS_SUCCESS));

  const std::string uri = "lpif://" + t / "etc/lp/interfaces/q1";
  std::string said;
  ASSERT_EQ(RunLpif(t.root(), uri, t / "job", &said), CUPS_BACKEND_OK) << said;
  EXPECT_EQ(t.Read("printer"), "earlier job\nLaserJet PCL5\nhello\n\004");

  // A failing model script or a failing delivery fails the job (to be retried).
  EXPECT_EQ(RunLpif(t.root(), uri, t / "no-such-job", &said), CUPS_BACKEND_RETRY) << said;
  ASSERT_EQ(unlink((t / "printer").c_str()), 0);
  EXPECT_EQ(RunLpif(t.root(), uri, t / "job", &said), CUPS_BACKEND_RETRY) << said;
  EXPECT_NE(said.find("ERROR: lpdeliver: cannot open " + t / "printer"), std::string::npos) << said;
}

}  // namespace
}  // namespace kqs
