// Temporary file names from the C library's tempnam. Kept apart from the other
// path functions so that only programs that ask for temporary names link
// tempnam (and get the linker's note about it).
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "common/util/pathutil.h"
#include "common/util/strbuf.h"

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

char* TempName(char* result, const char* part1, const char* part2, unsigned size,
               const char* prefix) {
  std::array<char, 255> dir;
  sprintfnA(dir.data(), dir.size(), "%s%s", part1 ? part1 : "", part2 ? part2 : "");
  std::unique_ptr<char, FreeDeleter> name(tempnam(dir.data(), prefix));
  if (!name) return nullptr;
  if (size > 0) RelStrCpyIntoBufA(result, name.get(), size);
  return result;
}

}  // namespace

char* GenerateTempFilename(char* result, const char* part1, const char* part2, unsigned size) {
  std::array<char, 32> prefix;
  sprintfnA(prefix.data(), prefix.size(), "TMP%d", static_cast<int>(getpid()));
  return TempName(result, part1, part2, size, prefix.data());
}

char* GenerateTempFilenameA(char* result, const char* part1, const char* part2, unsigned size) {
  return TempName(result, part1, part2, size, "TMP");
}
