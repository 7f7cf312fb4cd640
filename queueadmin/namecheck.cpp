// Name and value checks of the queue administration.
#include "queueadmin/namecheck.h"

#include <cstring>
#include <string_view>

#include "common/util/strutil.h"

namespace kqs {

namespace {

constexpr size_t kMaxNameLength = 127;
constexpr std::string_view kScriptSpecials = "\"`$\\";
// A single quote would open a quoted string that swallows the lines below.
constexpr char kUnquotedSpecials[] = " ;&|<>()'";

bool IsControl(unsigned char c) { return c < 32 || c == 127; }

}  // namespace

bool IsSafeLpName(const char* name) {
  if (name == nullptr || name[0] == '.' || name[0] == '-') return false;
  return strnlen(name, kMaxNameLength + 1) <= kMaxNameLength && IsBindStringA(name) == 1;
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
