// Tests of the module directory as derived from argv[0], the host
// description, and the tick count and sleep on a fake clock.
#include "common/host/sysinfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>

#include "common/testing/fake_env.h"
#include "common/testing/scratch_dir.h"

namespace {

using kqs::FakeEnv;
using kqs::ScratchDir;

TEST(ModuleDirectoryTest, FollowsArgvZeroAsStarted) {
  ScratchDir dir;
  std::array<char, 255> saved{}, here{};
  ASSERT_TRUE(getcwd(saved.data(), saved.size()) && chdir(dir.path().c_str()) == 0 && getcwd(here.data(), here.size()));
  const std::string cwd = here.data();
  // The module directory for a program started as arg0, "<result>" when none.
  char* argv[2] = {};
  auto dirFor = [&](const char* arg0, unsigned size = 255, unsigned* result = nullptr) {
    argv[0] = const_cast<char*>(arg0);
    xRegisterArguments(1, argv);
    std::array<char, 512> buf{};
    const unsigned r = xGetModuleDirectory(nullptr, buf.data(), size);
    if (result != nullptr) *result = r;
    return r == 0 || r == 255 ? "<" + std::to_string(r) + ">" : std::string(buf.data());
  };
  EXPECT_EQ("/opt/x/bin/", dirFor("/opt/x/bin/kqsd"));
  EXPECT_EQ(cwd + "/bin/", dirFor("./bin/../bin/kqsd"));
  EXPECT_EQ(cwd + "/", dirFor("kqsd"));  // found through PATH
  EXPECT_EQ("/", dirFor("/kqsd"));
  EXPECT_EQ("<0>", dirFor(""));

  unsigned result = 0;
  EXPECT_EQ("/opt/x/bin/", dirFor("/opt/x/bin/kqsd", 16, &result));
  EXPECT_EQ(11u, result);
  EXPECT_EQ("<0>", dirFor("kqsd", 6)) << "the current directory does not fit";
  EXPECT_EQ("<255>", dirFor("/opt/x/bin/kqsd", 15)) << "argv[0] itself does not fit";

  // The A form reports the full length even when it had to cut the text.
  std::array<char, 8> small;
  EXPECT_EQ(11u, xGetModuleDirectoryA(nullptr, small.data(), unsigned(small.size())));
  EXPECT_STREQ("/opt/x/", small.data());

  gArgv = nullptr;
  std::array<char, 255> buf{};
  EXPECT_EQ(cwd.size() + 1, xGetModuleDirectory(nullptr, buf.data(), unsigned(buf.size())));
  EXPECT_EQ(cwd + "/", buf.data());
  EXPECT_EQ(0, chdir(saved.data()));
}

TEST(HostOSTest, DescribesSunOSAsSolarisAndEverythingElsePlainly) {
  std::array<char, 128> buf{};
  kqs::DescribeHostOS("SunOS", "5.5.1", buf.data(), unsigned(buf.size()));
  EXPECT_STREQ("Solaris (2.5.1): SunOS (5.5.1)", buf.data());
  kqs::DescribeHostOS("SunOS", "5.10", buf.data(), unsigned(buf.size()));
  EXPECT_STREQ("Solaris (2.10): SunOS (5.10)", buf.data());
  kqs::DescribeHostOS("Linux", "6.1.0", buf.data(), 8);
  EXPECT_STREQ("Linux (", buf.data());
}

TEST(TickCountTest, FollowsTheClockCutTo32BitsAndSleepsAdvanceIt) {
  FakeEnv env;
  env.UseFakeClock((int64_t{1} << 32) + 1000);
  const uint32_t start = xGetTickCount();
  EXPECT_EQ(1000u, start);
  xSleep(500);
  xSleep(0);
  xSleep(-3);
  EXPECT_EQ(500u, xGetTickCount() - start);
  EXPECT_EQ(std::vector<int>{500}, env.Sleeps());

  env.Advance((int64_t{1} << 32) - 1000 - 1);  // one millisecond before a wrap
  const uint32_t before = xGetTickCount();
  env.Advance(5);
  EXPECT_EQ(5u, xGetTickCount() - before);
}

}  // namespace
