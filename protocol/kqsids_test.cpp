// Names of return codes: unknown values, and the platform-based codes that
// are formatted into a shared text.
#include "protocol/kqsids.h"

#include <gtest/gtest.h>

TEST(KqsIds, NamesUnknownValuesAndFormatsBasedCodes) {
  EXPECT_STREQ("KQS_OBJECT_LATERVERSION", ReturnCodeFromID(46));
  EXPECT_STREQ("Unknown", ReturnCodeFromID(47));
  EXPECT_STREQ("Unknown", ObjectFromID(12));  // valid on the wire, nameless
  EXPECT_EQ(0u, IDFromPlatform("printserver_unix"));
  EXPECT_EQ(0u, IDFromPlatform(nullptr));

  EXPECT_STREQ("PLATFORM_ERROR_BASE: 5", ReturnCodeFromID(PLATFORM_ERROR_BASE + 5));
  EXPECT_EQ(glbErrorText, ReturnCodeFromID(PLATFORM_ERROR_BASE + 5));
  EXPECT_STREQ("PLATFORM_NET_ERROR_BASE: 5", KQSReturnCodeFromID(PLATFORM_NET_ERROR_BASE + 5));
  EXPECT_STREQ("PLATFORM_ERROR_BASE: 536870913",
               ReturnCodeFromID(PLATFORM_ERROR_BASE + PLATFORM_NET_ERROR_BASE + 1));
  // Bit 31 left in the number prints it as negative.
  EXPECT_STREQ("PLATFORM_ERROR_BASE: -2147483647", ReturnCodeFromID(0x90000001u));
}
