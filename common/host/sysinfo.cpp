// System information: the module directory derived from argv[0], the host
// description from uname, and the tick count and sleep through the Env seam.
#include "common/host/sysinfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "common/host/env.h"
#include "common/util/pathutil.h"
#include "common/util/strbuf.h"

char** gArgv = nullptr;

namespace {

constexpr unsigned kPathSize = 255;
constexpr unsigned kTooSmall = 255;

// getcwd into buf; on failure the result that xGetModuleDirectory reports.
bool CurrentDirectory(char* buf, unsigned size, unsigned* failure) {
  if (getcwd(buf, size) != nullptr) return true;
  *failure = errno == ERANGE ? kTooSmall : 0;
  return false;
}

}  // namespace

void xRegisterArguments(int /*argc*/, char** argv) { gArgv = argv; }

unsigned xGetModuleDirectory(void* /*module*/, char* buffer, unsigned size) {
  if (buffer == nullptr || size == 0) return 0;
  unsigned failure = 0;
  if (gArgv == nullptr) {
    if (!CurrentDirectory(buffer, size, &failure)) return failure;
  } else {
    const char* arg0 = gArgv[0];
    if (arg0 == nullptr || *arg0 == '\0') return 0;
    if (std::strlen(arg0) >= size) return kTooSmall;

    std::array<char, kPathSize> base{};
    if (arg0[0] != '/' && !CurrentDirectory(base.data(), kPathSize, &failure)) return failure;

    PathComponents parts;
    xSplitPathA(arg0, &parts);
    parts.fname[0] = '\0';
    parts.ext[0] = '\0';
    std::array<char, kPathSize> dir{};
    xMakePathA(dir.data(), &parts, kPathSize);

    // FixPathA drops the trailing '/' and resolves "." and ".." of a
    // relative start such as "../bin/kqsd".
    if (MergePathA(base.data(), dir.data(), kPathSize) == nullptr) return 0;
    if (FixPathA(buffer, base.data(), size) == 0) return 0;
  }
  size_t len = std::strlen(buffer);
  if (len == 1 && buffer[0] == '/') return 1;  // the root already ends in '/'
  if (len + 1 >= size) return 0;
  buffer[len] = '/';
  buffer[len + 1] = '\0';
  return unsigned(len + 1);
}

unsigned xGetModuleDirectoryA(void* module, char* buffer, unsigned size) {
  if (buffer == nullptr || size == 0) return 0;
  std::array<char, kPathSize> work{};
  unsigned result = xGetModuleDirectory(module, work.data(), kPathSize);
  RelStrCpyIntoBufA(buffer, work.data(), size);
  buffer[size - 1] = '\0';
  return result;
}

unsigned GetSystemDirectory(char* buffer, unsigned size) {
  return xGetModuleDirectoryA(nullptr, buffer, size);
}

void xSleep(int ms) {
  if (ms > 0) kqs::CurrentEnv()->SleepMillis(ms);
}

int xGetHostOS(char* buffer, unsigned size) {
  if (buffer == nullptr || size == 0) return 16;
  buffer[0] = '\0';
  struct utsname names;
  if (uname(&names) != 0) return 16;
  kqs::DescribeHostOS(names.sysname, names.release, buffer, size);
  return 0;
}

namespace kqs {

void DescribeHostOS(const char* sysname, const char* release, char* buffer, unsigned size) {
  if (std::strcmp(sysname, "SunOS") == 0 && std::strncmp(release, "5.", 2) == 0) {
    // SunOS 5.x is sold as Solaris 2.x: only the major digit changes.
    std::array<char, 257> solaris{};
    RelStrCpyIntoBufA(solaris.data(), release, unsigned(solaris.size()));
    solaris[0] = '2';
    sprintfnA(buffer, size, "Solaris (%s): %s (%s)", solaris.data(), sysname, release);
  } else {
    sprintfnA(buffer, size, "%s (%s)", sysname, release);
  }
}

}  // namespace kqs

uint32_t xGetTickCount() { return uint32_t(uint64_t(kqs::CurrentEnv()->NowMillis())); }

unsigned xGetProcessMemUsage() { return 0; }
