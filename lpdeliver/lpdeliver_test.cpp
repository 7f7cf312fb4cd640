// lpdeliver against a fake printer on loopback: a refused connection fails
// the job without -r; with -r a job piped in is sent again, whole, after a
// refusal and after a reset halfway. (Waiting for the printer to close and
// appending to a file peripheral are shown through lpif and CUPS.)
#include <gtest/gtest.h>

#include <string>

#include "common/testing/cups_sandbox.h"
#include "common/testing/run.h"

namespace kqs {
namespace {

TEST(Lpdeliver, ResendsTheWholeJobAfterARefusalOrAResetOnlyWhenAsked) {
  ASSERT_TRUE(EnterPrivateNetNamespace());
  ScratchDir d;
  std::string job;
  for (int i = 0; i < 400'000; ++i) job += char(i * 7 % 251);
  ASSERT_TRUE(ScratchDir::WriteFile(d / "job", job));

  RunResult r = kqs::Run({LPDELIVER_PATH, "-p", "9100", "127.0.0.1"}, job);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.starts_with("ERROR: lpdeliver: cannot connect to 127.0.0.1 port 9100")) << r.err;

  FakePrinter printer({.refuse_first = true, .reset_after = 1000});
  r = kqs::Run({"sh", "-c", "cat " + d / "job" + " | " LPDELIVER_PATH " -p 9100 -r 127.0.0.1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.starts_with("INFO: lpdeliver: cannot connect")) << r.err;
  const std::vector<std::string> jobs = printer.WaitForJobs(2, 10000);
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_FALSE(jobs[0].empty());
  EXPECT_TRUE(jobs[1] == job) << "the job sent again is not the whole job";
}

}  // namespace
}  // namespace kqs
