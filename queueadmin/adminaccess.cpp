// The administrator password check.
#include "queueadmin/adminaccess.h"

#include <cstring>

#include "common/config/profile.h"
#include "common/host/mtsafe.h"
#include "common/host/sysinfo.h"
#include "common/util/pathutil.h"
#include "protocol/kqsids.h"

namespace {

// The settings file beside the program; false when its path cannot be built.
bool SettingsPath(char (&path)[255]) {
  unsigned n = xGetModuleDirectoryA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return false;
  return MergePath(path, "kqsd.ini", sizeof path) != nullptr;
}

}  // namespace

uint32_t AdminAccessUX(const char* /*name*/, const char* password) {
  if (password == nullptr) return KQS_INVALID_PARAMETER;
  char ini[255];
  char stored[256] = "";
  if (SettingsPath(ini)) xGetPrivateProfileStringA("ACCESS", "Passwd", "", stored, sizeof stored, ini);
  if (stored[0] == '\0') return KQS_NO_ACCESS;
  // The stored value is its own setting: its method, cost and salt lead it
  // ("zQ" for the old DES form, "$y$..." for yescrypt).
  const char* encrypted = xCrypt(password, stored);
  // crypt reports failure with null or a short marker text ("*0"), which a
  // stored value must never match.
  if (encrypted == nullptr || encrypted[0] == '*') return KQS_NO_ACCESS;
  return std::strcmp(encrypted, stored) == 0 ? KQS_SUCCESS : KQS_NO_ACCESS;
}
