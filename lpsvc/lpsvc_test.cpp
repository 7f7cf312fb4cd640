// lpsvc, the LP service the handlers are tested against: it must refuse what
// a print service refuses, without changing its tree, or handler tests would
// pass against it that fail on a real one.
#include <gtest/gtest.h>
#include <unistd.h>

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

}  // namespace
}  // namespace kqs
