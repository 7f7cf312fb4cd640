// The opt-in settings, read through the profile calls.
#include "service/options.h"

#include "common/config/profile.h"

int bEnforceAccess = 0;
uint32_t nIdleTimeoutMs = 0;

void LoadServiceOptions(const char* iniPath) {
  bEnforceAccess = xGetPrivateProfileBoolA("ACCESS", "Enforce", 0, iniPath);
  int seconds = xGetPrivateProfileIntA("Process Settings", "IdleTimeout", 0, iniPath);
  if (seconds < 0) seconds = 0;
  if (seconds > kMaxIdleTimeoutSeconds) seconds = kMaxIdleTimeoutSeconds;
  nIdleTimeoutMs = static_cast<uint32_t>(seconds) * 1000u;
}
