// lpsvc, the LP service the handlers are tested against: it must refuse what
// a print service refuses, without changing its tree, or handler tests would
// pass against it that fail on a real one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "queueadmin/lptree_fixture.h"

namespace kqs {
namespace {

TEST(Lpsvc, RefusesWhatAPrintServiceRefusesAndChangesNothing) {
  LpTree t;
  ASSERT_TRUE(t.ok());
  const std::string pcl = "-i" + (t / "usr/lib/lp/model/pcl");
  ASSERT_EQ(t.Lp("usr/lib/lpadmin", {"-p", "q1", "-v", "/dev/null", "-cgrp", pcl}), 0);
  ASSERT_TRUE(t.Write("bad.fd", "Command: /bin/true\nColour: any\n"));
  const std::string before = t.Snapshot();
  struct Case {
    const char* command;
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {"usr/lib/accept", {"q1"}, 1},  // the scheduler is not running
      {"usr/lib/lpadmin", {"-pq2", "-v/dev/null", "-i/no/such/model"}, 1},
      {"usr/lib/lpadmin", {"-pq2", "-v/dev/null", "-cq1", pcl}, 1},
      {"usr/lib/lpadmin", {"-pgrp", "-v/dev/null", pcl}, 1},
      {"usr/lib/lpadmin", {"-xnosuch"}, 1},
      {"usr/lib/lpadmin", {"-p../x", "-v/dev/null", pcl}, 1},
      {"usr/lib/lpfilter", {"-f", "q1", "-F", t / "bad.fd"}, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(t.Lp(c.command, c.args), c.status) << c.command << " " << c.args[0];
  EXPECT_EQ(t.Snapshot(), before);

  // A removal that cannot remove the printer says so.
  ASSERT_EQ(chown((t / "etc/lp/interfaces").c_str(), 0, 0), 0);
  EXPECT_NE(RunInChild([&] { return t.Lp("usr/lib/lpadmin", {"-xq1"}); }, true), 0);
  EXPECT_TRUE(t.Exists("etc/lp/interfaces/q1"));
  ASSERT_EQ(chown((t / "etc/lp/interfaces").c_str(), kLpUid, kLpGid), 0);

  ASSERT_EQ(t.Lp("usr/lib/lpsched", {}), 0);
  EXPECT_EQ(t.Lp("usr/bin/enable", {"grp"}), 1) << "a class cannot be enabled";
  EXPECT_EQ(t.Lp("usr/lib/accept", {"q1", "nosuch"}), 1);
  EXPECT_FALSE(t.Exists("var/spool/lp/system/accepting/q1")) << "all names are checked first";
}

TEST(Lpsvc, RootFollowsNoLinkThatLpPlantedInTheTree) {
  LpTree t;
  ASSERT_TRUE(t.ok());
  const std::string pcl = "-i" + (t / "usr/lib/lp/model/pcl");
  ASSERT_EQ(t.Lp("usr/lib/lpadmin", {"-p", "q1", "-v", "/dev/null", pcl}), 0);
  // Root's own files, beside the tree: a directory only root may enter and
  // a secret only root may read.
  ScratchDir outside;
  const std::string secret = outside / "secret", vault = outside / "vault";
  ASSERT_TRUE(ScratchDir::WriteFile(secret, "root only\n") && chmod(secret.c_str(), 0600) == 0);
  ASSERT_EQ(mkdir(vault.c_str(), 0700), 0);
  // As lp: cups-server, the name the next default is written under and then
  // fd/ become links to them; root sets the tree up again each time (as
  // after an upgrade) and changes the default.
  auto plant = [&](const std::string& rel, const std::string& target) {
    return RunInChild(
        [&] {
          std::error_code ec;
          std::filesystem::remove(t / rel, ec);
          return symlink(target.c_str(), (t / rel).c_str());
        },
        true);
  };
  ASSERT_EQ(plant("etc/lp/cups-server", secret), 0);
  ASSERT_EQ(plant("etc/lp/default.lpsvc-new", secret), 0);
  RunResult r = kqs::Run({LPSVC_PATH, "setup", t / "", "--cups", "default"});
  EXPECT_EQ(r.status, 0) << r.all();
  EXPECT_EQ(t.Read("etc/lp/cups-server"), "default\n");
  ASSERT_EQ(kqs::Run({LPSVC_PATH, "setup", t / ""}).status, 0);
  EXPECT_EQ(t.Lp("usr/lib/lpadmin", {"-dq1"}), 0);
  EXPECT_EQ(t.Read("etc/lp/default"), "q1\n");
  ASSERT_EQ(plant("etc/lp/fd", vault), 0);
  r = kqs::Run({LPSVC_PATH, "setup", t / ""});
  EXPECT_EQ(r.status, 1) << "set-up went through a link lp planted";
  EXPECT_NE(r.err.find(t / "etc/lp/fd"), std::string::npos) << r.err;

  struct stat st;
  ASSERT_EQ(stat(vault.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u) << "root gave its directory to lp";
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(stat(secret.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << "root opened its secret to everyone";
  EXPECT_EQ(ScratchDir::ReadFile(secret), "root only\n");
}

}  // namespace
}  // namespace kqs
