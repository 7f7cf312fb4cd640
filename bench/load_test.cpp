// Load: the real kqsd serves 100,000 requests on one connection and 10,000
// connect/request/disconnect cycles. Every request must be answered, and the
// daemon's resident memory and open descriptors must come out where they
// were after warming up. (Under AddressSanitizer the quarantine of freed
// memory makes RSS meaningless; leaks are then caught by the leak checker
// when the daemon exits, which turns its exit status non-zero.)
#include <gtest/gtest.h>

#include <string>

#include "common/host/mtsafe.h"
#include "common/testing/daemon_sandbox.h"
#include "protocol/kqsids.h"

namespace {

using kqs::Bytes;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kRssMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kRssMeaningful = false;
#else
constexpr bool kRssMeaningful = true;
#endif
#else
constexpr bool kRssMeaningful = true;
#endif

// Growth allowed after warming up: well below what a leak of a few bytes
// per request or per connection would add up to over these counts.
constexpr long kRssMarginKb = 256;
// A request not answered within this time is lost: the daemon stopped
// answering. Each request waits on its own, so a slow machine only runs long.
constexpr int kAnswerTimeoutMs = 10000;

class LoadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    sandboxed_ = kqs::EnterDaemonSandbox(&error);
    if (!sandboxed_) error_ = error;
  }

  void SetUp() override {
    ASSERT_TRUE(sandboxed_) << error_;
    ASSERT_TRUE(daemon_.Prepare("[ACCESS]\nPasswd=" + std::string(xCrypt("guess", "zQ")) + "\n"))
        << daemon_.error();
    pid_ = daemon_.Start();
    ASSERT_NE(pid_, 0) << daemon_.error();
  }

  // Taken while a console is connected and answered, so that the daemon is
  // known to hold exactly that one connection.
  void Snapshot(kqs::Console& console, long* rssKb, int* fds) {
    ASSERT_EQ(console.Ask(kqs::RequestBytes(KQS_UPDATE, TYPE_PRINTQUEUE)).returnCode,
              KQS_INVALID_OPERATION);
    *rssKb = kqs::ResidentKb(pid_);
    *fds = kqs::OpenDescriptors(pid_);
    ASSERT_GT(*rssKb, 0);
    ASSERT_GT(*fds, 0);
  }

  void ExpectFlat(long rssBefore, int fdsBefore, long rssAfter, int fdsAfter) {
    RecordProperty("rss_kb_before", std::to_string(rssBefore));
    RecordProperty("rss_kb_after", std::to_string(rssAfter));
    RecordProperty("fds", std::to_string(fdsBefore) + " -> " + std::to_string(fdsAfter));
    EXPECT_EQ(fdsAfter, fdsBefore) << "descriptors leaked";
    if (kRssMeaningful) {
      EXPECT_LE(rssAfter, rssBefore + kRssMarginKb) << "RSS grew from " << rssBefore << " kB";
    }
    EXPECT_TRUE(kqs::ExitedWithZero(daemon_.Stop())) << "the daemon did not end cleanly";
  }

  static inline bool sandboxed_ = false;
  static inline std::string error_;
  kqs::SandboxDaemon daemon_;
  pid_t pid_ = 0;
};

TEST_F(LoadTest, HundredThousandRequestsOnOneConnection) {
  // A mix that goes through every path that allocates: no result, a
  // two-call enumeration, a password check (one that passes: refused ones
  // close the connection after five).
  const Bytes requests[] = {
      kqs::RequestBytes(KQS_UPDATE, TYPE_PRINTQUEUE),
      kqs::RequestBytes(KQS_ENUM_CONTAINER, TYPE_PRINTDRIVER),
      kqs::RequestBytes(KQS_ADMIN_ACCESS, TYPE_DOMAIN, "admin", std::string("guess", 6)),
      kqs::RequestBytes(KQS_ENUM_CONTAINER, TYPE_PRINTQUEUE),
  };
  const uint32_t expected[] = {KQS_INVALID_OPERATION, KQS_SUCCESS, KQS_SUCCESS, KQS_SUCCESS};
  constexpr int kKinds = 4;

  kqs::Console console;
  ASSERT_TRUE(console.connected());
  auto run = [&](int count) {
    for (int i = 0; i < count; ++i) {
      const kqs::Answer a = console.Ask(requests[i % kKinds], kAnswerTimeoutMs);
      ASSERT_NE(a.returnCode, ~0u) << "request " << i << ": answers stopped";
      ASSERT_EQ(a.returnCode, expected[i % kKinds]) << "request " << i << " answered wrongly";
    }
  };
  run(2000);
  long rss = 0, rssAfter = 0;
  int fds = 0, fdsAfter = 0;
  Snapshot(console, &rss, &fds);
  run(100000);
  Snapshot(console, &rssAfter, &fdsAfter);
  console.Close();
  ExpectFlat(rss, fds, rssAfter, fdsAfter);
}

TEST_F(LoadTest, TenThousandConnectCycles) {
  const Bytes update = kqs::RequestBytes(KQS_UPDATE, TYPE_PRINTQUEUE);
  auto run = [&](int count) {
    for (int i = 0; i < count; ++i) {
      kqs::Console console;
      ASSERT_TRUE(console.connected()) << "connection " << i;
      const kqs::Answer a = console.Ask(update, kAnswerTimeoutMs);
      ASSERT_NE(a.returnCode, ~0u) << "connection " << i << ": answers stopped";
      ASSERT_EQ(a.returnCode, KQS_INVALID_OPERATION) << "connection " << i;
    }
  };
  run(500);
  long rss = 0, rssAfter = 0;
  int fds = 0, fdsAfter = 0;
  {
    kqs::Console probe;
    Snapshot(probe, &rss, &fds);
  }
  run(10000);
  {
    kqs::Console probe;
    Snapshot(probe, &rssAfter, &fdsAfter);
  }
  ExpectFlat(rss, fds, rssAfter, fdsAfter);
}

}  // namespace
