// The web console end to end: two real kqsd in a private network namespace,
// one (127.0.0.2, password required) driving a private CUPS, the other
// (127.0.0.3, the same password, not required) a plain LP tree; "kqsctl web" for both; and browser_test.py
// driving headless Chromium against it (with Debian's python3 and selenium).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/testing/cups_sandbox.h"
#include "common/testing/daemon_sandbox.h"
#include "common/testing/run.h"
#include "common/testing/scratch_dir.h"

namespace kqs {
namespace {

using namespace std::chrono_literals;

TEST(WebConsoleBrowserTest, TwoServersManagedFromChromium) {
  std::string error;
  // Chromium wants the host's /dev (its shared memory); the daemons' log
  // entries go nowhere.
  ASSERT_TRUE(EnterDaemonSandbox(&error, SandboxLog::kLeftToCaller)) << error;
  PrivateCups cups;
  ASSERT_TRUE(cups.Start()) << cups.error();
  SandboxDaemon with_cups, plain;
  with_cups.UseCups(cups.socket());
  // The service account in the section it shares with the address.
  ASSERT_TRUE(with_cups.Prepare("[ACCESS]\nEnforce=1\n[Process Settings]\nListenAddress=127.0.0.2\nUser=" +
                                std::string(kServiceAccount) + "\n"))
      << with_cups.error();
  ASSERT_TRUE(plain.Prepare("[ACCESS]\nEnforce=0\n[Process Settings]\nListenAddress=127.0.0.3\n")) << plain.error();
  for (const SandboxDaemon* daemon : {&with_cups, &plain}) {
    const RunResult passwd = kqs::Run({KQSCTL_PATH, "passwd", "--ini", daemon->iniPath()}, "letmein\n");
    ASSERT_EQ(passwd.status, 0) << passwd.all();
  }
  ASSERT_NE(with_cups.Start(), 0) << with_cups.error();
  ASSERT_NE(plain.Start(), 0) << plain.error();

  ScratchDir scratch;
  const std::string log = scratch / "web.log";
  const pid_t web = Launch({KQSCTL_PATH, "web", "--plain", "-H", "127.0.0.2", "-H", "127.0.0.3", "--timeout", "3000"}, log);
  ASSERT_GT(web, 0);
  std::string url;
  for (auto end = std::chrono::steady_clock::now() + 5s; url.empty() && std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(20ms);
    const std::string out = ScratchDir::ReadFile(log);
    if (const size_t at = out.find("http://"); at != std::string::npos && out.find('\n', at) != std::string::npos) {
      url = out.substr(at, out.find('\n', at) - at);
    }
  }
  ASSERT_FALSE(url.empty()) << ScratchDir::ReadFile(log);
  EXPECT_TRUE(url.starts_with("http://127.0.0.1:8631/?token=")) << url;

  const RunResult browser = kqs::Run({"/usr/bin/python3", BROWSER_TEST_PY, url, ARTIFACT_DIR}, "", {"CUPS_SERVER=" + cups.socket()});
  EXPECT_EQ(browser.status, 0) << browser.all() << "\nkqsctl web: " << ScratchDir::ReadFile(log);
  EXPECT_TRUE(ExitedWithZero(Terminate(web, 5s))) << "kqsctl web did not end cleanly on SIGTERM";
}

}  // namespace
}  // namespace kqs
