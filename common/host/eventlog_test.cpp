// Tests of the event log: which entries pass the type and level rules, how
// catalog texts are formatted with insertions, and what reaches syslog.
#include "common/host/eventlog.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/testing/scratch_dir.h"
#include "common/testing/syslog_capture.h"

namespace {

using kqs::ScratchDir;
using kqs::SyslogCapture;
using kqs::SyslogMessage;

struct Seen {
  unsigned id;
  bool hasText;
  std::string text;
};
std::vector<Seen> g_seen;

void Record(unsigned short, unsigned id, unsigned short, const char* text) {
  g_seen.push_back({id, text != nullptr, text != nullptr ? text : ""});
}

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen.clear();
    previous_ = EventLogSetObserverForTesting(Record);
    EventLogSetLevel(0);
  }
  void TearDown() override {
    EventLogClose();
    EventLogSetObserverForTesting(previous_);
    EventLogSetLevel(0);
  }
  EventLogObserver previous_ = nullptr;
};

TEST_F(EventLogTest, RejectsUnknownTypesLevelsAndIds) {
  EXPECT_EQ(0, EventLogOpen("KQSManager", "System", "kqsd", "/nonexistent/kqsd.cat"));
  EXPECT_EQ(0, EventLogAddMessage(0, 110, 0, nullptr)) << "no catalog, nothing to write";

  ASSERT_EQ(1, EventLogOpen("KQSManager", "System", "kqsd", KQS_CATALOG_PATH));
  EXPECT_EQ(0, EventLogAddMessage(3, 11, 0, nullptr));
  EXPECT_EQ(0, EventLogAddMessage(0, 11, 0, nullptr)) << "11 is information, not an error";
  EXPECT_EQ(0, EventLogAddMessage(0, 9999, 0, nullptr));
  EXPECT_EQ(1, EventLogSetLevel(2));
  EXPECT_EQ(0, EventLogSetLevel(3));
  EXPECT_EQ(2, wLevel);
  ASSERT_EQ(3u, g_seen.size());  // the type 3 entry is not even seen
  for (const Seen& s : g_seen) EXPECT_FALSE(s.hasText) << s.id;
}

TEST_F(EventLogTest, FormatsInsertionsByTheirConversions) {
  ScratchDir dir;
  const std::string msg = dir / "t.msg";
  const std::string cat = dir / "t.cat";
  ScratchDir::WriteFile(msg,
                        "$quote \"\n$set 1\n"
                        "1 \"%d|%u|%x|%5.2s\"\n"
                        "2 \"%s and %s\"\n"
                        "3 \"%n%f%m %s\"\n"
                        "4 \"%-3c|%%|%ld\"\n");
  ASSERT_EQ(0, std::system((std::string(KQS_GENCAT) + " " + cat + " " + msg).c_str()));
  ASSERT_EQ(1, EventLogOpen("t", "System", "kqsd", cat.c_str()));

  const uintptr_t a[4] = {uintptr_t(-7), 42, 255, uintptr_t("abcdef")};
  EXPECT_EQ(1, EventLogAddMessage(0, 1, 4, a));
  // Only one insertion for a text with two conversions: the second is empty.
  const uintptr_t b[1] = {uintptr_t("one")};
  EXPECT_EQ(1, EventLogAddMessage(0, 2, 1, b));
  // Conversions that a number or text cannot feed stay as they are.
  EXPECT_EQ(1, EventLogAddMessage(0, 3, 1, b));
  const uintptr_t c[2] = {'A', uintptr_t(-5)};
  EXPECT_EQ(1, EventLogAddMessage(0, 4, 2, c));
  ASSERT_EQ(4u, g_seen.size());
  EXPECT_EQ("-7|42|ff|   ab", g_seen[0].text);
  EXPECT_EQ("one and (null)", g_seen[1].text);
  EXPECT_EQ("%n%f%m one", g_seen[2].text);
  EXPECT_EQ("A  |%|-5", g_seen[3].text);
}

TEST(EventLogSyslogTest, WritesCatalogTextsAtTheirPriorityUnderTheSourceName) {
  std::vector<SyslogMessage> got;
  std::string error;
  bool ok = SyslogCapture::CaptureInChild(
      [] {
        EventLogOpen("KQSManager", "System", "kqsd", KQS_CATALOG_PATH);
        EventLogSetLevel(1);
        EventLogAddMessage(0, 101, 0, nullptr);
        EventLogAddMessage(1, 11, 0, nullptr);
        const uintptr_t port[1] = {uintptr_t("LPT1")};
        EventLogAddMessage(2, 200, 1, port);
        EventLogAddMessage(2, 200, 5, port);  // too many insertions
        EventLogSetLevel(2);
        EventLogAddMessage(1, 2, 0, nullptr);  // filtered
        EventLogAddMessage(0, 108, 0, nullptr);
        EventLogClose();
      },
      300, &got, &error);
  ASSERT_TRUE(ok) << error;

  nl_catd cat = catopen(KQS_CATALOG_PATH, 0);
  ASSERT_NE(reinterpret_cast<nl_catd>(-1), cat);
  std::array<char, 256> port{};
  std::snprintf(port.data(), port.size(), catgets(cat, 3, 200, "?"), "LPT1");
  struct Expected {
    int priority;
    std::string text;
  };
  const std::vector<Expected> expected = {
      {LOG_DAEMON | LOG_ERR, catgets(cat, 1, 101, "?")},
      {LOG_DAEMON | LOG_INFO, catgets(cat, 2, 11, "?")},
      {LOG_DAEMON | LOG_WARNING, port.data()},
      {LOG_DAEMON | LOG_ERR, catgets(cat, 1, 108, "?")},
  };
  catclose(cat);

  ASSERT_EQ(expected.size(), got.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(expected[i].priority, got[i].priority) << got[i].raw;
    EXPECT_EQ(expected[i].text, got[i].text) << got[i].raw;
    EXPECT_EQ("KQSManager", got[i].ident) << got[i].raw;
  }
  EXPECT_EQ("Printer port LPT1 was added.", got[2].text);
}

}  // namespace
