// The administrator password check.
#include "queueadmin/adminaccess.h"

#include <cstring>

#include "common/config/profile.h"
#include "common/host/mtsafe.h"
#include "common/host/sysinfo.h"
#include "common/util/pathutil.h"
#include "common/util/strbuf.h"
#include "protocol/kqsids.h"

namespace {

constexpr char kSalt[] = "zQ";

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
  const char* encrypted = xCrypt(password, kSalt);
  // crypt reports failure with null or a short marker text ("*0"), which a
  // stored value must never match.
  if (encrypted == nullptr || std::strncmp(encrypted, kSalt, sizeof kSalt - 1) != 0) return KQS_NO_ACCESS;
  char input[20];
  RelStrCpyIntoBufA(input, encrypted, sizeof input);
  return std::strcmp(input, stored) == 0 ? KQS_SUCCESS : KQS_NO_ACCESS;
}
