// The registry kept in rerar.ini beside the program. No shipped program calls
// it: one pass shows that a value is stored with its type, read back after
// its size is asked, and deleted.
#include "common/config/registry.h"

#include <string>

#include "common/config/profile.h"
#include "common/host/sysinfo.h"
#include "common/testing/scratch_dir.h"
#include "gtest/gtest.h"

TEST(Registry, StoresReadsAndDeletesATypedValue) {
  kqs::ScratchDir dir;
  std::string program = dir / "kqsd";  // the registry file lives beside it
  char* argv[] = {program.data(), nullptr};
  xRegisterArguments(1, argv);
  ASSERT_EQ(RegSetValueEx(HKEY_LOCAL_MACHINE, "DNSLookup", 0, REG_SZ, reinterpret_cast<const unsigned char*>("Enable"),
                          7),
            0);
  EXPECT_EQ(kqs::ScratchDir::ReadFile(dir / "rerar.ini"), "[HKEY_LOCAL_MACHINE]\nDNSLookup=Enable\nDNSLookup_TYPE=REG_SZ\n");
  unsigned long type = 0, size = 0;
  unsigned char data[8] = {};
  EXPECT_EQ(RegQueryValueEx(HKEY_LOCAL_MACHINE, "dnslookup", nullptr, &type, nullptr, &size), 0);
  EXPECT_TRUE(type == REG_SZ && size == 7u);
  EXPECT_EQ(RegQueryValueEx(HKEY_LOCAL_MACHINE, "DNSLookup", nullptr, &type, data, &size), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(data), "Enable");
  ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "DNSLookup"), 0);
  EXPECT_EQ(kqs::ScratchDir::ReadFile(dir / "rerar.ini"), "[HKEY_LOCAL_MACHINE]\n");
  IniCleanup();
  xRegisterArguments(0, nullptr);
}
