// Load: the real kqsd serves 100,000 requests on one connection, then 10,000
// connect/request/disconnect cycles. Every request must be answered, and the
// daemon's resident memory and open descriptors must come out of each run
// where they were after warming up. (Under AddressSanitizer the quarantine
// of freed memory makes RSS meaningless; leaks are then caught by the leak
// checker when the daemon exits, which turns its exit status non-zero.)
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <string>
#include <utility>

#include "common/host/mtsafe.h"
#include "common/testing/daemon_sandbox.h"
#include "protocol/kqsids.h"

namespace {

#ifdef __SANITIZE_ADDRESS__
constexpr bool kRssMeaningful = false;
#else
constexpr bool kRssMeaningful = true;
#endif

// Growth allowed after warming up: well below what a leak of a few bytes
// per request or per connection would add up to over these counts.
constexpr long kRssMarginKb = 256;
// A request not answered within this time is lost: the daemon stopped
// answering. Each request waits on its own, so a slow machine only runs long.
constexpr int kAnswerTimeoutMs = 10000;

TEST(LoadTest, ManyRequestsAndConnectionsLeaveMemoryAndDescriptorsFlat) {
  std::string error;
  ASSERT_TRUE(kqs::EnterDaemonSandbox(&error)) << error;
  kqs::SandboxDaemon daemon;
  ASSERT_TRUE(daemon.Prepare("[ACCESS]\nPasswd=" + std::string(xCrypt("guess", "zQ")) + "\n")) << daemon.error();
  const pid_t pid = daemon.Start();
  ASSERT_NE(pid, 0) << daemon.error();

  const kqs::Bytes update = kqs::RequestBytes(KQS_UPDATE, TYPE_PRINTQUEUE);
  // Resident kB and descriptors, taken while console holds the daemon's one
  // connection and has been answered on it.
  // A connection closed just before is let go by its own thread, so the
  // count is taken once it has held still for 100 ms (at most 3 s).
  auto usage = [&](kqs::Console& console) {
    EXPECT_EQ(console.Ask(update).returnCode, KQS_INVALID_OPERATION);
    int descriptors = kqs::OpenDescriptors(pid);
    for (int still = 0, waited = 0; still < 5 && waited < 150; ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const int now = kqs::OpenDescriptors(pid);
      still = now == descriptors ? still + 1 : 0;
      descriptors = now;
    }
    return std::pair(kqs::ResidentKb(pid), descriptors);
  };
  auto expectFlat = [&](const char* what, std::pair<long, int> before, std::pair<long, int> after) {
    RecordProperty(std::string(what) + "_rss_kb", std::to_string(before.first) + " -> " + std::to_string(after.first));
    ASSERT_GT(before.first, 0);
    EXPECT_EQ(after.second, before.second) << what << ": descriptors leaked";
    EXPECT_TRUE(!kRssMeaningful || after.first <= before.first + kRssMarginKb) << what << ": RSS grew";
  };

  // A mix that goes through every path that allocates: no result, a
  // two-call enumeration, a password check (one that passes: refused ones
  // close the connection after five).
  const std::pair<kqs::Bytes, uint32_t> mix[] = {
      {update, KQS_INVALID_OPERATION},
      {kqs::RequestBytes(KQS_ENUM_CONTAINER, TYPE_PRINTDRIVER), KQS_SUCCESS},
      {kqs::RequestBytes(KQS_ADMIN_ACCESS, TYPE_DOMAIN, "admin", std::string("guess", 6)), KQS_SUCCESS},
      {kqs::RequestBytes(KQS_ENUM_CONTAINER, TYPE_PRINTQUEUE), KQS_SUCCESS},
  };
  kqs::Console console;
  ASSERT_TRUE(console.connected());
  auto requests = [&](int count) {
    for (int i = 0; i < count; ++i) {
      const auto& [request, expected] = mix[i % std::size(mix)];
      ASSERT_EQ(console.Ask(request, kAnswerTimeoutMs).returnCode, expected) << "request " << i;
    }
  };
  ASSERT_NO_FATAL_FAILURE(requests(2000));
  const auto warm = usage(console);
  ASSERT_NO_FATAL_FAILURE(requests(100000));
  expectFlat("requests", warm, usage(console));
  console.Close();

  auto connections = [&](int count) {
    for (int i = 0; i < count; ++i) {
      kqs::Console c;
      ASSERT_EQ(c.Ask(update, kAnswerTimeoutMs).returnCode, KQS_INVALID_OPERATION) << "connection " << i;
    }
  };
  ASSERT_NO_FATAL_FAILURE(connections(500));
  kqs::Console first;
  const auto before = usage(first);
  first.Close();
  ASSERT_NO_FATAL_FAILURE(connections(10000));
  kqs::Console last;
  expectFlat("connections", before, usage(last));
  last.Close();
  EXPECT_TRUE(kqs::ExitedWithZero(daemon.Stop())) << "the daemon did not end cleanly";
}

}  // namespace
