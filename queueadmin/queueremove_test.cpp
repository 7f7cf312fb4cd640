// Queue removal against an lpsvc tree.
#include "queueadmin/queueremove.h"

#include <gtest/gtest.h>

#include <string>

#include "common/testing/fake_env.h"
#include "protocol/kqsids.h"
#include "queueadmin/lptree_fixture.h"
#include "queueadmin/queueadd.h"

namespace kqs {
namespace {

TEST(QueueRemove, RemovesAQueueMadeOutsideTheDaemonAndRefusesClassesAndStrangers) {
  LpTree t;
  ASSERT_TRUE(t.ok());
  // No filter, description or backup script: their absence is no failure.
  ASSERT_EQ(t.Lp("usr/lib/lpadmin", {"-pplain", "-v/dev/null", "-cgrp", "-i" + (t / "usr/lib/lp/model/pcl")}), 0);
  ASSERT_TRUE(t.Write("etc/lp/classes/onlyclass", ""));
  EXPECT_EQ(QueueRemoveUX("onlyclass"), KQS_INVALID_OBJECT_NAME);
  EXPECT_EQ(QueueRemoveUX("nosuch"), KQS_INVALID_OBJECT_NAME);
  // "." and ".." exist in the interface folder; "../classes/grp" would reach
  // a class. None of them is a queue.
  for (const char* hostile : {".", "..", "../classes/grp", "model.orig", "-xplain", ""})
    EXPECT_EQ(QueueRemoveUX(hostile), KQS_INVALID_OBJECT_NAME) << hostile;
  EXPECT_TRUE(t.Exists("etc/lp/classes/onlyclass"));
  EXPECT_TRUE(t.Exists("etc/lp/classes/grp"));

  EXPECT_EQ(QueueRemoveUX("plain"), KQS_SUCCESS);
  EXPECT_FALSE(t.Exists("etc/lp/interfaces/plain"));
  EXPECT_FALSE(t.Exists("etc/lp/classes/grp")) << "lpadmin dropped the emptied class";
}

TEST(QueueRemove, FailingLpadminLeavesEveryPartOfTheQueue) {
  LpTree t;
  ASSERT_TRUE(t.ok());
  std::string params = QueueParams();
  ASSERT_EQ(QueueAddUX("q1", params.c_str()), KQS_SUCCESS);
  ASSERT_TRUE(t.Exists("etc/lp/filters/q1"));
  t.Faults("lpadmin -xq1=7\n");
  FakeEnv env;
  EXPECT_EQ(QueueRemoveUX("q1"), KQS_LPADMIN_FAILURE);
  EXPECT_EQ(env.Commands(), (std::vector<FakeEnv::Argv>{{t / "usr/lib/lpadmin", "-xq1"}}));
  EXPECT_TRUE(t.Exists("etc/lp/filters/q1"));
  EXPECT_TRUE(t.Exists("etc/lp/fd/q1"));
  EXPECT_TRUE(t.Exists("etc/lp/interfaces/model.orig/q1"));
  EXPECT_TRUE(t.Exists("etc/lp/interfaces/q1"));
}

}  // namespace
}  // namespace kqs
