// Return codes by name as kqsctl shows them for any server's answer,
// including values without a name and the platform-based codes that are
// formatted into a shared text.
#include "protocol/kqsids.h"

#include <gtest/gtest.h>

TEST(KqsIds, NamesReturnCodesAndFormatsBasedCodes) {
  EXPECT_STREQ("KQS_OBJECT_LATERVERSION", ReturnCodeFromID(46));
  EXPECT_STREQ("Unknown", ReturnCodeFromID(47));
  EXPECT_STREQ("PLATFORM_ERROR_BASE: 5", ReturnCodeFromID(PLATFORM_ERROR_BASE + 5));
  EXPECT_STREQ("PLATFORM_NET_ERROR_BASE: 5", KQSReturnCodeFromID(PLATFORM_NET_ERROR_BASE + 5));
}
