// Discovery replies: a flood from one source is held to its budget, while
// another source (a console) and the local host are answered as ever.
#include "service/ratelimit.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

uint32_t Address(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

TEST(DiscoveryBudget, HoldsAFloodingSourceToItsBurstAndRateAndManySourcesToTheSharedBudget) {
  kqs::DiscoveryBudget budget(12345);
  const uint32_t victim = Address("192.0.2.7"), console = Address("192.0.2.8");
  int replies = 0;
  for (int i = 0; i < 1000; ++i) replies += budget.Allow(victim, 0);
  EXPECT_EQ(replies, kqs::kDiscoveryBurst);
  EXPECT_TRUE(budget.Allow(console, 0));
  // One second later the source has earned kDiscoveryRate more.
  replies = 0;
  for (int i = 0; i < 1000; ++i) replies += budget.Allow(victim, 1000);
  EXPECT_EQ(replies, kqs::kDiscoveryRate);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(budget.Allow(Address("127.0.0.1"), 1000));
  // Thousands of (spoofed) sources share one budget, more than the table
  // holds.
  replies = 0;
  for (uint32_t i = 0; i < 6000; ++i) replies += budget.Allow(htonl(0x0A000000 + i), 60000);
  EXPECT_EQ(replies, kqs::kDiscoveryGlobalBurst);
}

}  // namespace
