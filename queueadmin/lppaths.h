// Every path of the LP print service and of the print product that the queue
// administration uses. All of them lie under one root prefix, empty on a real
// host, so a whole LP tree can be moved elsewhere (a sandboxed service, a test).
// The root comes from kqsd.ini, section "LP Service", key "Root".
#pragma once

#include <sys/types.h>

namespace kqs {

// The rooted paths, each at most 254 characters.
struct LpPathSet {
  char lpadmin[255];     // "/usr/lib/lpadmin"
  char accept[255];      // "/usr/lib/accept"
  char enable[255];      // "/usr/bin/enable"
  char lpfilter[255];    // "/usr/lib/lpfilter"
  char lpsched[255];     // "/usr/lib/lpsched"
  char lpshut[255];      // "/usr/lib/lpshut"
  char interfaces[255];  // "/etc/lp/interfaces": one interface script per queue
  char classes[255];     // "/etc/lp/classes": one entry per class
  char fd[255];          // "/etc/lp/fd": filter descriptions
  char models[255];      // "/usr/lib/lp/model": printer model scripts
  char schedlock[255];   // "/var/spool/lp/SCHEDLOCK": exists while the scheduler runs
  char product[255];     // "/opt/qvnx/sh": product models and the wrapper template
  char version[255];     // "/opt/qvnx/version": the product's version file
  char disable[255];     // "/usr/bin/disable"
  char reject[255];      // "/usr/lib/reject"
  char cancel[255];      // "/usr/bin/cancel"
  char lpmove[255];      // "/usr/lib/lpmove"
  char lpquery[255];     // "/usr/lib/lpquery": printer state and jobs (lpsvc only)
  char defaultDest[255];  // "/etc/lp/default": the default destination's name
};

// File name of the interface wrapper template in LpPathSet::product.
inline constexpr char kWrapperTemplateName[] = "qvnx.model";

// The longest root accepted; it keeps every path and command line of a
// legitimate queue within the 254-character buffers.
inline constexpr unsigned kMaxLpRootLength = 64;

// The paths under the current root. Valid until the root changes.
const LpPathSet& LpPaths();

// The current root ("" for the host's own LP service).
const char* LpRoot();

// Sets the root: "" or "/" for the real paths, otherwise an absolute path of
// at most kMaxLpRootLength characters (trailing '/' dropped) without blanks
// or control characters, since the root becomes part of command words.
// Returns 0, or -1 with the root unchanged. Call before requests are served
// (the paths are read without a lock).
int SetLpRoot(const char* root);

// Reads the root from kqsd.ini in the module directory and sets it; a missing
// file or key means "". Returns 0, or -1 when the configured root is refused
// (the root is then left as it was).
int LoadLpRoot();

// printf into buf (size bytes in all, terminator included). Returns true
// when the whole text fitted; false when it was cut, so a cut path or
// command line is never used.
bool FormatLine(char* buf, unsigned size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace kqs

// The lp account's user id, looked up by the daemon at start-up; the queue
// enumeration lists only interface scripts that it owns. Initially 0.
extern uid_t lpid;
