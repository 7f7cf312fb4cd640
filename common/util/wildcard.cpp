// Wildcard matching. The search tries, for each star, every place where the
// rest of the pattern could start, rightmost first. Plain backtracking of that
// kind is exponential in the number of stars, so the matcher remembers, per
// pattern position, the lowest text position from which every later start is
// known to fail; no (pattern, text) pair is then tried twice.
#include "common/util/wildcard.h"

#include <array>
#include <cctype>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "common/util/strutil.h"

namespace {

constexpr int kMaxPattern = 80;

// One match of a prepared pattern against one text.
class Matcher {
 public:
  // Allocates a few slots per pattern position; may throw std::bad_alloc.
  Matcher(const char* pattern, const char* text, int textLength, int caseSensitive)
      : pattern_(pattern), text_(text), textEnd_(textLength), caseSensitive_(caseSensitive) {
    const size_t n = std::strlen(pattern);
    // No start is known to fail yet.
    failedFrom_.assign(n + 1, textLength + 1);
    // What find_starA and fixed_sizeA say of each suffix, computed once
    // instead of on every attempt.
    nextStar_.assign(n + 1, -1);
    fixedSize_.assign(n + 1, 0);
    for (size_t i = n; i-- > 0;) {
      const bool star = pattern[i] == '*';
      nextStar_[i] = star ? 0 : (nextStar_[i + 1] < 0 ? -1 : nextStar_[i + 1] + 1);
      fixedSize_[i] = fixedSize_[i + 1] + (star ? 0 : 1);
    }
    patternEnd_ = static_cast<int>(n);
  }

  // Does the pattern from offset p match the text from offset t to its end?
  bool Match(int p, int t) {
    const char* pat = pattern_ + p;
    const int k = nextStar_[static_cast<size_t>(p)];
    const int L = k >= 0 ? k : patternEnd_ - p + 1;

    bool segment = true;
    if (L > 0) {
      segment = L <= (textEnd_ - t) + 1 && fixed_matchA(pat, text_ + t, L, caseSensitive_);
    }
    if (!segment || k < 0) return segment;

    // Past the segment, its star and any stars that follow it.
    int rest = p + k;
    while (pattern_[rest] == '*') ++rest;
    if (pattern_[rest] == '\0') return true;  // a trailing star takes the rest

    const int from = t + L;
    const int m = fixedSize_[static_cast<size_t>(rest)];
    int pos = textEnd_ - m;
    // Every start at or beyond failedFrom has been tried and failed before.
    int& failedFrom = Failed(rest);
    if (pos >= failedFrom) pos = failedFrom - 1;
    for (; pos >= from; --pos) {
      if (Match(rest, pos)) return true;
      failedFrom = pos;
    }
    return false;
  }

 private:
  int& Failed(int p) { return failedFrom_[static_cast<size_t>(p)]; }

  const char* pattern_;
  const char* text_;
  const int textEnd_;
  const int caseSensitive_;
  int patternEnd_ = 0;
  // Per pattern offset: every text start at or beyond failedFrom_ is known
  // to fail; the offset of the next '*' relative to it (or -1); the number
  // of non-star characters from it on.
  std::vector<int> failedFrom_;
  std::vector<int> nextStar_;
  std::vector<int> fixedSize_;
};

}  // namespace

int find_starA(const char* pattern) {
  const char* star = std::strchr(pattern, '*');
  return star ? static_cast<int>(star - pattern) : -1;
}

int fixed_sizeA(const char* pattern) {
  int n = 0;
  for (const char* p = pattern; *p; ++p) {
    if (*p != '*') ++n;
  }
  return n;
}

int fixed_matchA(const char* pattern, const char* text, int n, int caseSensitive) {
  for (int i = 0; i < n; ++i) {
    const char pc = pattern[i];
    char tc = text[i];
    if (!caseSensitive) tc = static_cast<char>(std::toupper(static_cast<unsigned char>(tc)));
    if (pc == tc) {
      if (tc == '\0') return 1;  // both ended: nothing further to compare
      continue;
    }
    if (pc == '?' && tc != '\0') continue;
    return 0;
  }
  return 1;
}

int parse_patternA(char* out, const char* pattern) {
  int count = 0;
  const char* p = pattern;
  while (*p != '\0' && count < kMaxPattern) {
    if (*p == '\'' || *p == '"') {
      const char quote = *p++;
      while (*p != quote) {
        if (*p == '\0' || count == kMaxPattern) {
          out[count] = '\0';
          return -1;
        }
        out[count++] = *p++;
      }
      ++p;  // the closing quote
    } else {
      out[count++] = *p++;
    }
  }
  out[count] = '\0';
  return *p != '\0' ? -1 : 0;
}

int wildcardsA(const char* pattern, const char* text, int caseSensitive) {
  const size_t length = std::strlen(text);
  if (length > static_cast<size_t>(INT_MAX - 2)) return 0;
  try {
    Matcher matcher(pattern, text, static_cast<int>(length), caseSensitive);
    return matcher.Match(0, 0) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int wcmatchstringsA(const char* pattern, const char* text, int caseSensitive) {
  if (pattern == nullptr || text == nullptr) return 0;
  std::array<char, kMaxPattern + 1> prepared;
  if (parse_patternA(prepared.data(), pattern) != 0) return 0;
  if (caseSensitive == 0) strupr(prepared.data());
  return wildcardsA(prepared.data(), text, caseSensitive);
}
