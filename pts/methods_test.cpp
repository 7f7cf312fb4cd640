// What a queue's method name stands for where a print job goes: the raw
// TCP port by index, in any letter case.
#include "pts/methods.h"

#include <tuple>

#include <gtest/gtest.h>

#include "pts/ptscore.h"

namespace {

TEST(Methods, PrintTcpGivesItsSocketAndPortByIndexInAnyCase) {
  ASSERT_EQ(_PTS_startup(), 0);
  int family = 0, type = 0, protocol = -1, port = 0;
  ASSERT_EQ(0, PTS_GetSocketInfoByMethod("PrintTCP", 0, &family, &type, &protocol, &port));
  EXPECT_EQ(std::tuple(AF_INET, SOCK_STREAM, 0, 9100), std::tuple(family, type, protocol, port));
  // By index (0 and 1 the first) the next ports; any other index fails.
  for (int index = 1; index <= 4; ++index) {
    EXPECT_EQ(index < 4 ? 0 : -1, PTS_GetSocketInfoByMethod("printtcp", index, nullptr, nullptr, nullptr, &port));
    EXPECT_EQ(index < 4 ? 9099 + index : 0, port) << index;
  }
  EXPECT_EQ(-1, PTS_GetSocketInfoByMethod("printtcp", -1, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(0, PTS_GetSocketInfoByMethod("pserver", 7, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(-1, PTS_GetSocketInfoByMethod("kqs", 0, nullptr, nullptr, nullptr, nullptr));
  _PTS_cleanup();
}

}  // namespace
