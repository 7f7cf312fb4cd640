// Printer port requests: validated, logged once per add, nothing kept.
#include "queueadmin/ports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/host/eventlog.h"
#include "protocol/kqsids.h"

namespace kqs {
namespace {

struct Logged {
  unsigned short type;
  unsigned id;
  std::string text;
};
std::vector<Logged> g_logged;
void Observe(unsigned short type, unsigned id, unsigned short, const char* text) {
  g_logged.push_back({type, id, text != nullptr ? text : ""});
}

TEST(Ports, AddValidatesAndLogsEveryTimeRemoveAlwaysSucceeds) {
  ASSERT_EQ(EventLogOpen("kqsd-test", "System", "", KQS_CATALOG_PATH), 1);
  EventLogSetObserverForTesting(Observe);
  const char* full = "HostName=printer1;IPAddress=10.0.0.9;HWAddress=0800090a0b0c;Port=9100";
  EXPECT_EQ(PortAdd("port1", full), KQS_SUCCESS);
  EXPECT_EQ(PortAdd("port1", full), KQS_SUCCESS);
  EXPECT_EQ(PortAdd("port2", "HostName=p;IPAddress=1.2.3.4;Port=1"), KQS_INVALID_PARAMETER);
  EXPECT_EQ(PortAdd("port3", nullptr), KQS_INVALID_PARAMETER);
  EventLogSetObserverForTesting(nullptr);
  EventLogClose();

  ASSERT_EQ(g_logged.size(), 2u);
  for (const Logged& l : g_logged) {
    EXPECT_EQ(l.type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(l.id, 200u);
    EXPECT_NE(l.text.find("port1"), std::string::npos) << l.text;
  }
  EXPECT_EQ(PortRemove("never-added"), KQS_SUCCESS);
}

}  // namespace
}  // namespace kqs
