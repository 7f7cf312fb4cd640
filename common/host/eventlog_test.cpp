// The event log as syslog receives it: which entries pass the type, id and
// level rules, their priority and identity, and catalog texts formatted
// with their insertions.
#include "common/host/eventlog.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/testing/run.h"
#include "common/testing/scratch_dir.h"
#include "common/testing/syslog_capture.h"

namespace {

using kqs::ScratchDir;

TEST(EventLogTest, WritesCatalogTextsWithTheirInsertionsAtTheirPriority) {
  kqs::SyslogCapture log;  // before the event log's thread starts
  ASSERT_TRUE(log.Start()) << log.error();

  EXPECT_EQ(0, EventLogOpen("KQSManager", "System", "kqsd", "/nonexistent/kqsd.cat"));
  EXPECT_EQ(0, EventLogAddMessage(0, 110, 0, nullptr)) << "no catalog, nothing to write";
  ASSERT_EQ(1, EventLogOpen("KQSManager", "System", "kqsd", KQS_CATALOG_PATH));
  EXPECT_EQ(0, EventLogAddMessage(3, 11, 0, nullptr));
  EXPECT_EQ(0, EventLogAddMessage(0, 11, 0, nullptr)) << "11 is information, not an error";
  EXPECT_EQ(0, EventLogAddMessage(0, 9999, 0, nullptr));
  EXPECT_EQ(0, EventLogSetLevel(3));
  ASSERT_EQ(1, EventLogSetLevel(1));
  EventLogAddMessage(0, 101, 0, nullptr);
  EventLogAddMessage(1, 11, 0, nullptr);
  const uintptr_t port[1] = {uintptr_t("LPT1")};
  EventLogAddMessage(2, 200, 1, port);
  EventLogAddMessage(2, 200, 5, port);  // too many insertions
  EventLogSetLevel(2);
  EventLogAddMessage(1, 2, 0, nullptr);  // filtered
  EventLogAddMessage(0, 108, 0, nullptr);

  // Insertions by their conversions, from a catalog of our own.
  ScratchDir dir;
  ScratchDir::WriteFile(dir / "t.msg",
                        "$quote \"\n$set 1\n1 \"%d|%u|%x|%5.2s\"\n2 \"%s and %s\"\n3 \"%n%f%m %s\"\n"
                        "4 \"%-3c|%%|%ld\"\n");
  ASSERT_EQ(0, kqs::Run({KQS_GENCAT, dir / "t.cat", dir / "t.msg"}).status);
  ASSERT_EQ(1, EventLogOpen("t", "System", "kqsd", (dir / "t.cat").c_str()));
  const uintptr_t a[4] = {uintptr_t(-7), 42, 255, uintptr_t("abcdef")};
  EventLogAddMessage(0, 1, 4, a);
  // Only one insertion for a text with two conversions: the second is empty.
  const uintptr_t b[1] = {uintptr_t("one")};
  EventLogAddMessage(0, 2, 1, b);
  // Conversions that a number or text cannot feed stay as they are.
  EventLogAddMessage(0, 3, 1, b);
  const uintptr_t c[2] = {'A', uintptr_t(-5)};
  EventLogAddMessage(0, 4, 2, c);
  EventLogClose();

  nl_catd cat = catopen(KQS_CATALOG_PATH, 0);
  ASSERT_NE(reinterpret_cast<nl_catd>(-1), cat);
  const std::vector<std::tuple<int, std::string, std::string>> expected = {
      {LOG_DAEMON | LOG_ERR, "KQSManager", catgets(cat, 1, 101, "?")},
      {LOG_DAEMON | LOG_INFO, "KQSManager", catgets(cat, 2, 11, "?")},
      {LOG_DAEMON | LOG_WARNING, "KQSManager", "Printer port LPT1 was added."},
      {LOG_DAEMON | LOG_ERR, "KQSManager", catgets(cat, 1, 108, "?")},
      {LOG_DAEMON | LOG_ERR, "t", "-7|42|ff|   ab"},
      {LOG_DAEMON | LOG_ERR, "t", "one and (null)"},
      {LOG_DAEMON | LOG_ERR, "t", "%n%f%m one"},
      {LOG_DAEMON | LOG_ERR, "t", "A  |%|-5"},
  };
  catclose(cat);
  std::vector<std::tuple<int, std::string, std::string>> got;
  for (const kqs::SyslogMessage& m : log.Collect(300)) got.emplace_back(m.priority, m.ident, m.text);
  EXPECT_EQ(expected, got);
}

}  // namespace
