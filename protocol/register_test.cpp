// Registration of the protocol library: the socket layer follows the
// registrations, and every unregistration deletes the critical section.
#include "protocol/register.h"

#include <gtest/gtest.h>

#include <tuple>

#include "protocol/kqsids.h"
#include "pts/ptscore.h"

TEST(Register, StartsTheSocketLayerPerRegistrationAndStopsItPerUnregistration) {
  ASSERT_FALSE(PTS_IsStarted());
  ASSERT_EQ(KQSRegister(), KQS_SUCCESS);
  ASSERT_EQ(KQSRegister(), KQS_SUCCESS);
  EXPECT_EQ(std::tuple(2u, true, true), std::tuple(glbdwCount.load(), PTS_IsStarted(), KQSEnumUXCS != nullptr));
  EXPECT_EQ(KQSUnregister(), KQS_SUCCESS);
  EXPECT_EQ(std::tuple(1u, true, true), std::tuple(glbdwCount.load(), PTS_IsStarted(), KQSEnumUXCS == nullptr))
      << "one registration is still open";
  EXPECT_EQ(KQSUnregister(), KQS_SUCCESS);
  EXPECT_EQ(std::tuple(0u, false), std::tuple(glbdwCount.load(), PTS_IsStarted()));
  EXPECT_EQ(PTS_socket(AF_INET, SOCK_DGRAM, 0), -1);
}
