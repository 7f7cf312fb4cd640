// Printer port requests: validated, logged once per add, nothing kept.
#include "queueadmin/ports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/host/eventlog.h"
#include "protocol/kqsids.h"

namespace kqs {
namespace {

std::vector<std::string> g_logged;
void Observe(unsigned short, unsigned, unsigned short, const char* text) {
  g_logged.emplace_back(text != nullptr ? text : "");
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

  EXPECT_EQ(g_logged, std::vector<std::string>(2, "Printer port port1 was added."));
  EXPECT_EQ(PortRemove("never-added"), KQS_SUCCESS);
}

}  // namespace
}  // namespace kqs
