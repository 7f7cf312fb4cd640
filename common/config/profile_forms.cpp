// The rest of the profile family, built on the two locked calls of the store:
// the forms that copy their texts into fixed buffers first, the integer, flag
// and pair conversions, and the host-wide calls (which address no file).
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "common/config/profile.h"
#include "common/util/strbuf.h"
#include "common/util/strutil.h"

namespace {

constexpr unsigned kNameSize = 256;
constexpr unsigned kPathSize = 255;


bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// atoi without its undefined behaviour on overflow; wraps like atoi does here.
int DecimalAt(const char* s) { return static_cast<int>(std::strtol(s, nullptr, 10)); }
int NegativeDecimalAt(const char* s) { return static_cast<int>(-std::strtol(s, nullptr, 10)); }

using StringRead = unsigned (*)(const char*, const char*, const char*, char*, unsigned, const char*);
using StringWrite = void (*)(const char*, const char*, const char*, const char*);

int ReadBool(StringRead read, const char* section, const char* key, int defaultValue, const char* fileName) {
  if (key == nullptr || *key == '\0') return defaultValue;
  char text[10];
  if (read(section, key, defaultValue != 0 ? "1" : "0", text, sizeof text, fileName) == 0) return defaultValue;
  static constexpr std::string_view kTruePrefixes[] = {"True", "On", "Yes"};
  if (std::strcmp(text, "1") == 0) return 1;
  for (std::string_view prefix : kTruePrefixes) {
    if (strncasecmp(text, prefix.data(), prefix.size()) == 0) return 1;
  }
  return 0;
}

void ReadCoord(StringRead read, int (*convert)(const char*), const char* section, const char* key,
               const ProfileCoord* defaultValue, ProfileCoord* result, const char* fileName) {
  if (result == nullptr) return;
  auto useDefault = [&] {
    if (defaultValue != nullptr) *result = *defaultValue;
  };
  char text[20];
  if (read(section, key, "", text, sizeof text, fileName) == 0) return useDefault();
  const char* comma = std::strchr(text, ',');
  if (comma == nullptr) return useDefault();
  const char* xs = NonwhiteA(text);
  const char* ys = NonwhiteA(comma + 1);
  if (!IsDigit(*xs) || !IsDigit(*ys)) return useDefault();
  const int x = convert(xs);
  const int y = convert(ys);
  if (x < 0 || y < 0) return useDefault();
  *result = ProfileCoord{x, y};
}

void WriteInt(StringWrite write, const char* section, const char* key, int value, const char* fileName) {
  char text[20];
  sprintfnA(text, sizeof text, "%d", value);
  write(section, key, text, fileName);
}

void WriteCoord(StringWrite write, const char* section, const char* key, const ProfileCoord* value,
                const char* fileName) {
  if (value == nullptr) return;
  char text[20];
  sprintfnA(text, sizeof text, "%u,%u", static_cast<unsigned>(value->x), static_cast<unsigned>(value->y));
  write(section, key, text, fileName);
}

// Bounded copy of an optional text; null stays null.
const char* CopyOptional(char* dst, const char* src, unsigned size) {
  if (src == nullptr) return nullptr;
  return RelStrCpyIntoBufA(dst, src, size);
}

}  // namespace

unsigned xGetPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                  char* buffer, unsigned size, const char* fileName) {
  if (buffer == nullptr || size == 0) return 0;
  char sectionCopy[kNameSize], keyCopy[kNameSize], defaultCopy[kNameSize], fileCopy[kPathSize];
  struct Freer {
    void operator()(char* p) const { std::free(p); }
  };
  std::unique_ptr<char, Freer> temp(static_cast<char*>(std::calloc(size, 1)));
  if (!temp) return 0;
  const unsigned result = xGetPrivateProfileStringA(
      CopyOptional(sectionCopy, section, sizeof sectionCopy), CopyOptional(keyCopy, key, sizeof keyCopy),
      CopyOptional(defaultCopy, defaultValue, sizeof defaultCopy), temp.get(), size,
      CopyOptional(fileCopy, fileName, sizeof fileCopy));

  if (section == nullptr || key == nullptr) {
    // The temporary buffer is zeroed and the list ends with an empty name, so
    // walking it stays inside size bytes.
    unsigned end = 0;
    while (end < size && temp.get()[end] != '\0') end += static_cast<unsigned>(std::strlen(temp.get() + end)) + 1;
    std::memcpy(buffer, temp.get(), std::min(end + 1, size));
  } else {
    RelStrCpyIntoBufA(buffer, temp.get(), size);
  }
  buffer[size - 1] = '\0';
  return result;
}

void xWritePrivateProfileString(const char* section, const char* key, const char* value, const char* fileName) {
  char sectionCopy[kNameSize], keyCopy[kNameSize], valueCopy[kNameSize], fileCopy[kPathSize];
  xWritePrivateProfileStringA(CopyOptional(sectionCopy, section, sizeof sectionCopy),
                              CopyOptional(keyCopy, key, sizeof keyCopy),
                              CopyOptional(valueCopy, value, sizeof valueCopy),
                              CopyOptional(fileCopy, fileName, sizeof fileCopy));
}

int xGetPrivateProfileIntA(const char* section, const char* key, int defaultValue, const char* fileName) {
  char text[40];
  if (xGetPrivateProfileStringA(section, key, "", text, sizeof text, fileName) == 0) return defaultValue;
  if (text[0] == '-' && IsDigit(text[1])) return NegativeDecimalAt(text + 1);
  if (IsDigit(text[0])) return DecimalAt(text);
  return defaultValue;
}

int xGetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* fileName) {
  char text[10];
  if (xGetPrivateProfileString(section, key, "", text, sizeof text, fileName) == 0) return defaultValue;
  if (IsDigit(text[0]) || text[0] == '-' || text[0] == '+') return Safe_ttoi(text);
  return defaultValue;
}

void xWritePrivateProfileIntA(const char* section, const char* key, int value, const char* fileName) {
  WriteInt(&xWritePrivateProfileStringA, section, key, value, fileName);
}

void xWritePrivateProfileInt(const char* section, const char* key, int value, const char* fileName) {
  WriteInt(&xWritePrivateProfileString, section, key, value, fileName);
}

int xGetPrivateProfileBoolA(const char* section, const char* key, int defaultValue, const char* fileName) {
  return ReadBool(&xGetPrivateProfileStringA, section, key, defaultValue, fileName);
}

int xGetPrivateProfileBool(const char* section, const char* key, int defaultValue, const char* fileName) {
  return ReadBool(&xGetPrivateProfileString, section, key, defaultValue, fileName);
}

void xWritePrivateProfileBoolA(const char* section, const char* key, int value, const char* fileName) {
  xWritePrivateProfileStringA(section, key, value != 0 ? "Yes" : "No", fileName);
}

void xWritePrivateProfileBool(const char* section, const char* key, int value, const char* fileName) {
  xWritePrivateProfileString(section, key, value != 0 ? "Yes" : "No", fileName);
}

void xGetPrivateProfileCoordA(const char* section, const char* key, const ProfileCoord* defaultValue,
                              ProfileCoord* result, const char* fileName) {
  ReadCoord(&xGetPrivateProfileStringA, &DecimalAt, section, key, defaultValue, result, fileName);
}

void xGetPrivateProfileCoord(const char* section, const char* key, const ProfileCoord* defaultValue,
                             ProfileCoord* result, const char* fileName) {
  ReadCoord(&xGetPrivateProfileString, &Safe_ttoi, section, key, defaultValue, result, fileName);
}

void xWritePrivateProfileCoordA(const char* section, const char* key, const ProfileCoord* value,
                                const char* fileName) {
  WriteCoord(&xWritePrivateProfileStringA, section, key, value, fileName);
}

void xWritePrivateProfileCoord(const char* section, const char* key, const ProfileCoord* value,
                               const char* fileName) {
  WriteCoord(&xWritePrivateProfileString, section, key, value, fileName);
}

const char* GetWinIniFileNameA() { return ""; }
const char* GetWinIniFileName() { return ""; }

unsigned xGetProfileStringA(const char* section, const char* key, const char* defaultValue, char* buffer,
                            unsigned size) {
  return xGetPrivateProfileStringA(section, key, defaultValue, buffer, size, GetWinIniFileNameA());
}

unsigned xGetProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                           unsigned size) {
  return xGetPrivateProfileString(section, key, defaultValue, buffer, size, GetWinIniFileName());
}

void xWriteProfileStringA(const char* section, const char* key, const char* value) {
  xWritePrivateProfileStringA(section, key, value, GetWinIniFileNameA());
}

void xWriteProfileString(const char* section, const char* key, const char* value) {
  xWritePrivateProfileString(section, key, value, GetWinIniFileName());
}

int xGetProfileIntA(const char* section, const char* key, int defaultValue) {
  return xGetPrivateProfileIntA(section, key, defaultValue, GetWinIniFileNameA());
}

void xWriteProfileIntA(const char* section, const char* key, int value) {
  xWritePrivateProfileIntA(section, key, value, GetWinIniFileNameA());
}

int xGetProfileBoolA(const char* section, const char* key, int defaultValue) {
  return xGetPrivateProfileBoolA(section, key, defaultValue, GetWinIniFileNameA());
}

void xWriteProfileBoolA(const char* section, const char* key, int value) {
  xWritePrivateProfileBoolA(section, key, value, GetWinIniFileNameA());
}

void xGetProfileCoordA(const char* section, const char* key, const ProfileCoord* defaultValue,
                       ProfileCoord* result) {
  xGetPrivateProfileCoordA(section, key, defaultValue, result, GetWinIniFileNameA());
}

void xWriteProfileCoordA(const char* section, const char* key, const ProfileCoord* value) {
  xWritePrivateProfileCoordA(section, key, value, GetWinIniFileNameA());
}
