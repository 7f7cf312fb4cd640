// Bounded copy, append and format: the one size convention of the system.
#include "common/util/strbuf.h"

#include <cstdio>
#include <cstring>

char* RelStrCpyIntoBufA(char* dst, const char* src, unsigned size) {
  if (dst == nullptr || size == 0) return dst;
  unsigned i = 0;
  if (src != nullptr) {
    for (; i + 1 < size && src[i] != '\0'; ++i) dst[i] = src[i];
  }
  std::memset(dst + i, 0, size - i);
  return dst;
}

char* RelStrCatIntoBufA(char* dst, const char* src, unsigned size) {
  if (dst == nullptr || src == nullptr || size == 0) return dst;
  size_t n = strnlen(dst, size);
  if (n >= size) return dst;  // caller broke the contract; append nothing
  size_t i = 0;
  for (; n + 1 < size && src[i] != '\0'; ++i, ++n) dst[n] = src[i];
  dst[n] = '\0';
  return dst;
}

int vsprintfnA(char* buf, unsigned size, const char* format, va_list args) {
  if (buf == nullptr || size == 0) {
    char dummy;
    return std::vsnprintf(&dummy, 0, format, args);
  }
  int n = std::vsnprintf(buf, size, format, args);
  buf[size - 1] = '\0';
  if (n < 0) {
    buf[0] = '\0';
    return 0;
  }
  return n;
}

int sprintfnA(char* buf, unsigned size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsprintfnA(buf, size, format, args);
  va_end(args);
  return n;
}
