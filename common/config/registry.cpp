// The registry kept in rerar.ini: handles are root indices, each root is a
// section, each value a key line with a '<name>_TYPE' line beside it. All
// state lives in the INI store.
#include "common/config/registry.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/config/profile.h"
#include "common/host/sysinfo.h"
#include "common/util/pathutil.h"
#include "common/util/strbuf.h"

const char classes[4][32] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS"};

namespace {

constexpr unsigned kPathSize = 255;
constexpr unsigned kValueReadSize = 2046;  // at most 2045 characters of a value are seen
constexpr unsigned kSmallText = 32;
constexpr char kTypeSuffix[] = "_TYPE";
constexpr char kTypeSz[] = "REG_SZ";
constexpr char kTypeDword[] = "REG_DWORD";
constexpr int kOk = 0;
constexpr int kFail = 1;

bool ValidHandle(int key) { return key >= 0 && key < 4; }

// The section and file of a valid handle.
struct Target {
  const char* section;
  char file[kPathSize];
};

bool Resolve(int key, Target* target) {
  if (!ValidHandle(key)) return false;
  target->section = classes[key];
  GetRegistryFilename(target->file, sizeof target->file);
  return true;
}

void TypeKeyName(const char* valueName, char* out, unsigned size) {
  RelStrCpyIntoBufA(out, valueName, size);
  RelStrCatIntoBufA(out, kTypeSuffix, size);
}

}  // namespace

int GetRegistryFilename(char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  buffer[0] = '\0';
  // 0 is a failure and 255 (longer than any text the 255-byte work buffer
  // holds) says a buffer was too small.
  const unsigned length = xGetModuleDirectoryA(nullptr, buffer, static_cast<unsigned>(size));
  if (length == 0 || length >= kPathSize) {
    buffer[0] = '\0';
    return 0;
  }
  if (MergePathA(buffer, "rerar.ini", static_cast<unsigned>(size)) == nullptr) {
    buffer[0] = '\0';
    return 0;
  }
  return 1;
}

int RegOpenKey(HKEY key, const char* /*subKey*/, HKEY* result) {
  if (result != nullptr) *result = key;
  return kOk;
}

int RegOpenKeyEx(HKEY key, const char* subKey, unsigned long /*options*/, unsigned long /*access*/, HKEY* result) {
  return RegOpenKey(key, subKey, result);
}

int RegCreateKey(HKEY key, const char* subKey, HKEY* result) { return RegOpenKey(key, subKey, result); }

int RegCreateKeyEx(HKEY key, const char* subKey, unsigned long /*reserved*/, char* /*keyClass*/,
                   unsigned long /*options*/, unsigned long /*access*/, void* /*securityAttributes*/, HKEY* result,
                   unsigned long* /*disposition*/) {
  return RegOpenKey(key, subKey, result);
}

int RegCloseKey(HKEY /*key*/) { return kOk; }
int RegFlushKey(HKEY /*key*/) { return kOk; }

int RegQueryType(int key, const char* valueName, unsigned long* type) {
  Target t;
  if (valueName == nullptr || type == nullptr || !Resolve(key, &t)) return kFail;
  char typeKey[256];
  TypeKeyName(valueName, typeKey, sizeof typeKey);
  char text[kSmallText];
  xGetPrivateProfileStringA(t.section, typeKey, "", text, sizeof text, t.file);
  if (std::strcmp(text, kTypeDword) == 0) {
    *type = REG_DWORD;
  } else if (std::strcmp(text, kTypeSz) == 0) {
    *type = REG_SZ;
  } else {
    *type = 0;
  }
  return kOk;
}

int RegSetType(int key, const char* valueName, unsigned long type) {
  Target t;
  if (valueName == nullptr || !Resolve(key, &t)) return kFail;
  char typeKey[256];
  TypeKeyName(valueName, typeKey, sizeof typeKey);
  xWritePrivateProfileStringA(t.section, typeKey, type == REG_DWORD ? kTypeDword : kTypeSz, t.file);
  return kOk;
}

int RegQueryValue(HKEY key, const char* valueName, char* data, unsigned long* size) {
  Target t;
  // A null name would list the section's keys; the registry has no use for that.
  if (valueName == nullptr || size == nullptr || !Resolve(key, &t)) return kFail;
  char text[kValueReadSize] = {};
  xGetPrivateProfileStringA(t.section, valueName, "", text, sizeof text, t.file);
  const unsigned long needed = std::strlen(text) + 1;
  if (data != nullptr) {
    if (*size < needed) {
      *size = needed;
      return kFail;
    }
    RelStrCpyIntoBufA(data, text, static_cast<unsigned>(*size));
  }
  *size = needed;
  return text[0] != '\0' ? kOk : kFail;
}

int RegQueryValueEx(HKEY key, const char* valueName, unsigned long* /*reserved*/, unsigned long* type,
                    unsigned char* data, unsigned long* size) {
  if (type == nullptr && data == nullptr) return kFail;
  unsigned long localType = 0;
  unsigned long* typeOut = type != nullptr ? type : &localType;
  if (RegQueryType(key, valueName, typeOut) != kOk || *typeOut == 0) return kFail;
  if (data == nullptr) return RegQueryValue(key, valueName, nullptr, size);
  if (*typeOut == REG_DWORD) {
    char text[kSmallText];
    unsigned long textSize = sizeof text;
    const int result = RegQueryValue(key, valueName, text, &textSize);
    if (result == kOk) {
      const int32_t number = static_cast<int32_t>(std::strtol(text, nullptr, 10));
      std::memcpy(data, &number, sizeof number);
    }
    return result;
  }
  return RegQueryValue(key, valueName, reinterpret_cast<char*>(data), size);
}

int RegSetValue(HKEY key, const char* valueName, unsigned long /*type*/, const char* data,
                unsigned long /*dataSize*/) {
  Target t;
  if (valueName == nullptr || !Resolve(key, &t)) return kFail;
  xWritePrivateProfileStringA(t.section, valueName, data, t.file);
  return kOk;
}

int RegSetValueEx(HKEY key, const char* valueName, unsigned long /*reserved*/, unsigned long type,
                  const unsigned char* data, unsigned long dataSize) {
  int result;
  if (type == REG_SZ) {
    result = RegSetValue(key, valueName, type, reinterpret_cast<const char*>(data), dataSize);
  } else if (type == REG_DWORD) {
    if (data == nullptr) return kFail;
    int32_t number;
    std::memcpy(&number, data, sizeof number);
    char text[kSmallText];
    const int length = sprintfnA(text, sizeof text, "%d", number);
    result = RegSetValue(key, valueName, REG_SZ, text, static_cast<unsigned long>(length) + 1);
  } else {
    return kFail;
  }
  if (result == kOk) result = RegSetType(key, valueName, type);
  return result;
}

int RegDeleteKey(HKEY key, const char* valueName) {
  Target t;
  if (valueName == nullptr || !Resolve(key, &t)) return kFail;
  char typeKey[256];
  TypeKeyName(valueName, typeKey, sizeof typeKey);
  xWritePrivateProfileStringA(t.section, valueName, nullptr, t.file);
  xWritePrivateProfileStringA(t.section, typeKey, nullptr, t.file);
  xWritePrivateProfileStringA(nullptr, nullptr, nullptr, t.file);
  return kOk;
}
