// Registration of the protocol library, which no shipped program calls: the
// socket layer runs from the first registration to the last unregistration.
#include "protocol/register.h"

#include <gtest/gtest.h>

#include "protocol/kqsids.h"
#include "pts/ptscore.h"

TEST(Register, RunsTheSocketLayerWhileRegistered) {
  ASSERT_EQ(KQSRegister(), KQS_SUCCESS);
  ASSERT_EQ(KQSRegister(), KQS_SUCCESS);
  EXPECT_EQ(KQSUnregister(), KQS_SUCCESS);
  EXPECT_TRUE(PTS_IsStarted()) << "one registration is still open";
  EXPECT_EQ(KQSUnregister(), KQS_SUCCESS);
  EXPECT_FALSE(PTS_IsStarted());
}
