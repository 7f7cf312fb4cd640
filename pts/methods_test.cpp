// What a queue's method name stands for where a print job or a probe goes:
// the printing methods' ports by index, in any letter case.
#include "pts/methods.h"

#include <tuple>

#include <gtest/gtest.h>

#include "pts/ptscore.h"

namespace {

TEST(Methods, PrintingMethodsGiveTheirSocketAndPortByIndexInAnyCase) {
  ASSERT_EQ(_PTS_startup(), 0);
  int family = 0, type = 0, protocol = -1, port = 0;
  ASSERT_EQ(0, PTS_GetSocketInfoByMethod("PrintTCP", 0, &family, &type, &protocol, &port));
  EXPECT_EQ(std::tuple(AF_INET, SOCK_STREAM, 0, 9100), std::tuple(family, type, protocol, port));
  // The printing methods choose their port by index (0 and 1 the first);
  // any other index fails.
  const struct {
    const char* method;
    int first, step;
  } indexed[] = {{"printtcp", 9100, 1}, {"printspx", 0x400C, 0x10}, {"rcfg", 0x400C, 0x10}};
  for (const auto& m : indexed) {
    for (int index = 1; index <= 4; ++index) {
      int port = -7;
      EXPECT_EQ(index < 4 ? 0 : -1, PTS_GetSocketInfoByMethod(m.method, index, nullptr, nullptr, nullptr, &port));
      EXPECT_EQ(index < 4 ? m.first + (index - 1) * m.step : 0, port) << m.method << " index " << index;
    }
  }
  EXPECT_EQ(-1, PTS_GetSocketInfoByMethod("printtcp", -1, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(0, PTS_GetSocketInfoByMethod("pserver", 7, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(-1, PTS_GetSocketInfoByMethod("kqs", 0, nullptr, nullptr, nullptr, nullptr));
  _PTS_cleanup();
}

}  // namespace
