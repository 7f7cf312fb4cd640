// Fuzz target for wildcard matching. The first byte chooses case-sensitive or
// not; the rest is a pattern and a text separated by a NUL. Every verdict is
// compared with a table-driven matcher, and libFuzzer's time-out catches a
// search that takes too long.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/util/wildcard.h"

namespace {

char Fold(char c, bool exact) {
  return exact ? c : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// Classic dynamic-programming glob match of a quote-free pattern.
bool Reference(const std::string& p, const std::string& t, bool exact) {
  std::vector<char> next(t.size() + 1, 0), cur(t.size() + 1, 0);
  next[t.size()] = 1;  // the empty pattern matches only the empty rest
  for (size_t i = p.size(); i-- > 0;) {
    for (size_t j = t.size() + 1; j-- > 0;) {
      if (p[i] == '*') {
        cur[j] = next[j] || (j < t.size() && cur[j + 1]);
      } else {
        cur[j] = j < t.size() && (p[i] == '?' || Fold(p[i], exact) == Fold(t[j], exact)) &&
                 next[j + 1];
      }
    }
    next.swap(cur);
  }
  return next[0] != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;
  const int caseSensitive = bytes[0] & 1;
  const std::string rest(reinterpret_cast<const char*>(bytes + 1), size - 1);
  const size_t split = rest.find('\0');
  const std::string pattern = rest.substr(0, split);
  std::string text = split == std::string::npos ? std::string() : rest.substr(split + 1);
  text.resize(std::strlen(text.c_str()));

  const int got = wcmatchstringsA(pattern.c_str(), text.c_str(), caseSensitive);
  char prepared[81];
  if (parse_patternA(prepared, pattern.c_str()) != 0) {
    if (got != 0) std::abort();
    return 0;
  }
  if (got != (Reference(prepared, text, caseSensitive != 0) ? 1 : 0)) std::abort();
  return 0;
}
