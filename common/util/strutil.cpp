// Text helpers: trimming, hex encodings, number/text conversion, character
// tests, URL escaping, environment look-ups. Everything works on 8-bit
// NUL-terminated texts and never writes beyond the sizes it is given.
#include "common/util/strutil.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/util/strbuf.h"

namespace {

constexpr bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Value of a hex digit, or -1.
constexpr int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Characters that may not appear in a bindery-style object name.
constexpr std::string_view kNotBindChars = "\"*+,/:;<=>?[\\]|~";
// Printable characters that a URL text still escapes.
constexpr std::string_view kUrlEscaped = " &^<>{}[]/\\\t\"'|~";

// Reads an optionally signed number the way Safe_ttoi/Safe_ttol promise,
// as a value that the caller narrows. Overflow saturates instead of being
// undefined as it would be with atoi.
long long ParseNumber(const char* s, long long lo, long long hi, unsigned long long hexMask) {
  if (s == nullptr) return 0;
  bool negate = false;
  if (*s == '+') {
    ++s;
  } else if (*s == '-') {
    negate = true;
    ++s;
  } else if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    // Hex digits only; "0x" alone (or "0x" and no digit) gives 0.
    if (HexValue(s[2]) < 0) return 0;
    unsigned long long v = std::strtoull(s + 2, nullptr, 16) & hexMask;
    // The bit pattern is kept, as "%x" into a signed target would.
    return hexMask == 0xFFFFFFFFull ? static_cast<long long>(static_cast<int>(v))
                                    : static_cast<long long>(v);
  }
  errno = 0;
  long long v = std::strtoll(s, nullptr, 10);
  if (negate) {
    // A magnitude that saturated high stands for the most negative value;
    // otherwise negate in unsigned arithmetic so nothing overflows.
    v = (v == LLONG_MAX && errno == ERANGE)
            ? LLONG_MIN
            : static_cast<long long>(0ull - static_cast<unsigned long long>(v));
  }
  if (v < lo) v = lo;
  if (v > hi) v = hi;
  return v;
}

}  // namespace

// ---- Trimming and in-place edits -----------------------------------------

const char* NonwhiteA(const char* s) {
  while (IsBlank(*s)) ++s;
  return s;
}

char* StripcrOnly(char* s) {
  s[std::strcspn(s, "\r\n")] = '\0';
  return s;
}

char* StripcrA(char* s) {
  StripcrOnly(s);
  size_t n = std::strlen(s);
  while (n > 0 && IsBlank(s[n - 1])) --n;
  s[n] = '\0';
  return s;
}

char* CRLF2SpecialA(char* s) {
  for (char* p = s; *p; ++p) {
    if (*p == '\r') *p = static_cast<char>(0xC0);
    else if (*p == '\n') *p = static_cast<char>(0xC1);
  }
  return s;
}

char* Special2CRLFA(char* s) {
  for (char* p = s; *p; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c == 0xC0) *p = '\r';
    else if (c == 0xC1) *p = '\n';
  }
  return s;
}

void RemoveSpecialCharsA(char* s) {
  for (char* p = s; *p; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c < 32 || c > 126 || c == '<' || c == '>') *p = ' ';
  }
}

void ReplaceCharInPlaceA(char* s, char from, char to) {
  for (char* p = s; *p; ++p) {
    if (*p == from) *p = to;
  }
}

char* strlwr(char* s) {
  for (char* p = s; *p; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  return s;
}

char* strupr(char* s) {
  for (char* p = s; *p; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  return s;
}

char* strrev(char* s) {
  size_t n = std::strlen(s);
  for (size_t i = 0; i < n / 2; ++i) {
    char t = s[i];
    s[i] = s[n - 1 - i];
    s[n - 1 - i] = t;
  }
  return s;
}

char* UnicodeToMBCS(char* dst, unsigned size, const char* src) {
  if (size == 0) return dst;
  return RelStrCpyIntoBufA(dst, src, size);
}

char* MBCSToUnicode(char* dst, unsigned size, const char* src) {
  return UnicodeToMBCS(dst, size, src);
}

// ---- Search ---------------------------------------------------------------

const char* StrIStrA(const char* text, const char* pattern) {
  char t[2048];
  char p[256];
  RelStrCpyIntoBufA(t, text, sizeof t);
  RelStrCpyIntoBufA(p, pattern, sizeof p);
  const char* hit = std::strstr(strupr(t), strupr(p));
  return hit ? text + (hit - t) : nullptr;
}

const char* StrRStrA(const char* text, const char* pattern) {
  const char* last = nullptr;
  const char* from = text;
  while (const char* hit = std::strstr(from, pattern)) {
    last = hit;
    // An empty pattern matches at the terminator too; never step past it.
    if (hit[0] == '\0' || hit[1] == '\0') break;
    from = hit + 1;
  }
  return last;
}

int IsMemNulled(const void* p, unsigned n) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (unsigned i = 0; i < n; ++i) {
    if (b[i] != 0) return 0;
  }
  return 1;
}

// ---- Hexadecimal encodings -------------------------------------------------

char TOHEXCHARA(int n) {
  int c = (n >= 0 && n <= 9) ? '0' + n : n + 55;
  return static_cast<char>(static_cast<unsigned char>(c));
}

void AsciifyA(char* out, const unsigned char* in, int count) {
  for (int i = 0; i < count; ++i) {
    *out++ = TOHEXCHARA(in[i] >> 4);
    *out++ = TOHEXCHARA(in[i] & 0x0F);
  }
  *out = '\0';
}

int TOHEX(const char* in, unsigned char* out) {
  int hi = HexValue(in[0]);
  if (hi < 0) return 0;  // in[1] may be beyond a terminator: not read
  int lo = HexValue(in[1]);
  if (lo < 0) return 0;
  *out = static_cast<unsigned char>(hi << 4 | lo);
  return 1;
}

unsigned char* BinifyA(unsigned char* out, const char* in, int count) {
  for (int i = 0; i + 1 < count; i += 2) {
    if (!TOHEX(in + i, out + i / 2)) return nullptr;
  }
  return (count % 2) ? nullptr : out;
}

// ---- Number to text ---------------------------------------------------------

void xtoa(unsigned long value, char* buf, unsigned radix, int negative) {
  char* p = buf;
  if (negative) {
    *p++ = '-';
    value = 0ul - value;
  }
  char* first = p;
  if (radix >= 2 && radix <= 36) {
    do {
      unsigned digit = static_cast<unsigned>(value % radix);
      value /= radix;
      *p++ = static_cast<char>(digit < 10 ? '0' + digit : 'a' + digit - 10);
    } while (value != 0);
  }
  *p = '\0';
  strrev(first);
}

char* itoa(int value, char* buf, int radix) {
  if (radix == 10 && value < 0) {
    // Sign-extend so the negation inside xtoa yields the magnitude.
    xtoa(static_cast<unsigned long>(static_cast<long>(value)), buf, 10, 1);
  } else {
    xtoa(static_cast<unsigned>(value), buf, radix < 0 ? 0u : static_cast<unsigned>(radix), 0);
  }
  return buf;
}

char* qvultoa(unsigned long value, char* buf, int radix) {
  xtoa(value, buf, radix < 0 ? 0u : static_cast<unsigned>(radix), 0);
  return buf;
}

// ---- Text to number ---------------------------------------------------------

int Safe_ttoi(const char* s) {
  return static_cast<int>(ParseNumber(s, INT_MIN, INT_MAX, 0xFFFFFFFFull));
}

long Safe_ttol(const char* s) {
  static_assert(sizeof(long) == sizeof(long long), "long is 64 bits on this host");
  return static_cast<long>(ParseNumber(s, LONG_MIN, LONG_MAX, ~0ull));
}

// ---- Character tests --------------------------------------------------------

int IsBindCharA(char c) {
  auto u = static_cast<unsigned char>(c);
  if (u < '!' || u > '~') return 0;
  return kNotBindChars.find(c) == std::string_view::npos ? 1 : 0;
}

int IsBindStringA(const char* s) {
  if (s == nullptr || *s == '\0') return 0;
  for (; *s; ++s) {
    if (!IsBindCharA(*s)) return 0;
  }
  return 1;
}

// ---- URL texts --------------------------------------------------------------

char* URLizeStringA(char* out, const char* in, unsigned size) {
  if (size == 0) return out;
  unsigned used = 0;
  for (const char* p = in; *p; ++p) {
    auto c = static_cast<unsigned char>(*p);
    bool plain = c >= 32 && c <= 127 && kUrlEscaped.find(*p) == std::string_view::npos;
    if (plain) {
      if (used + 1 + 1 > size) break;
      out[used++] = *p;
    } else {
      if (size <= 3 || used + 3 + 1 > size) break;
      out[used++] = '%';
      out[used++] = TOHEXCHARA(c >> 4);
      out[used++] = TOHEXCHARA(c & 0x0F);
    }
  }
  out[used] = '\0';
  return out;
}

char* AddUrlMethod(char* out, const char* text, unsigned size) {
  if (size == 0) return out;
  out[0] = '\0';
  const char* t = NonwhiteA(text);
  if (*t == '\0') return out;
  if (t[0] == '\\' && t[1] == '\\') {
    sprintfnA(out, size, "file://%s", t);
  } else if (std::strchr(t, ':')) {
    RelStrCpyIntoBufA(out, t, size);
  } else if (std::strchr(t, '@')) {
    sprintfnA(out, size, "mailto:%s", t);
  } else {
    sprintfnA(out, size, "http://%s", t);
  }
  StripcrA(out);
  ReplaceCharInPlaceA(out, '\\', '/');
  return out;
}

// ---- Environment ------------------------------------------------------------

namespace {

unsigned CopyValue(const char* value, const char* defaultValue, char* out, unsigned size) {
  if (size == 0) return 0;
  const char* v = value ? value : (defaultValue ? defaultValue : "");
  RelStrCpyIntoBufA(out, v, size);
  return static_cast<unsigned>(std::strlen(out));
}

}  // namespace

unsigned _GetEnvironmentString(const char* name, const char* defaultValue, char* out,
                               unsigned size) {
  const char* value = (name && *name) ? std::getenv(name) : nullptr;
  return CopyValue(value, defaultValue, out, size);
}

char* mygetenv(const char* name, char** environment) {
  if (name == nullptr || *name == '\0' || environment == nullptr) return nullptr;
  size_t n = std::strlen(name);
  for (char** e = environment; *e; ++e) {
    if (std::strncmp(*e, name, n) == 0 && (*e)[n] == '=') return *e + n + 1;
  }
  return nullptr;
}

unsigned GetEnvironmentString(const char* name, const char* defaultValue, char* out,
                              unsigned size, char** environment) {
  return CopyValue(mygetenv(name, environment), defaultValue, out, size);
}

// ---- Buffer packing ---------------------------------------------------------

char* AddStrToBuffer(char* end, const char* s) {
  size_t n = std::strlen(s) + 1;
  char* start = end - n;
  std::memcpy(start, s, n);
  return start;
}
