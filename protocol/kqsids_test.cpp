#include "protocol/kqsids.h"

#include <gtest/gtest.h>

#include <string>

TEST(KqsIds, NamesOfIdentifiersAndUnknownValues) {
  EXPECT_STREQ("KQS_ADD", OperationFromID(KQS_ADD));
  EXPECT_STREQ("KQS_UPDATE", OperationFromID(KQS_UPDATE));
  EXPECT_STREQ("Unknown", OperationFromID(0));
  EXPECT_STREQ("Unknown", OperationFromID(7));
  EXPECT_STREQ("TYPE_PRINTQUEUE", ObjectFromID(TYPE_PRINTQUEUE));
  EXPECT_STREQ("TYPE_LOGICAL_PRINTER", ObjectFromID(9));
  EXPECT_STREQ("Unknown", ObjectFromID(12));  // valid on the wire, nameless
  EXPECT_STREQ("Unknown", ObjectFromID(0));
  EXPECT_STREQ("PRINTSERVER_UNIX", PlatformFromID(8));
  EXPECT_STREQ("Unknown", PlatformFromID(3));
  EXPECT_EQ(8u, IDFromPlatform("PRINTSERVER_UNIX"));
  EXPECT_EQ(0u, IDFromPlatform("printserver_unix"));
  EXPECT_EQ(0u, IDFromPlatform(nullptr));
}

TEST(KqsIds, ReturnCodeNamesIncludingBasedCodes) {
  EXPECT_STREQ("KQS_SUCCESS", ReturnCodeFromID(0));
  EXPECT_STREQ("KQS_INVALID_PACKET", ReturnCodeFromID(KQS_INVALID_PACKET));
  EXPECT_STREQ("KQS_CONNECTION_REFUSED", ReturnCodeFromID(32));
  EXPECT_STREQ("KQS_OBJECT_LATERVERSION", ReturnCodeFromID(46));
  EXPECT_STREQ("Unknown", ReturnCodeFromID(47));
  EXPECT_STREQ("Unknown", ReturnCodeFromID(0x0FFFFFFF));

  EXPECT_STREQ("PLATFORM_ERROR_BASE: 5", ReturnCodeFromID(PLATFORM_ERROR_BASE + 5));
  EXPECT_EQ(glbErrorText, ReturnCodeFromID(PLATFORM_ERROR_BASE + 5));
  EXPECT_STREQ("PLATFORM_NET_ERROR_BASE: 5", KQSReturnCodeFromID(PLATFORM_NET_ERROR_BASE + 5));
  EXPECT_STREQ("PLATFORM_ERROR_BASE: 536870913",
               ReturnCodeFromID(PLATFORM_ERROR_BASE + PLATFORM_NET_ERROR_BASE + 1));
  // Bit 31 left in the number prints it as negative.
  EXPECT_STREQ("PLATFORM_ERROR_BASE: -2147483647", ReturnCodeFromID(0x90000001u));
}
