// Tests of the module directory as derived from argv[0] (where a program
// finds the files beside it).
#include "common/host/sysinfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>

#include "common/testing/scratch_dir.h"

namespace {

using kqs::ScratchDir;

TEST(ModuleDirectoryTest, FollowsArgvZeroAsStarted) {
  ScratchDir dir;
  std::array<char, 255> saved{}, here{};
  ASSERT_TRUE(getcwd(saved.data(), saved.size()) && chdir(dir.path().c_str()) == 0 && getcwd(here.data(), here.size()));
  const std::string cwd = here.data();
  // The module directory for a program started as arg0, "<0>" when none.
  char* argv[2] = {};
  auto dirFor = [&](const char* arg0) {
    argv[0] = const_cast<char*>(arg0);
    xRegisterArguments(1, argv);
    std::array<char, 255> buf{};
    const unsigned r = xGetModuleDirectory(nullptr, buf.data(), unsigned(buf.size()));
    return r == 0 ? std::string("<0>") : std::string(buf.data());
  };
  EXPECT_EQ("/opt/x/bin/", dirFor("/opt/x/bin/kqsd"));
  EXPECT_EQ(cwd + "/bin/", dirFor("./bin/../bin/kqsd"));
  EXPECT_EQ(cwd + "/", dirFor("kqsd"));  // found through PATH
  EXPECT_EQ("/", dirFor("/kqsd"));
  EXPECT_EQ("<0>", dirFor(""));
  EXPECT_EQ(0, chdir(saved.data()));
}

}  // namespace
