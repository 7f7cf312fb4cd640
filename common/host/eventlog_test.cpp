// The event log as syslog receives it: an entry whose type does not match
// its catalog set is not written, and catalog texts are formatted with their
// insertions. Every event's priority and identity are checked against the
// real daemon (daemon_test.cpp).
#include "common/host/eventlog.h"

#include <gtest/gtest.h>
#include <nl_types.h>
#include <syslog.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/testing/syslog_capture.h"

namespace {

TEST(EventLogTest, WritesCatalogTextsWithTheirInsertionsAtTheirPriority) {
  kqs::SyslogCapture log;  // before the event log's thread starts
  ASSERT_TRUE(log.Start()) << log.error();

  EXPECT_EQ(0, EventLogOpen("KQSManager", "System", "kqsd", "/nonexistent/kqsd.cat"));
  EXPECT_EQ(0, EventLogAddMessage(0, 110, 0, nullptr)) << "no catalog, nothing to write";
  ASSERT_EQ(1, EventLogOpen("KQSManager", "System", "kqsd", KQS_CATALOG_PATH));
  EXPECT_EQ(0, EventLogAddMessage(0, 11, 0, nullptr)) << "11 is information, not an error";
  EventLogAddMessage(1, 11, 0, nullptr);
  const uintptr_t port[1] = {uintptr_t("LPT1")};
  EventLogAddMessage(2, 200, 1, port);
  EventLogAddMessage(2, 200, 5, port);  // too many insertions
  const uintptr_t dropped[1] = {7};
  EventLogAddMessage(2, 211, 1, dropped);
  EventLogClose();

  nl_catd cat = catopen(KQS_CATALOG_PATH, 0);
  ASSERT_NE(reinterpret_cast<nl_catd>(-1), cat);
  const std::vector<std::tuple<int, std::string, std::string>> expected = {
      {LOG_DAEMON | LOG_INFO, "KQSManager", catgets(cat, 2, 11, "?")},
      {LOG_DAEMON | LOG_WARNING, "KQSManager", "Printer port LPT1 was added."},
      {LOG_DAEMON | LOG_WARNING, "KQSManager", "7 events were dropped because the system log did not take them in time."},
  };
  catclose(cat);
  std::vector<std::tuple<int, std::string, std::string>> got;
  for (const kqs::SyslogMessage& m : log.Collect(300)) got.emplace_back(m.priority, m.ident, m.text);
  EXPECT_EQ(expected, got);
}

}  // namespace
