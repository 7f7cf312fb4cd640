// Registration of the protocol library: the socket layer and the library's
// critical section follow the registrations, and an unbalanced or repeated
// call leaves the layer consistent.
#include "protocol/register.h"

#include <gtest/gtest.h>

#include "protocol/kqsids.h"
#include "pts/ptscore.h"

namespace {

TEST(Register, StartsTheSocketLayerPerRegistrationAndStopsItPerUnregistration) {
  ASSERT_FALSE(PTS_IsStarted());
  ASSERT_EQ(KQSRegister(), KQS_SUCCESS);
  ASSERT_EQ(KQSRegister(), KQS_SUCCESS);
  EXPECT_EQ(glbdwCount, 2u);
  EXPECT_TRUE(PTS_IsStarted());
  EXPECT_NE(KQSEnumUXCS, nullptr);

  EXPECT_EQ(KQSUnregister(), KQS_SUCCESS);
  EXPECT_EQ(glbdwCount, 1u);
  EXPECT_TRUE(PTS_IsStarted()) << "one registration is still open";
  EXPECT_EQ(KQSEnumUXCS, nullptr);

  EXPECT_EQ(KQSUnregister(), KQS_SUCCESS);
  EXPECT_EQ(glbdwCount, 0u);
  EXPECT_FALSE(PTS_IsStarted());
  EXPECT_EQ(PTS_socket(AF_INET, SOCK_DGRAM, 0), -1);
}

}  // namespace
