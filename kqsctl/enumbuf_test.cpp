// Enumeration buffers that point outside themselves. Well-formed ones are
// read from the real daemon (kqsctl_daemon_test.cpp).
#include "kqsctl/enumbuf.h"

#include <gtest/gtest.h>

#include <vector>

namespace kqsctl {
namespace {

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
