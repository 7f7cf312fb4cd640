// Queue creation end to end against an lpsvc tree: the commands run, the
// scripts written, every failure step's code, and hostile requests refused.
#include "queueadmin/queueadd.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/testing/fake_env.h"
#include "protocol/kqsids.h"
#include "queueadmin/devicecheck.h"
#include "queueadmin/lptree_fixture.h"
#include "queueadmin/queueremove.h"

namespace kqs {
namespace {

using Argv = FakeEnv::Argv;

const std::string kLongOsLine = "OS=" + std::string(5000, 'a') + "\n";

// A model and a template whose every variable line shows how it is rewritten.
const std::string kModel = "#!/bin/sh\nOS=aix\n TEOJ=keep\nTEOJ=on\nPERSONALTY=x\nPRINTMODEL=y\n"
                           "BANNER=\nTEOJ=on\nPSLEVEL=1\nOSVERSION=1\n" + kLongOsLine + "echo done\n";
const std::string kBackup = "#!/bin/sh\nOS=\"solaris\"\n TEOJ=keep\nTEOJ=\"off\"\nPERSONALTY=\"PCL5\"\n"
                            "PRINTMODEL=\"LaserJet\"\nBANNER=\"yes\"\nTEOJ=\"off\"\nPSLEVEL=\"2\"\n"
                            "OSVERSION=1\nOS=\"solaris\"\n" + std::string(908, 'a') + "\necho done\n";
const std::string kTemplate = "#!/bin/sh\nPERIPH=old\n  PERIPH=keep\nTEOJ=x\nJRECOV=x\nxPORT=x\n"
                              "DEVTYPE=x\njobm=yes\ntempliary=x\nTEOJ=again\nexec true\n";
const std::string kWrapper = "#!/bin/sh\nPERIPH=10.0.0.5\n  PERIPH=keep\nTEOJ=\"\"\nJRECOV=\"no\"\n"
                             "xPORT=\"-p 9100\"\nDEVTYPE=\"net\"\njobm=\"no\"\n"
                             "LD_LIBRARY_PATH=\"/usr/dt/lib:/opt/SUNWmotif/lib/:/usr/openwin/lib\"\n"
                             "TEOJ=\"\"\nexec true\n";

uid_t OwnerOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_uid : uid_t(-1);
}

TEST(QueueAdd, CreatesAndRemovesAQueueAsLp) {
  LpTree t;
  ASSERT_TRUE(t.ok());
  ASSERT_TRUE(t.Write("usr/lib/lp/model/testmodel", kModel));
  ASSERT_TRUE(t.Write("opt/qvnx/sh/qvnx.model", kTemplate));
  ASSERT_FALSE(t.SchedulerRunning());

  std::string params = QueueParams({{"Model", "testmodel"}, {"Class", "office"}, {"Default", "ON"},
                                    {"TEOJ", "0"}, {"BANNER", "2"}, {"JRECOV", "yes"}});
  ASSERT_EQ(RunInChild([&] { return int(QueueAddUX("q1", params.c_str())); }, true), int(KQS_SUCCESS));

  EXPECT_EQ(t.Read("etc/lp/interfaces/q1"), kWrapper);
  EXPECT_EQ(t.Read("etc/lp/interfaces/model.orig/q1"), kBackup);
  EXPECT_EQ(OwnerOf(t / "etc/lp/interfaces/q1"), kLpUid);
  EXPECT_EQ(t.Read("etc/lp/fd/q1"), "Command: " + (t / "etc/lp/interfaces/q1") +
                                        "\nInput types: any\nOutput types: any\nPrinter types: any\n"
                                        "Printers: q1\nFilter type: fast\n");
  EXPECT_EQ(t.Read("etc/lp/filters/q1"), t.Read("etc/lp/fd/q1"));  // registered
  EXPECT_EQ(t.Read("etc/lp/classes/office"), "q1\n");
  EXPECT_EQ(t.Read("etc/lp/default"), "q1\n");
  for (const char* marker : {"accepting/q1", "enabled/q1", "accepting/office"})
    EXPECT_TRUE(t.Exists(std::string("var/spool/lp/system/") + marker)) << marker;
  EXPECT_FALSE(t.SchedulerRunning()) << "the scheduler was stopped before and must be again";

  ASSERT_EQ(RunInChild([] { return int(QueueRemoveUX("q1")); }, true), int(KQS_SUCCESS));
  for (const char* gone : {"etc/lp/interfaces/q1", "etc/lp/interfaces/model.orig/q1", "etc/lp/fd/q1",
                           "etc/lp/filters/q1", "etc/lp/printers/q1"})
    EXPECT_FALSE(t.Exists(gone)) << gone;
}

TEST(QueueAdd, RunsTheLpCommandsInOrderWithTheirExactWords) {
  LpTree t;
  ASSERT_TRUE(t.ok());
  // A model in both folders is taken from the product's.
  ASSERT_TRUE(t.Write("opt/qvnx/sh/pcl", t.Read("usr/lib/lp/model/pcl")));
  FakeEnv env;
  std::string no_class = QueueParams({{"Default", "on"}});
  ASSERT_EQ(QueueAddUX("q1", no_class.c_str()), KQS_SUCCESS);
  EXPECT_EQ(env.Commands(), (std::vector<Argv>{
                                {t / "usr/lib/lpsched"},
                                {t / "usr/lib/lpadmin", "-pq1", "-v/dev/null", "-i" + (t / "opt/qvnx/sh/pcl")},
                                {t / "usr/lib/accept", "q1"},
                                {t / "usr/bin/enable", "q1"},
                                {t / "usr/lib/lpshut"},
                                {t / "usr/lib/lpfilter", "-f", "q1", "-F", t / "etc/lp/fd/q1"},
                            }));
}

TEST(QueueAdd, EachFailingStepGivesItsCodeAndIsUndone) {
  struct Case {
    const char* faults;
    const char* cls;
    const char* def;
    uint32_t code;
  } cases[] = {
      {"lpsched=nolock", "", "OFF", KQS_SPOOLER_NOT_RUNNING},
      {"lpsched=2", "", "OFF", KQS_SPOOLER_NOT_RUNNING},
      {"lpadmin -p=3", "", "OFF", KQS_LPADMIN_FAILURE},
      {"lpadmin -p=10", "", "OFF", KQS_QUEUE_EXISTS_AS_QUEUE},
      {"lpadmin -p=12", "grp", "OFF", KQS_CLASS_EXISTS_AS_QUEUE},
      {"lpadmin -d=3", "", "ON", KQS_DEFAULT_QUEUE_FAILURE},
      {"accept q1=5", "", "OFF", KQS_ACCEPT_QUEUE_FAILURE},
      {"enable=4", "", "OFF", KQS_ENABLE_FAILURE},
      {"accept grp=6", "grp", "OFF", KQS_ACCEPT_CLASS_FAILURE},
  };
  for (const Case& c : cases) {
    LpTree t;
    ASSERT_TRUE(t.ok());
    ASSERT_EQ(mkdir((t / "etc/lp/interfaces/model.orig").c_str(), 0755), 0);
    t.Faults(std::string(c.faults) + "\n");
    const std::string before = t.Snapshot();
    FakeEnv env;  // fake clock: a scheduler that never shows costs no real time
    env.UseFakeClock(0);
    std::string params = QueueParams({{"Class", c.cls}, {"Default", c.def}});
    EXPECT_EQ(QueueAddUX("q1", params.c_str()), c.code) << c.faults;
    EXPECT_TRUE(t.Snapshot() == before) << c.faults << ": the failed creation left a change behind";
  }
  // The queue is complete; only the scheduler could not be stopped again.
  for (const char* faults : {"lpshut=nolock", "lpfilter=1"}) {
    LpTree t;
    t.Faults(std::string(faults) + "\n");
    FakeEnv env;
    env.UseFakeClock(0);
    std::string params = QueueParams();
    EXPECT_EQ(QueueAddUX("q1", params.c_str()), faults[2] == 's' ? KQS_SPOOLER_STILL_RUNNING : KQS_SUCCESS);
    EXPECT_TRUE(t.Exists("etc/lp/printers/q1")) << faults;
  }
}

TEST(QueueAdd, ScriptFailureRestartsTheSchedulerGivesSetupFailureAndTakesTheQueueOut) {
  // The model cannot be read, or the script made from it is lost at its close.
  for (const auto& [failing, file] : {std::pair{"fopen:r", "/qvnx.model"}, std::pair{"fclose", "/interfaces/q1"}}) {
    LpTree t;
    ASSERT_TRUE(t.ok());
    FakeEnv env;
    env.fault = [&](const std::string& op, const std::string& path) {
      return op == failing && path.ends_with(file) ? ENOSPC : 0;
    };
    std::string params = QueueParams();
    EXPECT_EQ(QueueAddUX("q1", params.c_str()), KQS_QUEUE_SETUP_FAILURE) << failing;
    std::vector<Argv> commands = env.Commands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands[commands.size() - 3], Argv{t / "usr/lib/lpsched"});
    EXPECT_EQ(commands[commands.size() - 2], (Argv{t / "usr/lib/lpadmin", "-xq1"}));
    EXPECT_FALSE(t.Exists("etc/lp/interfaces/model.orig/q1"));
    EXPECT_FALSE(t.Exists("etc/lp/interfaces/q1"));
  }
}

TEST(QueueAdd, RefusesBadAndHostileRequestsBeforeAnyCommandRunsAndChangesNothing) {
  LpTree t;
  ASSERT_TRUE(t.ok());
  ASSERT_TRUE(t.Write("etc/lp/interfaces/taken", ""));
  ASSERT_TRUE(t.Write("etc/lp/classes/grp", "x\n"));
  const std::string before = t.Snapshot();
  FakeEnv env;
  struct Case {
    const char* name;
    std::string params;
    uint32_t code;
  } cases[] = {
      {"taken", "not a list", KQS_QUEUE_EXISTS_AS_QUEUE},
      {"grp", QueueParams(), KQS_QUEUE_EXISTS_AS_CLASS},
      {"q", QueueParams({{"EXPort", nullptr}}), KQS_INVALID_PARAMETER},
      {"q", QueueParams() + "Extra=1", KQS_INVALID_PARAMETER},
      {"q", QueueParams({{"Class", "taken"}}), KQS_CLASS_EXISTS_AS_QUEUE},
      {"q", QueueParams({{"Model", "nosuchmodel"}}), KQS_FILESET_MISSING},
  };
  for (const Case& c : cases) EXPECT_EQ(QueueAddUX(c.name, c.params.c_str()), c.code) << c.name << " " << c.params;
  const std::string long_name(128, 'q');
  // A dot would make a queue that is never listed, or model.orig itself.
  const char* bad_names[] = {"../../x", "-x", ".q", "a b", "", "a/b", long_name.c_str(), "model.orig", "a.b",
                             "_q", "q;id", nullptr};
  for (const char* name : bad_names) {
    std::string params = QueueParams();
    EXPECT_EQ(QueueAddUX(name, params.c_str()), KQS_INVALID_OBJECT_NAME) << (name ? name : "(null)");
  }
  const std::pair<const char*, const char*> bad_values[] = {
      {"Class", "../c"},     {"Class", "-x"},         {"Model", "../../../etc/passwd"},
      {"Model", ".hidden"},  {"Device", "lp0;rm"},    {"Device", "x'y"},
      {"Device", "$(id)"},   {"PERSONALTY", "a\"b"}, {"Type", "`id`"},
      {"PSLEVEL", "1\n2"},   {"DEVTYPE", "a\\b"},   {"IPPort", "$HOME"},
      {"Device", "a b"},     {"Class", "c.d"},        {"Model", "a b"},
  };
  for (const auto& [key, value] : bad_values) {
    std::string params = QueueParams({{key, value}});
    EXPECT_EQ(QueueAddUX("q1", params.c_str()), KQS_INVALID_PARAMETER) << key << "=" << value;
  }
  // A Device a job could be appended to as code: the queue's own interface
  // program, anything in the LP tree, a link (even to a device), a regular
  // file outside DeviceDirs (in one whose name only begins like one of them),
  // a path that climbs out of them, or one that would leave its place in
  // the interface script.
  ScratchDir outside;
  ASSERT_EQ(symlink("/dev/null", (outside / "lp0").c_str()), 0);
  ASSERT_TRUE(ScratchDir::WriteFile(outside / "spool", "") && mkdir((outside / "jobs").c_str(), 0755) == 0);
  ASSERT_EQ(symlink("/etc", (outside / "jobs/etc").c_str()), 0);
  ASSERT_EQ(SetDeviceDirs((outside / "jobs").c_str()), 0);
  for (const std::string& device : {t / "etc/lp/interfaces/q1", t / "etc/lp/interfaces/taken", t / "usr/lib/lp/model/pcl",
                                    outside / "lp0", outside / "spool", outside / "jobs/../spool",
                                    outside / "jobs/etc/passwd", outside / "jobs", outside / "jobs-old/lp0",
                                    outside / "jobs/x'y", std::string("-rf"), std::string("")}) {
    std::string params = QueueParams({{"Device", device.c_str()}});
    EXPECT_EQ(QueueAddUX("q1", params.c_str()), KQS_INVALID_PARAMETER) << device;
  }
  EXPECT_EQ(SetDeviceDirs("jobs"), -1);
  EXPECT_EQ(SetDeviceDirs(""), 0);
  // A name that is fine alone but does not fit every command line and path
  // the creation needs (the filter's holds it twice).
  const std::string params = QueueParams();
  EXPECT_EQ(QueueAddUX(long_name.c_str() + 1, params.c_str()), KQS_INVALID_PARAMETER);
  EXPECT_TRUE(env.Commands().empty());
  EXPECT_TRUE(t.Snapshot() == before) << "a refused creation changed the LP tree";
}

}  // namespace
}  // namespace kqs
