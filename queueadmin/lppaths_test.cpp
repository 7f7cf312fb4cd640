// Which LP roots are accepted, and the root read from the settings file.
#include "queueadmin/lppaths.h"

#include <gtest/gtest.h>

#include <string>

#include "common/host/sysinfo.h"
#include "common/testing/scratch_dir.h"

namespace kqs {
namespace {

TEST(LpPaths, BadRootsAreRefusedAndTheSettingsFileSetsTheRoot) {
  ASSERT_EQ(SetLpRoot("/srv/lp//"), 0);
  EXPECT_STREQ(LpPaths().models, "/srv/lp/usr/lib/lp/model");
  const std::string too_long = "/" + std::string(kMaxLpRootLength, 'r');
  for (const char* bad : {"relative/root", "/with space", "/tab\there", too_long.c_str()}) {
    EXPECT_EQ(SetLpRoot(bad), -1) << bad;
    EXPECT_STREQ(LpRoot(), "/srv/lp") << "a refused root changes nothing";
  }
  ASSERT_EQ(SetLpRoot("/"), 0);
  EXPECT_STREQ(LpPaths().lpsched, "/usr/lib/lpsched");

  ScratchDir dir;
  std::string program = dir / "kqsd";
  char* argv[] = {program.data(), nullptr};
  xRegisterArguments(1, argv);
  EXPECT_EQ(LoadLpRoot(), 0) << "no settings file: the host's paths";
  EXPECT_STREQ(LpRoot(), "");
  EXPECT_STREQ(LpPaths().interfaces, "/etc/lp/interfaces");
  ASSERT_TRUE(ScratchDir::WriteFile(dir / "kqsd.ini", "[LP Service]\nRoot=" + dir.path() + "\n"));
  EXPECT_EQ(LoadLpRoot(), 0);
  EXPECT_EQ(std::string(LpPaths().lpfilter), dir / "usr/lib/lpfilter");
  xRegisterArguments(0, nullptr);
  SetLpRoot("");
}

}  // namespace
}  // namespace kqs
