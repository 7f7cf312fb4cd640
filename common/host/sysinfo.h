// System information: where the program lives (every file kqsd reads or
// writes is found from its module directory), what host it runs on, a
// millisecond tick count and a sleep. The clock and the sleep go through the
// Env seam, so tests can move time.
#pragma once

#include <cstdint>

// The argument vector registered by main, or null before that.
extern char** gArgv;

// Keeps argv in gArgv (argc is ignored). Call once, before any thread starts.
void xRegisterArguments(int argc, char** argv);

// Writes the directory of the running program, ending in '/', into buffer.
// It is derived from argv[0] as the program was started: an absolute path
// gives its directory, a relative one is taken from the current directory,
// and a bare name (found through PATH) gives the current directory itself.
// With no registered arguments it is the current directory. module is
// ignored. Returns the length of the text, 0 on failure (no argv[0], or the
// text and its '/' do not fit), or 255 when argv[0], the current directory
// or a work buffer is too long.
unsigned xGetModuleDirectory(void* module, char* buffer, unsigned size);
// The same through a 255-byte work buffer; the text is copied into buffer
// bounded by size, whose last byte is always NUL. Returns the inner result.
unsigned xGetModuleDirectoryA(void* module, char* buffer, unsigned size);
// The system directory is the module directory.
unsigned GetSystemDirectory(char* buffer, unsigned size);

// Suspends the calling thread for ms milliseconds (nothing for ms <= 0).
void xSleep(int ms);

// Describes the host (uname) as kqs::DescribeHostOS does, cut to fit
// buffer. Returns 0, or 16 when the system cannot be queried (buffer is then
// empty).
int xGetHostOS(char* buffer, unsigned size);

// Milliseconds of the real-time clock, cut to 32 bits: it wraps about every
// 49.7 days and follows changes of the system time, so use only differences
// of two readings (unsigned subtraction).
uint32_t xGetTickCount();

// Always 0: the process's memory use is not reported.
unsigned xGetProcessMemUsage();

namespace kqs {

// "<sysname> (<release>)", e.g. "Linux (6.1.0)"; SunOS 5.x is described as
// "Solaris (2.x): SunOS (5.x)" (release 5.5.1 gives "Solaris (2.5.1): SunOS
// (5.5.1)", 5.10 gives 2.10). Cut to fit buffer (size >= 1).
void DescribeHostOS(const char* sysname, const char* release, char* buffer, unsigned size);

}  // namespace kqs
