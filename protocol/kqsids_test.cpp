// Names of the protocol's numbers as the console shows them: every operation
// and object type, values without a name, and the platform-based return codes
// that are formatted into a shared text.
#include "protocol/kqsids.h"

#include <gtest/gtest.h>

#include <iterator>

TEST(KqsIds, EveryOperationAndObjectTypeHasItsOwnName) {
  const char* operations[] = {"Unknown", "KQS_ADD", "KQS_REMOVE", "KQS_QUERY_FILES", "KQS_ADMIN_ACCESS",
                              "KQS_ENUM_CONTAINER", "KQS_UPDATE", "Unknown"};
  for (uint32_t id = 0; id < std::size(operations); ++id) EXPECT_STREQ(operations[id], OperationFromID(id)) << id;
  const char* types[] = {"Unknown", "TYPE_PRINTSERVER", "TYPE_CONTAINER", "TYPE_PRINTQUEUE", "TYPE_PRINTDRIVER",
                         "TYPE_PHYSICAL_PRINTER", "TYPE_PRINTMONITOR", "TYPE_DOMAIN", "TYPE_UX_SUPERVISOR",
                         "TYPE_LOGICAL_PRINTER", "Unknown", "Unknown", "Unknown", "Unknown", "Unknown"};
  for (uint32_t id = 0; id < std::size(types); ++id) EXPECT_STREQ(types[id], ObjectFromID(id)) << id;
}

TEST(KqsIds, NamesUnknownValuesAndFormatsBasedCodes) {
  EXPECT_STREQ("KQS_OBJECT_LATERVERSION", ReturnCodeFromID(46));
  EXPECT_STREQ("Unknown", ReturnCodeFromID(47));
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
