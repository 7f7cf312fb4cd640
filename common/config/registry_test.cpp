// The registry kept in rerar.ini beside the program: typed values, size
// negotiation, type lines and invalid handles.
#include "common/config/registry.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "common/config/profile.h"
#include "common/host/sysinfo.h"
#include "common/testing/scratch_dir.h"
#include "gtest/gtest.h"

namespace {

using kqs::ScratchDir;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The program "lives" in the scratch dir, so its registry file does too.
    program_ = dir_ / "kqsd";
    argv_[0] = program_.data();
    xRegisterArguments(1, argv_);
  }
  void TearDown() override {
    IniCleanup();
    xRegisterArguments(0, nullptr);
  }
  std::string Content() { return ScratchDir::ReadFile(registry_); }

  ScratchDir dir_;
  std::string program_;
  char* argv_[2] = {nullptr, nullptr};
  std::string registry_ = dir_ / "rerar.ini";
};

TEST_F(RegistryTest, ValuesLandInTheRootsSectionWithTheirTypeAndNegotiateTheirSize) {
  HKEY key = -1;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Quorvane\\QV Web Tarlomin", 0, 0, &key), 0);
  EXPECT_EQ(key, HKEY_LOCAL_MACHINE);
  ASSERT_EQ(RegSetValueEx(key, "DNSLookup", 0, REG_SZ, reinterpret_cast<const unsigned char*>("Enable"), 7), 0);
  EXPECT_EQ(Content(), "[HKEY_LOCAL_MACHINE]\nDNSLookup=Enable\nDNSLookup_TYPE=REG_SZ\n");

  unsigned long type = 0, size = 0;
  EXPECT_EQ(RegQueryValueEx(key, "dnslookup", nullptr, &type, nullptr, &size), 0);
  EXPECT_TRUE(type == REG_SZ && size == 7u);
  unsigned char data[8] = "XXXXXXX";
  size = 6;
  EXPECT_EQ(RegQueryValueEx(key, "DNSLookup", nullptr, &type, data, &size), 1);
  EXPECT_TRUE(size == 7u && data[0] == 'X');
  EXPECT_EQ(RegQueryValueEx(key, "DNSLookup", nullptr, &type, data, &size), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(data), "Enable");
  EXPECT_EQ(RegQueryValueEx(HKEY_CURRENT_USER, "DNSLookup", nullptr, &type, nullptr, &size), 1);

  ASSERT_EQ(RegDeleteKey(key, "DNSLookup"), 0);
  EXPECT_EQ(Content(), "[HKEY_LOCAL_MACHINE]\n");
  EXPECT_EQ(RegQueryValue(key, "DNSLookup", nullptr, &size), 1);
  EXPECT_EQ(size, 1u);

  // A DWORD keeps its sign and leaves the size alone; other types are refused.
  const int32_t value = -5;
  const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
  ASSERT_EQ(RegSetValueEx(HKEY_LOCAL_MACHINE, "Count", 0, REG_DWORD, bytes, sizeof value), 0);
  EXPECT_EQ(RegSetValueEx(HKEY_LOCAL_MACHINE, "Bin", 0, 3, bytes, sizeof value), 1);
  EXPECT_EQ(Content(), "[HKEY_LOCAL_MACHINE]\nCount=-5\nCount_TYPE=REG_DWORD\n");

  int32_t back = 0;
  size = 99;
  EXPECT_EQ(RegQueryValueEx(HKEY_LOCAL_MACHINE, "Count", nullptr, &type, reinterpret_cast<unsigned char*>(&back),
                            &size),
            0);
  EXPECT_TRUE(type == REG_DWORD && back == -5 && size == 99u);
}

TEST_F(RegistryTest, InvalidHandlesTouchNoFileAndUntypedValuesAreMissingOnlyForTheTypedQuery) {
  const int32_t value = 1;
  for (HKEY bad : {4, -1}) {
    unsigned long type = 0, size = 16;
    char data[16];
    EXPECT_EQ(RegSetValueEx(bad, "V", 0, REG_DWORD, reinterpret_cast<const unsigned char*>(&value), 4), 1);
    EXPECT_EQ(RegSetValue(bad, "V", REG_SZ, "x", 2), 1);
    EXPECT_EQ(RegQueryValueEx(bad, "V", nullptr, &type, nullptr, &size), 1);
    EXPECT_EQ(RegQueryValue(bad, "V", data, &size), 1);
    EXPECT_EQ(RegDeleteKey(bad, "V"), 1);
  }
  EXPECT_FALSE(ScratchDir::Exists(registry_));

  ASSERT_TRUE(ScratchDir::WriteFile(registry_, "[HKEY_LOCAL_MACHINE]\nHand=made\nEmpty=\n"));
  char data[16];
  unsigned long type = 0, size = sizeof data;
  EXPECT_EQ(RegQueryValueEx(HKEY_LOCAL_MACHINE, "Hand", nullptr, &type, reinterpret_cast<unsigned char*>(data),
                            &size),
            1);
  EXPECT_EQ(RegQueryValue(HKEY_LOCAL_MACHINE, "Hand", data, &size), 0);
  EXPECT_STREQ(data, "made");
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(RegQueryValue(HKEY_LOCAL_MACHINE, "Empty", data, &size), 1);
}

}  // namespace
