// The LP and product paths under the configured root.
#include "queueadmin/lppaths.h"

#include <cstdarg>
#include <cstring>

#include "common/config/profile.h"
#include "common/host/sysinfo.h"
#include "common/util/pathutil.h"
#include "common/util/strbuf.h"

uid_t lpid = 0;

namespace kqs {

namespace {

struct PathRow {
  char (LpPathSet::*field)[255];
  const char* path;
};

constexpr PathRow kPathRows[] = {
    {&LpPathSet::lpadmin, "/usr/lib/lpadmin"},
    {&LpPathSet::accept, "/usr/lib/accept"},
    {&LpPathSet::enable, "/usr/bin/enable"},
    {&LpPathSet::lpfilter, "/usr/lib/lpfilter"},
    {&LpPathSet::lpsched, "/usr/lib/lpsched"},
    {&LpPathSet::lpshut, "/usr/lib/lpshut"},
    {&LpPathSet::interfaces, "/etc/lp/interfaces"},
    {&LpPathSet::classes, "/etc/lp/classes"},
    {&LpPathSet::fd, "/etc/lp/fd"},
    {&LpPathSet::models, "/usr/lib/lp/model"},
    {&LpPathSet::schedlock, "/var/spool/lp/SCHEDLOCK"},
    {&LpPathSet::product, "/opt/qvnx/sh"},
    {&LpPathSet::version, "/opt/qvnx/version"},
    {&LpPathSet::disable, "/usr/bin/disable"},
    {&LpPathSet::reject, "/usr/lib/reject"},
    {&LpPathSet::cancel, "/usr/bin/cancel"},
    {&LpPathSet::lpmove, "/usr/lib/lpmove"},
    {&LpPathSet::lpquery, "/usr/lib/lpquery"},
    {&LpPathSet::defaultDest, "/etc/lp/default"},
};

char g_root[kMaxLpRootLength + 1] = "";

LpPathSet BuildPaths(const char* root) {
  LpPathSet set{};
  for (const PathRow& row : kPathRows) sprintfnA(set.*row.field, 255, "%s%s", root, row.path);
  return set;
}

LpPathSet g_paths = BuildPaths("");

}  // namespace

const LpPathSet& LpPaths() { return g_paths; }

const char* LpRoot() { return g_root; }

int SetLpRoot(const char* root) {
  if (root == nullptr) return -1;
  size_t n = std::strlen(root);
  while (n > 0 && root[n - 1] == '/') --n;
  if (n > kMaxLpRootLength || (n > 0 && root[0] != '/')) return -1;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(root[i]);
    if (c <= ' ' || c == 127) return -1;
  }
  std::memcpy(g_root, root, n);
  g_root[n] = '\0';
  g_paths = BuildPaths(g_root);
  return 0;
}

int LoadLpRoot() {
  char ini[255];
  unsigned n = xGetModuleDirectoryA(nullptr, ini, sizeof ini);
  if (n == 0 || n >= sizeof ini) return SetLpRoot("");
  if (MergePathA(ini, "kqsd.ini", sizeof ini) == nullptr) return -1;
  char root[256];
  xGetPrivateProfileStringA("LP Service", "Root", "", root, sizeof root, ini);
  return SetLpRoot(root);
}

bool FormatLine(char* buf, unsigned size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsprintfnA(buf, size, format, args);
  va_end(args);
  return n >= 0 && unsigned(n) < size;
}

}  // namespace kqs
