// Enumeration buffers: the layout the server writes, and buffers that lie.
#include "tools/kqsctl/enumbuf.h"

#include <gtest/gtest.h>

#include <vector>

namespace kqsctl {
namespace {

TEST(EnumBufferTest, ReadsRecordsAsTheServerLaysThemOut) {
  // One driver "abc" takes exactly 28 bytes: count 1, the record at 4..23
  // with name offset 20 (counted from byte 4), the name at 24..27.
  const std::vector<uint8_t> one = {0, 0, 0, 1,                                // count
                                    0, 0, 0, 20, 0, 0, 0, 20, 0, 0, 0, 0,       // size, name, 0
                                    0, 0, 0, 0,  0, 0, 0, 0,                    // 0, 0
                                    'a', 'b', 'c', 0};
  std::vector<DriverEntry> drivers;
  std::string error;
  ASSERT_TRUE(DecodeDrivers(one.data(), 28, &drivers, &error)) << error;
  ASSERT_EQ(1u, drivers.size());
  EXPECT_EQ("abc", drivers[0].model);

  // An empty container is just the count.
  const std::vector<uint8_t> none = {0, 0, 0, 0};
  std::vector<QueueEntry> queues;
  ASSERT_TRUE(DecodeQueues(none.data(), 4, &queues, &error));
  EXPECT_TRUE(queues.empty());
}

TEST(EnumBufferTest, RevisionOfALetterWithTheHighBitSetShowsTheNumbers) {
  EXPECT_EQ("C.02.15", FormatRevision('C' * 100 + 2, 15));
  const auto negative = static_cast<uint32_t>(-56 * 100 + 3);  // letter code -56
  EXPECT_EQ(std::to_string(negative) + "/1", FormatRevision(negative, 1));
}

TEST(EnumBufferTest, RejectsBuffersThatPointOutsideThemselves) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {"shorter than the count", {0, 0, 0}},
      {"count without records", {0, 0, 0, 1}},
      {"record of size 0", {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"record larger than the buffer", {0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"offset past the end", {0, 0, 0, 1, 0, 0, 0, 20, 0, 0, 0, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"string without NUL", {0, 0, 0, 1, 0, 0, 0, 20, 0, 0, 0, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'a', 'b'}},
      {"huge count", {0xff, 0xff, 0xff, 0xff, 0, 0, 0, 20, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    std::vector<DriverEntry> drivers = {{"stale"}};
    std::string error;
    EXPECT_FALSE(DecodeDrivers(c.bytes.data(), c.bytes.size(), &drivers, &error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
    EXPECT_TRUE(drivers.empty()) << c.what;
  }
  // A queue record must hold all six words; a driver-sized one does not.
  const std::vector<uint8_t> short_queue = {0, 0, 0, 1, 0, 0, 0, 20, 0, 0, 0, 16, 0, 0, 0, 0,
                                            0, 0, 0, 0, 0, 0, 0, 0, 'q', 0};
  std::vector<QueueEntry> queues;
  std::string error;
  EXPECT_FALSE(DecodeQueues(short_queue.data(), short_queue.size(), &queues, &error));
}

}  // namespace
}  // namespace kqsctl
