// Name and value checks of the queue administration.
#include "queueadmin/namecheck.h"

#include <cstring>
#include <string_view>

namespace kqs {

namespace {

constexpr size_t kMaxNameLength = 127;
constexpr std::string_view kScriptSpecials = "\"`$\\";
// A single quote would open a quoted string that swallows the lines below.
constexpr char kUnquotedSpecials[] = " ;&|<>()'";

bool IsControl(unsigned char c) { return c < 32 || c == 127; }

// ASCII only, whatever the locale.
bool IsLetterOrDigit(unsigned char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

}  // namespace

bool IsSafeLpName(const char* name) {
  if (name == nullptr || !IsLetterOrDigit(static_cast<unsigned char>(name[0]))) return false;
  const size_t length = strnlen(name, kMaxNameLength + 1);
  if (length > kMaxNameLength) return false;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (!IsLetterOrDigit(c) && c != '_' && c != '-') return false;
  }
  return true;
}

bool IsSafeModelName(const char* name) {
  if (name == nullptr || name[0] == '\0' || name[0] == '.' || name[0] == '-') return false;
  const size_t length = strnlen(name, kMaxNameLength + 1);
  if (length > kMaxNameLength) return false;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '/' || c == ' ' || IsControl(c)) return false;
  }
  return true;
}

bool IsSafeScriptValue(const char* value) {
  if (value == nullptr) return false;
  for (const char* p = value; *p != '\0'; ++p) {
    if (IsControl(static_cast<unsigned char>(*p)) || kScriptSpecials.find(*p) != std::string_view::npos)
      return false;
  }
  return true;
}

bool IsSafeUnquotedValue(const char* value) {
  if (!IsSafeScriptValue(value)) return false;
  return std::strpbrk(value, kUnquotedSpecials) == nullptr;
}

}  // namespace kqs
