// The opt-in settings as an administrator may write them.
#include "service/options.h"

#include <gtest/gtest.h>

#include <string>

#include "common/config/profile.h"
#include "common/testing/scratch_dir.h"

namespace {

struct Loaded {
  int enforce;
  uint32_t idleMs;
};

Loaded Load(const std::string& ini) {
  kqs::ScratchDir dir;
  const std::string path = dir / "kqsd.ini";
  if (!ini.empty()) kqs::ScratchDir::WriteFile(path, ini);
  bEnforceAccess = 7;  // anything but what loading sets
  nIdleTimeoutMs = 7;
  LoadServiceOptions(path.c_str());
  IniCleanup();
  return {bEnforceAccess, nIdleTimeoutMs};
}

TEST(ServiceOptions, OffUnlessTurnedOnAndIdleTimeBounded) {
  struct Case {
    const char* ini;
    int enforce;
    uint32_t idleMs;
  } cases[] = {
      {"", 0, 0},
      {"[ACCESS]\nPasswd=zQabc\n[Process Settings]\nProcessID=12\n", 0, 0},
      {"[ACCESS]\nEnforce=1\n[Process Settings]\nIdleTimeout=30\n", 1, 30000},
      {"[access]\nenforce = Yes\n", 1, 0},
      {"[ACCESS]\nEnforce=0\n[Process Settings]\nIdleTimeout=0\n", 0, 0},
      {"[ACCESS]\nEnforce=\n[Process Settings]\nIdleTimeout=-5\n", 0, 0},
      {"[Process Settings]\nIdleTimeout=ten\n", 0, 0},
      // Seconds beyond a week would overflow the milliseconds: cut to a week.
      {"[Process Settings]\nIdleTimeout=4294968\n", 0, 7u * 24 * 3600 * 1000},
  };
  for (const Case& c : cases) {
    const Loaded got = Load(c.ini);
    EXPECT_EQ(got.enforce, c.enforce) << c.ini;
    EXPECT_EQ(got.idleMs, c.idleMs) << c.ini;
  }
  bEnforceAccess = 0;
  nIdleTimeoutMs = 0;
}

}  // namespace
